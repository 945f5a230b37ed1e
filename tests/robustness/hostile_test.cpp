// A hostile neighbour: an unprivileged user fills a shared folder with forged files and with traps
// at every name the library reads or writes (hostile_traps.cpp). Then victims, root and another
// unprivileged user, run every talvo command and the library's operations over it, each in a
// process of its own under a time and memory limit. Nothing outside the shared folder may change,
// nothing may hang or crash, and every refusal is a clear message.
//
// Short form: the traps are planted once per victim and the operations run in turn, removals
// last. TALVO2_HOSTILE_LONG=1 plants them afresh before every single operation, so that each one
// meets all of them. One line per victim reports the figures:
//   hostile-neighbour: VICTIM runs=N hangs=N crashes=N unclear=N changed=N max_rss_kib=N

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <thread>

#include "robustness/hostile_traps.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's shadow memory needs a huge address space and inflates every figure.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// Each operation's limits: far above what it needs, far below what reading a trap whole costs.
constexpr auto kTimeLimit = 60s;
constexpr long kMaxRssKiB = kSanitized ? 1L << 20 : 256L << 10;
constexpr rlim_t kAddressSpace = rlim_t{2} << 30;

struct Victim {
    const char* name;
    unsigned uid;
    unsigned gid;
};

struct Outcome {
    bool hung = false;
    int signal = 0;  // what ended the process, when not a normal exit
    int status = 0;
    long maxRssKiB = 0;
    std::string err;
};

// Runs `body` in a child that becomes `victim`, under the limits; its standard error is kept.
Outcome runLimited(const Victim& victim, const std::function<void()>& body) {
    FILE* errors = std::tmpfile();
    const pid_t child = test::startChild([&] {
        ::dup2(::fileno(errors), STDERR_FILENO);
        const gid_t groups[] = {victim.gid};
        ::umask(022);
        if (victim.uid != 0 &&
            (::setgroups(1, groups) != 0 || ::setgid(victim.gid) != 0 || ::setuid(victim.uid) != 0))
            ::_exit(125);
        if (!kSanitized) {
            const rlimit space{kAddressSpace, kAddressSpace};
            ::setrlimit(RLIMIT_AS, &space);
        }
        body();
    });
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            outcome.hung = true;
            ::kill(child, SIGKILL);
            ::wait4(child, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    outcome.maxRssKiB = usage.ru_maxrss;
    if (WIFSIGNALED(status) && !outcome.hung) outcome.signal = WTERMSIG(status);
    if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    std::rewind(errors);
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, errors)) > 0;)
        outcome.err.append(chunk, got);
    std::fclose(errors);
    return outcome;
}

// The nodes the victims' operations name, relative to the shared folder.
const std::vector<std::string> kNodes = {"r000",
                                         "r001",
                                         "r002",
                                         "r003",
                                         "r004",
                                         "r005",
                                         "r006",
                                         "r007",
                                         "r008",
                                         "r009",
                                         "r010",
                                         "r011",
                                         "P",
                                         "E",
                                         "P/r000",
                                         "P/r001",
                                         "P/r002",
                                         "P/l0.talvolink",
                                         "P/l1.talvolink",
                                         "P/l2.talvolink",
                                         "P/l3.talvoprojlink",
                                         "P/l4.talvolink",
                                         "E/l5.talvolink",
                                         "P/s.talvolink",
                                         "P/d.talvolink",
                                         "P/h.talvolink",
                                         "P/u.talvolink",
                                         "P/deep.talvolink",
                                         "P/f.talvolink"};
// Flags with traps at their files, by node.
const std::vector<std::pair<std::string, std::string>> kFlags = {
    {"r001", "busy"},  {"r001", "held"}, {"r001", "held2"}, {"r001", "fifo"},
    {"r001", "fifo2"}, {"r002", "huge"}, {"r002", "bad"},   {"r002", "deep"}};

using Args = std::vector<std::string>;

// Every talvo command over the traps: looking first, then changing, removing last.
std::vector<Args> commands() {
    std::vector<Args> all = {{"list", "."},
                             {"list", "P"},
                             {"list", "E"},
                             {"--json", "list", "P"},
                             {"diff", "r000", "r001"},
                             {"project", "open", "P"},
                             {"sysinfo"}};
    for (const std::string& node : kNodes) all.push_back({"--json", "info", node});
    for (const auto& [node, flag] : kFlags) {
        all.push_back({"flag", "who", node, flag});
        all.push_back({"flag", "own", node, flag});
        all.push_back({"flag", "add", node, flag, "--", "true"});
        all.push_back({"flag", "add", "--take-over", node, flag, "--", "true"});
        all.push_back({"flag", "clear", "--force", node, flag});
    }
    const std::vector<Args> changes = {{"finalize", "r001"},
                                       {"invalidate", "r002"},
                                       {"finalize", "r006"},
                                       {"create", "r@@@"},
                                       {"create", "--base", "E", "x@@@"},
                                       {"project", "create", "P"},
                                       {"experiment", "create", "E"},
                                       {"copy", "r001", "cp1"},
                                       {"copy", "--rename-marker", "r005", "cp2"},
                                       {"copy", "P/r000", "cp3"},
                                       {"export", "r001", "ex@@@"},
                                       {"export", "r004", "ex@@@"},
                                       {"move", "r007", "mv1"},
                                       {"move", "P/r001", "mv2"},
                                       {"create", "--overwrite", "--literal", "r009"}};
    all.insert(all.end(), changes.begin(), changes.end());
    for (const std::string& node : kNodes)
        if (node.find("talvo") != std::string::npos) all.push_back({"rm", node});
    const std::vector<Args> removals = {{"rm", "r003/r003.talvo"},
                                        {"rm", "r003"},
                                        {"rm", "r010"},
                                        {"rm", "r001"},
                                        {"rm", "P/r000"},
                                        {"prune", "P", "--keep", "0"},
                                        {"prune", "E", "--keep", "0"},
                                        {"prune", ".", "--keep", "0"},
                                        {"rm", "--force", "P"},
                                        {"rm", "--force", "E"}};
    all.insert(all.end(), removals.begin(), removals.end());
    return all;
}

sptr_t<INode> openAny(const std::wstring& path) {
    if (IProject::probe(path.c_str())) return IProject::open(path.c_str(), nullptr);
    if (IExperiment::probe(path.c_str())) return IExperiment::open(path.c_str(), nullptr);
    return ResultDirectoryManager::open(path.c_str(), false, nullptr);
}

void drain(const sptr_t<IPathIterator>& paths) {
    if (paths)
        while (paths->next()) {
        }
}

// Everything a front end does to look at a node, then saving it.
void lookAt(const sptr_t<INode>& node) {
    if (!node) return;
    node->getSize();
    node->getFilesCount();
    node->getParent();
    node->getProject();
    node->isMissing();
    node->getLinkFilePath();
    if (const sptr_t<INodeGroup> group = node->getNodeGroup()) {
        drain(group->getMemberPaths());
        for (auto it = group->getNodes(nullptr, 0); !it.at_end(); ++it) {
            if (const sptr_t<INode> member = it.current()) member->getSize();
        }
    }
    if (const sptr_t<IResultDirectory> result = IResultDirectory::cast(node)) {
        drain(result->getCollectorDataDirectories());
        drain(result->getResultFiles(nullptr));
        result->getApplicationLog();
        if (const auto search = result->getSearchDirectories()) search->getStorage();
        IResultDirectory::generateCollectorDataDirName(result->getPath());
    }
    node->save();
}

using Operation = std::pair<std::string, std::function<void(const fs::path&)>>;

// The library's operations over the traps, in the same order.
std::vector<Operation> operations() {
    std::vector<Operation> all;
    const auto at = [](const fs::path& shared, const std::string& name) {
        return (shared / name).wstring();
    };
    for (const std::string& node : kNodes)
        all.push_back({"open " + node, [=](const fs::path& s) { lookAt(openAny(at(s, node))); }});
    all.push_back({"findProjects", [=](const fs::path& s) {
                       drain(INodeGroup::findProjects(s.wstring().c_str()));
                   }});
    for (const auto& [node, flag] : kFlags) {
        all.push_back({"flags " + node + " " + flag, [=](const fs::path& s) {
                           const sptr_t<INode> n = openAny(at(s, node));
                           if (!n) return;
                           const std::wstring name(flag.begin(), flag.end());
                           sptr_t<IFlagData> holder;
                           n->ownFlag(name.c_str());
                           n->addFlag(name.c_str(), holder, false, false);
                           n->addFlag(name.c_str(), holder, true, true);
                           n->removeFlag(name.c_str(), false);
                           n->setFlag(name.c_str());
                           n->clearFlag(name.c_str(), true);
                           n->removeFlag(name.c_str(), true);
                       }});
    }
    for (const char* node : {"r004", "r005", "r007", "r009"}) {
        all.push_back({std::string("search directories ") + node, [=](const fs::path& s) {
                           const auto search = ISearchDirectories::create(at(s, node).c_str());
                           if (!search || !search->getStorage()) return;
                           search->getStorage()->setValue(L"x", corekit2::variant_t(L"y"));
                           search->save();
                       }});
    }
    const auto result = [=](const fs::path& s, const char* node) {
        return ResultDirectoryManager::open(at(s, node).c_str(), false, nullptr);
    };
    all.push_back({"finish r001", [=](const fs::path& s) {
                       if (const auto r = result(s, "r001")) {
                           r->setFinalized(true);
                           r->createCollectorDataDir();
                           // "log" is a link out of the result: no place to write logs.
                           EXPECT_EQ(r->getSubdir(STANDARD_DIR_LOG), nullptr);
                           EXPECT_EQ(r->getSubdir(L"log/x"), nullptr);
                       }
                   }});
    all.push_back({"invalidate r002", [=](const fs::path& s) {
                       if (const auto r = result(s, "r002")) r->setInvalid();
                   }});
    all.push_back({"copy export duplicate r001", [=](const fs::path& s) {
                       if (const auto r = result(s, "r001")) {
                           r->duplicate(at(s, "dup").c_str());
                           r->exportTo(at(s, "ex@@@").c_str(), nullptr);
                           r->copy(at(s, "cp").c_str(), true, nullptr);
                       }
                   }});
    all.push_back({"move r004 and P/r001", [=](const fs::path& s) {
                       if (const auto r = result(s, "r004"))
                           r->move(at(s, "mv").c_str(), true, nullptr);
                       if (const auto r = result(s, "P/r001"))
                           r->move(at(s, "mv2").c_str(), false, nullptr);
                   }});
    all.push_back({"setParent r000", [=](const fs::path& s) {
                       if (const auto r = result(s, "r000")) r->setParent(at(s, "P").c_str());
                   }});
    for (const std::string& node : kNodes) {
        all.push_back({"remove " + node, [=](const fs::path& s) {
                           if (const sptr_t<INode> n = openAny(at(s, node))) n->remove();
                       }});
    }
    for (const char* group : {"P", "E", "."}) {
        all.push_back({std::string("removeNodes ") + group, [=](const fs::path& s) {
                           if (const auto g = INodeGroup::open(at(s, group).c_str()))
                               g->removeNodes(nullptr, 0);
                       }});
    }
    return all;
}

// What makes a refusal clear: the tool's own prefix and words, and a documented status.
// A documented status, and words: a "talvo: " line, or under --json an error document (or, for
// damaged entries, the answer's own "warnings" on standard output, which is not kept here).
bool clearRefusal(const Outcome& run) {
    const std::string& err = run.err;
    const bool documented = run.status == 1 || (run.status >= 3 && run.status <= 8);
    const bool said = err.rfind("talvo: ", 0) == 0 ||
                      err.find("\"message\"") != std::string::npos ||
                      (run.status == 8 && err.empty());
    return documented && said && err.find("nknown error") == std::string::npos;
}

// The entries that differ between two snapshots, one per line.
std::string differences(const std::map<std::string, std::string>& before,
                        const std::map<std::string, std::string>& after) {
    std::string text;
    for (const auto& [path, entry] : after) {
        const auto was = before.find(path);
        if (was == before.end())
            text += "\n  new: " + path;
        else if (was->second != entry)
            text += "\n  changed: " + path;
    }
    for (const auto& [path, entry] : before)
        if (!after.count(path)) text += "\n  gone: " + path;
    return text;
}

struct Figures {
    int runs = 0;
    int hangs = 0;
    int crashes = 0;
    int unclear = 0;
    int changed = 0;
    long maxRssKiB = 0;
};

class HostileNeighbour : public ::testing::TestWithParam<Victim> {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as attacker and victims";
        canary = dir.path() / "canary";
        test::makeCanary(canary);
        before = test::snapshot(canary);
        plant();
    }

    // A fresh shared folder, trapped by the attacker.
    void plant() {
        const fs::path shared = dir.path() / ("shared" + std::to_string(plants++));
        fs::create_directories(shared);
        ::chmod(shared.c_str(), 0777);
        ASSERT_EQ(test::runAsUser(test::kMallory, test::kMallory,
                                  [&] { test::plantTraps(shared, canary); }),
                  0);
        current = shared;
    }

    // One operation as the victim, with everything checked after it.
    void check(const std::string& what, const Outcome& run, bool cli) {
        ++figures.runs;
        figures.maxRssKiB = std::max(figures.maxRssKiB, run.maxRssKiB);
        if (run.hung) ++figures.hangs;
        if (run.signal != 0 || run.status == 125) ++figures.crashes;
        if (cli && run.status != 0 && !clearRefusal(run)) ++figures.unclear;
        const auto after = test::snapshot(canary);
        const bool same = after == before;
        if (!same) ++figures.changed;
        EXPECT_FALSE(run.hung) << what << " did not end within the time limit";
        EXPECT_EQ(run.signal, 0) << what << " died";
        EXPECT_LE(run.maxRssKiB, kMaxRssKiB) << what;
        if (cli && run.status != 0) {
            EXPECT_TRUE(clearRefusal(run)) << what << ": status " << run.status << ": " << run.err;
        }
        if (!cli) {
            EXPECT_EQ(run.status, 0) << what << ": " << run.err;
        }
        ASSERT_TRUE(same) << what << " changed the victim's files: " << differences(before, after);
    }

    void runAll() {
        const bool longForm = std::getenv("TALVO2_HOSTILE_LONG") != nullptr;
        const Victim victim = GetParam();
        for (const Args& args : commands()) {
            if (longForm) plant();
            std::string what = "talvo";
            for (const std::string& arg : args) what += " " + arg;
            const fs::path cwd = current;
            check(what,
                  runLimited(victim,
                             [&] {
                                 std::vector<char*> argv{const_cast<char*>(TALVO2_CLI)};
                                 for (const std::string& arg : args)
                                     argv.push_back(const_cast<char*>(arg.c_str()));
                                 argv.push_back(nullptr);
                                 if (::chdir(cwd.c_str()) != 0) ::_exit(125);
                                 const int null = ::open("/dev/null", O_WRONLY);
                                 ::dup2(null, STDOUT_FILENO);
                                 ::execv(TALVO2_CLI, argv.data());
                                 ::_exit(125);
                             }),
                  true);
            if (HasFatalFailure()) return;
        }
        if (!longForm) plant();
        for (const Operation& operation : operations()) {
            if (longForm) plant();
            const fs::path shared = current;
            check(operation.first, runLimited(victim, [&] { operation.second(shared); }), false);
            if (HasFatalFailure()) return;
        }
    }

    test::TempDir dir;
    fs::path canary;
    fs::path current;
    int plants = 0;
    std::map<std::string, std::string> before;
    Figures figures;
};

TEST_P(HostileNeighbour, LeavesEverythingOutsideTheSharedFolderAlone) {
    runAll();
    std::cout << "hostile-neighbour: " << GetParam().name << " runs=" << figures.runs
              << " hangs=" << figures.hangs << " crashes=" << figures.crashes
              << " unclear=" << figures.unclear << " changed=" << figures.changed
              << " max_rss_kib=" << figures.maxRssKiB << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Victims, HostileNeighbour,
                         ::testing::Values(Victim{"root", 0, 0},
                                           Victim{"alice", test::kAlice, test::kSharedGroup}),
                         [](const auto& victim) { return std::string(victim.param.name); });

}  // namespace
}  // namespace talvo2
