#pragma once

#include "talvo2/error.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// Deletes a node from disk: every member of its group first, then its directory tree (symbolic
// links inside are removed, never followed) and its link file. True when done; a file-system
// failure answers false with the mapped last error. The node object itself lives on, missing.
bool removeNodeFromDisk(Node::Fields& fields);

// The same without touching the last error, for removal on close: OK or the mapped failure.
error_t deleteNodeFiles(Node::Fields& fields);

}  // namespace talvo2
