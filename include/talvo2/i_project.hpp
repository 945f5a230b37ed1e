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
    // may be null) a relative path goes into that group's output directory. A plain directory
    // that is already there receives the marker. With `removeOnClose` the project is deleted
    // with its last handle unless saved. Empty on failure, with the reason as last error.
    static corekit2::sptr_t<IProject> create(const wchar_t* path, const wchar_t* base,
                                             bool removeOnClose);

    // Opens the project that `path` names: its directory, marker, link file or a pattern (the
    // greatest file name wins), relative to `base` (the current directory when null); the group
    // at `base` becomes its parent. Empty when there is none (NotFound) or it is of another kind.
    static corekit2::sptr_t<IProject> open(const wchar_t* path, const wchar_t* base);

    // Whether `path` leads to a project's marker file. Opens nothing; resets the last error.
    static bool probe(const wchar_t* path);

    // The project view of `node` when it is one of this library's projects, else empty. The
    // argument is released in every case.
    static corekit2::sptr_t<IProject> cast(corekit2::sptr_t<INode> node);
};

}  // namespace talvo2
