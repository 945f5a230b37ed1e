// SIGKILLed saves leave old or new content, operations whole nodes; a full disk changes nothing.
// TALVO2_CRASH_KILLS: kills (default 200, 150); TALVO2_CRASH_SEED: seed (default random, printed).

#include <sys/mount.h>

#include <chrono>
#include <iostream>
#include <iterator>
#include <random>

#include "propstore2/property_storage.hpp"
#include "robustness/harness.hpp"

namespace talvo2::harness {
namespace {

bool isHidden(const fs::path& path) {
    const std::string name = path.filename().string();
    return name.rfind(".talvo-", 0) == 0 || name.find(".talvo-tmp") != std::string::npos;
}
// Whether `file` is named as a node's marker, a link to one or a packed experiment.
bool looksLikeNode(const fs::path& file) {
    std::wstring ext = wide(file.extension());
    if (ext.size() > 4 && ext.compare(ext.size() - 4, 4, L"link") == 0) ext.resize(ext.size() - 4);
    return ext == getResultExtension(false) || ext == getProjectExtension(false) ||
           ext == getExperimentExtension() || ext == getPackedExperimentExtension();
}

// Runs `body` in a child for `micros` once it has started, then SIGKILL; the child's exit status.
int killAfter(long long micros, const std::function<void()>& body) {
    const int child = test::startChild([&] {
        ::raise(SIGSTOP);  // until the parent has seen it start
        body();
    });
    ::waitpid(child, nullptr, WUNTRACED);
    ::kill(child, SIGCONT);
    ::usleep(static_cast<useconds_t>(micros));
    ::kill(child, SIGKILL);
    return test::waitForChild(child);
}

TEST(RobustnessCrash, KilledSavesLeaveOldOrNewContentAndNoMistakableLeftovers) {
    test::TempDir dir;
    const std::string ext = ulib_2_18::to_utf8(getResultExtension(false));
    const fs::path link = dir.path() / ("P/r000" + ext + "link");
    {  // out/r000, linked into P; closed before the loop opens it through the link
        const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        project->getNodeGroup()->setOutputDirectory(dir.wide(L"out").c_str());
        const auto result = project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
        ASSERT_TRUE(result && result->getSubdir(STANDARD_DIR_CONFIG));
    }
    // The files the loop rewrites, and the project marker, which it must leave alone.
    const fs::path files[] = {
        dir.path() / ("out/r000/r000" + ext), dir.path() / "out/r000/config/search_dir.cfg", link,
        dir.path() / ("P/P" + ulib_2_18::to_utf8(getProjectExtension(false)))};
    // Reopening through the link rewrites it if the marker changed; then both files get `which`.
    const auto round = [&](int which) {
        const std::wstring text(600, which ? L'b' : L'a');
        const auto result = openResult(link);
        if (!result) return false;
        result->getPropertyStorage()->setValue(L"payload", corekit2::variant_t(text));
        const auto search = result->getSearchDirectories();
        search->getStorage()->setValue(L"source", corekit2::variant_t(text));
        return result->save() && search->save();
    };

    std::map<fs::path, std::string> known[2];  // both contents, settled (link after marker)
    const auto start = std::chrono::steady_clock::now();
    for (int which : {0, 1}) {
        ASSERT_TRUE(round(which) && round(which));
        for (const fs::path& file : files) known[which][file] = test::readFile(file);
    }
    const auto perRound = (std::chrono::steady_clock::now() - start) / std::chrono::microseconds(4);
    for (int i = 0; i < 3; ++i) ASSERT_NE(known[0][files[i]], known[1][files[i]]) << files[i];

    const unsigned long kills = fromEnvironment("TALVO2_CRASH_KILLS", 200);
    const unsigned long seed = fromEnvironment("TALVO2_CRASH_SEED", std::random_device{}());
    std::mt19937 random(static_cast<unsigned>(seed));
    unsigned long torn = 0, empty = 0, missing = 0, mistakable = 0, harmless = 0, unkilled = 0;
    for (unsigned long attempt = 0; attempt < kills; ++attempt) {
        unkilled += killAfter(random() % (2 * perRound + 1), [&] {
                        while (round(0) && round(1)) continue;
                    }) != 128 + SIGKILL;
        for (const fs::path& file : files) {
            const std::string now = test::readFile(file);
            if (loads(file) && (now == known[0][file] || now == known[1][file])) continue;
            ++(!fs::exists(file) ? missing : now.empty() ? empty : torn);
            ADD_FAILURE() << "after kill " << attempt << ": " << file << " is damaged";
            test::writeFile(file, known[0][file]);  // so that the following rounds can go on
        }
        for (fs::recursive_directory_iterator it(dir.path()), end; it != end; ++it) {
            const bool tmp = it->path().filename().string().find(".talvo-tmp") != std::string::npos;
            if (!fs::is_regular_file(it->symlink_status()) || known[0].count(it->path()) ||
                (!tmp && !looksLikeNode(it->path())))
                continue;
            ++(tmp ? harmless : mistakable);
            if (!tmp) ADD_FAILURE() << "leftover that looks like a node: " << it->path();
            fs::remove(it->path());  // already listed: the walk goes on
        }
    }
    std::cout << "crash-safety: attempts=" << kills << " torn=" << torn << " empty=" << empty
              << " missing=" << missing << " mistakable_leftovers=" << mistakable
              << " harmless_tmp_leftovers=" << harmless << " seed=" << seed << std::endl;
    EXPECT_EQ(unkilled, 0u) << "children that stopped before they were killed";
}

struct Mount {  // a tmpfs over `at` while the object lives, where this process may mount
    Mount(const fs::path& at, const char* size) {
        if (fs::create_directories(at) && ::mount("tmpfs", at.c_str(), "tmpfs", 0, size) == 0)
            where = at;
    }
    ~Mount() {
        if (!where.empty()) ::umount2(where.c_str(), MNT_DETACH);
    }
    fs::path where;  // empty: not mounted
};

long entries(const fs::path& directory) {
    return fs::exists(directory) ? std::distance(fs::directory_iterator(directory), {}) : 0;
}

struct Tree {
    fs::path work;        // results, projects, experiments, copies, exports
    fs::path other = {};  // another file system, for moves across devices (empty: none)
    std::map<std::string, unsigned long> damage = {};

    std::wstring at(const std::string& name) const { return wide(work / name); }
    auto result(const std::string& name) const { return openResult(work / name); }
    void fail(const char* kind, const fs::path& what) {
        ++damage[kind];
        ADD_FAILURE() << kind << ": " << what;
    }

    void prepare() const {  // results with data: a source, one to rename, one to move away; P
        for (const char* name : {"src", "m/mA", "x/xm"}) {
            ASSERT_TRUE(test::createResult(wide(work / name)));
            fs::create_directories(work / name / "data.0");
            for (int i = 0; i < 100; ++i)
                test::writeFile(work / name / "data.0" / ("f" + std::to_string(i)),
                                std::string(4096, 'x'));
        }
        ASSERT_TRUE(IProject::create(at("P").c_str(), nullptr, false));
        if (!other.empty()) fs::create_directories(other / "x");
    }

    void inspect() {  // no torn or missing marker, no node moved to both places or neither
        for (const auto& in : {work, work / "n", work / "m", work / "e", work / "x", other / "x"}) {
            if (in.is_relative() || !fs::is_directory(in)) continue;  // not (yet) there
            for (fs::directory_iterator it(in), end; it != end; ++it) {
                const fs::path& node = it->path();
                if (isHidden(node) || node.filename().size() == 1 || !fs::is_directory(node))
                    continue;  // not a node, or a one-letter folder that holds nodes
                bool marked = false;
                for (fs::directory_iterator entry(node), stop; entry != stop; ++entry) {
                    if (!looksLikeNode(entry->path())) continue;
                    marked = true;
                    if (!loads(entry->path())) fail("torn", entry->path());
                }
                if (!marked) fail("unmarked", node);
            }
        }
        if (fs::exists(work / "m/mA") == fs::exists(work / "m/mB"))
            fail("moved_twice_or_lost", work / "m/mA");
        if (!other.empty() && !fs::exists(work / "x/xm") && !fs::exists(other / "x/xm"))
            fail("moved_twice_or_lost", work / "x/xm");
    }
};

constexpr int kOperations = 13;  // operate()'s, by number; whether one succeeds does not matter
void operate(const Tree& t, int which, std::mt19937& random) {
    const std::string k = std::to_string(random() % 4);
    sptr_t<IResultDirectory> r;                                  // set only by the operation chosen
    const bool room = which == 0 && entries(t.work / "n") < 12;  // a small folder, quick checks
    if (room) test::createResult(t.at("n/r@@@"));
    if ((which == 5 || (which == 0 && !room)) && (r = t.result("n/r@@@"))) r->remove();
    if (which == 1) test::createResult(t.at("plain" + k));
    if (which == 2) IProject::create(t.at("proj" + k).c_str(), nullptr, false);
    if (which == 3) IExperiment::create(t.at("exp" + k).c_str(), nullptr);
    if (which == 4 && (r = t.result("src")))
        r->setCollectorCommand(std::wstring(200 + random() % 200, L'c').c_str());
    if (which == 4 && r) r->save();
    const auto group = which == 6 ? IProject::open(t.at("P").c_str(), nullptr) : nullptr;
    if (group) group->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
    if (group) group->getNodeGroup()->removeNodes(L"r@@@", 1);
    const bool there = fs::exists(t.work / "m/mA");
    if (which == 7 && (r = t.result(there ? "m/mA" : "m/mB")))
        r->move(t.at(there ? "m/mB" : "m/mA").c_str(), true, nullptr);
    if (which == 8 && (r = t.result("src"))) r->copy(t.at("copy" + k).c_str(), false, nullptr);
    const bool enough = which == 9 && entries(t.work / "e") >= 4;  // exports, or their removal
    if (enough && (r = t.result("e/r@@@"))) r->remove();
    if (which == 9 && !enough && (r = t.result("src")))
        r->exportTo(t.at("e/r@@@").c_str(), nullptr);
    if (which == 10 && (r = t.result("n/r@@@"))) r->setInvalid();
    if (which == 11 && (r = t.result("src"))) r->setFlag(L"busy");
    if (which == 11 && r) r->clearFlag(L"busy", false);
    if (which != 12 || t.other.empty()) return;  // across devices, whichever way the node is
    if ((r = openResult(t.work / "x/xm")))
        return void(r->move(wide(t.other / "x/xm").c_str(), false, nullptr));
    if ((r = openResult(t.other / "x/xm"))) r->move(wide(t.work / "x/xm").c_str(), false, nullptr);
}

TEST(RobustnessAllOrNothing, KilledOperationsLeaveWholeNodesAndSweepableGarbage) {
    test::TempDir dir;
    Mount second(dir.path() / "other", "size=64m");
    Tree tree{dir.path() / "work", second.where};
    ASSERT_NO_FATAL_FAILURE(tree.prepare());

    const unsigned long kills = fromEnvironment("TALVO2_CRASH_KILLS", 150);
    const unsigned long seed = fromEnvironment("TALVO2_CRASH_SEED", std::random_device{}());
    std::mt19937 random(static_cast<unsigned>(seed));
    for (unsigned long attempt = 0; attempt < kills && !::testing::Test::HasFailure(); ++attempt) {
        killAfter(random() % 20000, [&] {  // the child draws from its own copy of `random`
            for (;;) operate(tree, random() % kOperations, random);
        });
        tree.inspect();
        // Every tenth kill (garbage piles up in between) checkTree sweeps it all; every node opens.
        if (attempt % 10 != 9 && attempt + 1 != kills) continue;
        for (const fs::path& top : {tree.work, tree.other}) {
            if (top.empty()) continue;
            std::vector<TreeFinding> findings;
            EXPECT_TRUE(checkTree(wide(top).c_str(), true, findings));
            for (const TreeFinding& finding : findings)
                if (finding.removable && !finding.removed)
                    tree.fail("unswept", test::utf8Path(finding.path));
            for (fs::recursive_directory_iterator it(top), end; it != end; ++it) {
                if (isHidden(it->path())) tree.fail("unswept", it->path());
                if (fs::is_regular_file(it->symlink_status()) && looksLikeNode(it->path()) &&
                    !openAny(it->path().parent_path()))
                    tree.fail("unopenable", it->path().parent_path());
            }
        }
    }
    std::cout << "all-or-nothing: kills=" << kills;
    for (const char* kind : {"torn", "unmarked", "moved_twice_or_lost", "unswept", "unopenable"})
        std::cout << " " << kind << "=" << tree.damage[kind];
    std::cout << " across_devices=" << (tree.other.empty() ? "no" : "yes") << " seed=" << seed
              << std::endl;
}

TEST(RobustnessAllOrNothing, OperationsOnAFullDiskLeaveTheTreeAsItWas) {
    test::TempDir dir;
    Mount small(dir.path() / "small", "size=2m");
    if (small.where.empty()) GTEST_SKIP() << "cannot mount a tmpfs here (needs CAP_SYS_ADMIN)";
    Tree tree{dir.path() / "small/work"};
    ASSERT_NO_FATAL_FAILURE(tree.prepare());
    test::writeFile(dir.path() / "small/filler", std::string(2 << 20, 'z'));  // as much as fits
    const auto shape = [&] {  // a directory's time and size change as entries come and go
        auto entries = test::snapshot(tree.work);
        for (auto& [path, entry] : entries)
            if (entry.rfind("16", 0) == 0) entry = "directory";
        return entries;
    };

    std::mt19937 random(1);
    for (int which = 0; which < kOperations; ++which) {
        SCOPED_TRACE("operation " + std::to_string(which));
        const auto before = shape();
        operate(tree, which, random);
        tree.inspect();
        for (fs::recursive_directory_iterator it(tree.work), end; it != end; ++it)
            EXPECT_FALSE(isHidden(it->path())) << it->path();
        if (which == 7 || which == 10) continue;  // renames (move, setInvalid) need no space
        EXPECT_EQ(differences(before, shape()), "");
    }
}

}  // namespace
}  // namespace talvo2::harness
