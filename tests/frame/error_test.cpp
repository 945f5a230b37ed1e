#include <cerrno>
#include <cwchar>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "frame/boundary.hpp"
#include "platform/status.hpp"
#include "propstore2/message_catalogs.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using test::lastError;

// The boundary of every exported operation writes the calling thread's last error (a thread
// starts with OK): the answer's code, nothing for a kept one, OperationFailed for an exception.
TEST(LastError, TheBoundaryWritesItOnceAndStopsExceptions) {
    LastError(NotFound).store();
    std::thread([] {
        EXPECT_EQ(lastError(), OK);
        EXPECT_EQ(exported(0, []() -> Reply<int> { return {2, AlreadyExists}; }), 2);
        EXPECT_EQ(lastError(), AlreadyExists);
    }).join();
    EXPECT_EQ(exported(0, []() -> Reply<int> { return {1, LastError::kept()}; }), 1);
    EXPECT_EQ(lastError(), NotFound);
    EXPECT_EQ(exported(7, []() -> Reply<int> { throw std::bad_alloc(); }), 7);
    EXPECT_EQ(lastError(), OperationFailed);
    LastError(OK).store();
    exportedVoid([]() -> LastError { throw std::runtime_error("escaping"); });
    EXPECT_EQ(lastError(), OperationFailed);
}

TEST(LastError, SystemAnswersMapToCodes) {
    // errno: the general answer and the answer for lock files.
    // clang-format off
    const std::tuple<int, error_t, error_t> cases[] = {
        {0, OK, OK}, {EACCES, InsufficientPermissions, AccessDenied},
        {EROFS, InsufficientPermissions, AccessDenied}, {EPERM, OperationFailed, AccessDenied},
        {ENOENT, NotFound, FileError}, {EEXIST, AlreadyExists, AlreadyExists},
        {EAGAIN, OperationFailed, FileLocked}, {ENOSPC, OperationFailed, FileError}};
    // clang-format on
    for (const auto& [number, general, lock] : cases) {
        const platform::Status status = platform::Status::fromSystem(number);
        EXPECT_EQ(std::make_pair(status.error(), status.lockError()), std::make_pair(general, lock))
            << number;
    }
}

TEST(ErrorText, CatalogMessagesForKnownCodesAndUnknownText) {
    const std::wstring unknown = toString(static_cast<error_t>(1000));
    for (unsigned code : {13u, 14u, 17u, 18u, 19u, 20u, 21u, 0xFFFFFFFFu})
        EXPECT_EQ(toString(static_cast<error_t>(code)), unknown) << code;
    // Every known code, and the unknown text, has a catalog text of its own, not a bare key.
    std::set<std::wstring> texts;
    for (unsigned code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 15u, 16u, 1000u}) {
        const std::wstring text = toString(static_cast<error_t>(code));
        EXPECT_NE(text.substr(0, 1), L"%") << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), 16u);
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

// Replacing the catalog while others render must not disturb texts handed out earlier.
TEST(ErrorText, TextsStayValidWhileOtherThreadsRenderAndCatalogsChange) {
    const wchar_t* kept = toString(NotFound);
    const std::wstring copy = kept;
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &bad] {
            for (int i = 0; i < 500; ++i)
                bad[t] += std::wcslen(toString(static_cast<error_t>((i + t) % 17))) == 0;
        });
    auto replacement = std::make_shared<ulib_2_18::message_catalog_t>("talvo2");
    replacement->add("%NotFound", L"nothing there");
    propstore2::registerMessageCatalog(replacement);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
    EXPECT_EQ(std::wstring(kept), copy);
    EXPECT_STREQ(toString(NotFound), L"nothing there");
    EXPECT_STREQ(toString(OK), L"%OK");  // the replacement lacks it, so its key shows
}

}  // namespace
}  // namespace talvo2
