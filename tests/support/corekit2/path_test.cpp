#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <set>

#include "corekit2/host.hpp"
#include "corekit2/md5.hpp"
#include "corekit2/path.hpp"
#include "util/test_util.hpp"

namespace fs = boost::filesystem;
using corekit2::md5_t;
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

std::wstring digestOf(const std::string& data) {
    md5_t md5;
    EXPECT_TRUE(md5.update(data.data(), data.size()));
    return md5.get_digest_base16();
}

}  // namespace

TEST(PathTest, ElementsAndPatterns) {
    EXPECT_EQ(path_t(L"/a/").append(L"/b").as_string(), L"/a/b");
    EXPECT_EQ(path_t(L"a").append(L"b/c").append(L"").as_string(), L"a/b/c");
    EXPECT_EQ(path_t().append(L"x").as_string(), L"x");
    const std::pair<const wchar_t*, const wchar_t*> leaves[] = {
        {L"/a/b.txt", L"b.txt"}, {L"/a/", L""}, {L"/", L"/"}};
    for (const auto& [path, leaf] : leaves) EXPECT_EQ(path_t(path).get_leaf(), leaf) << path;
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
    for (const wchar_t* notADirectory : {L"missing", L"file"}) {
        EXPECT_FALSE(path_t::readonly(dir.wide(notADirectory), readOnly, failed, 255));
        EXPECT_TRUE(failed);
    }

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
    // Non-ASCII names are made and found as UTF-8 whatever the locale (tests run in C).
    const std::wstring base = dir.wide(L"tree"), name = L"r\u00e9sultats-\u7d50\u679c-\U0001F600";
    const std::wstring nonAscii = base + L"/" + name, leaf = L"/\u00e9t\u00e9.log";
    ASSERT_TRUE(corekit2::create_directory(nonAscii));
    writeFile(tree / talvo2::test::utf8Path(name + leaf), "x");
    EXPECT_TRUE(path_t::exists(nonAscii + leaf));

    EXPECT_EQ(found(base, L".log", false), std::set<std::wstring>{base + L"/a.log"});
    EXPECT_EQ(found(base, L"", false),
              (std::set<std::wstring>{base + L"/a.log", base + L"/b.txt"}));
    EXPECT_EQ(found(base, L"*.log", true),
              (std::set<std::wstring>{base + L"/a.log", base + L"/sub/c.log",
                                      base + L"/sub/deeper/d.log", nonAscii + leaf}));
    EXPECT_TRUE(found(dir.wide(L"missing"), L"*", true).empty());

    EXPECT_FALSE(corekit2::remove_directory(base + L"/sub", false));
    EXPECT_FALSE(corekit2::remove_directory(base + L"/link", true));
    EXPECT_TRUE(corekit2::remove_file(base + L"/b.txt"));
    EXPECT_FALSE(corekit2::remove_file(base + L"/b.txt"));
    EXPECT_TRUE(corekit2::remove_directory(nonAscii, true));
    EXPECT_FALSE(fs::exists(tree / talvo2::test::utf8Path(name)));
    EXPECT_TRUE(corekit2::remove_directory(base, true));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_TRUE(fs::exists(dir.path() / "outside" / "e.log"));
}

TEST(Md5Test, KnownVectorsContinuedUpdatesAndFileLimits) {
    const wchar_t* const abc = L"900150983cd24fb0d6963f7d28e17f72";
    EXPECT_EQ(digestOf(""), L"d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digestOf("The quick brown fox jumps over the lazy dog"),
              L"9e107d9d372bb6826bd81d3542a419d6");
    md5_t md5;  // a digest may be read between updates
    EXPECT_TRUE(md5.update("a", 1));
    EXPECT_EQ(md5.get_digest_base16(), md5.get_digest_base16());
    EXPECT_TRUE(md5.update("bc", 2));
    EXPECT_EQ(md5.get_digest_base16(), abc);

    TempDir dir;
    std::string content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>(i * 7 % 251);
    writeFile(dir.path() / "long", content);
    writeFile(dir.path() / "short", content.substr(0, 1000));
    for (const auto& [file, limit, size] : {std::tuple{L"long", 4096, 4096},
                                            {L"long", 5000, 5000},
                                            {L"long", 0, 0},
                                            {L"short", 4096, 1000}}) {
        md5_t part;
        EXPECT_TRUE(part.update_from_file(dir.wide(file), limit));
        EXPECT_EQ(part.get_digest_base16(), digestOf(content.substr(0, size))) << limit;
    }
    // A failed read keeps what was added before; a named pipe without a writer would block a
    // plain open forever.
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    for (const wchar_t* unreadable : {L"missing", L"", L"fifo"})
        EXPECT_FALSE(md5.update_from_file(dir.wide(unreadable), 4096)) << unreadable;
    EXPECT_EQ(md5.get_digest_base16(), abc);
    // A process started with standard input closed gets descriptor 0 for the file.
    EXPECT_EQ(talvo2::test::runInChild([&] {
                  ::close(0);
                  md5_t closed;
                  EXPECT_TRUE(closed.update_from_file(dir.wide(L"short"), 4096));
                  EXPECT_EQ(closed.get_digest_base16(), digestOf(content.substr(0, 1000)));
              }),
              0);
}

TEST(HostTest, FullyQualifiedNameIsStable) {
    const std::wstring name = corekit2::get_fq_host_name();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(corekit2::get_fq_host_name(), name);
}

TEST(HostTest, MpiRankComesFromTheLauncherVariables) {
    // The environment is process-wide: change it only in a child.
    EXPECT_EQ(talvo2::test::runInChild([] {
                  const char* const variables[] = {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK",
                                                   "MV2_COMM_WORLD_RANK"};
                  for (const char* variable : variables) ::unsetenv(variable);
                  EXPECT_LT(corekit2::detectMPIRank(), 0);
                  for (const char* variable : variables) {
                      ::setenv(variable, "3", 1);
                      EXPECT_EQ(corekit2::detectMPIRank(), 3) << variable;
                      for (const char* garbage : {"abc", "-3", "1x", "", "99999999999"}) {
                          ::setenv(variable, garbage, 1);
                          EXPECT_LT(corekit2::detectMPIRank(), 0) << variable << "=" << garbage;
                      }
                      ::unsetenv(variable);
                  }
              }),
              0);
}
