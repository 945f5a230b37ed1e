#include "flags/file_locker.hpp"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <memory>

#include "corekit2/host.hpp"
#include "util/test_util.hpp"

namespace talvo2 {
namespace {

namespace fs = boost::filesystem;
using corekit2::variant_bag_t;
using corekit2::variant_t;
using util::FileLocker;

TEST(FileLocker, OneHolderAtATimeEvenWithinOneProcess) {
    test::TempDir dir;
    const std::wstring path = dir.wide(L"flag.dflgtalvo");
    auto first = std::make_unique<FileLocker>();
    FileLocker second;
    ASSERT_TRUE(first->openExclusive(path, false));
    EXPECT_EQ(first->error(), OK);
    EXPECT_FALSE(second.openExclusive(path, true));
    EXPECT_EQ(second.error(), FileLocked);
    EXPECT_EQ(test::runInChild([&] {
                  FileLocker other;
                  EXPECT_FALSE(other.openExclusive(path, true));
                  EXPECT_EQ(other.error(), FileLocked);
              }),
              0);

    // Once released, the file left behind is taken over only when asked to.
    first.reset();
    EXPECT_FALSE(second.openExclusive(path, false));
    EXPECT_EQ(second.error(), AlreadyExists);
    EXPECT_TRUE(second.openExclusive(path, true));
}

TEST(FileLocker, OwnerRecordsRoundTripAndReadersStopAtTheTerminator) {
    test::TempDir dir;
    auto info = std::make_unique<FileLocker>();
    ASSERT_TRUE(info->openExclusive(dir.wide(L"flag.infotalvo"), true));
    variant_bag_t empty;
    EXPECT_EQ(info->readBag(empty), NotFound);

    variant_bag_t record;
    FileLocker::fillOwnerRecord(record);
    EXPECT_EQ(record.keys<variant_t>(),
              (std::vector<std::wstring>{L"host", L"os", L"pid", L"ppid", L"timestamp", L"user"}));
    EXPECT_EQ(record.get_variant(L"pid").get_uint32(), static_cast<uint32_t>(::getpid()));
    EXPECT_EQ(record.get_variant(L"ppid").get_uint32(), static_cast<uint32_t>(::getppid()));
    EXPECT_EQ(record.get_variant(L"host").get_wstring(), corekit2::get_fq_host_name());
    EXPECT_EQ(record.get_variant(L"os").get_wstring(), L"linux");
    EXPECT_FALSE(record.get_variant(L"user").get_wstring().empty());
    EXPECT_EQ(record.get_variant(L"timestamp").type(), corekit2::VT_UINT64);

    variant_bag_t longer = record;
    longer.put(L"padding", variant_t(std::wstring(500, L'x')));
    ASSERT_EQ(info->writeBag(longer), OK);
    info = std::make_unique<FileLocker>();
    ASSERT_TRUE(info->openExclusive(dir.wide(L"flag.infotalvo"), true));
    ASSERT_EQ(info->writeBag(record), OK);  // shorter: the old tail stays after the terminator
    EXPECT_GT(fs::file_size(dir.path() / "flag.infotalvo"), 500u);
    variant_bag_t read;
    ASSERT_EQ(info->readBag(read), OK);
    EXPECT_TRUE(read == record);

    test::writeFile(dir.path() / "garbage.infotalvo", "not a record");
    FileLocker garbage;
    ASSERT_TRUE(garbage.openExclusive(dir.wide(L"garbage.infotalvo"), true));
    EXPECT_EQ(garbage.readBag(read), RecordFormatError);
}

TEST(FileLocker, RefusalsHaveTheirCodes) {
    test::TempDir dir;
    FileLocker locker;
    EXPECT_FALSE(locker.openExclusive(dir.wide(L"missing/flag"), true));
    EXPECT_EQ(locker.error(), FileError);
    fs::create_directory(dir.path() / "locked");
    fs::permissions(dir.path() / "locked",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    const int status = test::runUnprivileged([&] {
        FileLocker denied;
        EXPECT_FALSE(denied.openExclusive(dir.wide(L"locked/flag"), true));
        EXPECT_EQ(denied.error(), AccessDenied);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace talvo2
