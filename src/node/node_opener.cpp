#include "node/node_opener.hpp"

#include <atomic>
#include <mutex>

#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_binding.hpp"
#include "node/node_registry.hpp"
#include "node/node_relations.hpp"
#include "node/node_state.hpp"
#include "platform/files.hpp"
#include "talvo2/names.hpp"

namespace talvo2 {

namespace {

std::atomic<NodeFactory> factories[3];

std::atomic<NodeFactory>& factoryOf(NodeKind kind) {
    return factories[static_cast<int>(kind)];
}

}  // namespace

void setNodeFactory(NodeKind kind, NodeFactory factory) {
    factoryOf(kind).store(factory);
}

NodeKind nodeKindOf(const std::wstring& markerPath) {
    std::wstring extension = extensionOf(markerPath);
    if (isLinkFilePath(markerPath)) extension.resize(extension.size() - 4);
    if (hasExtensionIn(projectExtensionSet(), extension)) return NodeKind::Project;
    if (hasExtensionIn(experimentExtensionSet(), extension)) return NodeKind::Experiment;
    return NodeKind::Result;
}

Result<corekit2::sptr_t<INode>> openNode(const std::wstring& markerPath, const wchar_t* groupPath,
                                         bool* made) {
    if (made) *made = false;
    if (markerPath.empty()) return {{}, NotFound};
    const RegistryLock lock;
    std::wstring path = normalizedAbsolute(markerPath);
    if (path.empty()) return {{}, InvalidPath};
    if (Node* live = NodeRegistry::instance().find(path))
        return {corekit2::sptr_t<INode>(live->asINode()), OK};
    if (isLinkFilePath(path)) {
        // A link file leads nowhere unless it is one, and not to a node that does not name it
        // back: anyone can write a link naming someone else's node, and through it the node
        // would join the group, be written into and be removed with it.
        const std::wstring target = linkTarget(path);
        if (target.empty()) return {{}, NotFound};
        const bool exists =
            platform::typeAt(toFsPath(target).native(), false) != platform::FileType::Missing;
        if (exists && !markerNamesLink(target, path)) return {{}, NotFound};
        if (Node* live = NodeRegistry::instance().find(path))
            return {corekit2::sptr_t<INode>(live->asINode()), OK};
    }
    const NodeFactory factory = factoryOf(nodeKindOf(path)).load();
    if (!factory) return {{}, NotImplemented};
    // The binding's outcome comes with the node: a node whose bag could not be loaded is still
    // the node of that marker, and the caller learns why its bag is empty.
    error_t bound = OK;
    Node* node = factory(path, groupPath, bound);
    if (!node) return {{}, bound};
    if (made) *made = true;
    return {corekit2::sptr_t<INode>(node->asINode()), bound};
}

GroupAt findGroup(const std::wstring& path) {
    GroupAt group;
    platform::FileType type = platform::FileType::Missing;
    const Result<std::wstring> marker = locateMarkerFile(path, ownerExtensionSet(), false, &type);
    group.last = marker.error;
    if (!marker.value.empty()) {
        bool made = false;
        const Result<corekit2::sptr_t<INode>> opened = openNode(marker.value, nullptr, &made);
        if (made || !opened.value) group.last = opened.error;
        group.owner = opened.value;
        if (group.owner) {
            group.opened = true;
            return group;
        }
    }
    group.opened = type == platform::FileType::Directory;
    return group;
}

std::wstring groupOutputDirectory(const std::wstring& groupPath) {
    const GroupAt group = findGroup(groupPath);
    if (!group.opened) return std::wstring();
    if (!group.owner) return groupPath;
    const Node::Fields& owner = fieldsOf(*dynamic_cast<Node*>(group.owner.get()));
    return owner.outputDirectory.empty() ? owner.path : owner.outputDirectory;
}

}  // namespace talvo2
