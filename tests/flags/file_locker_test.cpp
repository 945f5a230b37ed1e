#include "flags/file_locker.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
    const std::wstring info = dir.wide(L"flag.infotalvo");
    variant_bag_t read;
    EXPECT_EQ(FileLocker::readRecord(info, read), NotFound) << "missing";
    test::writeFile(dir.path() / "flag.infotalvo", "");
    EXPECT_EQ(FileLocker::readRecord(info, read), NotFound) << "empty: its holder died early";

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

    ASSERT_EQ(FileLocker::writeRecord(info, record), OK);
    ASSERT_EQ(FileLocker::readRecord(info, read), OK);
    EXPECT_TRUE(read == record);
    // Readers stop at the terminator: an older, longer record's tail may follow it.
    test::writeFile(dir.path() / "flag.infotalvo",
                    test::readFile(dir.path() / "flag.infotalvo") + "<tail of an older record");
    ASSERT_EQ(FileLocker::readRecord(info, read), OK);
    EXPECT_TRUE(read == record);

    test::writeFile(dir.path() / "garbage.infotalvo", "not a record");
    EXPECT_EQ(FileLocker::readRecord(dir.wide(L"garbage.infotalvo"), read), RecordFormatError);
}

// What another user may plant at a lock or info file's name is refused at once and left alone:
// a huge sparse record costs no memory, a FIFO no wait, a link no write through it.
TEST(FileLocker, PlantedFilesAreRefusedAndLeftAlone) {
    test::TempDir dir;
    variant_bag_t read, record;
    FileLocker::fillOwnerRecord(record);
    {
        test::writeFile(dir.path() / "huge.infotalvo", "");
        fs::resize_file(dir.path() / "huge.infotalvo", uintmax_t{8} << 30);
        EXPECT_EQ(FileLocker::readRecord(dir.wide(L"huge.infotalvo"), read), RecordFormatError);
    }
    ASSERT_EQ(::mkfifo((dir.path() / "fifo.infotalvo").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir.path() / "fifo.dflgtalvo").c_str(), 0600), 0);
    EXPECT_EQ(FileLocker::readRecord(dir.wide(L"fifo.infotalvo"), read), FileError);
    FileLocker locker;
    EXPECT_FALSE(locker.openExclusive(dir.wide(L"fifo.dflgtalvo"), true));
    EXPECT_EQ(locker.error(), FileError);

    test::writeFile(dir.path() / "victim", "keep");
    fs::create_symlink(dir.path() / "victim", dir.path() / "link.infotalvo");
    fs::create_symlink(dir.path() / "victim", dir.path() / "link.dflgtalvo");
    EXPECT_EQ(FileLocker::writeRecord(dir.wide(L"link.infotalvo"), record), FileError);
    EXPECT_EQ(FileLocker::readRecord(dir.wide(L"link.infotalvo"), read), FileError);
    EXPECT_FALSE(locker.openExclusive(dir.wide(L"link.dflgtalvo"), true));
    EXPECT_EQ(locker.error(), FileError);
    EXPECT_EQ(test::readFile(dir.path() / "victim"), "keep");
    EXPECT_TRUE(fs::is_symlink(dir.path() / "link.infotalvo"));
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
