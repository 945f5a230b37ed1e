// I/O faults: each scenario fails its k-th file-system call for every k, on a fresh copy of a
// tree; each run must succeed or say why, and change only what the scenario may. RobustnessFaults
// preloads fault_inject.cpp into this program started again; InProcessFaults uses the library's
// own seam, which also cuts writes short. TALVO2_FAULT_LONG=1: bigger trees, every error variant.

#include <dlfcn.h>

#include <iostream>
#include <optional>
#include <sstream>

#include "propstore2/property_storage.hpp"
#include "robustness/harness.hpp"
#include "util/fault_file_system.hpp"

namespace talvo2::harness {
namespace {

// One run of a scenario.
struct Attempt {
    bool ok = false;
    error_t error = OK;
    bool crashed = false;  // ended abnormally or hung (only the preloaded run can)
    long calls = 0;
    std::string report = "";  // the failed call, or the whole output of a crashed run
};
Attempt last(bool ok) {
    return {ok, ResultDirectoryManager::getLastError()};
}

struct Scenario {
    const char* name;
    std::string node;                        // what the operation works on, opened before arming
    std::vector<std::string> own = {};       // what it may change ("dir/" takes a directory)
    std::vector<std::string> mustLoad = {};  // own files that must still load
    bool reasonless = false;  // a failed export leaves OK: ExportTest.FailuresLeaveTheSourceAlone
    std::string moved = "", movedTo = "";  // the node a move takes, whole in one of its places
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

std::vector<Scenario> scenarios() {
    const std::string ext = ulib_2_18::to_utf8(getResultExtension(false));
    const std::string marker = "plain/r000/r000" + ext;
    const std::string link = "P/r001" + ext + "link";
    return {{"create", ""},
            {"save", "plain/r000", {marker}, {marker}},
            {"addFlag", "plain/r000"},
            {"copy", "P/r000"},
            {"move", "P/r000", {"P/r000/"}, {}, false, "P/r000/", "r000-moved/"},
            {"export", "plain/r000", {}, {}, true},
            {"remove", link, {"out/r001/", link}}};
}

// The scenario's operation on the tree at `root`, its node opened now; empty when it cannot be.
std::function<Attempt()> setup(const Scenario& scenario, const fs::path& root) {
    sptr_t<IResultDirectory> r;
    if (!scenario.node.empty() && !(r = openResult(root / scenario.node))) return {};
    return [r, root, name = std::string(scenario.name)]() -> Attempt {
        const auto at = [&](const char* path) { return wide(root / path); };
        if (name == "create") return last(bool(test::createResult(at("plain/r@@@"))));
        if (name == "save") {
            r->setCollectorCommand(L"collect ./other");
            r->setCollectionTimeEnd(1700000000);
            return last(r->save());
        }
        if (name == "addFlag") {
            const error_t error = r->addFlag(L"busy", false, false);
            return {error == OK, error};
        }
        // Copied out of its project, the member is linked back into it.
        if (name == "copy") return last(r->copy(at("r000-copy").c_str(), false, nullptr));
        if (name == "move") return last(r->move(at("r000-moved").c_str(), false, nullptr));
        if (name == "export") return last(bool(r->exportTo(at("exports/r@@@").c_str(), nullptr)));
        return last(r->remove());
    };
}

// A result with collector data, search directories and a log, as collectors leave them.
bool fill(const sptr_t<IResultDirectory>& result, int files) {
    if (!result) return false;
    for (int d = 0; d < 2; ++d) {
        const wchar_t* data = result->createCollectorDataDir();
        if (!data) return false;
        for (int i = 0; i < files; ++i)
            test::writeFile(test::utf8Path(data) / ("f" + std::to_string(i) + ".bin"),
                            std::string(1000 + 700 * i, static_cast<char>('a' + i % 26)));
    }
    test::writeFile(test::utf8Path(result->getSubdir(STANDARD_DIR_LOG)) / "collector.log", "log");
    result->getSubdir(STANDARD_DIR_CONFIG);
    const auto search = result->getSearchDirectories();
    search->getStorage()->setValue(L"source", corekit2::variant_t(L"/src"));
    result->setCollectorCommand(L"collect ./app");
    return search->save() && result->save() && result->setFinalized(true);
}

// plain/r000; P/r000 inside its project; out/r001, P's member linked in. Opening through the link
// once brings its digest up to date, so that the scenarios' own opens write nothing.
bool prepare(const fs::path& root, int files) {
    {
        const auto project = IProject::create(wide(root / "P").c_str(), nullptr, false);
        const auto group = project ? project->getNodeGroup() : nullptr;
        if (!group || !fill(group->createResultDirectory(L"r000", nullptr), files) ||
            !fill(test::createResult(wide(root / "plain/r000")), files))
            return false;
        group->setOutputDirectory(wide(root / "out").c_str());
        if (!fill(group->createResultDirectory(L"r001", nullptr), files)) return false;
    }
    return bool(
        openResult(root / ("P/r001" + ulib_2_18::to_utf8(getResultExtension(false)) + "link")));
}

// RobustnessFaults starts this program again, preloaded, for "SCENARIO DIR K VARIANT". Exceptions
// are not caught: one escaping the library must end the process abnormally.
TEST(FaultDriver, RunsTheScenarioItIsGiven) {
    const char* given = std::getenv("TALVO2_FAULT_RUN");
    if (!given) GTEST_SKIP() << "only for RobustnessFaults";
    std::istringstream words(given);
    std::string name, dir;
    long k = 0;
    int variant = 0;
    words >> name >> dir >> k >> variant;
    const auto arm = reinterpret_cast<void (*)(long, int)>(::dlsym(RTLD_DEFAULT, "fault_arm"));
    const auto disarm = reinterpret_cast<void (*)()>(::dlsym(RTLD_DEFAULT, "fault_disarm"));
    ASSERT_TRUE(arm && disarm) << "the injector is not preloaded";
    std::function<Attempt()> operation;
    for (const Scenario& scenario : scenarios())
        if (name == scenario.name) operation = setup(scenario, dir);
    ASSERT_TRUE(operation) << "cannot set up " << given;
    arm(k, variant);
    const Attempt attempt = operation();
    disarm();  // prints "calls=N failed=CALL errno=E"
    std::printf(" ok=%d error=%u\n", attempt.ok, static_cast<unsigned>(attempt.error));
}

using Tree = std::map<std::string, std::string>;  // relative path -> content

Tree readTree(const fs::path& root) {
    Tree tree;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        if (fs::is_regular_file(it->symlink_status()))
            tree[it->path().lexically_relative(root).string()] = test::readFile(it->path());
    return tree;
}

// Others' files changed or gone, own files that no longer load, a moved node whole nowhere.
std::vector<std::string> damaged(const Scenario& scenario, const Tree& before,
                                 const fs::path& work) {
    const Tree after = readTree(work);
    std::vector<std::string> damage;
    bool atSource = true, atTarget = true;
    for (const auto& [file, content] : before) {
        bool own = false;
        for (const std::string& target : scenario.own)
            own |= target.back() == '/' ? file.rfind(target, 0) == 0 : file == target;
        const auto now = after.find(file);
        if (!own && (now == after.end() || now->second != content)) damage.push_back(file);
        if (scenario.moved.empty() || file.rfind(scenario.moved, 0) != 0) continue;
        // The moved node's marker records where it went (its backlink), so it differs.
        const fs::path inside = file.substr(scenario.moved.size());
        if (!inside.has_parent_path() && wide(inside.extension()) == getResultExtension(false))
            continue;
        const auto source = after.find(file);
        const auto target = after.find(scenario.movedTo + inside.string());
        atSource &= source != after.end() && source->second == content;
        atTarget &= target != after.end() && target->second == content;
    }
    for (const std::string& file : scenario.mustLoad)
        if (!loads(work / file)) damage.push_back(file + " (no longer loads)");
    if (!scenario.moved.empty() && !atSource && !atTarget)
        damage.push_back(scenario.moved + " (whole nowhere)");
    return damage;
}

// Every failed call of the scenario, through the preloaded injector or in process.
void sweep(const Scenario& scenario, bool preloaded) {
    const bool longForm = fromEnvironment("TALVO2_FAULT_LONG", 0) != 0;
    // Not durability: on a disk every run's fsync would commit the whole copied tree.
    if (!std::getenv("TMPDIR") && ::access("/dev/shm", W_OK) == 0)
        ::setenv("TMPDIR", "/dev/shm", 1);
    test::TempDir dir;
    // Paths inside markers and links are absolute: every run works at the same place.
    const fs::path work = dir.path() / "work", pristine = dir.path() / "pristine";
    ASSERT_TRUE(prepare(work, longForm ? 24 : 2));
    fs::copy(work, pristine, fs::copy_options::recursive);
    const Tree before = readTree(pristine);
    std::optional<test::FaultInjection> injection;
    if (!preloaded) injection.emplace();

    const auto runOnce = [&](long k, int variant) {
        fs::remove_all(work);
        fs::copy(pristine, work, fs::copy_options::recursive);
        if (preloaded) {
            const std::string given = std::string(scenario.name) + " " + work.string() + " " +
                                      std::to_string(k) + " " + std::to_string(variant);
            const ChildRun run = runChild(60, -1, 0, [&] {
                ::setenv("LD_PRELOAD", TALVO2_FAULT_INJECTOR, 1);
                ::setenv("TALVO2_FAULT_RUN", given.c_str(), 1);
                ::execl("/proc/self/exe", "driver", "--gtest_filter=FaultDriver.*",
                        "--gtest_catch_exceptions=0", nullptr);
            });
            const std::string& out = run.output;
            const auto at = out.find("calls="), error = out.find(" error=", at);
            if (run.hung || run.signal || run.status || error == out.npos)
                return Attempt{false, OK, true, 0, out};
            return Attempt{out.find(" ok=1", at) < error,
                           static_cast<error_t>(std::atol(out.c_str() + error + 7)), false,
                           std::atol(out.c_str() + at + 6),
                           out.substr(at, out.find('\n', at) - at)};
        }
        const auto operation = setup(scenario, work);
        if (!operation) return Attempt{false, OK, true, 0, "cannot set up"};
        test::FaultFileSystem& faults = injection->fileSystem();
        faults.arm(k, variant);
        Attempt attempt = operation();
        attempt.calls = faults.disarm();
        attempt.report = faults.failedCall() + ", errno " + std::to_string(faults.failedErrno());
        return attempt;
    };

    const Attempt counting = runOnce(0, 0);
    ASSERT_TRUE(counting.ok && !counting.crashed)
        << "without faults: " << counting.error << " " << counting.report;
    ASSERT_EQ(damaged(scenario, before, work), std::vector<std::string>{}) << "without faults";
    ASSERT_GT(counting.calls, 0);

    unsigned runs = 0, crashes = 0, failures = 0, unclear = 0, damagedFiles = 0;
    const int variants = !longForm ? 1 : preloaded ? 3 : 4;
    for (long k = 1; k <= counting.calls; ++k) {
        for (int v = 0; v < variants; ++v) {
            const Attempt attempt = runOnce(k, longForm ? v : static_cast<int>(k));
            const bool reasonless = !attempt.crashed && !attempt.ok && attempt.error == OK;
            const auto damage = damaged(scenario, before, work);
            ++runs;
            crashes += attempt.crashed;
            failures += !attempt.ok;
            unclear += reasonless;
            damagedFiles += damage.size();
            if (attempt.crashed || !damage.empty() || (reasonless && !scenario.reasonless))
                ADD_FAILURE() << scenario.name << " k=" << k << ": "
                              << (attempt.crashed ? "crashed"
                                  : attempt.ok    ? "succeeded"
                                                  : "failed")
                              << " with " << attempt.error
                              << ", changed or gone: " << ::testing::PrintToString(damage) << "\n"
                              << attempt.report;
        }
    }
    // A crash ends the test program in process, so that row counts failures instead.
    const char* label = preloaded ? "fault-injection: " : "fault-in-process: ";
    std::cout << label << "scenario calls runs " << (preloaded ? "crashes" : "failures")
              << " unclear damaged_files\n"
              << label << scenario.name << " " << counting.calls << " " << runs << " "
              << (preloaded ? crashes : failures) << " " << unclear << " " << damagedFiles
              << std::endl;
}

// The suites' names are what scripts/robustness and scripts/tsan select.
class RobustnessFaults : public ::testing::TestWithParam<Scenario> {};
class InProcessFaults : public ::testing::TestWithParam<Scenario> {};

TEST_P(RobustnessFaults, EveryFailedCallEndsCleanlyAndLeavesOtherFilesAlone) {
    if (!*TALVO2_FAULT_INJECTOR)
        GTEST_SKIP() << "the injector cannot be preloaded ahead of a sanitizer runtime";
    sweep(GetParam(), true);
}

TEST_P(InProcessFaults, EveryFailedCallEndsCleanlyAndLeavesOtherFilesAlone) {
    sweep(GetParam(), false);
}
std::string nameOf(const ::testing::TestParamInfo<Scenario>& param) {
    return param.param.name;
}
INSTANTIATE_TEST_SUITE_P(Scenarios, RobustnessFaults, ::testing::ValuesIn(scenarios()), nameOf);
INSTANTIATE_TEST_SUITE_P(Scenarios, InProcessFaults, ::testing::ValuesIn(scenarios()), nameOf);

}  // namespace
}  // namespace talvo2::harness
