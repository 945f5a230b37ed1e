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

    // The project view of `node` when it is one of this library's projects, else empty. The
    // argument is released in every case.
    static corekit2::sptr_t<IProject> cast(corekit2::sptr_t<INode> node);
};

}  // namespace talvo2
