#pragma once

#include "talvo2/error.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// Deletes a node from disk: every member of its group first, then its directory tree (symbolic
// links inside are removed, never followed) and its link file. A directory already gone is no
// failure. OK, or the mapped failure; the node object itself lives on, missing.
error_t deleteNodeFiles(Node::Fields& fields);

// Removes `node` from disk as INode::remove does (deleteNodeFiles), marking it removed first: a
// removed result answers isValid() false. OK, or the first failure met.
error_t removeNode(Node& node);

}  // namespace talvo2
