// The neutral bases a caller builds its own node classes on: every operation answers the
// documented failure (null, false, 0, NotImplemented), keeps no handle on the object, and the
// time getters give the time of the call.

#include <chrono>
#include <ctime>
#include <thread>

#include "util/library_test.hpp"

namespace talvo2 {
namespace {

TEST(NeutralBases, EveryOperationAnswersItsFailureAndTimesAreTheCallsOwn) {
    test::Counted<ResultDirectoryBase> object;
    IResultDirectory& node = object;
    node.setReadOnly(true);
    node.setRemoveOnClose(true);
    node.setInvalid();
    node.setCollectorCommand(L"run");
    node.setApplicationLog(L"/tmp/app.log");
    sptr_t<IFlagData> data;
    const bool answers[] = {node.changeMarkerFilePath(L"/tmp/x.talvo"),
                            node.changeUserVisibleName(L"x"),
                            node.setParent(L"/tmp"),
                            node.save(),
                            node.isModified(),
                            node.isLinked(),
                            node.isMissing(),
                            node.isLinkStale(),
                            node.isReadOnly(),
                            node.remove(),
                            node.copy(L"/tmp/y", true, nullptr),
                            node.move(L"/tmp/y", true, nullptr),
                            node.setFlag(L"f"),
                            node.clearFlag(L"f", true),
                            node.setFinalized(true),
                            node.isFinalized(),
                            node.isValid(),
                            bool(node.getParent()),
                            bool(node.getProject()),
                            bool(node.getNodeGroup()),
                            bool(node.getPropertyStorage()),
                            bool(node.getTransientStorage()),
                            bool(node.getCollectorDataDirectories()),
                            bool(node.getResultFiles(L"*.txt")),
                            bool(node.exportTo(L"/tmp/r@@@", nullptr)),
                            bool(node.getSearchDirectories()),
                            node.getSize() + node.getFilesCount() + node.getCPUFrequency() != 0,
                            node.getMpiRank() + node.getLogicalCPUCount() +
                                    node.getProcessorCoreCount() + node.getProcessorPackageCount() +
                                    node.getCPUFamily() + node.getCPUModel() +
                                    node.getCPUStepping() !=
                                0,
                            node.getCreationIsa() != SystemInfo::ISA_NONE,
                            node.getCPUName() != SystemInfo::CPU_TYPE_UNKNOWN,
                            !(node.getCPUBrandName() + node.getApplicationLog() +
                              node.getCollectorLog() + node.getCommandLog() + node.duplicate(L"z"))
                                 .empty()};
    for (std::size_t i = 0; i < std::size(answers); ++i) EXPECT_FALSE(answers[i]) << "#" << i;
    for (const wchar_t* text :
         {node.getPath(), node.getMarkerFilePath(), node.getUserVisibleName(),
          node.getLinkFilePath(), node.createCollectorDataDir(), node.getSubdir(STANDARD_DIR_LOG),
          node.getSubdir(L"custom"), node.getCreationHostName(), node.getCreationOs(true),
          node.getCollectorCommand()})
        EXPECT_EQ(text, nullptr);
    for (const error_t code :
         {node.addFlag(L"f", false, true), node.addFlag(L"f", data, false, true),
          node.removeFlag(L"f", true), node.ownFlag(L"f")})
        EXPECT_EQ(code, NotImplemented);
    EXPECT_EQ(object.refs, 0u) << "no answer kept a handle on the object";

    node.setCollectionTimeBegin(1);
    node.setFinalizationTimeEnd(1);
    const auto expectNow = [&] {
        const int64_t before = std::time(nullptr);
        for (const int64_t value :
             {node.getCreationTime(), int64_t{node.getCollectionTimeBegin()},
              int64_t{node.getCollectionTimeEnd()}, int64_t{node.getFinalizationTimeBegin()},
              int64_t{node.getFinalizationTimeEnd()}}) {
            EXPECT_GE(value, before);
            EXPECT_LE(value, static_cast<int64_t>(std::time(nullptr)));
        }
    };
    expectNow();
    // Once the clock has ticked, a value remembered from an earlier call would show.
    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    expectNow();
}

}  // namespace
}  // namespace talvo2
