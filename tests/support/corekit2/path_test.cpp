#include <gtest/gtest.h>

#include <set>

#include "corekit2/path.hpp"
#include "util/test_util.hpp"

namespace fs = boost::filesystem;
using corekit2::path_t;
using talvo2::test::TempDir;
using talvo2::test::writeFile;

namespace {

std::set<std::wstring> found(const std::wstring& directory, const wchar_t* pattern,
                             bool recursive) {
    std::set<std::wstring> out;
    for (const path_t& path : corekit2::find_files(directory, pattern, recursive))
        out.insert(path.as_string());
    return out;
}

}  // namespace

TEST(PathTest, ElementsAndPatterns) {
    EXPECT_EQ(path_t(L"/a/").append(L"/b").as_string(), L"/a/b");
    EXPECT_EQ(path_t(L"a").append(L"b/c").append(L"").as_string(), L"a/b/c");
    EXPECT_EQ(path_t().append(L"x").as_string(), L"x");
    EXPECT_EQ(path_t(L"/a/b.txt").get_leaf(), L"b.txt");
    EXPECT_EQ(path_t(L"/a/").get_leaf(), L"");
    EXPECT_EQ(path_t(L"/").get_leaf(), L"/");
    EXPECT_EQ(path_t(L"/a/b").get_branch(), path_t(L"/a"));
    EXPECT_EQ(path_t(L"/a").get_branch(), path_t(L"/"));
    EXPECT_TRUE(path_t(L"name").get_branch().is_empty());

    const path_t log(L"/dir.txt/run.log");
    for (const wchar_t* pattern : {L".log", L"*.log", L"r?n.*", L"*", L"", L"*u*.*g"})
        EXPECT_TRUE(log.match(pattern)) << pattern;
    for (const wchar_t* pattern : {L".txt", L"*.txt*", L"R*", L"run.lo", L"?run.log", L".og"})
        EXPECT_FALSE(log.match(pattern)) << pattern;
    EXPECT_FALSE(path_t(L"a.log.bak").match(L".log"));
    EXPECT_FALSE(path_t(L"aXbYcd").match(L"a*b*c"));
}

TEST(PathTest, ExistenceAndWriteAccess) {
    TempDir dir;
    writeFile(dir.path() / "file", "x");
    EXPECT_TRUE(path_t::is_directory(dir.wide()));
    EXPECT_TRUE(path_t::exists(dir.wide(L"file")));
    EXPECT_FALSE(path_t::is_directory(dir.wide(L"file")));
    EXPECT_FALSE(path_t::exists(dir.wide(L"missing")));

    bool readOnly = true, failed = true;
    EXPECT_TRUE(path_t::readonly(dir.wide(), readOnly, failed, 255));
    EXPECT_FALSE(readOnly || failed);
    EXPECT_FALSE(path_t::readonly(dir.wide(L"missing"), readOnly, failed, 255));
    EXPECT_TRUE(failed);
    EXPECT_FALSE(path_t::readonly(dir.wide(L"file"), readOnly, failed, 255));
    EXPECT_TRUE(failed);

    const path_t locked(dir.wide(L"locked"));
    ASSERT_TRUE(corekit2::create_directory(locked));
    EXPECT_FALSE(corekit2::create_directory(locked));
    fs::permissions(dir.path() / "locked", fs::perms::owner_all | fs::perms::others_exe);
    const int status = talvo2::test::runUnprivileged([&] {
        bool childReadOnly = false, childFailed = true;
        EXPECT_TRUE(path_t::readonly(locked, childReadOnly, childFailed, 255));
        EXPECT_TRUE(childReadOnly);
        EXPECT_FALSE(childFailed);
    });
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

TEST(PathTest, FindAndRemoveNeverFollowSymbolicLinks) {
    TempDir dir;
    const fs::path tree = dir.path() / "tree";
    fs::create_directories(tree / "sub" / "deeper");
    fs::create_directories(dir.path() / "outside");
    for (const char* file : {"a.log", "b.txt", "sub/c.log", "sub/deeper/d.log", "../outside/e.log"})
        writeFile(tree / file, "x");
    fs::create_directory_symlink(dir.path() / "outside", tree / "link");

    const std::wstring base = dir.wide(L"tree");
    EXPECT_EQ(found(base, L".log", false), std::set<std::wstring>{base + L"/a.log"});
    EXPECT_EQ(found(base, L"", false),
              (std::set<std::wstring>{base + L"/a.log", base + L"/b.txt"}));
    EXPECT_EQ(found(base, L"*.log", true),
              (std::set<std::wstring>{base + L"/a.log", base + L"/sub/c.log",
                                      base + L"/sub/deeper/d.log"}));
    EXPECT_TRUE(found(dir.wide(L"missing"), L"*", true).empty());

    EXPECT_FALSE(corekit2::remove_directory(base + L"/sub", false));
    EXPECT_FALSE(corekit2::remove_directory(base + L"/link", true));
    EXPECT_TRUE(corekit2::remove_file(base + L"/b.txt"));
    EXPECT_FALSE(corekit2::remove_file(base + L"/b.txt"));
    EXPECT_TRUE(corekit2::remove_directory(base, true));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_TRUE(fs::exists(dir.path() / "outside" / "e.log"));
}

TEST(PathTest, NonAsciiNamesRoundTripInTheCLocale) {
    TempDir dir;
    const std::wstring name = L"r\u00e9sultats-\u7d50\u679c-\U0001F600";
    path_t created(dir.wide());
    created.append(name);
    ASSERT_TRUE(corekit2::create_directory(created));
    const fs::path onDisk = dir.path() / talvo2::test::utf8Path(name);  // UTF-8 whatever the locale
    ASSERT_TRUE(fs::is_directory(onDisk));
    writeFile(onDisk / talvo2::test::utf8Path(L"\u00e9t\u00e9.log"), "x");

    const std::vector<path_t> files = corekit2::find_files(dir.wide(), L"*.log", true);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].get_leaf(), L"\u00e9t\u00e9.log");
    EXPECT_EQ(files[0].get_branch(), created);
    EXPECT_TRUE(path_t::exists(files[0]));
    EXPECT_TRUE(corekit2::remove_directory(created, true));
    EXPECT_FALSE(fs::exists(onDisk));
}
