// Crash safety of the files the library rewrites: a child saves a result's marker, its search
// directories and (by reopening the result through its link) the link file in a tight loop,
// alternating between two known contents, and is killed with SIGKILL at random moments. After
// every kill each file must hold exactly one of the two contents, and no leftover may look like a
// node or a link.
//
// Environment:
//   TALVO2_CRASH_KILLS  number of kills (default 200; the long form uses 1000)
//   TALVO2_CRASH_SEED   seed of the kill moments (default: random, printed)

#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "corekit2/bag_file.hpp"
#include "propstore2/property_storage.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using Clock = std::chrono::steady_clock;
using Contents = std::map<fs::path, std::string>;

unsigned long fromEnvironment(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoul(text, nullptr, 10) : fallback;
}

bool endsWith(const std::string& text, const std::wstring& suffix) {
    const std::string tail = ulib_2_18::to_utf8(suffix);
    return !tail.empty() && text.size() > tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A project P whose output directory is "out", so its result out/r000 is linked into P.
struct RobustnessCrash : ::testing::Test {
    void SetUp() override {
        const auto project = IProject::create(dir.wide(L"P").c_str(), nullptr, false);
        ASSERT_TRUE(project);
        project->getNodeGroup()->setOutputDirectory(dir.wide(L"out").c_str());
        const auto result = project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr);
        ASSERT_TRUE(result);
        ASSERT_TRUE(result->getSubdir(STANDARD_DIR_CONFIG));
        ASSERT_TRUE(fs::is_regular_file(link()));
    }

    fs::path link() const {
        return dir.path() / ("P/r000" + ext(getResultExtension(false)) + "link");
    }
    static std::string ext(const wchar_t* extension) { return ulib_2_18::to_utf8(extension); }
    static std::wstring wide(const fs::path& path) { return ulib_2_18::from_utf8(path.string()); }

    // One round of the loop: reopening through the link rewrites it when the marker changed
    // since, then the marker and the search directories are saved with content `which`.
    bool round(int which) const {
        const std::wstring text = std::wstring(300, which ? L'b' : L'a');
        const auto result = ResultDirectoryManager::open(wide(link()).c_str(), false, nullptr);
        if (!result) return false;
        result->setCollectorCommand(text.c_str());
        result->getPropertyStorage()->setValue(L"payload", corekit2::variant_t(text));
        if (!result->save()) return false;
        const auto search = result->getSearchDirectories();
        search->getStorage()->setValue(L"source", corekit2::variant_t(text));
        return search->save();
    }

    // The files the loop rewrites, and the project marker, which it must leave alone.
    std::array<fs::path, 4> tracked() const {
        return {dir.path() / ("out/r000/r000" + ext(getResultExtension(false))),
                dir.path() / "out/r000/config/search_dir.cfg", link(),
                dir.path() / ("P/P" + ext(getProjectExtension(false)))};
    }
    Contents snapshot() const {
        Contents contents;
        for (const fs::path& file : tracked()) contents[file] = test::readFile(file);
        return contents;
    }

    test::TempDir dir;
};

TEST_F(RobustnessCrash, KilledSavesLeaveOldOrNewContentAndNoMistakableLeftovers) {
    // The two contents, each settled (the link rewritten after its marker), and how long a round
    // takes, which sets the span the kills are spread over.
    std::array<Contents, 2> known;
    const Clock::time_point start = Clock::now();
    for (int which : {0, 0, 1, 1}) ASSERT_TRUE(round(which));
    const auto perRound = (Clock::now() - start) / 4;
    ASSERT_TRUE(round(0) && round(0));
    known[0] = snapshot();
    ASSERT_TRUE(round(1) && round(1));
    known[1] = snapshot();
    for (const fs::path& file : {tracked()[0], tracked()[1], tracked()[2]}) {
        ASSERT_NE(known[0][file], known[1][file]) << file;
    }

    const unsigned long kills = fromEnvironment("TALVO2_CRASH_KILLS", 200);
    const unsigned long seed = fromEnvironment("TALVO2_CRASH_SEED", std::random_device{}());
    std::mt19937 random(static_cast<unsigned>(seed));
    std::uniform_int_distribution<long long> delay(
        0, std::chrono::duration_cast<std::chrono::microseconds>(perRound).count() * 2);
    const std::array<std::wstring, 4> nodeExtensions = {
        getResultExtension(false), getProjectExtension(false), getExperimentExtension(),
        getPackedExperimentExtension()};

    unsigned long torn = 0, empty = 0, missing = 0, mistakable = 0, harmless = 0, unkilled = 0;
    for (unsigned long attempt = 0; attempt < kills; ++attempt) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const int child = test::startChild([&] {
            ::close(ready[0]);
            (void)!::write(ready[1], "x", 1);
            for (int which = 0; round(which); which ^= 1) {
            }
        });
        ::close(ready[1]);
        char byte = 0;
        const bool started = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (started) std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        ::kill(child, SIGKILL);
        if (test::waitForChild(child) != 128 + SIGKILL) ++unkilled;

        for (const auto& [file, content] : known[0]) {
            boost::system::error_code ec;
            const std::string now = test::readFile(file);
            corekit2::variant_bag_t bag;
            const bool loads =
                corekit2::load_variant_bag(bag, wide(file).c_str(), "") == corekit2::BAG_OK;
            if (!fs::exists(file, ec)) {
                ++missing;
            } else if (now.empty()) {
                ++empty;
            } else if (!loads || (now != content && now != known[1][file])) {
                ++torn;
            } else {
                continue;
            }
            ADD_FAILURE() << "after kill " << attempt << ": " << file << " is damaged";
            test::writeFile(file, content);  // so that the following rounds can go on
        }
        std::vector<fs::path> leftovers;
        for (fs::recursive_directory_iterator it(dir.path()), end; it != end; ++it) {
            const std::string name = it->path().filename().string();
            if (!fs::is_regular_file(it->symlink_status()) || known[0].count(it->path())) continue;
            if (name.find(".talvo-tmp") != std::string::npos) {
                ++harmless;
                leftovers.push_back(it->path());
                continue;
            }
            for (const std::wstring& extension : nodeExtensions) {
                if (endsWith(name, extension) || endsWith(name, extension + L"link")) {
                    ++mistakable;
                    ADD_FAILURE() << "leftover that looks like a node: " << it->path();
                    leftovers.push_back(it->path());
                    break;
                }
            }
        }
        for (const fs::path& leftover : leftovers) fs::remove(leftover);
    }
    std::cout << "crash-safety: attempts=" << kills << " torn=" << torn << " empty=" << empty
              << " missing=" << missing << " mistakable_leftovers=" << mistakable
              << " harmless_tmp_leftovers=" << harmless << " seed=" << seed << std::endl;
    EXPECT_EQ(unkilled, 0u) << "children that stopped before they were killed";
    EXPECT_EQ(torn + empty + missing + mistakable, 0u);

    // The library itself opens what the kills left.
    const auto result = ResultDirectoryManager::open(wide(link()).c_str(), false, nullptr);
    ASSERT_TRUE(result);
    const std::wstring payload = result->getPropertyStorage()->getString(L"payload");
    EXPECT_TRUE(payload == std::wstring(300, L'a') || payload == std::wstring(300, L'b'));
}

}  // namespace
}  // namespace talvo2
