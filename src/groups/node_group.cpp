#include "groups/node_group.hpp"

#include <boost/filesystem/path.hpp>
#include <vector>

#include "frame/bag_files.hpp"
#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "groups/path_iterators.hpp"
#include "node/node_fields.hpp"
#include "node/node_opener.hpp"
#include "platform/files.hpp"
#include "results/node_lookup.hpp"
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
    // A member deleted since the iteration began yields an empty handle.
    sptr_t<INode> current() const override { return talvo2::openNode(*m_cursor, nullptr); }
    void advance() override { ++m_cursor; }
    iterator_handler_t* copy() const override { return new NodeIterator(m_set, m_cursor); }
    void release() override { delete this; }

private:
    sptr_t<MarkerFileSet> m_set;
    FileSet::const_iterator m_cursor;
};

std::wstring normalized(const std::wstring& path) {
    try {
        return normalizedAbsolute(path);
    } catch (const std::exception&) {
        return path;
    }
}

bool sameExtension(const std::wstring& path, const std::wstring& extension) {
    return !extension.empty() && ulib_2_18::equals_no_case(extensionOf(path), extension);
}

}  // namespace

NodeGroup::NodeGroup(const std::wstring& path, Node* owner)
    : m_path(normalized(path)), m_owner(owner), m_outputDirectory(path) {}

void NodeGroup::rebase(const std::wstring& path) {
    m_path = normalized(path);
}

uint32_t NodeGroup::add_ref() {
    return m_owner ? m_owner->add_ref() : m_refs.sync_inc();
}

uint32_t NodeGroup::release() {
    if (m_owner) return m_owner->release();
    const uint32_t left = m_refs.sync_dec();
    if (left == 0) delete this;
    return left;
}

ExtensionSet NodeGroup::memberExtensions() {
    return makeExtensionSet({getResultExtension(false), getResultExtension(true),
                             getExperimentExtension(), getProjectExtension(false),
                             getProjectExtension(true)});
}

sptr_t<IPathIterator> NodeGroup::getMemberPaths() {
    return sptr_t<IPathIterator>(
        new NodePathIterator(findNodes(L"*", m_path, memberExtensions(), 0, false)));
}

corekit2::generic_iterator_t<sptr_t<INode>> NodeGroup::getNodes(const wchar_t* pattern,
                                                                uint32_t maxCount) {
    sptr_t<MarkerFileSet> set(new MarkerFileSet);
    const std::wstring wanted = pattern && *pattern ? pattern : L"*";
    set->paths = findNodes(wanted, m_path, memberExtensions(), maxCount, false);
    const auto first = set->paths.cbegin();
    return corekit2::generic_iterator_t<sptr_t<INode>>(new NodeIterator(set, first));
}

sptr_t<INode> NodeGroup::openNode(const wchar_t* path) {
    if (!path || !m_owner) {
        setLastError(path ? NotFound : InvalidPath);
        return {};
    }
    const std::wstring marker = locateMarkerFile(
        path, makeExtensionSet({getProjectExtension(false), getExperimentExtension(),
                                getResultExtension(false)}));
    if (marker.empty()) {
        if (ResultDirectoryManager::getLastError() == OK) setLastError(NotFound);
        return {};
    }
    const std::wstring ownerExtension = extensionOf(m_owner->getMarkerFilePath());
    const bool ownerIsExperiment = sameExtension(ownerExtension, getExperimentExtension());
    const bool markerIsExperiment = sameExtension(extensionOf(marker), getExperimentExtension());
    // Experiments do not nest; a project under a project is not a member either.
    if (ownerIsExperiment && markerIsExperiment) {
        setLastError(NotFound);
        return {};
    }
    const ExtensionSet kind = markerIsExperiment ? makeExtensionSet({getExperimentExtension()})
                                                 : makeExtensionSet({getResultExtension(false)});
    const FileSet found = findNodes(path, m_path, kind, 1, true);
    if (found.empty()) return {};
    sptr_t<INode> node = talvo2::openNode(*found.begin(), m_path.c_str());
    if (node) node->setParent(m_path.c_str());
    return node;
}

void NodeGroup::removeNodes(const wchar_t* pattern, uint32_t keep) {
    resetLastError();
    const std::wstring wanted = pattern && *pattern ? pattern : L"*";
    const FileSet members = findNodes(wanted, m_path, memberExtensions(), 0, false);
    if (members.size() <= keep) return;
    std::size_t remove = members.size() - keep;
    for (auto it = members.begin(); remove > 0; ++it, --remove) {
        if (sptr_t<INode> node = talvo2::openNode(*it, nullptr)) node->remove();
    }
}

bool NodeGroup::isEmpty() {
    return getMemberPaths()->getCount() == 0;
}

sptr_t<IResultDirectory> NodeGroup::createResultDirectory(
    const wchar_t* path, const corekit2::variant_bag_t* properties) {
    return ResultDirectoryManager::create(path, false, properties, false, m_path.c_str());
}

sptr_t<INode> NodeGroup::openMember(const wchar_t* path, const ExtensionSet& set) {
    if (!path) {
        setLastError(InvalidPath);
        return {};
    }
    const FileSet found = findNodes(path, m_path, set, 1, false);
    if (found.empty()) return {};
    return talvo2::openNode(*found.begin(), m_path.c_str());
}

sptr_t<IResultDirectory> NodeGroup::openResultDirectory(const wchar_t* path) {
    return IResultDirectory::cast(
        openMember(path, makeExtensionSet({getResultExtension(false), getResultExtension(true)})));
}

sptr_t<IExperiment> NodeGroup::createExperiment(const wchar_t* path) {
    return IExperiment::create(path, m_path.c_str());
}

sptr_t<IExperiment> NodeGroup::openExperiment(const wchar_t* path) {
    return IExperiment::cast(openMember(
        path, makeExtensionSet({getExperimentExtension(), getPackedExperimentExtension()})));
}

sptr_t<IProject> NodeGroup::createProject(const wchar_t* path, bool removeOnClose) {
    return IProject::create(path, m_path.c_str(), removeOnClose);
}

sptr_t<IProject> NodeGroup::openProject(const wchar_t* path) {
    return IProject::cast(openMember(
        path, makeExtensionSet({getProjectExtension(false), getProjectExtension(true)})));
}

sptr_t<INode> NodeGroup::getNode() {
    return m_owner ? sptr_t<INode>(m_owner->asINode()) : sptr_t<INode>();
}

void NodeGroup::setOutputDirectory(const wchar_t* directory) {
    const std::wstring chosen = directory ? directory : L"";
    if (m_owner) {
        Node::Fields& owner = m_owner->fields();
        owner.outputDirectory = chosen;
        // The choice is recorded in the owner's marker at once, so reopening keeps it.
        if (corekit2::variant_bag_t* talvo = owner.bag.get<corekit2::variant_bag_t>(L"talvo")) {
            talvo->put(L"outputDirectory", corekit2::variant_t(chosen));
            setLastError(saveBagFile(owner.markerFilePath, nullptr, owner.bag));
        }
    }
    m_outputDirectory = chosen;
}

const wchar_t* NodeGroup::getOutputDirectory() {
    if (m_owner) {
        const Node::Fields& owner = m_owner->fields();
        m_outputDirectory = owner.outputDirectory.empty() ? owner.path : owner.outputDirectory;
    }
    return m_outputDirectory.c_str();
}

sptr_t<INodeGroup> INodeGroup::open(const wchar_t* path) {
    if (!path) {
        setLastError(InvalidPath);
        return {};
    }
    try {
        const std::wstring marker = locateMarkerFile(
            path, makeExtensionSet({getProjectExtension(false), getExperimentExtension(),
                                    getProjectExtension(true)}));
        if (!marker.empty()) {
            if (const sptr_t<INode> node = talvo2::openNode(marker, nullptr))
                return node->getNodeGroup();
        }
        if (platform::typeAt(toFsPath(path).native(), true) == platform::FileType::Directory) {
            resetLastError();
            return sptr_t<INodeGroup>(new NodeGroup(path, nullptr));
        }
        setLastError(NotFound);
    } catch (const std::exception&) {
        setLastError(OperationFailed);
    }
    return {};
}

sptr_t<IPathIterator> INodeGroup::findProjects(const wchar_t* directory) {
    sptr_t<ProjectPathIterator> projects(new ProjectPathIterator);
    if (!isEncodable(directory)) {
        setLastError(InvalidPath);
        return projects;
    }
    const ExtensionSet set =
        makeExtensionSet({getProjectExtension(false), getProjectExtension(true)});
    try {
        const fs::path base = toFsPath(directory);
        std::vector<platform::DirectoryEntry> entries;
        const platform::Status listed = platform::listDirectory(base.native(), entries);
        if (!listed) setLastError(listed.error());
        for (const platform::DirectoryEntry& entry : entries) {
            const std::wstring marker = locateMarkerFile(toWide(base / entry.name), set);
            if (!marker.empty()) projects->append(corekit2::path_t(marker));
        }
    } catch (const std::exception&) {
        setLastError(OperationFailed);
    }
    return projects;
}

}  // namespace talvo2
