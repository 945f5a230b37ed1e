#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cwchar>

#include "corekit2/variant_bag.hpp"

using namespace corekit2;

TEST(VariantTest, TypedReadsNeverConvertBetweenTypes) {
    const std::pair<variant_t, variant_type_t> kinds[] = {
        {variant_t(), VT_EMPTY},
        {variant_t(int32_t{-5}), VT_INT32},
        {variant_t(uint32_t{5}), VT_UINT32},
        {variant_t(int64_t{-5}), VT_INT64},
        {variant_t(uint64_t{5}), VT_UINT64},
        {variant_t(0.5), VT_DOUBLE},
        {variant_t(false), VT_BOOL},
        {variant_t(L"text"), VT_WSTRING},
        {variant_t(std::wstring(L"text")), VT_WSTRING}};
    for (const auto& [value, type] : kinds) EXPECT_EQ(value.type(), type);
    EXPECT_EQ(variant_t(int64_t{7}).get_int32(42), 42);
    EXPECT_EQ(variant_t(int64_t{7}).get_int64(42), 7);
    EXPECT_EQ(variant_t(uint32_t{7}).get_int32(-1), -1);
    EXPECT_EQ(variant_t(true).get_int32(9), 9);
    EXPECT_EQ(variant_t(int32_t{1}).get_wstring(L"fallback"), L"fallback");
    const variant_t number(int32_t{1});
    EXPECT_EQ(number.get_wstr(), nullptr);
    EXPECT_NE(variant_t(int32_t{1}), variant_t(int64_t{1}));
}

TEST(VariantTest, StringConstructorsStayWithinTheirInput) {
    const wchar_t* none = nullptr;
    EXPECT_TRUE(variant_t(none).empty());
    const wchar_t embedded[] = L"ab\0cd";
    EXPECT_EQ(variant_t(embedded, sizeof embedded).get_wstring(), L"ab");
    // An unterminated string right before an inaccessible page: reading past its length faults.
    const long page = ::sysconf(_SC_PAGESIZE);
    void* area =
        ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(::mprotect(static_cast<char*>(area) + page, page, PROT_NONE), 0);
    auto* tail = reinterpret_cast<wchar_t*>(static_cast<char*>(area) + page) - 4;
    std::wmemcpy(tail, L"wxyz", 4);
    EXPECT_EQ(variant_t(tail, 4 * sizeof(wchar_t)).get_wstring(), L"wxy");
    EXPECT_EQ(variant_t(tail + 3, sizeof(wchar_t)).get_wstring(), L"");
    ::munmap(area, 2 * page);
}

TEST(VariantBagTest, ValuesAndSubBagsHaveSeparateKeySpaces) {
    variant_bag_t bag;
    EXPECT_EQ(bag.get<variant_t>(L"k"), nullptr);
    EXPECT_EQ(bag.get<variant_bag_t>(L"k"), nullptr);
    bag.put(L"k", variant_t(int32_t{1}));
    EXPECT_FALSE(bag.has<variant_bag_t>(L"k"));
    bag.put(L"k", variant_bag_t())->put(L"x", variant_t(L"y"));
    EXPECT_EQ(bag.get_variant(L"k").get_int32(), 1);
    EXPECT_EQ(bag.get_variant(L"missing", variant_t(L"d")).get_wstring(), L"d");
    // Storing an entry of the bag elsewhere in it, or over itself, must copy before replacing.
    bag.put(L"copy", *bag.get<variant_t>(L"k"));
    bag.put(L"k", *bag.get<variant_bag_t>(L"k"));
    bag.put(L"k", bag);
    EXPECT_EQ(bag.get<variant_bag_t>(L"k")->get<variant_bag_t>(L"k")->get_variant(L"x"),
              variant_t(L"y"));
    EXPECT_TRUE(bag.remove<variant_t>(L"k"));
    EXPECT_FALSE(bag.remove<variant_t>(L"k"));
    EXPECT_TRUE(bag.has<variant_bag_t>(L"k"));
    EXPECT_TRUE(bag.remove<variant_bag_t>(L"k"));
    EXPECT_FALSE(bag.remove<variant_bag_t>(L"k"));
    EXPECT_EQ(bag.keys<variant_t>(), std::vector<std::wstring>{L"copy"});

    for (const wchar_t* key : {L"b", L"\u00e9", L"a", L"B", L""}) bag.put(key, variant_bag_t());
    EXPECT_EQ(bag.keys<variant_bag_t>(),
              (std::vector<std::wstring>{L"", L"B", L"a", L"b", L"\u00e9"}));
}

TEST(VariantBagTest, CopiesAreDeepAndMovesLeaveAnEmptyUsableBag) {
    variant_bag_t original;
    original.put(L"s", variant_bag_t())->put(L"x", variant_t(1.5));
    variant_bag_t copy(original);
    EXPECT_TRUE(copy == original);
    copy.get<variant_bag_t>(L"s")->put(L"x", variant_t(2.5));
    EXPECT_EQ(original.get<variant_bag_t>(L"s")->get_variant(L"x").get_double(), 1.5);
    EXPECT_TRUE(copy != original);

    variant_bag_t moved(std::move(copy));
    EXPECT_TRUE(copy.empty());
    copy.put(L"again", variant_t(true));
    EXPECT_TRUE(copy.has<variant_t>(L"again"));
    original = std::move(moved);
    EXPECT_EQ(original.get<variant_bag_t>(L"s")->get_variant(L"x").get_double(), 2.5);
    EXPECT_TRUE(moved.empty());

    variant_bag_t a, b;
    a.put(L"n", variant_t(int32_t{1}));
    b.put(L"n", variant_t(int64_t{1}));
    EXPECT_TRUE(a != b);
    b.clear();
    b.put(L"n", variant_bag_t());
    EXPECT_TRUE(a != b);
}
