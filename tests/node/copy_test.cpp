// Copies and moves of a node: the node goes with its flags; a canceled one leaves nothing behind.

#include <sys/stat.h>

#include <ctime>
#include <set>
#include <string>

#include "notify2/progress.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

// Records what a transfer reports and cancels once `cancelAfter` bytes are copied.
struct Recorder final : notify2::IProgress {
    explicit Recorder(double after = 1e12) : cancelAfter(after) {}
    void begin(const wchar_t* text, double size) override {
        calls += L"begin " + std::wstring(text) + L";";
        total = size;
    }
    void advance(double amount) override { copied += amount; }
    void setItem(const wchar_t*) override {}
    void end() override { calls += L"end;"; }
    bool isCanceled() override { return copied >= cancelAfter; }

    std::wstring calls;
    double total = 0, copied = 0, cancelAfter;
};

// Whether another process, opening the node at `path` afresh, finds the flag "writing" held.
bool heldElsewhere(const std::wstring& path) {
    return test::runInChild([&] {
               Node::reset();  // a fresh node, as another process would open
               const auto other = ResultDirectoryManager::open(path.c_str(), false, nullptr);
               EXPECT_EQ(other->ownFlag(L"writing"), FlagOwnedElsewhere);  // a crash if none
           }) == 0;
}

// A result holding a flag, canceled while copied and moved, then moved and copied for real.
TEST(NodeCopy, CanceledTransfersLeaveNothingAndDoneOnesTakeTheNodeAndItsFlags) {
    test::TempDir dir;
    const fs::path& d = dir.path();
    // The names in the directory `relative` in order, hidden ones (work in progress) included.
    const auto listing = [&d](const std::string& relative) {
        std::string text;
        for (const fs::path& entry : std::set<fs::path>(fs::directory_iterator(d / relative), {}))
            text += entry.filename().string() + " ";
        return text;
    };
    const std::time_t old = 946684800;  // 2000-01-01
    const sptr_t<IResultDirectory> result = test::createResult(dir.wide(L"r000"));
    fs::create_directories(d / "r000/data.0");
    for (int i = 0; i < 5; ++i)
        test::writeFile(d / "r000/data.0" / ("f" + std::to_string(i)), "12345");
    fs::create_symlink(d / "nowhere", d / "r000/linked");
    ASSERT_TRUE(result->setFlag(L"writing"));
    fs::last_write_time(d / "r000/data.0/f4", old);

    Recorder canceled(10);
    EXPECT_FALSE(result->copy(dir.wide(L"copied").c_str(), false, &canceled));
    EXPECT_EQ(test::lastError(), FileError);
    EXPECT_EQ(canceled.calls, L"begin ;end;");
    ASSERT_EQ(::mkfifo((d / "r000/pipe").c_str(), 0600), 0);
    const std::string withPipe =
        "data.0 linked pipe r000.talvo writing.dflgtalvo writing.infotalvo ";
    EXPECT_FALSE(result->move(dir.wide(L"moved").c_str(), false, &canceled));
    EXPECT_EQ(test::lastError(), FileError);
    EXPECT_EQ(listing("r000"), withPipe) << "the canceled copy gave the flag files back";
    ASSERT_TRUE(result->move(dir.wide(L"moved").c_str(), false, nullptr));
    EXPECT_EQ(listing(""), "moved ") << "nothing of the canceled copy or of its staging is left";
    // One rename, which keeps what a copy would lose (the pipe, the link), and the flag held.
    EXPECT_EQ(listing("moved"), withPipe) << "the marker keeps its name without renaming";
    EXPECT_TRUE(heldElsewhere(dir.wide(L"moved")));

    fs::permissions(d / "moved/data.0/f4", fs::owner_read | fs::group_read);
    fs::permissions(d / "moved/data.0", fs::owner_all | fs::group_exe);
    fs::last_write_time(d / "moved/data.0", old);
    Recorder progress;
    ASSERT_TRUE(result->copy(dir.wide(L"copy").c_str(), true, &progress));
    for (const char* copied : {"data.0/f4", "data.0"})  // modes and times kept, as by cp -p
        EXPECT_EQ(std::make_pair(fs::last_write_time(d / "copy" / copied),
                                 fs::status(d / "copy" / copied).permissions()),
                  std::make_pair(old, fs::status(d / "moved" / copied).permissions()))
            << copied;
    EXPECT_EQ(listing("moved"), "data.0 linked pipe r000.talvo ") << "the flag files went along";
    EXPECT_EQ(listing("copy"), "copy.talvo data.0 writing.dflgtalvo writing.infotalvo ");
    EXPECT_EQ(result->ownFlag(L"writing"), OK);
    EXPECT_TRUE(heldElsewhere(dir.wide(L"copy/copy.talvo")));
    EXPECT_EQ(progress.calls, L"begin ;end;");
    EXPECT_LE(progress.copied, progress.total) << "the total counts the flag files too";
    // A marker that cannot take the new name: the copy (of copy/) is made, and the answer says why.
    test::writeFile(d / "copy/again.talvo", "someone's file");
    EXPECT_TRUE(result->copy(dir.wide(L"again").c_str(), true, nullptr));
    EXPECT_EQ(test::lastError(), AlreadyExists);
    EXPECT_EQ(std::wstring(result->getMarkerFilePath()), dir.wide(L"again/copy.talvo"));
    EXPECT_EQ(test::readFile(d / "again/again.talvo"), "someone's file");
}

}  // namespace
}  // namespace talvo2
