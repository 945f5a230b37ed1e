// End-to-end tests of the talvo tool: every case runs the installed binary in a child process, as
// scripts and people do, and reads its output and exit status back.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
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
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "util/test_util.hpp"

namespace {

namespace fs = boost::filesystem;
using nlohmann::json;
using talvo2::test::readFile;
using talvo2::test::TempDir;
using talvo2::test::writeFile;

struct Outcome {
    int status = -1;  // the exit status; 128 + the signal for a killed process
    std::string out, err;
};

std::ostream& operator<<(std::ostream& os, const Outcome& run) {
    return os << "status " << run.status << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

// Polls `condition` for up to 30 s.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 3000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// One run of the installed talvo in `cwd`; no shell sees the arguments. Leading words set the run
// up: "@nobody" runs it as an unprivileged user (root ignores permissions), NAME=VALUE goes to its
// environment. Its output goes to memory files, which the test can read at any time.
class Talvo {
public:
    Talvo(const fs::path& cwd, std::vector<std::string> args) {
        const char* binary = std::getenv("TALVO_BIN");
        if (!binary || !*binary) throw std::runtime_error("TALVO_BIN is unset; run through ctest");
        std::vector<std::string> env;
        bool nobody = false;
        for (; !args.empty() && (args[0] == "@nobody" || args[0].find('=') != std::string::npos);
             args.erase(args.begin()))
            args[0] == "@nobody" ? void(nobody = true) : env.push_back(args[0]);
        args.insert(args.begin(), binary);
        if (nobody && ::geteuid() == 0)
            args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups", "--"});
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (m_out < 0 || m_err < 0 || (m_pid = ::fork()) < 0)
            throw std::system_error(errno, std::generic_category(), "starting talvo");
        if (m_pid > 0) return;
        // The tool must see Ctrl-C as a user's shell would deliver it, whatever ctest ignores.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int s : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) ::signal(s, SIG_DFL);
        for (std::string& e : env) ::putenv(e.data());
        if (::dup2(m_out, 1) == 1 && ::dup2(m_err, 2) == 2 && ::chdir(cwd.c_str()) == 0)
            ::execv(argv[0], argv.data());
        ::_exit(126);
    }
    // SIGTERM reaches a held command too: talvo passes it on.
    ~Talvo() {
        if (m_pid > 0 && ::kill(m_pid, SIGTERM) == 0) ::waitpid(m_pid, nullptr, 0);
        ::close(m_out);
        ::close(m_err);
    }
    Talvo(const Talvo&) = delete;
    Talvo& operator=(const Talvo&) = delete;

    pid_t pid() const { return m_pid; }
    std::string out() const { return contents(m_out); }

    Outcome finish() {
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), contents(m_out),
                contents(m_err)};
    }

private:
    static std::string contents(int fd) {
        std::string text;
        char chunk[4096];
        for (ssize_t got; (got = ::pread(fd, chunk, sizeof chunk, text.size())) > 0;)
            text.append(chunk, static_cast<std::size_t>(got));
        return text;
    }
    pid_t m_pid = -1;
    int m_out = ::memfd_create("stdout", MFD_CLOEXEC);
    int m_err = ::memfd_create("stderr", MFD_CLOEXEC);
};

// The blank-separated words of `text`, "''" standing for an empty one.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string word; in >> word;) all.push_back(word == "''" ? "" : word);
    return all;
}

Outcome talvo(const fs::path& cwd, const std::string& args) {
    return Talvo(cwd, words(args)).finish();
}

// A talvo holding flag `busy` on `node` for a minute (or until SIGTERM), once it says it does.
std::unique_ptr<Talvo> holdBusy(const fs::path& cwd, const std::string& node) {
    auto holder =
        std::make_unique<Talvo>(cwd, words("--json flag add " + node + " busy -- sleep 60"));
    // The report is one pretty-printed object; its closing brace ends it.
    if (!eventually([&] { return holder->out().find("\n}\n") != std::string::npos; }))
        ADD_FAILURE() << "the holder never reported: " << holder->out();
    return holder;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Every case one invocation shows, in one folder. A row's arguments may start with setup commands
// ("setup ; setup ; checked"), which must succeed; `before` runs ahead of the checked one.
TEST(TalvoCli, StatusesAndMessages) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, "create --literal held").status, 0);
    const auto holder = holdBusy(d, "held");
    writeFile(d / "held/dead.dflgtalvo", "");
    writeFile(d / "held/dead.infotalvo", "");
    std::string twelve, demoMarker;
    for (int i = 0; i < 12; ++i) twelve += "-q create g/r@ ; ";
    // Results of exactly these many bytes: a marker and a pad.
    const auto sized = [&] {
        for (const auto& [name, total] : std::map<std::string, std::size_t>{
                 {"a", 1023}, {"b", 1024}, {"c", 1536}, {"d", 1048575}, {"e", 1048576}}) {
            ASSERT_EQ(talvo(d, "create --literal sz/" + name).status, 0);
            const std::size_t marker = fs::file_size(d / "sz" / name / (name + ".talvo"));
            ASSERT_LT(marker, total);
            writeFile(d / "sz" / name / "pad", std::string(total - marker, 'x'));
        }
    };
    const struct {
        std::string name, args;  // blank-separated; '' is an empty argument
        int status;
        std::string out, err;  // regular expressions searched for, <D> the folder; "": empty
        std::function<void()> before = nullptr;
    } rows[] = {
        {"numbers start at 0", "create", 0, "^<D>/r000\n$", ""},
        {"and count up", "create", 0, "^<D>/r001\n$", ""},
        {"--var after", "create run-{KIND}-@@ --var KIND=cpu", 0, "^<D>/run-cpu-00\n$", ""},
        // A greedy --var once swallowed the pattern that followed it.
        {"--var before", "create --var KIND=cpu run-{KIND}-@@", 0, "^<D>/run-cpu-01\n$", ""},
        {"--literal keeps an @", "create --literal lit@", 0, "^<D>/lit@\n$", ""},
        {"--overwrite replaces a result", "create --literal --overwrite lit@", 0, "^<D>/lit@\n$",
         "", [&] { writeFile(d / "lit@/junk", "x"); }},
        {"taken", "create --literal lit@", 4, "",
         "^talvo: create lit@: something of that name is already there\n$"},
        {"reserved", "create CON", 7, "", "^talvo: create CON: the name is a reserved device name"},
        // The command line parser words its own complaints.
        {"unknown command", "frobnicate", 2, "", "\\S"},
        {"unknown option", "list --no-such-option", 2, "", "\\S"},
        {"--var", "create r@@@ --var NOVALUE", 2, "",
         "^talvo: --var NOVALUE: expected NAME=VALUE\n$"},
        {"--help", "--help", 0, "Usage: talvo[\\s\\S]*Exit status", ""},
        {"--version", "--version", 0, "^talvo 2\\.0\\.0\\.1\n$", ""},
        {"nothing there", "info nothing", 3, "",
         "^talvo: nothing: no such result, project, experiment or flag"},
        {"a project", "project create proj", 0, "^<D>/proj\n$", ""},
        {"not a result", "finalize proj", 3, "", "^talvo: proj: not a result directory\n$"},
        {"an experiment", "experiment create exp --base proj", 0, "^<D>/proj/exp\n$", ""},
        {"experiments never nest", "experiment create in --base proj/exp", 2, "", "^talvo: "},
        {"nor by path", "experiment create proj/exp/in", 2, "", "^talvo: "},
        {"--base", "create --base nowhere x", 3, "",
         "^talvo: create: --base nowhere: no such folder\n$"},
        {"{hostname}", "create proj/{hostname}-@@", 0, "^<D>/proj/[^{}/]+-00\n$", ""},
        {"-q", "-q create --literal proj/r000", 0, "", ""},
        // A copy keeps its marker's name: the group lists one of the two and warns of the other.
        {"list cuts long names",
         "copy proj/r000 proj/copy ; create --literal proj/" + std::string(60, 'x') +
             " ; list proj",
         8, "\nresult +x{31}~ ", "warning: <D>/proj/copy: a node the group does not list"},
        {"one match", "diff proj/r@@@", 3, "",
         "^talvo: diff proj/r@@@: 1 result\\(s\\) match; a comparison needs two\n$"},
        {"info", "finalize proj/r000 ; info proj/r000", 0,
         "\nos: +linux\n[\\s\\S]*\nmpi rank:      -\n[\\s\\S]*\nfinalization:  \\d{4}-", ""},
        {"sysinfo", "sysinfo", 0, "\nmpi rank: ", ""},
        // Standard error is no terminal here: a transfer draws no progress on it.
        {"copy", "copy lit@ cp", 0, "^<D>/cp\n$", ""},
        {"move", "move cp mv", 0, "^<D>/mv\n$", ""},
        // Refusals over the flag `held` holds, and others; each names the holder or the cause.
        {"held", "flag add held busy", 5, "",
         "^talvo: flag add busy: held by \\S+@\\S+ \\(pid \\d+\\) since .+; use --wait"},
        {"--wait", "flag add held busy --wait 0.3", 5, "", "gave up waiting\n$"},
        {"own", "flag own held busy", 5, "^busy: held elsewhere\n$", ""},
        {"clear", "flag clear held busy", 5, "", "^talvo: flag clear busy: held by "},
        {"no flag", "flag clear held nosuch", 3, "",
         "^talvo: flag clear nosuch: no such flag on <D>/held\n$"},
        {"a dead holder's files", "flag add held dead", 1, "", "--take-over"},
        {"who", "flag who held dead", 0, "--take-over", ""},
        {"own a bad name", "flag own held ..", 7, "", "^talvo: flag own \\.\\.: "},
        {"no command", "flag add held x -- /nonexistent/cmd", 127, "",
         "^talvo: flag add x: cannot run /nonexistent/cmd"},
        {"no folder", "copy held missing/x", 1, "",
         "^talvo: copy held to missing/x: the folder <D>/missing does not exist\n$"},
        {"into itself", "copy held held/in", 2, "", "cannot go inside itself"},
        {"onto itself", "copy held held", 4, "", "held is already there"},
        // diff answers as diff(1) does.
        {"different", "create sd/r@@@ ; PMI_RANK=3 create sd/r@@@ ; diff sd/r000 sd/r001", 1,
         "mpiRank", ""},
        {"equal", "create --literal sd/same ; diff sd/same sd/r000", 0, "^", ""},
        // Destructive commands act on the node named, and only on it.
        {"an empty argument (an unset variable)",
         "project create demo ; create demo/r@@@ ; "
         "create --literal demo/run@home ; create --literal demo/run7home ; rm ''",
         2, "", "^talvo: argument 2 is empty; give a path or a name\n$",
         [&] { demoMarker = readFile(d / "demo/demo.talvoproj"); }},
        {"", "invalidate ''", 2, "", "argument 2 is empty"},
        {"", "prune '' --keep 0", 2, "", "argument 2 is empty"},
        {"an existing path is literal", "rm demo/run@home", 0, "^", ""},
        {"not a result", "create --overwrite thesis", 4, "",
         "^talvo: ", [&] { fs::create_directory(d / "thesis"), writeFile(d / "thesis/a", "w"); }},
        {"over a project", "project create demo", 4, "", "^talvo: "},
        {"over a result", "project create demo/r000", 4, "", "^talvo: "},
        {"over a result", "experiment create r000 --base demo", 4, "", "^talvo: "},
        {"", "experiment create baseline --base demo", 0, "^", ""},
        {"--force", "create --overwrite --force thesis", 0, "^", "",
         [&] { EXPECT_EQ(readFile(d / "thesis/a"), "w"); }},
        // Dry runs change nothing; a project with members goes only with --force.
        {"", "project create dp ; create dp/r@@@ ; rm --dry-run dp/r000", 0,
         "^would remove result <D>/dp/r000\n$", ""},
        {"", "create --dry-run --overwrite dp/r000", 0, "^would replace result dp/r000\n$", ""},
        {"", "rm dp", 1, "", "^talvo: rm dp: a project with members; add --force"},
        {"", "rm --dry-run --force dp", 0, "^would remove project <D>/dp\n$", ""},
        {"", "rm --force dp", 0, "^", "",
         [&] { EXPECT_TRUE(fs::exists(d / "dp/r000/r000.talvo")); }},
        // A marker copied into some folder does not make that folder a node that rm may delete.
        {"a stray marker", "create --literal mk ; rm Downloads/mk.talvo", 1, "",
         "not named after its folder",
         [&] {
             fs::create_directory(d / "Downloads");
             writeFile(d / "Downloads/keep.txt", "mine");
             fs::copy_file(d / "mk/mk.talvo", d / "Downloads/mk.talvo");
         }},
        {"a node's marker", "rm mk/mk.talvo", 0, "^", ""},
        // The newest is the highest number, not the greatest name: r1000 comes after r999.
        {"info",
         "create --literal hn/r999 ; create --literal hn/r1000 ; "
         "create --literal hn/r0998 ; info hn/r@@@",
         0, "^path: +<D>/hn/r1000\n", ""},
        {"rm", "rm hn/r@@@", 0, "^", ""},
        {"prune", twelve + "experiment create g/later ; prune g --keep 3 --pattern r@ --dry-run", 0,
         "would remove <D>/g/r8\n", ""},
        // Damaged input is reported as such (a warning per entry, exit 8), never as an answer.
        {"info",
         "create --literal dmg/a ; create --literal dmg/b ; create --literal dmg/c ; "
         "info dmg/a",
         8, "^", "talvo: warning: ",
         [&] {
             writeFile(d / "dmg/a/a.talvo", "garbage");
             writeFile(d / "dmg/b/b.talvo", "<variant_bag");
             writeFile(d / "dmg/junk.talvolink", "garbage");
         }},
        {"diff", "diff dmg/a dmg/b", 8, "^", "talvo: warning: "},
        {"list", "list dmg", 8, "^", "talvo: warning: "},
        {"--json", "--json list dmg", 8, R"("warnings": \[\s*"[^"]+",\s*"[^"]+",\s*"[^"]+"\s*\])",
         ""},
        {"denied",
         "project create perm/ro ; create perm/ro/r@@@ ; create perm/ro/r@@@ ; "
         "@nobody prune perm/ro --keep 0",
         1, "^", "could not be removed", [&] { fs::permissions(d / "perm/ro", fs::perms(0555)); }},
        // A folder that cannot be read is not an empty one.
        {"unreadable", "@nobody list perm/ro", 6, "", "cannot read the folder",
         [&] { fs::permissions(d / "perm/ro", fs::perms::no_perms); }},
        {"beside it", "@nobody list perm", 8, "^", "<D>/perm/ro: cannot read the folder"},
        // doctor reports what a dead maker left and sweeps it only when told to.
        {"doctor", "create doc/r@@@ ; doctor doc", 1,
         "\\.talvo-stage-0123456789abcdef: a new node's staging directory", "",
         [&] { fs::create_directories(d / "doc/.talvo-stage-0123456789abcdef/data.0"); }},
        {"--fix", "--json doctor --fix doc", 0, "\"removed\": true", "",
         [&] { EXPECT_TRUE(fs::exists(d / "doc/.talvo-stage-0123456789abcdef")); }},
        {"after", "doctor doc", 0, "^nothing to report\n$", ""},
        {"nothing", "doctor missing", 3, "", "^talvo: doctor missing: no such"},
        // Sizes: whole bytes, then one decimal, so that just under a MiB is 1024.0 KiB.
        {"sizes", "list sz", 0, "1023 B\n.*1\\.0 KiB\n.*1\\.5 KiB\n.*1024\\.0 KiB\n.*1\\.0 MiB\n$",
         "", sized},
        // A folder whose name is not UTF-8 (here a lone continuation byte) would read as U+FFFD,
        // the name of a listed node beside it: it is no node that the group left unlisted.
        {"an argument not UTF-8", "create --literal u8/x\x80", 7, "",
         "^talvo: argument 3 is not UTF-8; names are UTF-8 on disk\n$"},
        {"not UTF-8", "create --literal u8/\xEF\xBF\xBD ; list u8", 0, "\nresult +\xEF\xBF\xBD ",
         "", [&] { fs::create_directories(d / "u8/\x80"); }},
    };
    const std::string here =
        std::regex_replace(d.string(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    const auto fits = [&here](const std::string& text, const std::string& pattern) {
        return pattern.empty()
                   ? text.empty()
                   : std::regex_search(text, std::regex(replaced(pattern, "<D>", here)));
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name + ": " + row.args);
        std::string args = row.args;
        for (std::size_t at; (at = args.find(" ; ")) != std::string::npos; args.erase(0, at + 3))
            ASSERT_EQ(talvo(d, args.substr(0, at)).status, 0) << args.substr(0, at);
        if (row.before) row.before();
        const Outcome run = talvo(d, args);
        EXPECT_EQ(run.status, row.status) << run;
        EXPECT_TRUE(fits(run.out, row.out) && fits(run.err, row.err)) << run;
        EXPECT_EQ(run.err.find("unknown error"), std::string::npos) << run;
    }
    for (const char* kept : {"demo/run7home/run7home.talvo", "demo/r000/r000.talvo", "g/r0",
                             "demo/baseline/baseline.talvoexp", "thesis/thesis.talvo",
                             "Downloads/keep.txt", "hn/r999", "hn/r0998"})
        EXPECT_TRUE(fs::exists(d / kept)) << kept;
    for (const char* gone : {"lit@/junk", "demo/run@home", "demo/r000-bad", "demo/demo",
                             "demo/r000/r000.talvoproj", "dp", "mk", "hn/r1000"})
        EXPECT_FALSE(fs::exists(d / gone)) << gone;
    EXPECT_EQ(readFile(d / "demo/demo.talvoproj"), demoMarker);
    // A full disk on standard output is a failure too.
    const int status = std::system(
        ("cd '" + d.string() + "' && \"$TALVO_BIN\" info held >/dev/full 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// Under --json every command prints one document of the documented form (docs/cli-json.md); the
// values show what the earlier commands made.
TEST(TalvoCli, EveryCommandPrintsTheDocumentedJson) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, "create --literal src").status, 0);
    for (const char* sub : {"data.0", "data.1", "notes"}) fs::create_directory(d / "src" / sub);
    for (const char* file : {"data.0/keep.txt", "data.0/trace.log", "scratch.tmp"})
        writeFile(d / "src" / file, "x");
    for (int i = 0; i < 12; ++i) ASSERT_EQ(talvo(d, "-q create g/r@").status, 0);
    // Forms: a document must hold every key of its form with a value of the same type; a
    // non-empty string, a non-zero number, a boolean and a non-empty array must match exactly.
    const std::string time = R"({"seconds": 0, "text": ""})";
    const std::string cpu = R"({"brand": "", "family": 0, "model": 0, "stepping": 0, "type": 0,)"
                            R"( "frequencyHz": 0, "logicalCpus": 0, "cores": 0, "packages": 0})";
    const auto form = [&](const std::string& text) {
        return json::parse(
            replaced(replaced(replaced(text, "<D>", d.string()), "<time>", time), "<cpu>", cpu));
    };
    // Wherever a node ("kind") is, its whole summary is.
    const json summary = form(R"({"name": "", "path": "", "marker": "", "damaged": false,)"
                              R"( "created": <time>, "size": 0, "files": 0})");
    const std::pair<const char*, const char*> cases[] = {
        {"project create p", R"({"kind": "project", "path": "<D>/p"})"},
        {"project open p", R"({"kind": "project", "path": "<D>/p"})"},
        {"experiment create e --base p", R"({"kind": "experiment", "path": "<D>/p/e"})"},
        {"experiment open p/e", R"({"kind": "experiment", "path": "<D>/p/e"})"},
        {"create --base p/e", R"({"kind": "result", "path": "<D>/p/e/r000"})"},
        {"create p/r@@@", R"({"kind": "result", "path": "<D>/p/r000"})"},
        {"create p/r@@@", R"({"kind": "result", "path": "<D>/p/r001"})"},
        {"create --dry-run p/r@@@", R"({"path": "", "replaces": false, "dryRun": true})"},
        {"list p/e", R"({"group": "<D>/p/e", "members": [{"kind": "result", "name": "r000"}]})"},
        {"rm p/e/r000", R"({"removed": ["<D>/p/e/r000"], "dryRun": false})"},
        {"diff p/r000 p/r001", R"({"first": {"kind": "result", "name": "r000"}, "differences": {},)"
                               R"( "second": {"kind": "result", "name": "r001"}})"},
        {"finalize p/r000",
         R"({"path": "<D>/p/r000", "finalized": true, "finalizationEnd": <time>})"},
        {"list p", R"({"members": [{"kind": "experiment", "name": "e"}, {"kind": "result",)"
                   R"( "name": "r000", "finalized": true}, {"kind": "result", "name": "r001"}]})"},
        {"finalize --undo p/r000", R"({"path": "<D>/p/r000", "finalized": false})"},
        // A bad result moves aside, so that its name is free for a new run.
        {"invalidate p/r001", R"({"path": "<D>/p/r001-bad"})"},
        {"list p", R"({"members": [{"kind": "experiment", "name": "e"}, {"kind": "result", "name":)"
                   R"( "r000", "finalized": false, "valid": true}, {"kind": "result", "name":)"
                   R"( "r001-bad", "valid": false}]})"},
        {"export src out/r@@@ --exclude *.log --exclude *.tmp", R"({"path": "<D>/out/r000"})"},
        {"copy src c --rename-marker", R"({"path": "<D>/c"})"},
        {"info c", R"({"kind": "result", "marker": "<D>/c/c.talvo"})"},
        {"move c m --rename-marker", R"({"path": "<D>/m"})"},
        {"link m p/e", R"({"path": "<D>/m", "linked": true, "linkFile": ""})"},
        {"unlink m", R"({"path": "<D>/m", "linked": false})"},
        {"list .", R"({"members": [{"kind": "result", "name": "m"}, {"kind": "project", "name":)"
                   R"( "p"}, {"kind": "result", "name": "src"}]})"},
        {"info src", R"({"kind": "result", "linked": false, "collectorData": [], "metadata":)"
                     R"( {"host": "", "os": "linux", "isa": "", "cpu": <cpu>, "collectionBegin":)"
                     R"( <time>, "collectionEnd": <time>, "finalizationBegin": <time>,)"
                     R"( "finalizationEnd": <time>}})"},
        // Prune takes the lowest numbers, and never an experiment.
        {"experiment create g/later", R"({"kind": "experiment", "path": "<D>/g/later"})"},
        {"prune g --keep 3", R"({"group": "<D>/g", "removed": ["", "", "", "", "", "", "", "",)"
                             R"( ""], "kept": ["<D>/g/r11", "<D>/g/r10", "<D>/g/r9"],)"
                             R"( "failed": [], "dryRun": false})"},
        {"list g", R"({"members": [{"kind": "experiment", "name": "later"}, {"kind": "result",)"
                   R"( "name": "r10"}, {"kind": "result", "name": "r11"}, {"kind": "result",)"
                   R"( "name": "r9"}]})"},
        {"flag add p/r000 f -- true", R"({"flag": "f", "held": true, "holder": {"user": "",)"
                                      R"( "host": "", "since": <time>}})"},
        {"flag who p/r000 f", R"({"flag": "f", "state": "", "held": false})"},
        {"flag own p/r000 f", R"({"flag": "f", "state": ""})"},
        {"sysinfo", R"({"host": "", "cpu": <cpu>, "isa": {"maxVectorBits": 0}})"},
        {"doctor", R"({"root": "", "findings": [], "left": 0})"},
    };
    const std::function<bool(const json&, const json&)> fits = [&](const json& value,
                                                                   const json& want) {
        if (want.is_object()) {
            if (!value.is_object() || (want.contains("kind") && !fits(value, summary)))
                return false;
            for (const auto& [key, inner] : want.items())
                if (!value.contains(key) || !fits(value[key], inner)) return false;
            return true;
        }
        if (want.is_array()) {
            if (!value.is_array() || (!want.empty() && value.size() != want.size())) return false;
            for (std::size_t i = 0; i < want.size(); ++i)
                if (!fits(value[i], want[i])) return false;
            return true;
        }
        if (want.is_number()) return value.is_number() && (want == 0 || value == want);
        return want == "" ? value.is_string() : value == want;
    };
    std::map<std::string, json> last;  // each command's latest document
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(args);
        const Outcome run = talvo(d, std::string("--json ") + args);
        EXPECT_EQ(run.status, 0) << run;
        EXPECT_EQ(run.err, "") << run;
        ASSERT_TRUE(json::accept(run.out)) << run;
        const json document = last[words(args)[0]] = json::parse(run.out);
        EXPECT_TRUE(fits(document, form(expected))) << run.out;
    }
    for (const char* kept : {"out/r000/r000.talvo", "out/r000/data.0/keep.txt", "m/m.talvo",
                             "m/data.0/trace.log", "src/src.talvo"})
        EXPECT_TRUE(fs::exists(d / kept)) << kept;
    for (const char* gone : {"out/r000/data.0/trace.log", "out/r000/scratch.tmp", "c", "p/e/r000"})
        EXPECT_FALSE(fs::exists(d / gone)) << gone;
    // A result records the machine that sysinfo describes, in the same form.
    const json& machine = last["info"]["metadata"];
    EXPECT_FALSE(machine["host"].get<std::string>().empty() ||
                 machine["isa"].get<std::string>().empty());
    EXPECT_GT(machine["cpu"]["logicalCpus"].get<int>(), 0);
    EXPECT_EQ(machine["cpu"], last["sysinfo"]["cpu"]);
    EXPECT_EQ(machine["mpiRank"], last["sysinfo"]["mpiRank"]);
    auto data = last["info"]["collectorData"].get<std::vector<std::string>>();
    std::sort(data.begin(), data.end());
    EXPECT_EQ(data, (std::vector<std::string>{"data.0", "data.1"}));
    // A pattern names the same results from any folder; diff compares the two highest numbers.
    TempDir elsewhere;
    const Outcome diff = talvo(elsewhere.path(), "--json diff " + (d / "g/r@").string());
    EXPECT_EQ(diff.status, 0) << diff;
    EXPECT_TRUE(fits(json::parse(diff.out),
                     form(R"({"first": {"name": "r11"}, "second": {"name": "r10"}})")));
    // A failure prints one error document on standard error, and nothing on standard output.
    const Outcome failed = talvo(d, "--json flag clear p/r000 nosuch");
    EXPECT_EQ(failed.status, 3);
    EXPECT_EQ(failed.out, "");
    EXPECT_TRUE(fits(json::parse(failed.err),
                     form(R"({"error": {"status": 3, "code": "NotFound", "message": ""}})")))
        << failed;
}

// A flag held by one process is seen by others. The command holds the lock itself: killing talvo
// does not free the flag while the command runs, and the owner record names the command.
TEST(TalvoCli, AFlagHeldByOneProcessIsSeenByOthers) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, "create").status, 0);
    const auto holder = holdBusy(d, "r000");
    const json report = json::parse(holder->out());
    ASSERT_EQ(report["held"], true);
    const json who = json::parse(talvo(d, "--json flag who r000 busy").out);
    EXPECT_EQ(who["held"], true);
    EXPECT_FALSE(who["holder"]["user"].get<std::string>().empty());
    EXPECT_FALSE(who["holder"]["host"].get<std::string>().empty());
    EXPECT_EQ(who["holder"], report["holder"]);
    ASSERT_TRUE(who["holder"]["pid"].is_number()) << who;
    const pid_t command = who["holder"]["pid"].get<pid_t>();

    ASSERT_EQ(::kill(holder->pid(), SIGKILL), 0);
    EXPECT_EQ(json::parse(talvo(d, "--json flag who r000 busy").out)["held"], true);
    EXPECT_EQ(talvo(d, "flag add r000 busy -- true").status, 5);
    EXPECT_EQ(readFile("/proc/" + std::to_string(command) + "/comm"), "sleep\n");
    // --wait takes the flag once its holder lets go.
    Talvo waiter(d, words("flag add r000 busy --wait -- true"));
    ASSERT_EQ(::kill(command, SIGTERM), 0);
    EXPECT_EQ(waiter.finish().status, 0);
    EXPECT_EQ(json::parse(talvo(d, "--json flag who r000 busy").out)["held"], false);
}

TEST(TalvoCli, ConcurrentCreatesInOneFolderGetDistinctNames) {
    TempDir dir;
    std::vector<std::unique_ptr<Talvo>> runs;
    for (int i = 0; i < 8; ++i)
        runs.push_back(std::make_unique<Talvo>(dir.path(), words("create r@@@")));
    std::set<std::string> created, listed;
    for (const auto& run : runs) {
        const Outcome outcome = run->finish();
        EXPECT_EQ(outcome.status, 0) << outcome;
        created.insert(fs::path(outcome.out.substr(0, outcome.out.find('\n'))).filename().string());
    }
    EXPECT_EQ(created.size(), runs.size());
    const json listing = json::parse(talvo(dir.path(), "--json list").out);
    for (const json& member : listing["members"]) listed.insert(member["name"].get<std::string>());
    EXPECT_EQ(listed, created);
}

TEST(TalvoCli, InterruptedCopyAndExportLeaveNothingBehind) {
#if TALVO2_SLOW_COPY_TSAN
    GTEST_SKIP() << "the slowing library cannot be preloaded ahead of ThreadSanitizer's runtime";
#endif
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, "create --literal src").status, 0);
    fs::create_directory(d / "src/data.0");
    for (int i = 0; i < 60; ++i) writeFile(d / "src/data.0" / ("f" + std::to_string(i)), "payload");
    // A transfer fills a hidden directory beside its target and renames it into place at the end.
    const auto staging = [](const fs::path& folder) {
        boost::system::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; ++it)
            if (it->path().filename().string().rfind(".talvo-stage-", 0) == 0) return true;
        return false;
    };
    // 50 ms per file copied keeps the transfer going for seconds: time to interrupt it. Address
    // Sanitizer would refuse to start with a library loaded ahead of its runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string slow = "LD_PRELOAD=" TALVO2_SLOW_COPY " SLOW_COPY_MS=50 ASAN_OPTIONS=" +
                             std::string(asan ? asan : "") + ":verify_asan_link_order=0 ";
    for (const auto& [command, target] :
         std::map<std::string, std::string>{{"copy", "dest"}, {"export", "out/r@@@"}}) {
        Talvo run(d, words(slow + command + " src " + target));
        const fs::path made = d / fs::path(target).begin()->string();
        ASSERT_TRUE(eventually([&] { return staging(target == "dest" ? d : made); })) << command;
        ASSERT_EQ(::kill(run.pid(), SIGINT), 0);
        const Outcome outcome = run.finish();
        EXPECT_EQ(outcome.status, 130) << command << ": " << outcome;
        EXPECT_EQ(outcome.err.rfind("talvo: " + command, 0), 0u) << outcome;
        EXPECT_FALSE(fs::exists(made) || staging(d)) << command;
        EXPECT_TRUE(fs::exists(d / "src/src.talvo"));
        EXPECT_EQ(std::distance(fs::directory_iterator(d / "src/data.0"), {}), 60);
    }
}

// `cmake --install` puts the manual page and the bash completion beside the binary.
TEST(TalvoCli, ManPageAndCompletionAreInstalled) {
    const char* binary = std::getenv("TALVO_BIN");
    ASSERT_TRUE(binary) << "run through ctest";
    const fs::path prefix = fs::path(binary).parent_path().parent_path();
    const std::string man = readFile(prefix / "share/man/man1/talvo.1");
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
    const std::string script = (dir.path() / "complete.sh").string();
    ASSERT_EQ(std::system(("bash " + script + " >" + script + ".out").c_str()), 0);
    EXPECT_EQ(readFile(script + ".out"), "flag\nadd own clear who\n");
}

}  // namespace
