// Root and another user run every talvo command and library operation over a neighbour's traps:
// nothing outside may change, hang, crash or fail unclearly; TALVO2_HOSTILE_LONG=1 re-traps each.
// Per victim: hostile-neighbour: VICTIM runs=N hangs=N crashes=N unclear=N changed=N max_rss_kib=N

#include <sys/stat.h>

#include <iostream>
#include <sstream>

#include "robustness/harness.hpp"

namespace talvo2::harness {
namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;

// Far above an operation's needs, far below reading a trap whole; ASan's shadow inflates all.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMaxRssKiB = 1L << 20;
constexpr rlim_t kAddressSpace = RLIM_INFINITY;
#else
constexpr long kMaxRssKiB = 256L << 10;
constexpr rlim_t kAddressSpace = rlim_t{2} << 30;
#endif
constexpr unsigned kTimeLimit = 60;   // seconds
constexpr unsigned kMallory = 60003;  // the attacker, in a group of their own

// Traps as "PATH KIND [PLACE]", PLACE in the victim's tree or "/": "forge:KEY" edits KEY = PLACE
// into a marker, "link" a link file naming PLACE, "symlink" one to it; "pipe", "huge" (8 GiB,
// sparse), "deep" (XML 100,000 levels deep), "unterminated" and "empty" make such a file.
const char* const kTraps[] = {
    // Markers whose paths point at the victim's tree.
    "P/r000/r000.talvo forge:backlink important.txt",
    "P/r000/r000.talvo forge:applicationLog important.txt",
    "P/r001/r001.talvo forge:backlink proj/r000.talvolink", "P/r002/r002.talvo forge:backlink /",
    "P/P.talvoproj forge:outputDirectory work", "E/E.talvoexp forge:outputDirectory /",
    "r000/r000.talvo forge:backlink work", "r000/r000.talvo forge:collectorLog /",
    // Link files naming the victim's nodes, folders and the root; links to them; broken ones.
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

// Flags with traps at their files, as "NODE FLAG".
const char* const kFlags[] = {"r001 busy",  "r001 held", "r001 held2", "r001 fifo",
                              "r001 fifo2", "r002 huge", "r002 bad",   "r002 deep"};

// The nodes the victims' operations name, relative to the shared folder.
std::vector<std::string> nodes() {
    std::vector<std::string> all;
    for (int i = 0; i < 12; ++i) all.push_back((i < 10 ? "r00" : "r0") + std::to_string(i));
    for (const char* node : {"P", "E", "P/r000", "P/r001", "P/r002"}) all.push_back(node);
    for (const std::string trap : kTraps)  // link files, whatever they are: "link" in the PATH
        if (trap.find("link") < trap.find(' ')) all.push_back(trap.substr(0, trap.find(' ')));
    return all;
}

void drain(const sptr_t<IPathIterator>& paths) {
    while (paths && paths->next()) continue;
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
    for (const char* flag : kFlags)
        for (std::string form : {"flag who %", "flag own %", "flag add % -- true",
                                 "flag add --take-over % -- true", "flag clear --force %"})
            all.push_back(form.replace(form.find('%'), 1, flag));
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

// The library's operations over the traps, as "VERB [NODE [FLAG]]", in the commands' order.
std::vector<std::string> operations() {
    std::vector<std::string> all;
    for (const std::string& node : nodes()) all.push_back("open " + node);
    all.push_back("findProjects .");
    for (const std::string flag : kFlags) all.push_back("flags " + flag);
    for (const std::string node : {"r004", "r005", "r007", "r009"}) all.push_back("search " + node);
    all.insert(all.end(),
               {"finish r001", "invalidate r002", "copy r001", "moves", "setParent r000"});
    for (const std::string& node : nodes()) all.push_back("remove " + node);
    for (const std::string group : {"P", "E", "."}) all.push_back("removeNodes " + group);
    return all;
}

// Performs one of the library's operations in the shared folder `s`.
void operate(const std::string& operation, const fs::path& s) {
    std::string verb, node, flag;
    std::istringstream(operation) >> verb >> node >> flag;
    const std::wstring at = (s / node).wstring(), name(flag.begin(), flag.end());
    if (verb == "open") {
        lookAt(openAny(s / node));
    } else if (verb == "findProjects") {
        drain(INodeGroup::findProjects(at.c_str()));
    } else if (verb == "removeNodes") {
        if (const auto group = INodeGroup::open(at.c_str())) group->removeNodes(nullptr, 0);
    } else if (verb == "search") {
        const auto search = ISearchDirectories::create(at.c_str());
        if (search && search->getStorage()) {
            search->getStorage()->setValue(L"x", variant_t(L"y"));
            search->save();
        }
    } else if (verb == "moves") {  // within the folder, and a member out of its project
        if (const auto r = openResult(s / "r004")) r->move(wide(s / "mv").c_str(), true, nullptr);
        if (const auto r = openResult(s / "P/r001"))
            r->move(wide(s / "mv2").c_str(), false, nullptr);
    } else if (verb == "remove") {
        if (const sptr_t<INode> n = openAny(s / node)) n->remove();
    } else if (verb == "flags") {
        const sptr_t<INode> n = openAny(s / node);
        sptr_t<IFlagData> holder;
        if (!n) return;
        n->ownFlag(name.c_str());
        n->addFlag(name.c_str(), holder, false, false);
        n->addFlag(name.c_str(), holder, true, true);
        n->removeFlag(name.c_str(), false);
        n->setFlag(name.c_str());
        n->clearFlag(name.c_str(), true);
        n->removeFlag(name.c_str(), true);
    } else if (const auto r = openResult(s / node); r && verb == "finish") {
        r->setFinalized(true);
        r->createCollectorDataDir();
        // "log" is a link out of the result: no place to write logs.
        EXPECT_EQ(r->getSubdir(STANDARD_DIR_LOG), nullptr);
        EXPECT_EQ(r->getSubdir(L"log/x"), nullptr);
    } else if (r && verb == "invalidate") {
        r->setInvalid();
    } else if (r && verb == "copy") {  // duplicate, export and copy
        r->duplicate((s / "dup").wstring().c_str());
        r->exportTo((s / "ex@@@").wstring().c_str(), nullptr);
        r->copy((s / "cp").wstring().c_str(), true, nullptr);
    } else if (r && verb == "setParent") {
        r->setParent((s / "P").wstring().c_str());
    }
}

// Fills S with a project P of three members, an experiment E and results r000 to r011, then traps
// them, naming places in the victim's tree C.
void plantTraps(const fs::path& S, const fs::path& C) {
    {
        const auto project = IProject::create((S / "P").wstring().c_str(), nullptr, false);
        ASSERT_TRUE(project);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr));
        ASSERT_TRUE(IExperiment::create((S / "E").wstring().c_str(), nullptr));
        for (int i = 0; i < 12; ++i) ASSERT_TRUE(test::createResult((S / "r@@@").wstring()));
    }
    for (const char* trap : kTraps) {
        std::string path, kind, place;
        std::istringstream(trap) >> path >> kind >> place;
        const fs::path at = S / path, target = place == "/" ? fs::path("/") : C / place;
        fs::create_directories(at.parent_path());
        variant_bag_t bag;
        if (kind.rfind("forge:", 0) == 0) {
            ASSERT_EQ(corekit2::load_variant_bag(bag, at.wstring().c_str(), ""), corekit2::BAG_OK);
            bag.get<variant_bag_t>(L"talvo")->put(fs::path(kind.substr(6)).wstring().c_str(),
                                                  variant_t(target.wstring().c_str()));
            ASSERT_EQ(corekit2::save_variant_bag(bag, at.wstring().c_str()), corekit2::BAG_OK);
        } else if (kind == "link") {
            bag.put(L"link", variant_t(target.wstring().c_str()));
            bag.put(L"md5sum", variant_t(L"0123456789abcdef0123456789abcdef"));
            ASSERT_EQ(corekit2::save_variant_bag2(bag, wide(at).c_str(), "bag"), corekit2::BAG_OK);
        } else if (kind == "symlink" || kind == "pipe") {
            ::remove(at.c_str());  // what the neighbour replaces, if it exists
            const int made =
                kind == "pipe" ? ::mkfifo(at.c_str(), 0666) : ::symlink(target.c_str(), at.c_str());
            ASSERT_EQ(made, 0) << at;
        } else {
            std::string text = "<?xml version=\"1.0\"?><variant_bag version=\"1\">";
            if (kind == "unterminated") text += "<bag key=\"";
            for (int i = 0; kind == "deep" && i < 100000; ++i) text += "<bag key=\"a\">";
            if (kind == "deep") text += std::string(100000, ' ') + "</variant_bag>";
            test::writeFile(at, kind == "empty" || kind == "huge" ? "" : text);
            ASSERT_TRUE(kind != "huge" || ::truncate(at.c_str(), off_t{8} << 30) == 0) << at;
        }
    }
    // Writable by all, so that every victim's operations get as far as they can.
    for (fs::recursive_directory_iterator it(S), end; it != end; ++it)
        if (const auto type = it->symlink_status().type();
            type == fs::regular_file || type == fs::directory_file)
            ::chmod(it->path().c_str(), type == fs::directory_file ? 0777 : 0666);
}

class HostileNeighbour : public ::testing::TestWithParam<int> {};  // the victim's uid

TEST_P(HostileNeighbour, LeavesEverythingOutsideTheSharedFolderAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as attacker and victims";
    const int uid = GetParam();
    // The victim's tree: files, a result, a project with a member linked in, alice's own result.
    test::TempDir dir;
    const fs::path canary = dir.path() / "canary";
    fs::create_directories(canary / "work");
    test::writeFile(canary / "important.txt", "precious");
    test::writeFile(canary / "work/notes.txt", "mine");
    ASSERT_TRUE(test::createResult((canary / "work/res").wstring()));
    {
        const auto project = IProject::create((canary / "proj").wstring().c_str(), nullptr, false);
        ASSERT_TRUE(project);
        project->getNodeGroup()->setOutputDirectory((canary / "out").wstring().c_str());
        ASSERT_TRUE(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr));
    }
    fs::create_directories(canary / "alice");
    ASSERT_EQ(::chown((canary / "alice").c_str(), test::kAlice, test::kSharedGroup), 0);
    const auto mine = [&] { ASSERT_TRUE(test::createResult((canary / "alice/mine").wstring())); };
    ASSERT_EQ(test::runAsUser(test::kAlice, test::kSharedGroup, mine), 0);
    const auto before = test::snapshot(canary);

    long runs = 0, hangs = 0, crashes = 0, unclear = 0, changed = 0, maxRssKiB = 0;
    fs::path shared;
    std::vector<std::string> all = commands();
    const std::size_t commandCount = all.size();
    for (const std::string& operation : operations()) all.push_back(operation);
    for (std::size_t i = 0; i < all.size(); ++i) {
        // Fresh traps for the commands, for the library's operations, in the long form for each.
        if (i == 0 || i == commandCount || fromEnvironment("TALVO2_HOSTILE_LONG", 0) != 0) {
            shared = dir.path() / ("shared" + std::to_string(i));
            fs::create_directories(shared);
            ::chmod(shared.c_str(), 0777);
            ASSERT_EQ(test::runAsUser(kMallory, kMallory, [&] { plantTraps(shared, canary); }), 0);
        }
        const bool cli = i < commandCount;
        const ChildRun run = runChild(kTimeLimit, uid, uid == 0 ? 0 : test::kSharedGroup, [&] {
            const rlimit space{kAddressSpace, kAddressSpace};
            ::setrlimit(RLIMIT_AS, &space);
            if (!cli) return operate(all[i], shared);
            // talvo in the shared folder, its output discarded; 125 up: it did not start.
            const std::string line = "cd " + shared.string() +
                                     " || exit 125; exec " TALVO2_CLI " " + all[i] + " >/dev/null";
            ::execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
            ::_exit(125);
        });
        // A clear refusal: a documented status and a "talvo: " line or, with --json, an error.
        const bool said = run.output.rfind("talvo: ", 0) == 0 ||
                          run.output.find("\"message\"") != std::string::npos ||
                          (run.status == 8 && run.output.empty());
        const bool fine =
            run.status == 0 || (cli && (run.status == 1 || (run.status >= 3 && run.status <= 8)) &&
                                said && run.output.find("nknown error") == std::string::npos);
        ++runs;
        maxRssKiB = std::max(maxRssKiB, run.maxRssKiB);
        hangs += run.hung;
        crashes += run.signal != 0 || run.status >= 125;
        unclear += cli && !fine;
        const auto after = test::snapshot(canary);
        changed += after != before;
        // Hung, died, over the memory limit, unclear, changed the victim's files.
        EXPECT_EQ(std::make_tuple(run.hung, run.signal, run.maxRssKiB > kMaxRssKiB, fine,
                                  differences(before, after)),
                  std::make_tuple(false, 0, false, true, std::string()))
            << (cli ? "talvo " : "") << all[i] << ": status " << run.status << ": " << run.output;
        if (after != before) break;
    }
    std::cout << "hostile-neighbour: " << (uid == 0 ? "root" : "alice") << " runs=" << runs
              << " hangs=" << hangs << " crashes=" << crashes << " unclear=" << unclear
              << " changed=" << changed << " max_rss_kib=" << maxRssKiB << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Victims, HostileNeighbour, ::testing::Values(0, int(test::kAlice)),
                         [](const auto& uid) { return uid.param == 0 ? "root" : "alice"; });

}  // namespace
}  // namespace talvo2::harness
