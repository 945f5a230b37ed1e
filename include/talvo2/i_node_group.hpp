#pragma once

#include <cstdint>

#include "corekit2/iterator.hpp"
#include "corekit2/object.hpp"
#include "corekit2/sptr.hpp"
#include "corekit2/variant_bag.hpp"
#include "talvo2/export.hpp"

namespace talvo2 {

class IExperiment;
class INode;
class IPathIterator;
class IProject;
class IResultDirectory;

// A directory seen as a container of nodes: its members are the result directories, experiments
// and projects found in it (their directories, and link files to such nodes elsewhere); a marker
// lying directly in the directory (the owner's own) is no member. Every project and experiment owns
// the group of its own directory: a handle on that group is a reference on the owner, and the group
// lives and dies with it. A group of a plain directory (no owner) counts its own references.
// Reference counting is thread-safe; use a group from one thread at a time, together with its
// owner. Returned handles and iterators are new references the caller owns; returned const wchar_t*
// belong to the group. Operations that say nothing of the last error leave it as it was. The slot
// order is the binary interface.
class TALVO2_API INodeGroup : public corekit2::object_interface_t {
public:
    INodeGroup();
    INodeGroup(const INodeGroup&);
    INodeGroup& operator=(const INodeGroup&);
    ~INodeGroup() override;

    // The group's directory, absolute. An owned group follows its owner when the owner is copied
    // or moved; the text stays valid until then or until the group is destroyed.
    virtual const wchar_t* getPath() = 0;
    // The marker paths of all members (link files as they are), in file-name order, one per file
    // name. Always an iterator; the last error is OK when there are members, NotFound when there
    // are none (also when the directory is gone), or why the directory cannot be read.
    virtual corekit2::sptr_t<IPathIterator> getMemberPaths() = 0;
    // The members matching `pattern` (null or "" for all, a name, or a result-name pattern such as
    // r@@@); with `maxCount` above 0 only that many, those with the greatest file names. The last
    // error is the lookup's: OK when some match, NotFound when none do, or a pattern error.
    // Reading the iterator opens each member: a member open already is that node (the last error
    // stays); otherwise a new node, leaving how its binding went (OperationFailed for a marker
    // that cannot be read). A member deleted since the lookup gives an empty handle (NotFound).
    virtual corekit2::generic_iterator_t<corekit2::sptr_t<INode>> getNodes(const wchar_t* pattern,
                                                                           uint32_t maxCount) = 0;
    // A result, or in a project an experiment, by its directory, marker or link path (give it in
    // full: a relative path is looked up from the current directory first), placed in this group:
    // the owner becomes its parent and a link file is written when it lies elsewhere. The last
    // error is how placing it went (OK, or OperationFailed when a link could not be written).
    // Empty with InvalidPath for null; NotFound for a group without owner, a path that names no
    // such member, a project, or an experiment in an experiment.
    virtual corekit2::sptr_t<INode> openNode(const wchar_t* path) = 0;
    // Removes, as INode::remove does, every member matching `pattern` (null or "" for all) but the
    // `keep` ones with the greatest file names. The last error is OK when every member due was
    // removed, the first failure met otherwise (removal goes on past it), and the lookup's answer
    // (NotFound for a pattern that matches nothing) when no member was due.
    virtual void removeNodes(const wchar_t* pattern, uint32_t keep) = 0;
    // Whether the group has no members; leaves the last error as getMemberPaths does (NotFound
    // when empty).
    virtual bool isEmpty() = 0;
    // The factories. The create operations make a member and open it as
    // ResultDirectoryManager::create, IExperiment::create and IProject::create do with this group
    // as `base`: a relative path goes into the group's output directory, and the owner (if any)
    // becomes the new node's parent, linked when the node lies outside the owner's directory. A
    // new reference with the opening's outcome as last error (OK, or OperationFailed when the
    // marker cannot be read back or a link written); empty with the reason (EmptyPattern, pattern
    // errors, AlreadyExists, ...).
    // The open operations find the member of their kind that `path` names in the group's own
    // directory (a relative path counts from there; a pattern opens the greatest file name, a
    // link file the node it names): a new reference, with OK for a node open already, or how the
    // binding went for one opened afresh (OperationFailed for a marker that cannot be read), which
    // takes the owner as parent. Empty with InvalidPath for null, NotFound when there is none of
    // the kind, or a pattern error.
    //
    // A new result directory whose marker holds a copy of `properties` (may be null) and the
    // creation metadata; a name that is taken is never overwritten (AlreadyExists).
    virtual corekit2::sptr_t<IResultDirectory> createResultDirectory(
        const wchar_t* path, const corekit2::variant_bag_t* properties) = 0;
    // The result directory that `path` names.
    virtual corekit2::sptr_t<IResultDirectory> openResultDirectory(const wchar_t* path) = 0;
    // A new experiment; a directory already there is refused (AlreadyExists).
    virtual corekit2::sptr_t<IExperiment> createExperiment(const wchar_t* path) = 0;
    // The experiment that `path` names.
    virtual corekit2::sptr_t<IExperiment> openExperiment(const wchar_t* path) = 0;
    // A new project; a directory already there receives the marker. With `removeOnClose` the
    // project's directory, also one that was there before, is deleted on its last release unless
    // it was saved.
    virtual corekit2::sptr_t<IProject> createProject(const wchar_t* path, bool removeOnClose) = 0;
    // The project that `path` names.
    virtual corekit2::sptr_t<IProject> openProject(const wchar_t* path) = 0;
    // The owning project or experiment (a new reference); empty for a group without owner.
    virtual corekit2::sptr_t<INode> getNode() = 0;
    // Where the factories put members given by relative paths; null or "" means the owner's
    // directory. An owned group records the choice in the owner's marker at once (the owner's
    // whole bag is written, unsaved changes included), leaving OK or OperationFailed as last
    // error; when the owner's bag has no "talvo" section nothing is written and the last error
    // stays. A group without owner only remembers the value for getOutputDirectory: its members
    // still go into its own directory.
    virtual void setOutputDirectory(const wchar_t* directory) = 0;
    // The output directory: an owned group's recorded one, or the owner's directory when none is;
    // for a group without owner the last value set (at first the path it was opened with). The
    // text stays valid until the next call of either output-directory operation on the group or
    // the group's end.
    virtual const wchar_t* getOutputDirectory() = 0;

    // The group of the project or experiment that `path` names (directory, marker or link), with
    // how opening the owner went as last error; or a new group of the plain directory `path` (two
    // opens give two objects), with OK. Empty with NotFound when it is neither (InvalidPath for
    // null).
    static corekit2::sptr_t<INodeGroup> open(const wchar_t* path);

    // The project markers found directly in `directory` (a project directory, a project marker
    // or a project link file each count), in listing order; the text next returns stays valid
    // until the next call. Always an iterator. The last error: why `directory` cannot be read
    // (no paths), else the lookup outcome of its last entry (OK, or why that entry cannot be
    // read); a directory without entries leaves it as it was. Null gives no paths and InvalidPath.
    static corekit2::sptr_t<IPathIterator> findProjects(const wchar_t* directory);
};

}  // namespace talvo2
