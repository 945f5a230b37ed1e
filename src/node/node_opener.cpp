#include "node/node_opener.hpp"

#include <atomic>
#include <mutex>

#include "frame/last_error.hpp"
#include "node/marker_files.hpp"
#include "node/node_registry.hpp"
#include "node/node_relations.hpp"
#include "talvo2/names.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

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
    if (hasExtensionIn(makeExtensionSet({getProjectExtension(false), getProjectExtension(true)}),
                       extension))
        return NodeKind::Project;
    if (hasExtensionIn(makeExtensionSet({getExperimentExtension(), getPackedExperimentExtension()}),
                       extension))
        return NodeKind::Experiment;
    return NodeKind::Result;
}

corekit2::sptr_t<INode> openNode(const std::wstring& markerPath, const wchar_t* groupPath) {
    try {
        if (markerPath.empty()) {
            setLastError(NotFound);
            return {};
        }
        const RegistryLock lock;
        std::wstring path = normalizedAbsolute(markerPath);
        if (Node* live = NodeRegistry::instance().find(path))
            return corekit2::sptr_t<INode>(live->asINode());
        const NodeFactory factory = factoryOf(nodeKindOf(path)).load();
        if (!factory) {
            setLastError(NotImplemented);
            return {};
        }
        Node* node = factory(path, groupPath);
        if (!node) return {};
        // The binding's outcome stays the last error: a node whose bag could not be loaded is
        // still the node of that marker, and the caller learns why its bag is empty.
        const error_t bound = ResultDirectoryManager::getLastError();
        corekit2::sptr_t<INode> handle(node->asINode());
        setLastError(bound);
        return handle;
    } catch (const boost::system::system_error& error) {
        setLastError(systemErrorToError(error));
    } catch (const std::exception&) {
        setLastError(OperationFailed);
    }
    return {};
}

}  // namespace talvo2
