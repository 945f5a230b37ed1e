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
using RDM = ResultDirectoryManager;

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
    testing::internal::CaptureStderr();  // where the library logs while the host sets up nothing
    for (const auto& [code, patterns] : cases)
        for (const wchar_t* pattern : patterns)
            EXPECT_EQ(RDM::validateResultDirectoryPattern(pattern), code)
                << (pattern ? pattern : L"(null)");
    const std::string log = testing::internal::GetCapturedStderr();
    // The 17 refusals before parsing log once each at error level with message, pattern, place.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 17) << log;
    for (const auto& [code, pattern] :
         {std::pair{ReservedCharacters, ". Pattern: a|b"}, {EmptyPattern, ""}}) {
        const std::size_t at = log.find("talvo ERROR: " + ulib_2_18::to_utf8(toString(code)) +
                                        pattern + ", at file: ");
        ASSERT_NE(at, log.npos) << log;
        EXPECT_NE(log.substr(at, log.find('\n', at) - at).find("name_pattern.cpp:"), log.npos);
    }

    // Only a numbered last element makes a path patterned.
    for (const auto& [path, patterned] :
         {std::pair{L"x/r@@@", true}, {L"x/r000", false}, {L"x/a@@b@", false}}) {
        std::wstring text = path;
        EXPECT_EQ(RDM::isPathPatterned(text.data()), patterned) << path;
    }
}

std::wstring pathOf(const sptr_t<IResultDirectory>& result) {
    return result ? result->getPath() : L"(none)";
}

std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> names;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        names.insert(it->path().lexically_relative(root).string());
    return names;
}

enum How { Plain, Overwrite, Unprivileged };

struct Creation {
    const char* name;
    std::vector<std::string> present;  // in the case's folder; "name/" is a directory
    std::wstring pattern;              // relative to the case's folder
    std::wstring made;                 // the result's path relative to the folder; "" for none
    error_t error = OK;
    How how = Plain;
};

// Refusals by validation alone are tested above; literal names, overwrites, MPI ranks: cli_test.
TEST(ResultDirectoryManager, CreateNamesEachResultOrFailsLeavingNothing) {
    const Creation cases[] = {
        {"one past the highest", {"r000/", "r007/", "r999/"}, L"r@@@", L"r1000"},
        {"a file takes no number", {"r005"}, L"r@@@", L"r000"},
        {"a link file takes one", {"r004.talvolink"}, L"r@@@", L"r005"},
        {"no number", {"r/", "rx1/", "R012/", "r99999999999999999999/"}, L"r@@@", L"r000"},
        {"the rest of a name is not compared", {"r012x/"}, L"r@@@hs", L"r013hs"},
        {"digits the suffix begins with", {"run0512/"}, L"run@@12", L"run0612"},
        {"digits of a variable", {"r0073/"}, L"r@@@{mpirank}", L"r0083"},
        {"variables around", {"node7_04_node7/"}, L"{host}_@@_{host}", L"node7_05_node7"},
        {"unknown, non-text, unclosed", {}, L"{other}{int}{open", L"{other}{int}{open"},
        {"host name", {}, L"h_{hostname}", L"h_" + corekit2::get_fq_host_name()},
        {"by marker path, parents made", {}, L"x/r000/r000.talvo", L"x/r000"},
        {"overwrite of a pattern", {}, L"r@@@", L"", ParameterError, Overwrite},
        {"parent is a file", {"file"}, L"file/r@@@", L"", NotFound},
        {"dot of a directory", {"plain/"}, L"plain/.", L"", AlreadyExists},
        // Overwriting "." would delete the directory the caller stands in.
        {"overwrite of a dot", {"plain/"}, L"plain/.", L"", InvalidPath, Overwrite},
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
    for (const Creation& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;  // its folder "f" holds the case, so a result made above it shows too
        const fs::path folder = dir.path() / "f";
        fs::create_directory(folder);
        fs::permissions(folder, static_cast<fs::perms>(0755));  // others may not write
        for (const std::string& entry : c.present) {
            fs::create_directories((folder / entry).parent_path());
            if (entry.back() != '/') test::writeFile(folder / entry, "old");
        }
        const std::set<std::string> before = tree(dir.path());
        const std::wstring path = dir.wide(L"f/");
        const std::wstring leaf = c.made.substr(c.made.rfind(L'/') + 1);
        const auto attempt = [&] {
            const auto result = RDM::create((path + c.pattern).c_str(), c.how == Overwrite,
                                            &variables.getVariables(), false, nullptr);
            EXPECT_EQ(lastError(), c.error);
            EXPECT_EQ(pathOf(result), c.made.empty() ? L"(none)" : path + c.made);
        };
        const int status = c.how == Unprivileged ? test::runUnprivileged(attempt) : (attempt(), 0);
        if (status == -1) continue;  // cannot drop root here, so permissions would not bind
        EXPECT_EQ(status, 0);
        if (c.made.empty()) {
            EXPECT_EQ(tree(dir.path()), before);
            continue;
        }
        // Whole, only a marker named after it holding the caller's bag, found again by that marker.
        const std::wstring marker = path + c.made + L"/" + leaf + L".talvo";
        EXPECT_EQ(tree(test::utf8Path(path + c.made)),
                  std::set<std::string>{test::utf8Path(leaf + L".talvo").string()});
        EXPECT_NE(test::readFile(test::utf8Path(marker)).find("\"node7\""), std::string::npos);
        EXPECT_EQ(pathOf(RDM::open(marker.c_str(), true, nullptr)), path + c.made);
    }
}

TEST(ResultDirectoryManager, OpenTakesTheGreatestNameAndGetMakesWhatIsMissing) {
    TempDir dir;
    ASSERT_TRUE(createResult(dir.wide(L"y/r999")) && createResult(dir.wide(L"y/r1000")));
    // The greatest file name, not number (the newest by name is in python/test_bindings.py).
    EXPECT_EQ(pathOf(RDM::open(dir.wide(L"y/r@@@").c_str(), false, nullptr)), dir.wide(L"y/r999"));

    const auto get = [](const std::wstring& p) { return RDM::get(p.c_str(), nullptr, false); };
    // "." is adopted like any directory, its marker named after the directory, its bag empty.
    fs::create_directories(dir.path() / "bare");
    const auto bare = get(dir.wide(L"bare/."));
    ASSERT_TRUE(bare && fs::is_regular_file(dir.path() / "bare/bare.talvo"));
    EXPECT_EQ(bare->getCreationTime(), 0);
    EXPECT_EQ(get(dir.wide(L"bare")).get(), bare.get());
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(get(dir.wide(L"n/r@@@")));
    EXPECT_EQ(tree(dir.path() / "n"),
              (std::set<std::string>{"r000", "r000/r000.talvo", "r001", "r001/r001.talvo"}));

    EXPECT_FALSE(IResultDirectory::probe(dir.wide(L"n").c_str()));
    EXPECT_EQ(lastError(), OK);
    EXPECT_TRUE(IResultDirectory::probe(dir.wide(L"n/r001").c_str()));
    EXPECT_TRUE(IResultDirectory::probe(dir.wide(L"n/r001/r001.talvo").c_str()));
}

// Collectors create results in one folder at once, threads also racing to make the folder.
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
    // As many directories as creations, each holding its marker and nothing else.
    const std::set<std::string> entries = tree(dir.path() / "shared");
    std::size_t markers = 0;
    for (const std::string& name : entries) markers += entries.count(name + "/" + name + ".talvo");
    EXPECT_EQ(markers, static_cast<std::size_t>(creators * each));
    EXPECT_EQ(entries.size(), 2 * markers);
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
    sptr_t<IResultDirectory> other = createResult(dir.wide(L"z/r@@@"));
    // {first, second, literal, the two results picked or the error}
    const std::tuple<const wchar_t*, const wchar_t*, bool, const wchar_t*, const wchar_t*, error_t>
        cases[] = {
            {L"x/r@@@", L"x/r@@@", false, L"x/r005", L"x/r004", OK},    // newest, one before
            {L"x/r@@@", L"x/r005", false, L"x/r005", L"x/r004", OK},    // the named is the newest
            {L"y/r@@@", L"x/r@@@", false, L"y/r000", L"x/r005", OK},    // each alone in its folder
            {L"x/r@@@", L"x/r@@@", true, nullptr, nullptr, NotFound},   // literal: no "r@@@" there
            {L"y/r@@@", L"y/r@@@", false, nullptr, nullptr, NotFound},  // nothing to compare with
        };
    const auto at = [&](const wchar_t* path) { return path ? dir.wide(path) : L"(none)"; };
    for (const auto& [first, second, literal, expectedA, expectedB, error] : cases) {
        SCOPED_TRACE(ulib_2_18::to_utf8(at(first) + L" against " + at(second)));
        sptr_t<IResultDirectory> a = other, b = other;  // cleared on failure
        EXPECT_EQ(RDM::openForDiff(at(first).c_str(), at(second).c_str(), &a, &b, literal),
                  error == OK);
        EXPECT_EQ(lastError(), error);
        EXPECT_EQ(pathOf(a) + L" " + pathOf(b), at(expectedA) + L" " + at(expectedB));
    }
    EXPECT_FALSE(
        RDM::openForDiff(at(L"x/r@@@").c_str(), at(L"x/r@@@").c_str(), nullptr, &other, false));
    EXPECT_EQ(lastError(), ParameterError);
}

TEST(OpenForImportTest, OpensAnotherProductsResult) {
    TempDir dir;
    ASSERT_TRUE(createResult(dir.wide(L"in/r002")));  // our own results are not another product's
    corekit2::variant_bag_t bag;
    bag.put(L"talvo", corekit2::variant_bag_t())->put(L"hostname", corekit2::variant_t(L"far"));
    for (const wchar_t* marker : {L"in/r000/r000.other", L"in/r001/r001.other"}) {
        fs::create_directories(test::utf8Path(dir.wide(marker)).parent_path());
        ASSERT_EQ(corekit2::save_variant_bag(bag, dir.wide(marker).c_str()), corekit2::BAG_OK);
    }
    // {path, extension, the marker opened or the error}
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, error_t> cases[] = {
        {L"in/r000", L"other", L"in/r000/r000.other", OK},
        {L"in/r@@@", L"other", L"in/r001/r001.other", OK},  // a pattern opens the newest
        {L"in/r000", L"oth", nullptr, NotFound},
    };
    for (const auto& [path, extension, marker, error] : cases) {
        const auto r = RDM::openForImport(dir.wide(path).c_str(), extension);
        EXPECT_EQ(lastError(), error) << path << L" as " << extension;
        EXPECT_EQ(r ? std::wstring(r->getMarkerFilePath()) + L" from " + r->getCreationHostName()
                    : L"(none)",
                  marker ? dir.wide(marker) + L" from far" : L"(none)");
    }
}

}  // namespace
}  // namespace talvo2
