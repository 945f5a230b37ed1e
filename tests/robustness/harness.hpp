#pragma once

// What the robustness harnesses share.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "corekit2/bag_file.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2::harness {

inline std::wstring wide(const fs::path& path) {
    return ulib_2_18::from_utf8(path.string());
}
inline bool loads(const fs::path& file) {
    corekit2::variant_bag_t bag;
    return corekit2::load_variant_bag(bag, wide(file).c_str(), "") == corekit2::BAG_OK;
}
inline sptr_t<IResultDirectory> openResult(const fs::path& path) {
    return ResultDirectoryManager::open(wide(path).c_str(), false, nullptr);
}
inline sptr_t<INode> openAny(const fs::path& path) {
    const std::wstring at = wide(path);
    if (IProject::probe(at.c_str())) return IProject::open(at.c_str(), nullptr);
    if (IExperiment::probe(at.c_str())) return IExperiment::open(at.c_str(), nullptr);
    return openResult(path);
}

inline unsigned long fromEnvironment(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoul(text, nullptr, 10) : fallback;
}

// The entries that differ between two snapshots, one per line; empty when none.
inline std::string differences(const std::map<std::string, std::string>& before,
                               const std::map<std::string, std::string>& after) {
    std::string text;
    for (const auto& [path, entry] : after)
        if (!before.count(path) || before.at(path) != entry)
            text += (before.count(path) ? "\n  changed: " : "\n  new: ") + path;
    for (const auto& [path, entry] : before)
        if (!after.count(path)) text += "\n  gone: " + path;
    return text;
}

struct ChildRun {
    bool hung = false;  // ended by the time limit
    int signal = 0;     // what else ended it, when not its exit
    int status = 0;
    long maxRssKiB = 0;
    std::string output;  // standard output and error
};

// Runs `body` in a child, as the user `uid` unless it is negative, ended after `seconds`.
inline ChildRun runChild(unsigned seconds, int uid, unsigned gid,
                         const std::function<void()>& body) {
    FILE* output = std::tmpfile();
    const auto child = [&] {
        ::dup2(::fileno(output), STDOUT_FILENO);
        ::dup2(::fileno(output), STDERR_FILENO);
        ::alarm(seconds);  // kept across exec
        body();
    };
    const int pid = uid < 0 ? test::startChild(child) : test::startAsUser(uid, gid, child);
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    ChildRun run;
    run.hung = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
    run.signal = WIFSIGNALED(status) && !run.hung ? WTERMSIG(status) : 0;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    run.maxRssKiB = usage.ru_maxrss;
    run.output = test::readFile("/proc/self/fd/" + std::to_string(::fileno(output)));
    std::fclose(output);
    return run;
}

}  // namespace talvo2::harness
