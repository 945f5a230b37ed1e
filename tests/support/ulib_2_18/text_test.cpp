#include <gtest/gtest.h>

#include "ulib_2_18/message_catalog.hpp"

using ulib_2_18::from_utf8;
using ulib_2_18::to_utf8;

TEST(TextTest, Utf8ConvertsBothWaysAndUpperCasesUnderTheCLocale) {
    const std::wstring wide = L"a\u0080\u00e9\u07ff\u0800\u7d50\uffff\U0001F600\U0010FFFF";
    const std::string narrow =
        "a\xc2\x80\xc3\xa9\xdf\xbf\xe0\xa0\x80\xe7\xb5\x90\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f\xbf"
        "\xbf";
    EXPECT_EQ(to_utf8(wide), narrow);
    EXPECT_EQ(from_utf8(narrow), wide);
    EXPECT_EQ(from_utf8(to_utf8(std::wstring(L"a\0b", 3))), std::wstring(L"a\0b", 3));
    // What UTF-8 cannot carry becomes U+FFFD, one per code unit.
    const std::wstring unencodable = {L'x', static_cast<wchar_t>(0xD800),
                                      static_cast<wchar_t>(0xDFFF), static_cast<wchar_t>(0x110000),
                                      static_cast<wchar_t>(-1)};
    EXPECT_EQ(to_utf8(unencodable), "x\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    const std::pair<std::string, std::wstring> invalid[] = {
        {"\x80", L"\uFFFD"},
        {"\xff", L"\uFFFD"},
        {"\xc0\xaf", L"\uFFFD\uFFFD"},                      // overlong
        {"\xe0\x80\xaf", L"\uFFFD\uFFFD\uFFFD"},            // overlong
        {"\xed\xa0\x80", L"\uFFFD\uFFFD\uFFFD"},            // surrogate
        {"\xf4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xe7\xb5", L"\uFFFD"},                            // truncated at the end
        {"\xf0\x9f\x98x\xc3", L"\uFFFDx\uFFFD"},
        {"a\xc3\xa9\xa9", L"a\u00e9\uFFFD"},
    };
    for (const auto& [bytes, expected] : invalid)
        EXPECT_EQ(from_utf8(bytes), expected) << ::testing::PrintToString(bytes);

    EXPECT_EQ(ulib_2_18::to_upper(L"abc\u00e9\u00ff\u0101\u03b1\u0436z1-\u7d50"),
              L"ABC\u00c9\u0178\u0100\u0391\u0416Z1-\u7d50");
    EXPECT_TRUE(ulib_2_18::equals_no_case(L"R\u00e9sultats", L"r\u00c9SULTATS"));
    EXPECT_FALSE(ulib_2_18::equals_no_case(L"r\u00e9sultat", L"r\u00e9sultats"));
    EXPECT_FALSE(ulib_2_18::equals_no_case(L"e", L"\u00e9"));
}

TEST(MessageCatalogTest, PlaceholdersAndMissingKeys) {
    const ulib_2_18::message_t message(L"%1 of %2 (100%%) %3 %");
    EXPECT_EQ(message.as_ustring({L"3", L"7"}), L"3 of 7 (100%) %3 %");
    EXPECT_EQ(message.as_ustring(), L"%1 of %2 (100%) %3 %");
    // Arguments are inserted as they are, never expanded again.
    EXPECT_EQ(ulib_2_18::message_t(L"%1%2 %%1").as_ustring({L"%2", L"x"}), L"%2x %1");

    ulib_2_18::message_catalog_t catalog("test");
    catalog.add("%Key", L"Value %1");
    EXPECT_TRUE(catalog.contains("%Key"));
    EXPECT_EQ(catalog.message("%Key").as_ustring({L"v"}), L"Value v");
    catalog.add("%Key", L"Other");
    EXPECT_EQ(catalog.message("%Key").text(), L"Other");
    EXPECT_FALSE(catalog.contains("%Missing"));
    EXPECT_EQ(catalog.message("%Missing").text(), L"%Missing");
    EXPECT_EQ(catalog.message("cl\xc3\xa9").as_ustring({L"x"}), L"cl\u00e9");
}
