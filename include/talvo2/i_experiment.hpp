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

    // The experiment view of `node` when it is one of this library's experiments, else empty. The
    // argument is released in every case.
    static corekit2::sptr_t<IExperiment> cast(corekit2::sptr_t<INode> node);
};

}  // namespace talvo2
