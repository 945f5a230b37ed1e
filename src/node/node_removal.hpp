#pragma once

#include "talvo2/error.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// Deletes a node from disk: every member of its group first (removeMember), then its directory
// tree, when the node's marker is there and, for a node reached through a link, names that link
// back (symbolic links inside are removed, never followed), and its link file. A directory already
// gone is no failure; one there without the node's marker is NotFound and stays. OK, or the first
// failure; the node object itself lives on, missing.
error_t deleteNodeFiles(Node::Fields& fields);

// Removes `node` from disk as INode::remove does (deleteNodeFiles), marking it removed first: a
// removed result answers isValid() false. OK, or the first failure met.
error_t removeNode(Node& node);

// Removes the member of a group whose marker (or link file) is `member`: the node, or for a link
// file whose node does not name it back, the link file alone.
error_t removeMember(const std::wstring& member);

}  // namespace talvo2
