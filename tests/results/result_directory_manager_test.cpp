#include <stdlib.h>

#include <set>
#include <thread>
#include <tuple>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_t;
using test::lastError;
using test::TempDir;

sptr_t<IResultDirectory> create(const std::wstring& path, bool overwrite = false) {
    return ResultDirectoryManager::create(path.c_str(), overwrite, nullptr, false, nullptr);
}

std::wstring nameOf(const sptr_t<IResultDirectory>& result) {
    return result ? test::utf8Path(result->getPath()).filename().wstring() : L"(none)";
}

// Every path below `root`, relative to it.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> names;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        names.insert(it->path().lexically_relative(root).string());
    return names;
}

struct Creation {
    const char* name;
    std::vector<std::string> present;  // in the case's folder; "name/" is a directory
    std::wstring pattern;              // relative to the case's folder
    std::wstring made;                 // the result's path relative to the folder; "" for none
    error_t error = OK;
    bool overwrite = false, literal = false;
    bool unprivileged = false;  // run by a user who cannot write the folder
    bool rank = false;          // run as MPI rank 3
};

TEST(ResultDirectoryManager, CreateNamesEachResultOrFailsLeavingNothing) {
    const std::wstring host = corekit2::get_fq_host_name();
    const Creation cases[] = {
        {"first number", {}, L"x/r@@@", L"x/r000"},
        {"one past the highest", {"r000/", "r007/", "r999/"}, L"r@@@", L"r1000"},
        {"a file takes no number", {"r005"}, L"r@@@", L"r000"},
        {"a link file takes one", {"r004.talvolink"}, L"r@@@", L"r005"},
        {"the rest of a name is not compared", {"r012x/"}, L"r@@@hs", L"r013hs"},
        {"by marker path", {}, L"x/r000/r000.talvo", L"x/r000"},
        {"literal", {}, L"r@@@", L"r@@@", OK, false, true},
        {"overwrite", {"r000/r000.talvo", "r000/old.txt"}, L"r000", L"r000", OK, true},
        {"variable", {"r000_node7/"}, L"r@@@_{host}", L"r001_node7"},
        {"host name", {}, L"h_{hostname}", L"h_" + host},
        {"rank", {}, L"mpi/r@@@.{mpirank}", L"mpi/r000.3", OK, false, false, false, true},
        {"non-ASCII folder", {}, L"r\u00e9sultats/r@@@", L"r\u00e9sultats/r000"},
        {"non-ASCII folder", {}, L"\u7d50\u679c/r@@@", L"\u7d50\u679c/r000"},
        {"non-ASCII name", {}, L"donn\u00e9es", L"donn\u00e9es"},
        {"overwrite of a pattern", {}, L"r@@@", L"", ParameterError, true},
        {"two runs of @", {}, L"a@@b@", L"", TooManyPlaceholderGroups},
        {"nine @", {}, L"r@@@@@@@@@", L"", TooLongPlaceholder},
        {"reserved character", {}, L"a|b", L"", ReservedCharacters},
        {"device", {}, L"com1", L"", ReservedDeviceName},
        {"numbered device", {}, L"LPT@", L"", ReservedDeviceName},
        {"trailing dot", {}, L"r000.", L"", InvalidLastCharacter},
        {"trailing space", {}, L"r000 ", L"", InvalidLastCharacter},
        {"parent is a file", {"file"}, L"file/r@@@", L"", NotFound},
        {"taken", {"taken/"}, L"taken", L"", AlreadyExists},
        {"dot of a directory", {"plain/"}, L"plain/.", L"", AlreadyExists},
        // A variable cannot smuggle a separator into the name.
        {"separator in a variable", {}, L"r_{at}", L"", ReservedCharacters},
        {"denied", {}, L"r@@@", L"", InsufficientPermissions, false, false, true},
    };
    ResultVariableBag variables;
    variables.putVariable(L"host", variant_t(L"node7"));
    variables.putVariable(ResultVariableBag::VAR_AT, variant_t(L"../escape"));
    variables.putVariable(ResultVariableBag::VAR_MPIRANK, variant_t(L"3"));
    TempDir dir;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Creation& c = cases[i];
        SCOPED_TRACE(c.name);
        const fs::path folder = dir.path() / std::to_string(i);
        fs::create_directory(folder);
        fs::permissions(folder, static_cast<fs::perms>(0755));  // others may not write
        for (const std::string& entry : c.present) {
            fs::create_directories((folder / entry).parent_path());
            if (entry.back() != '/') test::writeFile(folder / entry, "old");
            if (fs::path(entry).extension() == ".talvo")  // a marker makes the folder a result
                corekit2::save_variant_bag({},
                                           ulib_2_18::from_utf8((folder / entry).string()).c_str());
        }
        const std::set<std::string> before = tree(dir.path());
        const std::wstring path = dir.wide(std::to_wstring(i) + L"/");
        const std::wstring leaf = c.made.substr(c.made.rfind(L'/') + 1);
        const auto attempt = [&] {
            ASSERT_TRUE(!c.rank || ::setenv("PMI_RANK", "3", 1) == 0);
            const auto result =
                ResultDirectoryManager::create((path + c.pattern).c_str(), c.overwrite,
                                               &variables.getVariables(), c.literal, nullptr);
            EXPECT_EQ(lastError(), c.error);
            EXPECT_EQ(result ? std::wstring(result->getPath()) : L"(none)",
                      c.made.empty() ? L"(none)" : path + c.made);
            if (!result) return;
            EXPECT_STREQ(result->getUserVisibleName(), leaf.c_str());
            EXPECT_GT(result->getCreationTime(), 0);
            EXPECT_EQ(result->getMpiRank(), c.rank ? 3 : -1);
        };
        const int status = c.unprivileged ? test::runUnprivileged(attempt)
                           : c.rank       ? test::runInChild(attempt)
                                          : (attempt(), 0);
        if (status == -1) continue;  // cannot drop root here, so permissions would not bind
        EXPECT_EQ(status, 0);
        if (c.made.empty()) {
            EXPECT_EQ(tree(dir.path()), before);
            continue;
        }
        // Made whole with a marker named after it and nothing else, the caller's bag in it; and
        // found again from disk once every handle is gone.
        const std::wstring marker = leaf + L".talvo";
        EXPECT_EQ(tree(test::utf8Path(path + c.made)),
                  std::set<std::string>{test::utf8Path(marker).string()});
        EXPECT_NE(test::readFile(test::utf8Path(path + c.made + L"/" + marker)).find("\"node7\""),
                  std::string::npos);
        const auto reopened = ResultDirectoryManager::open((path + c.made).c_str(), true, nullptr);
        EXPECT_EQ(reopened ? std::wstring(reopened->getPath()) : L"(none)", path + c.made);
    }
    EXPECT_FALSE(ResultDirectoryManager::create(nullptr, false, nullptr, false, nullptr));
    EXPECT_EQ(lastError(), EmptyPattern);
}

TEST(ResultDirectoryManager, OpenChoosesTheGreatestFileName) {
    TempDir dir;
    for (const wchar_t* name : {L"x/r000", L"x/r001", L"y/r999", L"y/r1000"})
        ASSERT_TRUE(create(dir.wide(name)));
    const auto open = [](const std::wstring& path) {
        return ResultDirectoryManager::open(path.c_str(), false, nullptr);
    };
    EXPECT_EQ(nameOf(open(dir.wide(L"x/r@@@"))), L"r001");
    EXPECT_EQ(nameOf(open(dir.wide(L"y/r@@@"))), L"r999");
    EXPECT_EQ(open(dir.wide(L"x/r000/r000.talvo")).get(), open(dir.wide(L"x/r000")).get());
    EXPECT_FALSE(open(dir.wide(L"x/missing")));
    EXPECT_EQ(lastError(), NotFound);
    EXPECT_FALSE(open(dir.wide(L"nowhere/r000")));
    EXPECT_EQ(lastError(), NotFound);
    EXPECT_FALSE(ResultDirectoryManager::open(nullptr, false, nullptr));
    EXPECT_EQ(lastError(), InvalidPath);
}

TEST(ResultDirectoryManager, GetOpensWhatIsThereAndCreatesTheRest) {
    TempDir dir;
    const auto get = [](const std::wstring& path) {
        return ResultDirectoryManager::get(path.c_str(), nullptr, false);
    };
    fs::create_directories(dir.path() / "bare");
    const auto bare = get(dir.wide(L"bare"));
    ASSERT_TRUE(bare);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "bare/bare.talvo"));
    EXPECT_EQ(bare->getCreationTime(), 0) << "an adopted directory gets an empty bag";
    EXPECT_EQ(get(dir.wide(L"bare")).get(), bare.get());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(get(dir.wide(L"n/r@@@")));
    EXPECT_EQ(tree(dir.path() / "n"),
              (std::set<std::string>{"r000", "r000/r000.talvo", "r001", "r001/r001.talvo", "r002",
                                     "r002/r002.talvo"}));

    EXPECT_FALSE(IResultDirectory::probe(dir.wide(L"n").c_str()));
    EXPECT_EQ(lastError(), OK);
    EXPECT_TRUE(IResultDirectory::probe(dir.wide(L"n/r001").c_str()));
    EXPECT_TRUE(IResultDirectory::probe(dir.wide(L"n/r001/r001.talvo").c_str()));

    // "." and "dir/." name directories that are there: get adopts them, and an overwrite of them
    // is refused (it would delete the directory the caller stands in).
    EXPECT_EQ(get(dir.wide(L"bare/.")).get(), bare.get());
    fs::create_directories(dir.path() / "plain");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path() / "plain");
    const auto here = get(L".");
    EXPECT_FALSE(create(L".", true));
    EXPECT_EQ(lastError(), InvalidPath);
    EXPECT_FALSE(create(L"..", true));
    fs::current_path(previous);
    ASSERT_TRUE(here);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "plain/plain.talvo"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "n/r002"));
}

// Collectors on many machines and ranks create results in one folder at once: every creator must
// get a directory of its own, with its marker, and nobody an error.
void createMany(const std::wstring& pattern, int count) {
    for (int i = 0; i < count; ++i) ASSERT_TRUE(create(pattern)) << "error " << lastError();
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

TEST(OpenForDiffTest, PicksTheTwoResultsToCompare) {
    TempDir dir;
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(create(dir.wide(L"x/r@@@")));
    ASSERT_TRUE(create(dir.wide(L"y/r@@@")));
    const sptr_t<IResultDirectory> other = create(dir.wide(L"z/r@@@"));
    // {first, second, literal, the two results picked or the error}
    const std::tuple<const wchar_t*, const wchar_t*, bool, const wchar_t*, const wchar_t*, error_t>
        cases[] = {
            {L"x/r@@@", L"x/r@@@", false, L"x/r005", L"x/r004",
             OK},  // the newest and the one before
            {L"x/r001", L"x/r003", false, L"x/r001", L"x/r003", OK},
            // A named result against the pattern whose newest it is: the one before it, either way.
            {L"x/r005", L"x/r@@@", false, L"x/r005", L"x/r004", OK},
            {L"x/r@@@", L"x/r005", false, L"x/r005", L"x/r004", OK},
            {L"y/r@@@", L"x/r@@@", false, L"y/r000", L"x/r005", OK},    // each alone in its folder
            {L"x/r@@@", L"x/r@@@", true, nullptr, nullptr, NotFound},   // literal: no "r@@@" there
            {L"y/r@@@", L"y/r@@@", false, nullptr, nullptr, NotFound},  // nothing to compare with
            {L"x/r@@@", L"none", false, nullptr, nullptr, NotFound},
            {L"x/r\u00e9:@", L"x/r@@@", false, nullptr, nullptr, ReservedCharacters},
            {nullptr, L"x/r@@@", false, nullptr, nullptr, InvalidPath},
        };
    const auto at = [&](const wchar_t* path) { return path ? dir.wide(path) : L"(none)"; };
    for (const auto& [first, second, literal, expectedA, expectedB, error] : cases) {
        SCOPED_TRACE(ulib_2_18::to_utf8(at(first) + L" against " + at(second)));
        sptr_t<IResultDirectory> a = other, b = other;  // cleared on failure
        EXPECT_EQ(ResultDirectoryManager::openForDiff(first ? at(first).c_str() : nullptr,
                                                      at(second).c_str(), &a, &b, literal),
                  error == OK);
        EXPECT_EQ(ResultDirectoryManager::getLastError(), error);
        EXPECT_EQ(a ? std::wstring(a->getPath()) : L"(none)", at(expectedA));
        EXPECT_EQ(b ? std::wstring(b->getPath()) : L"(none)", at(expectedB));
    }
    const std::wstring pattern = dir.wide(L"x/r@@@");
    sptr_t<IResultDirectory> b;
    EXPECT_FALSE(
        ResultDirectoryManager::openForDiff(pattern.c_str(), pattern.c_str(), nullptr, &b, false));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), ParameterError);
}

TEST(OpenForImportTest, OpensAnotherProductsResult) {
    TempDir dir;
    fs::create_directories(dir.path() / "in/r000");
    fs::create_directories(dir.path() / "in/r001");
    ASSERT_TRUE(create(dir.wide(L"in/r002")));  // our own results are not another product's
    corekit2::variant_bag_t bag;
    bag.put(L"talvo", corekit2::variant_bag_t())->put(L"hostname", corekit2::variant_t(L"far"));
    for (const wchar_t* marker : {L"in/r000/r000.other", L"in/r001/r001.other"})
        ASSERT_EQ(corekit2::save_variant_bag(bag, dir.wide(marker).c_str()), corekit2::BAG_OK);
    // {path, extension, the marker opened or the error}
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, error_t> cases[] = {
        {L"in/r000", L"other", L"in/r000/r000.other", OK},
        {L"in/r@@@", L"other", L"in/r001/r001.other", OK},  // a pattern opens the newest
        {L"in/r000", L"talvo", nullptr, NotFound},
        {L"in/r000", L"oth", nullptr, NotFound},
        {L"in/r000", L"../x", nullptr, ParameterError},
        {L"in/r000", nullptr, nullptr, ParameterError},
        {nullptr, L"other", nullptr, InvalidPath},
    };
    for (const auto& [path, extension, marker, error] : cases) {
        SCOPED_TRACE(ulib_2_18::to_utf8(std::wstring(path ? path : L"(null)") + L" as " +
                                        (extension ? extension : L"(null)")));
        const sptr_t<IResultDirectory> result = ResultDirectoryManager::openForImport(
            path ? dir.wide(path).c_str() : nullptr, extension);
        EXPECT_EQ(ResultDirectoryManager::getLastError(), error);
        EXPECT_EQ(result ? result->getMarkerFilePath() +
                               (L" from " + std::wstring(result->getCreationHostName()))
                         : L"(none)",
                  marker ? dir.wide(marker) + L" from far" : L"(none)");
    }
}

}  // namespace
}  // namespace talvo2
