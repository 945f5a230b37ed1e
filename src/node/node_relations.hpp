#pragma once

// Where a node meets the subsystems around it: the group it was opened from and the link files
// that place it in other groups. The node core calls these; the group and link subsystems
// answer them.

#include <string>

#include "corekit2/sptr.hpp"
#include "talvo2/i_node.hpp"

namespace talvo2 {

// Whether `path` names a link file: its extension, the dot included, is longer than 8 characters
// and ends in "link" in any case.
bool isLinkFilePath(const std::wstring& path);

// Where new members of the group at `groupPath` go: the output directory of the project or
// experiment there, or the directory itself for a plain directory; "" when there is no directory.
std::wstring groupOutputDirectory(const std::wstring& groupPath);

// The path of `node`'s member group, or "" when it has none.
std::wstring memberGroupPath(INode& node);

}  // namespace talvo2
