#include <clocale>
#include <set>
#include <thread>

#include "frame/wide_path.hpp"
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

// The names are formed at the first read, in a fresh process here: racing threads agree.
TEST(Extensions, ThreadsRacingForTheFirstReadAgree) {
    EXPECT_EQ(runInChild([] {
                  std::vector<const wchar_t*> seen(8, nullptr);
                  std::vector<std::thread> threads;
                  for (std::size_t i = 0; i < seen.size(); ++i)
                      threads.emplace_back([&seen, i] { seen[i] = getFlagLockExtension(); });
                  for (auto& thread : threads) thread.join();
                  for (const wchar_t* text : seen) EXPECT_EQ(text, seen[0]);
                  EXPECT_STREQ(seen[0], L".dflgtalvo");
              }),
              0);
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

// Names reach the disk as UTF-8 and come back unchanged however the process locale is set
// (collectors run under whatever locale the batch system gives them), and numbering collector
// data directories works below them. Only the device names, exactly, are reserved.
TEST(DirectoryNames, ReservedAndNonAsciiNamesUnderAnyLocale) {
    std::set<std::wstring> names = {L"r\u00e9sultats", L"\u7d50\u679c", L"r000 \U0001F600",
                                    L"LPT10",          L"lpt1",         L"Con",
                                    L"CON.txt",        L"CON ",         L" CON",
                                    L"COM0",           L"COM",          L"r000"};
    std::set<std::wstring> reserved = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (int n = 1; n <= 9; ++n) {
        reserved.insert(L"COM" + std::to_wstring(n));
        reserved.insert(L"LPT" + std::to_wstring(n));
    }
    names.insert(reserved.begin(), reserved.end());
    EXPECT_FALSE(ResultDirectoryManager::isReservedDirectoryName(L""));
    EXPECT_FALSE(ResultDirectoryManager::isReservedDirectoryName(nullptr));
    for (const char* locale : {"C", "C.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr);
        TempDir dir;
        for (const std::wstring& name : names) {
            SCOPED_TRACE(test::utf8Path(name).string() + " in " + locale);
            EXPECT_EQ(ResultDirectoryManager::isReservedDirectoryName(name.c_str()),
                      reserved.count(name) == 1);
            const fs::path path = toFsPath(dir.wide(name));
            ASSERT_TRUE(fs::create_directory(path));
            EXPECT_EQ(path.filename().string(), test::utf8Path(name).string());
            EXPECT_EQ(toWide(path), dir.wide(name));
            fs::create_directory(path / "data.0");
            EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(dir.wide(name)), L"data.1");
        }
        std::set<std::wstring> listed;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir.path()))
            listed.insert(toWide(entry.path().filename()));
        EXPECT_EQ(listed, names);
    }
    std::setlocale(LC_ALL, "C");
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

}  // namespace
}  // namespace talvo2
