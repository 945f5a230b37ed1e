#include <map>

#include "corekit2/bag_file.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;

std::wstring leaf(const wchar_t* path) {
    return test::utf8Path(path).filename().wstring();
}

// Created in order, each seeing what the rows before it made.
TEST(Project, CreateNumbersNamesAndSettlesIntoExistingDirectories) {
    TempDir dir;
    fs::create_directories(dir.path() / "y/p000");
    test::writeFile(dir.path() / "y/p003.talvoprojlink", "");
    test::writeFile(dir.path() / "y/p005", "");
    fs::create_directories(dir.path() / "x/proj");
    fs::create_directories(dir.path() / "p/run");
    const struct {
        bool project;  // else an experiment
        const wchar_t* path;
        error_t error;       // OK, or the refusal, which writes nothing
        const char* marker;  // where the marker is written
    } rows[] = {
        {true, L"x/p@@@", OK, "x/p000/p000.talvoproj"},
        {true, L"x/p@@@", OK, "x/p001/p001.talvoproj"},
        // Numbered past member directories and links; other files do not count.
        {true, L"y/p@@@", OK, "y/p004/p004.talvoproj"},
        {true, L"x/proj", OK, "x/proj/proj.talvoproj"},
        {true, L"x/q/my.talvoproj", OK, "x/q/my.talvoproj"},
        {true, L"x/a|b", ReservedCharacters, nullptr},
        {true, L"p", OK, "p/p.talvoproj"},
        {false, L"p/e@@@", OK, "p/e000/e000.talvoexp"},
        {false, L"p/e@@@", OK, "p/e001/e001.talvoexp"},
        // An experiment needs a directory of its own; a project settles into one.
        {false, L"p/run", AlreadyExists, nullptr},
        {true, L"p/run", OK, "p/run/run.talvoproj"},
    };
    std::map<std::string, sptr_t<INode>> made;
    for (const auto& row : rows) {
        SCOPED_TRACE(test::utf8Path(row.path).string());
        const std::wstring path = dir.wide(row.path);
        const sptr_t<INode> node =
            row.project ? sptr_t<INode>(IProject::create(path.c_str(), nullptr, false))
                        : sptr_t<INode>(IExperiment::create(path.c_str(), nullptr));
        EXPECT_EQ(node ? OK : test::lastError(), row.error);
        if (!node || !row.marker) {
            const fs::path target = test::utf8Path(path);
            EXPECT_TRUE(fs::is_directory(target) ? fs::is_empty(target) : !fs::exists(target));
            continue;
        }
        EXPECT_EQ(test::utf8Path(node->getMarkerFilePath()), dir.path() / row.marker);
        EXPECT_TRUE(fs::is_regular_file(dir.path() / row.marker));
        EXPECT_EQ(std::wstring(node->getUserVisibleName()), fs::path(row.marker).stem().wstring());
        made[row.marker] = node;
    }
    // A pattern opens the greatest number: the node open already.
    EXPECT_EQ(IProject::open(dir.wide(L"x/p@@@").c_str(), nullptr).get(),
              made["x/p001/p001.talvoproj"].get());
    EXPECT_TRUE(IProject::probe(dir.wide(L"x/p000").c_str()));
    EXPECT_EQ(made["p/e000/e000.talvoexp"]->getParent().get(), made["p/p.talvoproj"].get());
}

// The parent is found when a node is opened: asking for it afterwards is a plain getter that
// leaves the caller's last error alone, and the parent is already among the live nodes.
TEST(Project, ParentsAreFoundWhenANodeIsOpened) {
    TempDir dir;
    ASSERT_TRUE(IProject::create(dir.wide(L"top").c_str(), nullptr, false));
    ASSERT_TRUE(IExperiment::create(dir.wide(L"top/e").c_str(), nullptr));
    ASSERT_TRUE(test::createResult(dir.wide(L"top/e/r000")));
    ASSERT_TRUE(test::createResult(dir.wide(L"alone/r000")));
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
        EXPECT_EQ(test::lastError(), NotFound) << "left as it was";
        EXPECT_EQ(parent ? leaf(parent->getPath()) : L"", c.parent ? c.parent : L"");
        EXPECT_EQ(project ? leaf(project->getPath()) : L"", c.project ? c.project : L"");
    }
}

TEST(Project, KindsDoNotMix) {
    TempDir dir;
    ASSERT_TRUE(test::createResult(dir.wide(L"r000")));
    EXPECT_FALSE(IProject::open(dir.wide(L"r000").c_str(), nullptr));
    EXPECT_FALSE(IProject::probe(dir.wide(L"r000").c_str()));
    const auto experiment = IExperiment::create(dir.wide(L"e000").c_str(), nullptr);
    ASSERT_TRUE(experiment);
    EXPECT_FALSE(IProject::cast(experiment) || IResultDirectory::cast(experiment));
    EXPECT_EQ(IExperiment::cast(experiment).get(), experiment.get());

    // A packed experiment is an experiment too.
    const std::wstring packed = dir.wide(L"old.talvopack");
    ASSERT_EQ(corekit2::save_variant_bag(corekit2::variant_bag_t(), packed.c_str()),
              corekit2::BAG_OK);
    EXPECT_TRUE(IExperiment::probe(packed.c_str()));
    EXPECT_TRUE(IExperiment::open(packed.c_str(), nullptr));
}

// Remove-on-close waits for the last holder (holding only the group keeps the project) and takes
// the members too; saving clears it. Experiments are never removed on close.
TEST(Project, RemoveOnCloseAndRemoveTakeMembersToo) {
    TempDir dir;
    sptr_t<INodeGroup> group;
    {
        const auto project = IProject::create(dir.wide(L"gone").c_str(), nullptr, true);
        ASSERT_TRUE(project);
        group = project->getNodeGroup();
        ASSERT_TRUE(group->createResultDirectory(L"r@@@", nullptr));
    }
    EXPECT_TRUE(fs::exists(dir.path() / "gone/r000"));
    EXPECT_EQ(std::wstring(group->getNode()->getPath()), dir.wide(L"gone"));
    group.reset();
    EXPECT_FALSE(fs::exists(dir.path() / "gone"));
    EXPECT_EQ(Node::handleCount(), 0u);
    {
        const auto project = IProject::create(dir.wide(L"kept").c_str(), nullptr, true);
        ASSERT_TRUE(project && project->save());
        ASSERT_TRUE(IExperiment::create(dir.wide(L"kept/unsaved").c_str(), nullptr));
    }
    EXPECT_TRUE(fs::exists(dir.path() / "kept/unsaved/unsaved.talvoexp"));
    const auto kept = IProject::open(dir.wide(L"kept").c_str(), nullptr);
    ASSERT_TRUE(kept->getNodeGroup()->createExperiment(L"e@@@"));
    EXPECT_TRUE(kept->remove());
    EXPECT_FALSE(fs::exists(dir.path() / "kept"));
}

}  // namespace
}  // namespace talvo2
