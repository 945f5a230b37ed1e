#include "node/marker_files.hpp"

#include <tuple>

#include "corekit2/bag_file.hpp"
#include "node/node_relations.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;
using test::writeFile;

// A path ending in the extension (any case) names the marker itself, any other path the directory,
// whose marker is then named after it. Lower-case marker paths and plain names: the creation tests.
TEST(MarkerFiles, SplitAndWriteNameTheMarkerAfterItsDirectory) {
    TempDir dir;
    for (const auto& [given, written] : {std::pair(L"R001/R001.TALVO", L"R001/R001.TALVO"),
                                         std::pair(L"結果/", L"結果/結果.talvo")}) {
        const auto [directory, marker] = splitMarkerPath(dir.wide(given), L".talvo");
        ASSERT_EQ(tryCreateDirectory(directory), OK) << given;
        EXPECT_EQ(writeMarkerFile(directory, marker, {}), OK) << given;
        EXPECT_TRUE(fs::is_regular_file(dir.path() / test::utf8Path(written))) << given;
    }
    EXPECT_EQ(writeMarkerFile(dir.wide(L"missing"), L".talvo", {}), OperationFailed);
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
    // The empty legacy extension is left out of the set: no extension makes no marker.
    const ExtensionSet set =
        makeExtensionSet({getResultExtension(false), getResultExtension(true)});
    EXPECT_TRUE(hasExtensionIn(set, L".TALVO") && isLinkExtensionOf(set, L".TalvoLink"));
    EXPECT_FALSE(hasExtensionIn(set, L"") || hasExtensionIn(set, L".talvoproj") ||
                 isLinkExtensionOf(set, L".talvo") || isLinkExtensionOf(set, L"link"));
    for (const wchar_t* link : {L"p/r000.talvolink", L"p/r000.TALVOPROJLINK", L"p/r000.abcdlink"})
        EXPECT_TRUE(isLinkFilePath(link)) << link;
    // Too short to be a node extension followed by "link".
    for (const wchar_t* other : {L"p/r000.link", L"p/r000.abclink", L"p/r000.talvo"})
        EXPECT_FALSE(isLinkFilePath(other)) << other;

    TempDir dir;
    fs::create_directories(dir.path() / "x/r000");
    fs::create_directories(dir.path() / "x/nomarker");
    writeFile(dir.path() / "x/nomarker/notes.txt", "");
    ASSERT_EQ(corekit2::save_variant_bag({}, dir.wide(L"x/r000/R000.TALVO").c_str()),
              corekit2::BAG_OK);
    writeFile(dir.path() / "x/r001.talvolink", "");
    writeFile(dir.path() / "x/bare.talvo", "");
    // {path, folder scan, marker found}. In a folder scan a marker lying in the scanned folder
    // belongs to the folder's owner.
    for (const auto& [path, scan, found] :
         {std::make_tuple(L"x/r000", false, L"x/r000/R000.TALVO"),
          std::make_tuple(L"x/r000", true, L"x/r000/R000.TALVO"),
          std::make_tuple(L"x/r000/R000.TALVO", false, L"x/r000/R000.TALVO"),
          std::make_tuple(L"x/nomarker", false, L""), std::make_tuple(L"x/missing", false, L""),
          std::make_tuple(L"x/r001", false, L"x/r001.talvolink"),
          std::make_tuple(L"x/r001.talvolink", false, L"x/r001.talvolink"),
          std::make_tuple(L"x/r001.talvolink", true, L"x/r001.talvolink"),
          std::make_tuple(L"x/bare.talvo", false, L"x/bare.talvo"),
          std::make_tuple(L"x/bare.talvo", true, L"")}) {
        const std::wstring expected = *found ? dir.wide(found) : L"";
        EXPECT_EQ(locateMarkerFile(dir.wide(path), set, scan).value, expected)
            << path << (scan ? L" in a scan" : L"");
    }
    EXPECT_EQ(locateMarkerFile(dir.wide(L"x/r000/R000.TALVO"), makeExtensionSet({L".other"})).value,
              L"");
}

}  // namespace
}  // namespace talvo2
