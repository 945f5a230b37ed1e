#include "frame/bag_files.hpp"

#include "bag_xml.hpp"
#include "corekit2/bag_file.hpp"
#include "platform/files.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

error_t parseBag(const std::string& bytes, const char* root, corekit2::variant_bag_t& bag) {
    if (bytes.empty()) return OperationFailed;
    // Parsed aside and published only when complete, so a bad file changes nothing.
    corekit2::variant_bag_t loaded;
    if (corekit2::xml::parse(bytes, root, loaded) != corekit2::BAG_OK) return OperationFailed;
    bag.swap(loaded);
    return OK;
}

bool renderBag(const corekit2::variant_bag_t& bag, std::string& bytes) {
    return corekit2::xml::render(bag, corekit2::kDefaultBagRoot, bytes);
}

error_t loadBagFile(const std::wstring& path, const char* root, corekit2::variant_bag_t& bag,
                    std::string* bytes, std::size_t limit) {
    std::string text;
    if (platform::readFile(nullptr, ulib_2_18::to_utf8(path), limit, false, text) !=
        platform::ReadOutcome::Read)
        return OperationFailed;
    const error_t parsed = parseBag(text, root, bag);
    if (parsed == OK && bytes) bytes->swap(text);
    return parsed;
}

error_t saveBagFile(const std::wstring& path, const char* root, const corekit2::variant_bag_t& bag,
                    std::string* bytes) {
    std::string text;
    if (!corekit2::xml::render(bag, root ? root : corekit2::kDefaultBagRoot, text))
        return OperationFailed;
    if (!platform::writeFileAtomically(ulib_2_18::to_utf8(path), text)) return OperationFailed;
    if (bytes) bytes->swap(text);
    return OK;
}

}  // namespace talvo2
