// Symbolic links inside a node's tree, there from the start or swapped in while a removal or copy
// walks the tree: neither walk may read, copy or delete what they point to.

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "platform/tree_walk.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

const std::string kSentinel = "sentinel: outside every tree";

// Everything below `root`, links not followed: relative path to a file's content, "/" for a
// directory, "-> target" for a link.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const fs::file_status status = it->symlink_status();
        std::string& value = entries[it->path().lexically_relative(root).string()];
        if (fs::is_symlink(status))
            value = "-> " + fs::read_symlink(it->path()).string();
        else if (fs::is_directory(status))
            value = "/";
        else
            value = test::readFile(it->path());
    }
    return entries;
}

struct SymlinkTest : ::testing::Test {
    void SetUp() override {
        fs::create_directories(outside() / "deep");
        test::writeFile(outside() / "s0", kSentinel);
        test::writeFile(outside() / "deep/s1", kSentinel);
        before = snapshot(outside());
    }

    fs::path outside() const { return dir.path() / "outside"; }

    // A new result (`path` may be a pattern) whose data.0 holds a file and a directory "inner"
    // with files of its own, each beside a link to outside named like it plus ".alt".
    sptr_t<IResultDirectory> makeResult(const std::wstring& path) {
        sptr_t<IResultDirectory> result =
            ResultDirectoryManager::create(path.c_str(), false, nullptr, false, nullptr);
        if (!result) return result;
        const fs::path data = test::utf8Path(result->getPath()) / "data.0";
        fs::create_directories(data / "inner");
        for (int i = 0; i < 8; ++i)
            test::writeFile(data / "inner" / ("i" + std::to_string(i)), "inside");
        test::writeFile(data / "file", "inside");
        fs::create_directory_symlink(outside(), data / "inner.alt");
        fs::create_symlink(outside() / "s0", data / "file.alt");
        return result;
    }

    // How many entries of the outside folder differ from SetUp's, missing and new ones included.
    int outsideTouched() const {
        const auto now = snapshot(outside());
        int touched = 0;
        for (const auto& [path, content] : before)
            touched += now.count(path) == 0 || now.at(path) != content;
        for (const auto& [path, content] : now) touched += before.count(path) == 0;
        return touched;
    }

    // Links or sentinel content in a copy.
    static int foreignEntries(const fs::path& copy) {
        int foreign = 0;
        for (const auto& [path, content] : snapshot(copy))
            foreign += content == kSentinel || content.rfind("-> ", 0) == 0;
        return foreign;
    }

    test::TempDir dir;
    std::map<std::string, std::string> before;
};

TEST_F(SymlinkTest, LinksAreSkippedByCopiesAndDeletedThemselvesByRemoval) {
    sptr_t<IResultDirectory> result = makeResult(dir.wide(L"r000"));
    ASSERT_TRUE(result);
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "r000/dangling");
    ASSERT_TRUE(result->copy(dir.wide(L"copy").c_str(), false, nullptr));
    const auto copied = snapshot(dir.path() / "copy");
    EXPECT_EQ(copied.count("data.0/inner/i7"), 1u);
    EXPECT_EQ(copied.count("data.0/file"), 1u);
    EXPECT_EQ(foreignEntries(dir.path() / "copy"), 0);

    const auto original = ResultDirectoryManager::open(dir.wide(L"r000").c_str(), false, nullptr);
    ASSERT_TRUE(original);
    EXPECT_TRUE(original->remove());
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "r000")));
    EXPECT_EQ(outsideTouched(), 0);

    // A path that is itself a link loses the link only; nothing there is no failure.
    const fs::path alias = dir.path() / "alias";
    fs::create_directory_symlink(outside(), alias);
    EXPECT_EQ(platform::removeTree(alias.string()), OK);
    EXPECT_FALSE(fs::exists(fs::symlink_status(alias)));
    EXPECT_EQ(platform::removeTree(alias.string()), OK);
    EXPECT_EQ(outsideTouched(), 0);

    // An existing target, a link to outside included, is neither overwritten nor written through.
    fs::create_directory(dir.path() / "from");
    test::writeFile(dir.path() / "from/s0", "new");
    fs::create_directory(dir.path() / "to");
    fs::create_symlink(outside() / "s0", dir.path() / "to/s0");
    EXPECT_EQ(platform::copyTreeContents((dir.path() / "from").string(),
                                         (dir.path() / "to").string(), {}),
              AlreadyExists);
    EXPECT_EQ(outsideTouched(), 0);
}

// Exchanges "inner" with "inner.alt" and "file" with "file.alt" in the data directory it is
// pointed at, atomically and over and over, so each name is now the real entry, now the link.
class Swapper {
public:
    Swapper() : m_thread([this] { run(); }) {}
    ~Swapper() {
        m_stop = true;
        m_thread.join();
    }
    void pointAt(const fs::path& data) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_data = data;
    }
    long swaps() const { return m_swaps; }

private:
    void run() {
        while (!m_stop) {
            std::unique_lock<std::mutex> lock(m_mutex);
            const fs::path data = m_data;
            lock.unlock();
            if (data.empty()) std::this_thread::yield();
            for (const char* name : {"inner", "file"}) {
                const std::string real = (data / name).string(), alt = real + ".alt";
                if (!data.empty() && ::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, alt.c_str(),
                                                 RENAME_EXCHANGE) == 0)
                    ++m_swaps;
            }
        }
    }

    std::mutex m_mutex;
    fs::path m_data;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_swaps{0};
    std::thread m_thread;  // last: starts once the rest is there
};

TEST_F(SymlinkTest, EntriesSwappedForLinksWhileWalksRunNeverLeadOutside) {
    constexpr int kRounds = 200;
    int walks = 0;
    int foreign = 0;
    long swaps = 0;
    {
        Swapper swapper;
        for (int round = 0; round < kRounds; ++round) {
            sptr_t<IResultDirectory> result = makeResult(dir.wide(L"r@@@"));
            ASSERT_TRUE(result);
            const std::wstring path = result->getPath();
            swapper.pointAt(test::utf8Path(path) / "data.0");
            const std::wstring copy = dir.wide(L"copy" + std::to_wstring(round));
            EXPECT_TRUE(result->copy(copy.c_str(), false, nullptr));  // the node is the copy now
            const auto original = ResultDirectoryManager::open(path.c_str(), false, nullptr);
            ASSERT_TRUE(original);
            EXPECT_TRUE(original->remove()) << ResultDirectoryManager::getLastError();
            swapper.pointAt(fs::path());
            walks += 2;
            if (fs::exists(test::utf8Path(copy))) foreign += foreignEntries(test::utf8Path(copy));
            EXPECT_TRUE(result->remove());
        }
        swaps = swapper.swaps();
    }
    const int touched = outsideTouched();
    std::printf(
        "symlink race: %ld swaps, %d walks, %d outside entries touched, %d foreign "
        "entries in copies\n",
        swaps, walks, touched, foreign);
    EXPECT_GT(swaps, 0);
    EXPECT_EQ(touched, 0);
    EXPECT_EQ(foreign, 0);
}

}  // namespace
}  // namespace talvo2
