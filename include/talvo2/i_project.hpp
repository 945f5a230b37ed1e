#pragma once

#include "talvo2/i_node.hpp"

namespace talvo2 {

// A project: a node that groups result directories and experiments in its directory. It adds no
// operations to INode.
class TALVO2_API IProject : public virtual INode {
public:
    IProject();
    IProject(const IProject&);
    IProject& operator=(const IProject&);
    ~IProject() override;

    // Makes a new project and opens it. `path` names its directory (its last element may be a
    // result-name pattern such as "p@@@"), or its marker file. With `base` (a group's directory,
    // may be null) a relative path goes into that group's output directory and the group's owner
    // becomes the parent. A directory that is already there receives the marker (a project marker
    // of the same name is written afresh, losing what it held). With `removeOnClose` the project's
    // directory, also one that was there before, is deleted with its last handle unless saved. A
    // new reference with the opening's outcome as last error (OK, or OperationFailed when the
    // marker cannot be read back or a link written); empty with the reason: EmptyPattern for null
    // or "", pattern errors, InvalidPath, NotFound (the parent is no directory),
    // InsufficientPermissions, or OperationFailed when the marker cannot be written.
    static corekit2::sptr_t<IProject> create(const wchar_t* path, const wchar_t* base,
                                             bool removeOnClose);

    // Opens the project that `path` names: its directory, marker, link file or a pattern (the
    // greatest file name wins), relative to `base` (the current directory when null). A project
    // open already is that node, with OK; one opened afresh takes as parent the owner of the group
    // at `base`, else of the directory holding it, and leaves how its binding went (OK, or
    // OperationFailed for a marker that cannot be read). Empty with InvalidPath for null, NotFound
    // when there is no project there, or a pattern error.
    static corekit2::sptr_t<IProject> open(const wchar_t* path, const wchar_t* base);

    // Whether `path` leads to a project's marker file: a directory holding one, the marker itself,
    // or a project link file. Opens nothing; leaves OK or the lookup's error as last error (false
    // with InvalidPath for null or an unencodable path).
    static bool probe(const wchar_t* path);

    // The project view of `node` when it is one of this library's projects (a new reference),
    // else empty. The argument is released in every case; the last error stays.
    static corekit2::sptr_t<IProject> cast(corekit2::sptr_t<INode> node);
};

}  // namespace talvo2
