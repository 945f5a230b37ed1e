#pragma once

// Reading typed values out of bags without copying them, and the library's own section of a
// node's bag.

#include <cstdint>
#include <string>

#include "corekit2/variant_bag.hpp"
#include "frame/disk_format.hpp"

namespace talvo2 {

// The wide string stored under `key` in `bag`, or null when there is none or the value is of
// another type. The pointer lives as long as the value in the bag.
inline const wchar_t* stringValue(const corekit2::variant_bag_t* bag, const std::wstring& key) {
    const corekit2::variant_t* value = bag ? bag->get<corekit2::variant_t>(key) : nullptr;
    return value ? value->get_wstr() : nullptr;
}

// The sub-bag "talvo" where the library keeps its own values, or null.
inline const corekit2::variant_bag_t* talvoSection(const corekit2::variant_bag_t& bag) {
    return bag.get<corekit2::variant_bag_t>(disk::kTalvoSection);
}

// Values of the "talvo" section: readers never fail, a missing section, key or mistyped value
// gives the caller's default.

// The text stored under `key`, or `fallback` when there is none or it is not text. An empty
// stored text is returned as empty. The pointer lives as long as the value in the bag.
const wchar_t* metadataText(const corekit2::variant_bag_t& bag, const wchar_t* key,
                            const wchar_t* fallback);

// The integer stored under `key`, whatever its integer width, converted to 64 bits; `fallback`
// when there is none or it is not an integer.
int64_t metadataInteger(const corekit2::variant_bag_t& bag, const wchar_t* key, int64_t fallback);

// Puts `value` under `key`, making the section when the bag has none; replaces any earlier value.
void putMetadata(corekit2::variant_bag_t& bag, const wchar_t* key, corekit2::variant_t value);

// Stores text (null as empty).
void putMetadataText(corekit2::variant_bag_t& bag, const wchar_t* key, const wchar_t* text);

// Stores a time as unsigned 64 bits; 1 stands for the current time.
void putMetadataTime(corekit2::variant_bag_t& bag, const wchar_t* key, long long time);

}  // namespace talvo2
