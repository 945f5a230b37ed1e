#pragma once

// The group of a project's or experiment's members, as the node core sees it: a node group that
// can follow its owner to a new directory. The groups subsystem implements it.

#include <string>

#include "talvo2/error.hpp"
#include "talvo2/i_node_group.hpp"

namespace talvo2 {

class MemberGroup : public INodeGroup {
public:
    // The owner now stands for `directory` (copied or moved there): the group does too, and the
    // owner's output directory becomes it. OK, or OperationFailed when the owner's marker could
    // not record it.
    virtual error_t follow(const std::wstring& directory) = 0;
};

}  // namespace talvo2
