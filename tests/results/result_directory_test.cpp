#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "frame/boundary.hpp"
#include "notify2/ambient_progress.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::createResult;
using test::readFile;
using test::TempDir;
using test::utf8Path;
using test::writeFile;
using Paths = std::vector<std::wstring>;
using Tree = std::set<std::string>;

// A result opened afresh after `mark` was planted in it, as marks lie there before a first open.
sptr_t<IResultDirectory> openWith(const TempDir& dir, const std::wstring& name,
                                  const std::string& mark) {
    if (!createResult(dir.wide(name))) return nullptr;
    if (!mark.empty()) writeFile(dir.path() / utf8Path(name) / mark, "");
    return ResultDirectoryManager::open(dir.wide(name).c_str(), false, nullptr);
}

// A returned path as text; "(null)" keeps a failure readable instead of crashing the test.
std::wstring text(const wchar_t* path) {
    return path ? path : L"(null)";
}

// Drains the iterator, checking that the end is sticky and that getCount agrees.
Paths drain(const sptr_t<IPathIterator>& it) {
    Paths out;
    if (!it) return out;
    for (const wchar_t* path = it->next(); path; path = it->next()) out.emplace_back(path);
    EXPECT_EQ(it->next(), nullptr);
    EXPECT_EQ(it->getCount(), out.size());
    return out;
}

// Both marks are read when the node is made; afterwards it answers from what it recorded.
TEST(ResultDirectory, FinalizedAndInvalidMarksAreReadWhenTheNodeIsMade) {
    TempDir dir;
    const fs::path norun = dir.path() / "done/.norun";
    const sptr_t<IResultDirectory> done = openWith(dir, L"done", ".norun");
    ASSERT_TRUE(done);
    EXPECT_TRUE(done->isFinalized());
    EXPECT_TRUE(done->setFinalized(false));
    EXPECT_FALSE(done->isFinalized());
    EXPECT_FALSE(fs::exists(norun));
    writeFile(norun, "");  // an unchanged state leaves the disk alone
    EXPECT_TRUE(done->setFinalized(false));
    EXPECT_TRUE(fs::exists(norun));
    fs::remove(norun);
    EXPECT_TRUE(done->setFinalized(true));
    EXPECT_TRUE(done->isFinalized());
    EXPECT_TRUE(fs::exists(norun));

    EXPECT_FALSE(openWith(dir, L"bad", ".bad")->isValid());
    sptr_t<IResultDirectory> result = openWith(dir, L"r000", "");
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->isValid());
    // The name aside is taken: nothing changes, no mark is left behind.
    fs::create_directory(dir.path() / "r000-bad");
    result->setInvalid();
    EXPECT_EQ(ResultDirectoryManager::getLastError(), AlreadyExists);
    EXPECT_FALSE(fs::exists(dir.path() / "r000/.bad"));
    fs::remove(dir.path() / "r000-bad");
    result->setInvalid();
    // A bad result moves aside with its mark, so a new run can take its name.
    EXPECT_FALSE(fs::exists(dir.path() / "r000"));
    EXPECT_TRUE(fs::exists(dir.path() / "r000-bad/.bad"));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "r000-bad/r000-bad.talvo"));
    EXPECT_EQ(std::wstring(result->getPath()), dir.wide(L"r000-bad"));
    EXPECT_TRUE(result->isValid());
    // Only a node made after the last handle went reads the mark again.
    result.reset();
    result = ResultDirectoryManager::open(dir.wide(L"r000-bad").c_str(), false, nullptr);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->isValid());
}

TEST(ResultDirectory, ANodeAppearsWithItsMarkerOrNotAtAll) {
    TempDir dir;
    // Names near the file system's limit of 255 bytes: the marker's name (the directory's and
    // ".talvo") no longer fits before the directory's does. Either the result is made whole, or
    // nothing is left, not even hidden.
    for (std::size_t length = 248; length <= 256; ++length) {
        SCOPED_TRACE(length);
        const sptr_t<IResultDirectory> result =
            createResult(dir.wide(L"deep/" + std::wstring(length, L'n')));
        EXPECT_EQ(bool(result), length + 6 <= 255);
        EXPECT_EQ(fs::exists(dir.path() / "deep" / std::string(length, 'n')), bool(result));
        EXPECT_TRUE(result || !fs::exists(dir.path() / "deep")) << "no folder left";
        fs::remove_all(dir.path() / "deep");
    }
    // A temporary file left by a writer that died is taken over by the next save of its file.
    sptr_t<IResultDirectory> result = createResult(dir.wide(L"r000"));
    ASSERT_TRUE(result);
    writeFile(dir.path() / "r000/.r000.talvo.talvo-tmp", "half");
    result->setCollectorCommand(L"again");
    ASSERT_TRUE(result->save());
    EXPECT_FALSE(fs::exists(dir.path() / "r000/.r000.talvo.talvo-tmp"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "r000"), fs::directory_iterator()),
              1);
    // Work in progress is no node: a staging directory already holding its marker is not found.
    fs::create_directory(dir.path() / ".talvo-stage-0123456789abcdef");
    fs::copy_file(dir.path() / "r000/r000.talvo",
                  dir.path() / ".talvo-stage-0123456789abcdef/r009.talvo");
    const auto group = INodeGroup::open(dir.wide().c_str());
    ASSERT_TRUE(group);
    EXPECT_EQ(drain(group->getMemberPaths()), Paths{dir.wide(L"r000/r000.talvo")});
}

// Root finalizing a user's result must not take the marker from them, nor open it to others.
TEST(ResultDirectory, RootSavingAUsersMarkerLeavesItTheirs) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    TempDir dir;
    const sptr_t<IResultDirectory> result = test::createResult(dir.wide(L"r000"));
    ASSERT_TRUE(result);
    const fs::path marker = dir.path() / "r000/r000.talvo";
    ASSERT_EQ(::chown(marker.c_str(), test::kUnprivilegedId, 0), 0);  // theirs, root's group
    ASSERT_EQ(::chmod(marker.c_str(), 0600), 0);
    result->setCollectorCommand(L"again");
    ASSERT_TRUE(result->save());
    struct stat st {};
    ASSERT_EQ(::stat(marker.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, test::kUnprivilegedId);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(test::readFile(marker).find("again"), std::string::npos);
}

TEST(ResultDirectory, CollectorDataDirectoriesAreDataDotDirectoriesInPathOrder) {
    TempDir dir;
    sptr_t<IResultDirectory> result = createResult(dir.wide(L"\u7d50\u679c"));
    ASSERT_TRUE(result);
    const std::wstring base = dir.wide(L"\u7d50\u679c/");
    const fs::path root = utf8Path(base);
    for (const char* name : {"data.0", "data.2", "data.10", "Data.1", "data1", "data.2/dir.txt"})
        fs::create_directory(root / name);
    writeFile(root / "data.4", "");  // a file occupies its name too
    writeFile(root / "data.9", "");
    // A link to a directory is one (data on scratch storage); to a file or to nothing, not, but
    // a dangling link still holds its name and nothing is made where it points.
    fs::create_directory(dir.path() / "outside");
    fs::create_symlink(dir.path() / "gone", root / "data.5");
    fs::create_symlink(dir.path() / "outside", root / "data.7");
    fs::create_symlink(root / "data.9", root / "data.8");
    for (const wchar_t* made : {L"data.1", L"data.3", L"data.6"}) {
        EXPECT_EQ(text(result->createCollectorDataDir()), base + made);
        EXPECT_TRUE(fs::is_directory(root / utf8Path(made)));
    }
    EXPECT_FALSE(fs::exists(dir.path() / "gone"));
    EXPECT_EQ(drain(result->getCollectorDataDirectories()),
              (Paths{base + L"data.0", base + L"data.1", base + L"data.10", base + L"data.2",
                     base + L"data.3", base + L"data.6", base + L"data.7"}));

    // Files in the collector data directories only: not below them, not beside them.
    fs::create_directory(root / "data.0/sub");
    for (const char* file : {"data.0/z.txt", "data.0/b.log", "data.0/sub/deep.txt", "data.1/a.txt",
                             "data.1/a.txt.bak", "data.1/\u00e9.txt", "Data.1/c.txt", "top.txt"})
        writeFile(root / file, "x");
    writeFile(dir.path() / "outside/l.txt", "x");
    EXPECT_EQ(drain(result->getResultFiles(L"*.txt")),
              (Paths{base + L"data.0/z.txt", base + L"data.1/a.txt", base + L"data.1/\u00e9.txt",
                     base + L"data.7/l.txt"}));
    EXPECT_EQ(
        drain(result->getResultFiles(nullptr)),
        (Paths{base + L"data.0/b.log", base + L"data.0/z.txt", base + L"data.1/a.txt",
               base + L"data.1/a.txt.bak", base + L"data.1/\u00e9.txt", base + L"data.7/l.txt"}));
}

TEST(ResultDirectory, SubdirectoriesAreMadeBelowTheResultOnly) {
    TempDir dir;
    sptr_t<IResultDirectory> result = createResult(dir.wide(L"r\u00e9sultats"));
    ASSERT_TRUE(result);
    const std::wstring base = dir.wide(L"r\u00e9sultats/");
    EXPECT_EQ(result->getSubdir(static_cast<standard_dir_t>(7)), nullptr);
    const std::pair<standard_dir_t, const wchar_t*> kinds[] = {{STANDARD_DIR_LOG, L"log"},
                                                               {STANDARD_DIR_SOURCE, L"source"},
                                                               {STANDARD_DIR_CONFIG, L"config"}};
    for (const auto& [kind, name] : kinds) {
        EXPECT_EQ(text(result->getSubdir(kind)), base + name);
        EXPECT_TRUE(fs::is_directory(utf8Path(base + name)));
        // Asking again finds the directory made the first time.
        EXPECT_EQ(text(result->getSubdir(kind)), base + name);
    }
    EXPECT_EQ(text(result->getSubdir(L"custom/\u30ed\u30b0")), base + L"custom/\u30ed\u30b0");
    EXPECT_TRUE(fs::is_directory(utf8Path(base + L"custom/\u30ed\u30b0")));

    // A plain file is not made a directory, and the last error is reset: "not made" is all.
    writeFile(utf8Path(base + L"plain"), "keep");
    EXPECT_EQ(result->getSubdir(L"plain"), nullptr);
    EXPECT_EQ(ResultDirectoryManager::getLastError(), OK);
    EXPECT_EQ(test::readFile(utf8Path(base + L"plain")), "keep");

    // Names that would leave the result (".." alone is in bad_input_test) make nothing.
    for (const std::wstring& name : {std::wstring(L"custom/../../up"), dir.wide(L"abs")}) {
        EXPECT_EQ(result->getSubdir(name.c_str()), nullptr);
        EXPECT_NE(ResultDirectoryManager::getLastError(), OK);
    }
    EXPECT_FALSE(fs::exists(dir.path() / "up") || fs::exists(dir.path() / "abs"));
}

// Nothing is reported made where this user cannot write, not even a directory already there.
// A data directory leaves the last error as it was; a subdirectory resets it to OK.
TEST(ResultDirectory, DeniedWritesMakeNothing) {
    TempDir dir;
    sptr_t<IResultDirectory> locked = createResult(dir.wide(L"locked"));
    sptr_t<IResultDirectory> shared = createResult(dir.wide(L"shared"));
    ASSERT_TRUE(locked && shared);
    fs::permissions(dir.path() / "shared", fs::perms::all_all);
    fs::create_directory(dir.path() / "shared/data.0");
    fs::create_directory(dir.path() / "shared/log");
    const auto before = test::snapshot(dir.path());
    const int status = test::runUnprivileged([&] {
        LastError(NotFound).store();
        EXPECT_EQ(locked->createCollectorDataDir(), nullptr);
        EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
        EXPECT_EQ(locked->getSubdir(STANDARD_DIR_CONFIG), nullptr);
        EXPECT_EQ(ResultDirectoryManager::getLastError(), OK);
        EXPECT_EQ(shared->createCollectorDataDir(), nullptr);
        EXPECT_EQ(shared->getSubdir(STANDARD_DIR_LOG), nullptr);
    });
    if (status == -1) GTEST_SKIP() << "write permissions bind only a process that can drop root";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::snapshot(dir.path()), before);
}

// Every entry below `root` by relative path: "dir/", "file=content" or "link -> link".
Tree treeOf(const fs::path& root) {
    Tree tree;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const fs::file_status status = it->symlink_status();
        tree.insert(it->path().lexically_relative(root).string() +
                    (fs::is_symlink(status)     ? " -> link"
                     : fs::is_directory(status) ? "/"
                                                : "=" + readFile(it->path())));
    }
    return tree;
}

// A result with collector data, logs, a non-ASCII subdirectory and a link to something outside.
sptr_t<IResultDirectory> richResult(const TempDir& dir) {
    sptr_t<IResultDirectory> result = createResult(dir.wide(L"r003"));
    const fs::path root = dir.path() / "r003";
    for (const auto& [file, content] : {std::pair{"data.0/trace.bin", "zero"},
                                        {"data.0/deep/part", "deep"},
                                        {"data.1/trace.bin", "one"},
                                        {"collector.log", "log"},
                                        {"\u7d50\u679c/r\u00e9sultats.txt", "utf8"},
                                        {"../outside/secret", "secret"}}) {
        fs::create_directories((root / file).parent_path());
        writeFile(root / file, content);
    }
    fs::create_symlink(dir.path() / "outside", root / "escape");
    return result;
}

// Counts what it hears and cancels once `cancelAt` files have begun.
struct CountingProgress final : notify2::IProgress {
    void begin(const wchar_t*, double amount) override { total = amount; }
    void advance(double amount) override { done += amount; }
    void setItem(const wchar_t*) override { ++items; }
    void end() override { ++ends; }
    bool isCanceled() override { return items >= cancelAt; }
    int cancelAt = 1000, items = 0, ends = 0;
    double total = -1, done = 0;
};

TEST(ExportTest, CopiesIntoANewResultWithItsOwnMarker) {
    TempDir dir;
    sptr_t<IResultDirectory> source = richResult(dir);
    ASSERT_TRUE(source);
    source->setCollectorCommand(L"collect ./app");  // in memory only: export takes it as it is
    const Tree before = treeOf(dir.path() / "r003");

    CountingProgress progress;
    sptr_t<IResultDirectory> copy;
    {
        const notify2::ProgressScope scope(&progress);
        copy = source->exportTo(dir.wide(L"y/r@@@").c_str(), L"");
    }
    ASSERT_TRUE(copy) << ResultDirectoryManager::getLastError();
    EXPECT_EQ(progress.items, 5);  // every regular file but the marker
    EXPECT_EQ(progress.done, 18.0);
    EXPECT_GE(progress.total, progress.done);
    EXPECT_EQ(progress.ends, 1);
    EXPECT_EQ(std::wstring(copy->getMarkerFilePath()), dir.wide(L"y/r000/r000.talvo"));
    EXPECT_STREQ(copy->getCollectorCommand(), L"collect ./app");
    EXPECT_EQ(copy->getCreationTime(), source->getCreationTime());
    // The tree without links and the old marker, with a marker of its own.
    Tree expected;
    for (const std::string& entry : before)
        if (entry.rfind("r003.talvo", 0) != 0 && entry != "escape -> link") expected.insert(entry);
    expected.insert("r000.talvo=" + readFile(dir.path() / "y/r000/r000.talvo"));
    EXPECT_EQ(treeOf(dir.path() / "y/r000"), expected);

    // Masks leave out whole directories and files by name.
    ASSERT_TRUE(source->exportTo(dir.wide(L"y/r@@@").c_str(), L"data.1\n\n*.log\n"));
    for (const std::string& entry : treeOf(dir.path() / "y/r001")) {
        EXPECT_EQ(entry.find("data.1"), std::string::npos) << entry;
        EXPECT_EQ(entry.find(".log"), std::string::npos) << entry;
    }
    EXPECT_EQ(readFile(dir.path() / "y/r001/data.0/deep/part"), "deep");

    // A canceled copy is taken back (python/test_bindings.py checks the rest), and still ends.
    CountingProgress canceling;
    canceling.cancelAt = 2;
    const notify2::ProgressScope scope(&canceling);
    EXPECT_FALSE(source->exportTo(dir.wide(L"y/r@@@").c_str(), nullptr));
    EXPECT_EQ(canceling.ends, 1);
    EXPECT_FALSE(fs::exists(dir.path() / "y/r002"));
    EXPECT_EQ(treeOf(dir.path() / "r003"), before);  // the source is untouched
}

TEST(ExportTest, FailuresLeaveTheSourceAlone) {
    TempDir dir;
    sptr_t<IResultDirectory> source = richResult(dir);
    ASSERT_TRUE(source);
    ASSERT_TRUE(createResult(dir.wide(L"taken")));
    const Tree before = treeOf(dir.path());
    // Null, empty and reserved targets are in bad_input_test; a target inside the source is
    // refused before anything is copied.
    for (const auto& [target, error] :
         {std::pair{L"taken", AlreadyExists}, {L"r003/data.0/r@@@", ParameterError}}) {
        EXPECT_FALSE(source->exportTo(dir.wide(target).c_str(), nullptr));
        EXPECT_EQ(ResultDirectoryManager::getLastError(), error) << target;
    }
    EXPECT_EQ(treeOf(dir.path()), before);

    // A file that cannot be read stops the copy; nothing of it stays, not even the folder made
    // for it, and the source is intact.
    fs::permissions(dir.path() / "r003", fs::perms::all_all);
    fs::permissions(dir.path() / "r003/data.0/trace.bin", fs::perms::no_perms);
    for (const char* name : {"data.0", "data.0/deep", "data.1", "\u7d50\u679c"})
        fs::permissions(dir.path() / "r003" / name, fs::perms::all_all);
    const int status = test::runUnprivileged([&] {
        EXPECT_FALSE(source->exportTo(dir.wide(L"z/r@@@").c_str(), nullptr));
        EXPECT_EQ(ResultDirectoryManager::getLastError(), OK);
    });
    if (status == -1) GTEST_SKIP() << "read permissions bind only a process that can drop root";
    EXPECT_EQ(status, 0);
    fs::permissions(dir.path() / "r003/data.0/trace.bin", fs::perms::owner_all);
    EXPECT_EQ(treeOf(dir.path()), before);
}

}  // namespace
}  // namespace talvo2
