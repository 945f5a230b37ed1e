#include <cerrno>
#include <cwchar>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "frame/boundary.hpp"
#include "platform/file_system.hpp"
#include "propstore2/message_catalogs.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::runInChild;

TEST(LastError, IsPerThreadAndStartsAsOk) {
    EXPECT_EQ(ResultDirectoryManager::getLastError(), OK);
    LastError(NotFound).store();
    EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);

    // Another thread neither sees this thread's code nor disturbs it.
    error_t seenByFreshThread = OperationFailed;
    std::thread other([&] {
        seenByFreshThread = ResultDirectoryManager::getLastError();
        LastError(AlreadyExists).store();
    });
    other.join();
    EXPECT_EQ(seenByFreshThread, OK);
    EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
}

TEST(LastError, ManyThreadsKeepTheirOwnCodes) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &mismatches] {
            const auto mine = static_cast<error_t>(t + 1);
            for (int i = 0; i < 2000; ++i) {
                LastError(mine).store();
                std::this_thread::yield();
                if (ResultDirectoryManager::getLastError() != mine) ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int count : mismatches) EXPECT_EQ(count, 0);
}

// The boundary of every exported operation: the answer's code becomes the last error, a kept one
// leaves it, and an exception becomes OperationFailed with the failure value.
TEST(LastError, TheBoundaryWritesItOnceAndStopsExceptions) {
    LastError(NotFound).store();
    EXPECT_EQ(exported(0, []() -> Reply<int> { return {1, LastError::kept()}; }), 1);
    EXPECT_EQ(ResultDirectoryManager::getLastError(), NotFound);
    EXPECT_EQ(exported(0, []() -> Reply<int> { return {2, AlreadyExists}; }), 2);
    EXPECT_EQ(ResultDirectoryManager::getLastError(), AlreadyExists);
    EXPECT_EQ(exported(7, []() -> Reply<int> { throw std::bad_alloc(); }), 7);
    EXPECT_EQ(ResultDirectoryManager::getLastError(), OperationFailed);
    exportedVoid([]() -> LastError { throw std::runtime_error("escaping"); });
    EXPECT_EQ(ResultDirectoryManager::getLastError(), OperationFailed);
}

TEST(LastError, SystemAnswersMapToCodes) {
    using platform::Status;
    const struct {
        int number;
        error_t general;
        error_t lock;
    } cases[] = {
        {0, OK, OK},
        {EACCES, InsufficientPermissions, AccessDenied},
        {EROFS, InsufficientPermissions, AccessDenied},
        {EPERM, OperationFailed, AccessDenied},
        {ENOENT, NotFound, FileError},
        {EEXIST, AlreadyExists, AlreadyExists},
        {EAGAIN, OperationFailed, FileLocked},
        {ENOSPC, OperationFailed, FileError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(Status::fromSystem(c.number).error(), c.general);
        EXPECT_EQ(Status::fromSystem(c.number).lockError(), c.lock);
    }
    // A real failure of the file system maps the same way.
    test::TempDir dir;
    const platform::Status made = platform::fileSystem().makeDirectory(
        nullptr, (dir.path() / "missing" / "child").string(), 0777);
    EXPECT_TRUE(made.missing());
    EXPECT_EQ(made.error(), NotFound);
}

TEST(ErrorText, CatalogMessagesForKnownCodesAndUnknownText) {
    const std::wstring unknown = toString(static_cast<error_t>(1000));
    EXPECT_NE(unknown, L"%Unknown");  // the built-in catalog has a text for it
    for (unsigned code : {13u, 14u, 17u, 18u, 19u, 20u, 21u, 1000u, 0xFFFFFFFFu})
        EXPECT_EQ(toString(static_cast<error_t>(code)), unknown) << code;

    std::set<std::wstring> texts;
    for (unsigned code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 15u, 16u}) {
        const wchar_t* text = toString(static_cast<error_t>(code));
        ASSERT_NE(text, nullptr);
        EXPECT_NE(text[0], L'%') << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), 15u) << "every known code has a text of its own";
    EXPECT_EQ(texts.count(unknown), 0u);
}

TEST(ErrorText, WithoutCatalogTheKeyIsReturned) {
    EXPECT_EQ(runInChild([] {
                  ASSERT_TRUE(propstore2::removeMessageCatalog("talvo2"));
                  EXPECT_STREQ(toString(NotFound), L"%NotFound");
                  EXPECT_STREQ(toString(OK), L"%OK");
                  EXPECT_STREQ(toString(AccessDenied), L"%Unknown");
                  EXPECT_STREQ(toString(static_cast<error_t>(1000)), L"%Unknown");
              }),
              0);
}

TEST(ErrorText, TextsStayValidWhileOtherThreadsRenderAndCatalogsChange) {
    const wchar_t* kept = toString(NotFound);
    const std::wstring copy = kept;
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &bad] {
            for (int i = 0; i < 500; ++i) {
                const auto code = static_cast<error_t>((i + t) % 17);
                const wchar_t* text = toString(code);
                if (!text || std::wcslen(text) == 0) ++bad[t];
            }
        });
    }
    // Replacing the catalog while others render must not disturb texts handed out earlier.
    auto replacement = std::make_shared<ulib_2_18::message_catalog_t>("talvo2");
    replacement->add("%NotFound", L"nothing there");
    propstore2::registerMessageCatalog(replacement);
    for (auto& thread : threads) thread.join();
    for (int count : bad) EXPECT_EQ(count, 0);
    EXPECT_EQ(std::wstring(kept), copy);
    EXPECT_STREQ(toString(NotFound), L"nothing there");
    EXPECT_STREQ(toString(OK), L"%OK");  // the replacement lacks it, so its key shows
}

}  // namespace
}  // namespace talvo2
