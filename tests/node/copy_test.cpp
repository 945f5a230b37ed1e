#include <sys/stat.h>

#include <ctime>

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

// A result r000 holding the flag "writing", five files in data.0 and a link to outside.
struct CopyFixture : ::testing::Test {
    void SetUp() override {
        result = test::createResult(dir.wide(L"r000"));
        ASSERT_TRUE(result);
        fs::create_directories(dir.path() / "r000/data.0");
        for (int i = 0; i < 5; ++i)
            test::writeFile(dir.path() / "r000/data.0" / ("f" + std::to_string(i)), "12345");
        fs::create_directories(dir.path() / "outside");
        test::writeFile(dir.path() / "outside/keep.txt", "keep");
        fs::create_symlink(dir.path() / "outside", dir.path() / "r000/linked");
        ASSERT_TRUE(result->setFlag(L"writing"));
        fs::last_write_time(dir.path() / "r000/data.0/f4", old);
    }
    bool exists(const std::string& relative) const { return fs::exists(dir.path() / relative); }

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
    EXPECT_TRUE(exists("copy/copy.talvo")) << "renamed after the copy";
    EXPECT_FALSE(exists("copy/linked")) << "symbolic links are not copied";
    EXPECT_TRUE(exists("r000/r000.talvo")) << "a copy leaves the source";
    EXPECT_FALSE(exists("r000/writing.dflgtalvo")) << "flag files move with the node";
    EXPECT_TRUE(exists("copy/writing.dflgtalvo") && exists("copy/writing.infotalvo"));
    EXPECT_EQ(result->ownFlag(L"writing"), OK);
    EXPECT_TRUE(heldElsewhere(dir.wide(L"copy/copy.talvo")));
    EXPECT_EQ(progress.calls, L"begin ;end;");
    // Every copied byte is reported; the total also counts the flag files, which stay behind.
    EXPECT_GE(progress.copied, 25.0);
    EXPECT_LE(progress.copied, progress.total);

    EXPECT_FALSE(result->copy(dir.wide(L"r000").c_str(), false, nullptr));
    EXPECT_EQ(test::lastError(), AlreadyExists);
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
    EXPECT_FALSE(exists("copied"));
    // Nothing the library hides while it works (".talvo-" staging) is left behind.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().filename().string().rfind(".talvo-", 0), 0u) << entry.path();
    EXPECT_EQ(std::wstring(result->getPath()), dir.wide(L"r000"));
    EXPECT_TRUE(exists("r000/writing.dflgtalvo"));

    // One file system: a rename keeps what a copy would lose, and the flag stays held.
    ASSERT_EQ(::mkfifo((dir.path() / "r000/pipe").c_str(), 0600), 0);
    Recorder canceled(0);
    EXPECT_FALSE(result->move(dir.wide(L"moved").c_str(), false, &canceled));
    EXPECT_EQ(test::lastError(), FileError);
    EXPECT_TRUE(exists("r000/r000.talvo"));
    ASSERT_TRUE(result->move(dir.wide(L"moved").c_str(), false, nullptr));
    EXPECT_FALSE(exists("r000"));
    EXPECT_TRUE(exists("moved/r000.talvo")) << "the marker keeps its name without renaming";
    EXPECT_TRUE(fs::is_symlink(dir.path() / "moved/linked"));
    EXPECT_EQ(fs::status(dir.path() / "moved/pipe").type(), fs::fifo_file);
    EXPECT_EQ(fs::last_write_time(dir.path() / "moved/data.0/f4"), old);
    EXPECT_EQ(test::readFile(dir.path() / "outside/keep.txt"), "keep");
    EXPECT_TRUE(heldElsewhere(dir.wide(L"moved")));
    EXPECT_FALSE(result->move(dir.wide(L"moved").c_str(), false, nullptr));
    EXPECT_EQ(test::lastError(), AlreadyExists);
}

// A duplicate is a new node of the same kind, its marker named after its directory.
TEST_F(CopyFixture, DuplicatesAreNewNodesOfTheSameKind) {
    EXPECT_EQ(result->duplicate(dir.wide(L"twin").c_str()), dir.wide(L"twin/twin.talvo"));
    EXPECT_FALSE(exists("twin/r000.talvo"));
    // A taken name is refused and what is there stays.
    EXPECT_EQ(result->duplicate(dir.wide(L"twin").c_str()), L"");
    EXPECT_TRUE(exists("twin/data.0/f3") && exists("twin/twin.talvo"));
    const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    EXPECT_EQ(project->duplicate(dir.wide(L"Q").c_str()), dir.wide(L"Q/Q.talvoproj"));
    EXPECT_TRUE(IProject::probe(dir.wide(L"Q").c_str()));
}

}  // namespace
}  // namespace talvo2
