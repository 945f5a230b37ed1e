#include "node/marker_files.hpp"

#include <tuple>

#include "node/node_relations.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

TEST(MarkerFiles, CreatingDirectoriesGivesPreciseErrors) {
    test::TempDir dir;
    test::writeFile(dir.path() / "file", "x");
    std::vector<error_t> codes;  // a/b/c made, made again, a file there, a file above
    for (const wchar_t* path : {L"a/b/c", L"a/b/c", L"file", L"file/below"})
        codes.push_back(tryCreateDirectory(dir.wide(path)));
    EXPECT_EQ(codes, (std::vector<error_t>{OK, AlreadyExists, AlreadyExists, OperationFailed}));

    fs::create_directory(dir.path() / "locked");
    fs::permissions(dir.path() / "locked", static_cast<fs::perms>(0705));  // others cannot write
    const int status = test::runUnprivileged([&] {
        EXPECT_EQ(tryCreateDirectory(dir.wide(L"locked")), InsufficientPermissions);
        EXPECT_EQ(tryCreateDirectory(dir.wide(L"locked/new")), InsufficientPermissions);
        EXPECT_EQ(tryCreateDirectory(dir.wide(L"free")), OK);
    });
    EXPECT_TRUE(status == 0 || status == -1) << status;  // -1: cannot drop root here
    EXPECT_FALSE(fs::exists(dir.path() / "locked/new"));
}

// A path ending in the extension (any case) names the marker, any other the directory it names.
TEST(MarkerFiles, WrittenMarkersAndLinksAreLocatedButScansSkipBareMarkers) {
    test::TempDir dir;
    for (const wchar_t* given : {L"x/r000/R000.TALVO", L"x/結果/"}) {
        const auto [directory, marker] = splitMarkerPath(dir.wide(given), L".talvo");
        ASSERT_EQ(tryCreateDirectory(directory), OK) << given;
        EXPECT_EQ(writeMarkerFile(directory, marker, {}), OK) << given;
    }
    EXPECT_EQ(writeMarkerFile(dir.wide(L"missing"), L".talvo", {}), OperationFailed);
    test::writeFile(dir.path() / "x/notes.txt", "");  // x holds no marker, only nodes
    test::writeFile(dir.path() / "r001.talvolink", "");
    test::writeFile(dir.path() / "bare.talvo", "");
    const ExtensionSet set = resultExtensionSet();  // without the empty legacy extension
    // {path, marker found, marker found in a folder scan, where bare markers are the owner's}
    for (const auto& [path, found, inScan] :
         {std::make_tuple(L"x/r000", L"x/r000/R000.TALVO", L"x/r000/R000.TALVO"),
          std::make_tuple(L"x/r000/R000.TALVO", L"x/r000/R000.TALVO", L""),
          std::make_tuple(L"x/結果", L"x/結果/結果.talvo", L"x/結果/結果.talvo"),
          std::make_tuple(L"x", L"", L""), std::make_tuple(L"x/notes.txt", L"", L""),
          std::make_tuple(L"x/missing", L"", L""),
          std::make_tuple(L"r001", L"r001.talvolink", L"r001.talvolink"),
          std::make_tuple(L"r001.talvolink", L"r001.talvolink", L"r001.talvolink"),
          std::make_tuple(L"bare.talvo", L"bare.talvo", L"")})
        for (const bool scan : {false, true})
            EXPECT_EQ(test::utf8Path(locateMarkerFile(dir.wide(path), set, scan).value)
                          .lexically_relative(dir.path()),
                      test::utf8Path(scan ? inScan : found))
                << path << (scan ? L" in a scan" : L"");

    // A link extension is a node extension followed by "link"; anything shorter is none.
    std::string answers;  // one digit per answer, in order
    for (const bool answer :
         {hasExtensionIn(set, L".TALVO"), isLinkExtensionOf(set, L".TalvoLink"),
          isLinkFilePath(L"p/r000.talvolink"), isLinkFilePath(L"p/r000.TALVOPROJLINK"),
          isLinkFilePath(L"p/r000.abcdlink"), hasExtensionIn(set, L""),
          hasExtensionIn(set, L".talvoproj"), isLinkExtensionOf(set, L".talvo"),
          isLinkExtensionOf(set, L"link"), isLinkFilePath(L"p/r000.abclink"),
          isLinkFilePath(L"p/r000.talvo")})
        answers += answer ? '1' : '0';
    EXPECT_EQ(answers, "11111000000");
}

}  // namespace
}  // namespace talvo2
