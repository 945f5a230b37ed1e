#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "corekit2/bag_file.hpp"
#include "node/test_node.hpp"
#include "propstore2/property_storage.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;

// Makes `name` with an empty result marker in `dir`; returns the marker path.
std::wstring makeResult(const TempDir& dir, const std::wstring& name) {
    fs::create_directories(dir.path() / test::utf8Path(name));
    const std::wstring marker = dir.wide(name + L"/" + name) + getResultExtension(false);
    EXPECT_EQ(corekit2::save_variant_bag({}, marker.c_str()), corekit2::BAG_OK);
    return marker;
}

// Counts its instances. Nodes are made and destroyed under the registry lock, so these counts
// show exactly how many nodes were alive at once.
std::atomic<int> g_live{0}, g_maxLive{0}, g_made{0}, g_destroyed{0};

class CountingNode final : public Node, public ResultDirectoryBase {
public:
    CountingNode(std::wstring& markerPath, const wchar_t* groupPath) : Node(markerPath, groupPath) {
        ++g_made;
        g_maxLive = std::max(g_maxLive.load(), ++g_live);
    }
    ~CountingNode() override {
        --g_live;
        ++g_destroyed;
    }
    TALVO2_NODE_FORWARDS
    static Node* make(std::wstring& markerPath, const wchar_t* groupPath, error_t&) {
        return new CountingNode(markerPath, groupPath);
    }
};

class CountingKind {
public:
    CountingKind() {
        g_live = g_maxLive = g_made = g_destroyed = 0;
        setNodeFactory(NodeKind::Result, &CountingNode::make);
    }
    ~CountingKind() { setNodeFactory(NodeKind::Result, nullptr); }
};

TEST(NodeRegistryTest, EveryWrittenFormOfAPathFindsTheSameNode) {
    Node::reset();
    TempDir dir;
    test::TestNodeKind kind;
    const std::wstring marker = makeResult(dir, L"r000");
    fs::create_directories(dir.path() / "r000" / "x");
    const std::wstring ext = getResultExtension(false);

    sptr_t<INode> node = openNode(marker, nullptr).value;
    ASSERT_TRUE(node);
    EXPECT_EQ(Node::uid(node), 1u);
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    for (const std::wstring& form :
         {marker, dir.wide(L"r000/./r000" + ext), dir.wide(L"r000/x/../r000" + ext),
          dir.wide(L"r000//r000" + ext), L"r000/r000" + ext}) {
        EXPECT_EQ(openNode(form, nullptr).value, node) << form;
        EXPECT_EQ(Node::handleCount(), 1u);
    }
    fs::current_path(cwd);

    node.reset();
    EXPECT_EQ(Node::handleCount(), 0u);
    EXPECT_EQ(Node::uid(openNode(marker, nullptr).value), 2u);
}

TEST(NodeRegistryTest, CountsNodesMadeUntilReset) {
    Node::reset();
    TempDir dir;
    test::TestNodeKind kind;
    std::vector<sptr_t<INode>> nodes;
    for (const wchar_t* name : {L"r000", L"r001", L"r002"})
        nodes.push_back(openNode(makeResult(dir, name), nullptr).value);
    EXPECT_EQ(Node::handleCount(), 3u);
    nodes.clear();
    EXPECT_EQ(Node::handleCount(), 0u);
    EXPECT_EQ(Node::nodeCount(), 3u);

    Node::reset();
    EXPECT_EQ(Node::nodeCount(), 0u);
    EXPECT_EQ(Node::uid(openNode(dir.wide(L"r001/r001.talvo"), nullptr).value), 1u);
}

TEST(NodeRegistryTest, NodeForgottenByResetLeavesItsSuccessorRegistered) {
    TempDir dir;
    test::TestNodeKind kind;
    const std::wstring marker = makeResult(dir, L"r000");
    sptr_t<INode> forgotten = openNode(marker, nullptr).value;
    ASSERT_TRUE(forgotten);
    Node::reset();
    const sptr_t<INode> successor = openNode(marker, nullptr).value;
    ASSERT_TRUE(successor);
    EXPECT_NE(successor, forgotten);
    // The forgotten node keeps working, and its end must not take its successor's place away.
    EXPECT_STREQ(forgotten->getMarkerFilePath(), marker.c_str());
    forgotten.reset();
    EXPECT_EQ(Node::handleCount(), 1u);
    EXPECT_EQ(openNode(marker, nullptr).value, successor);
}

// Runs `body(thread index)` in 8 threads at once and waits for them all.
void inThreads(const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back(body, t);
    for (std::thread& thread : threads) thread.join();
}

TEST(NodeRegistryTest, ConcurrentOpensAndCopiesKeepOneLiveNodeAndExactCounts) {
    TempDir dir;
    CountingKind kind;
    const std::wstring marker = makeResult(dir, L"r000");
    std::atomic<int> strangers{0};
    inThreads([&](int t) {
        sptr_t<INode> kept;
        for (int i = 0; i < 200; ++i) {
            const sptr_t<INode> node = openNode(marker, nullptr).value;
            // While this thread holds the node, nobody may be given another one.
            if (!node || (kept && kept != node)) ++strangers;
            if (t % 2 == 0 && i % (t + 3) == 0) kept = node;
            if (i % 5 == 0) kept.reset();
        }
    });
    EXPECT_EQ(strangers.load(), 0);
    EXPECT_EQ(g_maxLive.load(), 1);
    EXPECT_EQ(g_live.load(), 0);
    EXPECT_EQ(g_destroyed.load(), g_made.load());
    EXPECT_EQ(Node::handleCount(), 0u);

    // Copies made and dropped in many threads leave the count exact: one destruction, at the end.
    const int made = g_made.load();
    sptr_t<INode> node = openNode(marker, nullptr).value;
    inThreads([&node](int t) {
        std::vector<sptr_t<INode>> copies;
        for (int i = 0; i < 5000; ++i) {
            copies.push_back(node);
            if (i % (t + 2) == 0) copies.clear();
        }
    });
    EXPECT_EQ(g_live.load(), 1);
    node.reset();
    EXPECT_EQ(g_live.load(), 0);
    EXPECT_EQ(g_destroyed.load(), made + 1);
    EXPECT_EQ(Node::handleCount(), 0u);
}

}  // namespace
}  // namespace talvo2
