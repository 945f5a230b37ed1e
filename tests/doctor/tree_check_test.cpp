#include <sys/file.h>
#include <unistd.h>

#include <fcntl.h>
#include <map>

#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

// What a check of `root` reports, by relative path: the kind, and whether it was removed.
std::map<std::string, std::pair<finding_t, bool>> check(const test::TempDir& root, bool fix) {
    std::vector<TreeFinding> findings;
    EXPECT_TRUE(checkTree(root.wide().c_str(), fix, findings));
    std::map<std::string, std::pair<finding_t, bool>> found;
    for (const TreeFinding& finding : findings)
        found[test::utf8Path(finding.path).lexically_relative(root.path()).string()] = {
            finding.kind, finding.removed};
    return found;
}

// A null, missing or unusable root: bad_input_test.
TEST(TreeCheck, SweepsWhatDeadMakersLeftAndNothingElse) {
    test::TempDir dir;
    const fs::path& d = dir.path();
    const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    project->getNodeGroup()->setOutputDirectory(dir.wide(L"out").c_str());
    const auto live = project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
    const auto gone = project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
    ASSERT_TRUE(live && gone && live->setFlag(L"held"));
    const std::string hex = "0123456789abcdef", dead = "out/r000/dead";
    const std::string link = ulib_2_18::to_utf8(getResultExtension(false)) + "link";
    const std::string lock = dead + ulib_2_18::to_utf8(getFlagLockExtension());
    const std::string info = dead + ulib_2_18::to_utf8(getFlagInfoExtension());
    const fs::path busy = d / "P" / (".talvo-stage-" + std::string(16, 'f'));
    const fs::path neighbour = d / "P" / (".talvo-stage-" + std::string(16, 'e'));

    // Left by makers that died.
    fs::create_directories(d / "P" / (".talvo-stage-" + hex) / "data.0");
    fs::create_directories(d / "out" / (".talvo-trash-" + hex) / "data.0");
    test::writeFile(d / "out/r000/.r000.talvo.talvo-tmp", "half a marker");
    test::writeFile(d / lock, "");
    test::writeFile(d / info, "record");
    fs::remove_all(d / "out/r001");  // its link file in P now leads nowhere
    // Not provably garbage: reported, never removed.
    test::writeFile(d / ("P/forged" + link), "not a link file");
    fs::copy_file(d / ("P/r000" + link), d / ("P/stray" + link));  // r000 does not name it back
    fs::create_directories(d / "P/lost/data.0");
    // A user's folder whose entries only resemble a result's: no finding.
    for (const char* entry : {"data.", "data.x1", "draft42"})
        fs::create_directories(d / "P/notes" / entry);
    // A maker at work: its staging directory is held.
    fs::create_directories(busy);
    const int held = ::open(busy.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    // A neighbour's link named like a staging directory, leading outside.
    fs::create_directories(d / "outside");
    test::writeFile(d / "outside/keep", "keep");
    fs::create_symlink(d / "outside", neighbour);

    const std::map<std::string, std::pair<finding_t, bool>> expected = {
        {"P/.talvo-stage-" + hex, {FINDING_STAGING, true}},
        {"out/.talvo-trash-" + hex, {FINDING_REMOVAL, true}},
        {"out/r000/.r000.talvo.talvo-tmp", {FINDING_TEMPORARY, true}},
        {lock, {FINDING_DEAD_FLAG, true}},
        {"P/r001" + link, {FINDING_DANGLING_LINK, true}},
        {"P/forged" + link, {FINDING_STALE_LINK, false}},
        {"P/stray" + link, {FINDING_STALE_LINK, false}},
        {"P/lost", {FINDING_UNMARKED_NODE, false}},
    };
    auto unfixed = expected;
    for (auto& [path, finding] : unfixed) finding.second = false;
    EXPECT_EQ(check(dir, false), unfixed) << "looking changes nothing";
    EXPECT_EQ(check(dir, true), expected);
    for (const auto& [path, finding] : expected)
        EXPECT_EQ(fs::exists(fs::symlink_status(d / path)), !finding.second) << path;
    EXPECT_FALSE(fs::exists(d / info)) << "the dead flag's record goes with its lock";

    // What is left: the three it could not judge, and everything alive untouched.
    EXPECT_EQ(check(dir, true).size(), 3u);
    EXPECT_TRUE(fs::is_directory(busy));
    EXPECT_EQ(test::readFile(d / "outside/keep"), "keep");
    EXPECT_TRUE(fs::is_symlink(neighbour));
    EXPECT_EQ(live->ownFlag(L"held"), OK) << "a live flag is not a dead one";
    ::close(held);
}

}  // namespace
}  // namespace talvo2
