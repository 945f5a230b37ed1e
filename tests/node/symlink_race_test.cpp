// Symbolic links inside a node's tree, there from the start or swapped in while a removal or copy
// walks the tree: neither walk may read, copy or delete what they point to.

#include <fcntl.h>
#include <stdio.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "platform/tree_walk.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

const std::string kSentinel = "sentinel: outside every tree";

struct SymlinkTest : ::testing::Test {
    void SetUp() override {
        fs::create_directories(outside() / "deep");
        test::writeFile(outside() / "s0", kSentinel);
        test::writeFile(outside() / "deep/s1", kSentinel);
        before = test::snapshot(outside());
    }

    fs::path outside() const { return dir.path() / "outside"; }

    // A new result at `path` whose data.0 holds a file and a directory "inner"
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
        const auto now = test::snapshot(outside());
        int touched = 0;
        for (const auto& [path, entry] : before)
            touched += now.count(path) == 0 || now.at(path) != entry;
        for (const auto& [path, entry] : now) touched += before.count(path) == 0;
        return touched;
    }

    // Links, or files with the sentinel's content, in a copy.
    static int foreignEntries(const fs::path& copy) {
        int foreign = 0;
        for (fs::recursive_directory_iterator it(copy), end; it != end; ++it)
            foreign += fs::is_symlink(it->symlink_status()) ||
                       (fs::is_regular_file(it->symlink_status()) &&
                        test::readFile(it->path()) == kSentinel);
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
    EXPECT_TRUE(fs::exists(dir.path() / "copy/data.0/inner/i7"));
    EXPECT_TRUE(fs::exists(dir.path() / "copy/data.0/file"));
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

TEST_F(SymlinkTest, EntriesSwappedForLinksWhileWalksRunNeverLeadOutside) {
    const std::string data = (dir.path() / "r000/data.0").string();
    std::mutex mutex;
    bool armed = false, stop = false;  // under the mutex
    long swaps = 0;
    // While armed, exchanges "inner" with "inner.alt" and "file" with "file.alt" atomically and
    // over and over, so each name is now the real entry, now the link.
    std::thread swapper([&] {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            if (stop) return;
            if (!armed) {
                lock.unlock();
                std::this_thread::yield();
                continue;
            }
            for (const char* name : {"/inner", "/file"}) {
                const std::string real = data + name, alt = real + ".alt";
                swaps += ::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, alt.c_str(),
                                     RENAME_EXCHANGE) == 0;
            }
        }
    });
    const auto flip = [&mutex](bool& flag) {
        const std::lock_guard<std::mutex> lock(mutex);
        flag = !flag;
    };
    int walks = 0, foreign = 0;
    for (int round = 0; round < 200; ++round) {
        const sptr_t<IResultDirectory> result = makeResult(dir.wide(L"r000"));
        if (!result) break;  // counted short below
        flip(armed);
        const std::wstring copy = dir.wide(L"copy" + std::to_wstring(round));
        EXPECT_TRUE(result->copy(copy.c_str(), false, nullptr));  // the node is the copy now
        const auto original =
            ResultDirectoryManager::open(dir.wide(L"r000").c_str(), false, nullptr);
        EXPECT_TRUE(original && original->remove()) << test::lastError();
        flip(armed);
        walks += 2;
        if (fs::exists(test::utf8Path(copy))) foreign += foreignEntries(test::utf8Path(copy));
        EXPECT_TRUE(result->remove());
    }
    flip(stop);
    swapper.join();
    const int touched = outsideTouched();
    std::printf(
        "symlink race: %ld swaps, %d walks, %d outside entries touched, %d foreign "
        "entries in copies\n",
        swaps, walks, touched, foreign);
    EXPECT_EQ(walks, 400);
    EXPECT_GT(swaps, 0);
    EXPECT_EQ(touched, 0);
    EXPECT_EQ(foreign, 0);
}

}  // namespace
}  // namespace talvo2
