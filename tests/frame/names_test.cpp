#include <thread>

#include "propstore2/product.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using propstore2::IProductLocations;
using test::runInChild;
using test::TempDir;

TEST(Extensions, FormedFromTheInstalledProduct) {
    EXPECT_STREQ(getResultExtension(false), L".talvo");
    EXPECT_STREQ(getProjectExtension(false), L".talvoproj");
    EXPECT_STREQ(getExperimentExtension(), L".talvoexp");
    EXPECT_STREQ(getPackedExperimentExtension(), L".talvopack");
    EXPECT_STREQ(getFlagLockExtension(), L".dflgtalvo");
    EXPECT_STREQ(getFlagInfoExtension(), L".infotalvo");
    EXPECT_STREQ(getCollectorDataDirectoryPrefix(), L"data.");
    EXPECT_STREQ(ResultDirectoryManager::getDefaultResultDirectoryName(), L"r@@@");

    // No older product's files are recognised.
    EXPECT_STREQ(getResultExtension(true), L"");
    EXPECT_STREQ(getProjectExtension(true), L"");
    EXPECT_TRUE(isLegacyResultExtension(L""));
    EXPECT_TRUE(isLegacyProjectExtension(L""));
    EXPECT_FALSE(isLegacyResultExtension(getResultExtension(false)));
    EXPECT_FALSE(isLegacyProjectExtension(getProjectExtension(false)));
}

TEST(Extensions, EmptyUntilAProductIsInstalledThenFixedForTheProcess) {
    EXPECT_EQ(runInChild([] {
                  IProductLocations::install(nullptr);
                  EXPECT_STREQ(getResultExtension(false), L"");
                  EXPECT_STREQ(getFlagInfoExtension(), L"");
                  EXPECT_STREQ(getPackedExperimentExtension(), L"");

                  IProductLocations::install(
                      IProductLocations::create(L"abc", L"abcpack", L"Abc", {2, 0, 0, 7}));
                  const wchar_t* result = getResultExtension(false);
                  EXPECT_STREQ(result, L".abc");
                  EXPECT_STREQ(getProjectExtension(false), L".abcproj");
                  EXPECT_STREQ(getExperimentExtension(), L".abcexp");
                  EXPECT_STREQ(getPackedExperimentExtension(), L".abcpack");
                  EXPECT_STREQ(getFlagLockExtension(), L".dflgabc");
                  EXPECT_STREQ(getFlagInfoExtension(), L".infoabc");

                  // Once formed the names stay, so files already named keep their meaning.
                  IProductLocations::install(IProductLocations::builtIn());
                  EXPECT_EQ(getResultExtension(false), result);
                  EXPECT_STREQ(getResultExtension(false), L".abc");
              }),
              0);
}

TEST(Extensions, ThreadsRacingForTheFirstReadAgree) {
    EXPECT_EQ(runInChild([] {
                  std::vector<const wchar_t*> seen(8, nullptr);
                  std::vector<std::thread> threads;
                  for (std::size_t i = 0; i < seen.size(); ++i)
                      threads.emplace_back([&seen, i] { seen[i] = getFlagLockExtension(); });
                  for (auto& thread : threads) thread.join();
                  for (const wchar_t* text : seen) {
                      EXPECT_EQ(text, seen[0]);
                      EXPECT_STREQ(text, L".dflgtalvo");
                  }
              }),
              0);
}

TEST(ReservedNames, ExactlyTheDeviceNames) {
    for (const wchar_t* name :
         {L"CON",  L"PRN",  L"AUX",  L"NUL",  L"COM1", L"COM2", L"COM3", L"COM4",
          L"COM5", L"COM6", L"COM7", L"COM8", L"COM9", L"LPT1", L"LPT2", L"LPT3",
          L"LPT4", L"LPT5", L"LPT6", L"LPT7", L"LPT8", L"LPT9"})
        EXPECT_TRUE(ResultDirectoryManager::isReservedDirectoryName(name)) << name;
    for (const wchar_t* name :
         {L"LPT10", L"lpt1", L"Con", L"CON.txt", L"CON ", L" CON", L"COM0", L"COM", L"", L"r000"})
        EXPECT_FALSE(ResultDirectoryManager::isReservedDirectoryName(name)) << name;
    EXPECT_FALSE(ResultDirectoryManager::isReservedDirectoryName(nullptr));
}

TEST(CollectorDataDirName, FirstFreeNumberWithoutCreatingAnything) {
    TempDir dir;
    const std::wstring base = dir.wide();
    EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(base), L"data.0");
    EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(dir.wide(L"missing")), L"data.0");
    EXPECT_TRUE(fs::is_empty(dir.path())) << "only probes";

    fs::create_directory(dir.path() / "data.0");
    fs::create_directory(dir.path() / "data.2");
    EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(base), L"data.1");

    // Anything occupying the name counts, not only directories; numbers are not zero-padded.
    test::writeFile(dir.path() / "data.1", "");
    EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(base), L"data.3");
    for (int n = 3; n < 10; ++n) fs::create_directory(dir.path() / ("data." + std::to_string(n)));
    EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(base), L"data.10");
    // A dangling link still takes its name.
    fs::create_symlink("nowhere", dir.path() / "data.10");
    EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(base), L"data.11");

    // A name the file system cannot answer for ends the search: making it will tell.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_read);
    const int status = test::runUnprivileged(
        [&] { EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(base), L"data.0"); });
    fs::permissions(dir.path(), fs::perms::all_all);
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny searching";
    EXPECT_EQ(status, 0);
}

TEST(CollectorDataDirName, WorksBelowNonAsciiNamesInTheCLocale) {
    TempDir dir;
    for (const std::wstring name : {L"résultats", L"結果"}) {
        const fs::path result = dir.path() / test::utf8Path(name);
        fs::create_directory(result);
        fs::create_directory(result / "data.0");
        EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(dir.wide(name)), L"data.1");
    }
}

}  // namespace
}  // namespace talvo2
