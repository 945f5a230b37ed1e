#pragma once

#include "talvo2/i_node.hpp"

namespace talvo2 {

// An experiment: a node that groups the result directories of one experiment in its directory. It
// adds no operations to INode.
class TALVO2_API IExperiment : public virtual INode {
public:
    IExperiment();
    IExperiment(const IExperiment&);
    IExperiment& operator=(const IExperiment&);
    ~IExperiment() override;

    // Makes a new experiment and opens it, as IProject::create does, except that a directory
    // already there is refused (AlreadyExists, nothing written) and the new experiment is never
    // removed on close.
    static corekit2::sptr_t<IExperiment> create(const wchar_t* path, const wchar_t* base);

    // Opens the experiment that `path` names (packed experiments included), as IProject::open
    // opens a project; empty with NotFound when there is no experiment there.
    static corekit2::sptr_t<IExperiment> open(const wchar_t* path, const wchar_t* base);

    // Whether `path` leads to an experiment's marker file (a directory holding one, the marker
    // itself, or a link file). Opens nothing; leaves OK or the lookup's error as last error (false
    // with InvalidPath for null or an unencodable path).
    static bool probe(const wchar_t* path);

    // The experiment view of `node` when it is one of this library's experiments (a new
    // reference), else empty. The argument is released in every case; the last error stays.
    static corekit2::sptr_t<IExperiment> cast(corekit2::sptr_t<INode> node);
};

}  // namespace talvo2
