#pragma once

#include <boost/filesystem/path.hpp>
#include <string>
#include <vector>

#include "notify2/progress.hpp"
#include "platform/file_system.hpp"

namespace talvo2 {

// Copies the contents of the directory `from` into the existing directory `to`, recursively.
// Symbolic links, and entries whose names match one of `excluded` (corekit2::path_t::match; a
// matching directory is left out whole), are skipped. Existing targets are never overwritten.
// The walk never follows a link inside the tree, even one swapped in while it runs, so it cannot
// copy anything from outside `from`. `progress` (may be null) hears of every file and may
// cancel. False when canceled or on the first failure, which leaves what was copied so far.
// Does not throw.
bool copyTree(const boost::filesystem::path& from, const boost::filesystem::path& to,
              const std::vector<std::wstring>& excluded, notify2::IProgress* progress);
// The same into the open directory `to`.
bool copyTree(const boost::filesystem::path& from, platform::Directory& to,
              const std::vector<std::wstring>& excluded, notify2::IProgress* progress);

}  // namespace talvo2
