// Copies and moves of a node: the node object goes with them, and so do its flags and the hold
// on them; a canceled one leaves nothing behind.

#include <sys/stat.h>

#include <ctime>
#include <set>
#include <string>

#include "notify2/progress.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

// Records what a copy reports and cancels after `cancelAfter` files.
struct Recorder final : notify2::IProgress {
    explicit Recorder(int after = -1) : cancelAfter(after) {}
    void begin(const wchar_t* text, double size) override {
        calls += L"begin " + std::wstring(text) + L";";
        total = size;
    }
    void advance(double amount) override { copied += amount; }
    void setItem(const wchar_t*) override { ++items; }
    void end() override { calls += L"end;"; }
    bool isCanceled() override { return cancelAfter >= 0 && items >= cancelAfter; }

    std::wstring calls;
    double total = 0, copied = 0;
    int items = 0, cancelAfter;
};

// Whether another process, opening the node at `path` afresh, finds the flag "writing" held.
bool heldElsewhere(const std::wstring& path) {
    return test::runInChild([&] {
               Node::reset();  // a fresh node, as another process would open
               const auto other = ResultDirectoryManager::open(path.c_str(), false, nullptr);
               ASSERT_TRUE(other);
               EXPECT_EQ(other->ownFlag(L"writing"), FlagOwnedElsewhere);
           }) == 0;
}

// A result r000 holding the flag "writing", five files in data.0 and a link to nowhere.
struct CopyFixture : ::testing::Test {
    void SetUp() override {
        result = test::createResult(dir.wide(L"r000"));
        ASSERT_TRUE(result);
        fs::create_directories(dir.path() / "r000/data.0");
        for (int i = 0; i < 5; ++i)
            test::writeFile(dir.path() / "r000/data.0" / ("f" + std::to_string(i)), "12345");
        fs::create_symlink(dir.path() / "nowhere", dir.path() / "r000/linked");
        ASSERT_TRUE(result->setFlag(L"writing"));
        fs::last_write_time(dir.path() / "r000/data.0/f4", old);
    }

    // The names in the directory `relative` in order, hidden ones (work in progress) included.
    std::string listing(const std::string& relative) const {
        std::set<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir.path() / relative))
            names.insert(entry.path().filename().string());
        std::string text;
        for (const std::string& name : names) text += name + " ";
        return text;
    }

    const std::time_t old = 946684800;  // 2000-01-01
    test::TempDir dir;
    sptr_t<IResultDirectory> result;
};

TEST_F(CopyFixture, CopyRebindsTheSameNodeWithItsFlags) {
    const uint32_t uid = Node::uid(result);
    // Modes and times are kept, as cp -p keeps them.
    fs::permissions(dir.path() / "r000/data.0/f4", fs::owner_read | fs::group_read);
    fs::permissions(dir.path() / "r000/data.0", fs::owner_all | fs::group_exe);
    fs::last_write_time(dir.path() / "r000/data.0", old);
    Recorder progress;
    ASSERT_TRUE(result->copy(dir.wide(L"copy").c_str(), true, &progress));
    for (const char* copied : {"data.0/f4", "data.0"}) {
        EXPECT_EQ(fs::last_write_time(dir.path() / "copy" / copied), old) << copied;
        EXPECT_EQ(fs::status(dir.path() / "copy" / copied).permissions(),
                  fs::status(dir.path() / "r000" / copied).permissions())
            << copied;
    }
    EXPECT_EQ(Node::uid(result), uid);
    EXPECT_EQ(std::wstring(result->getPath()), dir.wide(L"copy"));
    // The source stays but its flag files go with the node; the marker takes the new name.
    EXPECT_EQ(listing("r000"), "data.0 linked r000.talvo ");
    EXPECT_EQ(listing("copy"), "copy.talvo data.0 writing.dflgtalvo writing.infotalvo ");
    EXPECT_EQ(result->ownFlag(L"writing"), OK);
    EXPECT_TRUE(heldElsewhere(dir.wide(L"copy/copy.talvo")));
    EXPECT_EQ(progress.calls, L"begin ;end;");
    // Every copied byte is reported; the total also counts the flag files, which stay behind.
    EXPECT_GE(progress.copied, 25.0);
    EXPECT_LE(progress.copied, progress.total);

    // A marker that cannot take the new name: the copy is made, and the answer says why the
    // marker kept its old one.
    test::writeFile(dir.path() / "copy/again.talvo", "someone's file");
    EXPECT_TRUE(result->copy(dir.wide(L"again").c_str(), true, nullptr));
    EXPECT_EQ(test::lastError(), AlreadyExists);
    EXPECT_EQ(std::wstring(result->getMarkerFilePath()), dir.wide(L"again/copy.talvo"));
    EXPECT_EQ(test::readFile(dir.path() / "again/again.talvo"), "someone's file");
}

TEST_F(CopyFixture, ACanceledCopyLeavesNothingAndAMoveIsOneRename) {
    Recorder progress(2);
    EXPECT_FALSE(result->copy(dir.wide(L"copied").c_str(), false, &progress));
    EXPECT_EQ(test::lastError(), FileError);
    EXPECT_EQ(progress.calls, L"begin ;end;");
    // Nothing of the copy, nor of the hidden place it was staged in, is left.
    EXPECT_EQ(listing(""), "r000 ");
    EXPECT_EQ(std::wstring(result->getPath()), dir.wide(L"r000"));
    EXPECT_EQ(listing("r000"), "data.0 linked r000.talvo writing.dflgtalvo writing.infotalvo ");

    // One file system: a rename keeps what a copy would lose, and the flag stays held.
    ASSERT_EQ(::mkfifo((dir.path() / "r000/pipe").c_str(), 0600), 0);
    const std::string withPipe =
        "data.0 linked pipe r000.talvo writing.dflgtalvo writing.infotalvo ";
    Recorder canceled(0);
    EXPECT_FALSE(result->move(dir.wide(L"moved").c_str(), false, &canceled));
    EXPECT_EQ(test::lastError(), FileError);
    EXPECT_EQ(listing("r000"), withPipe);
    ASSERT_TRUE(result->move(dir.wide(L"moved").c_str(), false, nullptr));
    EXPECT_EQ(listing(""), "moved ");
    EXPECT_EQ(listing("moved"), withPipe) << "the marker keeps its name without renaming";
    EXPECT_EQ(fs::status(dir.path() / "moved/pipe").type(), fs::fifo_file);
    EXPECT_EQ(fs::last_write_time(dir.path() / "moved/data.0/f4"), old);
    EXPECT_TRUE(heldElsewhere(dir.wide(L"moved")));
}

}  // namespace
}  // namespace talvo2
