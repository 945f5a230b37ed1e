#pragma once

// A concrete node kind for tests of the node core: a Node with the result-directory interface.
// Install it with TestNodeKind so that the node opener makes it for result markers.

#include <boost/filesystem.hpp>

#include "node/node_opener.hpp"
#include "node/node_state.hpp"
#include "node/node_view.hpp"
#include "talvo2/result_directory_base.hpp"

namespace talvo2::test {

class TestNode final : public Node, public ResultDirectoryBase {
public:
    TestNode(std::wstring& markerPath, const wchar_t* groupPath) : Node(markerPath, groupPath) {}

    TALVO2_NODE_FORWARDS

    bool remove() override {
        boost::system::error_code ec;
        boost::filesystem::remove_all(boost::filesystem::path(getPath()), ec);
        return !ec;
    }

    static Node* make(std::wstring& markerPath, const wchar_t* groupPath, error_t& bound) {
        auto* node = new TestNode(markerPath, groupPath);
        bound = NodeAccess::fields(*node).bindOutcome;
        return node;
    }
};

// Makes result markers open as TestNode while in scope.
class TestNodeKind {
public:
    TestNodeKind() { setNodeFactory(NodeKind::Result, &TestNode::make); }
    ~TestNodeKind() { setNodeFactory(NodeKind::Result, nullptr); }
};

}  // namespace talvo2::test
