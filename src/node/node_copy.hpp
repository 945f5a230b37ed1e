#pragma once

#include <functional>
#include <string>

#include "corekit2/sptr.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// Makes a second node of `node`'s kind at `path` with `create`, then fills it with a copy of
// `node`'s directory (all files), its marker renamed to the new node's; with `dropBacklink` the
// copy forgets the link that placed the original. The new marker's path, or "" on failure (the
// new directory is then deleted). AlreadyExists when the directory is there already.
std::wstring duplicateNode(const Node& node, const wchar_t* path,
                           const std::function<corekit2::sptr_t<INode>(const wchar_t*)>& create,
                           bool dropBacklink);

}  // namespace talvo2
