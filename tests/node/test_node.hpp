#pragma once

// A concrete node kind for tests of the node core: a Node with the result-directory interface.
// Install it with TestNodeKind so that the node opener makes it for markers of a kind.

#include <boost/filesystem.hpp>

#include "groups/container_node.hpp"
#include "node/node_opener.hpp"
#include "node/node_state.hpp"
#include "node/node_view.hpp"
#include "results/result_directory.hpp"
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

// Makes markers of `kind` open as the nodes `make` gives (TestNode by default) while in scope,
// then as the library's own again, so later tests in the same process find them.
class TestNodeKind {
public:
    explicit TestNodeKind(NodeKind kind = NodeKind::Result, NodeFactory make = &TestNode::make)
        : m_kind(kind) {
        setNodeFactory(kind, make);
    }
    ~TestNodeKind() {
        setNodeFactory(m_kind, m_kind == NodeKind::Result    ? &ResultDirectory::make
                               : m_kind == NodeKind::Project ? &Project::make
                                                             : &Experiment::make);
    }

private:
    NodeKind m_kind;
};

}  // namespace talvo2::test
