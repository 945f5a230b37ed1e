#include "node/node_removal.hpp"

#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_binding.hpp"
#include "node/node_lookup.hpp"
#include "node/node_opener.hpp"
#include "node/node_relations.hpp"
#include "node/node_state.hpp"
#include "platform/files.hpp"
#include "platform/hidden_entries.hpp"
#include "platform/tree_walk.hpp"

namespace talvo2 {

namespace {

bool isRegularFile(const std::wstring& path) {
    return platform::typeAt(toFsPath(path).native(), false) == platform::FileType::Regular;
}

// Takes the node's directory out of sight in one rename before deleting it, so a removal that
// fails or is killed halfway never leaves a node without its marker in view: either nothing
// changed, or what is left lies under a hidden name that a sweep recognises.
error_t removeDirectory(const boost::filesystem::path& directory) {
    std::unique_ptr<platform::Directory> parent;
    const platform::Status opened = platform::fileSystem().openDirectory(
        nullptr, directory.parent_path().native(), true, false, parent);
    if (!opened) return opened.error();
    return platform::removeOutOfSight(*parent, directory.filename().native());
}

}  // namespace

error_t deleteNodeFiles(Node::Fields& fields) {
    // Members first; the first failure among them is the answer, and the node goes all the same.
    error_t first = OK;
    if (fields.memberGroup) {
        const Result<FileSet> members =
            findNodes(L"*", fields.path, memberExtensionSet(), 0, false);
        for (const std::wstring& member : members.value) {
            const error_t removed = removeMember(member);
            if (first == OK) first = removed;
        }
    }
    // The directory goes only when it is this node's, its marker there as a regular file; one
    // reached through a link only when its marker names that link back. Otherwise only the link
    // file goes: a path read from a file is never reason enough to delete what it names. The
    // tree goes through directory descriptors: symbolic links inside, even ones swapped in while
    // the removal runs, are deleted themselves and never followed out of the tree.
    const bool ownMarker = isRegularFile(fields.markerFilePath) &&
                           (fields.linkFilePath.empty() ||
                            markerNamesLink(fields.markerFilePath, fields.linkFilePath));
    platform::FileInfo info;
    const platform::Status probe =
        platform::fileSystem().status(nullptr, fields.directory.native(), false, info);
    const bool directory = probe && info.type == platform::FileType::Directory;
    error_t tree = OK;
    if (directory && ownMarker) tree = removeDirectory(fields.directory);
    // A directory already gone is the goal reached; one that is there without the node's marker is
    // no node's to delete.
    if (directory && !ownMarker && isRegularFile(fields.markerFilePath) == false &&
        fields.linkFilePath.empty())
        tree = NotFound;
    platform::Status link;
    if (!fields.linkFilePath.empty() && isLinkFilePath(fields.linkFilePath) &&
        isRegularFile(fields.linkFilePath))
        link = platform::removeFile(toFsPath(fields.linkFilePath).native());
    if (first != OK) return first;
    if (!probe && !probe.missing()) return probe.error();
    if (tree != OK) return tree;
    return link.error();
}

error_t removeNode(Node& node) {
    Node::Fields& fields = fieldsOf(node);
    fields.removed = true;
    return deleteNodeFiles(fields);
}

error_t removeMember(const std::wstring& member) {
    if (isLinkFilePath(member)) {
        // A link file whose node does not name it back goes alone: what it names is not the
        // group's to delete.
        const std::wstring target = linkTarget(member);
        if (target.empty() || !markerNamesLink(target, member)) {
            if (!isRegularFile(member)) return OK;
            return platform::removeFile(toFsPath(member).native()).error();
        }
    }
    const Result<corekit2::sptr_t<INode>> opened = openNode(member, nullptr);
    auto* node = dynamic_cast<Node*>(opened.value.get());
    return node ? removeNode(*node) : opened.error;
}

}  // namespace talvo2
