#pragma once

#include "talvo2/i_node.hpp"

namespace talvo2 {

// A experiment: a node that groups the result directories of one experiment in its directory. It
// adds no operations to INode.
class TALVO2_API IExperiment : public virtual INode {
public:
    IExperiment();
    IExperiment(const IExperiment&);
    IExperiment& operator=(const IExperiment&);
    ~IExperiment() override;

    // Makes a new experiment and opens it, as IProject::create does, except that a directory
    // already there is refused (AlreadyExists) and the new experiment is never removed on close.
    static corekit2::sptr_t<IExperiment> create(const wchar_t* path, const wchar_t* base);

    // Opens the experiment that `path` names: its directory, marker, link file or a pattern (the
    // greatest file name wins), relative to `base` (the current directory when null); the group
    // at `base` becomes its parent. Empty when there is none (NotFound) or it is of another kind.
    static corekit2::sptr_t<IExperiment> open(const wchar_t* path, const wchar_t* base);

    // Whether `path` leads to a experiment's marker file. Opens nothing; resets the last error.
    static bool probe(const wchar_t* path);

    // The experiment view of `node` when it is one of this library's experiments, else empty. The
    // argument is released in every case.
    static corekit2::sptr_t<IExperiment> cast(corekit2::sptr_t<INode> node);
};

}  // namespace talvo2
