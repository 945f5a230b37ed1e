#include <fstream>

#include "corekit2/bag_file.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using test::TempDir;

sptr_t<IResultDirectory> openPath(const std::wstring& path) {
    return ResultDirectoryManager::open(path.c_str(), false, nullptr);
}

// A project P whose output directory lies elsewhere, and a result made through its group there.
struct LinkFixture : ::testing::Test {
    void SetUp() override {
        const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        project->getNodeGroup()->setOutputDirectory(dir.wide(L"out").c_str());
        ASSERT_TRUE(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr));
        inside =
            project->getNodeGroup()->createResultDirectory(dir.wide(L"P/r100").c_str(), nullptr);
        ASSERT_TRUE(inside);
        inside.reset();
    }
    fs::path link() const { return dir.path() / "P/r000.talvolink"; }

    TempDir dir;
    sptr_t<IResultDirectory> inside;
};

TEST_F(LinkFixture, AResultOutsideItsProjectIsLinkedIntoIt) {
    EXPECT_EQ(Node::handleCount(), 0u);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "out/r000/r000.talvo"));
    ASSERT_TRUE(fs::is_regular_file(link()));
    EXPECT_FALSE(fs::exists(dir.path() / "P/r100.talvolink")) << "a result inside needs no link";

    variant_bag_t record;
    ASSERT_EQ(
        corekit2::load_variant_bag2(
            record, test::utf8Path(dir.wide(L"P/r000.talvolink")).wstring().c_str(), "bag", false),
        corekit2::BAG_OK);
    EXPECT_EQ(record.get_variant(L"link").get_wstring(), dir.wide(L"out/r000/r000.talvo"));
    EXPECT_EQ(record.get_variant(L"md5sum").get_wstring().size(), 32u);
    variant_bag_t marker;
    ASSERT_EQ(corekit2::load_variant_bag(marker, dir.wide(L"out/r000/r000.talvo").c_str(), ""),
              corekit2::BAG_OK);
    EXPECT_EQ(marker.get<variant_bag_t>(L"talvo")->get_variant(L"backlink").get_wstring(),
              dir.wide(L"P/r000.talvolink"));

    // Opening the link opens the result it names, as a member of the project.
    const auto viaLink = openPath(dir.wide(L"P/r000.talvolink"));
    ASSERT_TRUE(viaLink);
    EXPECT_EQ(std::wstring(viaLink->getMarkerFilePath()), dir.wide(L"out/r000/r000.talvo"));
    EXPECT_TRUE(viaLink->isLinked());
    EXPECT_EQ(std::wstring(viaLink->getLinkFilePath()), dir.wide(L"P/r000.talvolink"));
    EXPECT_STREQ(viaLink->getParent()->getUserVisibleName(), L"P");
    EXPECT_EQ(Node::handleCount(), 3u) << "marker and link of the result, marker of the project";
    EXPECT_EQ(openPath(dir.wide(L"out/r000")).get(), viaLink.get());

    // A duplicate is not the linked member: it carries no backlink.
    const std::wstring twin = viaLink->duplicate(dir.wide(L"twin").c_str());
    ASSERT_FALSE(twin.empty());
    variant_bag_t twinBag;
    ASSERT_EQ(corekit2::load_variant_bag(twinBag, twin.c_str(), ""), corekit2::BAG_OK);
    EXPECT_FALSE(twinBag.get<variant_bag_t>(L"talvo")->has<corekit2::variant_t>(L"backlink"));

    const auto project = IProject::open(dir.wide(L"P").c_str(), nullptr);
    std::vector<std::wstring> members;
    const auto paths = project->getNodeGroup()->getMemberPaths();
    for (const wchar_t* path = paths->next(); path; path = paths->next())
        members.push_back(test::utf8Path(path).filename().wstring());
    EXPECT_EQ(members, (std::vector<std::wstring>{L"r000.talvolink", L"r100.talvo"}));
}

// Every kind of linked node: removing it once its directory is gone still succeeds and takes the
// link, and moving it under a plain directory (no owner) leaves it parentless and unlinked.
TEST_F(LinkFixture, LinkedNodesLeaveTheirGroupCleanly) {
    const auto group = IProject::open(dir.wide(L"P").c_str(), nullptr)->getNodeGroup();
    ASSERT_TRUE(group->createProject(L"q", false) && group->createExperiment(L"e"));
    fs::create_directories(dir.path() / "plain");
    for (const std::wstring name : {L"r000.talvo", L"q.talvoproj", L"e.talvoexp"}) {
        SCOPED_TRACE(test::utf8Path(name).string());
        const std::wstring stem = name.substr(0, name.find(L'.'));
        const fs::path link = dir.path() / "P" / test::utf8Path(name + L"link");
        const std::wstring linkPath = dir.wide(L"P/" + name + L"link");
        sptr_t<INode> node = openPath(linkPath);
        if (!node) node = IProject::open(linkPath.c_str(), nullptr);
        if (!node) node = IExperiment::open(linkPath.c_str(), nullptr);
        ASSERT_TRUE(node);
        ASSERT_TRUE(node->isLinked() && fs::exists(link));

        EXPECT_TRUE(node->setParent(dir.wide(L"plain").c_str()));
        EXPECT_FALSE(node->getParent());
        EXPECT_FALSE(node->isLinked());
        EXPECT_FALSE(fs::exists(link));

        // Back into the project, then the directory vanishes behind the node's back.
        EXPECT_TRUE(node->setParent(dir.wide(L"P").c_str()));
        ASSERT_TRUE(fs::exists(link));
        fs::remove_all(dir.path() / "out" / test::utf8Path(stem));
        EXPECT_TRUE(node->remove());
        EXPECT_EQ(ResultDirectoryManager::getLastError(), OK);
        EXPECT_FALSE(fs::exists(link));
    }
}

TEST_F(LinkFixture, AChangedMarkerMakesTheLinkStaleUntilItIsRewritten) {
    {
        std::ofstream marker((dir.path() / "out/r000/r000.talvo").string(), std::ios::app);
        marker << "<!-- edited -->";
    }
    const std::string before = test::readFile(link());
    {
        const auto viaLink = openPath(dir.wide(L"P/r000.talvolink"));
        ASSERT_TRUE(viaLink);
        EXPECT_FALSE(viaLink->isLinkStale()) << "the new digest was written";
    }
    EXPECT_NE(test::readFile(link()), before);

    // Where the link cannot be written, the node stays stale and says why.
    {
        std::ofstream marker((dir.path() / "out/r000/r000.talvo").string(), std::ios::app);
        marker << "<!-- again -->";
    }
    fs::permissions(dir.path() / "P",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    const std::wstring path = dir.wide(L"P/r000.talvolink");
    const int status = test::runUnprivileged([&] {
        const auto viaLink = openPath(path);
        ASSERT_TRUE(viaLink);
        EXPECT_TRUE(viaLink->isLinkStale());
        EXPECT_EQ(ResultDirectoryManager::getLastError(), OperationFailed);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace talvo2
