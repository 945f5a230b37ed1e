// Paths read from markers and link files are data a neighbour may have forged: they are acted on
// only when the files they name confirm them, and everything outside the shared folder stays as
// it was.

#include <map>

#include "corekit2/bag_file.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;
using test::TempDir;

void setBacklink(const std::wstring& marker, const std::wstring& backlink) {
    variant_bag_t bag;
    ASSERT_EQ(corekit2::load_variant_bag(bag, marker.c_str(), ""), corekit2::BAG_OK);
    bag.get<variant_bag_t>(L"talvo")->put(L"backlink", variant_t(backlink.c_str()));
    ASSERT_EQ(corekit2::save_variant_bag(bag, marker.c_str()), corekit2::BAG_OK);
}

void plantLink(const std::wstring& link, const std::wstring& target) {
    variant_bag_t bag;
    bag.put(L"link", variant_t(target.c_str()));
    bag.put(L"md5sum", variant_t(L"00000000000000000000000000000000"));
    ASSERT_EQ(corekit2::save_variant_bag2(bag, link.c_str(), "bag"), corekit2::BAG_OK);
}

// A shared project folder "shared/P" and, outside it, the victim's "home": a file, a folder of
// work and a result of their own that the project knows nothing about.
struct ForgedPaths : ::testing::Test {
    void SetUp() override {
        fs::create_directories(dir.path() / "home/work");
        test::writeFile(dir.path() / "home/important.txt", "precious");
        test::writeFile(dir.path() / "home/work/notes.txt", "mine");
        ASSERT_TRUE(ResultDirectoryManager::create(dir.wide(L"home/res").c_str(), false, nullptr,
                                                   true, nullptr));
        project = IProject::create(dir.wide(L"shared/P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        before = test::snapshot(dir.path() / "home");
    }

    TempDir dir;
    sptr_t<IProject> project;
    std::map<std::string, std::string> before;
};

TEST_F(ForgedPaths, BacklinksThatDoNotLeadBackAreNeverDeleted) {
    // A link file of the victim's own that names their result, as a backlink would.
    plantLink(dir.wide(L"home/res.talvolink"), dir.wide(L"home/res/res.talvo"));
    before = test::snapshot(dir.path() / "home");
    const std::wstring forged[] = {dir.wide(L"home/important.txt"), dir.wide(L"home/work"),
                                   dir.wide(L"home/res.talvolink"), L"/"};
    // Each forged into a member of the project, and into a result of no group.
    for (int i = 0; i < 8; ++i) {
        const std::wstring& backlink = forged[i / 2];
        SCOPED_TRACE(test::utf8Path(backlink).string());
        auto made = i % 2 ? ResultDirectoryManager::create(dir.wide(L"shared/r@@@").c_str(), false,
                                                           nullptr, false, nullptr)
                          : project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
        ASSERT_TRUE(made);
        const std::wstring marker = made->getMarkerFilePath();
        const std::wstring path = made->getPath();
        made.reset();  // so the next open reads the forged marker
        setBacklink(marker, backlink);
        // Opening binds and updates links, saving rewrites them, a new parent moves them, and
        // removal takes the node's link: none of them may touch what the backlink names.
        const auto opened = ResultDirectoryManager::open(path.c_str(), false, nullptr);
        ASSERT_TRUE(opened);
        EXPECT_TRUE(opened->save());
        EXPECT_TRUE(opened->setParent(dir.wide(L"shared").c_str()));
        EXPECT_TRUE(opened->setParent(dir.wide(L"shared/P").c_str()));
        EXPECT_TRUE(opened->remove());
        EXPECT_FALSE(fs::exists(test::utf8Path(path)));
        EXPECT_EQ(test::snapshot(dir.path() / "home"), before);
    }
}

TEST_F(ForgedPaths, PlantedLinkFilesLoseOnlyThemselvesToRemoval) {
    // Links to a marker that is not there, to a result whose backlink does not name the link,
    // to a folder, and to the root.
    const std::wstring targets[] = {dir.wide(L"home/work/a.talvo"), dir.wide(L"home/res/res.talvo"),
                                    dir.wide(L"home/work"), L"/.talvo"};
    int n = 0;
    for (const std::wstring& target : targets)
        plantLink(dir.wide(L"shared/P/x" + std::to_wstring(n++) + L".talvolink"), target);
    const sptr_t<INodeGroup> group = project->getNodeGroup();
    group->removeNodes(nullptr, 0);
    EXPECT_EQ(test::snapshot(dir.path() / "home"), before);

    // Opened one by one, they lead to no node, or to a missing one whose removal takes the link
    // alone.
    n = 0;
    for (const std::wstring& target : targets) {
        const std::wstring link = dir.wide(L"shared/P/y" + std::to_wstring(n++) + L".talvolink");
        plantLink(link, target);
        if (const auto opened = ResultDirectoryManager::open(link.c_str(), false, nullptr)) {
            EXPECT_TRUE(opened->isMissing());
            EXPECT_TRUE(opened->remove());
        } else {
            EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
        }
    }
    EXPECT_EQ(test::snapshot(dir.path() / "home"), before);
}

}  // namespace
}  // namespace talvo2
