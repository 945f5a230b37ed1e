#include <gtest/gtest.h>

#include "ulib_2_18/message_catalog.hpp"

using namespace std::string_literals;
using ulib_2_18::from_utf8;
using ulib_2_18::to_utf8;

TEST(TextTest, Utf8ConvertsBothWaysAndUpperCasesUnderTheCLocale) {
    const std::wstring wide = L"a\0\u0080\u00e9\u07ff\u0800\u7d50\uffff\U0001F600\U0010FFFF"s;
    const std::string narrow =
        "a\0\xc2\x80\xc3\xa9\xdf\xbf\xe0\xa0\x80\xe7\xb5\x90\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f"
        "\xbf\xbf"s;
    EXPECT_EQ(to_utf8(wide), narrow);
    EXPECT_EQ(from_utf8(narrow), wide);
    // What UTF-8 cannot carry (surrogates, values past U+10FFFF) becomes U+FFFD, one per unit.
    EXPECT_EQ(to_utf8(L"x\xD800\xDFFF\x110000\xFFFFFFFF"),
              "x\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    // Stray bytes, overlong forms, surrogates, values past U+10FFFF, interrupted and truncated
    // sequences (between bars): one U+FFFD for each stray byte or broken sequence.
    EXPECT_EQ(from_utf8("\x80|\xc0\xaf|\xe0\x80\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|"
                        "\xf0\x9f\x98x\xc3|a\xc3\xa9\xa9|\xe7\xb5"),
              L"\uFFFD|\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD\uFFFD|"
              L"\uFFFDx\uFFFD|a\u00e9\uFFFD|\uFFFD");

    EXPECT_EQ(ulib_2_18::to_upper(L"abc\u00e9\u00ff\u0101\u03b1\u0436z1-\u7d50"),
              L"ABC\u00c9\u0178\u0100\u0391\u0416Z1-\u7d50");
    EXPECT_TRUE(ulib_2_18::equals_no_case(L"R\u00e9sultats", L"r\u00c9SULTATS"));
    EXPECT_FALSE(ulib_2_18::equals_no_case(L"e", L"\u00e9"));
}

TEST(MessageCatalogTest, PlaceholdersAndMissingKeys) {
    const ulib_2_18::message_t message(L"%1 of %2 (100%%) %3 %");
    EXPECT_EQ(message.as_ustring({L"3", L"7"}), L"3 of 7 (100%) %3 %");
    // Arguments are inserted as they are, never expanded again.
    EXPECT_EQ(ulib_2_18::message_t(L"%1%2 %%1").as_ustring({L"%2", L"x"}), L"%2x %1");

    ulib_2_18::message_catalog_t catalog("test");
    catalog.add("%Key", L"Value %1");
    catalog.add("%Key", L"Other");
    EXPECT_TRUE(catalog.contains("%Key"));
    EXPECT_EQ(catalog.message("%Key").text(), L"Other");
    // A missing key stands for its message, decoded from UTF-8.
    EXPECT_FALSE(catalog.contains("cl\xc3\xa9"));
    EXPECT_EQ(catalog.message("cl\xc3\xa9").text(), L"cl\u00e9");
}
