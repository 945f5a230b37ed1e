// I/O faults injected through the library's own file-system seam, in this process, so the proof
// also runs under the sanitizers: each scenario runs once to count its file-system calls (n), then
// once for every k = 1..n with the k-th call failing, each time over a fresh copy of the prepared
// tree. Every run must end with success or a failure that says why, and every file that was there
// before must be byte-identical afterwards, except what the scenario may change; what it may
// change must still load, and a moved node must be whole in one of its two places.
//
// TALVO2_FAULT_LONG=1: larger trees, and every call failed with each plausible error and, for
// writes, cut short as well.

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include "corekit2/bag_file.hpp"
#include "propstore2/property_storage.hpp"
#include "ulib_2_18/text.hpp"
#include "util/fault_file_system.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using Tree = std::map<std::string, std::string>;  // relative path -> content

struct Outcome {
    bool ok;
    error_t error;
};
using Operation = std::function<Outcome()>;

bool longForm() {
    const char* value = std::getenv("TALVO2_FAULT_LONG");
    return value && *value && std::strcmp(value, "0") != 0;
}

std::string ext() {
    return ulib_2_18::to_utf8(getResultExtension(false));
}

Outcome last(bool ok) {
    return {ok, ResultDirectoryManager::getLastError()};
}

struct Scenario {
    const char* name;
    // What the scenario may change or delete (relative paths; a trailing "/" takes a directory).
    std::vector<std::string> own;
    // Files that must still load as bags afterwards.
    std::vector<std::string> mustLoad;
    // Opens what the operation needs (before faults are armed) and returns it.
    std::function<Operation(const fs::path& root)> setup;
    // Whether a failure may leave OK as the last error (a failed export copy does).
    bool reasonless = false;
    // The node directory a move takes, which must be whole in one of its two places.
    std::string moved, movedTo;
};

Scenario scenario(const char* name, std::vector<std::string> own, std::vector<std::string> mustLoad,
                  std::function<Operation(const fs::path& root)> setup, bool reasonless = false,
                  std::string moved = "", std::string movedTo = "") {
    return Scenario{name,       std::move(own),   std::move(mustLoad), std::move(setup),
                    reasonless, std::move(moved), std::move(movedTo)};
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

std::wstring wide(const fs::path& path) {
    return ulib_2_18::from_utf8(path.string());
}

sptr_t<IResultDirectory> open(const fs::path& path) {
    return ResultDirectoryManager::open(wide(path).c_str(), false, nullptr);
}

std::vector<Scenario> scenarios() {
    const std::string marker = "plain/r000/r000" + ext();
    return {
        scenario("create", {}, {},
                 [](const fs::path& root) -> Operation {
                     return [root] {
                         return last(static_cast<bool>(ResultDirectoryManager::create(
                             wide(root / "plain/r@@@").c_str(), false, nullptr, false, nullptr)));
                     };
                 }),
        scenario("save", {marker}, {marker},
                 [](const fs::path& root) -> Operation {
                     const auto result = open(root / "plain/r000");
                     return [result] {
                         result->setCollectorCommand(L"collect ./other");
                         result->setCollectionTimeEnd(1700000000);
                         return last(result->save());
                     };
                 }),
        scenario("addFlag", {}, {},
                 [](const fs::path& root) -> Operation {
                     const auto result = open(root / "plain/r000");
                     return [result] {
                         const error_t error = result->addFlag(L"busy", false, false);
                         return Outcome{error == OK, error};
                     };
                 }),
        scenario("copy", {}, {},
                 [](const fs::path& root) -> Operation {
                     // Copied out of its project, the member is linked back into it.
                     const auto result = open(root / "P/r000");
                     return [result, root] {
                         return last(
                             result->copy(wide(root / "r000-copy").c_str(), false, nullptr));
                     };
                 }),
        scenario(
            "move", {"P/r000/"}, {},
            [](const fs::path& root) -> Operation {
                const auto result = open(root / "P/r000");
                return [result, root] {
                    return last(result->move(wide(root / "r000-moved").c_str(), false, nullptr));
                };
            },
            false, "P/r000/", "r000-moved/"),
        scenario(
            "export", {}, {},
            [](const fs::path& root) -> Operation {
                const auto result = open(root / "plain/r000");
                return [result, root] {
                    return last(static_cast<bool>(
                        result->exportTo(wide(root / "exports/r@@@").c_str(), nullptr)));
                };
            },
            true),
        scenario("remove", {"out/r001/", "P/r001" + ext() + "link"}, {},
                 [](const fs::path& root) -> Operation {
                     const auto result = open(root / ("P/r001" + ext() + "link"));
                     return [result] { return last(result->remove()); };
                 }),
    };
}

// A result with collector data, search directories and a log, as collectors leave them.
void fill(const sptr_t<IResultDirectory>& result, int files) {
    ASSERT_TRUE(result);
    for (int d = 0; d < 2; ++d) {
        const wchar_t* data = result->createCollectorDataDir();
        ASSERT_TRUE(data);
        for (int i = 0; i < files; ++i)
            test::writeFile(test::utf8Path(data) / ("f" + std::to_string(i) + ".bin"),
                            std::string(1000 + 700 * i, static_cast<char>('a' + i % 26)));
    }
    test::writeFile(test::utf8Path(result->getSubdir(STANDARD_DIR_LOG)) / "collector.log",
                    "collected\n");
    result->getSubdir(STANDARD_DIR_CONFIG);
    const auto search = result->getSearchDirectories();
    search->getStorage()->setValue(L"source", corekit2::variant_t(L"/src"));
    result->setCollectorCommand(L"collect ./app");
    ASSERT_TRUE(search->save() && result->save() && result->setFinalized(true));
}

// plain/r000 (no group); P/r000 (a project's member inside it); out/r001 (a member of P stored
// outside it, linked as P/r001<ext>link).
void prepare(const fs::path& root, int files) {
    fill(ResultDirectoryManager::create(wide(root / "plain/r000").c_str(), false, nullptr, true,
                                        nullptr),
         files);
    const auto project = IProject::create(wide(root / "P").c_str(), nullptr, false);
    ASSERT_TRUE(project);
    fill(project->getNodeGroup()->createResultDirectory(L"r000", nullptr), files);
    project->getNodeGroup()->setOutputDirectory(wide(root / "out").c_str());
    fill(project->getNodeGroup()->createResultDirectory(L"r001", nullptr), files);
}

Tree readTree(const fs::path& root) {
    Tree tree;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        if (fs::is_regular_file(it->symlink_status()))
            tree[it->path().lexically_relative(root).string()] = test::readFile(it->path());
    return tree;
}

void copyTree(const fs::path& from, const fs::path& to) {
    fs::create_directory(to);
    for (fs::recursive_directory_iterator it(from), end; it != end; ++it) {
        const fs::path target = to / it->path().lexically_relative(from);
        if (fs::is_directory(it->symlink_status())) {
            fs::create_directory(target);
        } else {
            fs::copy_file(it->path(), target);
        }
    }
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// What a run damaged: files changed or gone that were not the scenario's own, own files that no
// longer load, a moved node found whole nowhere.
unsigned damaged(const Scenario& scenario, const Tree& before, const fs::path& work,
                 std::ostream& detail) {
    const Tree after = readTree(work);
    unsigned count = 0;
    for (const auto& [file, content] : before) {
        bool own = false;
        for (const std::string& target : scenario.own)
            own |= target.back() == '/' ? startsWith(file, target) : file == target;
        const auto now = after.find(file);
        if (own || (now != after.end() && now->second == content)) continue;
        ++count;
        detail << " " << file << (now == after.end() ? " (gone)" : " (changed)");
    }
    for (const std::string& file : scenario.mustLoad) {
        corekit2::variant_bag_t bag;
        if (corekit2::load_variant_bag(bag, wide(work / file).c_str(), "") == corekit2::BAG_OK)
            continue;
        ++count;
        detail << " " << file << " (no longer loads)";
    }
    if (!scenario.moved.empty()) {
        bool atSource = true, atTarget = true;
        for (const auto& [file, content] : before) {
            if (!startsWith(file, scenario.moved)) continue;
            const std::string inside = file.substr(scenario.moved.size());
            // The marker itself records where the node went (its backlink): it must load.
            if (fs::path(inside).extension() == ext() && !fs::path(inside).has_parent_path())
                continue;
            const std::string there = scenario.movedTo + inside;
            const auto source = after.find(file);
            const auto target = after.find(there);
            atSource &= source != after.end() && source->second == content;
            atTarget &= target != after.end() && target->second == content;
        }
        if (!atSource && !atTarget) {
            ++count;
            detail << " " << scenario.moved << " (whole nowhere)";
        }
    }
    return count;
}

class InProcessFaults : public ::testing::TestWithParam<Scenario> {};

TEST_P(InProcessFaults, EveryFailedCallEndsCleanlyAndLeavesOtherFilesAlone) {
    const Scenario& scenario = GetParam();
    // Durability is not what is tested here: work in memory where the system offers it.
    if (!std::getenv("TMPDIR") && ::access("/dev/shm", W_OK) == 0)
        ::setenv("TMPDIR", "/dev/shm", 1);
    test::TempDir dir;
    const fs::path work = dir.path() / "work";
    const fs::path pristine = dir.path() / "pristine";
    prepare(work, longForm() ? 24 : 2);
    if (HasFatalFailure()) return;
    copyTree(work, pristine);
    const Tree before = readTree(pristine);

    test::FaultInjection injection;
    test::FaultFileSystem& faults = injection.fileSystem();
    const auto runOnce = [&](long k, int variant, long* calls) {
        fs::remove_all(work);
        copyTree(pristine, work);
        const Operation operation = scenario.setup(work);
        faults.arm(k, variant);
        const Outcome outcome = operation();
        const long counted = faults.disarm();
        if (calls) *calls = counted;
        return outcome;
    };

    long calls = 0;
    const Outcome clean = runOnce(0, 0, &calls);
    ASSERT_TRUE(clean.ok) << "without faults: " << clean.error;
    std::ostringstream untouched;
    ASSERT_EQ(damaged(scenario, before, work, untouched), 0u)
        << "without faults:" << untouched.str();
    ASSERT_GT(calls, 0);

    unsigned runs = 0, failures = 0, unclear = 0, damagedFiles = 0;
    const int variants = longForm() ? 4 : 1;
    for (long k = 1; k <= calls; ++k) {
        for (int v = 0; v < variants; ++v) {
            const Outcome outcome = runOnce(k, longForm() ? v : static_cast<int>(k), nullptr);
            ++runs;
            failures += outcome.ok ? 0 : 1;
            const bool reasonless = !outcome.ok && outcome.error == OK;
            unclear += reasonless ? 1 : 0;
            std::ostringstream detail;
            const unsigned count = damaged(scenario, before, work, detail);
            damagedFiles += count;
            if (count > 0 || (reasonless && !scenario.reasonless))
                ADD_FAILURE() << scenario.name << " k=" << k << " (" << faults.failedCall()
                              << ", errno " << faults.failedErrno()
                              << "): " << (outcome.ok ? "succeeded" : "failed") << " with "
                              << outcome.error << ", damaged:" << (count ? detail.str() : " none");
        }
    }
    std::cout << "fault-in-process: scenario calls runs failures unclear damaged_files\n"
              << "fault-in-process: " << scenario.name << " " << calls << " " << runs << " "
              << failures << " " << unclear << " " << damagedFiles << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, InProcessFaults, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace talvo2
