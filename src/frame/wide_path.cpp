#include "frame/wide_path.hpp"

#include "ulib_2_18/text.hpp"

namespace talvo2 {

boost::filesystem::path toFsPath(const std::wstring& path) {
    return boost::filesystem::path(ulib_2_18::to_utf8(path));
}

std::wstring toWide(const boost::filesystem::path& path) {
    return ulib_2_18::from_utf8(path.native());
}

}  // namespace talvo2
