// SIGKILL at random moments: saves leave old or new content and nothing that looks like a node;
// tree-changing operations leave whole nodes and garbage that checkTree sweeps. On a full disk
// every operation leaves the tree as it was. TALVO2_CRASH_KILLS: kills (default 200 and 150);
// TALVO2_CRASH_SEED: seed of kill moments and operations (default random, printed).

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
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const int child = test::startChild([&] {
        ::close(ready[0]);
        (void)!::write(ready[1], "x", 1);
        body();
    });
    ::close(ready[1]);
    char byte = 0;
    if (::read(ready[0], &byte, 1) == 1) ::usleep(static_cast<useconds_t>(micros));
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    return test::waitForChild(child);
}

TEST(RobustnessCrash, KilledSavesLeaveOldOrNewContentAndNoMistakableLeftovers) {
    // P's output directory is "out", so its result out/r000 is linked into P.
    test::TempDir dir;
    const std::string ext = ulib_2_18::to_utf8(getResultExtension(false));
    const fs::path link = dir.path() / ("P/r000" + ext + "link");
    {
        const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        project->getNodeGroup()->setOutputDirectory(dir.wide(L"out").c_str());
        const auto result = project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
        ASSERT_TRUE(result && result->getSubdir(STANDARD_DIR_CONFIG));
        ASSERT_TRUE(fs::is_regular_file(link));
    }
    // The files the loop rewrites, and the project marker, which it must leave alone.
    const fs::path files[] = {
        dir.path() / ("out/r000/r000" + ext), dir.path() / "out/r000/config/search_dir.cfg", link,
        dir.path() / ("P/P" + ulib_2_18::to_utf8(getProjectExtension(false)))};
    // Reopening through the link rewrites it if the marker changed; then both files get `which`.
    const auto round = [&](int which) {
        const std::wstring text(300, which ? L'b' : L'a');
        const auto result = openResult(link);
        if (!result) return false;
        result->setCollectorCommand(text.c_str());
        result->getPropertyStorage()->setValue(L"payload", corekit2::variant_t(text));
        if (!result->save()) return false;
        const auto search = result->getSearchDirectories();
        search->getStorage()->setValue(L"source", corekit2::variant_t(text));
        return search->save();
    };

    // The two contents, each settled (the link rewritten after its marker); a round's time.
    std::map<fs::path, std::string> known[2];
    const auto start = std::chrono::steady_clock::now();
    for (int which : {0, 1}) {
        ASSERT_TRUE(round(which) && round(which));
        for (const fs::path& file : files) known[which][file] = test::readFile(file);
    }
    const auto perRound = (std::chrono::steady_clock::now() - start) / 4;
    for (int i = 0; i < 3; ++i) ASSERT_NE(known[0][files[i]], known[1][files[i]]) << files[i];

    const unsigned long kills = fromEnvironment("TALVO2_CRASH_KILLS", 200);
    const unsigned long seed = fromEnvironment("TALVO2_CRASH_SEED", std::random_device{}());
    std::mt19937 random(static_cast<unsigned>(seed));
    std::uniform_int_distribution<long long> delay(
        0, std::chrono::duration_cast<std::chrono::microseconds>(perRound).count() * 2);
    unsigned long torn = 0, empty = 0, missing = 0, mistakable = 0, harmless = 0, unkilled = 0;
    for (unsigned long attempt = 0; attempt < kills; ++attempt) {
        const auto saving = [&] {
            while (round(0) && round(1)) continue;
        };
        unkilled += killAfter(delay(random), saving) != 128 + SIGKILL;
        for (const fs::path& file : files) {
            const std::string now = test::readFile(file);
            const bool whole = loads(file) && (now == known[0][file] || now == known[1][file]);
            if (fs::exists(file) && !now.empty() && whole) continue;
            ++(!fs::exists(file) ? missing : now.empty() ? empty : torn);
            ADD_FAILURE() << "after kill " << attempt << ": " << file << " is damaged";
            test::writeFile(file, known[0][file]);  // so that the following rounds can go on
        }
        std::vector<fs::path> leftovers;
        for (fs::recursive_directory_iterator it(dir.path()), end; it != end; ++it) {
            const fs::path& path = it->path();
            if (!fs::is_regular_file(it->symlink_status()) || known[0].count(path)) continue;
            if (path.filename().string().find(".talvo-tmp") != std::string::npos) {
                ++harmless;
            } else if (looksLikeNode(path)) {
                ++mistakable;
                ADD_FAILURE() << "leftover that looks like a node: " << path;
            } else {
                continue;
            }
            leftovers.push_back(path);
        }
        for (const fs::path& leftover : leftovers) fs::remove(leftover);
    }
    std::cout << "crash-safety: attempts=" << kills << " torn=" << torn << " empty=" << empty
              << " missing=" << missing << " mistakable_leftovers=" << mistakable
              << " harmless_tmp_leftovers=" << harmless << " seed=" << seed << std::endl;
    EXPECT_EQ(unkilled, 0u) << "children that stopped before they were killed";
    EXPECT_EQ(torn + empty + missing + mistakable, 0u);
}

// A tmpfs over `at` while the object lives, where this process may mount.
struct Mount {
    Mount(const fs::path& at, const char* size) : where(at) {
        fs::create_directories(where);
        mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, size) == 0;
    }
    ~Mount() {
        if (mounted) ::umount2(where.c_str(), MNT_DETACH);
    }
    fs::path where;
    bool mounted = false;
};

long entries(const fs::path& directory) {
    boost::system::error_code ec;
    return std::distance(fs::directory_iterator(directory, ec), fs::directory_iterator());
}

struct Tree {
    fs::path work;        // results, projects, experiments, copies, exports
    fs::path other = {};  // another file system, for moves across devices (empty: none)
    std::map<std::string, unsigned long> damage = {};

    std::wstring at(const std::string& name) const { return wide(work / name); }
    sptr_t<IResultDirectory> result(const std::string& name) const {
        return openResult(work / name);
    }
    void fail(const char* kind, const fs::path& what) {
        ++damage[kind];
        ADD_FAILURE() << kind << ": " << what;
    }

    // A result with data, one moving between two names and one between two file systems; a project.
    void prepare() const {
        fs::create_directories(work);
        for (const auto& [name, files] : {std::pair<fs::path, int>{"src", 100},
                                          {"m/mA", 20},
                                          {"x/xm", other.empty() ? -1 : 100}}) {
            if (files < 0) continue;
            ASSERT_TRUE(test::createResult(wide(work / name)));
            fs::create_directories(work / name / "data.0");
            for (int i = 0; i < files; ++i)
                test::writeFile(work / name / "data.0" / ("f" + std::to_string(i)),
                                std::string(4096, 'x'));
        }
        ASSERT_TRUE(IProject::create(at("P").c_str(), nullptr, false));
        if (!other.empty()) fs::create_directories(other / "x");
    }

    // What a kill may not leave: a torn or missing marker, a node moved in both places or none.
    void inspect() {
        for (const fs::path& folder :
             {work, work / "n", work / "m", work / "e", work / "x", other / "x"}) {
            if (folder.is_relative()) continue;  // no second file system
            boost::system::error_code ec;
            for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
                const fs::path& node = it->path();
                const std::string name = node.filename().string();
                if (isHidden(node) || !fs::is_directory(it->symlink_status()) ||
                    (folder == work && (name == "n" || name == "m" || name == "e" || name == "x")))
                    continue;
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
            fail("moved twice or lost", work / "m/mA");
        if (!other.empty() && !fs::exists(work / "x/xm") && !fs::exists(other / "x/xm"))
            fail("moved twice or lost", work / "x/xm");
    }

    // After checkTree's sweep: nothing hidden is left, and every node directory opens.
    void sweepAndOpen() {
        for (const fs::path& top : {work, other}) {
            if (top.empty()) continue;
            std::vector<TreeFinding> findings;
            ASSERT_TRUE(checkTree(wide(top).c_str(), true, findings));
            for (const TreeFinding& finding : findings)
                if (finding.removable && !finding.removed)
                    fail("unswept", test::utf8Path(finding.path));
            for (fs::recursive_directory_iterator it(top), end; it != end; ++it) {
                if (isHidden(it->path())) fail("unswept", it->path());
                if (fs::is_regular_file(it->symlink_status()) && looksLikeNode(it->path()) &&
                    !openAny(it->path().parent_path()))
                    fail("does not open", it->path().parent_path());
            }
        }
    }
};

// The operations that change a tree, by number; whether one succeeds does not matter here.
constexpr int kOperations = 13;
bool needsSpace(int which) {
    return which != 7 && which != 10;  // renames need none: on a full disk they may succeed
}
void operate(const Tree& t, int which, std::mt19937& random) {
    const std::string k = std::to_string(random() % 4);
    switch (which) {
        case 0:  // create numbered, in a folder kept small so that the checks stay quick
            if (entries(t.work / "n") < 12) return void(test::createResult(t.at("n/r@@@")));
            [[fallthrough]];
        case 5:  // remove
            if (const auto r = t.result("n/r@@@")) r->remove();
            break;
        case 1:  // create plain
            return void(test::createResult(t.at("plain" + k)));
        case 2:  // create project
            return void(IProject::create(t.at("proj" + k).c_str(), nullptr, false));
        case 3:  // create experiment
            return void(IExperiment::create(t.at("exp" + k).c_str(), nullptr));
        case 4:  // save
            if (const auto r = t.result("src")) {
                r->setCollectorCommand(std::wstring(200 + random() % 200, L'c').c_str());
                r->save();
            }
            break;
        case 6:  // removeNodes
            if (const auto p = IProject::open(t.at("P").c_str(), nullptr)) {
                p->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
                p->getNodeGroup()->removeNodes(L"r@@@", 1);
            }
            break;
        case 7: {  // move
            const bool there = fs::exists(t.work / "m/mA");
            if (const auto r = t.result(there ? "m/mA" : "m/mB"))
                r->move(t.at(there ? "m/mB" : "m/mA").c_str(), true, nullptr);
            break;
        }
        case 8:  // copy
            if (const auto r = t.result("src")) r->copy(t.at("copy" + k).c_str(), false, nullptr);
            break;
        case 9:  // export, or remove exports when there are enough
            if (entries(t.work / "e") >= 4) {
                if (const auto r = t.result("e/r@@@")) r->remove();
            } else if (const auto r = t.result("src")) {
                r->exportTo(t.at("e/r@@@").c_str(), nullptr);
            }
            break;
        case 10:  // setInvalid
            if (const auto r = t.result("n/r@@@")) r->setInvalid();
            break;
        case 11:  // flag
            if (const auto r = t.result("src")) {
                r->setFlag(L"busy");
                r->clearFlag(L"busy", false);
            }
            break;
        case 12:  // move across devices
            for (const bool here : {true, false}) {
                if (t.other.empty()) break;
                if (const auto r = openResult((here ? t.work : t.other) / "x/xm"))
                    return void(
                        r->move(wide((here ? t.other : t.work) / "x/xm").c_str(), false, nullptr));
            }
    }
}

TEST(RobustnessAllOrNothing, KilledOperationsLeaveWholeNodesAndSweepableGarbage) {
    test::TempDir dir;
    Mount second(dir.path() / "other", "size=64m");
    Tree tree{dir.path() / "work", second.mounted ? dir.path() / "other" : fs::path()};
    if (!second.mounted) std::cout << "moves across file systems skipped: cannot mount\n";
    ASSERT_NO_FATAL_FAILURE(tree.prepare());

    const unsigned long kills = fromEnvironment("TALVO2_CRASH_KILLS", 150);
    const unsigned long seed = fromEnvironment("TALVO2_CRASH_SEED", std::random_device{}());
    std::mt19937 random(static_cast<unsigned>(seed));
    for (unsigned long attempt = 0; attempt < kills && !::testing::Test::HasFailure(); ++attempt) {
        std::mt19937 mine(random());
        killAfter(random() % 20000, [&] {
            for (;;) operate(tree, mine() % kOperations, mine);
        });
        tree.inspect();
        // Every tenth kill the sweep runs; in between garbage piles up for the operations to meet.
        if (attempt % 10 == 9 || attempt + 1 == kills) tree.sweepAndOpen();
    }
    auto& damage = tree.damage;
    std::cout << "all-or-nothing: kills=" << kills << " torn=" << damage["torn"]
              << " unmarked=" << damage["unmarked"]
              << " moved_twice_or_lost=" << damage["moved twice or lost"]
              << " unswept=" << damage["unswept"] << " unopenable=" << damage["does not open"]
              << " across_devices=" << (second.mounted ? "yes" : "no") << " seed=" << seed
              << std::endl;
    for (const auto& [kind, count] : damage) EXPECT_EQ(count, 0u) << kind;
}

TEST(RobustnessAllOrNothing, OperationsOnAFullDiskLeaveTheTreeAsItWas) {
    test::TempDir dir;
    Mount small(dir.path() / "small", "size=2m");
    if (!small.mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
    Tree tree{dir.path() / "small/work"};
    ASSERT_NO_FATAL_FAILURE(tree.prepare());
    test::writeFile(dir.path() / "small/filler", std::string(2 << 20, 'z'));  // as much as fits
    // Directories' times and sizes change with each entry made and taken back: only being counts.
    const auto shape = [&] {
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
        if (needsSpace(which)) {
            EXPECT_EQ(differences(before, shape()), "");
        }
        for (fs::recursive_directory_iterator it(tree.work), end; it != end; ++it)
            EXPECT_FALSE(isHidden(it->path())) << it->path();
    }
}

}  // namespace
}  // namespace talvo2::harness
