// Link files that put a node into a group whose directory does not hold it, and the backlinks
// that name them. Paths read from markers and link files are data a neighbour may have forged:
// they are acted on only when the files they name confirm them.

#include <fstream>

#include "corekit2/bag_file.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;

sptr_t<IResultDirectory> openPath(const std::wstring& path) {
    return ResultDirectoryManager::open(path.c_str(), false, nullptr);
}

// The bag of the marker or link file `path` (root element `root`).
variant_bag_t bagOf(const std::wstring& path, const char* root = "") {
    variant_bag_t bag;
    EXPECT_EQ(corekit2::load_variant_bag(bag, path.c_str(), root), corekit2::BAG_OK) << path;
    return bag;
}

// The backlink that the marker `path` records, "" when none.
std::wstring backlinkOf(const std::wstring& path) {
    return bagOf(path).get<variant_bag_t>(L"talvo")->get_variant(L"backlink").get_wstring();
}

// A project P whose output directory lies elsewhere: r000 is made through its group there, r100
// inside P.
struct LinkFixture : ::testing::Test {
    void SetUp() override {
        const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        const auto group = project->getNodeGroup();
        group->setOutputDirectory(dir.wide(L"out").c_str());
        ASSERT_TRUE(group->createResultDirectory(L"r@@@", nullptr));
        ASSERT_TRUE(group->createResultDirectory(dir.wide(L"P/r100").c_str(), nullptr));
    }

    test::TempDir dir;
    const std::wstring link = dir.wide(L"P/r000.talvolink");
    const std::wstring marker = dir.wide(L"out/r000/r000.talvo");
};

TEST_F(LinkFixture, AResultOutsideItsProjectIsLinkedIntoIt) {
    EXPECT_FALSE(fs::exists(dir.path() / "P/r100.talvolink")) << "a result inside needs no link";
    const variant_bag_t record = bagOf(link, "bag");
    EXPECT_EQ(record.get_variant(L"link").get_wstring(), marker);
    EXPECT_EQ(record.get_variant(L"md5sum").get_wstring().size(), 32u);
    EXPECT_EQ(backlinkOf(marker), link);

    // Opening the link opens the result it names, as a linked member of the project.
    const auto viaLink = openPath(link);
    ASSERT_TRUE(viaLink && viaLink->isLinked() && viaLink->getParent());
    EXPECT_EQ(std::wstring(viaLink->getMarkerFilePath()) + L" " + viaLink->getLinkFilePath() +
                  L" " + viaLink->getParent()->getUserVisibleName(),
              marker + L" " + link + L" P");
    EXPECT_EQ(Node::handleCount(), 3u) << "marker and link of the result, marker of the project";
    EXPECT_EQ(openPath(dir.wide(L"out/r000")).get(), viaLink.get());

    // A duplicate is a new node of the same kind, its marker named after its directory, and not
    // the linked member: it carries no backlink. A taken name is refused and what is there stays.
    EXPECT_EQ(viaLink->duplicate(dir.wide(L"twin").c_str()), dir.wide(L"twin/twin.talvo"));
    EXPECT_EQ(backlinkOf(dir.wide(L"twin/twin.talvo")), L"");
    EXPECT_EQ(viaLink->duplicate(dir.wide(L"twin").c_str()), L"");
    EXPECT_TRUE(fs::exists(dir.path() / "twin/twin.talvo") &&
                !fs::exists(dir.path() / "twin/r000.talvo"));
    const auto project = IProject::open(dir.wide(L"P").c_str(), nullptr);
    EXPECT_EQ(project->duplicate(dir.wide(L"Q").c_str()), dir.wide(L"Q/Q.talvoproj"));
    EXPECT_TRUE(IProject::probe(dir.wide(L"Q").c_str()));
}

// Every kind of linked node: moving it under a plain directory (no owner) leaves it parentless
// and unlinked, and removing it once its directory is gone still succeeds and takes the link.
TEST_F(LinkFixture, LinkedNodesLeaveTheirGroupCleanly) {
    const auto group = IProject::open(dir.wide(L"P").c_str(), nullptr)->getNodeGroup();
    ASSERT_TRUE(group->createProject(L"q", false) && group->createExperiment(L"e"));
    fs::create_directories(dir.path() / "plain");
    for (const std::wstring name : {L"r000.talvo", L"q.talvoproj", L"e.talvoexp"}) {
        SCOPED_TRACE(test::utf8Path(name).string());
        const std::wstring linkPath = dir.wide(L"P/" + name + L"link");
        sptr_t<INode> node = openPath(linkPath);
        if (!node) node = IProject::open(linkPath.c_str(), nullptr);
        if (!node) node = IExperiment::open(linkPath.c_str(), nullptr);
        ASSERT_TRUE(node && node->isLinked() && fs::exists(test::utf8Path(linkPath)));

        EXPECT_TRUE(node->setParent(dir.wide(L"plain").c_str()));
        EXPECT_FALSE(node->getParent() || node->isLinked());
        EXPECT_FALSE(fs::exists(test::utf8Path(linkPath)));
        // Back into the project, then the directory vanishes behind the node's back.
        EXPECT_TRUE(node->setParent(dir.wide(L"P").c_str()));
        ASSERT_TRUE(fs::exists(test::utf8Path(linkPath)));
        fs::remove_all(dir.path() / "out" / test::utf8Path(name.substr(0, name.find(L'.'))));
        EXPECT_TRUE(node->remove());
        EXPECT_EQ(test::lastError(), OK);
        EXPECT_FALSE(fs::exists(test::utf8Path(linkPath)));
    }
}

TEST_F(LinkFixture, AChangedMarkerMakesTheLinkStaleUntilItIsRewritten) {
    std::ofstream(test::utf8Path(marker).string(), std::ios::app) << "<!-- edited -->";
    const std::string before = test::readFile(test::utf8Path(link));
    {
        const auto viaLink = openPath(link);
        ASSERT_TRUE(viaLink);
        EXPECT_FALSE(viaLink->isLinkStale()) << "the new digest was written";
    }
    EXPECT_NE(test::readFile(test::utf8Path(link)), before);

    // Where the link cannot be written, the node stays stale and says why.
    std::ofstream(test::utf8Path(marker).string(), std::ios::app) << "<!-- again -->";
    fs::permissions(dir.path() / "P",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    const int status = test::runUnprivileged([&] {
        const auto viaLink = openPath(link);
        ASSERT_TRUE(viaLink);
        EXPECT_TRUE(viaLink->isLinkStale());
        EXPECT_EQ(test::lastError(), OperationFailed);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

// Plants a link file naming `target`.
void plantLink(const std::wstring& link, const std::wstring& target) {
    variant_bag_t bag;
    bag.put(L"link", variant_t(target.c_str()));
    bag.put(L"md5sum", variant_t(L"00000000000000000000000000000000"));
    ASSERT_EQ(corekit2::save_variant_bag2(bag, link.c_str(), "bag"), corekit2::BAG_OK);
}

// A shared project folder "shared/P" and, outside it, the victim's "home" (a file, a folder, a
// result with a link file naming it): what forged backlinks and planted link files name stays
// untouched.
TEST(ForgedPaths, BacklinksAndLinkFilesThatDoNotLeadBackTouchNothingTheyName) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "home/work");
    test::writeFile(dir.path() / "home/important.txt", "precious");
    ASSERT_TRUE(ResultDirectoryManager::create(dir.wide(L"home/res").c_str(), false, nullptr, true,
                                               nullptr));
    plantLink(dir.wide(L"home/res.talvolink"), dir.wide(L"home/res/res.talvo"));
    const auto project = IProject::create(dir.wide(L"shared/P").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    const auto before = test::snapshot(dir.path() / "home");

    const std::wstring forged[] = {dir.wide(L"home/important.txt"), dir.wide(L"home/work"),
                                   dir.wide(L"home/res.talvolink"), L"/"};
    // Each forged into a member of the project, and into a result of no group.
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(test::utf8Path(forged[i / 2]).string());
        auto made = i % 2 ? ResultDirectoryManager::create(dir.wide(L"shared/r@@@").c_str(), false,
                                                           nullptr, false, nullptr)
                          : project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
        ASSERT_TRUE(made);
        const std::wstring marker = made->getMarkerFilePath(), path = made->getPath();
        made.reset();  // so the next open reads the forged marker
        variant_bag_t bag = bagOf(marker);
        bag.get<variant_bag_t>(L"talvo")->put(L"backlink", variant_t(forged[i / 2].c_str()));
        ASSERT_EQ(corekit2::save_variant_bag(bag, marker.c_str()), corekit2::BAG_OK);
        // Opening binds and updates links, saving rewrites them, a new parent moves them, and
        // removal takes the node's link: none of them may touch what the backlink names.
        const auto opened = openPath(path);
        ASSERT_TRUE(opened);
        EXPECT_TRUE(opened->save());
        EXPECT_TRUE(opened->setParent(dir.wide(L"shared").c_str()));
        EXPECT_TRUE(opened->setParent(dir.wide(L"shared/P").c_str()));
        EXPECT_TRUE(opened->remove());
        EXPECT_FALSE(fs::exists(test::utf8Path(path)));
        EXPECT_EQ(test::snapshot(dir.path() / "home"), before);
    }

    // Links to a marker that is not there, to a result whose backlink does not name the link, to
    // a folder and to the root: removing the group's nodes, or each link opened by itself, takes
    // at most the link.
    const std::wstring targets[] = {dir.wide(L"home/work/a.talvo"), dir.wide(L"home/res/res.talvo"),
                                    dir.wide(L"home/work"), L"/.talvo"};
    for (int i = 0; i < 4; ++i) {
        const std::wstring link = dir.wide(L"shared/P/x" + std::to_wstring(i) + L".talvolink");
        plantLink(link, targets[i]);
        // A missing node whose removal takes the link alone, or (a result that does not name the
        // link back, a folder) no node at all.
        const auto opened = openPath(link);
        EXPECT_EQ(bool(opened), i == 0 || i == 3);
        if (opened)
            EXPECT_TRUE(opened->isMissing() && opened->remove());
        else
            EXPECT_EQ(test::lastError(), NotFound);
        plantLink(link, targets[i]);  // again, for the group's removal below
    }
    project->getNodeGroup()->removeNodes(nullptr, 0);
    EXPECT_EQ(test::snapshot(dir.path() / "home"), before);
}

}  // namespace
}  // namespace talvo2
