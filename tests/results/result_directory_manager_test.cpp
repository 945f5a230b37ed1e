#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>
#include <stdlib.h>

#include <algorithm>
#include <set>
#include <thread>
#include <tuple>

#include "corekit2/bag_file.hpp"
#include "corekit2/host.hpp"
#include "ulib_2_18/text.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::createResult;
using test::lastError;
using test::TempDir;

class Capture final : public log4cplus::Appender {
public:
    ~Capture() override { destructorImpl(); }
    void close() override {}
    std::vector<std::string> lines;  // "level message"

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        lines.push_back(std::to_string(event.getLogLevel()) + " " + event.getMessage());
    }
};

// CON, ':', '*', "", ".." and nine @ are swept with every other call in bad_input_test.
TEST(ResultNamePattern, RefusesNamesThatCannotNameADirectory) {
    const std::pair<error_t, std::vector<const wchar_t*>> cases[] = {
        {ReservedDeviceName, {L"com1", L"Com1.txt", L"nul", L"LPT@", L"lpt@.x", L"aux.r@@@"}},
        {OK, {L"COM10", L"A@", L"r@@@", L"x.con", L".", L"résultats_@@", L"結果", L"r@@@@@@@@"}},
        {ReservedCharacters,
         {L"a<b", L"a>b", L"a\"b", L"x/r@@@", L"x\\r", L"a|b", L"a?b", L"a<@@b@"}},
        {InvalidLastCharacter, {L"r000.", L"r000 "}},
        {EmptyPattern, {nullptr}},
        {TooManyPlaceholderGroups, {L"a@@b@"}},
    };
    auto* capture = new Capture;
    log4cplus::SharedAppenderPtr appender(capture);
    log4cplus::Logger logger = log4cplus::Logger::getInstance("talvo");
    logger.addAppender(appender);
    std::size_t refusals = 0;
    for (const auto& [code, patterns] : cases) {
        for (const wchar_t* pattern : patterns) {
            EXPECT_EQ(ResultDirectoryManager::validateResultDirectoryPattern(pattern), code)
                << (pattern ? pattern : L"(null)");
            // The checks before parsing log their refusals; parsing logs none.
            refusals += code != OK && code != TooManyPlaceholderGroups;
        }
    }
    logger.removeAppender(appender);
    // Each refusal is logged once at error level (40000): message, pattern if any, place.
    EXPECT_EQ(capture->lines.size(), refusals);
    const auto logged = [&](const std::string& start) {
        return std::any_of(capture->lines.begin(), capture->lines.end(), [&](const auto& line) {
            return line.rfind(start, 0) == 0 && line.find("name_pattern.cpp:") != std::string::npos;
        });
    };
    const std::string reserved = ulib_2_18::to_utf8(toString(ReservedCharacters));
    EXPECT_TRUE(logged("40000 " + reserved + ". Pattern: a|b, at file: "));
    EXPECT_TRUE(logged("40000 " + ulib_2_18::to_utf8(toString(EmptyPattern)) + ", at file: "));
}

TEST(ResultNamePattern, OnlyANumberedLastElementMakesAPathPatterned) {
    std::wstring patterned = L"x/r@@@", plain = L"x/r000", broken = L"x/a@@b@";
    EXPECT_TRUE(ResultDirectoryManager::isPathPatterned(patterned.data()));
    EXPECT_FALSE(ResultDirectoryManager::isPathPatterned(plain.data()));
    EXPECT_FALSE(ResultDirectoryManager::isPathPatterned(broken.data()));
}

std::wstring pathOf(const sptr_t<IResultDirectory>& result) {
    return result ? result->getPath() : L"(none)";
}

// Every path below `root`, relative to it.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> names;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        names.insert(it->path().lexically_relative(root).string());
    return names;
}

enum How { Plain, Overwrite, Unprivileged, AsRank3 };

struct Creation {
    const char* name;
    std::vector<std::string> present;  // in the case's folder; "name/" is a directory
    std::wstring pattern;              // relative to the case's folder
    std::wstring made;                 // the result's path relative to the folder; "" for none
    error_t error = OK;
    How how = Plain;
};

// Refusals that validation alone decides are in RefusesNamesThatCannotNameADirectory and
// bad_input_test; literal names and overwrites are driven end to end in cli_test.
TEST(ResultDirectoryManager, CreateNamesEachResultOrFailsLeavingNothing) {
    const std::wstring host = corekit2::get_fq_host_name();
    const Creation cases[] = {
        {"one past the highest", {"r000/", "r007/", "r999/"}, L"r@@@", L"r1000"},
        {"a file takes no number", {"r005"}, L"r@@@", L"r000"},
        {"a link file takes one", {"r004.talvolink"}, L"r@@@", L"r005"},
        {"no number", {"r/", "rx1/", "R012/", "r99999999999999999999/"}, L"r@@@", L"r000"},
        {"the rest of a name is not compared", {"r012x/"}, L"r@@@hs", L"r013hs"},
        {"digits the suffix begins with", {"run0512/"}, L"run@@12", L"run0612"},
        // Digits a variable after the number expands to are no part of the number.
        {"digits of a variable", {"r0073/"}, L"r@@@{mpirank}", L"r0083"},
        {"variables around", {"node7_04_node7/"}, L"{host}_@@_{host}", L"node7_05_node7"},
        {"unknown, non-text, unclosed", {}, L"{other}{int}{open", L"{other}{int}{open"},
        {"host name", {}, L"h_{hostname}", L"h_" + host},
        {"by marker path, parents made", {}, L"x/r000/r000.talvo", L"x/r000"},
        {"rank", {}, L"mpi/r@@@.{mpirank}", L"mpi/r000.3", OK, AsRank3},
        {"non-ASCII folder", {}, L"r\u00e9sultats/r@@@", L"r\u00e9sultats/r000"},
        {"non-ASCII name", {}, L"\u7d50\u679c", L"\u7d50\u679c"},
        {"overwrite of a pattern", {}, L"r@@@", L"", ParameterError, Overwrite},
        {"parent is a file", {"file"}, L"file/r@@@", L"", NotFound},
        {"dot of a directory", {"plain/"}, L"plain/.", L"", AlreadyExists},
        // A variable cannot smuggle a separator into the name.
        {"separator in a variable", {}, L"r_{at}", L"", ReservedCharacters},
        {"a variable that names the folder above", {}, L"{up}", L"", InvalidPath},
        {"denied", {}, L"r@@@", L"", InsufficientPermissions, Unprivileged},
    };
    ResultVariableBag variables;
    variables.putVariable(L"host", corekit2::variant_t(L"node7"));
    variables.putVariable(L"int", corekit2::variant_t(int32_t{3}));
    variables.putVariable(L"up", corekit2::variant_t(L".."));
    variables.putVariable(ResultVariableBag::VAR_AT, corekit2::variant_t(L"../escape"));
    variables.putVariable(ResultVariableBag::VAR_MPIRANK, corekit2::variant_t(L"3"));
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
        }
        const std::set<std::string> before = tree(dir.path());
        const std::wstring path = dir.wide(std::to_wstring(i) + L"/");
        const std::wstring leaf = c.made.substr(c.made.rfind(L'/') + 1);
        const auto attempt = [&] {
            ASSERT_TRUE(c.how != AsRank3 || ::setenv("PMI_RANK", "3", 1) == 0);
            const auto result =
                ResultDirectoryManager::create((path + c.pattern).c_str(), c.how == Overwrite,
                                               &variables.getVariables(), false, nullptr);
            EXPECT_EQ(lastError(), c.error);
            EXPECT_EQ(pathOf(result), c.made.empty() ? L"(none)" : path + c.made);
            if (!result) return;
            EXPECT_STREQ(result->getUserVisibleName(), leaf.c_str());
            EXPECT_GT(result->getCreationTime(), 0);
            EXPECT_EQ(result->getMpiRank(), c.how == AsRank3 ? 3 : -1);
        };
        const int status = c.how == Unprivileged ? test::runUnprivileged(attempt)
                           : c.how == AsRank3    ? test::runInChild(attempt)
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
        EXPECT_EQ(pathOf(ResultDirectoryManager::open((path + c.made).c_str(), true, nullptr)),
                  path + c.made);
    }
}

TEST(ResultDirectoryManager, OpenTakesTheGreatestNameAndGetMakesWhatIsMissing) {
    TempDir dir;
    for (const wchar_t* name : {L"x/r000", L"x/r001", L"y/r999", L"y/r1000"})
        ASSERT_TRUE(createResult(dir.wide(name)));
    const auto open = [](const std::wstring& path) {
        return ResultDirectoryManager::open(path.c_str(), false, nullptr);
    };
    // The greatest file name, not number (the newest by name is in python/test_bindings.py).
    EXPECT_EQ(pathOf(open(dir.wide(L"y/r@@@"))), dir.wide(L"y/r999"));
    EXPECT_EQ(open(dir.wide(L"x/r000/r000.talvo")).get(), open(dir.wide(L"x/r000")).get());

    const auto get = [](const std::wstring& path) {
        return ResultDirectoryManager::get(path.c_str(), nullptr, false);
    };
    fs::create_directories(dir.path() / "bare");
    const auto bare = get(dir.wide(L"bare"));
    ASSERT_TRUE(bare);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "bare/bare.talvo"));
    EXPECT_EQ(bare->getCreationTime(), 0) << "an adopted directory gets an empty bag";
    EXPECT_EQ(get(dir.wide(L"bare")).get(), bare.get());
    EXPECT_EQ(get(dir.wide(L"bare/.")).get(), bare.get());
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(get(dir.wide(L"n/r@@@")));
    EXPECT_EQ(tree(dir.path() / "n"),
              (std::set<std::string>{"r000", "r000/r000.talvo", "r001", "r001/r001.talvo"}));

    EXPECT_FALSE(IResultDirectory::probe(dir.wide(L"n").c_str()));
    EXPECT_EQ(lastError(), OK);
    EXPECT_TRUE(IResultDirectory::probe(dir.wide(L"n/r001").c_str()));
    EXPECT_TRUE(IResultDirectory::probe(dir.wide(L"n/r001/r001.talvo").c_str()));

    // "." is adopted like any directory, but never overwritten: that would delete the directory
    // the caller stands in.
    fs::create_directories(dir.path() / "plain");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path() / "plain");
    const auto here = get(L".");
    EXPECT_FALSE(ResultDirectoryManager::create(L".", true, nullptr, false, nullptr));
    EXPECT_EQ(lastError(), InvalidPath);
    fs::current_path(previous);
    ASSERT_TRUE(here);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "plain/plain.talvo"));
}

// Collectors on many machines and ranks create results in one folder at once: every creator must
// get a directory of its own, with its marker, and nobody an error. Threads also race to make
// the folder.
void createAtOnce(bool processes, int creators, int each) {
    TempDir dir;
    if (processes) fs::create_directory(dir.path() / "shared");
    const std::wstring pattern = dir.wide(L"shared/r@@@");
    const auto createMany = [&] {
        for (int i = 0; i < each; ++i) ASSERT_TRUE(createResult(pattern)) << lastError();
    };
    std::vector<int> children;
    std::vector<std::thread> threads;
    for (int c = 0; c < creators; ++c) {
        if (processes) children.push_back(test::startChild(createMany));
        if (!processes) threads.emplace_back(createMany);
    }
    for (int child : children) EXPECT_EQ(test::waitForChild(child), 0);
    for (std::thread& thread : threads) thread.join();
    std::size_t results = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.path() / "shared")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(fs::is_regular_file(entry.path() / (name + ".talvo"))) << name;
        ++results;
    }
    EXPECT_EQ(results, static_cast<std::size_t>(creators * each));
}

TEST(ResultDirectoryManager, ConcurrentProcessesGetDistinctNumbers) {
    createAtOnce(true, 8, 100);
}

TEST(ResultDirectoryManager, ConcurrentThreadsGetDistinctNumbers) {
    createAtOnce(false, 8, 50);
    EXPECT_EQ(Node::handleCount(), 0u) << "every handle was released";
}

TEST(OpenForDiffTest, PicksTheTwoResultsToCompare) {
    TempDir dir;
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(createResult(dir.wide(L"x/r@@@")));
    ASSERT_TRUE(createResult(dir.wide(L"y/r@@@")));
    const sptr_t<IResultDirectory> other = createResult(dir.wide(L"z/r@@@"));
    // {first, second, literal, the two results picked or the error}
    const std::tuple<const wchar_t*, const wchar_t*, bool, const wchar_t*, const wchar_t*, error_t>
        cases[] = {
            {L"x/r@@@", L"x/r@@@", false, L"x/r005", L"x/r004", OK},  // newest, one before
            // A named result against the pattern whose newest it is: the one before it, either way.
            {L"x/r005", L"x/r@@@", false, L"x/r005", L"x/r004", OK},
            {L"x/r@@@", L"x/r005", false, L"x/r005", L"x/r004", OK},
            {L"y/r@@@", L"x/r@@@", false, L"y/r000", L"x/r005", OK},    // each alone in its folder
            {L"x/r@@@", L"x/r@@@", true, nullptr, nullptr, NotFound},   // literal: no "r@@@" there
            {L"y/r@@@", L"y/r@@@", false, nullptr, nullptr, NotFound},  // nothing to compare with
        };
    const auto at = [&](const wchar_t* path) { return path ? dir.wide(path) : L"(none)"; };
    for (const auto& [first, second, literal, expectedA, expectedB, error] : cases) {
        SCOPED_TRACE(ulib_2_18::to_utf8(at(first) + L" against " + at(second)));
        sptr_t<IResultDirectory> a = other, b = other;  // cleared on failure
        EXPECT_EQ(ResultDirectoryManager::openForDiff(at(first).c_str(), at(second).c_str(), &a, &b,
                                                      literal),
                  error == OK);
        EXPECT_EQ(lastError(), error);
        EXPECT_EQ(pathOf(a), at(expectedA));
        EXPECT_EQ(pathOf(b), at(expectedB));
    }
    const std::wstring pattern = dir.wide(L"x/r@@@");
    sptr_t<IResultDirectory> b;
    EXPECT_FALSE(
        ResultDirectoryManager::openForDiff(pattern.c_str(), pattern.c_str(), nullptr, &b, false));
    EXPECT_EQ(lastError(), ParameterError);
}

TEST(OpenForImportTest, OpensAnotherProductsResult) {
    TempDir dir;
    fs::create_directories(dir.path() / "in/r000");
    fs::create_directories(dir.path() / "in/r001");
    ASSERT_TRUE(createResult(dir.wide(L"in/r002")));  // our own results are not another product's
    corekit2::variant_bag_t bag;
    bag.put(L"talvo", corekit2::variant_bag_t())->put(L"hostname", corekit2::variant_t(L"far"));
    for (const wchar_t* marker : {L"in/r000/r000.other", L"in/r001/r001.other"})
        ASSERT_EQ(corekit2::save_variant_bag(bag, dir.wide(marker).c_str()), corekit2::BAG_OK);
    // {path, extension, the marker opened or the error}
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, error_t> cases[] = {
        {L"in/r000", L"other", L"in/r000/r000.other", OK},
        {L"in/r@@@", L"other", L"in/r001/r001.other", OK},  // a pattern opens the newest
        {L"in/r000", L"oth", nullptr, NotFound},
        {L"in/r000", L"../x", nullptr, ParameterError},
    };
    for (const auto& [path, extension, marker, error] : cases) {
        SCOPED_TRACE(ulib_2_18::to_utf8(std::wstring(path) + L" as " + extension));
        const auto result =
            ResultDirectoryManager::openForImport(dir.wide(path).c_str(), extension);
        EXPECT_EQ(lastError(), error);
        EXPECT_EQ(result ? result->getMarkerFilePath() +
                               (L" from " + std::wstring(result->getCreationHostName()))
                         : L"(none)",
                  marker ? dir.wide(marker) + L" from far" : L"(none)");
    }
}

}  // namespace
}  // namespace talvo2
