#include "groups/container_node.hpp"

#include <type_traits>

#include "frame/boundary.hpp"
#include "frame/wide_path.hpp"
#include "groups/node_group.hpp"
#include "node/creation_metadata.hpp"
#include "node/directory_maker.hpp"
#include "node/marker_files.hpp"
#include "node/node_cast.hpp"
#include "node/node_copy.hpp"
#include "node/node_lookup.hpp"
#include "node/node_opener.hpp"
#include "node/node_removal.hpp"
#include "node/node_state.hpp"
#include "talvo2/names.hpp"

namespace talvo2 {

using corekit2::sptr_t;

template <class Base>
ContainerNode<Base>::ContainerNode(std::wstring& markerPath, const wchar_t* groupPath)
    : Node(markerPath, groupPath) {
    fieldsOf(*this).memberGroup = std::make_unique<NodeGroup>(fieldsOf(*this).path, this);
}

template <class Base>
Node* ContainerNode<Base>::make(std::wstring& markerPath, const wchar_t* groupPath,
                                error_t& bound) {
    Node* node = nullptr;
    if constexpr (std::is_same_v<Base, ProjectBase>) {
        node = new Project(markerPath, groupPath);
    } else {
        node = new Experiment(markerPath, groupPath);
    }
    bound = fieldsOf(*node).bindOutcome;
    return node;
}

template <class Base>
sptr_t<INodeGroup> ContainerNode<Base>::getNodeGroup() {
    return sptr_t<INodeGroup>(fieldsOf(*this).memberGroup.get());
}

template <class Base>
bool ContainerNode<Base>::remove() {
    return exported(false, [&]() -> Reply<bool> {
        const error_t removed = removeNode(*this);
        return {removed == OK, removed};
    });
}

template <class Base>
std::wstring ContainerNode<Base>::duplicate(const wchar_t* name) const {
    return exported(std::wstring(), [&]() -> Reply<std::wstring> {
        const Result<std::wstring> made = duplicateNode(*this, name, false, false);
        return {made.value, made.error};
    });
}

template class ContainerNode<ProjectBase>;
template class ContainerNode<ExperimentBase>;

namespace {

// The marker extension of new nodes of `View`'s kind, and the extensions that open one.
template <class View>
std::wstring markerExtension() {
    if constexpr (std::is_same_v<View, IProject>) {
        return getProjectExtension(false);
    } else {
        return getExperimentExtension();
    }
}

template <class View>
ExtensionSet kindExtensions() {
    if constexpr (std::is_same_v<View, IProject>) {
        return projectExtensionSet();
    } else {
        return experimentExtensionSet();
    }
}

template <class View>
Reply<sptr_t<View>> replyOf(Result<sptr_t<View>> result) {
    return {std::move(result.value), result.error};
}

}  // namespace

template <class View>
Result<sptr_t<View>> openContainer(const wchar_t* path, const wchar_t* base) {
    if (!path) return {{}, InvalidPath};
    const Result<FileSet> found =
        findNodes(path, base ? base : L"", kindExtensions<View>(), 1, false);
    if (found.value.empty()) return {{}, found.error};
    // A marker of another kind answers empty; the last error is the opening's.
    Result<sptr_t<INode>> opened = openNode(*found.value.begin(), base);
    return {castNode<View>(std::move(opened.value)), opened.error};
}

template <class View>
Result<sptr_t<View>> createContainer(const wchar_t* path, const wchar_t* base) {
    if (!path || !*path) return {{}, EmptyPattern};
    // A project settles into a plain directory that is already there; an experiment does not.
    constexpr bool existingAllowed = std::is_same_v<View, IProject>;
    corekit2::variant_bag_t bag;
    writeCreationMetadata(bag);
    const auto [directory, markerName] = splitMarkerPath(path, markerExtension<View>());
    NodeRequest request;
    request.path = directory;
    request.base = base ? base : L"";
    request.bag = &bag;
    request.markerName = markerName;
    MadeNode made;
    const error_t outcome = makeNode(request, made);
    std::wstring created = made.directory;
    if (outcome == AlreadyExists && existingAllowed) {
        created = normalizedAbsolute(directory);
        const error_t written = writeMarkerFile(created, markerName, bag);
        if (written != OK) return {{}, written};
    } else if (outcome != OK) {
        return {{}, outcome};
    }
    return openContainer<View>(created.c_str(), base);
}

template Result<sptr_t<IProject>> createContainer<IProject>(const wchar_t*, const wchar_t*);
template Result<sptr_t<IExperiment>> createContainer<IExperiment>(const wchar_t*, const wchar_t*);
template Result<sptr_t<IProject>> openContainer<IProject>(const wchar_t*, const wchar_t*);
template Result<sptr_t<IExperiment>> openContainer<IExperiment>(const wchar_t*, const wchar_t*);

sptr_t<IProject> IProject::create(const wchar_t* path, const wchar_t* base, bool removeOnClose) {
    return exported(sptr_t<IProject>(), [&] {
        Result<sptr_t<IProject>> project = createContainer<IProject>(path, base);
        if (project.value) project.value->setRemoveOnClose(removeOnClose);
        return replyOf(std::move(project));
    });
}

sptr_t<IProject> IProject::open(const wchar_t* path, const wchar_t* base) {
    return exported(sptr_t<IProject>(),
                    [&] { return replyOf(openContainer<IProject>(path, base)); });
}

bool IProject::probe(const wchar_t* path) {
    return exported(false, [&]() -> Reply<bool> {
        if (!path) return failed(false, InvalidPath);
        const Result<std::wstring> marker = locateMarkerFile(path, projectExtensionSet());
        return {!marker.value.empty(), marker.error};
    });
}

sptr_t<IExperiment> IExperiment::create(const wchar_t* path, const wchar_t* base) {
    return exported(sptr_t<IExperiment>(),
                    [&] { return replyOf(createContainer<IExperiment>(path, base)); });
}

sptr_t<IExperiment> IExperiment::open(const wchar_t* path, const wchar_t* base) {
    return exported(sptr_t<IExperiment>(),
                    [&] { return replyOf(openContainer<IExperiment>(path, base)); });
}

bool IExperiment::probe(const wchar_t* path) {
    return exported(false, [&]() -> Reply<bool> {
        if (!path) return failed(false, InvalidPath);
        const Result<std::wstring> marker = locateMarkerFile(path, experimentExtensionSet());
        return {!marker.value.empty(), marker.error};
    });
}

}  // namespace talvo2
