#pragma once

// Copying, moving and duplicating a node. Copy and move take the node's whole directory to a new
// place and the same node object (same serial number, handles and flags) stands for it after.

#include <functional>
#include <string>

#include "corekit2/sptr.hpp"
#include "frame/boundary.hpp"
#include "notify2/progress.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// Copies `node`'s directory to `destination` (which must not exist), leaving flag files out, then
// rebinds the node to the copy, its flags held there. With `renameMarker` the marker takes the
// new directory's name. `progress` (may be null) hears of every file and may cancel. The value:
// whether the copy was made (a failed or canceled copy leaves nothing at `destination`); the
// error: why not, or, beside a made copy, what a later step met (rebinding, renaming the marker,
// recording the output directory of a project or experiment).
Result<bool> copyNode(Node& node, const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress);

// copyNode, then deletes the old directory (FileError when that fails: the node already stands
// for the new place).
Result<bool> moveNode(Node& node, const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress);

// Makes a second node of `node`'s kind at `path` (with `literal`, "@" is an ordinary character):
// a copy of `node`'s directory (all files) with its marker renamed to the new directory's name,
// made out of sight and put in place whole; with `dropBacklink` the copy forgets the link that
// placed the original. The new marker's path, or "" with the reason: AlreadyExists when the
// directory is there already, OperationFailed when the copy failed (nothing is left of it).
Result<std::wstring> duplicateNode(const Node& node, const wchar_t* path, bool literal,
                                   bool dropBacklink);

}  // namespace talvo2
