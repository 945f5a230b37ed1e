#include "corekit2/bag_file.hpp"
#include "propstore2/property_storage.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;
using Names = std::vector<std::wstring>;

Names names(const sptr_t<IPathIterator>& paths) {
    Names out;
    if (!paths) return out;
    for (const wchar_t* path = paths->next(); path; path = paths->next())
        out.push_back(test::utf8Path(path).filename().wstring());
    EXPECT_EQ(paths->next(), nullptr) << "stays at the end";
    return out;
}

Names names(corekit2::generic_iterator_t<sptr_t<INode>> nodes) {
    Names out;
    for (; !nodes.at_end(); ++nodes) {
        const sptr_t<INode> node = *nodes;
        out.push_back(node ? std::wstring(node->getUserVisibleName()) : L"(gone)");
    }
    return out;
}

void writeMarker(const fs::path& path) {
    fs::create_directories(path.parent_path());
    ASSERT_EQ(corekit2::save_variant_bag(corekit2::variant_bag_t(), path.wstring().c_str()),
              corekit2::BAG_OK);
}

// P holds its own marker, an experiment, a result and a link file to a result elsewhere.
TEST(NodeGroup, ListsMembersInFileNameOrderNeverItsOwner) {
    TempDir dir;
    const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    writeMarker(dir.path() / "P/e000/e000.talvoexp");
    writeMarker(dir.path() / "P/r000/r000.talvo");
    test::writeFile(dir.path() / "P/r001.talvolink", "");
    test::writeFile(dir.path() / "P/notes.txt", "");
    const sptr_t<INodeGroup> group = project->getNodeGroup();
    ASSERT_TRUE(group);
    const auto members = group->getMemberPaths();
    EXPECT_EQ(members->getCount(), 3u);
    EXPECT_EQ(names(members), (Names{L"e000.talvoexp", L"r000.talvo", L"r001.talvolink"}));
    EXPECT_FALSE(group->isEmpty());
    EXPECT_EQ(group->getNode().get(), static_cast<INode*>(project.get()));

    // Two member directories whose markers share a name are one member.
    writeMarker(dir.path() / "Q/a/config.talvoproj");
    writeMarker(dir.path() / "Q/b/config.talvoproj");
    const auto plain = INodeGroup::open(dir.wide(L"Q").c_str());
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->getMemberPaths()->getCount(), 1u);
    EXPECT_FALSE(plain->getNode()) << "a plain directory has no owner";
    EXPECT_FALSE(plain->openNode(dir.wide(L"Q/a").c_str())) << "only owned groups open members";
    EXPECT_NE(INodeGroup::open(dir.wide(L"Q").c_str()).get(), plain.get());

    fs::create_directories(dir.path() / "R");
    test::writeFile(dir.path() / "R/readme.txt", "");
    EXPECT_TRUE(INodeGroup::open(dir.wide(L"R").c_str())->isEmpty());
    EXPECT_FALSE(INodeGroup::open(dir.wide(L"missing").c_str()));
    EXPECT_EQ(test::lastError(), NotFound);
    EXPECT_FALSE(INodeGroup::open(nullptr));
    EXPECT_EQ(test::lastError(), InvalidPath);

    // A group whose directory vanished answers empty.
    const auto vanished = INodeGroup::open(dir.wide(L"Q").c_str());
    fs::remove_all(dir.path() / "Q");
    EXPECT_EQ(vanished->getMemberPaths()->getCount(), 0u);
    EXPECT_EQ(test::lastError(), NotFound);
    EXPECT_TRUE(vanished->getNodes(L"r@@@", 0).at_end());
    vanished->removeNodes(nullptr, 0);
}

TEST(NodeGroup, PatternsMaximaAndRemovalKeepTheGreatestNames) {
    TempDir dir;
    const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    const sptr_t<INodeGroup> group = project->getNodeGroup();
    for (const wchar_t* name : {L"r000", L"r001", L"r002"})
        ASSERT_TRUE(group->createResultDirectory(name, nullptr));
    EXPECT_EQ(names(group->getNodes(L"r@@@", 2)), (Names{L"r001", L"r002"}));
    EXPECT_EQ(names(group->getNodes(nullptr, 0)), (Names{L"r000", L"r001", L"r002"}));
    // A member deleted after the lookup gives an empty handle, not a node of nothing.
    auto members = group->getNodes(nullptr, 0);
    fs::remove_all(dir.path() / "P/r000");
    EXPECT_FALSE(*members);
    fs::create_directory(dir.path() / "P/r000");

    ASSERT_TRUE(group->createResultDirectory(L"r1000", nullptr));
    ASSERT_TRUE(group->createResultDirectory(L"r999", nullptr));
    group->removeNodes(L"r@@@", 1);
    // File-name order, not number order: r999 sorts after r1000 and is the one kept.
    EXPECT_EQ(names(group->getMemberPaths()), (Names{L"r999.talvo"}));
    EXPECT_TRUE(fs::exists(dir.path() / "P/r999"));
    EXPECT_FALSE(fs::exists(dir.path() / "P/r1000"));
}

TEST(NodeGroup, OpeningKeepsKindsApartAndSetsTheParent) {
    TempDir dir;
    const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    const sptr_t<INodeGroup> group = project->getNodeGroup();
    const auto experiment = group->createExperiment(L"e@@@");
    ASSERT_TRUE(experiment);
    ASSERT_TRUE(group->createResultDirectory(L"r@@@", nullptr));

    const sptr_t<INode> opened = group->openNode(dir.wide(L"P/e000").c_str());
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->getParent().get(), static_cast<INode*>(project.get()));
    EXPECT_TRUE(group->openResultDirectory(L"r@@@"));
    EXPECT_FALSE(group->openProject(L"r000")) << "a result is not a project";
    EXPECT_TRUE(group->openExperiment(L"e000"));

    // Experiments do not nest.
    const sptr_t<INodeGroup> inner = experiment->getNodeGroup();
    ASSERT_TRUE(inner->createResultDirectory(L"r@@@", nullptr));
    writeMarker(dir.path() / "P/e000/x/x.talvoexp");
    EXPECT_FALSE(inner->openNode(dir.wide(L"P/e000/x").c_str()));
    const auto result = inner->openResultDirectory(L"r000");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->getParent().get(), static_cast<INode*>(experiment.get()));
    EXPECT_EQ(result->getProject().get(), static_cast<INode*>(project.get()));

    // The group of a project is the same whether asked through its directory, marker or node.
    EXPECT_EQ(INodeGroup::open(dir.wide(L"P").c_str()).get(), group.get());
    EXPECT_EQ(INodeGroup::open(dir.wide(L"P/P.talvoproj").c_str()).get(), group.get());
}

TEST(NodeGroup, OutputDirectoryIsRecordedByTheOwner) {
    TempDir dir;
    const std::wstring elsewhere = dir.wide(L"out");
    {
        const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        const sptr_t<INodeGroup> group = project->getNodeGroup();
        EXPECT_EQ(std::wstring(group->getOutputDirectory()), dir.wide(L"P"));
        group->setOutputDirectory(elsewhere.c_str());
        EXPECT_EQ(test::lastError(), OK);
        ASSERT_TRUE(group->createExperiment(L"e@@@"));
        EXPECT_TRUE(fs::is_regular_file(dir.path() / "out/e000/e000.talvoexp"));
    }
    EXPECT_EQ(Node::handleCount(), 0u);
    const auto reopened = IProject::open(dir.wide(L"P").c_str(), nullptr);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(std::wstring(reopened->getNodeGroup()->getOutputDirectory()), elsewhere);
}

TEST(FindProjects, ListsProjectDirectoriesMarkersAndLinks) {
    TempDir dir;
    ASSERT_TRUE(IProject::create(dir.wide(L"p1").c_str(), nullptr, false));
    writeMarker(dir.path() / "x.talvoproj");
    test::writeFile(dir.path() / "q.talvoprojlink", "");
    ASSERT_TRUE(test::createResult(dir.wide(L"r000")));
    Names found = names(INodeGroup::findProjects(dir.wide().c_str()));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (Names{L"p1.talvoproj", L"q.talvoprojlink", L"x.talvoproj"}));

    EXPECT_EQ(INodeGroup::findProjects(dir.wide(L"missing").c_str())->getCount(), 0u);
    EXPECT_EQ(test::lastError(), NotFound);
    EXPECT_EQ(INodeGroup::findProjects(nullptr)->getCount(), 0u);
}

// A missing file, a directory or garbage in its place, and no directory at all give an empty
// section that takes values, and nothing is written: save does not create the config directory
// (garbage it would overwrite).
TEST(SearchDirectories, NothingToLoadGivesAnEmptyUsableSectionAndCreatesNothing) {
    TempDir dir;
    fs::create_directories(dir.path() / "missing");
    fs::create_directories(dir.path() / "dir/config/search_dir.cfg");
    fs::create_directories(dir.path() / "garbage/config");
    test::writeFile(dir.path() / "garbage/config/search_dir.cfg", "not a bag");
    const auto before = test::snapshot(dir.path());
    for (const wchar_t* name : {L"missing", L"dir", L"garbage", static_cast<const wchar_t*>(0)}) {
        SCOPED_TRACE(name ? test::utf8Path(name).string() : "null");
        const auto search = ISearchDirectories::create(name ? dir.wide(name).c_str() : nullptr);
        ASSERT_TRUE(search);
        EXPECT_FALSE(search->isLoaded());
        const auto storage = search->getStorage();
        ASSERT_TRUE(storage);
        EXPECT_TRUE(storage->getNames().empty());
        EXPECT_EQ(storage.get(), search->getStorage().get()) << "one section storage per object";
        EXPECT_TRUE(storage->setValue(L"path", corekit2::variant_t(L"/src")));
        const bool garbage = name && std::wstring(name) == L"garbage";
        EXPECT_TRUE(garbage || !search->save());
    }
    EXPECT_EQ(test::snapshot(dir.path()), before);
}

TEST(SearchDirectories, SavedValuesAreReadBackBelowConfig) {
    TempDir dir;
    fs::create_directory(dir.path() / "config");
    {
        const auto search = ISearchDirectories::create(dir.wide().c_str());
        search->getStorage()->setValue(L"source", corekit2::variant_t(L"/home/me/src"));
        ASSERT_TRUE(search->save());
    }
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "config/search_dir.cfg"));
    auto again = ISearchDirectories::create(dir.wide().c_str());
    EXPECT_TRUE(again->isLoaded());
    EXPECT_EQ(again->getStorage()->getString(L"source"), L"/home/me/src");

    // A section kept past its object is cut off from the bag that went with it.
    corekit2::sptr_t<propstore2::IPropertyStorage> kept = again->getStorage();
    again.reset();
    EXPECT_TRUE(kept->getNames().empty());
    EXPECT_FALSE(kept->setValue(L"late", corekit2::variant_t(1)));
}

}  // namespace
}  // namespace talvo2
