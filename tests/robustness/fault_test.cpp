// I/O fault injection over the scenarios of fault_scenarios.hpp, by two injectors:
//   RobustnessFaults  an LD_PRELOAD interposer (fault_inject.cpp) in a driver process
//                     (fault_driver.cpp): it sees the C library's calls and survives crashes;
//   InProcessFaults   the library's own file-system seam (util/fault_file_system), in process: it
//                     also cuts writes short, and runs under the sanitizers.
// Each scenario runs once to count its file-system calls (n), then once for every k = 1..n with
// the k-th call failing, each time over a fresh copy of the prepared tree. Every run must end with
// success or a failure that says why, and leave every file byte-identical except what the scenario
// may change; that must still load, and a moved node must be whole in one of its two places.
//
// TALVO2_FAULT_LONG=1: larger trees (24 data files per directory instead of 2), and every call
// failed with each plausible error (and, in process, cut short) instead of one of them in turn.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>

#include "corekit2/bag_file.hpp"
#include "robustness/fault_scenarios.hpp"
#include "util/fault_file_system.hpp"
#include "util/library_test.hpp"

namespace talvo2::faults {

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

namespace {

using Tree = std::map<std::string, std::string>;  // relative path -> content

bool longForm() {
    const char* value = std::getenv("TALVO2_FAULT_LONG");
    return value && *value && std::strcmp(value, "0") != 0;
}

std::wstring wide(const fs::path& path) {
    return ulib_2_18::from_utf8(path.string());
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

Tree readTree(const fs::path& root) {
    Tree tree;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        if (fs::is_regular_file(it->symlink_status()))
            tree[it->path().lexically_relative(root).string()] = test::readFile(it->path());
    return tree;
}

// What a run damaged: files changed or gone that were not the scenario's own, own files that no
// longer load, a moved node found whole nowhere.
unsigned damaged(const Scenario& scenario, const Tree& before, const fs::path& work,
                 std::ostream& detail) {
    const Tree after = readTree(work);
    unsigned count = 0;
    for (const auto& [file, content] : before) {
        bool own = false;
        for (const std::string& target : scenario.own)
            own |= target.back() == '/' ? startsWith(file, target) : file == target;
        const auto now = after.find(file);
        if (own || (now != after.end() && now->second == content)) continue;
        ++count;
        detail << " " << file << (now == after.end() ? " (gone)" : " (changed)");
    }
    for (const std::string& file : scenario.mustLoad) {
        corekit2::variant_bag_t bag;
        if (corekit2::load_variant_bag(bag, wide(work / file).c_str(), "") == corekit2::BAG_OK)
            continue;
        ++count;
        detail << " " << file << " (no longer loads)";
    }
    if (scenario.moved.empty()) return count;
    bool atSource = true, atTarget = true;
    for (const auto& [file, content] : before) {
        if (!startsWith(file, scenario.moved)) continue;
        const std::string inside = file.substr(scenario.moved.size());
        // The marker itself records where the node went (its backlink): it must load.
        if (fs::path(inside).extension() == ulib_2_18::to_utf8(getResultExtension(false)) &&
            !fs::path(inside).has_parent_path())
            continue;
        const auto source = after.find(file);
        const auto target = after.find(scenario.movedTo + inside);
        atSource &= source != after.end() && source->second == content;
        atTarget &= target != after.end() && target->second == content;
    }
    if (!atSource && !atTarget) {
        ++count;
        detail << " " << scenario.moved << " (whole nowhere)";
    }
    return count;
}

// One run of a scenario: how it ended and how many calls it made.
struct Attempt {
    Outcome outcome{false, OK};
    bool crashed = false;  // ended abnormally or hung (only the driver's process can)
    long calls = 0;
    std::string report;  // the failed call, or the driver's output
};

// Runs the driver with the injector preloaded; its output is kept in `dir`.
Attempt runDriver(const fs::path& dir, std::vector<std::string> arguments) {
    const fs::path output = dir / "driver.out";
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(TALVO2_FAULT_DRIVER)};
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::setenv("LD_PRELOAD", TALVO2_FAULT_INJECTOR, 1);
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::alarm(60);  // a run that hangs ends as a crash
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    Attempt attempt;
    attempt.report = test::readFile(output);
    const auto field = [&](const char* name) {
        const auto at = attempt.report.find(name);
        return at == std::string::npos ? 0
                                       : std::atol(attempt.report.c_str() + at + std::strlen(name));
    };
    attempt.calls = field("calls=");
    const int exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    attempt.crashed = exit < 0 || exit > 2;
    attempt.outcome = {exit == 0, exit == 1 ? static_cast<error_t>(field("error=")) : OK};
    if (WIFSIGNALED(status))
        attempt.report += std::string("killed by ") + ::strsignal(WTERMSIG(status));
    return attempt;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {
protected:
    // Every failed call of the scenario, through the preloaded injector or in process.
    void sweep(bool preloaded) {
        const Scenario& scenario = GetParam();
        // Durability is not what is tested here, and on a disk every run's fsync would commit
        // the whole freshly copied tree: work in memory where the system offers it.
        if (!std::getenv("TMPDIR") && ::access("/dev/shm", W_OK) == 0)
            ::setenv("TMPDIR", "/dev/shm", 1);
        test::TempDir dir;
        // Paths inside markers and links are absolute: every run works at the same place.
        const fs::path work = dir.path() / "work", pristine = dir.path() / "pristine";
        ASSERT_TRUE(prepare(wide(work), longForm() ? 24 : 2));
        fs::copy(work, pristine, fs::copy_options::recursive);
        const Tree before = readTree(pristine);
        std::optional<test::FaultInjection> injection;
        if (!preloaded) injection.emplace();

        const auto runOnce = [&](long k, int variant) {
            fs::remove_all(work);
            fs::copy(pristine, work, fs::copy_options::recursive);
            if (preloaded)
                return runDriver(dir.path(), {scenario.name, work.string(), std::to_string(k),
                                              std::to_string(variant)});
            Attempt attempt;
            const Operation operation = scenario.setup(wide(work));
            if (!operation) return Attempt{{false, OK}, true, 0, "cannot set up"};
            test::FaultFileSystem& faults = injection->fileSystem();
            faults.arm(k, variant);
            attempt.outcome = operation();
            attempt.calls = faults.disarm();
            attempt.report =
                faults.failedCall() + ", errno " + std::to_string(faults.failedErrno());
            return attempt;
        };

        const Attempt counting = runOnce(0, 0);
        ASSERT_TRUE(counting.outcome.ok && !counting.crashed)
            << "without faults: " << counting.outcome.error << " " << counting.report;
        std::ostringstream untouched;
        ASSERT_EQ(damaged(scenario, before, work, untouched), 0u)
            << "without faults:" << untouched.str();
        ASSERT_GT(counting.calls, 0);

        unsigned runs = 0, crashes = 0, failures = 0, unclear = 0, damagedFiles = 0;
        const int variants = !longForm() ? 1 : preloaded ? 3 : 4;
        for (long k = 1; k <= counting.calls; ++k) {
            for (int v = 0; v < variants; ++v) {
                const Attempt attempt = runOnce(k, longForm() ? v : static_cast<int>(k));
                ++runs;
                crashes += attempt.crashed;
                failures += !attempt.outcome.ok;
                const bool reasonless =
                    !attempt.crashed && !attempt.outcome.ok && attempt.outcome.error == OK;
                unclear += reasonless;
                std::ostringstream detail;
                const unsigned count = damaged(scenario, before, work, detail);
                damagedFiles += count;
                if (attempt.crashed || count > 0 || (reasonless && !scenario.reasonless))
                    ADD_FAILURE() << scenario.name << " k=" << k << " ("
                                  << (attempt.crashed ? "crashed" : attempt.report)
                                  << "): " << (attempt.outcome.ok ? "succeeded" : "failed")
                                  << " with " << attempt.outcome.error
                                  << ", damaged:" << (count ? detail.str() : " none")
                                  << (attempt.crashed ? "\n" + attempt.report : "");
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
};

// The suites' names are what scripts/robustness and scripts/tsan select.
class RobustnessFaults : public FaultSweep {};
class InProcessFaults : public FaultSweep {};

TEST_P(RobustnessFaults, EveryFailedCallEndsCleanlyAndLeavesOtherFilesAlone) {
    if (TALVO2_FAULT_INJECTION_OFF)
        GTEST_SKIP() << "the injector cannot be preloaded ahead of a sanitizer runtime";
    sweep(true);
}

TEST_P(InProcessFaults, EveryFailedCallEndsCleanlyAndLeavesOtherFilesAlone) {
    sweep(false);
}

std::string nameOf(const ::testing::TestParamInfo<Scenario>& param) {
    return param.param.name;
}
INSTANTIATE_TEST_SUITE_P(Scenarios, RobustnessFaults, ::testing::ValuesIn(scenarios()), nameOf);
INSTANTIATE_TEST_SUITE_P(Scenarios, InProcessFaults, ::testing::ValuesIn(scenarios()), nameOf);

}  // namespace
}  // namespace talvo2::faults
