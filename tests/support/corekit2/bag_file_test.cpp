#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>

#include "corekit2/bag_file.hpp"
#include "ulib_2_18/text.hpp"
#include "util/test_util.hpp"

namespace fs = boost::filesystem;
using namespace corekit2;
using namespace talvo2::test;

namespace {

// What a failed load must leave as it was.
variant_bag_t targetBag() {
    variant_bag_t bag;
    bag.put(L"existing", variant_t(L"value"));
    bag.put(L"section", bag);
    return bag;
}

}  // namespace

// Typed reads never convert; bags keep values and sub-bags apart and copy deeply.
TEST(VariantTest, TypedReadsKeySpacesCopiesAndMoves) {
    const wchar_t* none = nullptr;
    const std::pair<variant_t, variant_type_t> kinds[] = {
        {variant_t(), VT_EMPTY},  {none, VT_EMPTY},        {int32_t{-5}, VT_INT32},
        {uint32_t{5}, VT_UINT32}, {int64_t{-5}, VT_INT64}, {-5LL, VT_INT64},
        {uint64_t{5}, VT_UINT64}, {5ULL, VT_UINT64},       {0.5, VT_DOUBLE},
        {false, VT_BOOL},         {L"text", VT_WSTRING},   {std::wstring(), VT_WSTRING}};
    for (const auto& [value, type] : kinds) {
        EXPECT_EQ(value.type(), type);
        EXPECT_EQ(value.get_int32(42), type == VT_INT32 ? -5 : 42) << type;
        EXPECT_EQ(value.get_int64(42), type == VT_INT64 ? -5 : 42) << type;
        EXPECT_EQ(value.get_wstr() != nullptr, type == VT_WSTRING) << type;
    }
    EXPECT_EQ(variant_t(int32_t{1}).get_wstring(L"fallback"), L"fallback");

    // A string given with its length stops at a NUL within it and never reads past the length:
    // here an unterminated one right before an inaccessible page.
    EXPECT_EQ(variant_t(L"ab\0cd", 6 * sizeof(wchar_t)).get_wstring(), L"ab");
    const long page = ::sysconf(_SC_PAGESIZE);
    auto* area = static_cast<char*>(
        ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(::mprotect(area + page, page, PROT_NONE), 0);
    auto* tail = reinterpret_cast<wchar_t*>(area + page) - 4;
    std::wstring(L"wxyz").copy(tail, 4);
    EXPECT_EQ(variant_t(tail, 4 * sizeof(wchar_t)).get_wstring(), L"wxy");
    EXPECT_EQ(variant_t(tail + 3, sizeof(wchar_t)).get_wstring(), L"");

    variant_bag_t bag;
    bag.put(L"k", variant_t(int32_t{1}));
    bag.put(L"k", variant_bag_t())->put(L"x", variant_t(L"y"));
    EXPECT_EQ(bag.get_variant(L"missing", variant_t(L"d")).get_wstring(), L"d");
    // Storing an entry of the bag elsewhere in it, or over itself, must copy before replacing.
    bag.put(L"copy", *bag.get<variant_t>(L"k"));
    bag.put(L"k", *bag.get<variant_bag_t>(L"k"));
    bag.put(L"k", bag);
    EXPECT_EQ(bag.get<variant_bag_t>(L"k")->get<variant_bag_t>(L"k")->get_variant(L"x"),
              variant_t(L"y"));
    EXPECT_EQ((std::vector<bool>{bag.remove<variant_t>(L"k"), bag.remove<variant_t>(L"k"),
                                 bag.has<variant_bag_t>(L"k"), bag.remove<variant_bag_t>(L"k"),
                                 bag.remove<variant_bag_t>(L"k")}),
              (std::vector<bool>{true, false, true, true, false}));
    EXPECT_EQ(bag.keys<variant_t>(), std::vector<std::wstring>{L"copy"});
    for (const wchar_t* key : {L"b", L"\u00e9", L"a", L"B", L""}) bag.put(key, variant_bag_t());
    EXPECT_EQ(bag.keys<variant_bag_t>(),
              (std::vector<std::wstring>{L"", L"B", L"a", L"b", L"\u00e9"}));
    bag.clear();
    EXPECT_TRUE(bag.empty()) << "values and bags both go";

    variant_bag_t original;
    original.put(L"s", variant_bag_t())->put(L"x", variant_t(1.5));
    variant_bag_t copy(original);
    copy.get<variant_bag_t>(L"s")->put(L"x", variant_t(2.5));
    EXPECT_TRUE(copy != original);
    variant_bag_t moved(std::move(copy));
    EXPECT_TRUE(copy.empty() && !moved.empty());  // moved from: empty, usable; a sub-bag counts
    original = std::move(moved);
    EXPECT_EQ(original.get<variant_bag_t>(L"s")->get_variant(L"x").get_double(), 2.5);
    EXPECT_TRUE(moved.empty());
}

// What saving accepts loads back equal; merging replaces entries of the same key and kind whole.
TEST(BagFileTest, ValuesKeysNestingAndRootsRoundTripAndMerge) {
    TempDir dir;
    const variant_t values[] = {
        INT32_MIN, -1,        UINT32_MAX,   INT64_MIN,   INT64_MAX,     UINT64_MAX,
        0.1,       -2.5e-308, DBL_TRUE_MIN, DBL_MAX,     HUGE_VAL,      -HUGE_VAL,
        -0.0,      true,      false,        variant_t(), std::wstring()};
    // clang-format off
    const std::wstring texts[] = {
        L"", L"  leading and trailing  ", L"\t\x01\x1f\x7f", L"\r\n", L"<&\">']]>",
        std::wstring(L"nul\0inside", 10), L"r\u00e9sultats", L"\u7d50\u679c", L"\U0001F600",
        L"\xD800", L"x\xDFFF\xFFFE"};
    // clang-format on
    variant_bag_t bag, fromFile, fromString, target = targetBag();
    for (const variant_t& v : values) bag.put(std::to_wstring(bag.keys<variant_t>().size()), v);
    bag.put(L"empty bag", variant_bag_t());
    for (const std::wstring& text : texts) {
        bag.put(text, variant_t(text));
        bag.put(text, variant_bag_t())->put(text, variant_t(text));
    }
    // As deep as loading accepts; one level more is refused when saving.
    variant_bag_t* level = &bag;
    for (int i = 0; i < 256; ++i) level = level->put(L"level", variant_bag_t());
    level->put(L"bottom", variant_t(int32_t{256}));
    // A name near the file system's limit: the temporary name beside it must be a shortened one.
    const std::wstring file = dir.wide(std::wstring(250, L'n'));
    ASSERT_EQ(save_variant_bag2(bag, file.c_str(), "_r-1.b"), BAG_OK);
    ASSERT_EQ(load_variant_bag(fromFile, file.c_str(), ""), BAG_OK);  // any root
    EXPECT_TRUE(fromFile == bag);
    variant_t text;
    ASSERT_EQ(save_variant_bag_to_string(bag, &text), BAG_OK);
    ASSERT_EQ(load_variant_bag_from_string(fromString, text), BAG_OK);
    EXPECT_TRUE(fromString == bag);
    EXPECT_TRUE(std::signbit(fromString.get_variant(L"12").get_double(1.0)));  // -0.0 kept its sign

    EXPECT_EQ(load_variant_bag2(target, file.c_str(), "other", true), BAG_E_FORMAT);
    EXPECT_EQ(load_variant_bag_from_string(target, variant_t(int32_t{1})), BAG_E_ARGUMENT);
    EXPECT_TRUE(target == targetBag());
    target.put(L"0", variant_t(L"old"));
    target.put(L"0", variant_bag_t());
    target.put(L"empty bag", variant_bag_t())->put(L"y", variant_t(true));
    ASSERT_EQ(load_variant_bag2(target, file.c_str(), "_r-1.b", true), BAG_OK);
    EXPECT_EQ(target.get_variant(L"0"), variant_t(INT32_MIN));
    EXPECT_TRUE(target.has<variant_bag_t>(L"0"));
    EXPECT_TRUE(target.get<variant_bag_t>(L"empty bag")->empty());
    EXPECT_EQ(target.get_variant(L"existing").get_wstring(), L"value");
    ASSERT_EQ(load_variant_bag2(target, file.c_str(), nullptr, false), BAG_OK);
    EXPECT_TRUE(target == bag);

    for (const char* root : {"", static_cast<const char*>(nullptr), "1st", "a b"})
        EXPECT_EQ(save_variant_bag2(bag, dir.wide(L"bad.bag").c_str(), root), BAG_E_ARGUMENT);
    EXPECT_EQ(save_variant_bag_to_string(bag, nullptr), BAG_E_ARGUMENT);
    level->put(L"level", variant_bag_t());
    EXPECT_EQ(save_variant_bag(bag, dir.wide(L"deep.bag").c_str()), BAG_E_ARGUMENT);
    EXPECT_EQ(save_variant_bag_to_string(bag, &text), BAG_E_ARGUMENT);
    EXPECT_FALSE(fs::exists(dir.path() / "deep.bag"));
}

// Non-bags (huge, deep, malformed, text beside the root) are refused, each for its own reason.
TEST(BagFileTest, HostileFilesAreRefusedWithoutBlockingAndLeaveTheBagAlone) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir.path() / "directory");
    writeFile(dir.path() / "huge.bag", "");
    fs::resize_file(dir.path() / "huge.bag", (64u << 20) + 1);
    const auto doc = [](const std::string& b) { return "<variant_bag>" + b + "</variant_bag>"; };
    std::string deep, many;
    for (int i = 0; i < 10000; ++i) deep += "<bag key=\"a\">";
    for (int i = 0; i < 10000; ++i) deep += "</bag>";
    // Flat but huge: more markup than any bag, refused before it is parsed into memory.
    for (int i = 0; i < 300000; ++i) many += "<!---->";
    const auto value = [&](const std::string& v) { return doc("<value key=\"a\" " + v + "/>"); };
    // clang-format off
    const std::pair<const wchar_t*, int> files[] = {{L"missing", BAG_E_OPEN},
        {L"huge.bag/x", BAG_E_OPEN}, {L"fifo", BAG_E_OPEN}, {L"directory", BAG_E_OPEN},
        {L"huge.bag", BAG_E_READ}};
    const std::pair<int, std::vector<std::string>> contents[] = {
        {BAG_E_PARSE, {"", "<variant_bag><bag key=\"s\">", "not a bag\n", doc("") + "trailing text",
            doc(R"(<bag key="s"/>)") + "<variant_bag/>", std::string("\0\xff\xfe\x89PNG\r\n\x1a\n", 10),
            "<!-- only a comment -->"}},
        {BAG_E_FORMAT, {doc(deep), doc(many),
            doc(R"(<other key="a"/>)"), doc(R"(<value type="int32" data="1"/>)"),
            doc(R"(<bag key="s"/><bag key="s"/>)"), doc(R"(<bag key="s"/>stray<bag key="t"/>)"),
            value(R"(type="float" data="1")"), value(R"(type="float")"), value(R"(type="double")"),
            value(R"(type="int64" data="12x")"), value(R"(type="bool" data="yes")"),
            value(R"(type="uint32" data="-1")"), value(R"(type="int32" data="4294967296")"),
            doc(R"(<value key="a" type="empty"/><value key="a" type="empty"/>)")}}};
    // clang-format on
    const std::wstring hostile = dir.wide(L"hostile.bag");
    EXPECT_EQ(runInChild([&] {
                  ::alarm(30);  // a blocking open kills the child instead of hanging the test
                  variant_bag_t target = targetBag();
                  for (const auto& [name, code] : files)
                      EXPECT_EQ(load_variant_bag(target, dir.wide(name).c_str(), ""), code) << name;
                  for (const auto& [code, cases] : contents) {
                      for (const std::string& content : cases) {
                          SCOPED_TRACE(::testing::PrintToString(content.substr(0, 80)));
                          writeFile(dir.path() / "hostile.bag", content);
                          EXPECT_EQ(load_variant_bag(target, hostile.c_str(), nullptr), code);
                          const variant_t text(ulib_2_18::from_utf8(content));
                          EXPECT_NE(load_variant_bag_from_string(target, text), BAG_OK);
                      }
                  }
                  EXPECT_EQ(load_variant_bag(target, nullptr, nullptr), BAG_E_ARGUMENT);
                  EXPECT_EQ(load_variant_bag(target, L"", nullptr), BAG_E_ARGUMENT);
                  EXPECT_EQ(save_variant_bag(target, nullptr), BAG_E_ARGUMENT);
                  EXPECT_TRUE(target == targetBag());
              }),
              0);
}

// Saving writes aside and renames: the file keeps its mode and owner, a link to it stays a link.
TEST(BagFileTest, SaveReplacesTheFileAtomically) {
    TempDir dir;
    const fs::path locked = dir.path() / "locked", data = locked / "data.bag";
    fs::create_directories(locked / "occupied" / "content");
    const std::wstring file = dir.wide(L"locked/data.bag");
    variant_bag_t oldBag = targetBag(), newBag, loaded;
    newBag.put(L"v", variant_t(std::wstring(100000, L'x')));
    ASSERT_EQ(save_variant_bag(newBag, file.c_str()), BAG_OK);
    const auto privateMode = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(data, privateMode);
    fs::create_symlink("locked/data.bag", dir.path() / "link.bag");
    ASSERT_EQ(save_variant_bag(oldBag, dir.wide(L"link.bag").c_str()), BAG_OK);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "link.bag"));
    ASSERT_EQ(load_variant_bag(loaded, file.c_str(), kDefaultBagRoot), BAG_OK);
    EXPECT_TRUE(loaded == oldBag);
    EXPECT_EQ(fs::status(data).permissions(), privateMode);
    const std::string before = readFile(data);

    // A failed save (rename over a directory, file size limit, no right) leaves no trace.
    EXPECT_EQ(save_variant_bag(newBag, dir.wide(L"locked/occupied").c_str()), BAG_E_WRITE);
    EXPECT_EQ(runInChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{4096, 4096};
                  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
                  EXPECT_EQ(save_variant_bag(newBag, file.c_str()), BAG_E_WRITE);
              }),
              0);
    fs::permissions(locked, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    const int status =
        runUnprivileged([&] { EXPECT_EQ(save_variant_bag(newBag, file.c_str()), BAG_E_WRITE); });
    EXPECT_EQ(readFile(data), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), fs::directory_iterator()), 2)
        << "a temporary file was left";
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);

    // Root saving over a user's file leaves it that user's.
    ASSERT_EQ(::chown(data.c_str(), kUnprivilegedId, kUnprivilegedId), 0);
    ASSERT_EQ(save_variant_bag(newBag, file.c_str()), BAG_OK);
    struct stat info {};
    ASSERT_EQ(::stat(data.c_str(), &info), 0);
    EXPECT_EQ(std::make_pair(info.st_uid, info.st_gid),
              std::make_pair(kUnprivilegedId, kUnprivilegedId));
}
