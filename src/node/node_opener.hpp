#pragma once

// Opening a node by its marker path: one live node per marker file in the process.

#include <string>

#include "corekit2/sptr.hpp"
#include "talvo2/i_node.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// The kinds of node a marker file can make, told by its extension.
enum class NodeKind { Result, Project, Experiment };

// Makes a node of one kind for `markerPath` (which the node may rewrite, for a link file), opened
// from the group at `groupPath` (may be null). Called under the registry lock.
using NodeFactory = Node* (*)(std::wstring& markerPath, const wchar_t* groupPath);

// Installs the factory of a kind; the node kinds do so when the library loads.
void setNodeFactory(NodeKind kind, NodeFactory factory);

// The kind a marker or link file makes: project and experiment extensions (followed by "link"
// for a link file) make those kinds, everything else a result directory.
NodeKind nodeKindOf(const std::wstring& markerPath);

// The live node registered under the normalised `markerPath`, with one reference added, or a new
// node of the marker's kind. Empty on failure, with the reason as the last error. Thread-safe.
corekit2::sptr_t<INode> openNode(const std::wstring& markerPath, const wchar_t* groupPath);

}  // namespace talvo2
