#pragma once

// Conversions between the library's wide paths and Boost.Filesystem paths. Boost's own wide
// conversion follows the process locale; these always use UTF-8, so a name like "résultats"
// reaches the disk the same way whatever locale the host runs in. Never call path(wstring) or
// path::wstring() directly.

#include <boost/filesystem/path.hpp>
#include <string>

namespace talvo2 {

boost::filesystem::path toFsPath(const std::wstring& path);
std::wstring toWide(const boost::filesystem::path& path);

}  // namespace talvo2
