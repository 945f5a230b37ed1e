#include "corekit2/bag_file.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;

std::wstring leaf(const wchar_t* path) {
    return test::utf8Path(path).filename().wstring();
}

TEST(Project, CreateNumbersNamesAndSettlesIntoExistingDirectories) {
    TempDir dir;
    const auto first = IProject::create(dir.wide(L"x/p@@@").c_str(), nullptr, false);
    const auto second = IProject::create(dir.wide(L"x/p@@@").c_str(), nullptr, false);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(leaf(first->getMarkerFilePath()), L"p000.talvoproj");
    EXPECT_EQ(leaf(second->getMarkerFilePath()), L"p001.talvoproj");

    fs::create_directories(dir.path() / "y/p000");
    test::writeFile(dir.path() / "y/p003.talvoprojlink", "");
    test::writeFile(dir.path() / "y/p005", "");
    EXPECT_EQ(leaf(IProject::create(dir.wide(L"y/p@@@").c_str(), nullptr, false)->getPath()),
              L"p004");

    fs::create_directories(dir.path() / "x/proj");
    const auto existing = IProject::create(dir.wide(L"x/proj").c_str(), nullptr, false);
    ASSERT_TRUE(existing);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "x/proj/proj.talvoproj"));

    const auto named = IProject::create(dir.wide(L"x/q/my.talvoproj").c_str(), nullptr, false);
    ASSERT_TRUE(named);
    EXPECT_STREQ(named->getUserVisibleName(), L"my");

    EXPECT_EQ(IProject::open(dir.wide(L"x/p@@@").c_str(), nullptr).get(), second.get());
    EXPECT_TRUE(IProject::probe(dir.wide(L"x/p000").c_str()));
    EXPECT_FALSE(IProject::create(dir.wide(L"x/a|b").c_str(), nullptr, false));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), ReservedCharacters);
}

// The parent is found when a node is opened: asking for it afterwards is a plain getter that
// leaves the caller's last error alone, and the parent is already among the live nodes.
TEST(Project, ParentsAreFoundWhenANodeIsOpened) {
    TempDir dir;
    ASSERT_TRUE(IProject::create(dir.wide(L"top").c_str(), nullptr, false));
    ASSERT_TRUE(IExperiment::create(dir.wide(L"top/e").c_str(), nullptr));
    ASSERT_TRUE(ResultDirectoryManager::create(dir.wide(L"top/e/r000").c_str(), false, nullptr,
                                               false, nullptr));
    ASSERT_TRUE(ResultDirectoryManager::create(dir.wide(L"alone/r000").c_str(), false, nullptr,
                                               false, nullptr));
    const struct {
        const wchar_t* path;
        uint32_t liveNodes;  // the node and its ancestors
        const wchar_t* parent;
        const wchar_t* project;
    } cases[] = {
        {L"top", 1, nullptr, nullptr},
        {L"top/e/r000", 3, L"e", L"top"},
        {L"alone/r000", 1, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(test::utf8Path(c.path).string());
        sptr_t<INode> node = IProject::open(dir.wide(c.path).c_str(), nullptr);
        if (!node) node = ResultDirectoryManager::open(dir.wide(c.path).c_str(), false, nullptr);
        ASSERT_TRUE(node);
        EXPECT_EQ(Node::handleCount(), c.liveNodes);
        EXPECT_FALSE(ResultDirectoryManager::open(dir.wide(L"nothing").c_str(), false, nullptr));
        const sptr_t<INode> parent = node->getParent();
        const sptr_t<INode> project = node->getProject();
        EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound) << "left as it was";
        EXPECT_EQ(parent ? leaf(parent->getPath()) : L"", c.parent ? c.parent : L"");
        EXPECT_EQ(project ? leaf(project->getPath()) : L"", c.project ? c.project : L"");
    }
}

TEST(Project, KindsDoNotMix) {
    TempDir dir;
    const auto result =
        ResultDirectoryManager::create(dir.wide(L"r000").c_str(), false, nullptr, false, nullptr);
    ASSERT_TRUE(result);
    EXPECT_FALSE(IProject::open(dir.wide(L"r000").c_str(), nullptr));
    EXPECT_FALSE(IProject::probe(dir.wide(L"r000").c_str()));
    EXPECT_FALSE(IProject::cast(result));
    const auto experiment = IExperiment::create(dir.wide(L"e000").c_str(), nullptr);
    ASSERT_TRUE(experiment);
    EXPECT_FALSE(IProject::cast(experiment));
    EXPECT_EQ(IExperiment::cast(experiment).get(), experiment.get());
    EXPECT_FALSE(IResultDirectory::cast(experiment));
}

TEST(Project, RemoveOnCloseAndRemoveTakeMembersToo) {
    TempDir dir;
    {
        const auto project = IProject::create(dir.wide(L"gone").c_str(), nullptr, true);
        ASSERT_TRUE(project);
        ASSERT_TRUE(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr));
    }
    EXPECT_FALSE(fs::exists(dir.path() / "gone"));
    {
        const auto project = IProject::create(dir.wide(L"kept").c_str(), nullptr, true);
        ASSERT_TRUE(project && project->save());
    }
    EXPECT_TRUE(fs::exists(dir.path() / "kept"));
    const auto kept = IProject::open(dir.wide(L"kept").c_str(), nullptr);
    ASSERT_TRUE(kept->getNodeGroup()->createExperiment(L"e@@@"));
    EXPECT_TRUE(kept->remove());
    EXPECT_FALSE(fs::exists(dir.path() / "kept"));
}

TEST(Experiment, DiffersFromProjectsWhereItMust) {
    TempDir dir;
    const auto project = IProject::create(dir.wide(L"p").c_str(), nullptr, false);
    const auto first = IExperiment::create(dir.wide(L"p/e@@@").c_str(), nullptr);
    const auto second = IExperiment::create(dir.wide(L"p/e@@@").c_str(), nullptr);
    ASSERT_TRUE(project && first && second);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "p/e000/e000.talvoexp"));
    EXPECT_EQ(leaf(second->getPath()), L"e001");
    EXPECT_EQ(first->getParent().get(), static_cast<INode*>(project.get()));

    fs::create_directories(dir.path() / "p/run");
    EXPECT_FALSE(IExperiment::create(dir.wide(L"p/run").c_str(), nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), AlreadyExists);
    EXPECT_TRUE(fs::is_empty(dir.path() / "p/run"));
    EXPECT_TRUE(IProject::create(dir.wide(L"p/run").c_str(), nullptr, false));

    // A packed experiment is an experiment too.
    ASSERT_EQ(
        corekit2::save_variant_bag(corekit2::variant_bag_t(), dir.wide(L"p/old.talvopack").c_str()),
        corekit2::BAG_OK);
    EXPECT_TRUE(IExperiment::probe(dir.wide(L"p/old.talvopack").c_str()));
    EXPECT_TRUE(IExperiment::open(dir.wide(L"p/old.talvopack").c_str(), nullptr));

    // Experiments are not removed when closed, even unsaved.
    { const auto unsaved = IExperiment::create(dir.wide(L"p/keep").c_str(), nullptr); }
    EXPECT_TRUE(fs::exists(dir.path() / "p/keep/keep.talvoexp"));
}

}  // namespace
}  // namespace talvo2
