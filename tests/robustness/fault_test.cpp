// I/O fault injection: each scenario of fault_driver.cpp runs once to count its file-system calls
// (n), then once for every k = 1..n with the k-th call failing, each time in a fresh process over
// a fresh copy of the prepared tree. Every run must end normally (success or a clean error), and
// every file that was there before must be byte-identical afterwards, except the scenario's own
// target. Prints one table row per scenario.
//
// Environment:
//   TALVO2_FAULT_LONG=1  larger trees (24 data files per directory instead of 2), and every call
//                        failed once with each error the injector finds plausible for it
//                        (EIO, ENOSPC, EACCES) instead of one of them in turn

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>

#include "corekit2/bag_file.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using Tree = std::map<std::string, std::string>;  // relative path -> content

struct Scenario {
    const char* name;
    // What the scenario may change or delete (relative paths; a trailing "/" takes a directory).
    std::vector<std::string> own;
    // Files that must still load as bags afterwards.
    std::vector<std::string> mustLoad;
    // Whether a failure may leave OK as the last error: a failed export copy does, and
    // ExportTest.FailuresLeaveTheSourceAlone expects it to. Such runs are counted, not failed.
    bool reasonless = false;
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

std::string resultExtension() {
    return ulib_2_18::to_utf8(getResultExtension(false));
}

std::vector<Scenario> scenarios() {
    const std::string marker = "plain/r000/r000" + resultExtension();
    return {{"create", {}, {}},
            {"save", {marker}, {marker}},
            {"addFlag", {}, {}},
            {"copy", {}, {}},
            {"export", {}, {}, true},
            {"remove", {"out/r001/", "P/r001" + resultExtension() + "link"}, {}}};
}

bool longForm() {
    const char* value = std::getenv("TALVO2_FAULT_LONG");
    return value && *value && std::strcmp(value, "0") != 0;
}

Tree readTree(const fs::path& root) {
    Tree tree;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        if (fs::is_regular_file(it->symlink_status()))
            tree[it->path().lexically_relative(root).string()] = test::readFile(it->path());
    return tree;
}

void copyTree(const fs::path& from, const fs::path& to) {
    fs::create_directory(to);
    for (fs::recursive_directory_iterator it(from), end; it != end; ++it) {
        const fs::path target = to / it->path().lexically_relative(from);
        if (fs::is_directory(it->symlink_status())) {
            fs::create_directory(target);
        } else {
            fs::copy_file(it->path(), target);
        }
    }
}

struct DriverRun {
    int status = -1;  // the wait status
    long calls = 0;
    std::string report;  // the driver's output
};

// Runs the driver with `arguments`, the injector preloaded, its output kept in `dir`.
DriverRun runDriver(const fs::path& dir, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TALVO2_FAULT_DRIVER);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string preload = std::string("LD_PRELOAD=") + TALVO2_FAULT_INJECTOR;
    std::vector<char*> envp{preload.data()};
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, "LD_PRELOAD=", 11) != 0) envp.push_back(*variable);
    envp.push_back(nullptr);

    const fs::path output = dir / "driver.out";
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::alarm(60);  // a run that hangs ends as a crash
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(fd);
    DriverRun run;
    while (::waitpid(child, &run.status, 0) < 0 && errno == EINTR) {
    }
    run.report = test::readFile(output);
    const auto calls = run.report.find("calls=");
    if (calls != std::string::npos) run.calls = std::atol(run.report.c_str() + calls + 6);
    return run;
}

std::string describe(int status) {
    if (WIFSIGNALED(status)) return std::string("killed by ") + ::strsignal(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

class RobustnessFaults : public ::testing::TestWithParam<Scenario> {};

TEST_P(RobustnessFaults, EveryFailedCallEndsCleanlyAndLeavesOtherFilesAlone) {
    if (TALVO2_FAULT_INJECTION_OFF)
        GTEST_SKIP() << "the injector cannot be preloaded ahead of a sanitizer runtime";
    const Scenario& scenario = GetParam();
    // Durability is not what is tested here, and on a disk every run's fsync would commit the
    // whole freshly copied tree: work in memory where the system offers it.
    if (!std::getenv("TMPDIR") && ::access("/dev/shm", W_OK) == 0)
        ::setenv("TMPDIR", "/dev/shm", 1);
    test::TempDir dir;
    const fs::path work = dir.path() / "work";
    const fs::path pristine = dir.path() / "pristine";
    // Paths inside markers and links are absolute: every run works at the same place.
    const DriverRun prepared =
        runDriver(dir.path(), {"prepare", work.string(), longForm() ? "24" : "2"});
    ASSERT_TRUE(WIFEXITED(prepared.status) && WEXITSTATUS(prepared.status) == 0) << prepared.report;
    copyTree(work, pristine);
    const Tree before = readTree(pristine);

    // The damaged files of a run: changed or gone, though not the scenario's own.
    const auto damaged = [&](std::ostream& detail) {
        const Tree after = readTree(work);
        unsigned count = 0;
        for (const auto& [file, content] : before) {
            bool own = false;
            for (const std::string& target : scenario.own)
                own |= target.back() == '/' ? file.compare(0, target.size(), target) == 0
                                            : file == target;
            const auto now = after.find(file);
            if (own || (now != after.end() && now->second == content)) continue;
            ++count;
            detail << " " << file << (now == after.end() ? " (gone)" : " (changed)");
        }
        for (const std::string& file : scenario.mustLoad) {
            corekit2::variant_bag_t bag;
            if (corekit2::load_variant_bag(bag,
                                           ulib_2_18::from_utf8((work / file).string()).c_str(),
                                           "") == corekit2::BAG_OK)
                continue;
            ++count;
            detail << " " << file << " (no longer loads)";
        }
        return count;
    };
    const auto runOnce = [&](long k, int variant) {
        fs::remove_all(work);
        copyTree(pristine, work);
        return runDriver(
            dir.path(), {scenario.name, work.string(), std::to_string(k), std::to_string(variant)});
    };

    const DriverRun counting = runOnce(0, 0);
    ASSERT_TRUE(WIFEXITED(counting.status) && WEXITSTATUS(counting.status) == 0)
        << describe(counting.status) << "\n"
        << counting.report;
    std::ostringstream untouched;
    ASSERT_EQ(damaged(untouched), 0u) << "without faults:" << untouched.str();
    ASSERT_GT(counting.calls, 0);

    unsigned runs = 0, crashes = 0, unclear = 0, damagedFiles = 0;
    const int variants = longForm() ? 3 : 1;
    for (long k = 1; k <= counting.calls; ++k) {
        for (int v = 0; v < variants; ++v) {
            const DriverRun run = runOnce(k, longForm() ? v : static_cast<int>(k));
            ++runs;
            std::ostringstream detail;
            const unsigned count = damaged(detail);
            damagedFiles += count;
            const int exit = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
            if (exit == 2) ++unclear;
            if (exit != 0 && exit != 1 && exit != 2) ++crashes;
            if ((exit != 0 && exit != 1 && !(exit == 2 && scenario.reasonless)) || count > 0)
                ADD_FAILURE() << scenario.name << " k=" << k << ": " << describe(run.status)
                              << ", damaged:" << (count ? detail.str() : " none") << "\n"
                              << run.report;
        }
    }
    std::cout << "fault-injection: scenario calls runs crashes unclear damaged_files\n"
              << "fault-injection: " << scenario.name << " " << counting.calls << " " << runs << " "
              << crashes << " " << unclear << " " << damagedFiles << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, RobustnessFaults, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace talvo2
