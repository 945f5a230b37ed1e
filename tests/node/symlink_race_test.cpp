// Symbolic links inside a node's tree, there from the start or swapped in while a removal or copy
// walks the tree: neither walk may read, copy or delete what they point to.

#include <fcntl.h>
#include <stdio.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/tree_walk.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

const std::string kSentinel = "sentinel: outside every tree";

struct SymlinkTest : ::testing::Test {
    void SetUp() override {
        fs::create_directories(outside / "deep");
        test::writeFile(outside / "s0", kSentinel);
        test::writeFile(outside / "deep/s1", kSentinel);
        before = test::snapshot(outside);
    }

    // How many entries of the outside folder differ from SetUp's, missing and new ones included.
    int outsideTouched() const {
        const auto now = test::snapshot(outside);
        std::vector<std::pair<std::string, std::string>> changed;
        std::set_symmetric_difference(before.begin(), before.end(), now.begin(), now.end(),
                                      std::back_inserter(changed));
        return static_cast<int>(changed.size());
    }

    test::TempDir dir;
    const fs::path outside = dir.path() / "outside";
    std::map<std::string, std::string> before;
};

// Copies and removals of trees with links in them are the race's below (and a dangling link the
// copy tests'); these are the cases it does not meet.
TEST_F(SymlinkTest, LinksAreSkippedByCopiesAndDeletedThemselvesByRemoval) {
    // A path that is itself a link loses the link only; nothing there is no failure.
    const fs::path alias = dir.path() / "alias";
    fs::create_directory_symlink(outside, alias);
    EXPECT_EQ(platform::removeTree(alias.string()), OK);
    EXPECT_FALSE(fs::exists(fs::symlink_status(alias)));
    EXPECT_EQ(platform::removeTree(alias.string()), OK);

    // An existing target, a link to outside included, is neither overwritten nor written through.
    fs::create_directory(dir.path() / "from");
    test::writeFile(dir.path() / "from/s0", "new");
    fs::create_directory(dir.path() / "to");
    fs::create_symlink(outside / "s0", dir.path() / "to/s0");
    EXPECT_EQ(platform::copyTreeContents((dir.path() / "from").string(),
                                         (dir.path() / "to").string(), {}),
              AlreadyExists);
    EXPECT_EQ(outsideTouched(), 0);
}

TEST_F(SymlinkTest, EntriesSwappedForLinksWhileWalksRunNeverLeadOutside) {
    const fs::path data = dir.path() / "r000/data.0";
    std::mutex mutex;
    std::unique_lock<std::mutex> quiet(mutex);  // held by the test while no walk runs
    bool stop = false;                          // under the mutex
    long swaps = 0;
    // Exchanges "inner" with "inner.alt" and "file" with "file.alt" atomically and over and over
    // while the walks run, so each name is now the real entry, now the link.
    std::thread swapper([&] {
        for (;; std::this_thread::yield()) {
            const std::lock_guard<std::mutex> lock(mutex);
            if (stop) return;
            for (const char* name : {"/inner", "/file"}) {
                const std::string real = data.string() + name, alt = real + ".alt";
                swaps += ::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, alt.c_str(),
                                     RENAME_EXCHANGE) == 0;
            }
        }
    });
    int walks = 0, foreign = 0;
    for (int round = 0; round < 200; ++round) {
        // A result whose data.0 holds a file and a directory "inner" with files of its own, each
        // beside a link to outside named like it plus ".alt".
        const sptr_t<IResultDirectory> result = test::createResult(dir.wide(L"r000"));
        if (!result) break;  // counted short below
        fs::create_directories(data / "inner");
        for (int i = 0; i < 8; ++i)
            test::writeFile(data / "inner" / ("i" + std::to_string(i)), "inside");
        test::writeFile(data / "file", "inside");
        fs::create_directory_symlink(outside, data / "inner.alt");
        fs::create_symlink(outside / "s0", data / "file.alt");
        quiet.unlock();
        const std::wstring copy = dir.wide(L"copy" + std::to_wstring(round));
        EXPECT_TRUE(result->copy(copy.c_str(), false, nullptr));  // the node is the copy now
        const auto original =
            ResultDirectoryManager::open(dir.wide(L"r000").c_str(), false, nullptr);
        EXPECT_TRUE(original && original->remove()) << test::lastError();
        quiet.lock();
        walks += 2;
        // Links, or files with the sentinel's content, in the copy.
        boost::system::error_code ec;  // no copy: nothing to count, and the failure is reported
        for (fs::recursive_directory_iterator it(test::utf8Path(copy), ec), end; it != end; ++it)
            foreign += fs::is_symlink(it->symlink_status()) ||
                       (fs::is_regular_file(it->symlink_status()) &&
                        test::readFile(it->path()) == kSentinel);
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "r000")));
        EXPECT_TRUE(result->remove());
    }
    stop = true;
    quiet.unlock();
    swapper.join();
    const int touched = outsideTouched();
    std::printf(
        "symlink race: %ld swaps, %d walks, %d outside entries touched, %d foreign "
        "entries in copies\n",
        swaps, walks, touched, foreign);
    EXPECT_EQ(std::make_tuple(walks, swaps > 0, touched, foreign),
              std::make_tuple(400, true, 0, 0));
}

}  // namespace
}  // namespace talvo2
