// The node core through result nodes: markers, renames, saving, removal on close, the registry.

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <thread>
#include <tuple>

#include "corekit2/bag_file.hpp"
#include "node/node_opener.hpp"
#include "results/result_directory.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;

// Writes the marker `relative` in `dir` holding `bag`, with its directory, and gives its path.
std::wstring makeNode(const test::TempDir& dir, const std::wstring& relative,
                      const variant_bag_t& bag = {}) {
    fs::create_directories((dir.path() / test::utf8Path(relative)).parent_path());
    EXPECT_EQ(corekit2::save_variant_bag(bag, dir.wide(relative).c_str()), corekit2::BAG_OK);
    return dir.wide(relative);
}

// A node opened on r000/r000.talvo, which holds an empty bag.
struct NodeTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(node); }

    test::TempDir dir;
    const std::wstring marker = makeNode(dir, L"r000/r000.talvo");
    sptr_t<INode> node = openNode(marker, nullptr).value;
};

using NodeRegistryTest = NodeTest;

// A marker that cannot be loaded gives an empty node, and what is set on it is never written.
TEST(NodeUnreadableTest, UnreadableMarkerGivesAnEmptyNodeAndIsNeverWritten) {
    test::TempDir dir;
    const std::wstring marker = makeNode(dir, L"r000/r000.talvo");
    const fs::path file = test::utf8Path(marker);
    const auto openEmpty = [&marker](bool missing) {
        const auto [node, error] = openNode(marker, nullptr);
        ASSERT_TRUE(node);
        EXPECT_EQ(std::make_tuple(error, node->getPropertyStorage()->getNames(), node->isMissing()),
                  std::make_tuple(OperationFailed, std::vector<std::wstring>{}, missing));
        node->getPropertyStorage()->setValue(L"unsaved", 1);
    };
    const std::string before = test::readFile(file);
    fs::permissions(file, fs::perms::no_perms);
    const int status = test::runUnprivileged([&] { openEmpty(false); });
    EXPECT_TRUE(status == 0 || status == -1) << status;  // -1: cannot drop root here
    EXPECT_EQ(test::readFile(file), before);
    for (const char* content : {static_cast<const char*>(nullptr), "", "\x01\x02 not a bag <<<"}) {
        SCOPED_TRACE(content ? content : "missing");
        fs::remove(file);
        if (content) test::writeFile(file, content);
        openEmpty(content == nullptr);
        EXPECT_EQ(fs::exists(file) ? test::readFile(file) : "none", content ? content : "none");
    }
}

// The marker is followed wherever it goes; no rename or rebinding loses unsaved changes.
TEST_F(NodeTest, FollowsItsMarkerRenamedByItOrBehindItsBackAndLosesNothing) {
    const fs::path folder = dir.path() / "r000";
    const auto pending = [this] { return node->getPropertyStorage()->getInt32(L"pending"); };
    ASSERT_TRUE(node->getPropertyStorage()->setValue(L"pending", 3));
    EXPECT_TRUE(node->setParent(nullptr) && node->setParent(dir.wide(L"r000").c_str()));
    EXPECT_EQ(pending(), 3) << "rebinding reloaded the bag";
    EXPECT_TRUE(node->changeUserVisibleName(L"newname"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "the old marker is gone";
    EXPECT_TRUE(node->isModified());
    EXPECT_EQ(pending(), 3);
    test::writeFile(folder / "taken.talvo", "someone else's");
    EXPECT_FALSE(node->changeUserVisibleName(L"taken"));
    EXPECT_EQ(test::readFile(folder / "taken.talvo"), "someone else's");
    EXPECT_STREQ(node->getUserVisibleName(), L"newname");
    fs::remove(folder / "taken.talvo");

    // Behind its back: asking for the marker or for the name alone follows the rename.
    fs::rename(folder / "newname.talvo", folder / "again.talvo");
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), dir.wide(L"r000/again.talvo"));
    EXPECT_EQ(openNode(dir.wide(L"r000/again.talvo"), nullptr).value, node);
    EXPECT_EQ(Node::handleCount(), 1u);
    fs::rename(folder / "again.talvo", folder / "last.talvo");
    EXPECT_STREQ(node->getUserVisibleName(), L"last");
    EXPECT_EQ(pending(), 3);
    fs::remove(folder / "last.talvo");
    EXPECT_TRUE(node->isMissing());
    EXPECT_EQ(node->getUserVisibleName(), nullptr);
}

TEST_F(NodeTest, ChangesMarkTheNodeModifiedUntilSaved) {
    const auto storage = node->getPropertyStorage(), transient = node->getTransientStorage();
    EXPECT_FALSE(node->isModified());
    ASSERT_TRUE(storage->setValue(L"answer", 42));
    EXPECT_TRUE(node->isModified());
    ASSERT_TRUE(node->save());
    ASSERT_TRUE(storage->removeValue(L"answer"));
    EXPECT_TRUE(node->isModified());
    ASSERT_TRUE(node->save());
    ASSERT_TRUE(transient->setValue(L"scratch", 5));
    EXPECT_FALSE(node->isModified()) << "saved, and transient values never mark the node";
    node.reset();
    EXPECT_FALSE(storage->setValue(L"late", 1) || transient->setValue(L"scratch", 6))
        << "handles kept past the node change nothing";
}

// Walks never follow links out of the tree; remove-on-close spares a node asked to save.
TEST_F(NodeTest, SizeAndRemoveOnCloseTakeOnlyTheTreeItselfAndOnlyWhenUnsaved) {
    const fs::path root = dir.path() / "r000";
    sptr_t<INode> failed = openNode(makeNode(dir, L"r002/r002.talvo"), nullptr).value;
    test::writeFile(dir.path() / "r002/data.bin", "collected");
    fs::create_directories(root / "sub/deeper");
    test::writeFile(root / "sub/deeper/b.bin", std::string(120, 'b'));
    fs::create_directory_symlink(dir.path() / "r002", root / "link");
    fs::create_symlink(dir.path() / "r002/data.bin", root / "data.bin");
    EXPECT_EQ(node->getFilesCount(), 2);
    EXPECT_EQ(node->getSize(), static_cast<int64_t>(fs::file_size(root / "r000.talvo")) + 120);
    node->setRemoveOnClose(true);
    failed->setRemoveOnClose(true);
    fs::remove(dir.path() / "r002/r002.talvo");
    fs::create_directory(dir.path() / "r002/r002.talvo");  // which no file can replace
    EXPECT_FALSE(failed->save());
    EXPECT_EQ(test::lastError(), OperationFailed);
    EXPECT_FALSE(failed->isModified());
    node.reset();
    failed.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
    EXPECT_EQ(test::readFile(dir.path() / "r002/data.bin"), "collected");
}

// One node per marker however written, none kept without handles, and a clean reset; the casts.
TEST_F(NodeRegistryTest, EveryWrittenFormFindsTheSameNodeAndResetForgetsCleanly) {
    const uint32_t uid = Node::uid(node);
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    for (const std::wstring& form :
         {marker, dir.wide(L"r000/./r000.talvo"), dir.wide(L"r000/x/../r000.talvo"),
          dir.wide(L"r000//r000.talvo"), std::wstring(L"r000/r000.talvo")})
        EXPECT_EQ(openNode(form, nullptr).value, node) << form;
    fs::current_path(cwd);
    // The creation time is the talvo section's; a project's "config" is named after its directory.
    variant_bag_t stamped, topLevel;
    stamped.put(L"talvo", variant_bag_t())->put(L"timestamp", variant_t(uint64_t{1700000123}));
    topLevel.put(L"timestamp", variant_t(uint64_t{1700000123}));
    for (const auto& [file, bag, name, time] :
         {std::make_tuple(L"r001/config.talvo", topLevel, L"config", 0),
          std::make_tuple(L"myproj/config.talvoproj", stamped, L"myproj", 1700000123),
          std::make_tuple(L"p2/other.talvoproj", topLevel, L"other", 0)}) {
        const sptr_t<INode> read = openNode(makeNode(dir, file, bag), nullptr).value;
        EXPECT_STREQ(read->getUserVisibleName(), name);
        EXPECT_EQ(read->getCreationTime(), time) << file;
    }
    EXPECT_EQ(Node::handleCount(), 1u);
    EXPECT_EQ(Node::uid(openNode(dir.wide(L"r001/config.talvo"), nullptr).value), uid + 4);

    Node::reset();
    sptr_t<INode> successor = openNode(marker, nullptr).value;
    EXPECT_EQ(std::make_pair(Node::uid(successor), Node::nodeCount()), std::make_pair(1u, 1u));
    EXPECT_NE(successor, node);
    EXPECT_STREQ(node->getMarkerFilePath(), marker.c_str()) << "the forgotten node works on";
    node.reset();
    EXPECT_EQ(openNode(marker, nullptr).value, successor) << "still registered";

    // The casts pass the library's own nodes, as their own kind only; the view is a full handle.
    EXPECT_FALSE(IProject::cast(successor) || IExperiment::cast(successor));
    const sptr_t<IResultDirectory> view = IResultDirectory::cast(std::move(successor));
    EXPECT_EQ(Node::uid(view), 1u);
    view->add_ref();
    EXPECT_EQ(view->release(), 1u) << "the node lives on through the view alone";
    EXPECT_FALSE(IResultDirectory::cast({}) || IProject::cast({}) || IExperiment::cast({}));
    EXPECT_EQ(Node::uid({}), 0u);
}

// Counts its instances; nodes are made and destroyed under the registry lock, so exactly.
std::atomic<int> g_live{0}, g_maxLive{0};

struct CountingNode final : Node, ResultDirectoryBase {
    CountingNode(std::wstring& markerPath, const wchar_t* groupPath) : Node(markerPath, groupPath) {
        g_maxLive = std::max(g_maxLive.load(), ++g_live);
    }
    ~CountingNode() override { --g_live; }
    TALVO2_NODE_FORWARDS
    static Node* make(std::wstring& markerPath, const wchar_t* groupPath, error_t&) {
        return new CountingNode(markerPath, groupPath);
    }
};

// Runs `body(thread index)` in 8 threads at once and waits for them all.
void inThreads(const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back(body, t);
    for (std::thread& thread : threads) thread.join();
}

TEST_F(NodeRegistryTest, ConcurrentOpensAndCopiesKeepOneLiveNodeAndExactCounts) {
    node.reset();  // its marker opens as a counting node from here on
    setNodeFactory(NodeKind::Result, &CountingNode::make);
    std::atomic<int> strangers{0};
    inThreads([&](int t) {
        sptr_t<INode> kept;
        for (int i = 0; i < 200; ++i) {
            const sptr_t<INode> opened = openNode(marker, nullptr).value;
            // While this thread holds the node, nobody may be given another one.
            if (!opened || (kept && kept != opened)) ++strangers;
            if (t % 2 == 0 && i % (t + 3) == 0) kept = opened;
            if (i % 5 == 0) kept.reset();
        }
    });
    // {strangers given, most nodes alive at once, nodes alive now, registered}
    EXPECT_EQ(
        std::make_tuple(strangers.load(), g_maxLive.load(), g_live.load(), Node::handleCount()),
        std::make_tuple(0, 1, 0, 0u));

    // Copies made and dropped in many threads leave the count exact: one destruction, at the end.
    const uint32_t made = Node::nodeCount();
    node = openNode(marker, nullptr).value;
    inThreads([this](int t) {
        std::vector<sptr_t<INode>> copies;
        for (int i = 0; i < 5000; ++i) {
            copies.push_back(node);
            if (i % (t + 2) == 0) copies.clear();
        }
    });
    EXPECT_EQ(g_live.load(), 1);
    node.reset();
    EXPECT_EQ(std::make_tuple(Node::nodeCount(), g_live.load(), Node::handleCount()),
              std::make_tuple(made + 1, 0, 0u));
    setNodeFactory(NodeKind::Result, &ResultDirectory::make);  // results are the library's again
}

}  // namespace
}  // namespace talvo2
