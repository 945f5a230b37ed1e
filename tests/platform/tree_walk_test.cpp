// A name that comes from a listing or a record on disk is removed only as an entry of its
// directory: one that would name the directory itself, its parent or a path elsewhere is refused.

#include "platform/tree_walk.hpp"
#include "platform/file_system.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

TEST(RemoveTreeAt, RefusesNamesThatAreNotAnEntryOfTheDirectory) {
    test::TempDir dir;
    boost::filesystem::create_directory(dir.path() / "inside");
    test::writeFile(dir.path() / "inside/kept.txt", "kept");
    const auto before = test::snapshot(dir.path());
    std::unique_ptr<platform::Directory> parent;
    ASSERT_TRUE(platform::fileSystem().openDirectory(nullptr, (dir.path() / "inside").string(),
                                                     true, false, parent));
    for (const char* name : {"", ".", "..", "kept.txt/", "../inside"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(platform::removeTreeAt(*parent, name), OperationFailed);
        EXPECT_EQ(test::snapshot(dir.path()), before);
    }
    EXPECT_EQ(platform::removeTreeAt(*parent, "kept.txt"), OK);
    EXPECT_FALSE(boost::filesystem::exists(dir.path() / "inside/kept.txt"));
}

}  // namespace
}  // namespace talvo2
