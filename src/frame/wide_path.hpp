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

// Whether every character of `text` is a Unicode scalar value. Surrogates and values past
// U+10FFFF have no UTF-8 form: converting them gives U+FFFD, and a file made under the converted
// name would not be the one the caller named. False for null.
bool isEncodable(const wchar_t* text);
bool isEncodable(const std::wstring& text);

// Whether `name` is one entry of a directory: not empty, "." or "..", encodable, no separator.
// Anything else the file system takes is a name here; the system itself refuses what it cannot
// store (a name too long, say).
bool isPlainName(const std::wstring& name);

// Whether `inner` is `outer` or lies below it, lexically (both absolute and normal).
bool isWithin(const boost::filesystem::path& inner, const boost::filesystem::path& outer);

}  // namespace talvo2
