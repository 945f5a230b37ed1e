#pragma once

#include "corekit2/sptr.hpp"
#include "talvo2/i_node.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// The `View` of `node` when it is one of the library's own nodes of that kind, else empty. A
// caller's own class implementing the same interface does not pass: the library relies on its
// nodes' internals. `node` is released either way.
template <class View>
corekit2::sptr_t<View> castNode(corekit2::sptr_t<INode> node) {
    View* view = dynamic_cast<Node*>(node.get()) ? dynamic_cast<View*>(node.get()) : nullptr;
    corekit2::sptr_t<View> result(view);
    node.reset();
    return result;
}

}  // namespace talvo2
