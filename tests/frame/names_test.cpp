#include <clocale>
#include <set>
#include <thread>

#include "frame/wide_path.hpp"
#include "propstore2/product.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using propstore2::IProductLocations;

// Every extension, the legacy ones (no older product's files are recognised) last.
std::wstring extensions() {
    std::wstring all;
    for (const wchar_t* text :
         {getResultExtension(false), getProjectExtension(false), getExperimentExtension(),
          getPackedExperimentExtension(), getFlagLockExtension(), getFlagInfoExtension(),
          getResultExtension(true), getProjectExtension(true)})
        all += std::wstring(text) + L"|";
    return all;
}

// The names are formed at the first read that finds a product, once: racing threads agree. The
// child must come from a process that has not read them yet, so this case runs first.
TEST(Extensions, EmptyUntilAProductIsInstalledThenFixedForTheProcess) {
    EXPECT_EQ(test::runInChild([] {
                  IProductLocations::install(nullptr);
                  EXPECT_EQ(extensions(), L"||||||||");
                  IProductLocations::install(
                      IProductLocations::create(L"abc", L"abcpack", L"Abc", {2, 0, 0, 7}));
                  std::vector<const wchar_t*> seen(8, nullptr);
                  std::vector<std::thread> threads;
                  for (std::size_t i = 0; i < seen.size(); ++i)
                      threads.emplace_back([&seen, i] { seen[i] = getResultExtension(false); });
                  for (auto& thread : threads) thread.join();
                  EXPECT_EQ(seen, std::vector<const wchar_t*>(8, seen[0]));
                  const std::wstring abc = L".abc|.abcproj|.abcexp|.abcpack|.dflgabc|.infoabc|||";
                  EXPECT_EQ(extensions(), abc);
                  // Once formed the names stay, so files already named keep their meaning.
                  IProductLocations::install(IProductLocations::builtIn());
                  EXPECT_EQ(getResultExtension(false), seen[0]);
                  EXPECT_EQ(extensions(), abc);
              }),
              0);
}

TEST(Extensions, FormedFromTheInstalledProduct) {
    EXPECT_EQ(extensions(), L".talvo|.talvoproj|.talvoexp|.talvopack|.dflgtalvo|.infotalvo|||");
    EXPECT_STREQ(ResultDirectoryManager::getDefaultResultDirectoryName(), L"r@@@");
}

// Names go to disk as UTF-8 and back under any locale; only device names are reserved.
TEST(DirectoryNames, ReservedAndNonAsciiNamesUnderAnyLocale) {
    std::set<std::wstring> reserved = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t* port : {L"COM", L"LPT"})
        for (int n = 1; n <= 9; ++n) reserved.insert(port + std::to_wstring(n));
    std::set<std::wstring> names = {L"r\u00e9sultats", L"\u7d50\u679c", L"r000 \U0001F600",
                                    L"LPT10",          L"lpt1",         L"Con",
                                    L"CON.txt",        L"CON ",         L" CON",
                                    L"COM0",           L"COM",          L"r000"};
    names.insert(reserved.begin(), reserved.end());
    for (const char* locale : {"C", "C.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr);
        test::TempDir dir;
        for (const std::wstring& name : names) {
            SCOPED_TRACE(test::utf8Path(name).string() + " in " + locale);
            EXPECT_EQ(ResultDirectoryManager::isReservedDirectoryName(name.c_str()),
                      reserved.count(name) == 1);
            const fs::path path = toFsPath(dir.wide(name));
            fs::create_directories(path / "data.0");
            EXPECT_EQ(path.filename().string(), test::utf8Path(name).string());
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
    test::TempDir dir;
    const std::wstring base = dir.wide();
    EXPECT_EQ(IResultDirectory::generateCollectorDataDirName(base), L"data.0");
    EXPECT_TRUE(fs::is_empty(dir.path())) << "only probes";

    // The first free number, not zero-padded; a file or a dangling link occupies a name too.
    for (int n : {0, 2, 3, 4, 5, 6, 7, 8, 9, 12})
        fs::create_directory(dir.path() / ("data." + std::to_string(n)));
    test::writeFile(dir.path() / "data.1", "");
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
