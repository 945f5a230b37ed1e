// End-to-end tests of the talvo tool: every case runs the installed binary in a child process, as
// scripts and people do, and reads its output and exit status back.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
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

const char* binary() {
    const char* path = std::getenv("TALVO_BIN");
    if (!path || !*path) throw std::runtime_error("TALVO_BIN is unset; run through ctest");
    return path;
}

// One run of the installed talvo in `cwd` with the blank-separated words of `line` ('' is an empty
// one), no shell between. Leading "@nobody" runs it unprivileged (root ignores permissions),
// leading NAME=VALUE words go to its environment. Its output goes to memory files, readable at any
// time.
struct Talvo {
    Talvo(const fs::path& cwd, const std::string& line) {
        std::vector<std::string> args{binary()}, env;
        std::istringstream words(line);
        bool setup = true;
        for (std::string word; words >> word;) {
            setup = setup && (word == "@nobody" || word.find('=') != std::string::npos);
            if (!setup)
                args.push_back(word == "''" ? "" : word);
            else if (word != "@nobody")
                env.push_back(word);
            else if (::geteuid() == 0)
                args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups", "--"});
        }
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (out < 0 || err < 0 || (pid = ::fork()) < 0) throw std::runtime_error("starting talvo");
        if (pid > 0) return;
        // The tool must see Ctrl-C as a user's shell would deliver it, whatever ctest ignores.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int s : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) ::signal(s, SIG_DFL);
        for (std::string& e : env) ::putenv(e.data());
        if (::dup2(out, 1) == 1 && ::dup2(err, 2) == 2 && ::chdir(cwd.c_str()) == 0)
            ::execv(argv[0], argv.data());
        ::_exit(126);
    }
    // SIGTERM reaches a held command too: talvo passes it on.
    ~Talvo() {
        if (pid > 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
        ::close(out);
        ::close(err);
    }
    Outcome finish() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text(out),
                text(err)};
    }
    static std::string text(int fd) { return readFile("/proc/self/fd/" + std::to_string(fd)); }

    pid_t pid = -1;
    int out = ::memfd_create("stdout", MFD_CLOEXEC), err = ::memfd_create("stderr", MFD_CLOEXEC);
};

Outcome talvo(const fs::path& cwd, const std::string& args) {
    return Talvo(cwd, args).finish();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Every case one invocation shows, in one folder (<D> in the output). Setup commands may lead a
// row's arguments ("setup ; setup ; checked") and must succeed; `before` runs just ahead of it.
TEST(TalvoCli, StatusesAndMessages) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(talvo(d, "create --literal held").status, 0);
    // Holds flag `busy` on `held` until SIGTERM; its report is one pretty-printed JSON object.
    Talvo holder(d, "--json flag add held busy -- sleep 60");
    ASSERT_TRUE(
        eventually([&] { return Talvo::text(holder.out).find("\n}\n") != std::string::npos; }));
    writeFile(d / "held/dead.dflgtalvo", "");
    writeFile(d / "held/dead.infotalvo", "");
    std::string twelve, demoMarker;
    for (int i = 0; i < 12; ++i) twelve += "-q create g/r@ ; ";
    const struct {
        std::string args;  // blank-separated; '' is an empty argument
        int status;
        std::string out, err;  // regular expressions searched for; "": empty
        std::function<void()> before = nullptr;
    } rows[] = {
        {"create", 0, "^<D>/r000\n$", ""},
        {"create run-{KIND}-@@ --var KIND=cpu", 0, "^<D>/run-cpu-00\n$", ""},
        // A greedy --var once swallowed the pattern that followed it.
        {"create --var KIND=cpu run-{KIND}-@@", 0, "^<D>/run-cpu-01\n$", ""},
        {"create --literal lit@", 0, "^<D>/lit@\n$", ""},
        {"create --literal --overwrite lit@", 0, "^<D>/lit@\n$", "",
         [&] { writeFile(d / "lit@/junk", "x"); }},
        {"create --literal lit@", 4, "",
         "^talvo: create lit@: something of that name is already there\n$"},
        {"create CON", 7, "", "^talvo: create CON: the name is a reserved device name"},
        // The command line parser words its own complaints.
        {"frobnicate", 2, "", "\\S"},
        {"create r@@@ --var NOVALUE", 2, "", "^talvo: --var NOVALUE: expected NAME=VALUE\n$"},
        {"--help", 0, "Usage: talvo[\\s\\S]*Exit status", ""},
        {"--version", 0, "^talvo 2\\.0\\.0\\.1\n$", ""},
        {"info nothing", 3, "", "^talvo: nothing: no such result, project, experiment or flag"},
        {"project create proj", 0, "^<D>/proj\n$", ""},
        {"finalize proj", 3, "", "^talvo: proj: not a result directory\n$"},
        {"experiment create exp --base proj", 0, "^<D>/proj/exp\n$", ""},
        {"experiment create in --base proj/exp", 2, "", "^talvo: "},
        {"experiment create proj/exp/in", 2, "", "^talvo: "},
        {"create --base nowhere x", 3, "", "^talvo: create: --base nowhere: no such folder\n$"},
        {"create proj/{hostname}-@@", 0, "^<D>/proj/[^{}/]+-00\n$", ""},
        {"-q create --literal proj/r000", 0, "", ""},
        // Long names are cut; a copy keeps its marker's name, so the group warns of one of the two.
        {"copy proj/r000 proj/copy ; create --literal proj/" + std::string(60, 'x') +
             " ; list proj",
         8, "\nresult +x{31}~ ", "warning: <D>/proj/copy: a node the group does not list"},
        {"diff proj/r@@@", 3, "",
         "^talvo: diff proj/r@@@: 1 result\\(s\\) match; a comparison needs two\n$"},
        {"finalize proj/r000 ; info proj/r000", 0,
         "\nos: +linux\n[\\s\\S]*\nmpi rank:      -\n[\\s\\S]*\nfinalization:  \\d{4}-", ""},
        // Standard error is no terminal here: a transfer draws no progress on it.
        {"copy lit@ cp", 0, "^<D>/cp\n$", ""},
        // Refusals name the holder; killing the holding talvo leaves its command holding the lock.
        {"flag add held busy", 5, "",
         "^talvo: flag add busy: held by \\S+@\\S+ \\(pid \\d+\\) since .+; use --wait",
         [&] { ASSERT_EQ(::kill(holder.pid, SIGKILL), 0); }},
        {"flag add held busy --wait 0.3", 5, "", "gave up waiting\n$"},
        {"flag own held busy", 5, "^busy: held elsewhere\n$", ""},
        {"flag clear held busy", 5, "", "^talvo: flag clear busy: held by "},
        {"flag clear held nosuch", 3, "", "^talvo: flag clear nosuch: no such flag on <D>/held\n$"},
        {"flag add held dead", 1, "", "--take-over"},
        {"flag who held dead", 0, "--take-over", ""},
        {"flag own held ..", 7, "", "^talvo: flag own \\.\\.: "},
        // What the holder says comes before what its command prints.
        {"flag add held y -- echo hi", 0, "^holding y on <D>/held\nhi\n$", ""},
        {"flag add held x -- /nonexistent/cmd", 127, "",
         "^talvo: flag add x: cannot run /nonexistent/cmd"},
        {"copy held missing/x", 1, "",
         "^talvo: copy held to missing/x: the folder <D>/missing does not exist\n$"},
        {"copy held held/in", 2, "", "cannot go inside itself"},
        {"copy held held", 4, "", "held is already there"},
        // diff answers as diff(1) does.
        {"create sd/r@@@ ; PMI_RANK=3 create sd/r@@@ ; diff sd/r000 sd/r001", 1, "mpiRank", ""},
        {"create --literal sd/same ; diff sd/same sd/r000", 0, "^", ""},
        // Destructive commands act on the node named only: an empty argument (an unset variable)
        // is refused, an existing path is literal, only a result is overwritten or made over.
        {"project create demo ; create demo/r@@@ ; "
         "create --literal demo/run@home ; create --literal demo/run7home ; rm ''",
         2, "", "^talvo: argument 2 is empty; give a path or a name\n$",
         [&] { demoMarker = readFile(d / "demo/demo.talvoproj"); }},
        {"invalidate ''", 2, "", "argument 2 is empty"},
        {"prune '' --keep 0", 2, "", "argument 2 is empty"},
        {"rm demo/run@home", 0, "^", ""},
        {"create --overwrite thesis", 4, "",
         "^talvo: ", [&] { fs::create_directory(d / "thesis"), writeFile(d / "thesis/a", "w"); }},
        {"project create demo", 4, "", "^talvo: "},
        {"project create demo/r000", 4, "", "^talvo: "},
        {"experiment create r000 --base demo", 4, "", "^talvo: "},
        {"experiment create baseline --base demo", 0, "^", ""},
        {"create --overwrite --force thesis", 0, "^", "",
         [&] { EXPECT_EQ(readFile(d / "thesis/a"), "w"); }},
        // Dry runs change nothing; a project with members goes only with --force.
        {"project create dp ; create dp/r@@@ ; rm --dry-run dp/r000", 0,
         "^would remove result <D>/dp/r000\n$", ""},
        {"create --dry-run --overwrite dp/r000", 0, "^would replace result dp/r000\n$", ""},
        {"rm dp", 1, "", "^talvo: rm dp: a project with members; add --force"},
        {"rm --dry-run --force dp", 0, "^would remove project <D>/dp\n$", ""},
        {"rm --force dp", 0, "^", "", [&] { EXPECT_TRUE(fs::exists(d / "dp/r000/r000.talvo")); }},
        // A marker copied into some folder does not make that folder a node that rm may delete.
        {"create --literal mk ; rm Downloads/mk.talvo", 1, "", "not named after its folder",
         [&] {
             fs::create_directory(d / "Downloads");
             writeFile(d / "Downloads/keep.txt", "mine");
             fs::copy_file(d / "mk/mk.talvo", d / "Downloads/mk.talvo");
         }},
        {"rm mk/mk.talvo", 0, "^", ""},
        // The newest is the highest number, not the greatest name: r1000 comes after r999.
        {"create --literal hn/r999 ; create --literal hn/r1000 ; "
         "create --literal hn/r0998 ; info hn/r@@@",
         0, "^path: +<D>/hn/r1000\n", ""},
        {"rm hn/r@@@", 0, "^", ""},
        {twelve + "experiment create g/later ; prune g --keep 3 --pattern r@ --dry-run", 0,
         "would remove <D>/g/r8\n", ""},
        // Damaged input is reported as such (a warning per entry, exit 8), never as an answer.
        {"create --literal dmg/a ; create --literal dmg/b ; create --literal dmg/c ; info dmg/a", 8,
         "^", "talvo: warning: ",
         [&] {
             writeFile(d / "dmg/a/a.talvo", "garbage");
             writeFile(d / "dmg/b/b.talvo", "<variant_bag");
             writeFile(d / "dmg/junk.talvolink", "garbage");
         }},
        {"diff dmg/a dmg/b", 8, "^", "talvo: warning: "},
        {"--json list dmg", 8, R"("warnings": \[\s*"[^"]+",\s*"[^"]+",\s*"[^"]+"\s*\])", ""},
        {"project create perm/ro ; create perm/ro/r@@@ ; create perm/ro/r@@@ ; "
         "@nobody prune perm/ro --keep 0",
         1, "^", "could not be removed", [&] { fs::permissions(d / "perm/ro", fs::perms(0555)); }},
        // What a user may not remove is reported; a folder that cannot be read is not an empty one.
        {"@nobody list perm/ro", 6, "", "cannot read the folder",
         [&] { fs::permissions(d / "perm/ro", fs::perms::no_perms); }},
        {"@nobody list perm", 8, "^", "<D>/perm/ro: cannot read the folder"},
        // doctor reports what a dead maker left and sweeps it only when told to.
        {"create doc/r@@@ ; doctor doc", 1,
         "\\.talvo-stage-0123456789abcdef: a new node's staging directory", "",
         [&] { fs::create_directories(d / "doc/.talvo-stage-0123456789abcdef/data.0"); }},
        {"--json doctor --fix doc", 0, "\"removed\": true", "",
         [&] { EXPECT_TRUE(fs::exists(d / "doc/.talvo-stage-0123456789abcdef")); }},
        {"doctor doc", 0, "^nothing to report\n$", ""},
        {"doctor missing", 3, "", "^talvo: doctor missing: no such"},
        // Sizes: whole bytes, then one decimal, so that just under a MiB is 1024.0 KiB.
        {"list sz", 0, "1023 B\n.*1\\.0 KiB\n.*1\\.5 KiB\n.*1024\\.0 KiB\n.*1\\.0 MiB\n$", "",
         [&] {
             for (const auto& [name, total] : std::map<std::string, std::size_t>{
                      {"a", 1023}, {"b", 1024}, {"c", 1536}, {"d", 1048575}, {"e", 1048576}}) {
                 ASSERT_EQ(talvo(d, "create --literal sz/" + name).status, 0);
                 const fs::path result = d / "sz" / name;  // its marker and a pad
                 writeFile(result / "pad",
                           std::string(total - fs::file_size(result / (name + ".talvo")), 'x'));
             }
         }},
        // A folder whose name is not UTF-8 (here a lone continuation byte) would read as U+FFFD,
        // the name of a listed node beside it: it is no node that the group left unlisted.
        {"create --literal u8/x\x80", 7, "",
         "^talvo: argument 3 is not UTF-8; names are UTF-8 on disk\n$"},
        {"create --literal u8/\xEF\xBF\xBD ; list u8", 0, "\nresult +\xEF\xBF\xBD ", "",
         [&] { fs::create_directories(d / "u8/\x80"); }},
    };
    const auto fits = [&d](const std::string& text, const std::string& pattern) {
        return pattern.empty()
                   ? text.empty()
                   : std::regex_search(replaced(text, d.string(), "<D>"), std::regex(pattern));
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
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
    // The owner record names the command; --wait takes the flag once the command ends.
    const json who = json::parse(talvo(d, "--json flag who held busy").out);
    EXPECT_EQ(who["holder"], json::parse(Talvo::text(holder.out))["holder"]);
    const pid_t command = who["holder"]["pid"].get<pid_t>();
    EXPECT_EQ(readFile("/proc/" + std::to_string(command) + "/comm"), "sleep\n");
    Talvo waiter(d, "flag add held busy --wait -- true");
    // Still there a while later: it waits rather than giving up.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(::waitpid(waiter.pid, nullptr, WNOHANG), 0);
    ASSERT_EQ(::kill(command, SIGTERM), 0);
    EXPECT_EQ(waiter.finish().status, 0);
    // A full disk on standard output is a failure too.
    const int status = std::system(
        ("cd '" + d.string() + "' && \"$TALVO_BIN\" info held >/dev/full 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// Under --json every command prints one document of the documented form (docs/cli-json.md), a
// failure one error document on standard error; the values show what the earlier commands made.
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
    const auto form = [&](const std::string& text) {
        return json::parse(replaced(replaced(text, "<D>", d.string()), "<time>", time));
    };
    // Wherever a node ("kind") is, its whole summary is.
    const json summary = form(R"({"name": "", "path": "", "marker": "", "damaged": false,)"
                              R"( "created": <time>, "size": 0, "files": 0})");
    const std::pair<std::string, std::string> cases[] = {
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
        {"info src", R"({"kind": "result", "linked": false, "collectorData": [], "metadata":)"
                     R"( {"host": "", "os": "linux", "isa": "", "collectionBegin":)"
                     R"( <time>, "collectionEnd": <time>, "finalizationBegin": <time>,)"
                     R"( "finalizationEnd": <time>}})"},
        // Prune takes the lowest numbers, and never an experiment.
        {"experiment create g/later", R"({"kind": "experiment", "path": "<D>/g/later"})"},
        {"prune g --keep 3", R"({"group": "<D>/g", "removed": ["", "", "", "", "", "", "", "",)"
                             R"( ""], "kept": ["<D>/g/r11", "<D>/g/r10", "<D>/g/r9"],)"
                             R"( "failed": [], "dryRun": false})"},
        // An absolute pattern; diff compares the two highest numbers, not the greatest names.
        {"diff <D>/g/r@", R"({"first": {"name": "r11"}, "second": {"name": "r10"}})"},
        {"flag add p/r000 f -- true", R"({"flag": "f", "held": true, "holder": {"user": "",)"
                                      R"( "host": "", "since": <time>}})"},
        {"flag who p/r000 f", R"({"flag": "f", "state": "", "held": false})"},
        {"flag own p/r000 f", R"({"flag": "f", "state": ""})"},
        {"sysinfo", R"({"host": "", "isa": {"maxVectorBits": 0}, "cpu": {"brand": "", "family": 0,)"
                    R"( "model": 0, "stepping": 0, "type": 0, "frequencyHz": 0, "logicalCpus": 0,)"
                    R"( "cores": 0, "packages": 0}})"},
        {"doctor", R"({"root": "", "findings": [], "left": 0})"},
        {"flag clear p/r000 nosuch",
         R"({"error": {"status": 3, "code": "NotFound", "message": ""}})"},
    };
    const std::function<bool(const json&, const json&)> fits = [&](const json& value,
                                                                   const json& want) {
        if (want.is_number()) return value.is_number() && (want == 0 || value == want);
        if (value.type() != want.type()) return false;
        if (!want.is_structured()) return want == "" || value == want;
        if ((want.is_array() && !want.empty() && value.size() != want.size()) ||
            (want.contains("kind") && !fits(value, summary)))
            return false;
        for (const auto& [key, inner] : want.items()) {
            const json::json_pointer at("/" + key);  // a key or an index
            if (!value.contains(at) || !fits(value[at], inner)) return false;
        }
        return true;
    };
    std::map<std::string, json> last;  // each command's latest document
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(args);
        const json want = form(expected);
        const bool failure = want.contains("error");
        const Outcome run = talvo(d, "--json " + replaced(args, "<D>", d.string()));
        EXPECT_EQ(run.status, failure ? want["error"]["status"].get<int>() : 0) << run;
        EXPECT_EQ(failure ? run.out : run.err, "") << run;
        const json document = last[args.substr(0, args.find(' '))] =
            json::parse(failure ? run.err : run.out, nullptr, false);
        EXPECT_TRUE(fits(document, want)) << run;
    }
    for (const char* kept : {"out/r000/r000.talvo", "out/r000/data.0/keep.txt", "m/m.talvo",
                             "m/data.0/trace.log", "src/src.talvo", "g/later/later.talvoexp"})
        EXPECT_TRUE(fs::exists(d / kept)) << kept;
    for (const char* gone :
         {"out/r000/data.0/trace.log", "out/r000/scratch.tmp", "c", "p/e/r000", "g/r8"})
        EXPECT_FALSE(fs::exists(d / gone)) << gone;
    // A result records the machine that sysinfo describes, in the same form.
    json machine = last["info"]["metadata"];
    for (const char* key : {"host", "cpu", "mpiRank"})
        EXPECT_EQ(machine[key], last["sysinfo"][key]) << key;
    EXPECT_EQ(last["info"]["collectorData"].get<std::multiset<std::string>>(),
              (std::multiset<std::string>{"data.0", "data.1"}));
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
    const auto staging = [&d] {
        boost::system::error_code error;
        for (fs::recursive_directory_iterator it(d, error), end; !error && it != end;
             it.increment(error))
            if (it->path().filename().string().rfind(".talvo-stage-", 0) == 0) return true;
        return false;
    };
    // 50 ms per file copied keeps the transfer going for seconds; Address Sanitizer would refuse to
    // start with a library loaded ahead of its runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string slow = "LD_PRELOAD=" TALVO2_SLOW_COPY " SLOW_COPY_MS=50 ASAN_OPTIONS=" +
                             std::string(asan ? asan : "") + ":verify_asan_link_order=0 ";
    for (const auto& [command, target] :
         std::map<std::string, std::string>{{"copy", "dest"}, {"export", "out/r@@@"}}) {
        Talvo run(d, slow + command + " src " + target);
        ASSERT_TRUE(eventually(staging)) << command;
        ASSERT_EQ(::kill(run.pid, SIGINT), 0);
        const Outcome outcome = run.finish();
        EXPECT_EQ(outcome.status, 130) << command << ": " << outcome;
        EXPECT_EQ(outcome.err.rfind("talvo: " + command, 0), 0u) << outcome;
        EXPECT_FALSE(fs::exists(d / "dest") || fs::exists(d / "out") || staging()) << command;
        EXPECT_TRUE(fs::exists(d / "src/src.talvo"));
        EXPECT_EQ(std::distance(fs::directory_iterator(d / "src/data.0"), {}), 60);
    }
}

// `cmake --install` puts the manual page and the bash completion beside the binary.
TEST(TalvoCli, ManPageAndCompletionAreInstalled) {
    const fs::path prefix = fs::path(binary()).parent_path().parent_path();
    const std::string man = readFile(prefix / "share/man/man1/talvo.1");
    for (const char* text :
         {"EXIT STATUS", "talvo create", "talvo project create", "talvo flag who", "interrupted"})
        EXPECT_NE(man.find(text), std::string::npos) << text;
    // Completes as bash would call it: the words so far and the index of the one being typed.
    TempDir dir;
    const std::string script = (dir.path() / "complete.sh").string();
    writeFile(script, "source '" + (prefix / "share/bash-completion/completions/talvo").string() +
                          "'\n" +
                          R"(f=$(complete -p talvo); f=${f##*-F }; f=${f%% *}
COMP_WORDS=(talvo fl) COMP_CWORD=1; $f; echo "${COMPREPLY[*]}"
COMP_WORDS=(talvo flag '') COMP_CWORD=2; $f; echo "${COMPREPLY[*]}"
COMP_WORDS=(talvo list --js) COMP_CWORD=2; $f; echo "${COMPREPLY[*]}"
)");
    ASSERT_EQ(std::system(("bash " + script + " >" + script + ".out").c_str()), 0);
    EXPECT_EQ(readFile(script + ".out"), "flag\nadd own clear who\n--json\n");
}

}  // namespace
