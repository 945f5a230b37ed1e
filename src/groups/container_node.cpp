#include "groups/container_node.hpp"

#include <boost/filesystem.hpp>
#include <type_traits>

#include "corekit2/bag_file.hpp"
#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "groups/node_group.hpp"
#include "node/marker_files.hpp"
#include "node/node_copy.hpp"
#include "node/node_fields.hpp"
#include "node/node_opener.hpp"
#include "node/node_removal.hpp"
#include "results/creation_metadata.hpp"
#include "results/node_lookup.hpp"
#include "results/result_directory_maker.hpp"
#include "talvo2/names.hpp"
#include "talvo2/result_directory_manager.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

using corekit2::sptr_t;

template <class Base>
ContainerNode<Base>::ContainerNode(std::wstring& markerPath, const wchar_t* groupPath)
    : Node(markerPath, groupPath) {
    fields().memberGroup = std::make_unique<NodeGroup>(fields().path, this);
}

template <class Base>
sptr_t<INodeGroup> ContainerNode<Base>::getNodeGroup() {
    return sptr_t<INodeGroup>(fields().memberGroup.get());
}

template <class Base>
bool ContainerNode<Base>::remove() {
    return removeNodeFromDisk(fields());
}

template <class Base>
std::wstring ContainerNode<Base>::duplicate(const wchar_t* name) const {
    return duplicateNode(
        *this, name,
        [](const wchar_t* path) -> corekit2::sptr_t<INode> {
            if constexpr (std::is_same_v<Base, ProjectBase>) {
                return IProject::create(path, nullptr, false);
            } else {
                return IExperiment::create(path, nullptr);
            }
        },
        false);
}

template class ContainerNode<ProjectBase>;
template class ContainerNode<ExperimentBase>;

namespace {

ExtensionSet projectExtensions() {
    return makeExtensionSet({getProjectExtension(false), getProjectExtension(true)});
}

ExtensionSet experimentExtensions() {
    return makeExtensionSet({getExperimentExtension(), getPackedExperimentExtension()});
}

// Opens the node of `View`'s kind that `path` names, against `base`.
template <class View>
sptr_t<View> openKind(const wchar_t* path, const wchar_t* base, const ExtensionSet& set) {
    if (!path) {
        setLastError(InvalidPath);
        return {};
    }
    try {
        const FileSet found = findNodes(path, base ? base : L"", set, 1, false);
        if (found.empty()) return {};
        return View::cast(openNode(*found.begin(), base));
    } catch (const std::exception&) {
        setLastError(OperationFailed);
        return {};
    }
}

// Makes the directory and marker of a new project or experiment; `existingAllowed` lets a
// project settle into a plain directory that is already there. Returns the directory, or "";
// `listed` receives what the numbering learned of the parent's owner, for the opening to use.
std::wstring makeContainer(const wchar_t* path, const wchar_t* base, const std::wstring& extension,
                           bool existingAllowed, std::unique_ptr<OwnerListingHint>& listed) {
    if (!path || !*path) {
        setLastError(EmptyPattern);
        return std::wstring();
    }
    corekit2::variant_bag_t bag;
    writeCreationMetadata(bag);
    const auto [directory, markerName] = splitMarkerPath(path, extension);
    std::wstring created;
    const error_t made =
        makeResultDirectory(directory, base ? base : L"", false, bag, false, created, &listed);
    setLastError(made);
    if (made == AlreadyExists && existingAllowed) {
        created = normalizedAbsolute(directory);
    } else if (made != OK) {
        return std::wstring();
    }
    if (!setLastError(writeMarkerFile(created, markerName, bag))) return std::wstring();
    return created;
}

}  // namespace

sptr_t<IProject> IProject::create(const wchar_t* path, const wchar_t* base, bool removeOnClose) {
    try {
        std::unique_ptr<OwnerListingHint> listed;
        const std::wstring directory =
            makeContainer(path, base, getProjectExtension(false), true, listed);
        if (directory.empty()) return {};
        sptr_t<IProject> project = open(directory.c_str(), base);
        if (project) project->setRemoveOnClose(removeOnClose);
        return project;
    } catch (const boost::system::system_error& error) {
        setLastError(systemErrorToError(error));
    } catch (const std::exception&) {
        setLastError(OperationFailed);
    }
    return {};
}

sptr_t<IProject> IProject::open(const wchar_t* path, const wchar_t* base) {
    return openKind<IProject>(path, base, projectExtensions());
}

bool IProject::probe(const wchar_t* path) {
    if (!path) return setLastError(InvalidPath);
    return !locateMarkerFile(path, projectExtensions()).empty();
}

sptr_t<IExperiment> IExperiment::create(const wchar_t* path, const wchar_t* base) {
    try {
        std::unique_ptr<OwnerListingHint> listed;
        const std::wstring directory =
            makeContainer(path, base, getExperimentExtension(), false, listed);
        if (directory.empty()) return {};
        return open(directory.c_str(), base);
    } catch (const boost::system::system_error& error) {
        setLastError(systemErrorToError(error));
    } catch (const std::exception&) {
        setLastError(OperationFailed);
    }
    return {};
}

sptr_t<IExperiment> IExperiment::open(const wchar_t* path, const wchar_t* base) {
    return openKind<IExperiment>(path, base, experimentExtensions());
}

bool IExperiment::probe(const wchar_t* path) {
    if (!path) return setLastError(InvalidPath);
    return !locateMarkerFile(path, experimentExtensions()).empty();
}

}  // namespace talvo2
