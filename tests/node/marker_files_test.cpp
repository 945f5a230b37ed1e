#include "node/marker_files.hpp"

#include "corekit2/bag_file.hpp"
#include "frame/boundary.hpp"
#include "node/node_relations.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;
using test::writeFile;

ExtensionSet resultSet() {
    return makeExtensionSet({getResultExtension(false), getResultExtension(true)});
}

TEST(MarkerFiles, OrderAndExtensionSets) {
    EXPECT_EQ(resultSet(), ExtensionSet{L".talvo"}) << "the empty legacy extension is left out";
    FileSet files;
    for (const wchar_t* path : {L"x/r1000", L"y/r999", L"z/r0000", L"other/r999"})
        files.insert(path);
    std::vector<std::wstring> order(files.begin(), files.end());
    // By last element only, ordinally; one entry per file name, the first inserted.
    EXPECT_EQ(order, (std::vector<std::wstring>{L"z/r0000", L"x/r1000", L"y/r999"}));

    EXPECT_TRUE(hasExtensionIn(resultSet(), L".TALVO"));
    EXPECT_FALSE(hasExtensionIn(resultSet(), L".talvoproj"));
    EXPECT_TRUE(isLinkExtensionOf(resultSet(), L".TalvoLink"));
    EXPECT_FALSE(isLinkExtensionOf(resultSet(), L".talvo"));

    EXPECT_TRUE(isLinkFilePath(L"p/r000.talvolink"));
    EXPECT_TRUE(isLinkFilePath(L"p/r000.TALVOPROJLINK"));
    EXPECT_FALSE(isLinkFilePath(L"p/r000.link")) << "too short to be a node extension and link";
    EXPECT_FALSE(isLinkFilePath(L"p/r000.abclink")) << "8 characters are not enough";
    EXPECT_TRUE(isLinkFilePath(L"p/r000.abcdlink"));
    EXPECT_FALSE(isLinkFilePath(L"p/r000.talvo"));
}

TEST(MarkerFiles, SplitAndWriteNameTheMarkerAfterItsDirectory) {
    EXPECT_EQ(splitMarkerPath(L"x/r000/r000.talvo", L".talvo"),
              std::make_pair(std::wstring(L"x/r000"), std::wstring(L"r000.talvo")));
    EXPECT_EQ(splitMarkerPath(L"x/r000/R000.TALVO", L".talvo"),
              std::make_pair(std::wstring(L"x/r000"), std::wstring(L"R000.TALVO")));
    EXPECT_EQ(splitMarkerPath(L"x/r000", L".talvo"),
              std::make_pair(std::wstring(L"x/r000"), std::wstring(L".talvo")));

    TempDir dir;
    corekit2::variant_bag_t bag;
    bag.put(L"k", corekit2::variant_t(int32_t{1}));
    for (const std::wstring& given : {dir.wide(L"r000/r000.talvo"), dir.wide(L"r001"),
                                      dir.wide(L"résultats"), dir.wide(L"結果/")}) {
        const auto [directory, marker] = splitMarkerPath(given, L".talvo");
        ASSERT_EQ(tryCreateDirectory(directory), OK) << given;
        EXPECT_EQ(writeMarkerFile(directory, marker, bag), OK) << given;
    }
    for (const char* marker : {"r000/r000.talvo", "r001/r001.talvo"})
        EXPECT_TRUE(fs::is_regular_file(dir.path() / marker)) << marker;
    EXPECT_TRUE(fs::is_regular_file(dir.path() / test::utf8Path(L"résultats/résultats.talvo")));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / test::utf8Path(L"結果/結果.talvo")));

    EXPECT_EQ(writeMarkerFile(dir.wide(L"missing"), L".talvo", bag), OperationFailed);
}

TEST(MarkerFiles, CreatingDirectoriesGivesPreciseErrors) {
    TempDir dir;
    EXPECT_EQ(tryCreateDirectory(dir.wide(L"a/b/c")), OK);
    EXPECT_TRUE(fs::is_directory(dir.path() / "a/b/c"));
    EXPECT_EQ(tryCreateDirectory(dir.wide(L"a/b/c")), AlreadyExists);
    writeFile(dir.path() / "file", "x");
    EXPECT_EQ(tryCreateDirectory(dir.wide(L"file")), AlreadyExists);
    EXPECT_NE(tryCreateDirectory(dir.wide(L"file/below")), OK);
    EXPECT_FALSE(fs::exists(dir.path() / "file/below"));

    fs::create_directory(dir.path() / "locked");
    fs::permissions(dir.path() / "locked",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    const int status = test::runUnprivileged([&] {
        EXPECT_EQ(tryCreateDirectory(dir.wide(L"locked")), InsufficientPermissions);
        EXPECT_EQ(tryCreateDirectory(dir.wide(L"locked/new")), InsufficientPermissions);
        EXPECT_EQ(tryCreateDirectory(dir.wide(L"free")), OK);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(dir.path() / "locked/new"));
}

TEST(MarkerFiles, LocatingFindsMarkersAndLinksButScansSkipBareMarkers) {
    TempDir dir;
    const corekit2::variant_bag_t empty;
    fs::create_directories(dir.path() / "x/r000");
    fs::create_directories(dir.path() / "x/nomarker");
    writeFile(dir.path() / "x/nomarker/notes.txt", "");
    ASSERT_EQ(corekit2::save_variant_bag(empty, dir.wide(L"x/r000/R000.TALVO").c_str()),
              corekit2::BAG_OK);
    writeFile(dir.path() / "x/r001.talvolink", "");
    writeFile(dir.path() / "x/bare.talvo", "");
    const ExtensionSet set = resultSet();

    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/r000"), set).value, dir.wide(L"x/r000/R000.TALVO"));
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/nomarker"), set).value, L"");
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/r000/R000.TALVO"), set).value,
              dir.wide(L"x/r000/R000.TALVO"));
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/r001"), set).value, dir.wide(L"x/r001.talvolink"));
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/r001.talvolink"), set).value,
              dir.wide(L"x/r001.talvolink"));
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/missing"), set).value, L"");
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/r000/R000.TALVO"), makeExtensionSet({L".other"})).value,
              L"");

    // In a folder scan a marker lying in the scanned folder belongs to the folder's owner.
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/bare.talvo"), set, true).value, L"");
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/bare.talvo"), set, false).value,
              dir.wide(L"x/bare.talvo"));
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/r000"), set, true).value,
              dir.wide(L"x/r000/R000.TALVO"));
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/r001.talvolink"), set, true).value,
              dir.wide(L"x/r001.talvolink"));
}

}  // namespace
}  // namespace talvo2
