#include "frame/wide_path.hpp"

#include <type_traits>

#include "ulib_2_18/text.hpp"

namespace talvo2 {

boost::filesystem::path toFsPath(const std::wstring& path) {
    return boost::filesystem::path(ulib_2_18::to_utf8(path));
}

std::wstring toWide(const boost::filesystem::path& path) {
    return ulib_2_18::from_utf8(path.native());
}

bool isEncodable(const std::wstring& text) {
    for (const wchar_t w : text) {
        const auto c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(w));
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
    }
    return true;
}

bool isEncodable(const wchar_t* text) {
    return text && isEncodable(std::wstring(text));
}

bool isPlainName(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." && isEncodable(name) &&
           name.find(L'/') == std::wstring::npos && name.find(L'\0') == std::wstring::npos;
}

bool isWithin(const boost::filesystem::path& inner, const boost::filesystem::path& outer) {
    auto it = inner.begin();
    for (const boost::filesystem::path& part : outer) {
        if (it == inner.end() || *it != part) return false;
        ++it;
    }
    return true;
}

}  // namespace talvo2
