// Some network file systems cannot rename without replacing (and some refuse hard links too).
// Creating nodes and renaming markers must keep their promise there: never replace what another
// writer put at the name, and number concurrent results apart.

#include "util/fault_file_system.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

TEST(WithoutNoReplaceRename, NodesAreMadeAndRenamedWithoutReplacingAnything) {
    for (const bool noLinks : {false, true}) {
        SCOPED_TRACE(noLinks ? "no hard links either" : "hard links");
        test::TempDir dir;
        test::FaultInjection faults;
        faults.fileSystem().withoutNoReplace(true, noLinks);

        // Numbered results take the next free numbers; a literal name that is taken is refused.
        EXPECT_TRUE(test::createResult(dir.wide(L"r@@@")));
        const sptr_t<IResultDirectory> second = test::createResult(dir.wide(L"r@@@"));
        ASSERT_TRUE(second);
        EXPECT_EQ(std::wstring(second->getPath()), dir.wide(L"r001"));
        const std::string taken = test::readFile(dir.path() / "r000/r000.talvo");
        EXPECT_FALSE(ResultDirectoryManager::create(dir.wide(L"r000").c_str(), false, nullptr, true,
                                                    nullptr));
        EXPECT_EQ(test::lastError(), AlreadyExists);
        EXPECT_EQ(test::readFile(dir.path() / "r000/r000.talvo"), taken);

        // A marker renamed onto another node's marker name leaves that file alone.
        test::writeFile(dir.path() / "r001/other.talvo", "someone else's");
        EXPECT_FALSE(second->changeUserVisibleName(L"other"));
        EXPECT_EQ(test::lastError(), AlreadyExists);
        EXPECT_EQ(test::readFile(dir.path() / "r001/other.talvo"), "someone else's");
        EXPECT_TRUE(second->changeUserVisibleName(L"mine"));
        EXPECT_TRUE(fs::is_regular_file(dir.path() / "r001/mine.talvo"));
        EXPECT_FALSE(fs::exists(dir.path() / "r001/r001.talvo"));
        // Nothing half-made is left in the folder: no staging directory, no temporary file.
        std::vector<std::string> names;
        for (const fs::path& entry : fs::directory_iterator(dir.path()))
            names.push_back(entry.filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"r000", "r001"}));
    }
}

}  // namespace
}  // namespace talvo2
