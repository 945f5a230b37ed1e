#pragma once

// Reading typed values out of bags without copying them.

#include <string>

#include "corekit2/variant_bag.hpp"

namespace talvo2 {

// The wide string stored under `key` in `bag`, or null when there is none or the value is of
// another type. The pointer lives as long as the value in the bag.
inline const wchar_t* stringValue(const corekit2::variant_bag_t* bag, const std::wstring& key) {
    const corekit2::variant_t* value = bag ? bag->get<corekit2::variant_t>(key) : nullptr;
    return value ? value->get_wstr() : nullptr;
}

// The sub-bag "talvo" where the library keeps its own values, or null.
inline const corekit2::variant_bag_t* talvoSection(const corekit2::variant_bag_t& bag) {
    return bag.get<corekit2::variant_bag_t>(L"talvo");
}

}  // namespace talvo2
