// End-to-end tests of the installed talvo tool, run in child processes as scripts and people do.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "util/test_util.hpp"

namespace {

namespace fs = boost::filesystem;
using nlohmann::json;
using talvo2::test::readFile;
using talvo2::test::TempDir;

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

// Runs `script` with sh in `cwd`, stopping at the first failing command; its exit status.
int sh(const fs::path& cwd, const std::string& script) {
    const int status = std::system(("set -e; cd '" + cwd.string() + "'; " + script).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// talvo in `cwd` with the arguments `line` as sh splits them, after the NAME=VALUE words `env`; a
// leading "@nobody" drops root's rights. Its output goes to memory files, readable at any time.
struct Talvo {
    Talvo(const fs::path& cwd, const std::string& line, const std::string& env = "") {
        const bool nobody = line.rfind("@nobody ", 0) == 0;
        const std::string script =
            env + " exec " +
            (nobody && ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups "
                                        : "") +
            "\"$TALVO_BIN\" " + line.substr(nobody ? 8 : 0);
        if (out < 0 || err < 0 || (pid = ::fork()) < 0) throw std::runtime_error("starting talvo");
        if (pid > 0) return;
        // The tool must see Ctrl-C as a user's shell would deliver it, whatever ctest ignores.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int s : {SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) ::signal(s, SIG_DFL);
        if (::dup2(out, 1) == 1 && ::dup2(err, 2) == 2 && ::chdir(cwd.c_str()) == 0)
            ::execl("/bin/sh", "sh", "-c", script.c_str(), nullptr);
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

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Every case one invocation shows, in one folder (<D> in the output).
TEST(TalvoCli, StatusesAndMessages) {
    TempDir dir;
    const fs::path& d = dir.path();
    ASSERT_EQ(Talvo(d, "create --literal held").finish().status, 0);
    // Holds flag `busy` on `held` until SIGTERM; its report is one pretty-printed JSON object.
    Talvo holder(d, "--json flag add held busy -- sleep 60");
    ASSERT_TRUE(
        eventually([&] { return Talvo::text(holder.out).find("\n}\n") != std::string::npos; }));
    const struct {
        std::string args;  // "setup ; setup ; checked": talvo's arguments; setups must succeed
        std::string out;   // "": empty; "{...": run with --json, a JSON form (below); else a regex
        int status = 0;
        std::string err = "";
        std::string shell = "";  // run by sh just ahead of the checked command; must succeed
    } rows[] = {
        {"create", "^<D>/r000\n$"},
        // A greedy --var once swallowed the pattern that followed it.
        {"create --var KIND=cpu run-{KIND}-@@", "^<D>/run-cpu-00\n$"},
        {"create --literal lit@ ; create --literal --overwrite lit@", "^<D>/lit@\n$", 0, "",
         "echo x >lit@/junk"},
        {"create --literal lit@", "", 4,
         "^talvo: create lit@: something of that name is already there\n$"},
        {"create CON", "", 7, "^talvo: create CON: the name is a reserved device name"},
        {"frobnicate", "", 2, "\\S"},
        {"create r@@@ --var NOVALUE", "", 2, "^talvo: --var NOVALUE: expected NAME=VALUE\n$"},
        {"--help", "Usage: talvo[\\s\\S]*Exit status"},
        {"--version", "^talvo 2\\.0\\.0\\.1\n$"},
        {"info nothing", "", 3, "^talvo: nothing: no such result, project, experiment or flag"},
        {"project create proj ; experiment create exp --base proj", "^<D>/proj/exp\n$"},
        {"finalize proj", "", 3, "^talvo: proj: not a result directory\n$"},
        {"experiment create in --base proj/exp", "", 2, "^talvo: "},
        {"experiment create proj/exp/in", "", 2, "^talvo: "},
        {"create --base nowhere x", "", 3, "^talvo: create: --base nowhere: no such folder\n$"},
        {"create proj/{hostname}-@@", "^<D>/proj/[^{}/]+-00\n$"},
        {"-q create --literal proj/r000", ""},
        // Long names are cut; a copy keeps its marker's name, so the group warns of one of the two.
        {"copy proj/r000 proj/copy ; create --literal proj/" + std::string(60, 'x') +
             " ; list proj",
         "\nresult +x{31}~ ", 8, "warning: <D>/proj/copy: a node the group does not list"},
        {"diff proj/r@@@", "", 3,
         "^talvo: diff proj/r@@@: 1 result\\(s\\) match; a comparison needs two\n$"},
        {"finalize proj/r000 ; info proj/r000",
         "\nos: +linux\n[\\s\\S]*\nmpi rank:      -\n[\\s\\S]*\nfinalization:  \\d{4}-"},
        // Standard error is no terminal here: a transfer draws no progress on it.
        {"copy lit@ cp", "^<D>/cp\n$"},
        // Refusals name the holder; killing the holding talvo leaves its command holding the lock.
        {"flag add held busy", "", 5,
         "^talvo: flag add busy: held by \\S+@\\S+ \\(pid \\d+\\) since .+; use --wait",
         "kill -9 " + std::to_string(holder.pid)},
        {"flag add held busy --wait 0.3", "", 5, "gave up waiting\n$"},
        {"flag own held busy", "^busy: held elsewhere\n$", 5},
        {"flag clear held busy", "", 5, "^talvo: flag clear busy: held by "},
        {"flag clear held nosuch", "", 3, "^talvo: flag clear nosuch: no such flag on <D>/held\n$"},
        {"flag add held dead", "", 1, "--take-over",
         "touch held/dead.dflgtalvo held/dead.infotalvo"},
        {"flag who held dead", "--take-over"},
        {"flag own held ..", "", 7, "^talvo: flag own \\.\\.: "},
        // What the holder says comes before what its command prints.
        {"flag add held y -- echo hi", "^holding y on <D>/held\nhi\n$"},
        {"flag add held x -- /nonexistent/cmd", "", 127,
         "^talvo: flag add x: cannot run /nonexistent/cmd"},
        {"copy held missing/x", "", 1,
         "^talvo: copy held to missing/x: the folder <D>/missing does not exist\n$"},
        {"copy held held/in", "", 2, "cannot go inside itself"},
        {"copy held held", "", 4, "held is already there"},
        // diff answers as diff(1) does.
        {"create sd/r@@@ ; diff sd/r000 sd/r001", "mpiRank", 1, "",
         "PMI_RANK=3 \"$TALVO_BIN\" create sd/r@@@"},
        {"create --literal sd/same ; diff sd/same sd/r000", "^"},
        // Destructive commands refuse an empty argument (an unset variable), take paths literally.
        {"project create demo ; create demo/r@@@ ; "
         "create --literal demo/run@home ; create --literal demo/run7home ; rm ''",
         "", 2, "^talvo: argument 2 is empty; give a path or a name\n$",
         "cp demo/demo.talvoproj demo.saved"},
        {"invalidate ''", "", 2, "argument 2 is empty"},
        {"prune '' --keep 0", "", 2, "argument 2 is empty"},
        {"rm demo/run@home", "^"},
        {"create --overwrite thesis", "", 4, "^talvo: ", "mkdir thesis; echo w >thesis/a"},
        {"project create demo", "", 4, "^talvo: "},
        {"project create demo/r000", "", 4, "^talvo: "},
        {"experiment create r000 --base demo", "", 4, "^talvo: "},
        {"experiment create baseline --base demo", "^"},
        {"create --overwrite --force thesis", "^", 0, "", "grep -qx w thesis/a"},
        // Dry runs change nothing; a project with members goes only with --force.
        {"project create dp ; create dp/r@@@ ; rm --dry-run dp/r000",
         "^would remove result <D>/dp/r000\n$"},
        {"create --dry-run --overwrite dp/r000", "^would replace result dp/r000\n$"},
        {"rm dp", "", 1, "^talvo: rm dp: a project with members; add --force"},
        {"rm --dry-run --force dp", "^would remove project <D>/dp\n$"},
        {"rm --force dp", "^", 0, "", "test -f dp/r000/r000.talvo"},
        // A marker copied into some folder does not make that folder a node that rm may delete.
        {"create --literal mk ; rm Downloads/mk.talvo", "", 1, "not named after its folder",
         "mkdir Downloads; echo mine >Downloads/keep.txt; cp mk/mk.talvo Downloads"},
        {"rm mk/mk.talvo", "^"},
        // The newest is the highest number, not the greatest name: r1000 comes after r999.
        {"create --literal hn/r999 ; create --literal hn/r1000 ; "
         "create --literal hn/r0998 ; info hn/r@@@",
         "^path: +<D>/hn/r1000\n"},
        {"rm hn/r@@@", "^"},
        // Damaged input is reported as such (a warning per entry, exit 8), never as an answer.
        {"create --literal dmg/a ; create --literal dmg/b ; create --literal dmg/c ; info dmg/a",
         "^", 8, "talvo: warning: ",
         "printf garbage >dmg/a/a.talvo; printf '<variant_bag' >dmg/b/b.talvo; "
         "printf garbage >dmg/junk.talvolink"},
        {"diff dmg/a dmg/b", "^", 8, "talvo: warning: "},
        {"list dmg", R"({"warnings": ["", "", ""]})", 8},
        // What a user may not remove is reported; a folder that cannot be read is not an empty one.
        {"project create perm/ro ; create perm/ro/r@@@ ; create perm/ro/r@@@ ; "
         "@nobody prune perm/ro --keep 0",
         "^", 1, "could not be removed", "chmod 555 perm/ro"},
        {"@nobody list perm/ro", "", 6, "cannot read the folder", "chmod 0 perm/ro"},
        {"@nobody list perm", "^", 8, "<D>/perm/ro: cannot read the folder"},
        // doctor reports what a dead maker left and sweeps it only when told to.
        {"create doc/r@@@ ; doctor doc",
         "\\.talvo-stage-0123456789abcdef: a new node's staging directory", 1, "",
         "mkdir -p doc/.talvo-stage-0123456789abcdef/data.0"},
        {"doctor --fix doc", R"({"findings": [{"removed": true}], "left": 0})", 0, "",
         "test -d doc/.talvo-stage-0123456789abcdef"},
        {"doctor doc", "^nothing to report\n$"},
        {"doctor missing", "", 3, "^talvo: doctor missing: no such"},
        // Sizes: whole bytes, then one decimal, so that just under a MiB is 1024.0 KiB.
        {"list sz", "1023 B\n.*1\\.0 KiB\n.*1024\\.0 KiB\n.*1\\.0 MiB\n.*1\\.5 KiB\n$", 0, "",
         "for n in 1023 1024 1536 1048575 1048576; do \"$TALVO_BIN\" -q create --literal sz/$n; "
         "truncate -s $((n - $(stat -c %s sz/$n/$n.talvo))) sz/$n/pad; done"},
        // A folder name that is not UTF-8 reads as U+FFFD but is no node the group left unlisted.
        {"create --literal u8/x\x80", "", 7,
         "^talvo: argument 3 is not UTF-8; names are UTF-8 on disk\n$"},
        {"create --literal u8/\xEF\xBF\xBD ; list u8", "\nresult +\xEF\xBF\xBD ", 0, "",
         "mkdir -p u8/\x80"},
        // Every command's document (docs/cli-json.md); a failure's goes to standard error.
        {"project create p", R"({"kind": "project", "path": "<D>/p"})"},
        {"project open p", R"({"kind": "project", "path": "<D>/p"})"},
        {"experiment create e --base p", R"({"kind": "experiment", "path": "<D>/p/e"})"},
        {"experiment open p/e", R"({"kind": "experiment", "path": "<D>/p/e"})"},
        {"create --base p/e", R"({"kind": "result", "path": "<D>/p/e/r000"})"},
        {"create p/r@@@ ; create p/r@@@", R"({"kind": "result", "path": "<D>/p/r001"})"},
        {"create --dry-run p/r@@@", R"({"path": "", "replaces": false, "dryRun": true})"},
        {"list p/e", R"({"group": "<D>/p/e", "members": [{"kind": "result", "name": "r000"}]})"},
        {"rm p/e/r000", R"({"removed": ["<D>/p/e/r000"], "dryRun": false})"},
        {"diff p/r000 p/r001", R"({"first": {"kind": "result", "name": "r000"}, "differences": {},)"
                               R"( "second": {"kind": "result", "name": "r001"}})"},
        {"finalize p/r000",
         R"({"path": "<D>/p/r000", "finalized": true, "finalizationEnd": <time>})"},
        {"finalize --undo p/r000", R"({"path": "<D>/p/r000", "finalized": false})"},
        {"invalidate p/r001", R"({"path": "<D>/p/r001-bad"})"},
        {"list p", R"({"members": [{"kind": "experiment", "name": "e"}, {"kind": "result", "name":)"
                   R"( "r000", "finalized": false, "valid": true}, {"kind": "result", "name":)"
                   R"( "r001-bad", "valid": false}]})"},
        {"create --literal src ; export src out/r@@@ --exclude '*.log' --exclude '*.tmp'",
         R"({"path": "<D>/out/r000"})", 0, "",
         "mkdir src/data.0 src/data.1 src/notes; touch src/data.0/keep.txt src/data.0/trace.log "
         "src/scratch.tmp; for i in $(seq 12); do echo x >src/data.1/f$i; done"},
        {"copy src c --rename-marker", R"({"path": "<D>/c"})"},
        {"info c", R"({"kind": "result", "marker": "<D>/c/c.talvo"})"},
        {"move c m --rename-marker", R"({"path": "<D>/m"})"},
        {"link m p/e", R"({"path": "<D>/m", "linked": true, "linkFile": ""})"},
        {"unlink m", R"({"path": "<D>/m", "linked": false})"},
        {"info src",
         R"({"kind": "result", "linked": false, "collectorData": [], "metadata":)"
         R"( {"host": "", "os": "linux", "isa": "", "collectionBegin": <time>,)"
         R"( "collectionEnd": <time>, "finalizationBegin": <time>, "finalizationEnd": <time>}})"},
        // Prune takes the lowest numbers, and never an experiment; a dry run removes nothing.
        {"experiment create g/later", R"({"kind": "experiment", "path": "<D>/g/later"})", 0, "",
         "for i in $(seq 12); do \"$TALVO_BIN\" -q create g/r@; done"},
        {"prune g --keep 3 --pattern r@ --dry-run", "would remove <D>/g/r8\n"},
        {"prune g --keep 3",
         R"({"group": "<D>/g", "removed": ["", "", "", "", "", "", "", "", ""],)"
         R"( "kept": ["<D>/g/r11", "<D>/g/r10", "<D>/g/r9"], "failed": [], "dryRun": false})"},
        // An absolute pattern; diff compares the two highest numbers, not the greatest names.
        {"diff '<D>/g/r@'", R"({"first": {"name": "r11"}, "second": {"name": "r10"}})"},
        {"flag add p/r000 f -- true",
         R"({"flag": "f", "held": true, "holder": {"user": "", "host": "", "since": <time>}})"},
        {"flag who p/r000 f", R"({"flag": "f", "state": "", "held": false})"},
        {"flag own p/r000 f", R"({"flag": "f", "state": ""})"},
        {"sysinfo", R"({"host": "", "isa": {"maxVectorBits": 0}, "cpu": {"brand": "", "family": 0,)"
                    R"( "model": 0, "stepping": 0, "type": 0, "frequencyHz": 0, "logicalCpus": 0,)"
                    R"( "cores": 0, "packages": 0}})"},
        {"doctor p", R"({"root": "", "findings": [], "left": 0})"},
        {"flag clear p/r000 nosuch", "", 3,
         R"({"error": {"status": 3, "code": "NotFound", "message": ""}})"},
    };
    // A document has every key of its form, of the same type; what is not ""/0/[] must match.
    const auto form = [&](const std::string& text) {
        const std::string time = R"({"seconds": 0, "text": ""})";
        return json::parse(replaced(replaced(text, "<D>", d.string()), "<time>", time));
    };
    // Wherever a node ("kind") is, its whole summary is.
    const json summary = form(R"({"name": "", "path": "", "marker": "", "damaged": false,)"
                              R"( "created": <time>, "size": 0, "files": 0})");
    const std::function<bool(const json&, const json&)> matches = [&](const json& value,
                                                                      const json& want) {
        if (want.is_number()) return value.is_number() && (want == 0 || value == want);
        if (value.type() != want.type()) return false;
        if (!want.is_structured()) return want == "" || value == want;
        if ((want.is_array() && !want.empty() && value.size() != want.size()) ||
            (want.contains("kind") && !matches(value, summary)))
            return false;
        for (const auto& [key, inner] : want.items()) {
            const json::json_pointer at("/" + key);  // a key or an index
            if (!value.contains(at) || !matches(value[at], inner)) return false;
        }
        return true;
    };
    const auto fits = [&](const std::string& text, const std::string& pattern) {
        if (pattern.empty()) return text.empty();
        if (pattern[0] == '{') return matches(json::parse(text, nullptr, false), form(pattern));
        return std::regex_search(replaced(text, d.string(), "<D>"), std::regex(pattern));
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        std::string args = replaced(row.args, "<D>", d.string());
        for (std::size_t at; (at = args.find(" ; ")) != std::string::npos; args.erase(0, at + 3))
            ASSERT_EQ(Talvo(d, args.substr(0, at)).finish().status, 0) << args.substr(0, at);
        ASSERT_EQ(sh(d, row.shell), 0) << row.shell;
        const bool asJson = row.out[0] == '{' || row.err[0] == '{';
        const Outcome run = Talvo(d, (asJson ? "--json " : "") + args).finish();
        EXPECT_EQ(run.status, row.status) << run;
        EXPECT_TRUE(fits(run.out, row.out) && fits(run.err, row.err)) << run;
        EXPECT_EQ(run.err.find("unknown error"), std::string::npos) << run;
    }
#if !TALVO2_SLOW_COPY_TSAN  // its runtime must come first; the slowing library cannot be preloaded
    // A transfer fills a hidden directory beside its target and renames it into place at the end.
    const auto staging = [&d] {
        return sh(d, "find . -name '.talvo-stage-*' 2>/dev/null | grep -q .") == 0;
    };
    // 250 ms per file copied keeps the transfer going; ASan must be told to accept the preload.
    const char* slow = "LD_PRELOAD=" TALVO2_SLOW_COPY
                       " SLOW_COPY_MS=250 ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\"";
    for (const std::string command : {"copy src dest", "export src out/r@@@"}) {
        Talvo run(d, command, slow);
        ASSERT_TRUE(eventually(staging)) << command;
        ASSERT_EQ(::kill(run.pid, SIGINT), 0);
        const Outcome outcome = run.finish();
        EXPECT_EQ(outcome.status, 130) << command << ": " << outcome;
        const std::string canceled = command.substr(0, command.find(' ')) + " src: canceled";
        EXPECT_EQ(outcome.err.rfind("talvo: " + canceled, 0), 0u) << outcome;
        EXPECT_FALSE(fs::exists(d / "dest") || fs::exists(d / "out/r001") || staging()) << command;
        EXPECT_EQ(std::distance(fs::directory_iterator(d / "src/data.1"), {}), 12);
    }
#endif
    for (const char* kept :
         {"demo/run7home/run7home.talvo", "demo/r000/r000.talvo", "demo/baseline/baseline.talvoexp",
          "thesis/thesis.talvo", "Downloads/keep.txt", "hn/r999", "hn/r0998", "out/r000/r000.talvo",
          "out/r000/data.0/keep.txt", "m/m.talvo", "m/data.0/trace.log", "src/src.talvo",
          "g/later/later.talvoexp"})
        EXPECT_TRUE(fs::exists(d / kept)) << kept;
    for (const char* gone :
         {"lit@/junk", "demo/run@home", "demo/r000-bad", "demo/demo", "demo/r000/r000.talvoproj",
          "dp", "mk", "hn/r1000", "out/r000/data.0/trace.log", "out/r000/scratch.tmp", "c",
          "p/e/r000", "g/r8"})
        EXPECT_FALSE(fs::exists(d / gone)) << gone;
    EXPECT_EQ(readFile(d / "demo/demo.talvoproj"), readFile(d / "demo.saved"));
    // A result records the machine that sysinfo describes, in the same form.
    const json info = json::parse(Talvo(d, "--json info src").finish().out);
    const json machine = json::parse(Talvo(d, "--json sysinfo").finish().out);
    for (const char* key : {"host", "cpu", "mpiRank"})
        EXPECT_EQ(info["metadata"][key], machine[key]) << key;
    EXPECT_EQ(info["collectorData"].get<std::multiset<std::string>>(),
              (std::multiset<std::string>{"data.0", "data.1"}));
    // The owner record names the command; --wait takes the flag once the command ends.
    const json who = json::parse(Talvo(d, "--json flag who held busy").finish().out);
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
    EXPECT_EQ(sh(d, "\"$TALVO_BIN\" info held >/dev/full 2>/dev/null"), 1);
}

// `cmake --install` puts the manual page and the bash completion beside the binary.
TEST(TalvoCli, ManPageAndCompletionAreInstalled) {
    TempDir dir;
    // Completes as bash would call it: the words so far and the index of the one being typed.
    talvo2::test::writeFile(dir.path() / "check.sh",
                            R"sh(p=$(dirname "$(dirname "$TALVO_BIN")")/share
for text in 'EXIT STATUS' 'talvo create' 'talvo project create' 'talvo flag who' interrupted; do
    grep -qF "$text" "$p/man/man1/talvo.1" || echo "not in the manual page: $text"
done
source "$p/bash-completion/completions/talvo"
f=$(complete -p talvo); f=${f##*-F }; f=${f%% *}
COMP_WORDS=(talvo fl) COMP_CWORD=1; $f; echo "${COMPREPLY[*]}"
COMP_WORDS=(talvo flag '') COMP_CWORD=2; $f; echo "${COMPREPLY[*]}"
COMP_WORDS=(talvo list --js) COMP_CWORD=2; $f; echo "${COMPREPLY[*]}"
)sh");
    ASSERT_EQ(sh(dir.path(), "bash check.sh >out"), 0);
    EXPECT_EQ(readFile(dir.path() / "out"), "flag\nadd own clear who\n--json\n");
}

}  // namespace
