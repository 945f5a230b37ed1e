#include <sys/stat.h>

#include <ctime>

#include "corekit2/bag_file.hpp"
#include "notify2/progress.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;

// Records what a copy reports, in order, and cancels after `cancelAfter` files.
class Recorder final : public notify2::IProgress {
public:
    explicit Recorder(int cancelAfter = -1) : m_cancelAfter(cancelAfter) {}
    void begin(const wchar_t* text, double size) override {
        events.push_back(L"begin " + std::wstring(text));
        total = size;
    }
    void advance(double amount) override { copied += amount; }
    void setItem(const wchar_t* text) override {
        ++items;
        events.push_back(L"item " + test::utf8Path(text).filename().wstring());
    }
    void end() override { events.push_back(L"end"); }
    bool isCanceled() override { return m_cancelAfter >= 0 && items >= m_cancelAfter; }

    std::vector<std::wstring> events;
    double total = 0;
    double copied = 0;
    int items = 0;

private:
    int m_cancelAfter;
};

struct CopyFixture : ::testing::Test {
    void SetUp() override {
        result = ResultDirectoryManager::create(dir.wide(L"r000").c_str(), false, nullptr, false,
                                                nullptr);
        ASSERT_TRUE(result);
        fs::create_directories(dir.path() / "r000/data.0");
        for (int i = 0; i < 5; ++i)
            test::writeFile(dir.path() / "r000/data.0" / ("f" + std::to_string(i)), "12345");
        fs::create_directories(dir.path() / "outside");
        test::writeFile(dir.path() / "outside/keep.txt", "keep");
        fs::create_symlink(dir.path() / "outside", dir.path() / "r000/linked");
        ASSERT_TRUE(result->setFlag(L"writing"));
    }
    bool exists(const std::string& relative) const { return fs::exists(dir.path() / relative); }

    TempDir dir;
    sptr_t<IResultDirectory> result;
};

TEST_F(CopyFixture, CopyRebindsTheSameNodeWithItsFlags) {
    const uint32_t uid = Node::uid(result);
    // Modes and times are kept, as cp -p keeps them.
    const std::time_t old = 946684800;  // 2000-01-01
    fs::permissions(dir.path() / "r000/data.0/f4", fs::owner_read | fs::group_read);
    fs::last_write_time(dir.path() / "r000/data.0/f4", old);
    fs::permissions(dir.path() / "r000/data.0", fs::owner_all | fs::group_exe);
    fs::last_write_time(dir.path() / "r000/data.0", old);
    Recorder progress;
    ASSERT_TRUE(result->copy(dir.wide(L"copy").c_str(), true, &progress));
    for (const char* copied : {"copy/data.0/f4", "copy/data.0"}) {
        EXPECT_EQ(fs::last_write_time(dir.path() / copied), old) << copied;
        EXPECT_EQ(fs::status(dir.path() / copied).permissions(),
                  fs::status(dir.path() / "r000" / fs::path(copied).lexically_relative("copy"))
                      .permissions())
            << copied;
    }
    EXPECT_EQ(Node::uid(result), uid);
    EXPECT_EQ(std::wstring(result->getPath()), dir.wide(L"copy"));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "copy/copy.talvo")) << "renamed after the copy";
    EXPECT_TRUE(exists("copy/data.0/f4"));
    EXPECT_FALSE(exists("copy/linked")) << "symbolic links are not copied";
    EXPECT_TRUE(exists("r000/r000.talvo")) << "a copy leaves the source";
    EXPECT_FALSE(exists("r000/writing.dflgtalvo")) << "flag files move with the node";
    EXPECT_TRUE(exists("copy/writing.dflgtalvo") && exists("copy/writing.infotalvo"));
    EXPECT_EQ(result->ownFlag(L"writing"), OK);
    EXPECT_EQ(test::runInChild([&] {
                  Node::reset();  // a fresh node, as another process would open
                  const auto other = ResultDirectoryManager::open(
                      dir.wide(L"copy/copy.talvo").c_str(), false, nullptr);
                  ASSERT_TRUE(other);
                  EXPECT_EQ(other->ownFlag(L"writing"), FlagOwnedElsewhere);
              }),
              0);
    EXPECT_EQ(progress.events.front(), L"begin ");
    EXPECT_EQ(progress.events.back(), L"end");
    // Every copied byte is reported; the total also counts the flag files, which stay behind.
    EXPECT_GE(progress.copied, 25.0);
    EXPECT_LE(progress.copied, progress.total);

    EXPECT_FALSE(result->copy(dir.wide(L"r000").c_str(), false, nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), AlreadyExists);
    EXPECT_FALSE(result->copy(nullptr, false, nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), ParameterError);

    // A marker that cannot take the new name: the copy is made, and the answer says why the
    // marker kept its old one.
    test::writeFile(dir.path() / "copy/again.talvo", "someone's file");
    EXPECT_TRUE(result->copy(dir.wide(L"again").c_str(), true, nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), AlreadyExists);
    EXPECT_EQ(std::wstring(result->getMarkerFilePath()), dir.wide(L"again/copy.talvo"));
    EXPECT_EQ(test::readFile(dir.path() / "again/again.talvo"), "someone's file");
}

// Whether `directory` holds an entry the library hides while it works (staging, removal).
bool holdsHiddenWork(const fs::path& directory) {
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().rfind(".talvo-", 0) == 0) return true;
    return false;
}

TEST_F(CopyFixture, ACanceledCopyLeavesNothingAndAMoveIsOneRename) {
    Recorder progress(2);
    EXPECT_FALSE(result->copy(dir.wide(L"copied").c_str(), false, &progress));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), FileError);
    EXPECT_FALSE(exists("copied"));
    EXPECT_FALSE(holdsHiddenWork(dir.path())) << "the half copy is taken back";
    EXPECT_EQ(std::wstring(result->getPath()), dir.wide(L"r000"));
    EXPECT_EQ(progress.events.back(), L"end");
    EXPECT_TRUE(exists("r000/writing.dflgtalvo"));

    // One file system: a rename keeps what a copy would lose, and the flag stays held.
    ASSERT_EQ(::mkfifo((dir.path() / "r000/pipe").c_str(), 0600), 0);
    const std::time_t old = 946684800;  // 2000-01-01
    fs::last_write_time(dir.path() / "r000/data.0/f4", old);
    Recorder canceled(0);
    EXPECT_FALSE(result->move(dir.wide(L"moved").c_str(), false, &canceled));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), FileError);
    EXPECT_TRUE(exists("r000/r000.talvo"));
    ASSERT_TRUE(result->move(dir.wide(L"moved").c_str(), false, nullptr));
    EXPECT_FALSE(exists("r000"));
    EXPECT_TRUE(exists("moved/r000.talvo")) << "the marker keeps its name without renaming";
    EXPECT_TRUE(fs::is_symlink(dir.path() / "moved/linked"));
    EXPECT_EQ(fs::status(dir.path() / "moved/pipe").type(), fs::fifo_file);
    EXPECT_EQ(fs::last_write_time(dir.path() / "moved/data.0/f4"), old);
    EXPECT_EQ(test::readFile(dir.path() / "outside/keep.txt"), "keep");
    EXPECT_EQ(test::runInChild([&] {
                  Node::reset();  // a fresh node, as another process would open
                  const auto other =
                      ResultDirectoryManager::open(dir.wide(L"moved").c_str(), false, nullptr);
                  ASSERT_TRUE(other);
                  EXPECT_EQ(other->ownFlag(L"writing"), FlagOwnedElsewhere);
              }),
              0);
    EXPECT_FALSE(result->move(dir.wide(L"moved").c_str(), false, nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), AlreadyExists);
}

TEST_F(CopyFixture, DuplicatesAreNewNodesOfTheSameKind) {
    const std::wstring copy = result->duplicate(dir.wide(L"twin").c_str());
    EXPECT_EQ(copy, dir.wide(L"twin/twin.talvo"));
    EXPECT_TRUE(exists("twin/data.0/f3"));
    EXPECT_FALSE(exists("twin/r000.talvo"));
    corekit2::variant_bag_t bag;
    ASSERT_EQ(corekit2::load_variant_bag(bag, copy.c_str(), ""), corekit2::BAG_OK);
    EXPECT_FALSE(bag.get<corekit2::variant_bag_t>(L"talvo")->has<corekit2::variant_t>(L"backlink"));
    EXPECT_EQ(result->duplicate(dir.wide(L"twin").c_str()), L"") << "the name is taken";
    EXPECT_EQ(result->duplicate(nullptr), L"");

    const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    EXPECT_EQ(project->duplicate(dir.wide(L"Q").c_str()), dir.wide(L"Q/Q.talvoproj"));
    EXPECT_TRUE(IProject::probe(dir.wide(L"Q").c_str()));
}

}  // namespace
}  // namespace talvo2
