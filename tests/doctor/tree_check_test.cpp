#include <sys/file.h>
#include <unistd.h>

#include <fcntl.h>
#include <map>

#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using namespace std::string_literals;

using Findings = std::map<std::string, std::pair<finding_t, bool>>;

// What a check of `root` reports, by relative path: the kind, and whether it was removed when
// fixing, or is removable when only looking.
Findings check(const test::TempDir& root, bool fix) {
    std::vector<TreeFinding> findings;
    EXPECT_TRUE(checkTree(root.wide().c_str(), fix, findings));
    Findings found;
    for (const TreeFinding& finding : findings)
        found[test::utf8Path(finding.path).lexically_relative(root.path()).string()] = {
            finding.kind, fix ? finding.removed : finding.removable};
    return found;
}

TEST(TreeCheck, SweepsWhatDeadMakersLeftAndNothingElse) {
    test::TempDir dir;
    const fs::path& d = dir.path();
    const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
    project->getNodeGroup()->setOutputDirectory(dir.wide(L"out").c_str());
    const auto live = project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
    const auto gone = project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
    ASSERT_TRUE(live && gone && live->setFlag(L"held"));
    const std::string hex = "0123456789abcdef", busy = "P/.talvo-stage-" + std::string(16, 'f');
    const std::string neighbour = "P/.talvo-stage-" + std::string(16, 'e');

    for (const std::string& node : {"P/.talvo-stage-" + hex, "out/.talvo-trash-" + hex, "P/lost"s})
        fs::create_directories(d / node / "data.0");
    test::writeFile(d / "out/r000/.r000.talvo.talvo-tmp", "half a marker");
    test::writeFile(d / "out/r000/dead.dflgtalvo", "");
    test::writeFile(d / "out/r000/dead.infotalvo", "record");
    fs::remove_all(d / "out/r001");  // its link file in P now leads nowhere
    test::writeFile(d / "P/forged.talvolink", "not a link file");
    fs::copy_file(d / "P/r000.talvolink", d / "P/stray.talvolink");  // r000 does not name it back
    for (const char* entry : {"data.", "data.x1", "draft42"})  // a user's, only resembling results
        fs::create_directories(d / "P/notes" / entry);
    fs::create_directories(d / busy);  // held by a maker at work
    const int held = ::open((d / busy).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    fs::create_symlink(d / "P/notes", d / neighbour);  // a neighbour's, named like a staging one

    const Findings expected = {{"P/.talvo-stage-" + hex, {FINDING_STAGING, true}},
                               {"out/.talvo-trash-" + hex, {FINDING_REMOVAL, true}},
                               {"out/r000/.r000.talvo.talvo-tmp", {FINDING_TEMPORARY, true}},
                               {"out/r000/dead.dflgtalvo", {FINDING_DEAD_FLAG, true}},
                               {"P/r001.talvolink", {FINDING_DANGLING_LINK, true}},
                               {"P/forged.talvolink", {FINDING_STALE_LINK, false}},
                               {"P/stray.talvolink", {FINDING_STALE_LINK, false}},
                               {"P/lost", {FINDING_UNMARKED_NODE, false}}};
    EXPECT_EQ(check(dir, false), expected);
    EXPECT_EQ(check(dir, true), expected);
    for (const auto& [path, finding] : expected)
        EXPECT_EQ(fs::exists(fs::symlink_status(d / path)), !finding.second) << path;
    EXPECT_FALSE(fs::exists(d / "out/r000/dead.infotalvo")) << "the record goes with its lock";
    EXPECT_EQ(check(dir, true).size(), 3u) << "only what it could not judge is left";
    for (const std::string& kept : {busy, neighbour, "P/notes/draft42"s})
        EXPECT_TRUE(fs::exists(fs::symlink_status(d / kept))) << kept;
    EXPECT_EQ(live->ownFlag(L"held"), OK) << "a live flag is not a dead one";
    ::close(held);
}

}  // namespace
}  // namespace talvo2
