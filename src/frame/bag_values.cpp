#include "frame/bag_values.hpp"

#include <ctime>

namespace talvo2 {

using corekit2::variant_bag_t;
using corekit2::variant_t;

const wchar_t* metadataText(const variant_bag_t& bag, const wchar_t* key, const wchar_t* fallback) {
    const variant_bag_t* talvo = talvoSection(bag);
    const wchar_t* text = talvo ? stringValue(talvo, key) : nullptr;
    return text ? text : fallback;
}

int64_t metadataInteger(const variant_bag_t& bag, const wchar_t* key, int64_t fallback) {
    const variant_bag_t* talvo = talvoSection(bag);
    if (!talvo) return fallback;
    const variant_t value = talvo->get_variant(key);
    switch (value.type()) {
        case corekit2::VT_INT32:
            return value.get_int32();
        case corekit2::VT_UINT32:
            return value.get_uint32();
        case corekit2::VT_INT64:
            return value.get_int64();
        case corekit2::VT_UINT64:
            return static_cast<int64_t>(value.get_uint64());
        default:
            return fallback;
    }
}

void putMetadata(variant_bag_t& bag, const wchar_t* key, variant_t value) {
    variant_bag_t* talvo = bag.get<variant_bag_t>(disk::kTalvoSection);
    if (!talvo) talvo = bag.put(disk::kTalvoSection, variant_bag_t());
    talvo->put(key, value);
}

void putMetadataText(variant_bag_t& bag, const wchar_t* key, const wchar_t* text) {
    putMetadata(bag, key, variant_t(std::wstring(text ? text : L"")));
}

void putMetadataTime(variant_bag_t& bag, const wchar_t* key, long long time) {
    if (time == 1) time = static_cast<long long>(std::time(nullptr));
    putMetadata(bag, key, variant_t(static_cast<uint64_t>(time)));
}

}  // namespace talvo2
