#include <chrono>
#include <ctime>
#include <thread>

#include "corekit2/bag_file.hpp"
#include "node/test_node.hpp"
#include "propstore2/property_storage.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

// A caller's own class built on one of the neutral bases. It counts references but never deletes
// itself, so a test can watch what the library does with the handles it is given.
template <class Base>
class Counted : public Base {
public:
    uint32_t add_ref() override { return ++refs; }
    uint32_t release() override { return --refs; }
    uint32_t refs = 0;
};

// The reference count of `node`, read through the counting operations themselves.
uint32_t refsOf(INode* node) {
    node->add_ref();
    return node->release();
}

TEST(NodeBaseTest, AnswersNeutrally) {
    Counted<NodeBase> object;
    INode& node = object;
    for (const wchar_t* text : {node.getPath(), node.getMarkerFilePath(), node.getUserVisibleName(),
                                node.getLinkFilePath()})
        EXPECT_EQ(text, nullptr);
    EXPECT_EQ(node.getSize() + node.getFilesCount(), 0);
    node.setReadOnly(true);
    node.setRemoveOnClose(true);
    int index = 0;
    for (const bool answer :
         {node.changeMarkerFilePath(L"/tmp/x.talvo"), node.changeUserVisibleName(L"x"),
          node.setParent(L"/tmp"), node.save(), node.isModified(), node.isLinked(),
          node.isMissing(), node.isLinkStale(), node.isReadOnly(), node.remove(),
          node.copy(L"/tmp/y", true, nullptr), node.move(L"/tmp/y", true, nullptr),
          node.setFlag(L"f"), node.clearFlag(L"f", true)})
        EXPECT_FALSE(answer) << "answer #" << index++;
    EXPECT_EQ(node.duplicate(L"z"), L"");
    EXPECT_FALSE(node.getParent() || node.getProject() || node.getNodeGroup());
    EXPECT_FALSE(node.getPropertyStorage() || node.getTransientStorage());
    sptr_t<IFlagData> data;
    for (const error_t code :
         {node.addFlag(L"f", false, true), node.addFlag(L"f", data, false, true),
          node.removeFlag(L"f", true), node.ownFlag(L"f")})
        EXPECT_EQ(code, NotImplemented);
    EXPECT_EQ(object.refs, 0u);  // no answer kept a handle on the object
}

TEST(NodeBaseTest, TimeGettersGiveTheTimeOfTheCall) {
    Counted<NodeBase> node;
    Counted<ResultDirectoryBase> result;
    result.setCollectionTimeBegin(1);
    result.setFinalizationTimeEnd(1);
    auto expectNow = [&] {
        const int64_t before = std::time(nullptr);
        for (const int64_t value :
             {node.getCreationTime(), result.getCreationTime(),
              int64_t{result.getCollectionTimeBegin()}, int64_t{result.getCollectionTimeEnd()},
              int64_t{result.getFinalizationTimeBegin()},
              int64_t{result.getFinalizationTimeEnd()}}) {
            EXPECT_GE(value, before);
            EXPECT_LE(value, static_cast<int64_t>(std::time(nullptr)));
        }
    };
    expectNow();
    // Once the clock has ticked, a value remembered from an earlier call would show.
    const std::time_t start = std::time(nullptr);
    for (int i = 0; i < 22 && std::time(nullptr) == start; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_NE(std::time(nullptr), start);
    expectNow();
}

TEST(ResultDirectoryBaseTest, AnswersNeutrally) {
    Counted<ResultDirectoryBase> object;
    IResultDirectory& result = object;
    result.setInvalid();
    result.setCollectorCommand(L"run");
    result.setApplicationLog(L"/tmp/app.log");
    EXPECT_FALSE(result.setFinalized(true));
    EXPECT_FALSE(result.isFinalized() || result.isValid());
    for (const wchar_t* text :
         {result.createCollectorDataDir(), result.getSubdir(STANDARD_DIR_LOG),
          result.getSubdir(L"custom"), result.getCreationHostName(), result.getCreationOs(true),
          result.getCollectorCommand(), result.getPath()})
        EXPECT_EQ(text, nullptr);
    EXPECT_FALSE(result.getCollectorDataDirectories() || result.getResultFiles(nullptr) ||
                 result.getResultFiles(L"*.txt") || result.exportTo(L"/tmp/r@@@", nullptr) ||
                 result.getSearchDirectories());
    EXPECT_EQ(result.getCreationIsa(), SystemInfo::ISA_NONE);
    EXPECT_EQ(result.getCPUName(), SystemInfo::CPU_TYPE_UNKNOWN);
    EXPECT_EQ(result.getCPUFrequency(), 0);
    for (const int number : {result.getMpiRank(), result.getLogicalCPUCount(),
                             result.getProcessorCoreCount(), result.getProcessorPackageCount(),
                             result.getCPUFamily(), result.getCPUModel(), result.getCPUStepping()})
        EXPECT_EQ(number, 0);
    for (const std::wstring& text : {result.getCPUBrandName(), result.getApplicationLog(),
                                     result.getCollectorLog(), result.getCommandLog()})
        EXPECT_EQ(text, L"");
}

TEST(NodeCastTest, CallerObjectsNeverPassAndAreReleased) {
    EXPECT_FALSE(IResultDirectory::cast({}) || IProject::cast({}) || IExperiment::cast({}));
    EXPECT_EQ(Node::uid({}), 0u);
    // A caller's class implements the interface, but the library relies on its own internals.
    Counted<ResultDirectoryBase> result;
    Counted<NodeBase> plain;
    for (INode* node : {static_cast<INode*>(&result), static_cast<INode*>(&plain)}) {
        sptr_t<INode> handle(node);
        EXPECT_FALSE(IResultDirectory::cast(handle));
        EXPECT_FALSE(IProject::cast(handle));
        EXPECT_FALSE(IExperiment::cast(handle));
        EXPECT_EQ(Node::uid(handle), 0u);
        EXPECT_EQ(refsOf(node), 1u);
        EXPECT_FALSE(IResultDirectory::cast(std::move(handle)));
        EXPECT_EQ(refsOf(node), 0u);
    }
}

TEST(NodeCastTest, LibraryNodePassesOnlyAsItsOwnKind) {
    test::TempDir dir;
    boost::filesystem::create_directories(dir.path() / "r000");
    const std::wstring marker = dir.wide(L"r000/r000") + getResultExtension(false);
    ASSERT_EQ(corekit2::save_variant_bag({}, marker.c_str()), corekit2::BAG_OK);
    test::TestNodeKind kind;
    const uint32_t handles = Node::handleCount();

    sptr_t<INode> node = openNode(marker, nullptr).value;
    ASSERT_TRUE(node);
    INode* raw = node.get();
    const uint32_t uid = Node::uid(node);
    EXPECT_EQ(static_cast<INode*>(IResultDirectory::cast(node).get()), raw);
    EXPECT_FALSE(IProject::cast(node));
    EXPECT_FALSE(IExperiment::cast(node));
    EXPECT_EQ(refsOf(raw), 1u);

    // The view is a full handle: the node lives on through it alone.
    sptr_t<IResultDirectory> result = IResultDirectory::cast(std::move(node));
    ASSERT_TRUE(result);
    EXPECT_EQ(refsOf(raw), 1u);
    result.reset();
    EXPECT_EQ(Node::handleCount(), handles);
    EXPECT_NE(Node::uid(openNode(marker, nullptr).value), uid);
}

}  // namespace
}  // namespace talvo2
