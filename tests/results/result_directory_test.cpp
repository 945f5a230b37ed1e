#include "corekit2/bag_file.hpp"
#include "frame/boundary.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::TempDir;
using test::utf8Path;
using test::writeFile;
using Paths = std::vector<std::wstring>;

sptr_t<IResultDirectory> create(const TempDir& dir, const std::wstring& name) {
    return ResultDirectoryManager::create(dir.wide(name).c_str(), false, nullptr, false, nullptr);
}

// A result made by hand, so that marks lying there before the first open can be planted.
sptr_t<IResultDirectory> openWith(const TempDir& dir, const std::wstring& name,
                                  const std::string& mark) {
    fs::create_directories(utf8Path(dir.wide(name)));
    if (!mark.empty()) writeFile(utf8Path(dir.wide(name)) / mark, "");
    const std::wstring marker = dir.wide(name + L"/" + name + getResultExtension(false));
    EXPECT_EQ(corekit2::save_variant_bag(corekit2::variant_bag_t(), marker.c_str()),
              corekit2::BAG_OK);
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
    EXPECT_EQ(it->next(), nullptr);
    EXPECT_EQ(it->getCount(), out.size());
    return out;
}

TEST(ResultDirectory, FinalizedMarkFollowsNorunAndSetsOnlyOnChange) {
    TempDir dir;
    const fs::path norun = dir.path() / "r000/.norun";
    sptr_t<IResultDirectory> result = openWith(dir, L"r000", ".norun");
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->isFinalized());
    EXPECT_TRUE(result->setFinalized(false));
    EXPECT_FALSE(result->isFinalized());
    EXPECT_FALSE(fs::exists(norun));
    // The node answers from what it recorded: an unchanged state leaves the disk alone.
    writeFile(norun, "");
    EXPECT_TRUE(result->setFinalized(false));
    EXPECT_TRUE(fs::exists(norun));
    fs::remove(norun);
    EXPECT_TRUE(result->setFinalized(true));
    EXPECT_TRUE(result->isFinalized());
    EXPECT_TRUE(fs::exists(norun));
}

TEST(ResultDirectory, InvalidMarkIsReadOnlyWhenTheNodeIsMade) {
    TempDir dir;
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
        const std::wstring name(length, L'n');
        const sptr_t<IResultDirectory> result = create(dir, L"deep/" + name);
        const fs::path made = dir.path() / "deep" / std::string(length, 'n');
        EXPECT_EQ(bool(result), length + 6 <= 255);
        EXPECT_EQ(fs::exists(made), bool(result));
        EXPECT_TRUE(result || !fs::exists(dir.path() / "deep")) << "no folder left";
        fs::remove_all(dir.path() / "deep");
    }
    // A temporary file left by a writer that died is taken over by the next save of its file.
    sptr_t<IResultDirectory> result = create(dir, L"r000");
    ASSERT_TRUE(result);
    test::writeFile(dir.path() / "r000/.r000.talvo.talvo-tmp", "half");
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
    std::vector<std::wstring> members;
    const auto paths = group->getMemberPaths();
    for (const wchar_t* path = paths->next(); path; path = paths->next()) members.push_back(path);
    EXPECT_EQ(members, std::vector<std::wstring>{dir.wide(L"r000/r000.talvo")});
}

TEST(ResultDirectory, CollectorDataDirTakesTheFirstFreeSlot) {
    TempDir dir;
    sptr_t<IResultDirectory> result = create(dir, L"r000");
    ASSERT_TRUE(result);
    fs::create_directory(dir.path() / "r000/data.0");
    fs::create_directory(dir.path() / "r000/data.2");
    writeFile(dir.path() / "r000/data.4", "");  // a file occupies its name too
    fs::create_symlink(dir.path() / "gone", dir.path() / "r000/data.5");
    EXPECT_EQ(text(result->createCollectorDataDir()), dir.wide(L"r000/data.1"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "r000/data.1"));
    EXPECT_EQ(text(result->createCollectorDataDir()), dir.wide(L"r000/data.3"));
    // A dangling link still holds its name; nothing is made where it points.
    EXPECT_EQ(text(result->createCollectorDataDir()), dir.wide(L"r000/data.6"));
    EXPECT_FALSE(fs::exists(dir.path() / "gone"));
}

TEST(ResultDirectory, NothingIsMadeInAResultThisUserCannotWrite) {
    TempDir dir;
    sptr_t<IResultDirectory> locked = create(dir, L"locked");
    ASSERT_TRUE(locked);
    const int status = test::runUnprivileged([&] {
        EXPECT_EQ(locked->createCollectorDataDir(), nullptr);
        EXPECT_EQ(locked->getSubdir(STANDARD_DIR_CONFIG), nullptr);
    });
    if (status == -1) GTEST_SKIP() << "write permissions bind only a process that can drop root";
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(dir.path() / "locked/data.0"));
    EXPECT_FALSE(fs::exists(dir.path() / "locked/config"));
}

// A directory that cannot be written is never reported as made. Creating a data directory leaves
// the last error as it was; asking for a subdirectory resets it, so a caller tells "not made"
// from an error of its own by the null result alone. An existing directory this user cannot
// write stops both, as nothing could be written into it.
TEST(ResultDirectory, DeniedWritesMakeNothing) {
    TempDir dir;
    sptr_t<IResultDirectory> locked = create(dir, L"locked");
    sptr_t<IResultDirectory> shared = create(dir, L"shared");
    ASSERT_TRUE(locked && shared);
    fs::permissions(dir.path() / "shared", fs::perms::all_all);
    fs::create_directory(dir.path() / "shared/data.0");
    fs::create_directory(dir.path() / "shared/log");
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
    EXPECT_FALSE(fs::exists(dir.path() / "locked/data.0"));
    EXPECT_FALSE(fs::exists(dir.path() / "locked/config"));
    EXPECT_FALSE(fs::exists(dir.path() / "shared/data.1"));
}

TEST(ResultDirectory, CollectorDataDirectoriesAreDataDotDirectoriesInPathOrder) {
    TempDir dir;
    sptr_t<IResultDirectory> result = create(dir, L"r000");
    ASSERT_TRUE(result);
    EXPECT_TRUE(drain(result->getCollectorDataDirectories()).empty());
    EXPECT_TRUE(drain(result->getResultFiles(nullptr)).empty());
    for (const char* name : {"data.2", "data.10", "data.0", "data.1", "Data.1", "data1"})
        fs::create_directory(dir.path() / "r000" / name);
    // A link to a directory is one (data on scratch storage); to a file or to nothing, not.
    fs::create_directory(dir.path() / "outside");
    fs::create_symlink(dir.path() / "outside", dir.path() / "r000/data.7");
    writeFile(dir.path() / "r000/data.9", "");
    fs::create_symlink(dir.path() / "r000/data.9", dir.path() / "r000/data.8");
    fs::create_symlink(dir.path() / "gone", dir.path() / "r000/data.6");
    const std::wstring base = dir.wide(L"r000/");
    EXPECT_EQ(drain(result->getCollectorDataDirectories()),
              (Paths{base + L"data.0", base + L"data.1", base + L"data.10", base + L"data.2",
                     base + L"data.7"}));

    // Files in the collector data directories only: not below them, not beside them.
    for (const char* file : {"data.0/z.txt", "data.0/b.log", "data.0/sub/deep.txt", "data.1/a.txt",
                             "data.1/a.txt.bak", "Data.1/c.txt", "top.txt"}) {
        fs::create_directories((dir.path() / "r000" / file).parent_path());
        writeFile(dir.path() / "r000" / file, "x");
    }
    writeFile(dir.path() / "outside/l.txt", "x");
    fs::create_directory(dir.path() / "r000/data.2/dir.txt");
    EXPECT_EQ(drain(result->getResultFiles(L"*.txt")),
              (Paths{base + L"data.0/z.txt", base + L"data.1/a.txt", base + L"data.7/l.txt"}));
    EXPECT_EQ(drain(result->getResultFiles(nullptr)),
              (Paths{base + L"data.0/b.log", base + L"data.0/z.txt", base + L"data.1/a.txt",
                     base + L"data.1/a.txt.bak", base + L"data.7/l.txt"}));
}

TEST(ResultDirectory, SubdirectoriesAreMadeBelowTheResultOnly) {
    TempDir dir;
    sptr_t<IResultDirectory> result = create(dir, L"r000");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->getSubdir(static_cast<standard_dir_t>(7)), nullptr);
    const std::pair<standard_dir_t, const wchar_t*> kinds[] = {{STANDARD_DIR_LOG, L"log"},
                                                               {STANDARD_DIR_SOURCE, L"source"},
                                                               {STANDARD_DIR_CONFIG, L"config"}};
    for (const auto& [kind, name] : kinds) {
        EXPECT_EQ(text(result->getSubdir(kind)), dir.wide(L"r000/") + name);
        EXPECT_TRUE(fs::is_directory(utf8Path(dir.wide(L"r000/") + name)));
        // Asking again finds the directory made the first time.
        EXPECT_EQ(text(result->getSubdir(kind)), dir.wide(L"r000/") + name);
    }
    EXPECT_EQ(text(result->getSubdir(L"custom/deeper")), dir.wide(L"r000/custom/deeper"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "r000/custom/deeper"));

    writeFile(dir.path() / "r000/plain", "keep");
    EXPECT_EQ(result->getSubdir(L"plain"), nullptr);
    EXPECT_EQ(ResultDirectoryManager::getLastError(), OK);
    EXPECT_EQ(test::readFile(dir.path() / "r000/plain"), "keep");

    const std::wstring absolute = dir.wide(L"abs");
    const bool rootAbsWasThere = fs::exists("/abs");
    for (const std::wstring& name : {std::wstring(L"../escape"), std::wstring(L"custom/../../up"),
                                     absolute, std::wstring(L"/abs")}) {
        EXPECT_EQ(result->getSubdir(name.c_str()), nullptr);
        EXPECT_NE(ResultDirectoryManager::getLastError(), OK);
    }
    for (const char* outside : {"escape", "up", "abs"})
        EXPECT_FALSE(fs::exists(dir.path() / outside));
    EXPECT_EQ(fs::exists("/abs"), rootAbsWasThere);
}

TEST(ResultDirectory, NonAsciiNamesReachTheDiskAsUtf8) {
    TempDir dir;
    for (const std::wstring name : {L"résultats", L"結果"}) {
        ASSERT_TRUE(create(dir, name)) << ResultDirectoryManager::getLastError();
        // The first handle is gone: this open reads the directory back by its name.
        sptr_t<IResultDirectory> result =
            ResultDirectoryManager::open(dir.wide(name).c_str(), false, nullptr);
        ASSERT_TRUE(result) << ResultDirectoryManager::getLastError();
        EXPECT_EQ(std::wstring(result->getPath()), dir.wide(name));
        EXPECT_EQ(text(result->createCollectorDataDir()), dir.wide(name + L"/data.0"));
        EXPECT_EQ(drain(result->getCollectorDataDirectories()), Paths{dir.wide(name + L"/data.0")});
        EXPECT_EQ(text(result->getSubdir(L"журнал/ログ")), dir.wide(name + L"/журнал/ログ"));
        EXPECT_TRUE(fs::is_directory(utf8Path(dir.wide(name + L"/журнал/ログ"))));
        writeFile(utf8Path(dir.wide(name + L"/data.0/é.txt")), "");
        EXPECT_EQ(drain(result->getResultFiles(L"*.txt")),
                  Paths{dir.wide(name + L"/data.0/é.txt")});
    }
}

}  // namespace
}  // namespace talvo2
