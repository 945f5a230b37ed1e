#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "frame/boundary.hpp"
#include "notify2/ambient_progress.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::createResult;
using test::lastError;
using test::readFile;
using test::TempDir;
using test::utf8Path;
using test::writeFile;
using Paths = std::vector<std::wstring>;

// Drains the iterator into paths less `prefix`, checking that the end is sticky and the count.
Paths drain(const sptr_t<IPathIterator>& it, const std::wstring& prefix) {
    Paths out;
    if (!it) return out;
    for (const wchar_t* path = it->next(); path; path = it->next())
        out.emplace_back(std::wstring(path).rfind(prefix, 0) == 0 ? path + prefix.size() : path);
    EXPECT_EQ(it->next(), nullptr);
    EXPECT_EQ(it->getCount(), out.size());
    return out;
}

// Every entry below `root` by relative path: "dir/", or "file=content" (a link reads as a file).
std::set<std::string> treeOf(const fs::path& root) {
    std::set<std::string> tree;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        tree.insert(it->path().lexically_relative(root).string() +
                    (fs::is_directory(it->symlink_status()) ? "/" : "=" + readFile(it->path())));
    return tree;
}

// Both marks are read when the node is made; afterwards it answers from what it recorded.
TEST(ResultDirectory, FinalizedAndInvalidMarksAreReadWhenTheNodeIsMade) {
    TempDir dir;
    const fs::path norun = dir.path() / "done/.norun";
    ASSERT_TRUE(createResult(dir.wide(L"done")));  // gone again: the next open reads the mark
    writeFile(norun, "");
    const auto done = ResultDirectoryManager::open(dir.wide(L"done").c_str(), false, nullptr);
    ASSERT_TRUE(done);
    const auto state = [&] { return std::pair{done->isFinalized(), fs::exists(norun)}; };
    EXPECT_EQ(state(), std::pair(true, true));
    EXPECT_TRUE(done->setFinalized(false));
    EXPECT_EQ(state(), std::pair(false, false));
    writeFile(norun, "");  // an unchanged state leaves the disk alone
    EXPECT_TRUE(done->setFinalized(false));
    EXPECT_EQ(state(), std::pair(false, true));
    fs::remove(norun);
    EXPECT_TRUE(done->setFinalized(true));
    EXPECT_EQ(state(), std::pair(true, true));

    sptr_t<IResultDirectory> result = createResult(dir.wide(L"r000"));
    ASSERT_TRUE(result);
    // The name aside is taken: nothing changes, no mark is left behind.
    fs::create_directory(dir.path() / "r000-bad");
    result->setInvalid();
    EXPECT_EQ(lastError(), AlreadyExists);
    EXPECT_FALSE(fs::exists(dir.path() / "r000/.bad"));
    fs::remove(dir.path() / "r000-bad");
    result->setInvalid();
    // Moved aside with its mark, freeing the name; only a node made after this one reads it.
    EXPECT_EQ(std::make_tuple(fs::exists(dir.path() / "r000"),
                              fs::is_regular_file(dir.path() / "r000-bad/r000-bad.talvo"),
                              std::wstring(result->getPath()), result->isValid()),
              std::make_tuple(false, true, dir.wide(L"r000-bad"), true));
    result.reset();
    EXPECT_FALSE(
        ResultDirectoryManager::open(dir.wide(L"r000-bad").c_str(), false, nullptr)->isValid());
}

TEST(ResultDirectory, ANodeAppearsWithItsMarkerOrNotAtAll) {
    TempDir dir;
    // Near 255 bytes the marker's name stops fitting first: a whole result, or nothing at all.
    for (std::size_t length = 248; length <= 256; ++length) {
        SCOPED_TRACE(length);
        const auto result = createResult(dir.wide(L"deep/" + std::wstring(length, L'n')));
        EXPECT_EQ(bool(result), length + 6 <= 255);
        EXPECT_EQ(fs::exists(dir.path() / "deep" / std::string(length, 'n')), bool(result));
        EXPECT_TRUE(result || !fs::exists(dir.path() / "deep")) << "no folder left";
        fs::remove_all(dir.path() / "deep");
    }
    // A temporary file left by a writer that died is taken over by the next save of its file.
    sptr_t<IResultDirectory> result = createResult(dir.wide(L"r000"));
    ASSERT_TRUE(result);
    const fs::path marker = dir.path() / "r000/r000.talvo";
    writeFile(dir.path() / "r000/.r000.talvo.talvo-tmp", "half");
    result->setCollectorCommand(L"again");
    ASSERT_TRUE(result->save());
    EXPECT_EQ(treeOf(dir.path() / "r000").size(), 1u);
    // Work in progress is no node: a staging directory already holding its marker is not found.
    fs::create_directory(dir.path() / ".talvo-stage-0123456789abcdef");
    fs::copy_file(marker, dir.path() / ".talvo-stage-0123456789abcdef/r009.talvo");
    const auto group = INodeGroup::open(dir.wide().c_str());
    ASSERT_TRUE(group);
    EXPECT_EQ(drain(group->getMemberPaths(), dir.wide()), Paths{L"/r000/r000.talvo"});

    // Root saving a user's marker must not take it from them, nor open it to others.
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    ASSERT_EQ(::chown(marker.c_str(), test::kUnprivilegedId, 0), 0);  // theirs, root's group
    ASSERT_EQ(::chmod(marker.c_str(), 0600), 0);
    result->setCollectorCommand(L"once more");
    ASSERT_TRUE(result->save());
    struct stat st {};
    ASSERT_EQ(::stat(marker.c_str(), &st), 0);
    EXPECT_EQ(std::make_tuple(st.st_uid, st.st_gid, st.st_mode & 07777),
              std::make_tuple(test::kUnprivilegedId, 0u, 0600u));
    EXPECT_NE(readFile(marker).find("once more"), std::string::npos);
}

// data.N directories in path order, the files directly in them, subdirectories kept inside.
TEST(ResultDirectory, DataDirectoriesFilesAndSubdirectoriesStayInside) {
    TempDir dir;
    sptr_t<IResultDirectory> result = createResult(dir.wide(L"\u7d50\u679c"));
    ASSERT_TRUE(result);
    const std::wstring base = dir.wide(L"\u7d50\u679c/");
    const fs::path root = utf8Path(base);
    for (const char* name : {"data.0", "data.2", "data.10", "Data.1", "data1", "data.2/dir.txt"})
        fs::create_directory(root / name);
    fs::create_directory(dir.path() / "outside");
    writeFile(root / "data.4", "");  // a file holds its name too
    // A link to a directory is one (scratch storage); a dangling one holds its name, made nowhere.
    fs::create_symlink(dir.path() / "gone", root / "data.5");
    fs::create_symlink(dir.path() / "outside", root / "data.7");
    for (const wchar_t* made : {L"data.1", L"data.3", L"data.6"})  // listed as directories below
        EXPECT_STREQ(result->createCollectorDataDir(), (base + made).c_str());
    EXPECT_FALSE(fs::exists(dir.path() / "gone"));
    EXPECT_EQ(
        drain(result->getCollectorDataDirectories(), base),
        (Paths{L"data.0", L"data.1", L"data.10", L"data.2", L"data.3", L"data.6", L"data.7"}));

    fs::create_directory(root / "data.0/sub");
    for (const char* file : {"data.0/z.txt", "data.0/b.log", "data.0/sub/deep.txt", "data.1/a.txt",
                             "data.1/a.txt.bak", "data.1/\u00e9.txt", "Data.1/c.txt", "top.txt"})
        writeFile(root / file, "x");
    writeFile(dir.path() / "outside/l.txt", "x");
    EXPECT_EQ(drain(result->getResultFiles(L"*.txt"), base),
              (Paths{L"data.0/z.txt", L"data.1/a.txt", L"data.1/\u00e9.txt", L"data.7/l.txt"}));
    EXPECT_EQ(drain(result->getResultFiles(nullptr), base),
              (Paths{L"data.0/b.log", L"data.0/z.txt", L"data.1/a.txt", L"data.1/a.txt.bak",
                     L"data.1/\u00e9.txt", L"data.7/l.txt"}));

    // Unwritable: not even an existing directory is given; only getSubdir resets the error.
    sptr_t<IResultDirectory> shared = createResult(dir.wide(L"shared"));
    ASSERT_TRUE(shared);
    fs::permissions(dir.path() / "shared", fs::perms::all_all);
    for (const char* name : {"data.0", "log"}) fs::create_directory(dir.path() / "shared" / name);
    const auto before = test::snapshot(dir.path());
    const int status = test::runUnprivileged([&] {
        LastError(NotFound).store();
        EXPECT_EQ(result->createCollectorDataDir(), nullptr);
        EXPECT_EQ(lastError(), NotFound);
        EXPECT_EQ(result->getSubdir(STANDARD_DIR_CONFIG), nullptr);
        EXPECT_EQ(lastError(), OK);
        EXPECT_EQ(shared->createCollectorDataDir(), nullptr);
        EXPECT_EQ(shared->getSubdir(STANDARD_DIR_LOG), nullptr);
    });
    EXPECT_TRUE(status == 0 || status == -1);  // -1: cannot drop root, so writes are not denied
    EXPECT_EQ(test::snapshot(dir.path()), before);

    EXPECT_EQ(result->getSubdir(static_cast<standard_dir_t>(7)), nullptr);
    const auto made = [&](auto kind, const std::wstring& name) {
        EXPECT_STREQ(result->getSubdir(kind), (base + name).c_str());
        EXPECT_TRUE(fs::is_directory(utf8Path(base + name)));
        EXPECT_STREQ(result->getSubdir(kind), (base + name).c_str());  // found the second time
    };
    made(STANDARD_DIR_LOG, L"log");
    made(STANDARD_DIR_SOURCE, L"source");
    made(STANDARD_DIR_CONFIG, L"config");
    made(L"custom/\u30ed\u30b0", L"custom/\u30ed\u30b0");
    // A plain file is no directory (error reset); names leaving the result are refused.
    writeFile(root / "plain", "keep");
    for (const auto& [name, error] : {std::pair{std::wstring(L"plain"), false},
                                      {L"custom/../../up", true},
                                      {dir.wide(L"abs"), true}}) {
        EXPECT_EQ(result->getSubdir(name.c_str()), nullptr);
        EXPECT_EQ(lastError() != OK, error);
    }
    EXPECT_EQ(readFile(root / "plain"), "keep");
    EXPECT_FALSE(fs::exists(dir.path() / "up") || fs::exists(dir.path() / "abs"));
}

struct CountingProgress final : notify2::IProgress {
    void begin(const wchar_t*, double amount) override { total = amount; }
    void advance(double amount) override { done += amount; }
    void setItem(const wchar_t*) override { ++items; }
    void end() override { ++ends; }
    bool isCanceled() override { return false; }
    int items = 0, ends = 0;
    double total = -1, done = 0;
};

TEST(ExportTest, CopiesIntoANewResultOrLeavesNothing) {
    TempDir dir;
    const sptr_t<IResultDirectory> source = createResult(dir.wide(L"r003"));
    ASSERT_TRUE(source && createResult(dir.wide(L"taken")));
    const fs::path root = dir.path() / "r003";
    for (const char* file :
         {"data.0/trace.bin", "data.0/deep/part", "data.1/trace.bin", "collector.log",
          "\u7d50\u679c/r\u00e9sultats.txt", "../outside/secret"}) {
        fs::create_directories((root / file).parent_path());
        writeFile(root / file, file);  // each file holds its name
    }
    fs::create_symlink(dir.path() / "outside", root / "escape");
    source->setCollectorCommand(L"collect ./app");  // in memory only: export takes it as it is
    const std::set<std::string> before = treeOf(root), all = treeOf(dir.path());

    // Taken, or inside the source: refused before anything is copied (bad ones: bad_input_test).
    for (const auto& [target, error] :
         {std::pair{L"taken", AlreadyExists}, {L"r003/data.0/r@@@", ParameterError}}) {
        EXPECT_FALSE(source->exportTo(dir.wide(target).c_str(), nullptr));
        EXPECT_EQ(lastError(), error) << target;
    }
    EXPECT_EQ(treeOf(dir.path()), all);

    CountingProgress progress;
    const sptr_t<IResultDirectory> copy = [&] {
        const notify2::ProgressScope scope(&progress);
        return source->exportTo(dir.wide(L"y/r@@@").c_str(), L"");
    }();
    ASSERT_TRUE(copy) << lastError();
    // Every regular file but the marker, once: 82 bytes.
    EXPECT_EQ(std::make_tuple(progress.items, progress.done, progress.ends,
                              progress.total >= progress.done),
              std::make_tuple(5, 82.0, 1, true));
    EXPECT_EQ(std::wstring(copy->getMarkerFilePath()), dir.wide(L"y/r000/r000.talvo"));
    EXPECT_STREQ(copy->getCollectorCommand(), L"collect ./app");
    EXPECT_EQ(copy->getCreationTime(), source->getCreationTime());
    // The tree without links and the old marker, with a marker of its own.
    std::set<std::string> expected;
    for (const std::string& entry : before)
        if (entry.rfind("r003.talvo", 0) != 0 && entry != "escape=") expected.insert(entry);
    expected.insert("r000.talvo=" + readFile(dir.path() / "y/r000/r000.talvo"));
    EXPECT_EQ(treeOf(dir.path() / "y/r000"), expected);

    // Masks leave out whole directories and files by name.
    ASSERT_TRUE(source->exportTo(dir.wide(L"y/r@@@").c_str(), L"data.1\n\n*.log\n"));
    for (const std::string& entry : treeOf(dir.path() / "y/r001"))
        EXPECT_TRUE(entry.rfind("data.1", 0) != 0 && entry.find(".log") == entry.npos) << entry;
    EXPECT_EQ(readFile(dir.path() / "y/r001/data.0/deep/part"), "data.0/deep/part");

    EXPECT_EQ(treeOf(root), before) << "the source is untouched";

    // An unreadable file stops the copy with OK; nothing of it stays, the source is intact.
    const std::set<std::string> made = treeOf(dir.path());
    for (const char* name : {".", "data.0", "data.0/deep", "data.1", "\u7d50\u679c"})
        fs::permissions(root / name, fs::perms::all_all);
    fs::permissions(root / "data.0/trace.bin", fs::perms::no_perms);
    const int status = test::runUnprivileged([&] {
        EXPECT_FALSE(source->exportTo(dir.wide(L"z/r@@@").c_str(), nullptr));
        EXPECT_EQ(lastError(), OK);
    });
    if (status == -1) GTEST_SKIP() << "read permissions bind only a process that can drop root";
    EXPECT_EQ(status, 0);
    fs::permissions(root / "data.0/trace.bin", fs::perms::owner_all);
    EXPECT_EQ(treeOf(dir.path()), made);
}

}  // namespace
}  // namespace talvo2
