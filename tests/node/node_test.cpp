// The node core, through result nodes: binding to a marker, renames, saving, removal on close,
// one node per marker in the registry, counts across threads, and which objects the casts accept.

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
using test::lastError;
using test::TempDir;

// Makes the directory `name` in `dir` with the marker `file` (name.talvo by default) holding `bag`.
std::wstring makeNode(const TempDir& dir, const std::wstring& name, const std::wstring& file = L"",
                      const variant_bag_t& bag = {}) {
    fs::create_directories(dir.path() / test::utf8Path(name));
    const std::wstring marker = dir.wide(name + L"/" + (file.empty() ? name + L".talvo" : file));
    EXPECT_EQ(corekit2::save_variant_bag(bag, marker.c_str()), corekit2::BAG_OK);
    return marker;
}

// A node opened on r000/r000.talvo, which holds an empty bag.
class NodeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(node); }
    int storedInt(const wchar_t* name) { return node->getPropertyStorage()->getInt32(name); }

    TempDir dir;
    const std::wstring marker = makeNode(dir, L"r000");
    sptr_t<INode> node = openNode(marker, nullptr).value;
};

// Results open as the library's own nodes again after a test that installed its own kind.
struct NodeRegistryTest : NodeTest {
    void TearDown() override { setNodeFactory(NodeKind::Result, &ResultDirectory::make); }
};

// A project marker named "config" is named after its directory, other markers by themselves; the
// creation time is the timestamp of the talvo section alone.
TEST_F(NodeTest, NamesAndCreationTimesComeFromTheMarker) {
    variant_bag_t stamped, topLevel;
    stamped.put(L"talvo", variant_bag_t())->put(L"timestamp", variant_t(uint64_t{1700000123}));
    topLevel.put(L"timestamp", variant_t(uint64_t{1700000123}));
    for (const auto& [directory, file, bag, name, time] :
         {std::make_tuple(L"myproj", L"config.talvoproj", stamped, L"myproj", 1700000123),
          std::make_tuple(L"p2", L"other.talvoproj", topLevel, L"other", 0),
          std::make_tuple(L"r001", L"config.talvo", topLevel, L"config", 0)}) {
        const sptr_t<INode> read = openNode(makeNode(dir, directory, file, bag), nullptr).value;
        ASSERT_TRUE(read) << file;
        EXPECT_STREQ(read->getUserVisibleName(), name);
        EXPECT_EQ(read->getCreationTime(), time) << file;
    }
}

// A marker that cannot be loaded gives an empty node, and what is set on it is never written.
TEST(NodeUnreadableTest, UnreadableMarkerGivesAnEmptyNodeAndIsNeverWritten) {
    TempDir dir;
    variant_bag_t bag;
    bag.put(L"kept", variant_t(1));
    const std::wstring marker = makeNode(dir, L"r000", L"r000.talvo", bag);
    const fs::path file = test::utf8Path(marker);
    const auto openEmpty = [&marker](bool missing) {
        const auto opened = openNode(marker, nullptr);
        ASSERT_TRUE(opened.value);
        EXPECT_EQ(opened.error, OperationFailed);
        EXPECT_TRUE(opened.value->getPropertyStorage()->getNames().empty());
        EXPECT_EQ(opened.value->isMissing(), missing);
        opened.value->getPropertyStorage()->setValue(L"unsaved", 1);
    };
    const std::string before = test::readFile(file);
    fs::permissions(file, fs::perms::no_perms);
    // File permissions bind only a process that can drop root (-1 otherwise).
    const int status = test::runUnprivileged([&] { openEmpty(false); });
    EXPECT_TRUE(status == 0 || status == -1) << status;
    EXPECT_EQ(test::readFile(file), before);

    for (const char* content : {static_cast<const char*>(nullptr), "", "\x01\x02 not a bag <<<"}) {
        SCOPED_TRACE(content ? content : "missing");
        fs::remove(file);
        if (content) test::writeFile(file, content);
        openEmpty(content == nullptr);
        EXPECT_EQ(fs::exists(file), content != nullptr);
        EXPECT_EQ(test::readFile(file), content ? content : "");
    }
}

// The marker is followed when the node renames it and when it is renamed or deleted behind the
// node's back. Neither that nor rebinding to the same marker loses unsaved changes, and renaming
// never replaces someone else's file.
TEST_F(NodeTest, FollowsItsMarkerRenamedByItOrBehindItsBackAndLosesNothing) {
    const fs::path folder = dir.path() / "r000";
    ASSERT_TRUE(node->getPropertyStorage()->setValue(L"pending", 3));
    EXPECT_TRUE(node->setParent(nullptr) && node->setParent(dir.wide(L"r000").c_str()));
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), marker);
    EXPECT_EQ(storedInt(L"pending"), 3) << "rebinding reloaded the bag";
    EXPECT_TRUE(node->changeUserVisibleName(L"newname"));
    const std::wstring renamed = dir.wide(L"r000/newname.talvo");
    EXPECT_TRUE(fs::exists(test::utf8Path(renamed)));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "the old marker is gone";
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), renamed);
    EXPECT_STREQ(node->getUserVisibleName(), L"newname");
    EXPECT_EQ(openNode(renamed, nullptr).value, node);
    EXPECT_TRUE(node->isModified());
    EXPECT_EQ(storedInt(L"pending"), 3);
    test::writeFile(folder / "taken.talvo", "someone else's");
    EXPECT_FALSE(node->changeUserVisibleName(L"taken"));
    EXPECT_EQ(test::readFile(folder / "taken.talvo"), "someone else's");
    EXPECT_STREQ(node->getUserVisibleName(), L"newname");
    fs::remove(folder / "taken.talvo");

    // Behind its back: asking for the marker or for the name alone follows the rename.
    const std::wstring again = dir.wide(L"r000/again.talvo");
    fs::rename(test::utf8Path(renamed), test::utf8Path(again));
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), again);
    EXPECT_FALSE(node->isMissing());
    EXPECT_EQ(openNode(again, nullptr).value, node);
    EXPECT_EQ(Node::handleCount(), 1u);
    fs::rename(test::utf8Path(again), folder / "last.talvo");
    EXPECT_STREQ(node->getUserVisibleName(), L"last");
    EXPECT_EQ(storedInt(L"pending"), 3);
    fs::remove(folder / "last.talvo");
    EXPECT_TRUE(node->isMissing());
    EXPECT_EQ(node->getUserVisibleName(), nullptr);
}

TEST_F(NodeTest, ChangesMarkTheNodeModifiedUntilSaved) {
    const auto storage = node->getPropertyStorage(), transient = node->getTransientStorage();
    const auto section = storage->getSection(L"sec", true);
    ASSERT_TRUE(storage && transient && section);
    EXPECT_FALSE(node->isModified());
    // Values, values inside a section and removals mark the node; transient values never do.
    const std::pair<std::function<bool()>, bool> changes[] = {
        {[&] { return storage->setValue(L"answer", 42); }, true},
        {[&] { return section->setValue(L"inner", true); }, true},
        {[&] { return storage->removeValue(L"answer"); }, true},
        {[&] { return transient->setValue(L"scratch", 5); }, false}};
    for (const auto& [change, marks] : changes) {
        ASSERT_TRUE(change());
        EXPECT_EQ(node->isModified(), marks);
        ASSERT_TRUE(node->save());
        EXPECT_FALSE(node->isModified());
    }
    // Handles kept past the node change nothing.
    node.reset();
    EXPECT_FALSE(section->setValue(L"inner", false) || storage->setValue(L"late", 1) ||
                 transient->setValue(L"scratch", 6));
}

// Walks of the node's tree never follow links out of it. Remove-on-close takes a node that never
// reached disk; one whose save failed stays with its data.
TEST_F(NodeTest, SizeAndRemoveOnCloseTakeOnlyTheTreeItselfAndOnlyWhenUnsaved) {
    const fs::path root = dir.path() / "r000";
    fs::create_directories(root / "sub" / "deeper");
    test::writeFile(root / "sub" / "deeper" / "b.bin", std::string(120, 'b'));
    fs::create_directories(dir.path() / "outside");
    test::writeFile(dir.path() / "outside" / "keep.txt", "keep");
    fs::create_directory_symlink(dir.path() / "outside", root / "link");
    fs::create_symlink(dir.path() / "outside" / "keep.txt", root / "keep.txt");
    EXPECT_EQ(node->getFilesCount(), 2);
    EXPECT_EQ(node->getSize(), static_cast<int64_t>(fs::file_size(root / "r000.talvo")) + 120);

    sptr_t<INode> failed = openNode(makeNode(dir, L"r002"), nullptr).value;
    ASSERT_TRUE(failed);
    node->setRemoveOnClose(true);
    failed->setRemoveOnClose(true);
    test::writeFile(dir.path() / "r002/data.bin", "collected");
    // A directory where the marker was cannot be replaced by a file.
    fs::remove(dir.path() / "r002/r002.talvo");
    fs::create_directory(dir.path() / "r002/r002.talvo");
    EXPECT_FALSE(failed->save());
    EXPECT_EQ(lastError(), OperationFailed);
    EXPECT_FALSE(failed->isModified());
    node.reset();
    failed.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
    EXPECT_EQ(test::readFile(dir.path() / "outside" / "keep.txt"), "keep");
    EXPECT_EQ(test::readFile(dir.path() / "r002/data.bin"), "collected");
}

// One node per marker however its path is written, counted until Node::reset; a node whose
// handles are all gone is not kept, and one forgotten by reset must not unregister its successor.
TEST_F(NodeRegistryTest, EveryWrittenFormFindsTheSameNodeAndResetForgetsCleanly) {
    const uint32_t uid = Node::uid(node), made = Node::nodeCount();
    fs::create_directories(dir.path() / "r000" / "x");
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    for (const std::wstring& form :
         {marker, dir.wide(L"r000/./r000.talvo"), dir.wide(L"r000/x/../r000.talvo"),
          dir.wide(L"r000//r000.talvo"), std::wstring(L"r000/r000.talvo")}) {
        EXPECT_EQ(openNode(form, nullptr).value, node) << form;
        EXPECT_EQ(Node::handleCount(), 1u);
    }
    fs::current_path(cwd);
    for (const wchar_t* name : {L"r001", L"r002"})
        EXPECT_TRUE(openNode(makeNode(dir, name), nullptr).value);
    EXPECT_EQ(Node::handleCount(), 1u);
    EXPECT_EQ(Node::nodeCount(), made + 2);
    EXPECT_EQ(Node::uid(openNode(dir.wide(L"r001/r001.talvo"), nullptr).value), uid + 3);

    Node::reset();
    EXPECT_EQ(Node::nodeCount(), 0u);
    const sptr_t<INode> successor = openNode(marker, nullptr).value;
    ASSERT_TRUE(successor);
    EXPECT_EQ(Node::uid(successor), 1u);
    EXPECT_NE(successor, node);
    EXPECT_STREQ(node->getMarkerFilePath(), marker.c_str()) << "the forgotten node works on";
    node.reset();
    EXPECT_EQ(Node::handleCount(), 1u);
    EXPECT_EQ(openNode(marker, nullptr).value, successor);
}

// Counts its instances. Nodes are made and destroyed under the registry lock, so these counts
// show exactly how many nodes were alive at once.
std::atomic<int> g_live{0}, g_maxLive{0}, g_made{0};

class CountingNode final : public Node, public ResultDirectoryBase {
public:
    CountingNode(std::wstring& markerPath, const wchar_t* groupPath) : Node(markerPath, groupPath) {
        ++g_made;
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
    const int made = g_made.load();
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
    EXPECT_EQ(std::make_tuple(g_made.load(), g_live.load(), Node::handleCount()),
              std::make_tuple(made + 1, 0, 0u));
}

using CallersResult = test::Counted<ResultDirectoryBase>;

// The casts pass the library's own nodes, as their own kind only. A caller's class built on the
// neutral bases never passes, and the handles made for it are released.
TEST_F(NodeTest, CastsPassOnlyLibraryNodesAndOnlyAsTheirOwnKind) {
    INode* raw = node.get();
    EXPECT_FALSE(IProject::cast(node) || IExperiment::cast(node));
    // The view is a full handle: the node lives on through it alone.
    sptr_t<IResultDirectory> view = IResultDirectory::cast(std::move(node));
    EXPECT_EQ(static_cast<INode*>(view.get()), raw);
    raw->add_ref();
    EXPECT_EQ(raw->release(), 1u);
    view.reset();
    EXPECT_EQ(Node::handleCount(), 0u);
    EXPECT_FALSE(IResultDirectory::cast({}) || IProject::cast({}) || IExperiment::cast({}));
    EXPECT_EQ(Node::uid({}), 0u);

    // The base only has to be harmless: failures, and the last error left alone.
    CallersResult own;
    LastError(ParameterError).store();
    EXPECT_FALSE(own.save() || own.remove() || own.getPath() || own.setFinalized(true));
    EXPECT_EQ(own.addFlag(L"f", false, true), NotImplemented);
    EXPECT_EQ(lastError(), ParameterError);
    sptr_t<INode> handle(&own);
    EXPECT_FALSE(IResultDirectory::cast(handle) || IProject::cast(handle) ||
                 IExperiment::cast(handle));
    EXPECT_EQ(Node::uid(handle), 0u);
    EXPECT_EQ(own.refs, 1u);
    EXPECT_FALSE(IResultDirectory::cast(std::move(handle)));
    EXPECT_EQ(own.refs, 0u);
}

}  // namespace
}  // namespace talvo2
