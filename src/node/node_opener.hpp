#pragma once

// Opening a node by its marker path: one live node per marker file in the process. And finding
// the group a path names, as far as the node core needs it: its owner.

#include <string>

#include "corekit2/sptr.hpp"
#include "frame/boundary.hpp"
#include "talvo2/i_node.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// The kinds of node a marker file can make, told by its extension.
enum class NodeKind { Result, Project, Experiment };

// Makes a node of one kind for `markerPath` (which the node may rewrite, for a link file), opened
// from the group at `groupPath` (may be null); `bound` receives the binding's outcome. Called
// under the registry lock.
using NodeFactory = Node* (*)(std::wstring& markerPath, const wchar_t* groupPath, error_t& bound);

// Installs the factory of a kind; the library does so when it loads.
void setNodeFactory(NodeKind kind, NodeFactory factory);

// The kind a marker or link file makes: project and experiment extensions (followed by "link"
// for a link file) make those kinds, everything else a result directory.
NodeKind nodeKindOf(const std::wstring& markerPath);

// The live node registered under the normalised `markerPath`, with one reference added (error
// OK), or a new node of the marker's kind (error: how its binding went, which may be
// OperationFailed beside a node whose bag did not load; `made`, when given, set). Empty with the
// reason on failure. Thread-safe.
Result<corekit2::sptr_t<INode>> openNode(const std::wstring& markerPath, const wchar_t* groupPath,
                                         bool* made = nullptr);

// The group a path names, as INodeGroup::open finds it: the project or experiment whose marker,
// link file or directory `path` is (`owner`), or a plain directory (`opened` without owner).
struct GroupAt {
    bool opened = false;
    corekit2::sptr_t<INode> owner;
    // What finding it met: the marker lookup's outcome, or how binding the owner went when this
    // opened it.
    error_t last = OK;
};
GroupAt findGroup(const std::wstring& path);

// Where new members of the group at `groupPath` go: the output directory of the project or
// experiment there (its own directory when it names none), or the directory itself for a plain
// directory; "" when no group opens there.
std::wstring groupOutputDirectory(const std::wstring& groupPath);

}  // namespace talvo2
