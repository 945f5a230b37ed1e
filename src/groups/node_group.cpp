#include "groups/node_group.hpp"

#include <boost/filesystem/path.hpp>
#include <vector>

#include "frame/bag_files.hpp"
#include "frame/boundary.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "groups/container_node.hpp"
#include "groups/path_iterators.hpp"
#include "node/node_binding.hpp"
#include "node/node_cast.hpp"
#include "node/node_lookup.hpp"
#include "node/node_opener.hpp"
#include "node/node_removal.hpp"
#include "node/node_state.hpp"
#include "platform/files.hpp"
#include "talvo2/i_experiment.hpp"
#include "talvo2/i_path_iterator.hpp"
#include "talvo2/i_project.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/names.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

using corekit2::sptr_t;

// The marker paths of one iteration, shared by the copies of its iterator.
struct MarkerFileSet final : public corekit2::ref_counted_t<corekit2::object_interface_t> {
    FileSet paths;
};

class NodeIterator final : public corekit2::iterator_handler_t<sptr_t<INode>> {
public:
    NodeIterator(sptr_t<MarkerFileSet> set, FileSet::const_iterator cursor)
        : m_set(std::move(set)), m_cursor(cursor) {}
    bool at_end() const override { return m_cursor == m_set->paths.end(); }
    // A member deleted since the iteration began yields an empty handle. Opening a member that
    // is live already leaves the last error alone; a new one leaves how its binding went.
    sptr_t<INode> current() const override {
        return exported(sptr_t<INode>(), [&]() -> Reply<sptr_t<INode>> {
            if (platform::typeAt(toFsPath(*m_cursor).native(), false) !=
                platform::FileType::Regular)
                return failed(sptr_t<INode>(), NotFound);
            bool made = false;
            Result<sptr_t<INode>> opened = talvo2::openNode(*m_cursor, nullptr, &made);
            return {std::move(opened.value),
                    made || !opened.value ? LastError(opened.error) : LastError::kept()};
        });
    }
    void advance() override { ++m_cursor; }
    iterator_handler_t* copy() const override { return new NodeIterator(m_set, m_cursor); }
    void release() override { delete this; }

private:
    sptr_t<MarkerFileSet> m_set;
    FileSet::const_iterator m_cursor;
};

std::wstring normalized(const std::wstring& path) {
    const std::wstring absolute = normalizedAbsolute(path);
    return absolute.empty() ? path : absolute;
}

bool sameExtension(const std::wstring& path, const std::wstring& extension) {
    return !extension.empty() && ulib_2_18::equals_no_case(extensionOf(path), extension);
}

template <class T>
Reply<T> replyOf(Result<T> result) {
    return {std::move(result.value), result.error};
}

}  // namespace

NodeGroup::NodeGroup(const std::wstring& path, Node* owner)
    : m_path(normalized(path)), m_owner(owner), m_outputDirectory(path) {}

uint32_t NodeGroup::add_ref() {
    return m_owner ? m_owner->add_ref() : m_refs.sync_inc();
}

uint32_t NodeGroup::release() {
    if (m_owner) return m_owner->release();
    const uint32_t left = m_refs.sync_dec();
    if (left == 0) delete this;
    return left;
}

sptr_t<IPathIterator> NodeGroup::getMemberPaths() {
    return exported(sptr_t<IPathIterator>(), [&]() -> Reply<sptr_t<IPathIterator>> {
        Result<FileSet> members = findNodes(L"*", m_path, memberExtensionSet(), 0, false);
        return {sptr_t<IPathIterator>(new NodePathIterator(std::move(members.value))),
                members.error};
    });
}

corekit2::generic_iterator_t<sptr_t<INode>> NodeGroup::getNodes(const wchar_t* pattern,
                                                                uint32_t maxCount) {
    using Iterator = corekit2::generic_iterator_t<sptr_t<INode>>;
    return exported(Iterator(), [&]() -> Reply<Iterator> {
        sptr_t<MarkerFileSet> set(new MarkerFileSet);
        const std::wstring wanted = pattern && *pattern ? pattern : L"*";
        Result<FileSet> members = findNodes(wanted, m_path, memberExtensionSet(), maxCount, false);
        set->paths = std::move(members.value);
        const auto first = set->paths.cbegin();
        return {Iterator(new NodeIterator(set, first)), members.error};
    });
}

sptr_t<INode> NodeGroup::openNode(const wchar_t* path) {
    return exported(sptr_t<INode>(), [&]() -> Reply<sptr_t<INode>> {
        if (!path) return failed(sptr_t<INode>(), InvalidPath);
        if (!m_owner) return failed(sptr_t<INode>(), NotFound);
        const Result<std::wstring> marker = locateMarkerFile(
            path, makeExtensionSet({getProjectExtension(false), getExperimentExtension(),
                                    getResultExtension(false)}));
        if (marker.value.empty())
            return failed(sptr_t<INode>(), marker.error == OK ? NotFound : marker.error);
        const std::wstring ownerExtension = extensionOf(fieldsOf(*m_owner).markerFilePath);
        const bool ownerIsExperiment = sameExtension(ownerExtension, getExperimentExtension());
        const bool markerIsExperiment =
            sameExtension(extensionOf(marker.value), getExperimentExtension());
        // Experiments do not nest; a project under a project is not a member either.
        if (ownerIsExperiment && markerIsExperiment) return failed(sptr_t<INode>(), NotFound);
        const ExtensionSet kind = markerIsExperiment
                                      ? makeExtensionSet({getExperimentExtension()})
                                      : makeExtensionSet({getResultExtension(false)});
        const Result<FileSet> found = findNodes(path, m_path, kind, 1, true);
        if (found.value.empty()) return failed(sptr_t<INode>(), found.error);
        Result<sptr_t<INode>> opened = talvo2::openNode(*found.value.begin(), m_path.c_str());
        if (!opened.value) return replyOf(std::move(opened));
        // The member is placed in this group whichever group it was opened from before.
        Node& member = *dynamic_cast<Node*>(opened.value.get());
        const std::wstring memberMarker = fieldsOf(member).markerFilePath;
        const Result<bool> placed = bindNode(member, memberMarker, m_path.c_str());
        return {std::move(opened.value), placed.error};
    });
}

void NodeGroup::removeNodes(const wchar_t* pattern, uint32_t keep) {
    exportedVoid([&]() -> LastError {
        const std::wstring wanted = pattern && *pattern ? pattern : L"*";
        const Result<FileSet> members = findNodes(wanted, m_path, memberExtensionSet(), 0, false);
        if (members.value.size() <= keep) return members.error;
        // Every member due goes, whatever happens to the others; the first that could not be
        // removed says why.
        error_t first = OK;
        std::size_t remove = members.value.size() - keep;
        for (auto it = members.value.begin(); remove > 0; ++it, --remove) {
            const error_t removed = removeMember(*it);
            if (first == OK) first = removed;
        }
        return first;
    });
}

bool NodeGroup::isEmpty() {
    return getMemberPaths()->getCount() == 0;
}

sptr_t<IResultDirectory> NodeGroup::createResultDirectory(
    const wchar_t* path, const corekit2::variant_bag_t* properties) {
    return ResultDirectoryManager::create(path, false, properties, false, m_path.c_str());
}

Result<sptr_t<INode>> NodeGroup::openMember(const wchar_t* path, const ExtensionSet& set) {
    if (!path) return {{}, InvalidPath};
    const Result<FileSet> found = findNodes(path, m_path, set, 1, false);
    if (found.value.empty()) return {{}, found.error};
    return talvo2::openNode(*found.value.begin(), m_path.c_str());
}

template <class View>
sptr_t<View> NodeGroup::openKind(const wchar_t* path, const ExtensionSet& set) {
    return exported(sptr_t<View>(), [&]() -> Reply<sptr_t<View>> {
        Result<sptr_t<INode>> opened = openMember(path, set);
        return {castNode<View>(std::move(opened.value)), opened.error};
    });
}

sptr_t<IResultDirectory> NodeGroup::openResultDirectory(const wchar_t* path) {
    return openKind<IResultDirectory>(path, resultExtensionSet());
}

sptr_t<IExperiment> NodeGroup::createExperiment(const wchar_t* path) {
    return exported(sptr_t<IExperiment>(),
                    [&] { return replyOf(createContainer<IExperiment>(path, m_path.c_str())); });
}

sptr_t<IExperiment> NodeGroup::openExperiment(const wchar_t* path) {
    return openKind<IExperiment>(path, experimentExtensionSet());
}

sptr_t<IProject> NodeGroup::createProject(const wchar_t* path, bool removeOnClose) {
    return exported(sptr_t<IProject>(), [&] {
        Result<sptr_t<IProject>> project = createContainer<IProject>(path, m_path.c_str());
        if (project.value) project.value->setRemoveOnClose(removeOnClose);
        return replyOf(std::move(project));
    });
}

sptr_t<IProject> NodeGroup::openProject(const wchar_t* path) {
    return openKind<IProject>(path, projectExtensionSet());
}

sptr_t<INode> NodeGroup::getNode() {
    return m_owner ? sptr_t<INode>(m_owner->asINode()) : sptr_t<INode>();
}

error_t NodeGroup::recordOutputDirectory(const std::wstring& directory) {
    m_outputDirectory = directory;
    if (!m_owner) return OK;
    Node::Fields& owner = fieldsOf(*m_owner);
    owner.outputDirectory = directory;
    // The choice is recorded in the owner's marker at once, so reopening keeps it.
    corekit2::variant_bag_t* talvo = owner.bag.get<corekit2::variant_bag_t>(disk::kTalvoSection);
    if (!talvo) return OK;
    talvo->put(disk::kOutputDirectory, corekit2::variant_t(directory));
    return saveMarker(*m_owner);
}

void NodeGroup::setOutputDirectory(const wchar_t* directory) {
    exportedVoid([&]() -> LastError {
        const bool recorded = m_owner && fieldsOf(*m_owner).bag.get<corekit2::variant_bag_t>(
                                             disk::kTalvoSection) != nullptr;
        const error_t saved = recordOutputDirectory(directory ? directory : L"");
        return recorded ? LastError(saved) : LastError::kept();
    });
}

error_t NodeGroup::follow(const std::wstring& directory) {
    m_path = normalized(directory);
    return recordOutputDirectory(directory);
}

const wchar_t* NodeGroup::getOutputDirectory() {
    if (m_owner) {
        const Node::Fields& owner = fieldsOf(*m_owner);
        m_outputDirectory = owner.outputDirectory.empty() ? owner.path : owner.outputDirectory;
    }
    return m_outputDirectory.c_str();
}

sptr_t<INodeGroup> INodeGroup::open(const wchar_t* path) {
    return exported(sptr_t<INodeGroup>(), [&]() -> Reply<sptr_t<INodeGroup>> {
        if (!path) return failed(sptr_t<INodeGroup>(), InvalidPath);
        const GroupAt group = findGroup(path);
        if (group.owner) return {group.owner->getNodeGroup(), group.last};
        // A plain directory is a group without owner; where nothing opens, NotFound says so.
        if (group.opened) return {sptr_t<INodeGroup>(new NodeGroup(path, nullptr)), OK};
        return failed(sptr_t<INodeGroup>(), NotFound);
    });
}

sptr_t<IPathIterator> INodeGroup::findProjects(const wchar_t* directory) {
    return exported(sptr_t<IPathIterator>(), [&]() -> Reply<sptr_t<IPathIterator>> {
        sptr_t<ProjectPathIterator> projects(new ProjectPathIterator);
        if (!isEncodable(directory)) return {projects, InvalidPath};
        // The last error is the last lookup's, or why the directory could not be listed; a
        // directory without entries leaves it as it was.
        LastError last = LastError::kept();
        const fs::path base = toFsPath(directory);
        std::vector<platform::DirectoryEntry> entries;
        const platform::Status listed = platform::listDirectory(base.native(), entries);
        if (!listed) last = listed.error();
        for (const platform::DirectoryEntry& entry : entries) {
            const Result<std::wstring> marker =
                locateMarkerFile(toWide(base / entry.name), projectExtensionSet());
            last = marker.error;
            if (!marker.value.empty()) projects->append(corekit2::path_t(marker.value));
        }
        return {projects, last};
    });
}

}  // namespace talvo2
