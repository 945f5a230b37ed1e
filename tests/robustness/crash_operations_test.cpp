// All-or-nothing under SIGKILL and a full disk. A child runs the operations that change a tree
// (numbered and plain creation, project and experiment creation, save, remove, removeNodes, move
// on one file system and across two, copy, export, setInvalid, addFlag) in random order and is
// killed at random moments. After every kill: no marker is torn, no visible node directory lacks
// its marker, a node moved on one file system is in exactly one of its two places, and after
// checkTree's sweep no hidden leftover remains and every node opens. Then every operation runs on a
// full disk and must leave the tree as it was.
//
// Environment:
//   TALVO2_CRASH_KILLS  number of kills (default 150; the long form uses 1000)
//   TALVO2_CRASH_SEED   seed of the kill moments and operations (default: random, printed)

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <thread>

#include "corekit2/bag_file.hpp"
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

bool hasMarkerExtension(const fs::path& file) {
    const std::wstring extension = wide(file.extension());
    for (const wchar_t* known :
         {getResultExtension(false), getProjectExtension(false), getExperimentExtension()})
        if (extension == known) return true;
    return false;
}

bool isHidden(const fs::path& path) {
    return path.filename().string().rfind(".talvo-", 0) == 0 ||
           path.filename().string().find(".talvo-tmp") != std::string::npos;
}

// A tmpfs mounted over a directory for the life of the object; mounted() false where this process
// may not mount.
class Mount {
public:
    Mount(const fs::path& where, const char* size) : m_where(where) {
        fs::create_directories(where);
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, size) == 0;
    }
    ~Mount() {
        if (m_mounted) ::umount2(m_where.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    fs::path m_where;
    bool m_mounted = false;
};

struct Tree {
    fs::path work;   // results, projects, experiments, copies, exports
    fs::path other;  // another file system, for moves across devices (empty: none)

    void fill(const fs::path& directory, int files) const {
        fs::create_directories(directory / "data.0");
        for (int i = 0; i < files; ++i)
            test::writeFile(directory / "data.0" / ("f" + std::to_string(i)),
                            std::string(4096, 'x'));
    }

    // Sets up what the operations work on: a source result with data, a result that moves
    // between two names, and one that moves between two file systems.
    void prepare() const {
        ASSERT_TRUE(ResultDirectoryManager::create(wide(work / "src").c_str(), false, nullptr, true,
                                                   nullptr));
        fill(work / "src", 100);
        ASSERT_TRUE(ResultDirectoryManager::create(wide(work / "m" / "mA").c_str(), false, nullptr,
                                                   true, nullptr));
        fill(work / "m" / "mA", 20);
        ASSERT_TRUE(IProject::create(wide(work / "P").c_str(), nullptr, false));
        if (!other.empty()) {
            ASSERT_TRUE(ResultDirectoryManager::create(wide(work / "x" / "xm").c_str(), false,
                                                       nullptr, true, nullptr));
            fill(work / "x" / "xm", 100);
            fs::create_directories(other / "x");
        }
    }

    static long entries(const fs::path& directory) {
        boost::system::error_code ec;
        long count = 0;
        for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
            ++count;
        return count;
    }

    sptr_t<IResultDirectory> open(const fs::path& path) const {
        return ResultDirectoryManager::open(wide(path).c_str(), false, nullptr);
    }

    // One operation, picked by `which`; whether it succeeded does not matter here.
    void operate(int which, std::mt19937& random) const {
        const std::string k = std::to_string(random() % 4);
        switch (which) {
            case 0:
                // Numbered folders are kept small, so the checks stay quick.
                if (entries(work / "n") >= 12) {
                    if (const auto r = open(work / "n" / "r@@@")) r->remove();
                } else {
                    ResultDirectoryManager::create(wide(work / "n" / "r@@@").c_str(), false,
                                                   nullptr, false, nullptr);
                }
                break;
            case 1:
                ResultDirectoryManager::create(wide(work / ("plain" + k)).c_str(), false, nullptr,
                                               true, nullptr);
                break;
            case 2:
                IProject::create(wide(work / ("proj" + k)).c_str(), nullptr, false);
                break;
            case 3:
                IExperiment::create(wide(work / ("exp" + k)).c_str(), nullptr);
                break;
            case 4:
                if (const auto r = open(work / "src")) {
                    r->setCollectorCommand(std::wstring(200 + random() % 200, L'c').c_str());
                    r->save();
                }
                break;
            case 5:
                if (const auto r = open(work / "n" / "r@@@")) r->remove();
                break;
            case 6:
                if (const auto p = IProject::open(wide(work / "P").c_str(), nullptr)) {
                    p->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
                    p->getNodeGroup()->removeNodes(L"r@@@", 1);
                }
                break;
            case 7: {
                const bool there = fs::exists(work / "m" / "mA");
                if (const auto r = open(work / "m" / (there ? "mA" : "mB")))
                    r->move(wide(work / "m" / (there ? "mB" : "mA")).c_str(), true, nullptr);
                break;
            }
            case 8:
                if (const auto r = open(work / "src"))
                    r->copy(wide(work / ("copy" + k)).c_str(), false, nullptr);
                break;
            case 9:
                if (entries(work / "e") >= 4) {
                    if (const auto r = open(work / "e" / "r@@@")) r->remove();
                } else if (const auto r = open(work / "src")) {
                    r->exportTo(wide(work / "e" / "r@@@").c_str(), nullptr);
                }
                break;
            case 10:
                if (const auto r = open(work / "n" / "r@@@")) r->setInvalid();
                break;
            case 11:
                if (const auto r = open(work / "src")) {
                    r->setFlag(L"busy");
                    r->clearFlag(L"busy", false);
                }
                break;
            case 12:
                if (other.empty()) break;
                for (const fs::path& from : {work / "x" / "xm", other / "x" / "xm"}) {
                    const fs::path to =
                        from == work / "x" / "xm" ? other / "x" / "xm" : work / "x" / "xm";
                    if (const auto r = open(from)) {
                        r->move(wide(to).c_str(), false, nullptr);
                        break;
                    }
                }
                break;
        }
    }
    static constexpr int kOperations = 13;

    // What a kill may not leave: a torn marker or a visible node directory without one. Counts
    // each kind of damage into `damage`.
    void inspect(std::map<std::string, unsigned long>& damage) const {
        for (const fs::path& top : {work, other}) {
            if (top.empty()) continue;
            for (fs::recursive_directory_iterator it(top), end; it != end; ++it) {
                const fs::path& path = it->path();
                if (isHidden(path)) {
                    if (fs::is_directory(it->symlink_status())) it.disable_recursion_pending();
                    continue;
                }
                if (fs::is_regular_file(it->symlink_status()) && hasMarkerExtension(path)) {
                    corekit2::variant_bag_t bag;
                    if (corekit2::load_variant_bag(bag, wide(path).c_str(), "") !=
                        corekit2::BAG_OK) {
                        ++damage["torn"];
                        ADD_FAILURE() << "torn marker " << path;
                    }
                }
                if (!fs::is_directory(it->symlink_status())) continue;
                const std::string name = path.filename().string();
                if (name.rfind("data.", 0) == 0 || name == "x" || name == "m" || name == "e" ||
                    name == "n") {
                    continue;
                }
                it.disable_recursion_pending();
                bool marked = false;
                for (fs::directory_iterator entry(path), stop; entry != stop; ++entry)
                    marked = marked || hasMarkerExtension(entry->path());
                if (!marked) {
                    ++damage["unmarked"];
                    ADD_FAILURE() << "node directory without its marker: " << path;
                }
            }
        }
        if (fs::exists(work / "m" / "mA") == fs::exists(work / "m" / "mB")) {
            ++damage["moved twice or lost"];
            ADD_FAILURE() << "the node moved on one file system is in both places or neither";
        }
        if (!other.empty() && !fs::exists(work / "x" / "xm") && !fs::exists(other / "x" / "xm")) {
            ++damage["moved twice or lost"];
            ADD_FAILURE() << "the node moved across file systems is lost";
        }
    }

    // After the sweep: no hidden leftovers, and every node directory opens as its kind.
    void sweepAndOpen(std::map<std::string, unsigned long>& damage) const {
        for (const fs::path& top : {work, other}) {
            if (top.empty()) continue;
            std::vector<TreeFinding> findings;
            ASSERT_TRUE(checkTree(wide(top).c_str(), true, findings));
            for (const TreeFinding& finding : findings) {
                if (finding.removable && !finding.removed) {
                    ++damage["unswept"];
                    ADD_FAILURE() << "not swept: " << test::utf8Path(finding.path);
                }
            }
            for (fs::recursive_directory_iterator it(top), end; it != end; ++it) {
                if (isHidden(it->path())) {
                    ++damage["unswept"];
                    ADD_FAILURE() << "left after the sweep: " << it->path();
                }
                if (!fs::is_regular_file(it->symlink_status()) || !hasMarkerExtension(it->path()))
                    continue;
                const fs::path node = it->path().parent_path();
                const std::wstring extension = wide(it->path().extension());
                const bool opens = extension == getResultExtension(false) ? bool(open(node))
                                   : extension == getProjectExtension(false)
                                       ? bool(IProject::open(wide(node).c_str(), nullptr))
                                       : bool(IExperiment::open(wide(node).c_str(), nullptr));
                if (!opens) {
                    ++damage["does not open"];
                    ADD_FAILURE() << "does not open: " << node;
                }
            }
        }
    }
};

TEST(RobustnessAllOrNothing, KilledOperationsLeaveWholeNodesAndSweepableGarbage) {
    test::TempDir dir;
    Mount second(dir.path() / "other", "size=64m");
    Tree tree{dir.path() / "work", second.mounted() ? dir.path() / "other" : fs::path()};
    if (!second.mounted()) std::cout << "moves across file systems skipped: cannot mount\n";
    fs::create_directories(tree.work);
    tree.prepare();
    if (::testing::Test::HasFatalFailure()) return;

    const unsigned long kills = fromEnvironment("TALVO2_CRASH_KILLS", 150);
    const unsigned long seed = fromEnvironment("TALVO2_CRASH_SEED", std::random_device{}());
    std::mt19937 random(static_cast<unsigned>(seed));
    std::map<std::string, unsigned long> damage;
    for (unsigned long attempt = 0; attempt < kills && !::testing::Test::HasFailure(); ++attempt) {
        const unsigned childSeed = random();
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const int child = test::startChild([&] {
            ::close(ready[0]);
            (void)!::write(ready[1], "x", 1);
            std::mt19937 mine(childSeed);
            for (;;) tree.operate(static_cast<int>(mine() % Tree::kOperations), mine);
        });
        ::close(ready[1]);
        char byte = 0;
        if (::read(ready[0], &byte, 1) == 1)
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ::close(ready[0]);
        ::kill(child, SIGKILL);
        test::waitForChild(child);
        tree.inspect(damage);
        // Every tenth kill the sweep runs, as a user would after a crash; the others let
        // garbage pile up for the next operations to meet.
        if (attempt % 10 == 9 || attempt + 1 == kills) tree.sweepAndOpen(damage);
    }
    std::cout << "all-or-nothing: kills=" << kills << " torn=" << damage["torn"]
              << " unmarked=" << damage["unmarked"]
              << " moved_twice_or_lost=" << damage["moved twice or lost"]
              << " unswept=" << damage["unswept"] << " unopenable=" << damage["does not open"]
              << " across_devices=" << (second.mounted() ? "yes" : "no") << " seed=" << seed
              << std::endl;
    EXPECT_TRUE(damage.empty() ||
                std::all_of(damage.begin(), damage.end(), [](auto& d) { return d.second == 0; }));
}

TEST(RobustnessAllOrNothing, OperationsOnAFullDiskLeaveTheTreeAsItWas) {
    test::TempDir dir;
    Mount small(dir.path() / "small", "size=2m");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (needs CAP_SYS_ADMIN)";
    Tree tree{dir.path() / "small" / "work", fs::path()};
    fs::create_directories(tree.work);
    tree.prepare();
    if (::testing::Test::HasFatalFailure()) return;
    // Fill what is left, a page at a time, so nothing more can be written.
    {
        std::FILE* filler = std::fopen((dir.path() / "small" / "filler").c_str(), "w");
        ASSERT_TRUE(filler);
        const std::string page(4096, 'z');
        while (std::fwrite(page.data(), 1, page.size(), filler) == page.size() &&
               std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }
    std::mt19937 random(1);
    for (int which = 0; which < Tree::kOperations; ++which) {
        SCOPED_TRACE("operation " + std::to_string(which));
        const auto before = test::snapshot(tree.work);
        tree.operate(which, random);
        std::map<std::string, unsigned long> damage;
        tree.inspect(damage);
        // A rename needs no space: a move on one file system or a bad result's move aside may
        // succeed. Everything else must have left the tree exactly as it was.
        if (which != 7 && which != 10) {
            // Directories' times and sizes change with every entry made and taken back: only
            // their being there counts.
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
