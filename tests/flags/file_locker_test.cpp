#include "flags/file_locker.hpp"

#include <sys/stat.h>

#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using util::FileLocker;

// Its pid, host and user are checked where nodes hand the record out (node_flags_test).
TEST(FileLocker, OwnerRecordsRoundTripAndReadersStopAtTheTerminator) {
    test::TempDir dir;
    variant_bag_t record, read;
    FileLocker::fillOwnerRecord(record);
    EXPECT_EQ(record.keys<corekit2::variant_t>(),
              (std::vector<std::wstring>{L"host", L"os", L"pid", L"ppid", L"timestamp", L"user"}));
    EXPECT_EQ(record.get_variant(L"ppid").get_uint32(), static_cast<uint32_t>(::getppid()));
    EXPECT_EQ(record.get_variant(L"os").get_wstring(), L"linux");
    EXPECT_EQ(record.get_variant(L"timestamp").type(), corekit2::VT_UINT64);

    const std::wstring info = dir.wide(L"flag.infotalvo");
    ASSERT_EQ(FileLocker::writeRecord(info, record), OK);
    // Readers stop at the terminator: an older, longer record's tail may follow it.
    const fs::path file = dir.path() / "flag.infotalvo";
    test::writeFile(file, test::readFile(file) + "<tail of an older record");
    ASSERT_EQ(FileLocker::readRecord(info, read), OK);
    EXPECT_TRUE(read == record);
}

// What may lie at a lock or info file's name, another user's plants included, is refused at once
// and left alone: a huge sparse record costs no memory, a FIFO no wait, a link no write through it.
TEST(FileLocker, PlantedFilesAreRefusedAndLeftAlone) {
    test::TempDir dir;
    const fs::path& d = dir.path();
    test::writeFile(d / "empty", "");  // its holder died before it wrote
    test::writeFile(d / "garbage", "not a record");
    test::writeFile(d / "huge", "");
    fs::resize_file(d / "huge", uintmax_t{8} << 30);
    ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
    test::writeFile(d / "victim", "keep");
    fs::create_symlink(d / "victim", d / "link");

    const std::pair<const wchar_t*, error_t> reads[] = {
        {L"missing", NotFound},       {L"empty", NotFound}, {L"garbage", RecordFormatError},
        {L"huge", RecordFormatError}, {L"fifo", FileError}, {L"link", FileError}};
    variant_bag_t read, record;
    for (const auto& [name, answer] : reads)
        EXPECT_EQ(FileLocker::readRecord(dir.wide(name), read), answer) << name;
    for (const wchar_t* name : {L"missing/flag", L"fifo", L"link"}) {
        FileLocker locker;
        EXPECT_FALSE(locker.openExclusive(dir.wide(name), true)) << name;
        EXPECT_EQ(locker.error(), FileError) << name;
    }
    FileLocker::fillOwnerRecord(record);
    EXPECT_EQ(FileLocker::writeRecord(dir.wide(L"link"), record), FileError);
    EXPECT_EQ(test::readFile(d / "victim"), "keep");
    EXPECT_TRUE(fs::is_symlink(d / "link"));
}

}  // namespace
}  // namespace talvo2
