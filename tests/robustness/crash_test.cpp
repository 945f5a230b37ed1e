// Crash safety under SIGKILL, and all-or-nothing operations.
//   RobustnessCrash: a child rewrites a result's marker, its search directories and (reopening
//   the result through it) its link file in a loop between two contents. After every kill each
//   file holds one of the two whole, and no leftover may look like a node or a link.
//   RobustnessAllOrNothing: a child runs the operations that change a tree in random order. After
//   every kill no marker is torn, no visible node directory lacks its marker, a moved node is in
//   exactly one of its places, and after checkTree's sweep no hidden leftover remains and every
//   node opens. Then every operation runs on a full disk and must leave the tree as it was.
//
// Environment:
//   TALVO2_CRASH_KILLS  number of kills (default 200 and 150; the long form uses 1000)
//   TALVO2_CRASH_SEED   seed of the kill moments and operations (default: random, printed)

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <iterator>
#include <random>
#include <thread>

#include "corekit2/bag_file.hpp"
#include "propstore2/property_storage.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

unsigned long fromEnvironment(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoul(text, nullptr, 10) : fallback;
}

std::wstring wide(const fs::path& path) {
    return ulib_2_18::from_utf8(path.string());
}
std::string ext(const wchar_t* extension) {
    return ulib_2_18::to_utf8(extension);
}
bool loads(const fs::path& file) {
    corekit2::variant_bag_t bag;
    return corekit2::load_variant_bag(bag, wide(file).c_str(), "") == corekit2::BAG_OK;
}
bool isHidden(const fs::path& path) {
    const std::string name = path.filename().string();
    return name.rfind(".talvo-", 0) == 0 || name.find(".talvo-tmp") != std::string::npos;
}
bool hasMarkerExtension(const fs::path& file) {
    const std::wstring extension = wide(file.extension());
    return extension == getResultExtension(false) || extension == getProjectExtension(false) ||
           extension == getExperimentExtension();
}
sptr_t<IResultDirectory> open(const fs::path& path) {
    return ResultDirectoryManager::open(wide(path).c_str(), false, nullptr);
}

// Starts `body` in a child, lets it run `micros` once it has started, kills it with SIGKILL and
// returns its exit status.
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
    if (::read(ready[0], &byte, 1) == 1)
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    return test::waitForChild(child);
}

TEST(RobustnessCrash, KilledSavesLeaveOldOrNewContentAndNoMistakableLeftovers) {
    // A project P whose output directory is "out", so its result out/r000 is linked into P.
    test::TempDir dir;
    const fs::path link = dir.path() / ("P/r000" + ext(getResultExtension(false)) + "link");
    {
        const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        project->getNodeGroup()->setOutputDirectory(dir.wide(L"out").c_str());
        const auto result = project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
        ASSERT_TRUE(result && result->getSubdir(STANDARD_DIR_CONFIG));
        ASSERT_TRUE(fs::is_regular_file(link));
    }
    // The files the loop rewrites, and the project marker, which it must leave alone.
    const std::array<fs::path, 4> files = {
        dir.path() / ("out/r000/r000" + ext(getResultExtension(false))),
        dir.path() / "out/r000/config/search_dir.cfg", link,
        dir.path() / ("P/P" + ext(getProjectExtension(false)))};
    // Reopening through the link rewrites it when the marker changed since; then the marker and
    // the search directories are saved with content `which`.
    const auto round = [&](int which) {
        const std::wstring text(300, which ? L'b' : L'a');
        const auto result = open(link);
        if (!result) return false;
        result->setCollectorCommand(text.c_str());
        result->getPropertyStorage()->setValue(L"payload", corekit2::variant_t(text));
        if (!result->save()) return false;
        const auto search = result->getSearchDirectories();
        search->getStorage()->setValue(L"source", corekit2::variant_t(text));
        return search->save();
    };

    // The two contents, each settled (the link rewritten after its marker), and how long a round
    // takes, which sets the span the kills are spread over.
    const auto start = std::chrono::steady_clock::now();
    for (int which : {0, 0, 1, 1}) ASSERT_TRUE(round(which));
    const auto perRound = (std::chrono::steady_clock::now() - start) / 4;
    std::array<std::map<fs::path, std::string>, 2> known;
    for (int which : {0, 1}) {
        ASSERT_TRUE(round(which) && round(which));
        for (const fs::path& file : files) known[which][file] = test::readFile(file);
    }
    for (int i = 0; i < 3; ++i) ASSERT_NE(known[0][files[i]], known[1][files[i]]) << files[i];

    const unsigned long kills = fromEnvironment("TALVO2_CRASH_KILLS", 200);
    const unsigned long seed = fromEnvironment("TALVO2_CRASH_SEED", std::random_device{}());
    std::mt19937 random(static_cast<unsigned>(seed));
    std::uniform_int_distribution<long long> delay(
        0, std::chrono::duration_cast<std::chrono::microseconds>(perRound).count() * 2);
    unsigned long torn = 0, empty = 0, missing = 0, mistakable = 0, harmless = 0, unkilled = 0;
    for (unsigned long attempt = 0; attempt < kills; ++attempt) {
        const int status = killAfter(delay(random), [&] {
            for (int which = 0; round(which); which ^= 1) {
            }
        });
        if (status != 128 + SIGKILL) ++unkilled;
        for (const fs::path& file : files) {
            boost::system::error_code ec;
            const std::string now = test::readFile(file);
            if (!fs::exists(file, ec)) {
                ++missing;
            } else if (now.empty()) {
                ++empty;
            } else if (!loads(file) || (now != known[0][file] && now != known[1][file])) {
                ++torn;
            } else {
                continue;
            }
            ADD_FAILURE() << "after kill " << attempt << ": " << file << " is damaged";
            test::writeFile(file, known[0][file]);  // so that the following rounds can go on
        }
        std::vector<fs::path> leftovers;
        for (fs::recursive_directory_iterator it(dir.path()), end; it != end; ++it) {
            const std::wstring name = wide(it->path().filename());
            if (!fs::is_regular_file(it->symlink_status()) || known[0].count(it->path())) continue;
            if (name.find(L".talvo-tmp") != std::wstring::npos) {
                ++harmless;
                leftovers.push_back(it->path());
                continue;
            }
            const auto endsWith = [&](const std::wstring& tail) {
                return name.size() > tail.size() &&
                       name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
            };
            bool node = false;
            for (const std::wstring extension :
                 {getResultExtension(false), getProjectExtension(false), getExperimentExtension(),
                  getPackedExperimentExtension()})
                node = node || endsWith(extension) || endsWith(extension + L"link");
            if (!node) continue;
            ++mistakable;
            ADD_FAILURE() << "leftover that looks like a node: " << it->path();
            leftovers.push_back(it->path());
        }
        for (const fs::path& leftover : leftovers) fs::remove(leftover);
    }
    std::cout << "crash-safety: attempts=" << kills << " torn=" << torn << " empty=" << empty
              << " missing=" << missing << " mistakable_leftovers=" << mistakable
              << " harmless_tmp_leftovers=" << harmless << " seed=" << seed << std::endl;
    EXPECT_EQ(unkilled, 0u) << "children that stopped before they were killed";
    EXPECT_EQ(torn + empty + missing + mistakable, 0u);

    // The library itself opens what the kills left.
    const auto result = open(link);
    ASSERT_TRUE(result);
    const std::wstring payload = result->getPropertyStorage()->getString(L"payload");
    EXPECT_TRUE(payload == std::wstring(300, L'a') || payload == std::wstring(300, L'b'));
}

// A tmpfs mounted over a directory for the life of the object; mounted false where this process
// may not mount.
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
    fs::path work;   // results, projects, experiments, copies, exports
    fs::path other;  // another file system, for moves across devices (empty: none)
    std::map<std::string, unsigned long> damage;

    void fail(const char* kind, const fs::path& what) {
        ++damage[kind];
        ADD_FAILURE() << kind << ": " << what;
    }

    // What the operations work on: a source result with data, a result that moves between two
    // names (m/mA, m/mB), and one that moves between two file systems (x/xm).
    void prepare() const {
        for (const auto& [name, files] : {std::pair<fs::path, int>{"src", 100},
                                          {"m/mA", 20},
                                          {"x/xm", other.empty() ? -1 : 100}}) {
            if (files < 0) continue;
            ASSERT_TRUE(ResultDirectoryManager::create(wide(work / name).c_str(), false, nullptr,
                                                       true, nullptr));
            fs::create_directories(work / name / "data.0");
            for (int i = 0; i < files; ++i)
                test::writeFile(work / name / "data.0" / ("f" + std::to_string(i)),
                                std::string(4096, 'x'));
        }
        ASSERT_TRUE(IProject::create(wide(work / "P").c_str(), nullptr, false));
        if (!other.empty()) fs::create_directories(other / "x");
    }

    // The operations that change a tree, by index; whether one succeeds does not matter here.
    static constexpr const char* kOperations[] = {"create numbered",
                                                  "create plain",
                                                  "create project",
                                                  "create experiment",
                                                  "save",
                                                  "remove",
                                                  "removeNodes",
                                                  "move",
                                                  "copy",
                                                  "export",
                                                  "setInvalid",
                                                  "flag",
                                                  "move across devices"};
    // Renames need no space: on a full disk they may succeed.
    static bool needsSpace(int which) { return which != 7 && which != 10; }
    void operate(int which, std::mt19937& random) const {
        const std::string k = std::to_string(random() % 4);
        const auto at = [&](const std::string& name) { return wide(work / name); };
        const auto result = [&](const std::string& name) { return open(work / name); };
        switch (which) {
            case 0:  // numbered folders are kept small, so the checks stay quick
                if (entries(work / "n") < 12) return void(test::createResult(at("n/r@@@")));
                [[fallthrough]];
            case 5:
                if (const auto r = result("n/r@@@")) r->remove();
                break;
            case 1:
                ResultDirectoryManager::create(at("plain" + k).c_str(), false, nullptr, true,
                                               nullptr);
                break;
            case 2:
                IProject::create(at("proj" + k).c_str(), nullptr, false);
                break;
            case 3:
                IExperiment::create(at("exp" + k).c_str(), nullptr);
                break;
            case 4:
                if (const auto r = result("src")) {
                    r->setCollectorCommand(std::wstring(200 + random() % 200, L'c').c_str());
                    r->save();
                }
                break;
            case 6:
                if (const auto p = IProject::open(at("P").c_str(), nullptr)) {
                    p->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
                    p->getNodeGroup()->removeNodes(L"r@@@", 1);
                }
                break;
            case 7: {
                const bool there = fs::exists(work / "m/mA");
                if (const auto r = result(there ? "m/mA" : "m/mB"))
                    r->move(at(there ? "m/mB" : "m/mA").c_str(), true, nullptr);
                break;
            }
            case 8:
                if (const auto r = result("src")) r->copy(at("copy" + k).c_str(), false, nullptr);
                break;
            case 9:
                if (entries(work / "e") >= 4) {
                    if (const auto r = result("e/r@@@")) r->remove();
                } else if (const auto r = result("src")) {
                    r->exportTo(at("e/r@@@").c_str(), nullptr);
                }
                break;
            case 10:
                if (const auto r = result("n/r@@@")) r->setInvalid();
                break;
            case 11:
                if (const auto r = result("src")) {
                    r->setFlag(L"busy");
                    r->clearFlag(L"busy", false);
                }
                break;
            case 12:
                if (other.empty()) break;
                for (const bool here : {true, false}) {
                    if (const auto r = open((here ? work : other) / "x/xm")) {
                        r->move(wide((here ? other : work) / "x/xm").c_str(), false, nullptr);
                        break;
                    }
                }
                break;
        }
    }

    // What a kill may not leave: a node directory whose marker is torn or missing, a node moved
    // on one file system in both places or neither, one moved across them in neither.
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
                    if (!hasMarkerExtension(entry->path())) continue;
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

    // After checkTree's sweep: no hidden leftovers, and every node directory opens as its kind.
    void sweepAndOpen() {
        for (const fs::path& top : {work, other}) {
            if (top.empty()) continue;
            std::vector<TreeFinding> findings;
            ASSERT_TRUE(checkTree(wide(top).c_str(), true, findings));
            for (const TreeFinding& finding : findings)
                if (finding.removable && !finding.removed)
                    fail("unswept", test::utf8Path(finding.path));
            for (fs::recursive_directory_iterator it(top), end; it != end; ++it) {
                const fs::path& path = it->path();
                if (isHidden(path)) fail("unswept", path);
                if (!fs::is_regular_file(it->symlink_status()) || !hasMarkerExtension(path))
                    continue;
                const std::wstring node = wide(path.parent_path()), kind = wide(path.extension());
                if (!(kind == getResultExtension(false) ? bool(open(path.parent_path()))
                      : kind == getProjectExtension(false)
                          ? bool(IProject::open(node.c_str(), nullptr))
                          : bool(IExperiment::open(node.c_str(), nullptr))))
                    fail("does not open", path.parent_path());
            }
        }
    }
};

TEST(RobustnessAllOrNothing, KilledOperationsLeaveWholeNodesAndSweepableGarbage) {
    test::TempDir dir;
    Mount second(dir.path() / "other", "size=64m");
    Tree tree{dir.path() / "work", second.mounted ? dir.path() / "other" : fs::path(), {}};
    if (!second.mounted) std::cout << "moves across file systems skipped: cannot mount\n";
    fs::create_directories(tree.work);
    tree.prepare();
    if (::testing::Test::HasFatalFailure()) return;

    const unsigned long kills = fromEnvironment("TALVO2_CRASH_KILLS", 150);
    const unsigned long seed = fromEnvironment("TALVO2_CRASH_SEED", std::random_device{}());
    std::mt19937 random(static_cast<unsigned>(seed));
    for (unsigned long attempt = 0; attempt < kills && !::testing::Test::HasFailure(); ++attempt) {
        const unsigned childSeed = random();
        killAfter(random() % 20000, [&] {
            std::mt19937 mine(childSeed);
            for (;;) tree.operate(mine() % std::size(Tree::kOperations), mine);
        });
        tree.inspect();
        // Every tenth kill the sweep runs, as a user would after a crash; the others let
        // garbage pile up for the next operations to meet.
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
    Tree tree{dir.path() / "small/work", fs::path(), {}};
    fs::create_directories(tree.work);
    tree.prepare();
    if (::testing::Test::HasFatalFailure()) return;
    // Fill what is left, a page at a time, so nothing more can be written.
    std::FILE* filler = std::fopen((dir.path() / "small/filler").c_str(), "w");
    ASSERT_TRUE(filler);
    const std::string page(4096, 'z');
    while (std::fwrite(page.data(), 1, page.size(), filler) == page.size() &&
           std::fflush(filler) == 0) {
    }
    std::fclose(filler);

    std::mt19937 random(1);
    for (int which = 0; which < int(std::size(Tree::kOperations)); ++which) {
        SCOPED_TRACE(Tree::kOperations[which]);
        const auto before = test::snapshot(tree.work);
        tree.operate(which, random);
        tree.inspect();
        // A rename needs no space and may succeed. Everything else must leave the tree exactly
        // as it was; directories' times and sizes change with every entry made and taken back,
        // so only their being there counts.
        if (Tree::needsSpace(which)) {
            const auto after = test::snapshot(tree.work);
            const auto same = [](const std::string& a, const std::string& b) {
                return a == b || (a.rfind("16", 0) == 0 && b.rfind("16", 0) == 0);
            };
            for (const auto& [path, description] : after)
                if (!before.count(path) || !same(before.at(path), description))
                    ADD_FAILURE() << "changed or made: " << path << " "
                                  << description.substr(0, 40);
            for (const auto& [path, description] : before)
                if (!after.count(path)) ADD_FAILURE() << "gone: " << path;
        }
        for (fs::recursive_directory_iterator it(tree.work), end; it != end; ++it)
            EXPECT_FALSE(isHidden(it->path())) << it->path();
    }
}

}  // namespace
}  // namespace talvo2
