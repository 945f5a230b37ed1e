#include "talvo2/node.hpp"

#include <boost/filesystem/path.hpp>
#include <mutex>

#include "frame/bag_files.hpp"
#include "frame/bag_values.hpp"
#include "frame/boundary.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_binding.hpp"
#include "node/node_cast.hpp"
#include "node/node_registry.hpp"
#include "node/node_relations.hpp"
#include "node/node_removal.hpp"
#include "node/node_state.hpp"
#include "platform/files.hpp"
#include "platform/tree_walk.hpp"
#include "talvo2/i_project.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

// Drops the registry entries that still lead to `node`: its marker path and its link path.
void unregisterPaths(const Node::Fields& f, const Node* node) {
    const RegistryLock lock;
    NodeRegistry::instance().removeOwned(f.markerFilePath, node);
    NodeRegistry::instance().removeOwned(f.linkFilePath, node);
}

bool exists(const std::wstring& path) {
    return platform::typeAt(toFsPath(path).native(), false) != platform::FileType::Missing;
}

// The last error a look at the marker leaves: the refresh's outcome when it looked for a renamed
// marker, the caller's otherwise.
LastError leftBy(const std::optional<error_t>& refreshed) {
    return refreshed ? LastError(*refreshed) : LastError::kept();
}

// Whether the marker is gone, after following a rename; `refreshed` as refreshMarker answers.
bool markerMissing(Node& node, std::optional<error_t>& refreshed) {
    refreshed = refreshMarker(node);
    return !exists(fieldsOf(node).markerFilePath);
}

}  // namespace

Node::Node(std::wstring& markerPath, const wchar_t* groupPath)
    : m_fields(std::make_unique<Fields>()) {
    Fields& f = *m_fields;
    f.uid = NodeRegistry::instance().nextUid();
    try {
        if (isLinkFilePath(markerPath)) {
            // The link places the node only when the node names it back, or is gone (for
            // changeMarkerFilePath to point it elsewhere); a link to a node that does not know it
            // opens that node, not placed in the link's group.
            const std::wstring link = markerPath;
            markerPath = linkTarget(link);
            if (!markerPath.empty() && (!exists(markerPath) || markerNamesLink(markerPath, link))) {
                std::wstring recorded;
                readLinkFile(*this, link, recorded);
            }
        }
        f.bindOutcome = bindNode(*this, markerPath, groupPath).error;
        f.storage = propstore2::IBagPropertyStorage::create(&f.bag, {});
        f.storage->addListener(&f.monitor);
        f.transientStorage = propstore2::IBagPropertyStorage::create(&f.transientBag, {});
    } catch (...) {
        // The registry must not keep a pointer to an object that was never finished.
        unregisterPaths(f, this);
        throw;
    }
}

Node::~Node() {
    Fields& f = *m_fields;
    // Closing is no operation of the caller's: what removal meets does not become its last error,
    // and nothing may escape a destructor.
    try {
        if (f.removeOnClose) deleteNodeFiles(f);
    } catch (...) {
    }
    if (f.storage) f.storage->removeListener(&f.monitor);
    // Callers may still hold the storages; cut them off from the bags that die with the node.
    for (auto* storage : {f.storage.get(), f.transientStorage.get()})
        if (auto* bagStorage = dynamic_cast<propstore2::IBagPropertyStorage*>(storage))
            bagStorage->detach();
    f.memberGroup.reset();
    if (f.flags) f.flags->releaseAll();
    unregisterPaths(f, this);
}

uint32_t Node::add_ref() {
    const RegistryLock lock;
    return ++m_fields->refCount;
}

uint32_t Node::release() {
    const RegistryLock lock;
    Fields& f = *m_fields;
    const uint32_t left = --f.refCount;
    if (left > 0) return left;
    unregisterPaths(f, this);
    delete this;
    return 0;
}

const wchar_t* Node::getPath() {
    return m_fields->path.c_str();
}

int32_t Node::getFilesCount() {
    return exported(int32_t{0}, [&]() -> Reply<int32_t> {
        int32_t count = 0;
        platform::walkRegularFiles(m_fields->directory.native(), [&](uint64_t) { ++count; });
        return {count, LastError::kept()};
    });
}

int64_t Node::getSize() {
    return exported(int64_t{0}, [&]() -> Reply<int64_t> {
        int64_t size = 0;
        platform::walkRegularFiles(m_fields->directory.native(),
                                   [&](uint64_t bytes) { size += static_cast<int64_t>(bytes); });
        return {size, LastError::kept()};
    });
}

const wchar_t* Node::getMarkerFilePath() {
    return exported(m_fields->markerFilePath.c_str(), [&]() -> Reply<const wchar_t*> {
        const std::optional<error_t> refreshed = refreshMarker(*this);
        return {m_fields->markerFilePath.c_str(), leftBy(refreshed)};
    });
}

bool Node::changeMarkerFilePath(const wchar_t* path) {
    return exported(false, [&]() -> Reply<bool> {
        Fields& f = *m_fields;
        if (!path || !*path || !isEncodable(path)) return failed(false, InvalidPath);
        // Only a linked node whose marker is gone may be given another one, and only one that is
        // there; a refusal says which.
        std::optional<error_t> refreshed;
        if (f.linkFilePath.empty() || !exists(f.linkFilePath) || !markerMissing(*this, refreshed))
            return failed(false, ParameterError);
        if (!exists(path)) return failed(false, NotFound);
        const std::wstring group = f.path;
        const Result<bool> bound = bindNode(*this, path, group.c_str());
        return {bound.value, bound.error};
    });
}

const wchar_t* Node::getUserVisibleName() {
    return exported(static_cast<const wchar_t*>(nullptr), [&]() -> Reply<const wchar_t*> {
        std::optional<error_t> refreshed;
        const bool missing = markerMissing(*this, refreshed);
        return {missing ? nullptr : m_fields->userVisibleName.c_str(), leftBy(refreshed)};
    });
}

bool Node::changeUserVisibleName(const wchar_t* name) {
    return exported(false, [&]() -> Reply<bool> {
        const Result<bool> renamed = renameMarkerFile(*this, name);
        return {renamed.value, renamed.error};
    });
}

corekit2::sptr_t<INode> Node::getParent() {
    return m_fields->parent;
}

bool Node::setParent(const wchar_t* path) {
    return exported(false, [&]() -> Reply<bool> {
        const std::wstring marker = m_fields->markerFilePath;
        const Result<bool> bound = bindNode(*this, marker, path);
        return {bound.value, bound.error};
    });
}

corekit2::sptr_t<INode> Node::getProject() {
    return exported(corekit2::sptr_t<INode>(), [&]() -> Reply<corekit2::sptr_t<INode>> {
        for (corekit2::sptr_t<INode> ancestor = getParent(); ancestor;
             ancestor = ancestor->getParent()) {
            if (castNode<IProject>(ancestor)) return {ancestor, LastError::kept()};
        }
        return {{}, LastError::kept()};
    });
}

corekit2::sptr_t<INodeGroup> Node::getNodeGroup() {
    return {};
}

corekit2::sptr_t<propstore2::IPropertyStorage> Node::getPropertyStorage() {
    return m_fields->storage;
}

bool Node::save() {
    return exported(false, [&]() -> Reply<bool> {
        Fields& f = *m_fields;
        // Someone else holding the project read-only refuses the save and changes nothing; the
        // answer says so, so the caller can tell that from a failed write.
        if (f.flags->own(f.directory, disk::kReadOnlyFlag) == FlagOwnedElsewhere)
            return failed(false, FlagOwnedElsewhere);
        // Asking to save is asking to keep: the node stays on disk when closed even if this
        // write fails, so a full disk or a damaged marker never costs the collector data beside
        // it.
        f.removeOnClose = false;
        f.monitor.modified = false;
        const error_t saved = saveMarker(*this);
        return {saved == OK, saved};
    });
}

bool Node::isModified() {
    return m_fields->monitor.modified;
}

int64_t Node::getCreationTime() {
    const corekit2::variant_bag_t* talvo = talvoSection(m_fields->bag);
    return talvo ? static_cast<int64_t>(talvo->get_variant(disk::kTimestamp).get_uint64()) : 0;
}

corekit2::sptr_t<propstore2::IPropertyStorage> Node::getTransientStorage() {
    return m_fields->transientStorage;
}

bool Node::isLinked() {
    return !m_fields->linkFilePath.empty();
}

bool Node::isMissing() {
    return exported(true, [&]() -> Reply<bool> {
        std::optional<error_t> refreshed;
        const bool missing = markerMissing(*this, refreshed);
        return {missing, leftBy(refreshed)};
    });
}

bool Node::isLinkStale() {
    return m_fields->linkStale;
}
bool Node::isReadOnly() {
    return m_fields->readOnly;
}
void Node::setReadOnly(bool readOnly) {
    m_fields->readOnly = readOnly;
}
void Node::setRemoveOnClose(bool remove) {
    m_fields->removeOnClose = remove;
}

const wchar_t* Node::getLinkFilePath() {
    return m_fields->linkFilePath.c_str();
}

// The flag operations: each answer is also left as the last error, for the bool shorthands.

error_t Node::addFlag(const wchar_t* name, bool replace, bool takeOver) {
    return exported(OperationFailed, [&]() -> Reply<error_t> {
        const error_t answer =
            m_fields->flags->add(m_fields->directory, name, replace, takeOver, nullptr);
        return {answer, answer};
    });
}

error_t Node::addFlag(const wchar_t* name, corekit2::sptr_t<IFlagData>& data, bool replace,
                      bool takeOver) {
    return exported(OperationFailed, [&]() -> Reply<error_t> {
        const error_t answer =
            m_fields->flags->add(m_fields->directory, name, replace, takeOver, &data);
        return {answer, answer};
    });
}

error_t Node::removeFlag(const wchar_t* name, bool force) {
    return exported(OperationFailed, [&]() -> Reply<error_t> {
        const error_t answer = m_fields->flags->remove(m_fields->directory, name, force);
        return {answer, answer};
    });
}

error_t Node::ownFlag(const wchar_t* name) {
    return exported(OperationFailed, [&]() -> Reply<error_t> {
        const error_t answer = m_fields->flags->own(m_fields->directory, name);
        return {answer, answer};
    });
}

uint32_t Node::uid(corekit2::sptr_t<INode> node) {
    const Node* own = dynamic_cast<const Node*>(node.get());
    const uint32_t id = own ? own->m_fields->uid : 0;
    node.reset();
    return id;
}

uint32_t Node::nodeCount() {
    return NodeRegistry::instance().count();
}

uint32_t Node::handleCount() {
    const RegistryLock lock;
    return static_cast<uint32_t>(NodeRegistry::instance().size());
}

void Node::reset() {
    NodeRegistry::instance().reset();
}

}  // namespace talvo2
