#include <stdlib.h>

#include <set>
#include <thread>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "propstore2/property_storage.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::lastError;

using corekit2::variant_bag_t;
using corekit2::variant_t;
using test::TempDir;

sptr_t<IResultDirectory> create(const std::wstring& path, const variant_bag_t* bag = nullptr,
                                bool overwrite = false, bool literal = false) {
    return ResultDirectoryManager::create(path.c_str(), overwrite, bag, literal, nullptr);
}

std::wstring nameOf(const sptr_t<IResultDirectory>& result) {
    return result ? test::utf8Path(result->getPath()).filename().wstring() : L"(none)";
}

std::set<std::string> entries(const fs::path& directory) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(ResultDirectoryManager, NumbersNewResultsOnePastTheHighestPresent) {
    TempDir dir;
    const std::wstring pattern = dir.wide(L"x/r@@@");
    const auto first = create(pattern);
    const auto second = create(pattern);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(nameOf(first), L"r000");
    EXPECT_EQ(nameOf(second), L"r001");
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "x/r000/r000.talvo"));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "x/r001/r001.talvo"));

    fs::create_directories(dir.path() / "y/r007");
    fs::create_directories(dir.path() / "y/r999");
    EXPECT_EQ(nameOf(create(dir.wide(L"y/r@@@"))), L"r1000");
    fs::create_directories(dir.path() / "z1");
    fs::create_directories(dir.path() / "z2");
    test::writeFile(dir.path() / "z1/r005", "");  // a file does not take a number
    EXPECT_EQ(nameOf(create(dir.wide(L"z1/r@@@"))), L"r000");
    test::writeFile(dir.path() / "z2/r004.talvolink", "");  // a link file does
    EXPECT_EQ(nameOf(create(dir.wide(L"z2/r@@@"))), L"r005");
    fs::create_directories(dir.path() / "z3/r012x");
    EXPECT_EQ(nameOf(create(dir.wide(L"z3/r@@@hs"))), L"r013hs");
}

TEST(ResultDirectoryManager, MarkerPathOrDirectoryNameTheSameMarker) {
    TempDir dir;
    variant_bag_t bag;
    bag.put(L"mine", variant_t(L"kept"));
    const auto byMarker = create(dir.wide(L"x/r000/r000.talvo"), &bag);
    ASSERT_TRUE(byMarker);
    EXPECT_EQ(std::wstring(byMarker->getMarkerFilePath()), dir.wide(L"x/r000/r000.talvo"));
    const auto byDirectory = create(dir.wide(L"x/r001"));
    ASSERT_TRUE(byDirectory);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "x/r001/r001.talvo"));

    // The marker holds the caller's bag plus when and where the result was made.
    variant_bag_t stored;
    ASSERT_EQ(corekit2::load_variant_bag(stored, dir.wide(L"x/r000/r000.talvo").c_str(), ""),
              corekit2::BAG_OK);
    EXPECT_EQ(stored.get_variant(L"mine").get_wstring(), L"kept");
    const variant_bag_t* talvo = stored.get<variant_bag_t>(L"talvo");
    ASSERT_TRUE(talvo);
    EXPECT_GT(talvo->get_variant(L"timestamp").get_uint64(), 0u);
    EXPECT_EQ(talvo->get_variant(L"hostname").get_wstring(), corekit2::get_fq_host_name());
    EXPECT_GT(byMarker->getCreationTime(), 0);
    EXPECT_FALSE(talvo->has<variant_t>(L"mpirank")) << "not an MPI job";
}

TEST(ResultDirectoryManager, OpenChoosesTheGreatestFileName) {
    TempDir dir;
    for (const wchar_t* name : {L"x/r000", L"x/r001", L"y/r999", L"y/r1000"})
        ASSERT_TRUE(create(dir.wide(name)));
    EXPECT_EQ(nameOf(ResultDirectoryManager::open(dir.wide(L"x/r@@@").c_str(), false, nullptr)),
              L"r001");
    EXPECT_EQ(nameOf(ResultDirectoryManager::open(dir.wide(L"y/r@@@").c_str(), false, nullptr)),
              L"r999");
    const auto viaMarker =
        ResultDirectoryManager::open(dir.wide(L"x/r000/r000.talvo").c_str(), false, nullptr);
    const auto viaDirectory =
        ResultDirectoryManager::open(dir.wide(L"x/r000").c_str(), false, nullptr);
    EXPECT_EQ(viaMarker.get(), viaDirectory.get());

    EXPECT_FALSE(ResultDirectoryManager::open(dir.wide(L"x/missing").c_str(), false, nullptr));
    EXPECT_EQ(lastError(), NotFound);
    EXPECT_FALSE(ResultDirectoryManager::open(dir.wide(L"nowhere/r000").c_str(), false, nullptr));
    EXPECT_EQ(lastError(), NotFound);
    EXPECT_FALSE(ResultDirectoryManager::open(nullptr, false, nullptr));
    EXPECT_EQ(lastError(), InvalidPath);
}

TEST(ResultDirectoryManager, GetOpensWhatIsThereAndCreatesTheRest) {
    TempDir dir;
    fs::create_directories(dir.path() / "bare");
    const auto bare = ResultDirectoryManager::get(dir.wide(L"bare").c_str(), nullptr, false);
    ASSERT_TRUE(bare);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "bare/bare.talvo"));
    EXPECT_EQ(bare->getCreationTime(), 0) << "an adopted directory gets an empty bag";
    EXPECT_EQ(ResultDirectoryManager::get(dir.wide(L"bare").c_str(), nullptr, false).get(),
              bare.get());
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(ResultDirectoryManager::get(dir.wide(L"n/r@@@").c_str(), nullptr, false));
    EXPECT_EQ(entries(dir.path() / "n"), (std::set<std::string>{"r000", "r001", "r002"}));

    EXPECT_FALSE(IResultDirectory::probe(dir.wide(L"n").c_str()));
    EXPECT_EQ(lastError(), OK);
    EXPECT_TRUE(IResultDirectory::probe(dir.wide(L"n/r001").c_str()));
    EXPECT_TRUE(IResultDirectory::probe(dir.wide(L"n/r001/r001.talvo").c_str()));
    EXPECT_FALSE(IResultDirectory::probe(nullptr));

    // "." and "dir/." name directories that are there: create says so, get adopts them, and an
    // overwrite of them is refused (it would delete the directory the caller stands in).
    fs::create_directories(dir.path() / "plain");
    EXPECT_FALSE(create(dir.wide(L"plain/.")));
    EXPECT_EQ(lastError(), AlreadyExists);
    EXPECT_EQ(ResultDirectoryManager::get(dir.wide(L"bare/.").c_str(), nullptr, false).get(),
              bare.get());
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path() / "plain");
    const auto here = ResultDirectoryManager::get(L".", nullptr, false);
    EXPECT_FALSE(create(L".", nullptr, true));
    EXPECT_EQ(lastError(), InvalidPath);
    EXPECT_FALSE(create(L"..", nullptr, true));
    fs::current_path(previous);
    ASSERT_TRUE(here);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "plain/plain.talvo"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "n/r002"));
}

TEST(ResultDirectoryManager, BadRequestsFailWithTheirReasonAndLeaveNothing) {
    TempDir dir;
    fs::create_directories(dir.path() / "x");
    const struct {
        const wchar_t* path;
        bool overwrite;
        error_t expected;
    } cases[] = {
        {L"x/r@@@", true, ParameterError},
        {L"x/a@@b@", false, TooManyPlaceholderGroups},
        {L"x/r@@@@@@@@@", false, TooLongPlaceholder},
        {L"x/a|b", false, ReservedCharacters},
        {L"x/com1", false, ReservedDeviceName},
        {L"x/LPT@", false, ReservedDeviceName},
        {L"x/r000.", false, InvalidLastCharacter},
        {L"x/r000 ", false, InvalidLastCharacter},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(create(dir.wide(c.path), nullptr, c.overwrite)) << c.path;
        EXPECT_EQ(lastError(), c.expected) << c.path;
    }
    EXPECT_FALSE(ResultDirectoryManager::create(nullptr, false, nullptr, false, nullptr));
    EXPECT_EQ(lastError(), EmptyPattern);
    EXPECT_TRUE(fs::is_empty(dir.path() / "x"));

    test::writeFile(dir.path() / "file", "");
    EXPECT_FALSE(create(dir.wide(L"file/r@@@")));
    EXPECT_EQ(lastError(), NotFound);
    ASSERT_TRUE(create(dir.wide(L"x/taken")));
    EXPECT_FALSE(create(dir.wide(L"x/taken")));
    EXPECT_EQ(lastError(), AlreadyExists);

    // A variable cannot smuggle a separator into the name.
    ResultVariableBag variables;
    variables.putVariable(ResultVariableBag::VAR_AT, variant_t(L"../escape"));
    EXPECT_FALSE(create(dir.wide(L"x/r_{at}"), &variables.getVariables()));
    EXPECT_EQ(lastError(), ReservedCharacters);
    EXPECT_FALSE(fs::exists(dir.path() / "escape"));

    fs::create_directories(dir.path() / "locked");
    fs::permissions(dir.path() / "locked",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    const int status = test::runUnprivileged([&] {
        EXPECT_FALSE(create(dir.wide(L"locked/r@@@")));
        EXPECT_EQ(lastError(), InsufficientPermissions);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::is_empty(dir.path() / "locked"));
}

TEST(ResultDirectoryManager, OverwriteReplacesAPlainName) {
    TempDir dir;
    ASSERT_TRUE(create(dir.wide(L"r000")));
    test::writeFile(dir.path() / "r000/old.txt", "old");
    {
        const auto replaced = create(dir.wide(L"r000"), nullptr, true);
        ASSERT_TRUE(replaced);
    }
    EXPECT_FALSE(fs::exists(dir.path() / "r000/old.txt"));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "r000/r000.talvo"));
    const auto literal = create(dir.wide(L"r@@@"), nullptr, false, true);
    ASSERT_TRUE(literal);
    EXPECT_EQ(nameOf(literal), L"r@@@");
}

TEST(ResultDirectoryManager, VariablesAndRanksNameResults) {
    TempDir dir;
    ResultVariableBag variables;
    variables.putVariable(L"host", variant_t(L"node7"));
    EXPECT_EQ(nameOf(create(dir.wide(L"r@@@_{host}"), &variables.getVariables())), L"r000_node7");
    EXPECT_EQ(nameOf(create(dir.wide(L"r@@@_{host}"), &variables.getVariables())), L"r001_node7");
    EXPECT_EQ(nameOf(create(dir.wide(L"h_{hostname}"), &variables.getVariables())),
              L"h_" + corekit2::get_fq_host_name());

    // Each rank of an MPI job names its own result and records its rank.
    EXPECT_EQ(
        test::runInChild([&] {
            ASSERT_EQ(::setenv("PMI_RANK", "3", 1), 0);
            EXPECT_EQ(ResultDirectoryManager::getCurrentMpiRank(), 3);
            ResultVariableBag rank;
            rank.putVariable(ResultVariableBag::VAR_MPIRANK, variant_t(L"3"));
            const auto result = create(dir.wide(L"mpi/r@@@.{mpirank}"), &rank.getVariables());
            ASSERT_TRUE(result);
            EXPECT_EQ(nameOf(result), L"r000.3");
            EXPECT_EQ(
                result->getPropertyStorage()->getSection(L"talvo", false)->getInt32(L"mpirank", -1),
                3);
        }),
        0);
}

TEST(ResultDirectoryManager, NonAsciiNamesWorkEndToEnd) {
    TempDir dir;
    for (const std::wstring name : {L"résultats", L"結果"}) {
        const auto made = create(dir.wide(name + L"/r@@@"));
        ASSERT_TRUE(made) << lastError();
        EXPECT_EQ(std::wstring(made->getPath()), dir.wide(name + L"/r000"));
        const auto opened =
            ResultDirectoryManager::open(dir.wide(name + L"/r@@@").c_str(), false, nullptr);
        EXPECT_EQ(opened.get(), made.get());
        EXPECT_TRUE(fs::is_regular_file(dir.path() / test::utf8Path(name + L"/r000/r000.talvo")));
    }
    const auto named = create(dir.wide(L"données"));
    ASSERT_TRUE(named);
    EXPECT_STREQ(named->getUserVisibleName(), L"données");
}

// Collectors on many machines and ranks create results in one folder at once: every creator must
// get a directory of its own, with its marker, and nobody an error.
void createMany(const std::wstring& pattern, int count) {
    for (int i = 0; i < count; ++i) {
        const auto result = create(pattern);
        ASSERT_TRUE(result) << "error " << lastError();
    }
}

void expectDistinctResults(const fs::path& directory, std::size_t expected) {
    std::size_t results = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(fs::is_regular_file(entry.path() / (name + ".talvo"))) << name;
        ++results;
    }
    EXPECT_EQ(results, expected);
}

TEST(ResultDirectoryManager, ConcurrentProcessesGetDistinctNumbers) {
    TempDir dir;
    fs::create_directory(dir.path() / "shared");
    const std::wstring pattern = dir.wide(L"shared/r@@@");
    std::vector<int> children;
    for (int p = 0; p < 8; ++p)
        children.push_back(test::startChild([&] { createMany(pattern, 100); }));
    for (int child : children) EXPECT_EQ(test::waitForChild(child), 0);
    expectDistinctResults(dir.path() / "shared", 800);
}

TEST(ResultDirectoryManager, ConcurrentThreadsGetDistinctNumbers) {
    TempDir dir;
    const std::wstring pattern = dir.wide(L"shared/r@@@");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&] { createMany(pattern, 50); });
    for (std::thread& thread : threads) thread.join();
    expectDistinctResults(dir.path() / "shared", 400);
    EXPECT_EQ(Node::handleCount(), 0u) << "every handle was released";
}

}  // namespace
}  // namespace talvo2
