#pragma once

// What result directories make of the collection metadata beyond reading and writing values.

#include <boost/filesystem/path.hpp>
#include <string>

#include "corekit2/variant_bag.hpp"

namespace talvo2 {

// The stored log name, or `defaultName`, appended as it stands to `directory`.
std::wstring metadataLogPath(const corekit2::variant_bag_t& bag, const wchar_t* key,
                             const wchar_t* defaultName, const boost::filesystem::path& directory);

// How an operating system name reads in a display: "windows" as "Windows*", "linux" as "Linux*"
// (exact spelling only); anything else as it is.
const wchar_t* displayOsName(const wchar_t* os);

}  // namespace talvo2
