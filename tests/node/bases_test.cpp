// The neutral bases callers build their own nodes on: harmless failures, the casts refuse them.

#include <unistd.h>

#include <ctime>

#include "frame/boundary.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

TEST(NeutralBases, EveryOperationAnswersItsFailureAndTimesAreTheCallsOwn) {
    test::Counted<ResultDirectoryBase> object;
    IResultDirectory& node = object;
    LastError(ParameterError).store();
    node.setReadOnly(true);
    node.setRemoveOnClose(true);
    node.setInvalid();
    node.setCollectorCommand(L"run");
    node.setApplicationLog(L"/tmp/app.log");
    node.setCollectionTimeBegin(1);
    node.setFinalizationTimeEnd(1);
    sptr_t<IFlagData> data;
    std::string answers;  // one digit per answer, in order
    for (const bool answer :
         {node.changeMarkerFilePath(L"/tmp/x.talvo"), node.changeUserVisibleName(L"x"),
          node.setParent(L"/tmp"), node.save(), node.isModified(), node.isLinked(),
          node.isMissing(), node.isLinkStale(), node.isReadOnly(), node.remove(),
          node.copy(L"/tmp/y", true, nullptr), node.move(L"/tmp/y", true, nullptr),
          node.setFlag(L"f"), node.clearFlag(L"f", true),
          node.addFlag(L"f", false, true) != NotImplemented,
          node.addFlag(L"f", data, false, true) != NotImplemented,
          node.removeFlag(L"f", true) != NotImplemented, node.ownFlag(L"f") != NotImplemented})
        answers += answer ? '1' : '0';
    for (const bool answer :
         {node.setFinalized(true), node.isFinalized(), node.isValid(), bool(node.getParent()),
          bool(node.getProject()), bool(node.getNodeGroup()), bool(node.getPropertyStorage()),
          bool(node.getTransientStorage()), bool(node.getCollectorDataDirectories()),
          bool(node.getResultFiles(L"*.txt")), bool(node.exportTo(L"/tmp/r@@@", nullptr)),
          bool(node.getSearchDirectories()), node.getCreationIsa() != SystemInfo::ISA_NONE,
          node.getCPUName() != SystemInfo::CPU_TYPE_UNKNOWN, !node.getCPUBrandName().empty(),
          !node.getApplicationLog().empty(), !node.getCollectorLog().empty(),
          !node.getCommandLog().empty(), !node.duplicate(L"z").empty()})
        answers += answer ? '1' : '0';
    EXPECT_EQ(answers, std::string(37, '0'));
    for (const int64_t number : std::initializer_list<int64_t>{
             node.getSize(), node.getFilesCount(), node.getCPUFrequency(), node.getMpiRank(),
             node.getLogicalCPUCount(), node.getProcessorCoreCount(),
             node.getProcessorPackageCount(), node.getCPUFamily(), node.getCPUModel(),
             node.getCPUStepping()})
        EXPECT_EQ(number, 0);
    for (const wchar_t* text :
         {node.getPath(), node.getMarkerFilePath(), node.getUserVisibleName(),
          node.getLinkFilePath(), node.createCollectorDataDir(), node.getSubdir(STANDARD_DIR_LOG),
          node.getSubdir(L"custom"), node.getCreationHostName(), node.getCreationOs(true),
          node.getCollectorCommand()})
        EXPECT_EQ(text, nullptr);
    EXPECT_EQ(test::lastError(), ParameterError) << "the caller's last error is left alone";
    sptr_t<INode> handle(&object);
    EXPECT_FALSE(IResultDirectory::cast(handle) || IProject::cast(handle) ||
                 IExperiment::cast(handle));
    EXPECT_EQ(object.refs, 1u) << "no answer kept a handle, and the casts released theirs";

    // Twice, the clock having ticked between: a value remembered from an earlier call would show.
    for (std::time_t before = 0, round = 0; round < 2; ++round) {
        while (std::time(nullptr) == before) ::usleep(50000);
        before = std::time(nullptr);
        for (const int64_t value : std::initializer_list<int64_t>{
                 node.getCreationTime(), node.getCollectionTimeBegin(), node.getCollectionTimeEnd(),
                 node.getFinalizationTimeBegin(), node.getFinalizationTimeEnd()})
            EXPECT_TRUE(value >= before && value <= std::time(nullptr)) << value;
    }
}

}  // namespace
}  // namespace talvo2
