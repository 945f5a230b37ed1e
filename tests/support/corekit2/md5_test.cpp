#include <gtest/gtest.h>
#include <sys/stat.h>

#include "corekit2/md5.hpp"
#include "util/test_util.hpp"

using corekit2::md5_t;

namespace {

std::wstring digestOf(const std::string& data) {
    md5_t md5;
    EXPECT_TRUE(md5.update(data.data(), data.size()));
    return md5.get_digest_base16();
}

const wchar_t* const kAbc = L"900150983cd24fb0d6963f7d28e17f72";

}  // namespace

TEST(Md5Test, KnownVectorsAndContinuedUpdates) {
    EXPECT_EQ(digestOf(""), L"d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digestOf("abc"), kAbc);
    EXPECT_EQ(digestOf("The quick brown fox jumps over the lazy dog"),
              L"9e107d9d372bb6826bd81d3542a419d6");
    md5_t md5;
    EXPECT_TRUE(md5.update("a", 1));
    EXPECT_EQ(md5.get_digest_base16(), md5.get_digest_base16());
    EXPECT_TRUE(md5.update("bc", 2));
    EXPECT_EQ(md5.get_digest_base16(), kAbc);
}

TEST(Md5Test, FileDigestStopsAtTheLimit) {
    talvo2::test::TempDir dir;
    std::string content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>(i * 7 % 251);
    talvo2::test::writeFile(dir.path() / "long", content);
    talvo2::test::writeFile(dir.path() / "short", content.substr(0, 1000));
    for (std::size_t limit : {4096, 5000, 0}) {
        md5_t md5;
        EXPECT_TRUE(md5.update_from_file(dir.wide(L"long"), limit));
        EXPECT_EQ(md5.get_digest_base16(), digestOf(content.substr(0, limit))) << limit;
    }
    md5_t whole;
    EXPECT_TRUE(whole.update_from_file(dir.wide(L"short"), 4096));
    EXPECT_EQ(whole.get_digest_base16(), digestOf(content.substr(0, 1000)));

    md5_t md5;  // a failed read keeps what was added before
    EXPECT_TRUE(md5.update("abc", 3));
    EXPECT_FALSE(md5.update_from_file(dir.wide(L"missing"), 4096));
    EXPECT_FALSE(md5.update_from_file(dir.wide(), 4096));
    // A named pipe without a writer would block a plain open forever.
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(md5.update_from_file(dir.wide(L"fifo"), 4096));
    EXPECT_EQ(md5.get_digest_base16(), kAbc);
}
