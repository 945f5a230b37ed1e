#include "frame/wide_path.hpp"

#include <climits>
#include <string_view>
#include <type_traits>

#include "talvo2/result_directory_manager.hpp"
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

bool isPortableName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L".." || !isEncodable(name)) return false;
    for (const wchar_t c : name)
        if (c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos)
            return false;
    const std::wstring device = ulib_2_18::to_upper(name.substr(0, name.find(L'.')));
    if (ResultDirectoryManager::isReservedDirectoryName(device.c_str())) return false;
    if (name.back() == L' ' || name.back() == L'.') return false;
    return ulib_2_18::to_utf8(name).size() <= NAME_MAX;
}

}  // namespace talvo2
