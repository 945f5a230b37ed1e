// A hostile neighbour: an unprivileged user fills a shared folder with forged files and with traps
// at every name the library reads or writes. Then victims, root and another unprivileged user,
// run every talvo command and the library's operations over it, each in a process of its own
// under a time and memory limit. Nothing outside the shared folder may change, nothing may hang or
// crash, and every refusal is a clear message.
//
// Short form: the traps are planted once per victim and the operations run in turn, removals
// last. TALVO2_HOSTILE_LONG=1 plants them afresh before every single operation, so that each one
// meets all of them. One line per victim reports the figures:
//   hostile-neighbour: VICTIM runs=N hangs=N crashes=N unclear=N changed=N max_rss_kib=N

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include "corekit2/bag_file.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using namespace std::chrono_literals;
using corekit2::variant_bag_t;
using corekit2::variant_t;

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
// The attacker: an unprivileged user of their own group.
constexpr unsigned kMallory = 60003;

void makeResult(const fs::path& path) {
    ASSERT_TRUE(test::createResult(path.wstring())) << path;
}

// The attacker's traps in the shared folder, as "PATH KIND [PLACE]", PLACE in the victim's tree or
// "/". "forge:KEY" puts KEY = PLACE into a marker's "talvo" section, as a text editor would; "link"
// writes a link file naming PLACE; "symlink" a symbolic link to it; "pipe", "huge" (8 GiB that
// cost nothing on disk: whoever reads it whole has lost), "deep" (XML nested 100,000 levels),
// "unterminated" (XML cut short) and "empty" make a file of that kind.
const char* const kTraps[] = {
    // Markers whose paths point at the victim's tree.
    "P/r000/r000.talvo forge:backlink important.txt",
    "P/r000/r000.talvo forge:applicationLog important.txt",
    "P/r001/r001.talvo forge:backlink proj/r000.talvolink", "P/r002/r002.talvo forge:backlink /",
    "P/P.talvoproj forge:outputDirectory work", "E/E.talvoexp forge:outputDirectory /",
    "r000/r000.talvo forge:backlink work", "r000/r000.talvo forge:collectorLog /",
    // Link files naming the victim's nodes and folders and the root; links to them, a huge one,
    // broken ones and a pipe.
    "P/l0.talvolink link work/res/res.talvo", "P/l1.talvolink link /",
    "P/l2.talvolink link work/a.talvo", "P/l3.talvoprojlink link proj/proj.talvoproj",
    "P/l4.talvolink link out/r000/r000.talvo", "E/l5.talvolink link alice/mine/mine.talvo",
    "P/s.talvolink symlink proj/r000.talvolink", "P/d.talvolink symlink work", "P/h.talvolink huge",
    "P/u.talvolink unterminated", "P/deep.talvolink deep", "P/f.talvolink pipe",
    // r001: links and pipes at every name a flag, a finished mark and collector data use.
    "r001/busy.dflgtalvo symlink important.txt", "r001/held.infotalvo symlink important.txt",
    "r001/held2.dflgtalvo empty", "r001/held2.infotalvo symlink important.txt",
    "r001/fifo.dflgtalvo pipe", "r001/fifo2.dflgtalvo empty", "r001/fifo2.infotalvo pipe",
    "r001/.norun symlink important.txt", "r001/data.0 symlink work", "r001/data.1 symlink alice",
    "r001/log symlink work", "r001/.r001.talvo.1.0.0.tmp symlink important.txt",
    // r002: an invalid mark through a link, huge and broken owner records.
    "r002/.bad symlink important.txt", "r002/huge.dflgtalvo empty", "r002/bad.dflgtalvo empty",
    "r002/deep.dflgtalvo empty", "r002/huge.infotalvo huge", "r002/bad.infotalvo unterminated",
    "r002/deep.infotalvo deep",
    // Markers and configuration files that are links, pipes, huge or broken.
    "r003/r003.talvo symlink work/res/res.talvo",
    "r004/config/search_dir.cfg symlink important.txt", "r005/config symlink work",
    "r006/r006.talvo pipe", "r007/config/search_dir.cfg pipe", "r008/r008.talvo huge",
    "r009/config/search_dir.cfg huge", "r010/r010.talvo deep", "r011/r011.talvo unterminated"};

void plant(const fs::path& S, const fs::path& C, const std::string& trap) {
    std::istringstream words(trap);
    std::string path, kind, place;
    words >> path >> kind >> place;
    const fs::path at = S / path, target = place == "/" ? fs::path("/") : C / place;
    fs::create_directories(at.parent_path());
    boost::system::error_code ignored;
    variant_bag_t bag;
    if (kind.rfind("forge:", 0) == 0) {
        ASSERT_EQ(corekit2::load_variant_bag(bag, at.wstring().c_str(), ""), corekit2::BAG_OK);
        bag.get<variant_bag_t>(L"talvo")->put(fs::path(kind.substr(6)).wstring().c_str(),
                                              variant_t(target.wstring().c_str()));
        ASSERT_EQ(corekit2::save_variant_bag(bag, at.wstring().c_str()), corekit2::BAG_OK);
    } else if (kind == "link") {
        bag.put(L"link", variant_t(target.wstring().c_str()));
        bag.put(L"md5sum", variant_t(L"0123456789abcdef0123456789abcdef"));
        ASSERT_EQ(corekit2::save_variant_bag2(bag, at.wstring().c_str(), "bag"), corekit2::BAG_OK);
    } else if (kind == "symlink" || kind == "pipe") {
        fs::remove(at, ignored);
        ASSERT_EQ(
            kind == "pipe" ? ::mkfifo(at.c_str(), 0666) : ::symlink(target.c_str(), at.c_str()), 0)
            << at;
    } else if (kind == "huge") {
        test::writeFile(at, "");
        ASSERT_EQ(::truncate(at.c_str(), off_t{8} << 30), 0) << at;
    } else {
        std::string text = "<?xml version=\"1.0\"?><variant_bag version=\"1\">";
        if (kind == "unterminated") text += "<bag key=\"";
        for (int i = 0; kind == "deep" && i < 100000; ++i) text += "<bag key=\"a\">";
        if (kind == "deep") text += std::string(100000, ' ') + "</variant_bag>";
        test::writeFile(at, kind == "empty" ? "" : text);
    }
}

// Flags with traps at their files, by node.
const std::pair<std::string, std::string> kFlags[] = {
    {"r001", "busy"},  {"r001", "held"}, {"r001", "held2"}, {"r001", "fifo"},
    {"r001", "fifo2"}, {"r002", "huge"}, {"r002", "bad"},   {"r002", "deep"}};

// The nodes the victims' operations name, relative to the shared folder.
std::vector<std::string> nodes() {
    std::vector<std::string> all;
    for (int i = 0; i < 12; ++i) all.push_back((i < 10 ? "r00" : "r0") + std::to_string(i));
    for (const char* node : {"P", "E", "P/r000", "P/r001", "P/r002"}) all.push_back(node);
    for (const std::string trap : kTraps) {
        const fs::path path = trap.substr(0, trap.find(' '));  // link files, whatever they are
        if (path.extension().string().find("link") != std::string::npos)
            all.push_back(path.string());
    }
    return all;
}

// The victim's tree, made as root: loose files, a result, a project whose member is linked in
// from elsewhere, and a folder of kAlice's with a result of hers.
void makeCanary(const fs::path& canary) {
    fs::create_directories(canary / "work");
    test::writeFile(canary / "important.txt", "precious");
    test::writeFile(canary / "work/notes.txt", "mine");
    makeResult(canary / "work/res");
    {
        const auto project = IProject::create((canary / "proj").wstring().c_str(), nullptr, false);
        ASSERT_TRUE(project);
        project->getNodeGroup()->setOutputDirectory((canary / "out").wstring().c_str());
        ASSERT_TRUE(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr));
    }
    fs::create_directories(canary / "alice");
    ASSERT_EQ(::chown((canary / "alice").c_str(), test::kAlice, test::kSharedGroup), 0);
    ASSERT_EQ(test::runAsUser(test::kAlice, test::kSharedGroup,
                              [&] { makeResult(canary / "alice/mine"); }),
              0);
}

// Fills the shared folder S with well-formed nodes (a project P with three members, an experiment
// E, results r000 to r011), then forges and traps them, naming places in the victim's tree C. Run
// as the attacker.
void plantTraps(const fs::path& S, const fs::path& C) {
    {
        const auto project = IProject::create((S / "P").wstring().c_str(), nullptr, false);
        ASSERT_TRUE(project);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr));
        ASSERT_TRUE(IExperiment::create((S / "E").wstring().c_str(), nullptr));
        for (int i = 0; i < 12; ++i) makeResult(S / "r@@@");
    }
    for (const char* trap : kTraps) plant(S, C, trap);
    // Everything writable by all, so that every victim's operations get as far as the attacker
    // can let them.
    ::chmod(S.c_str(), 0777);
    for (fs::recursive_directory_iterator it(S), end; it != end; ++it) {
        const fs::file_status status = it->symlink_status();
        if (fs::is_directory(status) || fs::is_regular_file(status))
            ::chmod(it->path().c_str(), fs::is_directory(status) ? 0777 : 0666);
    }
}

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
    const pid_t child = test::startAsUser(victim.uid, victim.gid, [&] {
        ::dup2(::fileno(errors), STDERR_FILENO);
        const rlimit space{kAddressSpace, kAddressSpace};
        if (!kSanitized) ::setrlimit(RLIMIT_AS, &space);
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

sptr_t<INode> openAny(const fs::path& path) {
    const std::wstring at = path.wstring();
    if (IProject::probe(at.c_str())) return IProject::open(at.c_str(), nullptr);
    if (IExperiment::probe(at.c_str())) return IExperiment::open(at.c_str(), nullptr);
    return ResultDirectoryManager::open(at.c_str(), false, nullptr);
}
sptr_t<IResultDirectory> openResult(const fs::path& path) {
    return ResultDirectoryManager::open(path.wstring().c_str(), false, nullptr);
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
        for (auto it = group->getNodes(nullptr, 0); !it.at_end(); ++it)
            if (const sptr_t<INode> member = it.current()) member->getSize();
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

// Every talvo command over the traps: looking first, then changing, removing last.
std::vector<std::string> commands() {
    std::vector<std::string> all = {"list .",         "list P",         "list E", "--json list P",
                                    "diff r000 r001", "project open P", "sysinfo"};
    for (const std::string& node : nodes()) all.push_back("--json info " + node);
    for (const auto& [node, flag] : kFlags) {
        for (std::string form : {"flag who %", "flag own %", "flag add % -- true",
                                 "flag add --take-over % -- true", "flag clear --force %"})
            all.push_back(form.replace(form.find('%'), 1, node + " " + flag));
    }
    all.insert(all.end(), {"finalize r001", "invalidate r002", "finalize r006", "create r@@@",
                           "create --base E x@@@", "project create P", "experiment create E",
                           "copy r001 cp1", "copy --rename-marker r005 cp2", "copy P/r000 cp3",
                           "export r001 ex@@@", "export r004 ex@@@", "move r007 mv1",
                           "move P/r001 mv2", "create --overwrite --literal r009"});
    for (const std::string& node : nodes())
        if (node.find("talvo") != std::string::npos) all.push_back("rm " + node);
    all.insert(all.end(), {"rm r003/r003.talvo", "rm r003", "rm r010", "rm r001", "rm P/r000",
                           "prune P --keep 0", "prune E --keep 0", "prune . --keep 0",
                           "rm --force P", "rm --force E"});
    return all;
}

// Runs talvo with the words of `command` in the shared folder, its output discarded.
void talvo(const std::string& command, const fs::path& shared) {
    std::istringstream words(command);
    std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::vector<char*> argv{const_cast<char*>(TALVO2_CLI)};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::chdir(shared.c_str()) != 0) ::_exit(125);
    ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
    ::execv(TALVO2_CLI, argv.data());
    ::_exit(125);
}

struct Step {
    std::string what;
    bool cli;  // a talvo command, else one of the library's operations
    std::function<void(const fs::path& shared)> body;
};

// The talvo commands, then the library's operations over the traps, in the same order.
std::vector<Step> steps() {
    std::vector<Step> all;
    for (const std::string& command : commands())
        all.push_back({"talvo " + command, true, [=](const fs::path& s) { talvo(command, s); }});
    const auto add = [&](const std::string& what, std::function<void(const fs::path&)> body) {
        all.push_back({what, false, std::move(body)});
    };
    for (const std::string& node : nodes())
        add("open " + node, [=](const fs::path& s) { lookAt(openAny(s / node)); });
    add("findProjects",
        [](const fs::path& s) { drain(INodeGroup::findProjects(s.wstring().c_str())); });
    for (const auto& [node, flag] : kFlags) {
        add("flags " + node + " " + flag, [node = node, flag = flag](const fs::path& s) {
            const sptr_t<INode> n = openAny(s / node);
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
        });
    }
    for (const std::string node : {"r004", "r005", "r007", "r009"}) {
        add("search directories " + node, [=](const fs::path& s) {
            const auto search = ISearchDirectories::create((s / node).wstring().c_str());
            if (!search || !search->getStorage()) return;
            search->getStorage()->setValue(L"x", variant_t(L"y"));
            search->save();
        });
    }
    add("finish r001", [](const fs::path& s) {
        if (const auto r = openResult(s / "r001")) {
            r->setFinalized(true);
            r->createCollectorDataDir();
            // "log" is a link out of the result: no place to write logs.
            EXPECT_EQ(r->getSubdir(STANDARD_DIR_LOG), nullptr);
            EXPECT_EQ(r->getSubdir(L"log/x"), nullptr);
        }
    });
    add("invalidate r002", [](const fs::path& s) {
        if (const auto r = openResult(s / "r002")) r->setInvalid();
    });
    add("copy export duplicate r001", [](const fs::path& s) {
        if (const auto r = openResult(s / "r001")) {
            r->duplicate((s / "dup").wstring().c_str());
            r->exportTo((s / "ex@@@").wstring().c_str(), nullptr);
            r->copy((s / "cp").wstring().c_str(), true, nullptr);
        }
    });
    add("move r004 and P/r001", [](const fs::path& s) {
        if (const auto r = openResult(s / "r004"))
            r->move((s / "mv").wstring().c_str(), true, nullptr);
        if (const auto r = openResult(s / "P/r001"))
            r->move((s / "mv2").wstring().c_str(), false, nullptr);
    });
    add("setParent r000", [](const fs::path& s) {
        if (const auto r = openResult(s / "r000")) r->setParent((s / "P").wstring().c_str());
    });
    for (const std::string& node : nodes()) {
        add("remove " + node, [=](const fs::path& s) {
            if (const sptr_t<INode> n = openAny(s / node)) n->remove();
        });
    }
    for (const std::string group : {"P", "E", "."}) {
        add("removeNodes " + group, [=](const fs::path& s) {
            if (const auto g = INodeGroup::open((s / group).wstring().c_str()))
                g->removeNodes(nullptr, 0);
        });
    }
    return all;
}

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
    for (const auto& [path, entry] : after)
        if (!before.count(path) || before.at(path) != entry)
            text += (before.count(path) ? "\n  changed: " : "\n  new: ") + path;
    for (const auto& [path, entry] : before)
        if (!after.count(path)) text += "\n  gone: " + path;
    return text;
}

class HostileNeighbour : public ::testing::TestWithParam<Victim> {
protected:
    // A fresh shared folder, trapped by the attacker.
    void plant() {
        current = dir.path() / ("shared" + std::to_string(plants++));
        fs::create_directories(current);
        ::chmod(current.c_str(), 0777);
        ASSERT_EQ(test::runAsUser(kMallory, kMallory, [&] { plantTraps(current, canary); }), 0);
    }

    // One operation as the victim, with everything checked after it.
    void check(const std::string& what, const Outcome& run, bool cli) {
        ++runs;
        maxRssKiB = std::max(maxRssKiB, run.maxRssKiB);
        hangs += run.hung;
        crashes += run.signal != 0 || run.status == 125;
        unclear += cli && run.status != 0 && !clearRefusal(run);
        const auto after = test::snapshot(canary);
        changed += after != before;
        EXPECT_FALSE(run.hung) << what << " did not end within the time limit";
        EXPECT_EQ(run.signal, 0) << what << " died";
        EXPECT_LE(run.maxRssKiB, kMaxRssKiB) << what;
        if (cli && run.status != 0) {
            EXPECT_TRUE(clearRefusal(run)) << what << ": status " << run.status << ": " << run.err;
        }
        if (!cli) {
            EXPECT_EQ(run.status, 0) << what << ": " << run.err;
        }
        ASSERT_TRUE(after == before)
            << what << " changed the victim's files: " << differences(before, after);
    }

    void runAll() {
        const bool longForm = std::getenv("TALVO2_HOSTILE_LONG") != nullptr;
        bool cli = true;
        for (const Step& step : steps()) {
            // Short form: fresh traps for the library's operations, after the commands.
            if (longForm || step.cli != cli) plant();
            cli = step.cli;
            check(step.what, runLimited(GetParam(), [&] { step.body(current); }), cli);
            if (HasFatalFailure()) return;
        }
    }

    test::TempDir dir;
    fs::path canary = dir.path() / "canary", current;
    std::map<std::string, std::string> before;
    int plants = 0, runs = 0, hangs = 0, crashes = 0, unclear = 0, changed = 0;
    long maxRssKiB = 0;
};

TEST_P(HostileNeighbour, LeavesEverythingOutsideTheSharedFolderAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as attacker and victims";
    makeCanary(canary);
    before = test::snapshot(canary);
    plant();
    if (!HasFatalFailure()) runAll();
    std::cout << "hostile-neighbour: " << GetParam().name << " runs=" << runs << " hangs=" << hangs
              << " crashes=" << crashes << " unclear=" << unclear << " changed=" << changed
              << " max_rss_kib=" << maxRssKiB << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Victims, HostileNeighbour,
                         ::testing::Values(Victim{"root", 0, 0},
                                           Victim{"alice", test::kAlice, test::kSharedGroup}),
                         [](const auto& victim) { return std::string(victim.param.name); });

}  // namespace
}  // namespace talvo2
