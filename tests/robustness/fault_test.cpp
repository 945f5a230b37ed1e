// Each scenario fails its k-th file-system call, for every k, on a fresh tree: it must succeed or
// say why, and change only what it may. Preloaded (fault_inject.cpp) or through the library's seam.

#include <dlfcn.h>

#include "propstore2/property_storage.hpp"
#include "robustness/harness.hpp"
#include "util/fault_file_system.hpp"

namespace talvo2::harness {
namespace {

struct Attempt {
    bool ok = false;
    error_t error = OK;
    bool crashed = false;  // ended abnormally or hung (only the preloaded run can)
    long calls = 0;
    std::string report = "";  // the failed call, or the whole output of a crashed run
};

struct Scenario {
    const char* name;
    std::string node;                        // what the operation works on, opened before arming
    std::vector<std::string> own = {};       // what it may change: paths and what they begin
    std::vector<std::string> mustLoad = {};  // own files that must still load
    bool reasonless = false;                 // see ExportTest.CopiesIntoANewResultOrLeavesNothing
    std::string movedTo = "";  // where a move takes the node, whole in one of the two places
    friend std::ostream& operator<<(std::ostream& out, const Scenario& s) { return out << s.name; }
};

std::vector<Scenario> scenarios() {
    const std::string ext = ulib_2_18::to_utf8(getResultExtension(false));
    const std::string marker = "plain/r000/r000" + ext, link = "P/r001" + ext + "link";
    return {{"create", ""},
            {"save", "plain/r000", {marker}, {marker}},
            {"addFlag", "plain/r000"},
            {"copy", "P/r000"},  // copied out of its project, the member is linked back into it
            {"move", "P/r000", {"P/r000/r000" + ext}, {}, false, "r000-moved"},  // new backlink
            {"export", "plain/r000", {}, {}, true},
            {"remove", link, {"out/r001/", link}}};
}

// The named scenario's operation at `root`, its node opened and a save's change made now.
std::function<bool()> setup(const std::string& name, const fs::path& root) {
    sptr_t<IResultDirectory> r;
    for (const Scenario& s : scenarios())
        if (name == s.name && !s.node.empty() && !(r = openResult(root / s.node))) return {};
    if (name == "save") r->setCollectorCommand(L"collect ./other");
    return [r, root, name]() -> bool {
        if (name == "create") return bool(test::createResult(wide(root / "plain/r@@@")));
        if (name == "save") return r->save();
        if (name == "addFlag") return r->addFlag(L"busy", false, false) == OK;
        if (name == "copy") return r->copy(wide(root / "r000-copy").c_str(), false, nullptr);
        if (name == "move") return r->move(wide(root / "r000-moved").c_str(), false, nullptr);
        if (name == "export") return bool(r->exportTo(wide(root / "e/r@@@").c_str(), nullptr));
        return r->remove();
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
    result->getSubdir(STANDARD_DIR_CONFIG);  // where the search directories go
    const auto search = result->getSearchDirectories();
    search->getStorage()->setValue(L"source", corekit2::variant_t(L"/src"));
    return search->save() && result->save() && result->setFinalized(true);
}

// plain/r000, P/r000 and out/r001 linked into P, opened once so the scenarios' opens write nothing.
bool prepare(const fs::path& root, int files) {
    {  // closed first: an open member keeps the link from being brought up to date
        const auto project = IProject::create(wide(root / "P").c_str(), nullptr, false);
        const auto group = project ? project->getNodeGroup() : nullptr;
        if (!group || !fill(group->createResultDirectory(L"r000", nullptr), files)) return false;
        group->setOutputDirectory(wide(root / "out").c_str());
        if (!fill(group->createResultDirectory(L"r001", nullptr), files)) return false;
    }
    return fill(test::createResult(wide(root / "plain/r000")), files) &&
           openResult(root / scenarios().back().node);  // the link
}

// Run by RobustnessFaults, preloaded, for "SCENARIO DIR K VARIANT"; an escaping exception aborts.
TEST(FaultDriver, RunsTheScenarioItIsGiven) {
    const char* given = std::getenv("TALVO2_FAULT_RUN");
    if (!given) GTEST_SKIP() << "only for RobustnessFaults";
    char name[16] = "", dir[4096] = "";
    long k = 0, variant = 0;
    std::sscanf(given, "%15s %4095s %ld %ld", name, dir, &k, &variant);
    const auto arm = reinterpret_cast<void (*)(long, int)>(::dlsym(RTLD_DEFAULT, "fault_arm"));
    const auto disarm = reinterpret_cast<void (*)()>(::dlsym(RTLD_DEFAULT, "fault_disarm"));
    ASSERT_TRUE(arm && disarm) << "the injector is not preloaded";
    const std::function<bool()> operation = setup(name, dir);
    ASSERT_TRUE(operation) << "cannot set up " << given;
    arm(k, static_cast<int>(variant));
    const Attempt attempt{operation(), test::lastError()};
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

// Others' files changed or gone, own files that no longer load; a node moved whole is in place.
auto damaged(const Scenario& scenario, const Tree& before, const fs::path& work) {
    Tree after = readTree(work);
    if (!scenario.movedTo.empty() && !fs::exists(work / scenario.node) &&
        fs::exists(work / scenario.movedTo))
        for (const auto& [file, content] : readTree(work / scenario.movedTo))
            after[scenario.node + "/" + file] = content;
    std::vector<std::string> damage;
    for (const auto& [file, content] : before) {
        bool own = false;
        for (const std::string& prefix : scenario.own) own |= file.rfind(prefix, 0) == 0;
        if (!own && (!after.count(file) || after.at(file) != content)) damage.push_back(file);
    }
    for (const std::string& file : scenario.mustLoad)
        if (!loads(work / file)) damage.push_back(file + " (no longer loads)");
    return damage;
}

void sweep(const Scenario& scenario, bool preloaded) {
    const bool longForm = fromEnvironment("TALVO2_FAULT_LONG", 0) != 0;  // all variants, more files
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 0);  // no slow disk syncs
    test::TempDir dir;
    // Paths inside markers and links are absolute: every run works at the same place.
    const fs::path work = dir.path() / "work", pristine = dir.path() / "pristine";
    ASSERT_TRUE(prepare(work, longForm ? 24 : 2));
    fs::copy(work, pristine, fs::copy_options::recursive);
    const Tree before = readTree(pristine);

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
            const auto at = run.output.find("calls="), error = run.output.find(" error=", at);
            if (run.hung || run.signal || run.status || error == std::string::npos)
                return Attempt{false, OK, true, 0, run.output};
            return Attempt{run.output.find(" ok=1", at) < error,
                           static_cast<error_t>(std::atol(run.output.c_str() + error + 7)), false,
                           std::atol(run.output.c_str() + at + 6), run.output};
        }
        const auto operation = setup(scenario.name, work);  // empty: throws when called
        test::FaultInjection injection;
        test::FaultFileSystem& faults = injection.fileSystem();
        faults.arm(k, variant);
        // Braces evaluate in order: the operation, its error, then the count of its calls.
        return Attempt{operation(), test::lastError(), false, faults.disarm(),
                       faults.failedCall() + ", errno " + std::to_string(faults.failedErrno())};
    };

    const Attempt counting = runOnce(0, 0);
    ASSERT_TRUE(counting.ok && counting.calls > 0) << counting.error << " " << counting.report;
    ASSERT_EQ(damaged(scenario, before, work), std::vector<std::string>{}) << "without faults";
    // A crash ends the test program in process, so that run counts failures instead.
    unsigned broken = 0, unclear = 0, damagedFiles = 0;
    const int variants = !longForm ? 1 : preloaded ? 3 : 4;
    for (long run = 0; run < counting.calls * variants; ++run) {
        const long k = 1 + run / variants;
        const Attempt attempt = runOnce(k, static_cast<int>(longForm ? run % variants : k));
        const bool reasonless = !attempt.crashed && !attempt.ok && attempt.error == OK;
        const auto damage = damaged(scenario, before, work);
        broken += preloaded ? attempt.crashed : !attempt.ok;
        unclear += reasonless;
        damagedFiles += damage.size();
        if (attempt.crashed || !damage.empty() || (reasonless && !scenario.reasonless))
            ADD_FAILURE() << "k=" << k << " ok=" << attempt.ok << " error=" << attempt.error
                          << " changed or gone: " << ::testing::PrintToString(damage) << "\n"
                          << attempt.report;
    }
    const char* label = preloaded ? "fault-injection:" : "fault-in-process:";
    std::printf("%s scenario calls runs %s unclear damaged_files\n%s %s %ld %ld %u %u %u\n", label,
                preloaded ? "crashes" : "failures", label, scenario.name, counting.calls,
                counting.calls * variants, broken, unclear, damagedFiles);
}

class RobustnessFaults : public ::testing::TestWithParam<Scenario> {};
using InProcessFaults = RobustnessFaults;

TEST_P(RobustnessFaults, EveryFailedCallEndsCleanlyAndLeavesOtherFilesAlone) {
    if (!*TALVO2_FAULT_INJECTOR) GTEST_SKIP() << "no preloading ahead of a sanitizer runtime";
    sweep(GetParam(), true);
}

TEST_P(InProcessFaults, EveryFailedCallEndsCleanlyAndLeavesOtherFilesAlone) {
    sweep(GetParam(), false);
}
const auto named = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(Scenarios, RobustnessFaults, ::testing::ValuesIn(scenarios()), named);
INSTANTIATE_TEST_SUITE_P(Scenarios, InProcessFaults, ::testing::ValuesIn(scenarios()), named);

}  // namespace
}  // namespace talvo2::harness
