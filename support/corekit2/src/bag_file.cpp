#include "corekit2/bag_file.hpp"

#include <exception>
#include <string>

#include "bag_xml.hpp"
#include "posix_io.hpp"
#include "ulib_2_18/text.hpp"

namespace corekit2 {

namespace {

// Bags are small descriptive files; anything this large is not one of ours.
constexpr std::size_t kMaxBagFileBytes = 64u << 20;

int loadInto(variant_bag_t& bag, const wchar_t* file, const char* root, bool merge) {
    if (!file || !*file) return BAG_E_ARGUMENT;
    std::string text;
    switch (io::read_file(ulib_2_18::to_utf8(file), kMaxBagFileBytes, text)) {
        case io::read_result_t::ok:
            break;
        case io::read_result_t::missing:
            return BAG_E_OPEN;
        case io::read_result_t::not_regular:
            return BAG_E_OPEN;
        case io::read_result_t::too_large:
            return BAG_E_READ;
        case io::read_result_t::failed:
            return BAG_E_READ;
    }
    if (text.empty()) return BAG_E_PARSE;
    // Parse aside and publish only a complete result, so a bad file changes nothing.
    variant_bag_t loaded;
    const int status = xml::parse(text, root, loaded);
    if (status != BAG_OK) return status;
    if (merge) {
        // Merge into a copy, so that running out of memory midway leaves `bag` as it was.
        variant_bag_t merged(bag);
        for (const std::wstring& key : loaded.keys<variant_t>())
            merged.put(key, *loaded.get<variant_t>(key));
        for (const std::wstring& key : loaded.keys<variant_bag_t>())
            merged.put(key, *loaded.get<variant_bag_t>(key));
        bag.swap(merged);
    } else {
        bag.swap(loaded);
    }
    return BAG_OK;
}

int saveTo(const variant_bag_t& bag, const wchar_t* file, const char* root) {
    if (!file || !*file || !xml::valid_root_name(root)) return BAG_E_ARGUMENT;
    std::string text;
    if (!xml::render(bag, root, text)) return BAG_E_ARGUMENT;
    return io::write_file_atomically(ulib_2_18::to_utf8(file), text) ? BAG_OK : BAG_E_WRITE;
}

// Nothing may escape as an exception; the only one possible here is an allocation failure,
// reported as `failure`.
template <class Body>
int guarded(int failure, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace

int load_variant_bag(variant_bag_t& bag, const wchar_t* file, const char* root) {
    return guarded(BAG_E_READ, [&] { return loadInto(bag, file, root, false); });
}

int load_variant_bag2(variant_bag_t& bag, const wchar_t* file, const char* root, bool merge) {
    return guarded(BAG_E_READ, [&] { return loadInto(bag, file, root, merge); });
}

int save_variant_bag(const variant_bag_t& bag, const wchar_t* file) {
    return guarded(BAG_E_WRITE, [&] { return saveTo(bag, file, kDefaultBagRoot); });
}

int save_variant_bag2(const variant_bag_t& bag, const wchar_t* file, const char* root) {
    return guarded(BAG_E_WRITE, [&] { return saveTo(bag, file, root); });
}

int save_variant_bag_to_string(const variant_bag_t& bag, variant_t* text) {
    if (!text) return BAG_E_ARGUMENT;
    return guarded(BAG_E_WRITE, [&] {
        std::string rendered;
        if (!xml::render(bag, kDefaultBagRoot, rendered)) return BAG_E_ARGUMENT;
        *text = variant_t(ulib_2_18::from_utf8(rendered));
        return BAG_OK;
    });
}

int load_variant_bag_from_string(variant_bag_t& bag, const variant_t& text) {
    if (text.type() != VT_WSTRING) return BAG_E_ARGUMENT;
    return guarded(BAG_E_READ, [&] {
        variant_bag_t loaded;
        const int status = xml::parse(ulib_2_18::to_utf8(text.get_wstring()), nullptr, loaded);
        if (status == BAG_OK) bag.swap(loaded);
        return status;
    });
}

}  // namespace corekit2
