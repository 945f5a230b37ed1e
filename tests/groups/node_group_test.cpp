#include <map>

#include "corekit2/bag_file.hpp"
#include "propstore2/property_storage.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using Names = std::vector<std::wstring>;

Names names(const sptr_t<IPathIterator>& paths) {
    Names out;
    for (const wchar_t* path = paths->next(); path; path = paths->next())
        out.push_back(test::utf8Path(path).filename().wstring());
    EXPECT_EQ(paths->next(), nullptr) << "stays at the end";
    return out;
}

Names names(corekit2::generic_iterator_t<sptr_t<INode>> nodes) {
    Names out;
    for (; !nodes.at_end(); ++nodes) out.push_back((*nodes)->getUserVisibleName());
    return out;
}

void writeMarker(const fs::path& path) {
    fs::create_directories(path.parent_path());
    ASSERT_EQ(corekit2::save_variant_bag({}, path.wstring().c_str()), corekit2::BAG_OK);
}

struct NodeGroupTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(group); }

    test::TempDir dir;
    sptr_t<IProject> project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
    sptr_t<INodeGroup> group = project ? project->getNodeGroup() : nullptr;
};

// P holds its own marker, an experiment, a result and a link file to a result elsewhere.
TEST_F(NodeGroupTest, ListsMembersInFileNameOrderNeverItsOwner) {
    for (const char* marker : {"P/e000/e000.talvoexp", "P/r000/r000.talvo", "Q/a/config.talvoproj",
                               "Q/b/config.talvoproj"})
        writeMarker(dir.path() / marker);
    for (const char* file : {"P/r001.talvolink", "P/notes.txt"})
        test::writeFile(dir.path() / file, "");
    EXPECT_EQ(names(group->getMemberPaths()),
              (Names{L"e000.talvoexp", L"r000.talvo", L"r001.talvolink"}));
    EXPECT_FALSE(group->isEmpty());
    EXPECT_EQ(group->getNode().get(), static_cast<INode*>(project.get()));
    // Unless set (and kept across reopening: links_test), members are made in the group itself.
    EXPECT_EQ(std::wstring(group->getOutputDirectory()), dir.wide(L"P"));

    // Two member directories whose markers share a name are one member.
    const auto plain = INodeGroup::open(dir.wide(L"Q").c_str());
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->getMemberPaths()->getCount(), 1u);
    EXPECT_FALSE(plain->getNode()) << "a plain directory has no owner";
    EXPECT_FALSE(plain->openNode(dir.wide(L"Q/a").c_str())) << "only owned groups open members";

    // A group whose directory vanished answers empty.
    fs::remove_all(dir.path() / "Q");
    EXPECT_TRUE(plain->isEmpty());
    EXPECT_EQ(test::lastError(), NotFound);
    EXPECT_TRUE(plain->getNodes(L"r@@@", 0).at_end());
    plain->removeNodes(nullptr, 0);
}

TEST_F(NodeGroupTest, PatternsMaximaAndRemovalKeepTheGreatestNames) {
    for (const wchar_t* name : {L"r000", L"r001", L"r1000", L"r999"})
        ASSERT_TRUE(group->createResultDirectory(name, nullptr));
    // File-name order, not number order: r999 sorts after r1000.
    EXPECT_EQ(names(group->getNodes(L"r@@@", 2)), (Names{L"r1000", L"r999"}));
    EXPECT_EQ(names(group->getNodes(nullptr, 0)), (Names{L"r000", L"r001", L"r1000", L"r999"}));
    // A member deleted after the lookup gives an empty handle, not a node of nothing.
    auto members = group->getNodes(nullptr, 0);
    fs::remove_all(dir.path() / "P/r000");
    EXPECT_FALSE(*members);
    fs::create_directory(dir.path() / "P/r000");
    group->removeNodes(L"r@@@", 1);
    EXPECT_EQ(names(group->getMemberPaths()), (Names{L"r999.talvo"}));
    EXPECT_FALSE(fs::exists(dir.path() / "P/r1000"));
}

// A member that cannot go (its data is another user's) stops neither the others' removal nor why.
TEST_F(NodeGroupTest, RemovalGoesOnPastAMemberThatStaysAndSaysWhy) {
    for (const wchar_t* name : {L"r000", L"r001", L"r002"})
        ASSERT_TRUE(group->createResultDirectory(name, nullptr));
    fs::create_directory(dir.path() / "P/r000/data.0");
    test::writeFile(dir.path() / "P/r000/data.0/kept", "theirs");
    for (fs::recursive_directory_iterator it(dir.path()), end; it != end; ++it)
        fs::permissions(it->path(), fs::perms::all_all);
    fs::permissions(dir.path() / "P/r000/data.0", static_cast<fs::perms>(0555));
    const int status = test::runUnprivileged([&] {
        INodeGroup::open(dir.wide(L"P").c_str())->removeNodes(nullptr, 0);
        EXPECT_EQ(test::lastError(), InsufficientPermissions);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny removal";
    EXPECT_EQ(status, 0);
    // Their file is still there (its result may have been moved aside for the doctor to sweep).
    int kept = 0;
    for (fs::recursive_directory_iterator it(dir.path() / "P"), end; it != end; ++it)
        kept += it->path().filename() == "kept" && test::readFile(it->path()) == "theirs";
    EXPECT_EQ(kept, 1);
    EXPECT_FALSE(fs::exists(dir.path() / "P/r001") || fs::exists(dir.path() / "P/r002"));
}

// A result's parent and project are checked in Project.ParentsAreFoundWhenANodeIsOpened.
TEST_F(NodeGroupTest, OpeningKeepsKindsApartAndSetsTheParent) {
    const auto experiment = group->createExperiment(L"e@@@");
    ASSERT_TRUE(experiment && group->createResultDirectory(L"r@@@", nullptr));
    const sptr_t<INode> opened = group->openNode(dir.wide(L"P/e000").c_str());
    EXPECT_EQ(opened ? opened->getParent().get() : nullptr, static_cast<INode*>(project.get()));
    EXPECT_TRUE(group->openResultDirectory(L"r@@@"));
    EXPECT_FALSE(group->openProject(L"r000")) << "a result is not a project";
    EXPECT_TRUE(group->openExperiment(L"e000"));

    // Experiments do not nest.
    const sptr_t<INodeGroup> inner = experiment->getNodeGroup();
    ASSERT_TRUE(inner->createResultDirectory(L"r@@@", nullptr));
    writeMarker(dir.path() / "P/e000/x/x.talvoexp");
    EXPECT_FALSE(inner->openNode(dir.wide(L"P/e000/x").c_str()));
    EXPECT_TRUE(inner->openResultDirectory(L"r000"));

    // The group of a project is the same whether asked through its directory, marker or node.
    EXPECT_EQ(INodeGroup::open(dir.wide(L"P").c_str()).get(), group.get());
    EXPECT_EQ(INodeGroup::open(dir.wide(L"P/P.talvoproj").c_str()).get(), group.get());
}

// Nothing to load: an empty section taking values; save makes no directory and overwrites none.
TEST(SearchDirectories, NothingToLoadGivesAnEmptyUsableSectionAndSavedValuesAreReadBack) {
    test::TempDir dir;
    for (const char* made : {"missing", "dir/config/search_dir.cfg", "garbage/config"})
        fs::create_directories(dir.path() / made);
    test::writeFile(dir.path() / "garbage/config/search_dir.cfg", "not a bag");
    const auto before = test::snapshot(dir.path());
    for (const std::wstring name : {L"missing", L"dir", L"garbage"}) {
        SCOPED_TRACE(test::utf8Path(name).string());
        const auto search = ISearchDirectories::create(dir.wide(name).c_str());
        EXPECT_FALSE(search->isLoaded());
        EXPECT_TRUE(search->getStorage()->getNames().empty());
        EXPECT_TRUE(search->getStorage()->setValue(L"path", corekit2::variant_t(L"/src")));
        EXPECT_TRUE(name == L"garbage" || !search->save());
    }
    EXPECT_EQ(test::snapshot(dir.path()), before);

    fs::create_directory(dir.path() / "config");
    auto search = ISearchDirectories::create(dir.wide().c_str());
    search->getStorage()->setValue(L"source", corekit2::variant_t(L"/home/me/src"));
    ASSERT_TRUE(search->save());
    search = ISearchDirectories::create(dir.wide().c_str());
    EXPECT_TRUE(search->isLoaded());
    EXPECT_EQ(search->getStorage()->getString(L"source"), L"/home/me/src");
    const auto kept = search->getStorage();
    search.reset();  // a section kept past its object is cut off
    EXPECT_TRUE(kept->getNames().empty());
    EXPECT_FALSE(kept->setValue(L"late", corekit2::variant_t(1)));
}

TEST(Project, CreateNumbersNamesAndSettlesIntoExistingDirectories) {
    test::TempDir dir;
    for (const char* made : {"y/p000", "x/proj", "p/run"})
        fs::create_directories(dir.path() / made);
    for (const char* file : {"y/p003.talvoprojlink", "y/p005"})
        test::writeFile(dir.path() / file, "");
    // Made in order, each numbered past member directories and links (not other files) made before.
    const std::pair<const wchar_t*, std::string> rows[] = {
        {L"x/p@@@", "x/p000/p000.talvoproj"},
        {L"x/p@@@", "x/p001/p001.talvoproj"},
        {L"y/p@@@", "y/p004/p004.talvoproj"},
        {L"x/proj", "x/proj/proj.talvoproj"},
        {L"x/q/my.talvoproj", "x/q/my.talvoproj"},
        {L"p", "p/p.talvoproj"},
        {L"p/e@@@", "p/e000/e000.talvoexp"},
        // A project settles into a directory; an experiment needs its own (bad_input: "..").
        {L"p/run", "p/run/run.talvoproj"},
    };
    std::map<std::string, sptr_t<INode>> made;
    for (const auto& [path, marker] : rows) {
        SCOPED_TRACE(marker);
        const sptr_t<INode> node =
            fs::path(marker).extension() == ".talvoproj"
                ? sptr_t<INode>(IProject::create(dir.wide(path).c_str(), nullptr, false))
                : sptr_t<INode>(IExperiment::create(dir.wide(path).c_str(), nullptr));
        ASSERT_TRUE(node) << test::lastError();
        EXPECT_EQ(test::utf8Path(node->getMarkerFilePath()), dir.path() / marker);
        EXPECT_TRUE(fs::is_regular_file(dir.path() / marker));
        EXPECT_EQ(std::wstring(node->getUserVisibleName()), fs::path(marker).stem().wstring());
        made[marker] = node;
    }
    // A pattern opens the greatest number: the node open already.
    EXPECT_EQ(IProject::open(dir.wide(L"x/p@@@").c_str(), nullptr).get(),
              made["x/p001/p001.talvoproj"].get());
    EXPECT_TRUE(IProject::probe(dir.wide(L"x/p000").c_str()));
    const sptr_t<INode> experiment = made["p/e000/e000.talvoexp"];

    // Kinds do not mix; a packed experiment is an experiment too.
    ASSERT_TRUE(test::createResult(dir.wide(L"y/r000")));
    EXPECT_FALSE(IProject::open(dir.wide(L"y/r000").c_str(), nullptr));
    EXPECT_FALSE(IProject::probe(dir.wide(L"y/r000").c_str()));
    EXPECT_FALSE(IProject::cast(experiment) || IResultDirectory::cast(experiment));
    EXPECT_EQ(IExperiment::cast(experiment).get(), experiment.get());
    writeMarker(dir.path() / "old.talvopack");
    EXPECT_TRUE(IExperiment::probe(dir.wide(L"old.talvopack").c_str()));
    EXPECT_TRUE(IExperiment::open(dir.wide(L"old.talvopack").c_str(), nullptr));

    // Project directories, markers and links are found; results and bare directories are not.
    writeMarker(dir.path() / "y/x.talvoproj");
    Names found = names(INodeGroup::findProjects(dir.wide(L"y").c_str()));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (Names{L"p003.talvoprojlink", L"p004.talvoproj", L"x.talvoproj"}));
}

// Opening a node finds its parent: asking later keeps the last error and opens no more nodes.
TEST(Project, ParentsAreFoundWhenANodeIsOpened) {
    test::TempDir dir;
    ASSERT_TRUE(IProject::create(dir.wide(L"top").c_str(), nullptr, false));
    ASSERT_TRUE(IExperiment::create(dir.wide(L"top/e").c_str(), nullptr));
    ASSERT_TRUE(test::createResult(dir.wide(L"top/e/r000")));
    ASSERT_TRUE(test::createResult(dir.wide(L"alone/r000")));
    const auto leaf = [](const sptr_t<INode>& node) {
        return node ? test::utf8Path(node->getPath()).filename().wstring() : L"-";
    };
    // The path opened; the live nodes (it and its ancestors), its parent and its project.
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"top", L"1 - -"}, {L"top/e/r000", L"3 e top"}, {L"alone/r000", L"1 - -"}};
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(test::utf8Path(path).string());
        sptr_t<INode> node = IProject::open(dir.wide(path).c_str(), nullptr);
        if (!node) node = ResultDirectoryManager::open(dir.wide(path).c_str(), false, nullptr);
        ASSERT_TRUE(node);
        const uint32_t live = Node::handleCount();
        EXPECT_FALSE(ResultDirectoryManager::open(dir.wide(L"nothing").c_str(), false, nullptr));
        const std::wstring found = leaf(node->getParent()) + L" " + leaf(node->getProject());
        EXPECT_EQ(test::lastError(), NotFound) << "left as it was";
        EXPECT_EQ(std::to_wstring(live) + L" " + found, expected);
    }
}

// Remove-on-close waits for the last holder, group included, takes members, and saving clears it.
TEST(Project, RemoveOnCloseAndRemoveTakeMembersToo) {
    test::TempDir dir;
    auto group = IProject::create(dir.wide(L"gone").c_str(), nullptr, true)->getNodeGroup();
    ASSERT_TRUE(group->createResultDirectory(L"r@@@", nullptr));
    EXPECT_TRUE(fs::exists(dir.path() / "gone/r000"));
    EXPECT_EQ(std::wstring(group->getNode()->getPath()), dir.wide(L"gone"));
    group.reset();
    EXPECT_FALSE(fs::exists(dir.path() / "gone"));
    EXPECT_EQ(Node::handleCount(), 0u);
    ASSERT_TRUE(IProject::create(dir.wide(L"kept").c_str(), nullptr, true)->save());
    ASSERT_TRUE(IExperiment::create(dir.wide(L"kept/unsaved").c_str(), nullptr));
    EXPECT_TRUE(fs::exists(dir.path() / "kept/unsaved/unsaved.talvoexp"));
    const auto kept = IProject::open(dir.wide(L"kept").c_str(), nullptr);
    ASSERT_TRUE(kept->getNodeGroup()->createExperiment(L"e@@@"));
    EXPECT_TRUE(kept->remove());
    EXPECT_FALSE(fs::exists(dir.path() / "kept"));
}

}  // namespace
}  // namespace talvo2
