// End-to-end tests of the talvo tool: every case runs the installed binary in child processes, as
// scripts and people do, and reads its output and exit status back.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "util/test_util.hpp"

extern char** environ;

namespace {

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using talvo2::test::TempDir;
using talvo2::test::writeFile;

struct Outcome {
    int status = -1;  // the exit status; 128 + the signal for a killed process
    std::string out;
    std::string err;
};

std::ostream& operator<<(std::ostream& os, const Outcome& run) {
    return os << "status " << run.status << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

// The test's environment with `extra` ("NAME=VALUE") added or replacing what is there.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> all;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('=') + 1);
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&name](const auto& e) {
            return e.compare(0, name.size(), name) == 0;
        });
        if (!replaced) all.push_back(text);
    }
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// One run of the installed talvo in `cwd`, with its standard streams on pipes of this test. The
// arguments reach the program as they are; no shell sees them.
class TalvoProcess {
public:
    TalvoProcess(const fs::path& cwd, std::vector<std::string> args,
                 const std::vector<std::string>& env = {}) {
        const char* binary = std::getenv("TALVO_BIN");
        if (!binary || !*binary) throw std::runtime_error("TALVO_BIN is unset; run through ctest");
        // "@nobody" first runs the tool as an unprivileged user (root ignores permissions).
        const bool asNobody = !args.empty() && args.front() == "@nobody";
        if (asNobody) args.erase(args.begin());
        args.insert(args.begin(), binary);
        if (asNobody && ::geteuid() == 0)
            args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups", "--"});
        std::vector<std::string> environment = environmentWith(env);
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            throw std::system_error(errno, std::generic_category(), "pipe2");
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        ::posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        // The tool must see Ctrl-C as a user's shell would deliver it, whatever ctest ignores.
        posix_spawnattr_t attributes;
        ::posix_spawnattr_init(&attributes);
        sigset_t signals;
        sigemptyset(&signals);
        ::posix_spawnattr_setsigmask(&attributes, &signals);
        for (const int s : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) sigaddset(&signals, s);
        ::posix_spawnattr_setsigdefault(&attributes, &signals);
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const int spawned = ::posix_spawn(&m_pid, args.front().c_str(), &actions, &attributes,
                                          pointers(args).data(), pointers(environment).data());
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
        for (const int fd : {in[0], out[1], err[1]}) ::close(fd);
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
        if (spawned != 0) {
            m_pid = -1;
            throw std::system_error(spawned, std::generic_category(), "posix_spawn");
        }
    }

    ~TalvoProcess() {
        for (const int fd : {m_in, m_out, m_err})
            if (fd >= 0) ::close(fd);
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    TalvoProcess(const TalvoProcess&) = delete;
    TalvoProcess& operator=(const TalvoProcess&) = delete;

    pid_t pid() const { return m_pid; }
    const std::string& outSoFar() const { return m_result.out; }

    void closeInput() {
        if (m_in >= 0) ::close(m_in);
        m_in = -1;
    }

    // Collects output until `condition` holds, the process closes its streams, or time is up.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition() && std::chrono::steady_clock::now() < deadline && pump(10)) {
        }
        return condition();
    }

    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        return waitUntil([&] { return m_result.out.find(text) != std::string::npos; }, timeout);
    }

    // Reads both streams to their end and waits for the process.
    Outcome finish() {
        closeInput();
        while (pump(-1)) {
        }
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        m_result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return m_result;
    }

private:
    // Moves what the process wrote into the buffers; false once both streams have ended.
    bool pump(int timeoutMs) {
        pollfd fds[] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "poll");
        int* const streams[] = {&m_out, &m_err};
        std::string* const buffers[] = {&m_result.out, &m_result.err};
        for (int i = 0; i < 2; ++i) {
            if (*streams[i] < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = ::read(*streams[i], chunk, sizeof chunk);
            if (got > 0) {
                buffers[i]->append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(*streams[i]);
                *streams[i] = -1;
            }
        }
        return m_out >= 0 || m_err >= 0;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    Outcome m_result;
};

Outcome talvo(const fs::path& cwd, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {}) {
    return TalvoProcess(cwd, args, env).finish();
}

// The JSON document a successful run printed.
json jsonOf(const Outcome& run) {
    EXPECT_EQ(run.status, 0) << run;
    return json::parse(run.out);
}

// What `list --json` reports for the group `dir`, member by name.
std::map<std::string, json> members(const fs::path& cwd, const std::string& dir) {
    std::map<std::string, json> byName;
    const json listing = jsonOf(talvo(cwd, {"--json", "list", dir}));
    for (const json& member : listing["members"])
        byName[member["name"].get<std::string>()] = member;
    return byName;
}

std::set<std::string> namesIn(const fs::path& cwd, const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : members(cwd, dir)) names.insert(entry.first);
    return names;
}

// How the tool prints a path on a line of its own.
std::string line(const fs::path& path) {
    return path.string() + "\n";
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(TalvoCli, CreatesNodesThatLaterInvocationsList) {
    TempDir dir;
    const fs::path& d = dir.path();
    EXPECT_EQ(talvo(d, {"create"}).out, line(d / "r000"));
    EXPECT_EQ(talvo(d, {"create"}).out, line(d / "r001"));
    EXPECT_EQ(talvo(d, {"create", "run-{KIND}-@@", "--var", "KIND=cpu"}).out,
              line(d / "run-cpu-00"));
    EXPECT_EQ(talvo(d, {"create", "--literal", "lit@"}).out, line(d / "lit@"));
    writeFile(d / "lit@" / "junk", "x");
    EXPECT_EQ(talvo(d, {"create", "--literal", "--overwrite", "lit@"}).status, 0);
    EXPECT_FALSE(fs::exists(d / "lit@" / "junk"));

    EXPECT_EQ(talvo(d, {"project", "create", "proj"}).status, 0);
    EXPECT_EQ(jsonOf(talvo(d, {"--json", "project", "open", "proj"}))["kind"], "project");
    const json experiment =
        jsonOf(talvo(d, {"--json", "experiment", "create", "exp", "--base", "proj"}));
    EXPECT_EQ(experiment["kind"], "experiment");
    EXPECT_EQ(experiment["path"], (d / "proj" / "exp").string());
    EXPECT_EQ(jsonOf(talvo(d, {"--json", "create", "--base", "proj/exp"}))["path"],
              (d / "proj" / "exp" / "r000").string());

    std::map<std::string, std::string> kinds;
    for (const auto& [name, member] : members(d, ".")) kinds[name] = member["kind"];
    EXPECT_EQ(kinds, (std::map<std::string, std::string>{{"lit@", "result"},
                                                         {"proj", "project"},
                                                         {"r000", "result"},
                                                         {"r001", "result"},
                                                         {"run-cpu-00", "result"}}));
    EXPECT_EQ(members(d, "proj")["exp"]["kind"], "experiment");
    EXPECT_EQ(namesIn(d, "proj/exp"), std::set<std::string>{"r000"});

    EXPECT_EQ(talvo(d, {"finalize", "r001"}).status, 0);
    EXPECT_EQ(members(d, ".")["r001"]["finalized"], true);
    EXPECT_EQ(talvo(d, {"finalize", "--undo", "r001"}).status, 0);
    EXPECT_EQ(members(d, ".")["r001"]["finalized"], false);

    // A bad result moves aside, so that its name is free for a new run.
    EXPECT_EQ(jsonOf(talvo(d, {"--json", "invalidate", "r000"}))["path"],
              (d / "r000-bad").string());
    const auto after = members(d, ".");
    EXPECT_EQ(after.count("r000"), 0u);
    EXPECT_EQ(after.at("r000-bad")["valid"], false);
    EXPECT_EQ(after.at("r001")["valid"], true);
}

TEST(TalvoCli, CreateTakesVariablesBeforeThePattern) {
    TempDir dir;
    const Outcome run = talvo(dir.path(), {"create", "--var", "KIND=cpu", "run-{KIND}-@@"});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.out, line(dir.path() / "run-cpu-00"));
}

TEST(TalvoCli, InfoDescribesTheMachineAndTheCollectorData) {
    TempDir dir;
    ASSERT_EQ(talvo(dir.path(), {"create"}).status, 0);
    for (const char* sub : {"data.1", "data.0", "notes"})
        fs::create_directory(dir.path() / "r000" / sub);
    const json info = jsonOf(talvo(dir.path(), {"--json", "info", "r000"}));
    const json& machine = info["metadata"];
    EXPECT_EQ(info["kind"], "result");
    EXPECT_FALSE(machine["host"].get<std::string>().empty());
    EXPECT_EQ(machine["os"], "linux");
    EXPECT_FALSE(machine["isa"].get<std::string>().empty());
    EXPECT_GT(machine["cpu"]["logicalCpus"].get<int>(), 0);
    // The result records the machine that sysinfo describes, in the same form.
    const json here = jsonOf(talvo(dir.path(), {"--json", "sysinfo"}));
    EXPECT_EQ(machine["cpu"], here["cpu"]);
    EXPECT_EQ(machine["mpiRank"], here["mpiRank"]);
    auto data = info["collectorData"].get<std::vector<std::string>>();
    std::sort(data.begin(), data.end());
    EXPECT_EQ(data, (std::vector<std::string>{"data.0", "data.1"}));
}

TEST(TalvoCli, DiffComparesTheNewestTwoMatchesOfAPattern) {
    TempDir dir;
    TempDir elsewhere;
    const std::string pattern = (dir.path() / "r@@@").string();
    ASSERT_EQ(talvo(dir.path(), {"create"}).status, 0);
    const Outcome alone = talvo(elsewhere.path(), {"diff", pattern});
    EXPECT_EQ(alone.status, 3) << alone;
    EXPECT_TRUE(startsWith(alone.err, "talvo: ")) << alone;

    ASSERT_EQ(talvo(dir.path(), {"create"}).status, 0);
    ASSERT_EQ(talvo(dir.path(), {"create"}).status, 0);
    const json diff = jsonOf(talvo(elsewhere.path(), {"--json", "diff", pattern}));
    EXPECT_EQ(diff["first"]["name"], "r002");
    EXPECT_EQ(diff["second"]["name"], "r001");
    EXPECT_TRUE(diff["differences"].is_object());
}

TEST(TalvoCli, ExportCopyMoveRemoveAndPrune) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, {"create", "--literal", "src"}).status, 0);
    fs::create_directory(d / "src" / "data.0");
    writeFile(d / "src" / "data.0" / "keep.txt", "k");
    writeFile(d / "src" / "data.0" / "trace.log", "l");
    writeFile(d / "src" / "scratch.tmp", "t");

    // Standard error is no terminal here, so a successful transfer draws no progress on it.
    const Outcome exported = talvo(
        d, {"--json", "export", "src", "out/r@@@", "--exclude", "*.log", "--exclude", "*.tmp"});
    EXPECT_EQ(exported.err, "");
    EXPECT_EQ(jsonOf(exported)["path"], (d / "out" / "r000").string());
    EXPECT_TRUE(fs::exists(d / "out" / "r000" / "r000.talvo"));
    EXPECT_TRUE(fs::exists(d / "out" / "r000" / "data.0" / "keep.txt"));
    EXPECT_FALSE(fs::exists(d / "out" / "r000" / "data.0" / "trace.log"));
    EXPECT_FALSE(fs::exists(d / "out" / "r000" / "scratch.tmp"));

    const Outcome copied = talvo(d, {"copy", "src", "copy", "--rename-marker"});
    EXPECT_EQ(copied.status, 0) << copied;
    EXPECT_EQ(copied.err, "");
    EXPECT_TRUE(fs::exists(d / "copy" / "copy.talvo"));
    EXPECT_TRUE(fs::exists(d / "copy" / "data.0" / "trace.log"));
    EXPECT_TRUE(fs::exists(d / "src" / "src.talvo"));
    const Outcome moved = talvo(d, {"move", "copy", "moved", "--rename-marker"});
    EXPECT_EQ(moved.out, line(d / "moved")) << moved;
    EXPECT_EQ(moved.err, "");
    EXPECT_TRUE(fs::exists(d / "moved" / "moved.talvo"));
    EXPECT_FALSE(fs::exists(d / "copy"));
    EXPECT_EQ(namesIn(d, "."), (std::set<std::string>{"moved", "src"}));

    EXPECT_EQ(talvo(d, {"rm", "moved"}).status, 0);
    EXPECT_FALSE(fs::exists(d / "moved"));
    EXPECT_EQ(namesIn(d, "."), std::set<std::string>{"src"});

    for (int i = 0; i < 5; ++i) ASSERT_EQ(talvo(d, {"create", "group/r@@@"}).status, 0);
    EXPECT_EQ(jsonOf(talvo(d, {"--json", "prune", "group", "--keep", "2"}))["removed"].size(), 3u);
    EXPECT_EQ(namesIn(d, "group"), (std::set<std::string>{"r003", "r004"}));
}

TEST(TalvoCli, FailuresEndWithTheirExitStatusAndAMessage) {
    TempDir dir;
    ASSERT_EQ(talvo(dir.path(), {"create", "--literal", "taken"}).status, 0);
    ASSERT_EQ(talvo(dir.path(), {"project", "create", "proj"}).status, 0);
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"info", "missing"}, 3},
        {{"finalize", "proj"}, 3},
        {{"create", "--literal", "taken"}, 4},
        {{"create", "CON"}, 7},
        {{"frobnicate"}, 2},
        {{"list", "--no-such-option"}, 2},
        {{"create", "r@@@", "--var", "NOVALUE"}, 2},
    };
    for (const auto& c : cases) {
        const Outcome run = talvo(dir.path(), c.args);
        EXPECT_EQ(run.status, c.status) << c.args[0] << ": " << run;
        EXPECT_EQ(run.out, "") << run;
        EXPECT_FALSE(run.err.empty()) << run;
        // The command line parser words its own complaints; the tool's failures name the tool.
        if (c.status != 2) {
            EXPECT_TRUE(startsWith(run.err, "talvo: ")) << run;
        }
    }
    const Outcome help = talvo(dir.path(), {"--help"});
    EXPECT_EQ(help.status, 0) << help;
    EXPECT_NE(help.out.find("Usage: talvo"), std::string::npos) << help;
    EXPECT_NE(help.out.find("Exit status"), std::string::npos) << help;
}

// A marker copied into some folder does not make that folder a node that rm may delete.
TEST(TalvoCli, RmOfAMarkerDeletesOnlyTheFolderItIsNamedAfter) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, {"create"}).status, 0);
    fs::create_directory(d / "Downloads");
    writeFile(d / "Downloads" / "keep.txt", "mine");
    fs::copy_file(d / "r000" / "r000.talvo", d / "Downloads" / "r000.talvo");

    const Outcome refused = talvo(d, {"rm", "Downloads/r000.talvo"});
    EXPECT_EQ(refused.status, 1) << refused;
    EXPECT_NE(refused.err.find("not named after its folder"), std::string::npos) << refused;
    EXPECT_TRUE(fs::exists(d / "Downloads" / "keep.txt"));

    EXPECT_EQ(talvo(d, {"rm", "r000/r000.talvo"}).status, 0);
    EXPECT_FALSE(fs::exists(d / "r000"));
}

TEST(TalvoCli, ConcurrentCreatesInOneFolderGetDistinctNames) {
    TempDir dir;
    std::vector<std::unique_ptr<TalvoProcess>> runs;
    for (int i = 0; i < 8; ++i)
        runs.push_back(
            std::make_unique<TalvoProcess>(dir.path(), std::vector<std::string>{"create", "r@@@"}));
    std::set<std::string> created;
    for (const auto& run : runs) {
        const Outcome outcome = run->finish();
        EXPECT_EQ(outcome.status, 0) << outcome;
        created.insert(fs::path(outcome.out.substr(0, outcome.out.find('\n'))).filename().string());
    }
    EXPECT_EQ(created.size(), runs.size());
    EXPECT_EQ(namesIn(dir.path(), "."), created);
}

// A talvo holding flag `busy` on `node` for as long as the test keeps its input open (the held
// command is cat, which ends at end of input).
class FlagHolder {
public:
    FlagHolder(const fs::path& cwd, const std::string& node)
        : process(cwd, {"--json", "flag", "add", node, "busy", "--", "cat"}) {}
    // The holder's own report, once it holds the flag.
    json waitUntilHeld() {
        // The report is one pretty-printed object; its closing brace ends it.
        if (!process.waitForOutput("\n}\n", 30s)) {
            ADD_FAILURE() << "the holder never reported: " << process.outSoFar();
            return json();
        }
        return json::parse(process.outSoFar());
    }
    TalvoProcess process;
};

TEST(TalvoCli, AFlagHeldByOneProcessIsSeenByOthers) {
    TempDir dir;
    ASSERT_EQ(talvo(dir.path(), {"create"}).status, 0);
    FlagHolder holder(dir.path(), "r000");
    const json report = holder.waitUntilHeld();
    ASSERT_EQ(report["held"], true);

    const json who = jsonOf(talvo(dir.path(), {"--json", "flag", "who", "r000", "busy"}));
    EXPECT_EQ(who["held"], true);
    EXPECT_FALSE(who["holder"]["user"].get<std::string>().empty());
    EXPECT_FALSE(who["holder"]["host"].get<std::string>().empty());
    EXPECT_EQ(who["holder"], report["holder"]);
    // With a command of its own, a wrongly granted flag could not keep this test waiting.
    const Outcome second = talvo(dir.path(), {"flag", "add", "r000", "busy", "--", "true"});
    EXPECT_NE(second.status, 0) << second;
    EXPECT_TRUE(startsWith(second.err, "talvo: ")) << second;

    const Outcome released = holder.process.finish();
    EXPECT_EQ(released.status, 0) << released;
    EXPECT_EQ(jsonOf(talvo(dir.path(), {"--json", "flag", "who", "r000", "busy"}))["held"], false);
}

// The command holds the lock itself: killing talvo must not free the flag while the command runs,
// and the owner record names the command's process.
TEST(TalvoCli, AFlagOutlivesAKilledTalvoWhileItsCommandRuns) {
    TempDir dir;
    ASSERT_EQ(talvo(dir.path(), {"create"}).status, 0);
    FlagHolder holder(dir.path(), "r000");
    ASSERT_EQ(holder.waitUntilHeld()["held"], true);
    ASSERT_EQ(::kill(holder.process.pid(), SIGKILL), 0);

    EXPECT_EQ(jsonOf(talvo(dir.path(), {"--json", "flag", "who", "r000", "busy"}))["held"], true);
    EXPECT_EQ(talvo(dir.path(), {"flag", "add", "r000", "busy", "--", "true"}).status, 5);
    const std::string record = talvo2::test::readFile(dir.path() / "r000" / "busy.infotalvo");
    const std::string key = "key=\"pid\" type=\"uint32\" data=\"";
    const std::size_t at = record.find(key);
    ASSERT_NE(at, std::string::npos) << record;
    const std::string pid = record.substr(at + key.size());
    const std::string command =
        talvo2::test::readFile("/proc/" + pid.substr(0, pid.find('"')) + "/comm");
    EXPECT_EQ(command, "cat\n");

    holder.process.finish();  // ends cat, whose input was talvo's
    EXPECT_EQ(jsonOf(talvo(dir.path(), {"--json", "flag", "who", "r000", "busy"}))["held"], false);
}

TEST(TalvoCli, TakingAFlagHeldElsewhereExitsBusy) {
    TempDir dir;
    ASSERT_EQ(talvo(dir.path(), {"create"}).status, 0);
    FlagHolder holder(dir.path(), "r000");
    ASSERT_EQ(holder.waitUntilHeld()["held"], true);
    EXPECT_EQ(talvo(dir.path(), {"flag", "add", "r000", "busy", "--", "true"}).status, 5);
}

TEST(TalvoCli, InterruptedCopyAndExportLeaveNothingBehind) {
#if TALVO2_SLOW_COPY_TSAN
    GTEST_SKIP() << "the slowing library cannot be preloaded ahead of ThreadSanitizer's runtime";
#endif
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, {"create", "--literal", "src"}).status, 0);
    const fs::path data = d / "src" / "data.0";
    fs::create_directory(data);
    for (int i = 0; i < 60; ++i) writeFile(data / ("f" + std::to_string(i)), "payload");
    const auto count = [&data] {
        return std::distance(fs::directory_iterator(data), fs::directory_iterator());
    };
    // A transfer fills a hidden directory beside its target and renames it into place at the end.
    const auto staging = [](const fs::path& folder) {
        if (!fs::is_directory(folder)) return false;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().rfind(".talvo-stage-", 0) == 0) return true;
        return false;
    };
    const struct {
        std::vector<std::string> args;
        fs::path target;
        fs::path folder;  // where the target is made
    } cases[] = {
        {{"copy", "src", "dest"}, d / "dest", d},
        {{"export", "src", "out/r@@@"}, d / "out", d / "out"},
    };
    // AddressSanitizer would refuse to start with a library loaded ahead of its runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::string> slow = {
        "LD_PRELOAD=" TALVO2_SLOW_COPY, "SLOW_COPY_MS=50",
        "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"};
    for (const auto& c : cases) {
        // 50 ms per file copied keeps the transfer going for seconds: time to interrupt it.
        TalvoProcess run(d, c.args, slow);
        ASSERT_TRUE(run.waitUntil([&] { return staging(c.folder); }, 30s)) << c.args[0];
        ASSERT_EQ(::kill(run.pid(), SIGINT), 0);
        const Outcome outcome = run.finish();
        EXPECT_EQ(outcome.status, 130) << c.args[0] << ": " << outcome;
        EXPECT_TRUE(startsWith(outcome.err, "talvo: " + c.args[0])) << outcome;
        EXPECT_FALSE(fs::exists(c.target)) << c.args[0];
        EXPECT_FALSE(staging(d)) << c.args[0];
        EXPECT_TRUE(fs::exists(d / "src" / "src.talvo"));
        EXPECT_EQ(count(), 60);
    }
}

TEST(TalvoCli, DoctorReportsThenSweepsWhatADeadMakerLeft) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, {"create", "r@@@"}).status, 0);
    fs::create_directories(d / ".talvo-stage-0123456789abcdef/data.0");
    const Outcome looked = talvo(d, {"doctor"});
    EXPECT_EQ(looked.status, 1) << looked;
    EXPECT_NE(looked.out.find(".talvo-stage-0123456789abcdef: a new node's staging directory"),
              std::string::npos)
        << looked;
    EXPECT_TRUE(fs::exists(d / ".talvo-stage-0123456789abcdef"));
    const Outcome fixed = talvo(d, {"--json", "doctor", "--fix"});
    EXPECT_EQ(fixed.status, 0) << fixed;
    EXPECT_EQ(nlohmann::json::parse(fixed.out)["findings"][0]["removed"], true);
    EXPECT_FALSE(fs::exists(d / ".talvo-stage-0123456789abcdef"));
    EXPECT_EQ(talvo(d, {"doctor"}).out, "nothing to report\n");
    EXPECT_EQ(talvo(d, {"doctor", "missing"}).status, 3);
}

// Destructive commands act on the node named: an empty argument is refused, a path with an
// "@" in it is that folder, --overwrite replaces only a result, and creating a project or an
// experiment where a node is changes nothing.
TEST(TalvoCli, DestructiveCommandsActOnlyOnTheNodeNamed) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, {"project", "create", "demo"}).status, 0);
    const std::string marker = talvo2::test::readFile(d / "demo/demo.talvoproj");
    ASSERT_EQ(talvo(d, {"create", "demo/r@@@"}).status, 0);
    ASSERT_EQ(talvo(d, {"create", "--literal", "demo/run@home"}).status, 0);
    ASSERT_EQ(talvo(d, {"create", "--literal", "demo/run7home"}).status, 0);
    fs::create_directories(d / "thesis");
    writeFile(d / "thesis/chapter1.tex", "words");
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"rm", ""}, 2},
        {{"invalidate", ""}, 2},
        {{"prune", "", "--keep", "0"}, 2},
        {{"rm", "demo/run@home"}, 0},
        {{"create", "--overwrite", "thesis"}, 4},
        {{"project", "create", "demo"}, 4},
        {{"project", "create", "demo/r000"}, 4},
        {{"experiment", "create", "r000", "--base", "demo"}, 4},
        {{"experiment", "create", "baseline", "--base", "demo"}, 0},
    };
    for (const auto& c : cases) {
        const Outcome outcome = talvo(d, c.args);
        EXPECT_EQ(outcome.status, c.status) << outcome;
    }
    EXPECT_FALSE(fs::exists(d / "demo/run@home"));
    EXPECT_TRUE(fs::exists(d / "demo/run7home/run7home.talvo"));
    EXPECT_TRUE(fs::exists(d / "demo/r000/r000.talvo"));
    EXPECT_FALSE(fs::exists(d / "demo/r000-bad"));
    EXPECT_EQ(talvo2::test::readFile(d / "thesis/chapter1.tex"), "words");
    EXPECT_EQ(talvo2::test::readFile(d / "demo/demo.talvoproj"), marker);
    EXPECT_FALSE(fs::exists(d / "demo/r000/r000.talvoproj"));
    EXPECT_TRUE(fs::exists(d / "demo/baseline/baseline.talvoexp"));
    EXPECT_FALSE(fs::exists(d / "demo/demo"));
    EXPECT_EQ(talvo(d, {"create", "--overwrite", "--force", "thesis"}).status, 0);
    EXPECT_TRUE(fs::exists(d / "thesis/thesis.talvo"));
}

// Answers a script can branch on: diff differs, a flag held elsewhere is busy, and every command
// prints a document under --json.
TEST(TalvoCli, StatusesAndDocumentsForScripts) {
    TempDir dir;
    const fs::path& d = dir.path();
    EXPECT_EQ(talvo(d, {"--version"}).out, "talvo 2.0.0.1\n");
    ASSERT_EQ(talvo(d, {"create", "r@@@"}).status, 0);
    ASSERT_EQ(talvo(d, {"create", "r@@@"}, {"PMI_RANK=3"}).status, 0);
    const Outcome differ = talvo(d, {"diff", "r000", "r001"});
    EXPECT_EQ(differ.status, 1) << differ;
    EXPECT_NE(differ.out.find("mpiRank"), std::string::npos) << differ;
    ASSERT_EQ(talvo(d, {"create", "--literal", "same"}).status, 0);
    EXPECT_EQ(talvo(d, {"diff", "same", "r000"}).status, 0);

    TalvoProcess holder(d, {"flag", "add", "r000", "busy", "--", "sleep", "30"});
    ASSERT_TRUE(holder.waitUntil([&] { return fs::exists(d / "r000/busy.infotalvo"); }, 30s));
    EXPECT_EQ(talvo(d, {"flag", "own", "r000", "busy"}).status, 5);
    ::kill(holder.pid(), SIGTERM);
    holder.finish();

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--json", "finalize", "r000"},
          std::vector<std::string>{"--json", "flag", "add", "r000", "mine", "--", "true"},
          std::vector<std::string>{"--json", "rm", "same"}}) {
        const Outcome outcome = talvo(d, args);
        EXPECT_EQ(outcome.status, 0) << outcome;
        EXPECT_TRUE(json::accept(outcome.out)) << args[1] << ": " << outcome;
    }
}

// "Newest" is the highest number, not the greatest name: r1000 comes after r999.
TEST(TalvoCli, APatternOpensTheHighestNumber) {
    TempDir dir;
    const fs::path& d = dir.path();
    for (const char* name : {"r999", "r1000", "r0998"})
        ASSERT_EQ(talvo(d, {"create", "--literal", name}).status, 0);
    const Outcome info = talvo(d, {"--json", "info", "r@@@"});
    ASSERT_EQ(info.status, 0) << info;
    EXPECT_EQ(json::parse(info.out)["path"], (d / "r1000").string());
    EXPECT_EQ(talvo(d, {"rm", "r@@@"}).status, 0);
    EXPECT_FALSE(fs::exists(d / "r1000"));
    EXPECT_TRUE(fs::exists(d / "r999") && fs::exists(d / "r0998"));
}

// `cmake --install` puts the manual page and the bash completion beside the binary.
TEST(TalvoCli, ManPageAndCompletionAreInstalled) {
    const char* binary = std::getenv("TALVO_BIN");
    ASSERT_TRUE(binary) << "run through ctest";
    const fs::path prefix = fs::path(binary).parent_path().parent_path();
    const std::string man = talvo2::test::readFile(prefix / "share/man/man1/talvo.1");
    for (const char* text :
         {"EXIT STATUS", "talvo create", "talvo project create", "talvo flag who", "interrupted"})
        EXPECT_NE(man.find(text), std::string::npos) << text;
    // Completes as bash would call it: the words so far and the index of the one being typed.
    TempDir dir;
    writeFile(dir.path() / "complete.sh",
              "source '" + (prefix / "share/bash-completion/completions/talvo").string() + "'\n" +
                  R"(f=$(complete -p talvo); f=${f##*-F }; f=${f%% *}
COMP_WORDS=(talvo fl) COMP_CWORD=1; $f; echo "${COMPREPLY[*]}"
COMP_WORDS=(talvo flag '') COMP_CWORD=2; $f; echo "${COMPREPLY[*]}"
)");
    FILE* bash = ::popen(("bash " + (dir.path() / "complete.sh").string()).c_str(), "r");
    ASSERT_TRUE(bash);
    std::string out;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, bash)) out += chunk;
    EXPECT_EQ(::pclose(bash), 0);
    EXPECT_EQ(out, "flag\nadd own clear who\n");
}

// Newest is the highest number, then the latest creation, wherever the tool chooses: prune keeps
// the highest numbers and never takes an experiment, diff compares the two highest.
TEST(TalvoCli, PruneAndDiffChooseByNumber) {
    TempDir dir;
    const fs::path& d = dir.path();
    for (int i = 0; i < 12; ++i) ASSERT_EQ(talvo(d, {"-q", "create", "g/r@"}).status, 0);
    ASSERT_EQ(talvo(d, {"experiment", "create", "g/later"}).status, 0);
    const json diff = jsonOf(talvo(d, {"--json", "diff", "g/r@"}));
    EXPECT_EQ(diff["first"]["name"], "r11");
    EXPECT_EQ(diff["second"]["name"], "r10");
    const Outcome dry = talvo(d, {"prune", "g", "--keep", "3", "--pattern", "r@", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry;
    EXPECT_NE(dry.out.find("would remove " + (d / "g/r8").string()), std::string::npos) << dry;
    EXPECT_TRUE(fs::exists(d / "g/r0"));
    const json pruned = jsonOf(talvo(d, {"--json", "prune", "g", "--keep", "3"}));
    EXPECT_EQ(pruned["removed"].size(), 9u);
    EXPECT_EQ(namesIn(d, "g"), (std::set<std::string>{"later", "r9", "r10", "r11"}));
}

// Dry runs change nothing; a project with members goes only with --force.
TEST(TalvoCli, DryRunsAndForceGuardWhatWouldBeLost) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, {"project", "create", "p"}).status, 0);
    ASSERT_EQ(talvo(d, {"create", "p/r@@@"}).status, 0);
    const struct {
        std::vector<std::string> args;
        int status;
        const char* out;
    } cases[] = {
        {{"rm", "--dry-run", "p/r000"}, 0, "would remove result"},
        {{"create", "--dry-run", "--overwrite", "p/r000"}, 0, "would replace result"},
        {{"rm", "p"}, 1, ""},
        {{"rm", "--dry-run", "--force", "p"}, 0, "would remove project"},
    };
    for (const auto& c : cases) {
        const Outcome run = talvo(d, c.args);
        EXPECT_EQ(run.status, c.status) << run;
        EXPECT_TRUE(startsWith(run.out, c.out)) << run;
    }
    EXPECT_TRUE(fs::exists(d / "p/r000/r000.talvo"));
    EXPECT_EQ(talvo(d, {"rm", "--force", "p"}).status, 0);
    EXPECT_FALSE(fs::exists(d / "p"));
}

// Damaged input is reported as such (a warning per entry, exit 8), never as a normal answer.
TEST(TalvoCli, DamagedInputIsReportedNotAnswered) {
    TempDir dir;
    const fs::path& d = dir.path();
    for (const char* name : {"a", "b", "good"})
        ASSERT_EQ(talvo(d, {"create", "--literal", name}).status, 0);
    writeFile(d / "a/a.talvo", "garbage");
    writeFile(d / "b/b.talvo", "<variant_bag");
    writeFile(d / "junk.talvolink", "garbage");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", "a"}, {"diff", "a", "b"}, {"list"}}) {
        const Outcome run = talvo(d, args);
        EXPECT_EQ(run.status, 8) << args[0] << ": " << run;
        EXPECT_NE(run.err.find("talvo: warning: "), std::string::npos) << run;
    }
    const Outcome listed = talvo(d, {"--json", "list"});
    EXPECT_EQ(listed.status, 8);
    const json document = json::parse(listed.out);
    EXPECT_EQ(document["warnings"].size(), 3u) << document;
    EXPECT_EQ(listed.err, "");
    // A full disk on standard output is a failure too.
    const int status = std::system(
        ("cd '" + d.string() + "' && \"$TALVO_BIN\" info good >/dev/full 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    fs::permissions(d, fs::perms::all_all);
    ASSERT_EQ(talvo(d, {"project", "create", "ro"}).status, 0);
    ASSERT_EQ(talvo(d, {"create", "ro/r@@@"}).status, 0);
    ASSERT_EQ(talvo(d, {"create", "ro/r@@@"}).status, 0);
    fs::permissions(d / "ro", fs::perms::owner_read | fs::perms::owner_exe | fs::perms::group_read |
                                  fs::perms::group_exe | fs::perms::others_read |
                                  fs::perms::others_exe);
    const Outcome pruned = talvo(d, {"@nobody", "prune", "ro", "--keep", "0"});
    EXPECT_EQ(pruned.status, 1) << pruned;
    EXPECT_NE(pruned.err.find("could not be removed"), std::string::npos) << pruned;
    // A folder that cannot be read is not an empty one.
    fs::permissions(d / "ro", fs::perms::no_perms);
    const Outcome closed = talvo(d, {"@nobody", "list", "ro"});
    EXPECT_EQ(closed.status, 6) << closed;
    EXPECT_NE(talvo(d, {"@nobody", "list"}).err.find("ro: cannot read the folder"),
              std::string::npos);
    fs::permissions(d / "ro", fs::perms::owner_all);
}

// Every refusal says what happened in the tool's words, and a flag's holder by name and pid.
TEST(TalvoCli, MessagesNameTheProblemAndTheHolder) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, {"create", "--literal", "r"}).status, 0);
    TalvoProcess holder(d, {"flag", "add", "r", "busy", "--", "sleep", "30"});
    ASSERT_TRUE(holder.waitUntil([&] { return fs::exists(d / "r/busy.infotalvo"); }, 30s));
    writeFile(d / "r/dead.dflgtalvo", "");
    writeFile(d / "r/dead.infotalvo", "");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;  // what standard error must hold
    } cases[] = {
        {{"flag", "add", "r", "busy"}, 5, " (pid "},
        {{"flag", "add", "r", "busy"}, 5, "use --wait"},
        {{"flag", "add", "r", "busy", "--wait", "0.3"}, 5, "gave up waiting"},
        {{"flag", "clear", "r", "busy"}, 5, "held by "},
        {{"flag", "clear", "r", "nosuch"}, 3, "no such flag"},
        {{"flag", "add", "r", "dead"}, 1, "--take-over"},
        {{"flag", "add", "r", "x", "--", "/nonexistent/cmd"}, 127, "cannot run /nonexistent/cmd"},
        {{"diff", "r@"}, 3, "needs two"},
        {{"copy", "r", "missing/x"}, 1, "does not exist"},
        {{"copy", "r", "r/inside"}, 2, "inside itself"},
        {{"copy", "r", "r"}, 4, "already there"},
        {{"create", "--base", "nowhere", "x"}, 3, "no such folder"},
        {{"info", "nothing"}, 3, "no such result"},
    };
    for (const auto& c : cases) {
        const Outcome run = talvo(d, c.args);
        EXPECT_EQ(run.status, c.status) << run;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run;
        EXPECT_EQ(run.err.find("unknown error"), std::string::npos) << run;
        EXPECT_EQ(run.out, "") << run;
    }
    const Outcome who = talvo(d, {"--json", "flag", "who", "r", "busy"});
    // The command holds the flag, so the record names its pid: a live process.
    const json pid = json::parse(who.out)["holder"]["pid"];
    ASSERT_TRUE(pid.is_number()) << who;
    EXPECT_EQ(::kill(pid.get<pid_t>(), 0), 0) << who;
    EXPECT_NE(talvo(d, {"flag", "who", "r", "dead"}).out.find("--take-over"), std::string::npos);
    // --wait takes the flag once its holder lets go.
    TalvoProcess waiter(d, {"flag", "add", "r", "busy", "--wait", "--", "true"});
    ::kill(holder.pid(), SIGTERM);
    holder.finish();
    EXPECT_EQ(waiter.finish().status, 0);
}

// Under --json every command prints one document of the documented form, and a failure one
// error document on standard error and nothing on standard output.
TEST(TalvoCli, EveryCommandPrintsTheDocumentedJson) {
    TempDir dir;
    const fs::path& d = dir.path();
    const json time = {{"seconds", 0}, {"text", ""}};
    const json node = {{"kind", ""},       {"name", ""},      {"path", ""}, {"marker", ""},
                       {"damaged", false}, {"created", time}, {"size", 0},  {"files", 0}};
    const json holder = {{"user", ""}, {"host", ""}, {"since", time}};
    const json cpu = {{"brand", ""},      {"family", 0}, {"model", 0},
                      {"stepping", 0},    {"type", 0},   {"frequencyHz", 0},
                      {"logicalCpus", 0}, {"cores", 0},  {"packages", 0}};
    // Each command with the keys and value types its document must have (docs/cli-json.md).
    const std::vector<std::pair<std::vector<std::string>, json>> cases = {
        {{"project", "create", "p"}, node},
        {{"project", "open", "p"}, node},
        {{"experiment", "create", "e", "--base", "p"}, node},
        {{"experiment", "open", "p/e"}, node},
        {{"create", "p/r@@@"}, node},
        {{"create", "p/r@@@"}, node},
        {{"create", "--dry-run", "p/r@@@"}, {{"path", ""}, {"replaces", false}, {"dryRun", true}}},
        {{"info", "p/r000"},
         {{"linked", false},
          {"metadata",
           {{"host", ""},
            {"os", ""},
            {"isa", ""},
            {"cpu", cpu},
            {"collectionBegin", time},
            {"collectionEnd", time},
            {"finalizationBegin", time},
            {"finalizationEnd", time}}},
          {"collectorData", json::array()}}},
        {{"list", "p"}, {{"group", ""}, {"members", json::array()}}},
        {{"diff", "p/r000", "p/r001"},
         {{"first", node}, {"second", node}, {"differences", json::object()}}},
        {{"finalize", "p/r000"}, {{"path", ""}, {"finalized", true}, {"finalizationEnd", time}}},
        {{"export", "p/r000", "out/r@@@"}, {{"path", ""}}},
        {{"copy", "p/r000", "c"}, {{"path", ""}}},
        {{"move", "c", "m"}, {{"path", ""}}},
        {{"link", "m", "p/e"}, {{"path", ""}, {"linked", true}, {"linkFile", ""}}},
        {{"unlink", "m"}, {{"path", ""}, {"linked", false}}},
        {{"invalidate", "p/r001"}, {{"path", ""}}},
        {{"rm", "m"}, {{"removed", json::array()}, {"dryRun", false}}},
        {{"prune", "p", "--keep", "2"},
         {{"group", ""},
          {"removed", json::array()},
          {"kept", json::array()},
          {"failed", json::array()},
          {"dryRun", false}}},
        {{"flag", "add", "p/r000", "f", "--", "true"},
         {{"flag", ""}, {"held", true}, {"holder", holder}}},
        {{"flag", "who", "p/r000", "f"}, {{"flag", ""}, {"state", ""}, {"held", false}}},
        {{"flag", "own", "p/r000", "f"}, {{"flag", ""}, {"state", ""}}},
        {{"sysinfo"}, {{"host", ""}, {"cpu", cpu}, {"isa", {{"maxVectorBits", 0}}}}},
        {{"doctor"}, {{"root", ""}, {"findings", json::array()}, {"left", 0}}},
    };
    // Whether `value` has every key of `form`, each of the same JSON type, recursively.
    const std::function<bool(const json&, const json&)> fits = [&](const json& value,
                                                                   const json& form) {
        if (form.is_object()) {
            if (!value.is_object()) return false;
            for (const auto& [key, inner] : form.items())
                if (!value.contains(key) || !fits(value[key], inner)) return false;
            return true;
        }
        if (form.is_number()) return value.is_number();
        return value.type() == form.type();
    };
    for (const auto& [args, form] : cases) {
        std::vector<std::string> withJson{"--json"};
        withJson.insert(withJson.end(), args.begin(), args.end());
        const Outcome run = talvo(d, withJson);
        EXPECT_EQ(run.status, 0) << args[0] << ": " << run;
        ASSERT_TRUE(json::accept(run.out)) << args[0] << ": " << run;
        EXPECT_TRUE(fits(json::parse(run.out), form)) << args[0] << ": " << run.out;
    }
    const Outcome failed = talvo(d, {"--json", "flag", "clear", "p/r000", "nosuch"});
    EXPECT_EQ(failed.status, 3);
    EXPECT_EQ(failed.out, "");
    const json error = json::parse(failed.err)["error"];
    EXPECT_EQ(error["status"], 3);
    EXPECT_EQ(error["code"], "NotFound");
    EXPECT_TRUE(error["message"].is_string());
}

// Creating: --base must be there, {hostname} stands alone, experiments never nest; what lists
// and shows is the folder's name, long names are cut, -q keeps quiet, finalize records its time.
TEST(TalvoCli, CreateListAndShowAsAUserExpects) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, {"project", "create", "p"}).status, 0);
    ASSERT_EQ(talvo(d, {"experiment", "create", "e", "--base", "p"}).status, 0);
    EXPECT_EQ(talvo(d, {"experiment", "create", "inner", "--base", "p/e"}).status, 2);
    EXPECT_EQ(talvo(d, {"experiment", "create", "p/e/inner"}).status, 2);
    const Outcome host = talvo(d, {"create", "p/{hostname}-@@"});
    EXPECT_EQ(host.status, 0) << host;
    EXPECT_EQ(host.out.find("{hostname}"), std::string::npos) << host;
    EXPECT_EQ(talvo(d, {"-q", "create", "--literal", "p/r000"}).out, "");
    ASSERT_EQ(talvo(d, {"copy", "p/r000", "p/copy"}).status, 0);
    const std::string longName(60, 'x');
    ASSERT_EQ(talvo(d, {"create", "--literal", "p/" + longName}).status, 0);
    // The copy keeps r000's marker name, which the group lists once: the other is warned of.
    const Outcome listed = talvo(d, {"list", "p"});
    EXPECT_EQ(listed.status, 8) << listed;
    EXPECT_NE(listed.err.find("/copy: a node the group does not list"), std::string::npos);
    EXPECT_EQ(listed.out.find(longName), std::string::npos) << listed;
    EXPECT_NE(listed.out.find("~"), std::string::npos) << listed;
    ASSERT_EQ(talvo(d, {"finalize", "p/r000"}).status, 0);
    const Outcome info = talvo(d, {"info", "p/r000"});
    EXPECT_NE(info.out.find("os:"), std::string::npos);
    EXPECT_EQ(info.out.find("Linux*"), std::string::npos) << info;
    EXPECT_NE(info.out.find("mpi rank:      -"), std::string::npos) << info;
    EXPECT_EQ(info.out.find("finalization:  - .."), std::string::npos) << info;
    EXPECT_NE(talvo(d, {"sysinfo"}).out.find("mpi rank:"), std::string::npos);
}

}  // namespace
