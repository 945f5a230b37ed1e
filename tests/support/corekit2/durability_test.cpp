// A replaced file is durable only once its directory is synced as well: until the rename reaches
// the disk, a crash can bring the old content back. This executable counts the directory syncs the
// library makes by standing in for fsync.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>

#include "corekit2/bag_file.hpp"
#include "util/test_util.hpp"

namespace {
std::atomic<int> directorySyncs{0};
}  // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) ++directorySyncs;
    return real(fd);
}

namespace {

TEST(BagFileDurability, ReplacingAFileSyncsItsDirectory) {
    talvo2::test::TempDir dir;
    corekit2::variant_bag_t bag;
    bag.put(L"key", corekit2::variant_t(L"value"));
    const std::wstring file = dir.wide(L"bag.xml");
    ASSERT_EQ(corekit2::save_variant_bag(bag, file.c_str()), corekit2::BAG_OK);
    const int afterCreating = directorySyncs;
    ASSERT_EQ(corekit2::save_variant_bag(bag, file.c_str()), corekit2::BAG_OK);
    EXPECT_GT(directorySyncs, afterCreating);
}

}  // namespace
