// End-to-end tests of the installed talvo tool, run in child processes as scripts and people do.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/algorithm/string/replace.hpp>
#include <chrono>
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
using namespace talvo2::test;

struct Outcome {
    int status = -1;  // the exit status; 128 + the signal for a killed process
    std::string out, err;
};

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 3000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// talvo in `cwd` with the arguments `line` ("@nobody ..." without root's rights), or the sh script
// "!..." stopping at its first failure; its output goes to memory files, readable at any time.
struct Talvo {
    Talvo(const fs::path& cwd, const std::string& line) {
        const bool nobody = line.rfind("@nobody ", 0) == 0;
        const std::string drop =
            nobody && ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
        const std::string script =
            line[0] == '!' ? "set -e; " + line.substr(1)
                           : "exec " + drop + "\"$TALVO_BIN\" " + line.substr(nobody ? 8 : 0);
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
        std::string args;  // "setup ; !sh setup ; checked": talvo's arguments; setups must succeed
        std::string out;   // "": empty; "{...": run with --json, a JSON form (below); else a regex
        int status = 0;
        std::string err = "";
    } rows[] = {
        {"create", "^<D>/r000\n$"},
        // A greedy --var once swallowed the pattern that followed it.
        {"create --var KIND=cpu run-{KIND}-@@", "^<D>/run-cpu-00\n$"},
        {"create --literal lit@ ; create --literal lit@", "", 4,
         "^talvo: create lit@: something of that name is already there\n$"},
        {"!echo x >lit@/junk ; create --literal --overwrite lit@", "^<D>/lit@\n$"},
        {"create CON", "", 7, "^talvo: create CON: the name is a reserved device name"},
        {"frobnicate", "", 2, "\\S"},
        {"create r@@@ --var NOVALUE", "", 2, "^talvo: --var NOVALUE: expected NAME=VALUE\n$"},
        {"--help", "Usage: talvo[\\s\\S]*Exit status"},
        {"--version", "^talvo 2\\.0\\.0\\.1\n$"},
        {"!\"$TALVO_BIN\" info held >/dev/full", "", 1, "^talvo: cannot write the output: "},
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
        {"!kill -9 " + std::to_string(holder.pid) + " ; flag add held busy", "", 5,
         "^talvo: flag add busy: held by \\S+@\\S+ \\(pid \\d+\\) since .+; use --wait"},
        {"flag add held busy --wait 0.3", "", 5, "gave up waiting\n$"},
        {"flag own held busy", "^busy: held elsewhere\n$", 5},
        {"flag clear held busy", "", 5, "^talvo: flag clear busy: held by "},
        {"flag clear held nosuch", "", 3, "^talvo: flag clear nosuch: no such flag on <D>/held\n$"},
        {"!cd held; touch old.dflgtalvo old.infotalvo ; flag add held old", "", 1, "--take-over"},
        {"flag who held old", "--take-over"},
        {"flag own held ..", "", 7, "^talvo: flag own \\.\\.: "},
        // What the holder says comes before what its command prints.
        {"flag add held y -- echo hi", "^holding y on <D>/held\nhi\n$"},
        {"flag add held x -- /nonexistent/cmd", "", 127,
         "^talvo: flag add x: cannot run /nonexistent/cmd"},
        {"copy held missing/x", "", 1,
         "^talvo: copy held to missing/x: the folder <D>/missing does not exist\n$"},
        {"copy held held/in", "", 2, "cannot go inside itself"},
        {"copy held held", "", 4, "held is already there"},
        {"create sd/r@@@ ; !PMI_RANK=3 \"$TALVO_BIN\" create sd/r@@@ ; diff sd/r000 sd/r001",
         "mpiRank", 1},
        {"create --literal sd/same ; diff sd/same sd/r000", "^"},
        // Destructive commands refuse an empty argument (an unset variable), take paths literally.
        {"project create demo ; create demo/r@@@ ; create --literal demo/run@home ; "
         "create --literal demo/run7home ; !cp demo/demo.talvoproj demo.saved ; rm ''",
         "", 2, "^talvo: argument 2 is empty; give a path or a name\n$"},
        {"rm demo/run@home", "^"},
        {"!mkdir thesis; echo w >thesis/a ; create --overwrite thesis", "", 4, "^talvo: "},
        {"project create demo/r000", "", 4, "^talvo: "},
        {"experiment create r000 --base demo", "", 4, "^talvo: "},
        {"experiment create baseline --base demo", "^"},
        {"!grep -qx w thesis/a ; create --overwrite --force thesis", "^"},
        // Dry runs change nothing; a project with members goes only with --force.
        {"project create dp ; create dp/r@@@ ; rm --dry-run dp/r000",
         "^would remove result <D>/dp/r000\n$"},
        {"create --dry-run --overwrite dp/r000", "^would replace result dp/r000\n$"},
        {"rm dp", "", 1, "^talvo: rm dp: a project with members; add --force"},
        {"rm --dry-run --force dp", "^would remove project <D>/dp\n$"},
        {"!test -f dp/r000/r000.talvo ; rm --force dp", "^"},
        // A marker copied into some folder does not make that folder a node that rm may delete.
        {"create --literal mk ; !mkdir dl; echo mine >dl/keep; cp mk/mk.talvo dl ; rm dl/mk.talvo",
         "", 1, "not named after its folder"},
        {"rm mk/mk.talvo", "^"},
        // The newest is the highest number, not the greatest name: r1000 comes after r999.
        {"create --literal hn/r999 ; create --literal hn/r1000 ; "
         "create --literal hn/r0998 ; info hn/r@@@",
         "^path: +<D>/hn/r1000\n"},
        {"rm hn/r@@@", "^"},
        // Damaged input is reported as such (a warning per entry, exit 8), never as an answer.
        {"create --literal dmg/a ; create --literal dmg/b ; create --literal dmg/c ; !cd dmg; "
         "echo x >a/a.talvo; printf '<variant_bag' >b/b.talvo; echo x >junk.talvolink ; info dmg/a",
         "^", 8, "talvo: warning: "},
        {"diff dmg/a dmg/b", "^", 8, "talvo: warning: "},
        {"list dmg", R"({"warnings": ["", "", ""]})", 8},
        // What a user may not remove is reported; a folder that cannot be read is not an empty one.
        {"project create perm/ro ; create perm/ro/r@@@ ; create perm/ro/r@@@ ; "
         "!chmod 555 perm/ro ; @nobody prune perm/ro --keep 0",
         "^", 1, "could not be removed"},
        {"!chmod 0 perm/ro ; @nobody list perm/ro", "", 6, "cannot read the folder"},
        {"@nobody list perm", "^", 8, "<D>/perm/ro: cannot read the folder"},
        // doctor reports what a dead maker left and sweeps it only when told to.
        {"create doc/r@@@ ; !mkdir -p doc/.talvo-stage-0123456789abcdef/data.0 ; doctor doc",
         "\\.talvo-stage-0123456789abcdef: a new node's staging directory", 1},
        {"!test -d doc/.talvo-stage-0123456789abcdef ; doctor --fix doc",
         R"({"findings": [{"removed": true}], "left": 0})"},
        {"doctor doc", "^nothing to report\n$"},
        {"doctor missing", "", 3, "^talvo: doctor missing: no such"},
        // Sizes: whole bytes, then one decimal, so that just under a MiB is 1024.0 KiB.
        {"!for n in 1023 1024 1536 1048575 1048576; do \"$TALVO_BIN\" -q create --literal sz/$n; "
         "truncate -s $((n - $(stat -c %s sz/$n/$n.talvo))) sz/$n/pad; done ; list sz",
         "1023 B\n.*1\\.0 KiB\n.*1024\\.0 KiB\n.*1\\.0 MiB\n.*1\\.5 KiB\n$"},
        // A folder name that is not UTF-8 reads as U+FFFD but is no node the group left unlisted.
        {"create --literal u8/x\x80", "", 7,
         "^talvo: argument 3 is not UTF-8; names are UTF-8 on disk\n$"},
        {"create --literal u8/\xEF\xBF\xBD ; !mkdir u8/\x80 ; list u8", "\nresult +\xEF\xBF\xBD "},
        // Every command's document (docs/cli-json.md); a failure's goes to standard error.
        {"project create p ; project open p", R"({"kind": "project", "path": "<D>/p"})"},
        {"experiment create e --base p ; experiment open p/e",
         R"({"kind": "experiment", "path": "<D>/p/e"})"},
        {"create --base p/e ; create p/r@@@ ; create p/r@@@",
         R"({"kind": "result", "path": "<D>/p/r001"})"},
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
        {"create --literal src ; !cd src; mkdir data.0 data.1 notes; touch data.0/keep.txt "
         "data.0/trace.log scratch.tmp; for i in $(seq 12); do echo x >data.1/f$i; done ; "
         "export src out/r@@@ --exclude '*.log' --exclude '*.tmp'",
         R"({"path": "<D>/out/r000"})"},
        {"copy src c --rename-marker ; info c", R"({"kind": "result", "marker": "<D>/c/c.talvo"})"},
        {"move c m --rename-marker", R"({"path": "<D>/m"})"},
        {"link m p/e", R"({"path": "<D>/m", "linked": true, "linkFile": ""})"},
        {"unlink m", R"({"path": "<D>/m", "linked": false})"},
        {"info src", R"({"kind": "result", "linked": false, "metadata": {"os": "linux", "isa": "",)"
                     R"( "collectionBegin": <time>, "collectionEnd": <time>,)"
                     R"( "finalizationBegin": <time>, "finalizationEnd": <time>}})"},
        // Prune takes the lowest numbers, and never an experiment; a dry run removes nothing.
        {"!for i in $(seq 12); do \"$TALVO_BIN\" -q create g/r@; done ; experiment create g/later",
         R"({"kind": "experiment", "path": "<D>/g/later"})"},
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
        // Installed beside the binary: the manual page, and bash completion called as bash does.
        {R"sh(!bash <<'EOF'
p=$(dirname "$(dirname "$TALVO_BIN")")/share
for text in 'EXIT STATUS' 'talvo create' 'talvo project create' 'talvo flag who' interrupted; do
    grep -qF "$text" "$p/man/man1/talvo.1" || echo "not in the manual page: $text"
done
source "$p/bash-completion/completions/talvo"
f=$(complete -p talvo); f=${f##*-F }; f=${f%% *}
COMP_WORDS=(talvo fl) COMP_CWORD=1; $f; echo "${COMPREPLY[*]}"
COMP_WORDS=(talvo flag '') COMP_CWORD=2; $f; echo "${COMPREPLY[*]}"
COMP_WORDS=(talvo list --js) COMP_CWORD=2; $f; echo "${COMPREPLY[*]}"
EOF
)sh",
         "^flag\nadd own clear who\n--json\n$"},
    };
    // A document has every key of its form, of the same type; what is not ""/0/[] must match.
    const auto form = [&](std::string text) {
        boost::replace_all(text, "<D>", d.string());
        boost::replace_all(text, "<time>", R"({"seconds": 0, "text": ""})");
        return json::parse(text);
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
        return std::regex_search(boost::replace_all_copy(text, d.string(), "<D>"),
                                 std::regex(pattern));
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        std::string args = boost::replace_all_copy(row.args, "<D>", d.string());
        for (std::size_t at; (at = args.find(" ; ")) != std::string::npos; args.erase(0, at + 3))
            ASSERT_EQ(Talvo(d, args.substr(0, at)).finish().status, 0) << args.substr(0, at);
        const bool asJson = row.out[0] == '{' || row.err[0] == '{';
        const Outcome run = Talvo(d, (asJson ? "--json " : "") + args).finish();
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_TRUE(fits(run.out, row.out) && fits(run.err, row.err)) << run.out << run.err;
        EXPECT_EQ(run.err.find("unknown error"), std::string::npos) << run.err;
    }
#if !TALVO2_SLOW_COPY_TSAN  // its runtime must come first; the slowing library cannot be preloaded
    // A transfer fills a hidden directory beside its target and renames it into place at the end.
    const auto staging = [&d] {
        return Talvo(d, "!find . -name '.talvo-stage-*' | grep -q .").finish().status == 0;
    };
    // 250 ms per file copied keeps the transfer going; ASan must be told to accept the preload.
    const std::string slow =
        "!SLOW_COPY_MS=250 ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" "
        "LD_PRELOAD=" TALVO2_SLOW_COPY " exec \"$TALVO_BIN\" ";
    for (const std::string command : {"copy src dest", "export src out/r@@@"}) {
        Talvo run(d, slow + command);
        ASSERT_TRUE(eventually(staging)) << command;
        ASSERT_EQ(::kill(run.pid, SIGINT), 0);
        const Outcome outcome = run.finish();
        EXPECT_EQ(outcome.status, 130) << command << ": " << outcome.err;
        const std::string verb = command.substr(0, command.find(' '));
        EXPECT_EQ(outcome.err.rfind("talvo: " + verb + " src: canceled", 0), 0u) << outcome.err;
        EXPECT_FALSE(fs::exists(d / "dest") || fs::exists(d / "out/r001") || staging()) << command;
        EXPECT_EQ(std::distance(fs::directory_iterator(d / "src/data.1"), {}), 12);
    }
#endif
    for (const char* kept :
         {"demo/run7home/run7home.talvo", "demo/r000/r000.talvo", "demo/baseline/baseline.talvoexp",
          "thesis/thesis.talvo", "dl/keep", "hn/r999", "hn/r0998", "out/r000/r000.talvo",
          "out/r000/data.0/keep.txt", "m/m.talvo", "m/data.0/trace.log", "g/later/later.talvoexp"})
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
    // The owner record names the command; --wait waits (not giving up) until the command ends.
    const json who = json::parse(Talvo(d, "--json flag who held busy").finish().out);
    EXPECT_EQ(who["holder"], json::parse(Talvo::text(holder.out))["holder"]);
    const pid_t command = who["holder"]["pid"].get<pid_t>();
    EXPECT_EQ(readFile("/proc/" + std::to_string(command) + "/comm"), "sleep\n");
    Talvo waiter(d, "flag add held busy --wait -- true");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(::waitpid(waiter.pid, nullptr, WNOHANG), 0);
    ASSERT_EQ(::kill(command, SIGTERM), 0);
    EXPECT_EQ(waiter.finish().status, 0);
}

}  // namespace
