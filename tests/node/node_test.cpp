#include <iterator>
#include <tuple>

#include "corekit2/bag_file.hpp"
#include "frame/boundary.hpp"
#include "node/test_node.hpp"
#include "propstore2/property_storage.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::lastError;

using corekit2::variant_bag_t;
using corekit2::variant_t;
using test::TempDir;

std::wstring result(const std::wstring& stem) {
    return stem + getResultExtension(false);
}

// Makes the directory `name` in `dir` with the marker `file` holding `bag`; returns its path.
std::wstring makeNode(const TempDir& dir, const std::wstring& name, const std::wstring& file,
                      const variant_bag_t& bag = {}) {
    fs::create_directories(dir.path() / test::utf8Path(name));
    const std::wstring marker = dir.wide(name + L"/" + file);
    EXPECT_EQ(corekit2::save_variant_bag(bag, marker.c_str()), corekit2::BAG_OK);
    return marker;
}

// A test node opened on r000/r000.talvo, which holds an empty bag.
class NodeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(node); }

    TempDir dir;
    test::TestNodeKind kind;
    const std::wstring marker = makeNode(dir, L"r000", result(L"r000"));
    sptr_t<INode> node = openNode(marker, nullptr).value;
};

TEST_F(NodeTest, ReportsItsPlaceAndRebindingToItselfChangesNothing) {
    EXPECT_EQ(lastError(), OK);
    EXPECT_EQ(std::wstring(node->getPath()), dir.wide(L"r000"));
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), marker);
    EXPECT_STREQ(node->getUserVisibleName(), L"r000");
    EXPECT_FALSE(node->isMissing() || node->isLinked() || node->getParent());

    // Rebinding to the marker already bound must not reload the bag over unsaved changes.
    ASSERT_TRUE(node->getPropertyStorage()->setValue(L"pending", 7));
    EXPECT_TRUE(node->setParent(nullptr));
    EXPECT_TRUE(node->setParent(dir.wide(L"r000").c_str()));
    EXPECT_EQ(node->getPropertyStorage()->getInt32(L"pending"), 7);
    EXPECT_TRUE(node->isModified());
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), marker);
    EXPECT_EQ(Node::handleCount(), 1u);

    // A project marker named "config" is named after its directory; other markers by themselves.
    setNodeFactory(NodeKind::Project, &test::TestNode::make);
    const std::wstring project = getProjectExtension(false);
    for (const auto& [directory, file, name] :
         {std::make_tuple(L"myproj", L"config" + project, L"myproj"),
          std::make_tuple(L"p2", L"other" + project, L"other"),
          std::make_tuple(L"r001", result(L"config"), L"config")}) {
        const sptr_t<INode> named = openNode(makeNode(dir, directory, file), nullptr).value;
        ASSERT_TRUE(named) << file;
        EXPECT_STREQ(named->getUserVisibleName(), name);
    }
    setNodeFactory(NodeKind::Project, nullptr);
}

TEST_F(NodeTest, UnloadableMarkerGivesAnEmptyNodeAndIsNeverWritten) {
    fs::create_directories(dir.path() / "r001");
    const fs::path file = dir.path() / "r001" / test::utf8Path(result(L"r001"));
    for (const char* content : {static_cast<const char*>(nullptr), "", "\x01\x02 not a bag <<<"}) {
        SCOPED_TRACE(content ? content : "missing");
        if (content) test::writeFile(file, content);
        {
            const auto opened = openNode(dir.wide(L"r001/" + result(L"r001")), nullptr);
            const sptr_t<INode> bad = opened.value;
            ASSERT_TRUE(bad);
            EXPECT_EQ(opened.error, OperationFailed);
            EXPECT_TRUE(bad->getPropertyStorage()->getNames().empty());
            EXPECT_EQ(bad->isMissing(), content == nullptr);
            bad->getPropertyStorage()->setValue(L"unsaved", 1);
        }
        ASSERT_EQ(fs::exists(file), content != nullptr);
        if (content) {
            EXPECT_EQ(test::readFile(file), content);
        }
    }
}

TEST(NodeUnreadableTest, UnreadableMarkerGivesAnEmptyNodeAndIsNeverWritten) {
    TempDir dir;
    variant_bag_t bag;
    bag.put(L"kept", variant_t(1));
    const std::wstring marker = makeNode(dir, L"r000", result(L"r000"), bag);
    const std::string before = test::readFile(test::utf8Path(marker));
    fs::permissions(test::utf8Path(marker), fs::perms::no_perms);
    const int status = test::runUnprivileged([&] {
        test::TestNodeKind kind;
        const auto opened = openNode(marker, nullptr);
        const sptr_t<INode> node = opened.value;
        ASSERT_TRUE(node);
        EXPECT_EQ(opened.error, OperationFailed);
        EXPECT_FALSE(node->getPropertyStorage()->hasValue(L"kept"));
        node->getPropertyStorage()->setValue(L"unsaved", 1);
    });
    if (status == -1) GTEST_SKIP() << "file permissions bind only a process that can drop root";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readFile(test::utf8Path(marker)), before);
}

TEST_F(NodeTest, FollowsAMarkerRenamedOrDeletedBehindItsBack) {
    const std::wstring renamed = dir.wide(L"r000/" + result(L"renamed"));
    fs::rename(test::utf8Path(marker), test::utf8Path(renamed));
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), renamed);
    EXPECT_STREQ(node->getUserVisibleName(), L"renamed");
    EXPECT_FALSE(node->isMissing());
    EXPECT_EQ(openNode(renamed, nullptr).value, node);
    EXPECT_EQ(Node::handleCount(), 1u);

    // Asking for the name alone follows a rename as well.
    const std::wstring again = dir.wide(L"r000/" + result(L"again"));
    fs::rename(test::utf8Path(renamed), test::utf8Path(again));
    EXPECT_STREQ(node->getUserVisibleName(), L"again");
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), again);

    fs::remove(test::utf8Path(again));
    EXPECT_TRUE(node->isMissing());
    EXPECT_EQ(node->getUserVisibleName(), nullptr);
}

TEST_F(NodeTest, ChangeUserVisibleNameRenamesTheMarkerInPlace) {
    const auto entries = [&] {
        return std::distance(fs::directory_iterator(dir.path() / "r000"), {});
    };
    for (const wchar_t* bad :
         {L"a/b", L"/abs", L"", L".", L"..", static_cast<const wchar_t*>(nullptr)}) {
        LastError(OK).store();
        EXPECT_FALSE(node->changeUserVisibleName(bad)) << (bad ? bad : L"null");
        EXPECT_EQ(lastError(), ParameterError);
        EXPECT_TRUE(fs::exists(test::utf8Path(marker)));
        EXPECT_EQ(entries(), 1);
    }
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), marker);
    EXPECT_TRUE(node->changeUserVisibleName(L"newname"));
    const std::wstring renamed = dir.wide(L"r000/" + result(L"newname"));
    EXPECT_TRUE(fs::exists(test::utf8Path(renamed)));
    EXPECT_EQ(entries(), 1);
    EXPECT_EQ(std::wstring(node->getMarkerFilePath()), renamed);
    EXPECT_STREQ(node->getUserVisibleName(), L"newname");
    EXPECT_EQ(std::wstring(node->getPath()), dir.wide(L"r000"));
    EXPECT_EQ(openNode(renamed, nullptr).value, node);
    EXPECT_EQ(Node::handleCount(), 1u);
}

TEST_F(NodeTest, ChangeUserVisibleNameLosesNothing) {
    ASSERT_TRUE(node->getPropertyStorage()->setValue(L"pending", 3));
    ASSERT_TRUE(node->changeUserVisibleName(L"newname"));
    EXPECT_TRUE(node->isModified());
    EXPECT_EQ(node->getPropertyStorage()->getInt32(L"pending"), 3);

    test::writeFile(dir.path() / "r000" / "taken.talvo", "someone else's");
    EXPECT_FALSE(node->changeUserVisibleName(L"taken"));
    EXPECT_EQ(test::readFile(dir.path() / "r000" / "taken.talvo"), "someone else's");
    EXPECT_STREQ(node->getUserVisibleName(), L"newname");
}

TEST_F(NodeTest, ChangesMarkTheNodeModifiedAndReachDiskOnSave) {
    const sptr_t<propstore2::IPropertyStorage> storage = node->getPropertyStorage();
    const sptr_t<propstore2::IPropertyStorage> transient = node->getTransientStorage();
    ASSERT_TRUE(storage && transient);
    EXPECT_FALSE(node->isModified());
    ASSERT_TRUE(storage->setValue(L"answer", 42));
    EXPECT_TRUE(node->isModified());
    ASSERT_TRUE(node->save());
    EXPECT_FALSE(node->isModified());
    variant_bag_t onDisk;
    ASSERT_EQ(corekit2::load_variant_bag(onDisk, marker.c_str(), ""), corekit2::BAG_OK);
    EXPECT_EQ(onDisk.get_variant(L"answer").get_int32(), 42);

    // Changes inside a section and removals count as well; transient values never do.
    const sptr_t<propstore2::IPropertyStorage> section = storage->getSection(L"sec", true);
    ASSERT_TRUE(section && section->setValue(L"inner", true));
    EXPECT_TRUE(node->isModified());
    ASSERT_TRUE(node->save());
    ASSERT_TRUE(storage->removeValue(L"answer"));
    EXPECT_TRUE(node->isModified());
    ASSERT_TRUE(node->save());
    ASSERT_TRUE(transient->setValue(L"scratch", 5));
    EXPECT_FALSE(node->isModified());
    ASSERT_TRUE(node->save());
    ASSERT_EQ(corekit2::load_variant_bag(onDisk, marker.c_str(), ""), corekit2::BAG_OK);
    EXPECT_FALSE(onDisk.has<variant_t>(L"answer") || onDisk.has<variant_t>(L"scratch"));
    ASSERT_TRUE(onDisk.has<variant_bag_t>(L"sec"));
    EXPECT_TRUE(onDisk.get<variant_bag_t>(L"sec")->get_variant(L"inner").get_bool());

    // Handles kept past the node see nothing and change nothing.
    node.reset();
    EXPECT_EQ(Node::handleCount(), 0u);
    variant_t value;
    EXPECT_FALSE(section->getValue(L"inner", value) || section->setValue(L"inner", false));
    EXPECT_FALSE(storage->hasValue(L"sec/inner") || storage->setValue(L"late", 1));
    EXPECT_FALSE(transient->getValue(L"scratch", value) || transient->setValue(L"scratch", 6));
}

TEST_F(NodeTest, RemoveOnCloseTakesAnUnsavedDirectoryButNotWhatLinksPointTo) {
    fs::create_directories(dir.path() / "outside");
    test::writeFile(dir.path() / "outside" / "keep.txt", "keep");
    fs::create_directory_symlink(dir.path() / "outside", dir.path() / "r000" / "link");
    sptr_t<INode> saved = openNode(makeNode(dir, L"r001", result(L"r001")), nullptr).value;
    ASSERT_TRUE(saved);
    node->setRemoveOnClose(true);
    saved->setRemoveOnClose(true);
    ASSERT_TRUE(saved->save());
    node.reset();
    saved.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "r000")));
    EXPECT_EQ(test::readFile(dir.path() / "outside" / "keep.txt"), "keep");
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "r001" / "r001.talvo"));
}

TEST_F(NodeTest, AFailedSaveStillKeepsTheNodeOnDisk) {
    node->setRemoveOnClose(true);
    test::writeFile(dir.path() / "r000/data.bin", "collected");
    // A directory where the marker was cannot be replaced by a file.
    fs::remove(test::utf8Path(marker));
    fs::create_directory(test::utf8Path(marker));
    EXPECT_FALSE(node->save());
    EXPECT_EQ(lastError(), OperationFailed);
    EXPECT_FALSE(node->isModified());
    node.reset();
    EXPECT_EQ(test::readFile(dir.path() / "r000/data.bin"), "collected");
}

TEST_F(NodeTest, SizeCountsRegularFilesBelowTheDirectoryWithoutFollowingLinks) {
    const fs::path root = dir.path() / "r000";
    fs::create_directories(root / "sub" / "deeper");
    test::writeFile(root / "sub" / "a.bin", std::string(100, 'a'));
    test::writeFile(root / "sub" / "deeper" / "b.bin", std::string(20, 'b'));
    fs::create_directories(dir.path() / "big");
    for (int i = 0; i < 50; ++i)
        test::writeFile(dir.path() / "big" / ("f" + std::to_string(i)), std::string(1000, 'x'));
    fs::create_directory_symlink(dir.path() / "big", root / "big");
    fs::create_symlink(dir.path() / "big" / "f0", root / "f0");
    EXPECT_EQ(node->getFilesCount(), 3);
    EXPECT_EQ(node->getSize(), static_cast<int64_t>(fs::file_size(root / "r000.talvo")) + 120);
}

TEST_F(NodeTest, CreationTimeComesFromTheTimestampOfTheTalvoSection) {
    EXPECT_EQ(node->getCreationTime(), 0);
    variant_bag_t stamped, unstamped, topLevel;
    stamped.put(L"talvo", variant_bag_t())->put(L"timestamp", variant_t(uint64_t{1700000123}));
    unstamped.put(L"talvo", variant_bag_t())->put(L"other", variant_t(1));
    topLevel.put(L"timestamp", variant_t(uint64_t{1700000123}));
    const auto timeOf = [&](const std::wstring& name, const variant_bag_t& bag) {
        return openNode(makeNode(dir, name, result(name), bag), nullptr).value->getCreationTime();
    };
    EXPECT_EQ(timeOf(L"r001", stamped), 1700000123);
    EXPECT_EQ(timeOf(L"r002", unstamped), 0);
    EXPECT_EQ(timeOf(L"r003", topLevel), 0);
}

}  // namespace
}  // namespace talvo2
