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

using test::lastError;

// Every thread starts with OK and keeps its own code whatever the others store meanwhile.
TEST(LastError, IsPerThreadAndStartsAsOk) {
    EXPECT_EQ(lastError(), OK);
    LastError(NotFound).store();
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &mismatches] {
            mismatches[t] += lastError() != OK;
            const auto mine = static_cast<error_t>(t + 1);
            for (int i = 0; i < 2000; ++i) {
                LastError(mine).store();
                std::this_thread::yield();
                mismatches[t] += lastError() != mine;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int count : mismatches) EXPECT_EQ(count, 0);
    EXPECT_EQ(lastError(), NotFound);
}

// The boundary of every exported operation: the answer's code becomes the last error, a kept one
// leaves it, and an exception becomes OperationFailed with the failure value.
TEST(LastError, TheBoundaryWritesItOnceAndStopsExceptions) {
    LastError(NotFound).store();
    EXPECT_EQ(exported(0, []() -> Reply<int> { return {1, LastError::kept()}; }), 1);
    EXPECT_EQ(lastError(), NotFound);
    EXPECT_EQ(exported(0, []() -> Reply<int> { return {2, AlreadyExists}; }), 2);
    EXPECT_EQ(lastError(), AlreadyExists);
    EXPECT_EQ(exported(7, []() -> Reply<int> { throw std::bad_alloc(); }), 7);
    EXPECT_EQ(lastError(), OperationFailed);
    LastError(OK).store();
    exportedVoid([]() -> LastError { throw std::runtime_error("escaping"); });
    EXPECT_EQ(lastError(), OperationFailed);
}

TEST(LastError, SystemAnswersMapToCodes) {
    // clang-format off
    const struct {
        int number;
        error_t general, lock;
    } cases[] = {
        {0, OK, OK}, {EACCES, InsufficientPermissions, AccessDenied},
        {EROFS, InsufficientPermissions, AccessDenied}, {EPERM, OperationFailed, AccessDenied},
        {ENOENT, NotFound, FileError}, {EEXIST, AlreadyExists, AlreadyExists},
        {EAGAIN, OperationFailed, FileLocked}, {ENOSPC, OperationFailed, FileError}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(platform::Status::fromSystem(c.number).error(), c.general) << c.number;
        EXPECT_EQ(platform::Status::fromSystem(c.number).lockError(), c.lock) << c.number;
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
    EXPECT_EQ(test::runInChild([] {
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
                const wchar_t* text = toString(static_cast<error_t>((i + t) % 17));
                bad[t] += !text || std::wcslen(text) == 0;
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
