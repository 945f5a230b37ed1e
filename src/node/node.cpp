#include "talvo2/node.hpp"

#include <boost/filesystem.hpp>
#include <mutex>

#include "frame/bag_files.hpp"
#include "frame/bag_values.hpp"
#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_fields.hpp"
#include "node/node_registry.hpp"
#include "node/node_relations.hpp"
#include "node/node_removal.hpp"
#include "platform/files.hpp"
#include "platform/tree_walk.hpp"
#include "talvo2/i_project.hpp"
#include "talvo2/names.hpp"
#include "talvo2/result_directory_manager.hpp"
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

bool isRegularFile(const std::wstring& path) {
    return platform::typeAt(toFsPath(path).native(), true) == platform::FileType::Regular;
}

}  // namespace

Node::Node(std::wstring& markerPath, const wchar_t* groupPath)
    : m_fields(std::make_unique<Fields>()) {
    Fields& f = *m_fields;
    f.uid = NodeRegistry::instance().nextUid();
    try {
        if (isLinkFilePath(markerPath)) {
            std::wstring target;
            readLinkFile(markerPath, target);
            markerPath = target;
        }
        bind(markerPath, groupPath);
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
    // Closing is no operation of the caller's: what removal meets does not become its last error.
    if (f.removeOnClose) deleteNodeFiles(f);
    if (f.storage) f.storage->removeListener(&f.monitor);
    // Callers may still hold the storages; cut them off from the bags that die with the node.
    for (auto* storage : {f.storage.get(), f.transientStorage.get()})
        if (auto* bagStorage = dynamic_cast<propstore2::IBagPropertyStorage*>(storage))
            bagStorage->detach();
    f.memberGroup.reset();
    releaseAllFlags(f.flags);
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

bool Node::bind(const std::wstring& markerPath, const wchar_t* groupPath) {
    resetLastError();
    if (markerPath.empty()) return setLastError(InvalidPath);
    Fields& f = *m_fields;
    const RegistryLock lock;
    NodeRegistry& registry = NodeRegistry::instance();
    std::wstring marker;
    try {
        marker = normalizedAbsolute(markerPath);
    } catch (const std::exception&) {
        return setLastError(InvalidPath);
    }

    if (marker == f.markerFilePath) {
        if (!groupPath) return true;
        if (f.parent && memberGroupPath(*f.parent) == groupPath) return true;
        adoptParentFrom(groupPath);
        updateLinks();
        return true;
    }

    registry.removeOwned(f.markerFilePath, this);
    const fs::path file = toFsPath(marker);
    f.directory = file.parent_path();
    f.markerFilePath = marker;
    f.userVisibleName = toWide(file.stem());
    if (f.userVisibleName == L"config" &&
        ulib_2_18::equals_no_case(toWide(file.extension()), getProjectExtension(false)))
        f.userVisibleName = toWide(f.directory.filename());
    registry.add(f.markerFilePath, this);

    // One read gives both the digest of the marker's head and its bag.
    std::wstring digest;
    setLastError(readMarker(f.markerFilePath, f.bag, digest));
    if (!f.linkFilePath.empty() && digest != f.markerDigest) f.linkStale = true;
    f.markerDigest = digest;

    if (const corekit2::variant_bag_t* talvo = talvoSection(f.bag)) {
        if (const wchar_t* output = stringValue(talvo, L"outputDirectory"))
            f.outputDirectory = output;
        if (groupPath) adoptParentFrom(groupPath);
        if (const wchar_t* backlink = stringValue(talvo, L"backlink")) {
            if (*backlink && f.linkFilePath.empty()) {
                std::wstring linked;
                readLinkFile(backlink, linked);
                if (linked != f.markerFilePath) f.linkStale = true;
            }
            // A node reached through a link belongs to the group that holds the link.
            if (!f.parent && !f.linkFilePath.empty() && isRegularFile(f.linkFilePath))
                adoptParentFrom(parentOf(f.linkFilePath));
        }
        // Otherwise the node belongs to the owner of the directory that holds it, if any.
        if (!f.parent && f.directory.has_parent_path() && f.directory != f.directory.root_path())
            adoptParentFrom(toWide(f.directory.parent_path()));
        updateLinks();
    }
    f.path = toWide(f.directory);
    return ResultDirectoryManager::getLastError() == OK;
}

void Node::adoptParentFrom(const std::wstring& groupPath) {
    Fields& f = *m_fields;
    try {
        // A group that opens decides the parent, an ownerless one (a plain directory) by having
        // none; where no group opens the parent stays.
        const corekit2::sptr_t<INodeGroup> group = INodeGroup::open(groupPath.c_str());
        if (!group) return;
        corekit2::sptr_t<INode> owner = group->getNode();
        // A node is never its own parent (a project refreshed inside its own directory): that
        // would be a reference cycle and an endless walk up to the project.
        if (owner && dynamic_cast<Node*>(owner.get()) == this) return;
        f.parent = owner;
    } catch (const std::exception&) {
        f.parent.reset();
    }
}

void Node::refreshMarker() {
    Fields& f = *m_fields;
    if (isRegularFile(f.markerFilePath)) return;
    const std::wstring renamed = locateMarkerFile(
        f.path, makeExtensionSet({toWide(toFsPath(f.markerFilePath).extension())}));
    if (!renamed.empty()) rebindKeepingChanges(renamed, f.path.c_str());
}

const wchar_t* Node::getPath() {
    return m_fields->path.c_str();
}

int32_t Node::getFilesCount() {
    int32_t count = 0;
    platform::walkRegularFiles(m_fields->directory.native(), [&](uint64_t) { ++count; });
    return count;
}

int64_t Node::getSize() {
    int64_t size = 0;
    platform::walkRegularFiles(m_fields->directory.native(),
                               [&](uint64_t bytes) { size += static_cast<int64_t>(bytes); });
    return size;
}

const wchar_t* Node::getMarkerFilePath() {
    refreshMarker();
    return m_fields->markerFilePath.c_str();
}

bool Node::changeMarkerFilePath(const wchar_t* path) {
    Fields& f = *m_fields;
    if (!path || !*path || !isEncodable(path)) return setLastError(InvalidPath);
    // Only a linked node whose marker is gone may be given another one, and only one that is
    // there; a refusal says which.
    const auto exists = [](const std::wstring& file) {
        return platform::typeAt(toFsPath(file).native(), true) != platform::FileType::Missing;
    };
    if (f.linkFilePath.empty() || !exists(f.linkFilePath) || !isMissing())
        return setLastError(ParameterError);
    if (!exists(path)) return setLastError(NotFound);
    return bind(path, f.path.c_str());
}

const wchar_t* Node::getUserVisibleName() {
    return isMissing() ? nullptr : m_fields->userVisibleName.c_str();
}

bool Node::changeUserVisibleName(const wchar_t* name) {
    Fields& f = *m_fields;
    // The name stays within the node's directory (no separators, no "." or "..") and is the
    // name the marker gets on disk.
    const std::wstring wanted = name ? name : L"";
    if (!isPlainName(wanted)) return setLastError(ParameterError);
    refreshMarker();
    const fs::path marker = toFsPath(f.markerFilePath);
    const fs::path renamed = marker.parent_path() / toFsPath(wanted + toWide(marker.extension()));
    if (renamed == marker) return resetLastError();
    // The marker never replaces a file of the new name: that may be another node's marker.
    const platform::Status moved =
        platform::renameWithoutReplacing(marker.native(), renamed.native());
    if (!moved) return setLastError(moved.error());
    const std::wstring parentPath = f.parent ? f.parent->getPath() : L"";
    return rebindKeepingChanges(toWide(renamed), f.parent ? parentPath.c_str() : nullptr);
}

bool Node::rebindKeepingChanges(const std::wstring& markerPath, const wchar_t* groupPath) {
    // Binding reloads the bag from the marker file; when only the marker's name changed, changes
    // not yet saved must survive it.
    Fields& f = *m_fields;
    if (!f.monitor.modified) return bind(markerPath, groupPath);
    corekit2::variant_bag_t pending(f.bag);
    const bool bound = bind(markerPath, groupPath);
    f.bag.swap(pending);
    f.monitor.modified = true;
    return bound;
}

corekit2::sptr_t<INode> Node::getParent() {
    return m_fields->parent;
}

bool Node::setParent(const wchar_t* path) {
    const std::wstring marker = m_fields->markerFilePath;
    return bind(marker, path);
}

corekit2::sptr_t<INode> Node::getProject() {
    for (corekit2::sptr_t<INode> ancestor = getParent(); ancestor;
         ancestor = ancestor->getParent()) {
        if (IProject::cast(ancestor)) return ancestor;
    }
    return {};
}

corekit2::sptr_t<INodeGroup> Node::getNodeGroup() {
    return {};
}

corekit2::sptr_t<propstore2::IPropertyStorage> Node::getPropertyStorage() {
    return m_fields->storage;
}

bool Node::save() {
    Fields& f = *m_fields;
    // Someone else holding the project read-only refuses the save; ownFlag's answer stays the
    // last error, so the caller can tell that from a failed write.
    if (ownFlag(L"project_read_only") == FlagOwnedElsewhere) return false;
    // Asking to save is asking to keep: the node stays on disk when closed even if this write
    // fails, so a full disk or a damaged marker never costs the collector data beside it.
    f.removeOnClose = false;
    f.monitor.modified = false;
    return setLastError(saveBagFile(f.markerFilePath, nullptr, f.bag));
}

bool Node::isModified() {
    return m_fields->monitor.modified;
}

int64_t Node::getCreationTime() {
    const corekit2::variant_bag_t* talvo = talvoSection(m_fields->bag);
    return talvo ? static_cast<int64_t>(talvo->get_variant(L"timestamp").get_uint64()) : 0;
}

corekit2::sptr_t<propstore2::IPropertyStorage> Node::getTransientStorage() {
    return m_fields->transientStorage;
}

bool Node::isLinked() {
    return !m_fields->linkFilePath.empty();
}

bool Node::isMissing() {
    refreshMarker();
    return platform::typeAt(toFsPath(m_fields->markerFilePath).native(), true) ==
           platform::FileType::Missing;
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
