// Symbolic links inside a node's tree, there from the start or swapped in while a removal or copy
// walks the tree: neither walk may read, copy or delete what they point to.

#include <fcntl.h>
#include <stdio.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/tree_walk.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

TEST(SymlinkTest, EntriesSwappedForLinksWhileWalksRunNeverLeadOutside) {
    const std::string kSentinel = "sentinel: outside every tree";
    test::TempDir dir;
    const fs::path outside = dir.path() / "outside", data = dir.path() / "r000/data.0";
    fs::create_directories(outside / "deep");
    test::writeFile(outside / "deep/s0", kSentinel);
    const auto before = test::snapshot(outside);

    // No race: a link at the path goes itself, nothing there is no failure; an existing target,
    // a link to outside included, is neither overwritten nor written through.
    const std::string at = dir.path().string() + "/at";
    fs::create_directory_symlink(outside, at);
    EXPECT_EQ(platform::removeTree(at), OK);
    EXPECT_FALSE(fs::exists(fs::symlink_status(at)));
    EXPECT_EQ(platform::removeTree(at), OK);
    fs::create_directories(at);
    fs::create_symlink(outside / "deep/s0", at + "/s0");  // written through, the source is lost
    EXPECT_EQ(platform::copyTreeContents((outside / "deep").string(), at, {}), AlreadyExists);

    std::mutex mutex;
    std::unique_lock<std::mutex> quiet(mutex);  // held by the test while no walk runs
    bool stop = false;                          // under the mutex
    long swaps = 0;
    // While walks run, "inner" and "file" are now the real entry, now a link to outside.
    std::thread swapper([&] {
        for (;; std::this_thread::yield()) {
            const std::lock_guard<std::mutex> lock(mutex);
            if (stop) return;
            for (const fs::path& real : {data / "inner", data / "file"})
                swaps += ::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD,
                                     (real.string() + ".alt").c_str(), RENAME_EXCHANGE) == 0;
        }
    });
    int rounds = 0, foreign = 0;
    for (; rounds < 200; ++rounds) {
        const sptr_t<IResultDirectory> result = test::createResult(dir.wide(L"r000"));
        if (!result) break;  // counted short below
        fs::create_directories(data / "inner");
        for (int i = 0; i < 8; ++i)
            test::writeFile(data / "inner" / ("i" + std::to_string(i)), "inside");
        test::writeFile(data / "file", "inside");
        fs::create_directory_symlink(outside, data / "inner.alt");
        fs::create_symlink(outside / "deep/s0", data / "file.alt");
        quiet.unlock();
        const std::wstring copy = dir.wide(L"copy" + std::to_wstring(rounds));
        EXPECT_TRUE(result->copy(copy.c_str(), false, nullptr));  // the node is the copy now
        const auto original =
            ResultDirectoryManager::open(dir.wide(L"r000").c_str(), false, nullptr);
        EXPECT_TRUE(original && original->remove()) << test::lastError();
        quiet.lock();
        boost::system::error_code ec;  // no copy: nothing to count, and the failure is reported
        for (fs::recursive_directory_iterator it(test::utf8Path(copy), ec), end; it != end; ++it)
            foreign += fs::is_symlink(it->symlink_status()) ||
                       (fs::is_regular_file(it->symlink_status()) &&
                        test::readFile(it->path()) == kSentinel);
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "r000")));
    }
    stop = true;
    quiet.unlock();
    swapper.join();
    const auto now = test::snapshot(outside);
    std::vector<std::pair<std::string, std::string>> touched;  // changed, gone or new
    std::set_symmetric_difference(before.begin(), before.end(), now.begin(), now.end(),
                                  std::back_inserter(touched));
    std::printf(
        "symlink race: %ld swaps, %d walks, %zu outside entries touched, "
        "%d foreign entries in copies\n",
        swaps, 2 * rounds, touched.size(), foreign);
    EXPECT_EQ(std::make_tuple(rounds, swaps > 0, touched.size(), foreign),
              std::make_tuple(200, true, 0u, 0));
}

}  // namespace
}  // namespace talvo2
