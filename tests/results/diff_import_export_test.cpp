#include <set>

#include "corekit2/bag_file.hpp"
#include "frame/boundary.hpp"
#include "notify2/ambient_progress.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;
using Tree = std::set<std::string>;

sptr_t<IResultDirectory> create(const TempDir& dir, const std::wstring& name) {
    return ResultDirectoryManager::create(dir.wide(name).c_str(), false, nullptr, false, nullptr);
}

std::string nameOf(const sptr_t<IResultDirectory>& result) {
    return result ? fs::path(result->getPath()).filename().string() : "(null)";
}

// Every entry below `root` as "relative path" (directories end in "/") with file contents.
Tree treeOf(const fs::path& root) {
    Tree tree;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const std::string relative = it->path().lexically_relative(root).string();
        if (fs::is_symlink(it->symlink_status())) {
            tree.insert(relative + " -> link");
        } else if (fs::is_directory(it->status())) {
            tree.insert(relative + "/");
        } else {
            tree.insert(relative + "=" + readFile(it->path()));
        }
    }
    return tree;
}

TEST(OpenForDiffTest, PicksTheTwoResultsToCompare) {
    TempDir dir;
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(create(dir, L"x/r@@@"));
    sptr_t<IResultDirectory> a, b;
    const std::wstring pattern = dir.wide(L"x/r@@@");
    ASSERT_TRUE(
        ResultDirectoryManager::openForDiff(pattern.c_str(), pattern.c_str(), &a, &b, false));
    EXPECT_EQ(nameOf(a), "r005");  // the newest against the one before it
    EXPECT_EQ(nameOf(b), "r004");

    ASSERT_TRUE(ResultDirectoryManager::openForDiff(dir.wide(L"x/r001").c_str(),
                                                    dir.wide(L"x/r003").c_str(), &a, &b, false));
    EXPECT_EQ(nameOf(a), "r001");
    EXPECT_EQ(nameOf(b), "r003");

    // A named result against the pattern whose newest it is gives the one before it.
    ASSERT_TRUE(ResultDirectoryManager::openForDiff(dir.wide(L"x/r005").c_str(), pattern.c_str(),
                                                    &a, &b, false));
    EXPECT_EQ(nameOf(a), "r005");
    EXPECT_EQ(nameOf(b), "r004");
    // Given the other way round, the first set's previous result is used.
    ASSERT_TRUE(ResultDirectoryManager::openForDiff(pattern.c_str(), dir.wide(L"x/r005").c_str(),
                                                    &a, &b, false));
    EXPECT_EQ(nameOf(a), "r005");
    EXPECT_EQ(nameOf(b), "r004");

    // Literal: "r@@@" names one directory, which is not there.
    EXPECT_FALSE(
        ResultDirectoryManager::openForDiff(pattern.c_str(), pattern.c_str(), &a, &b, true));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
}

TEST(OpenForDiffTest, RefusesWhenThereIsNothingToCompare) {
    TempDir dir;
    ASSERT_TRUE(create(dir, L"x/r@@@"));
    ASSERT_TRUE(create(dir, L"y/r@@@"));
    sptr_t<IResultDirectory> a = create(dir, L"z/r@@@");
    sptr_t<IResultDirectory> b = a;
    const std::wstring pattern = dir.wide(L"x/r@@@");
    // One result named twice: nothing to compare it with. Both outputs are cleared.
    EXPECT_FALSE(
        ResultDirectoryManager::openForDiff(pattern.c_str(), pattern.c_str(), &a, &b, false));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
    EXPECT_FALSE(a || b);

    // A path that finds nothing reports the lookup's reason.
    EXPECT_FALSE(ResultDirectoryManager::openForDiff(pattern.c_str(), dir.wide(L"none").c_str(), &a,
                                                     &b, false));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
    EXPECT_FALSE(ResultDirectoryManager::openForDiff(dir.wide(L"x/r\u00e9:@").c_str(),
                                                     pattern.c_str(), &a, &b, false));
    EXPECT_NE(ResultDirectoryManager::getLastError(), OK);

    // Results in two folders, each alone there, compare fine.
    EXPECT_TRUE(ResultDirectoryManager::openForDiff(pattern.c_str(), dir.wide(L"y/r@@@").c_str(),
                                                    &a, &b, false));
    EXPECT_EQ(fs::path(a->getPath()).parent_path().filename(), "x");
    EXPECT_EQ(fs::path(b->getPath()).parent_path().filename(), "y");

    EXPECT_FALSE(ResultDirectoryManager::openForDiff(nullptr, pattern.c_str(), &a, &b, false));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), InvalidPath);
    EXPECT_FALSE(a || b);
    EXPECT_FALSE(
        ResultDirectoryManager::openForDiff(pattern.c_str(), pattern.c_str(), nullptr, &b, false));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), ParameterError);
}

TEST(OpenForImportTest, OpensAnotherProductsResult) {
    TempDir dir;
    fs::create_directories(dir.path() / "in/r000");
    fs::create_directories(dir.path() / "in/r001");
    corekit2::variant_bag_t bag;
    bag.put(L"talvo", corekit2::variant_bag_t())->put(L"hostname", corekit2::variant_t(L"far"));
    for (const wchar_t* marker : {L"in/r000/r000.other", L"in/r001/r001.other"})
        ASSERT_EQ(corekit2::save_variant_bag(bag, dir.wide(marker).c_str()), corekit2::BAG_OK);

    sptr_t<IResultDirectory> result =
        ResultDirectoryManager::openForImport(dir.wide(L"in/r000").c_str(), L"other");
    ASSERT_TRUE(result);
    EXPECT_EQ(std::wstring(result->getMarkerFilePath()), dir.wide(L"in/r000/r000.other"));
    EXPECT_STREQ(result->getCreationHostName(), L"far");
    // A pattern opens the newest.
    result = ResultDirectoryManager::openForImport(dir.wide(L"in/r@@@").c_str(), L"other");
    EXPECT_EQ(nameOf(result), "r001");
    // Our own results are not another product's.
    EXPECT_FALSE(ResultDirectoryManager::openForImport(dir.wide(L"in/r000").c_str(), L"talvo"));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
    EXPECT_FALSE(ResultDirectoryManager::openForImport(dir.wide(L"in/r000").c_str(), L"oth"));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
    EXPECT_FALSE(ResultDirectoryManager::openForImport(dir.wide(L"in/r000").c_str(), L"../x"));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), ParameterError);
    EXPECT_FALSE(ResultDirectoryManager::openForImport(dir.wide(L"in/r000").c_str(), nullptr));
    EXPECT_FALSE(ResultDirectoryManager::openForImport(nullptr, L"other"));
}

// A result with collector data, logs, a subdirectory and a link to something outside.
sptr_t<IResultDirectory> richResult(const TempDir& dir) {
    sptr_t<IResultDirectory> result = create(dir, L"r003");
    if (!result) return result;
    const fs::path root = dir.path() / "r003";
    fs::create_directories(root / "data.0/deep");
    fs::create_directories(root / "data.1");
    fs::create_directories(root / "\u7d50\u679c");
    writeFile(root / "data.0/trace.bin", "zero");
    writeFile(root / "data.0/deep/part", "deep");
    writeFile(root / "data.1/trace.bin", "one");
    writeFile(root / "collector.log", "log");
    writeFile(root / "\u7d50\u679c/r\u00e9sultats.txt", "utf8");
    fs::create_directory(dir.path() / "outside");
    writeFile(dir.path() / "outside/secret", "secret");
    fs::create_symlink(dir.path() / "outside", root / "escape");
    return result;
}

TEST(ExportTest, CopiesIntoANewResultWithItsOwnMarker) {
    TempDir dir;
    sptr_t<IResultDirectory> source = richResult(dir);
    ASSERT_TRUE(source);
    source->setCollectorCommand(L"collect ./app");  // in memory only: export takes it as it is
    const Tree before = treeOf(dir.path() / "r003");

    sptr_t<IResultDirectory> copy = source->exportTo(dir.wide(L"y/r@@@").c_str(), L"");
    ASSERT_TRUE(copy) << ResultDirectoryManager::getLastError();
    EXPECT_EQ(std::wstring(copy->getPath()), dir.wide(L"y/r000"));
    EXPECT_EQ(std::wstring(copy->getMarkerFilePath()), dir.wide(L"y/r000/r000.talvo"));
    EXPECT_STREQ(copy->getCollectorCommand(), L"collect ./app");
    EXPECT_STREQ(copy->getCreationHostName(), source->getCreationHostName());
    EXPECT_EQ(copy->getCreationTime(), source->getCreationTime());

    Tree expected;
    for (const std::string& entry : before) {
        if (entry.rfind("r003.talvo", 0) != 0 && entry != "escape -> link") expected.insert(entry);
    }
    expected.insert("r000.talvo=" + readFile(dir.path() / "y/r000/r000.talvo"));
    EXPECT_EQ(treeOf(dir.path() / "y/r000"), expected);
    EXPECT_EQ(treeOf(dir.path() / "r003"), before);  // the source is untouched

    // Masks leave out whole directories and files by name.
    copy = source->exportTo(dir.wide(L"y/r@@@").c_str(), L"data.1\n\n*.log\n");
    ASSERT_TRUE(copy);
    const Tree masked = treeOf(dir.path() / "y/r001");
    for (const std::string& entry : masked) {
        EXPECT_EQ(entry.find("data.1"), std::string::npos) << entry;
        EXPECT_EQ(entry.find(".log"), std::string::npos) << entry;
    }
    EXPECT_EQ(masked.count("data.0/deep/part=deep"), 1u);
}

TEST(ExportTest, FailuresLeaveTheSourceAlone) {
    TempDir dir;
    sptr_t<IResultDirectory> source = richResult(dir);
    ASSERT_TRUE(source);
    ASSERT_TRUE(create(dir, L"taken"));
    const Tree before = treeOf(dir.path() / "r003");
    const Tree taken = treeOf(dir.path() / "taken");

    EXPECT_FALSE(source->exportTo(dir.wide(L"taken").c_str(), nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), AlreadyExists);
    EXPECT_EQ(treeOf(dir.path() / "taken"), taken);
    EXPECT_FALSE(source->exportTo(dir.wide(L"y/CON").c_str(), nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), ReservedDeviceName);
    EXPECT_FALSE(source->exportTo(L"", nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), EmptyPattern);
    EXPECT_FALSE(source->exportTo(nullptr, nullptr));
    // Into itself: refused before anything is copied.
    EXPECT_FALSE(source->exportTo(dir.wide(L"r003/data.0/r@@@").c_str(), nullptr));
    EXPECT_EQ(ResultDirectoryManager::getLastError(), ParameterError);
    EXPECT_EQ(treeOf(dir.path() / "r003"), before);
    EXPECT_FALSE(fs::exists(dir.path() / "y"));

    // A file that cannot be read stops the copy; nothing of it stays, not even the folder made
    // for it, and the source is intact.
    fs::permissions(dir.path(), fs::perms::all_all);
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
    EXPECT_FALSE(fs::exists(dir.path() / "z"));
    fs::permissions(dir.path() / "r003/data.0/trace.bin", fs::perms::owner_all);
    EXPECT_EQ(treeOf(dir.path() / "r003"), before);
}

// Counts what it hears and cancels once `limit` files have begun.
class CancelingProgress final : public notify2::IProgress {
public:
    explicit CancelingProgress(int limit) : m_limit(limit) {}
    virtual ~CancelingProgress() = default;
    void begin(const wchar_t*, double amount) override { total = amount; }
    void advance(double amount) override { done += amount; }
    void setItem(const wchar_t*) override { ++items; }
    void end() override { ++ends; }
    bool isCanceled() override { return items >= m_limit; }

    double total = -1;
    double done = 0;
    int items = 0;
    int ends = 0;

private:
    int m_limit;
};

TEST(ExportTest, AmbientProgressHearsOfFilesAndMayCancel) {
    TempDir dir;
    sptr_t<IResultDirectory> source = richResult(dir);
    ASSERT_TRUE(source);
    {
        CancelingProgress progress(1000);
        const notify2::ProgressScope scope(&progress);
        EXPECT_TRUE(source->exportTo(dir.wide(L"y/r@@@").c_str(), nullptr));
        EXPECT_EQ(progress.items, 5);  // every regular file but the marker
        EXPECT_EQ(progress.done, 18.0);
        EXPECT_GE(progress.total, progress.done);
        EXPECT_EQ(progress.ends, 1);
    }
    CancelingProgress progress(2);
    const notify2::ProgressScope scope(&progress);
    EXPECT_FALSE(source->exportTo(dir.wide(L"y/r@@@").c_str(), nullptr));
    EXPECT_EQ(progress.ends, 1);
    EXPECT_FALSE(fs::exists(dir.path() / "y/r001"));  // a canceled copy is taken back
    EXPECT_TRUE(fs::exists(dir.path() / "y/r000/r000.talvo"));
}

}  // namespace
}  // namespace talvo2
