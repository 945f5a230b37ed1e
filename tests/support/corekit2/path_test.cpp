#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <set>

#include "corekit2/host.hpp"
#include "corekit2/md5.hpp"
#include "corekit2/path.hpp"
#include "util/test_util.hpp"

namespace fs = boost::filesystem;
using namespace corekit2;
using namespace talvo2::test;

TEST(PathTest, ElementsAndPatterns) {
    EXPECT_EQ(path_t(L"/a/").append(L"/b").as_string(), L"/a/b");
    EXPECT_EQ(path_t(L"a").append(L"b/c").append(L"").as_string(), L"a/b/c");
    EXPECT_EQ(path_t().append(L"x").as_string(), L"x");
    std::wstring parts;  // leaf|branch of each path
    for (const path_t path : {L"/a/b.txt", L"/a/", L"/", L"/a", L"name"})
        parts += path.get_leaf() + L"|" + path.get_branch().as_string() + L" ";
    EXPECT_EQ(parts, L"b.txt|/a |/a /| a|/ name| ");
    // Only the leaf counts; a pattern that starts with a dot and has no wildcard is a suffix.
    const path_t log(L"/dir.txt/run.log");
    for (const wchar_t* pattern : {L".log", L"*.log", L"r?n.*", L"*", L"", L"*u*.*g", L"run.log*"})
        EXPECT_TRUE(log.match(pattern)) << pattern;
    for (const wchar_t* pattern : {L".txt", L"*.txt*", L"R*", L"run.lo", L"?run.log", L".lo"})
        EXPECT_FALSE(log.match(pattern)) << pattern;
}

// Non-ASCII names are made and found as UTF-8 whatever the locale (tests run in C).
TEST(PathTest, FilesAreCheckedFoundAndRemovedWithoutFollowingLinks) {
    TempDir dir;
    const fs::path tree = dir.path() / "tree";
    fs::create_directories(tree / "sub" / "deeper");
    fs::create_directories(dir.path() / "outside");
    for (const char* file : {"a.log", "b.txt", "sub/c.log", "sub/deeper/d.log", "../outside/e.log"})
        writeFile(tree / file, "x");
    fs::create_directory_symlink(dir.path() / "outside", tree / "link");
    const std::wstring base = dir.wide(L"tree"), name = L"r\u00e9sultats-\u7d50\u679c-\U0001F600";
    const std::wstring nonAscii = base + L"/" + name, leaf = L"/\u00e9t\u00e9.log";
    ASSERT_TRUE(create_directory(nonAscii));
    EXPECT_FALSE(create_directory(nonAscii));
    writeFile(tree / utf8Path(name + leaf), "x");
    EXPECT_EQ((std::vector<bool>{path_t::is_directory(base), path_t::exists(base + L"/a.log"),
                                 path_t::is_directory(base + L"/a.log"),
                                 path_t::exists(base + L"/missing")}),
              (std::vector<bool>{true, true, false, false}));
    // What readonly answers, then the flags it sets: read-only, failed.
    const auto access = [](const path_t& path) {
        bool readOnly = true, failed = true;
        const bool answer = path_t::readonly(path, readOnly, failed, 255);
        return std::to_string(answer) + std::to_string(readOnly) + std::to_string(failed);
    };
    EXPECT_EQ(access(base), "100");
    for (const std::wstring& notADirectory : {base + L"/missing", base + L"/a.log", std::wstring()})
        EXPECT_EQ(access(notADirectory), "001") << notADirectory;
    fs::permissions(tree / "sub", fs::perms::owner_all | fs::perms::others_exe);
    const int status = runUnprivileged([&] { EXPECT_EQ(access(base + L"/sub"), "110"); });

    const auto found = [](const std::wstring& directory, const wchar_t* pattern, bool recursive) {
        std::set<std::wstring> out;
        for (const path_t& path : find_files(directory, pattern, recursive))
            out.insert(path.as_string());
        return out;
    };

    EXPECT_EQ(found(base, L"", false),
              (std::set<std::wstring>{base + L"/a.log", base + L"/b.txt"}));
    EXPECT_EQ(found(base, L"*.log", true),
              (std::set<std::wstring>{base + L"/a.log", base + L"/sub/c.log",
                                      base + L"/sub/deeper/d.log", nonAscii + leaf}));
    EXPECT_TRUE(found(dir.wide(L"missing"), L"*", true).empty());
    // A directory with content goes only recursively; a link to one is no directory to remove.
    EXPECT_EQ((std::vector<bool>{remove_directory(base + L"/sub", false),
                                 remove_directory(base + L"/link", true),
                                 remove_file(base + L"/b.txt"), remove_file(base + L"/b.txt"),
                                 remove_directory(nonAscii, true), remove_directory(base, true)}),
              (std::vector<bool>{false, false, true, false, true, true}));
    EXPECT_TRUE(fs::exists(dir.path() / "outside" / "e.log"));
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

// Reading the digest leaves the state to go on; a file adds at most `limit` bytes.
TEST(Md5Test, KnownVectorsContinuedUpdatesAndFileLimits) {
    const wchar_t* const abc = L"900150983cd24fb0d6963f7d28e17f72";
    EXPECT_EQ(md5_t().get_digest_base16(), L"d41d8cd98f00b204e9800998ecf8427e");
    md5_t md5;
    EXPECT_TRUE(md5.update("a", 1));
    EXPECT_EQ(md5.get_digest_base16(), L"0cc175b9c0f1b6a831c399e269772661");
    EXPECT_TRUE(md5.update("bc", 2));
    EXPECT_EQ(md5.get_digest_base16(), abc);

    TempDir dir;
    std::string content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>(i * 7 % 251);
    writeFile(dir.path() / "file", content);
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(
        runInChild([&] {
            ::close(0);  // files open as descriptor 0, as with standard input closed
            for (const auto& [limit, size] : {std::pair{5000, 5000}, {0, 0}, {20000, 10000}}) {
                md5_t part, whole;
                EXPECT_TRUE(part.update_from_file(dir.wide(L"file"), limit));
                EXPECT_TRUE(whole.update(content.data(), size));
                EXPECT_EQ(part.get_digest_base16(), whole.get_digest_base16()) << limit;
            }
            // A failed read keeps the state; an open of a pipe without writer would block.
            for (const wchar_t* unreadable : {L"missing", L"", L"fifo"})
                EXPECT_FALSE(md5.update_from_file(dir.wide(unreadable), 4096)) << unreadable;
            EXPECT_EQ(md5.get_digest_base16(), abc);
        }),
        0);
}

// The environment is process-wide: change it only in a child.
TEST(HostTest, NameAndMpiRankComeFromTheSystemAndTheLauncher) {
    EXPECT_FALSE(get_fq_host_name().empty());
    EXPECT_EQ(runInChild([] {
                  const char* const variables[] = {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK",
                                                   "MV2_COMM_WORLD_RANK"};
                  for (const char* variable : variables) ::unsetenv(variable);
                  for (const char* variable : variables) {
                      for (const char* value : {"3", "abc", "-3", "1x", "", "99999999999"}) {
                          ::setenv(variable, value, 1);
                          const int rank = detectMPIRank();
                          EXPECT_TRUE(*value == '3' ? rank == 3 : rank < 0) << variable << value;
                      }
                      ::unsetenv(variable);
                  }
              }),
              0);
}
