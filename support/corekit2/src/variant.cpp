#include "corekit2/variant.hpp"

namespace corekit2 {

variant_t::variant_t(const wchar_t* value) {
    if (value) m_value = std::wstring(value);
}

variant_t::variant_t(const wchar_t* value, std::size_t bytesWithTerminator) {
    if (!value) return;
    // Never read past the given length, even when the terminator is missing.
    const std::size_t units = bytesWithTerminator / sizeof(wchar_t);
    const std::size_t limit = units == 0 ? 0 : units - 1;
    std::size_t length = 0;
    while (length < limit && value[length] != L'\0') ++length;
    m_value = std::wstring(value, length);
}

std::wstring variant_t::get_wstring(const std::wstring& fallback) const {
    const std::wstring* value = std::get_if<std::wstring>(&m_value);
    return value ? *value : fallback;
}

const wchar_t* variant_t::get_wstr(const wchar_t* fallback) const& noexcept {
    const std::wstring* value = std::get_if<std::wstring>(&m_value);
    return value ? value->c_str() : fallback;
}

}  // namespace corekit2
