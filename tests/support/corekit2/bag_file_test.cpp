#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cwchar>
#include <limits>
#include <set>

#include "corekit2/bag_file.hpp"
#include "ulib_2_18/text.hpp"
#include "util/test_util.hpp"

namespace fs = boost::filesystem;
using namespace corekit2;
using talvo2::test::readFile;
using talvo2::test::runInChild;
using talvo2::test::TempDir;

namespace {

bool isFailure(int status) {
    return status != BAG_OK && (status & BAG_FAILURE) != 0;
}

// Checks that `bag` comes back unchanged through a file and through the string form. The name is
// near the file system's limit, so the temporary name beside it must be a shortened one.
void expectRoundTrip(const variant_bag_t& bag, const TempDir& dir) {
    const std::wstring file = dir.wide(std::wstring(250, L'n'));
    variant_bag_t fromFile, fromString;
    variant_t text;
    ASSERT_EQ(save_variant_bag(bag, file.c_str()), BAG_OK);
    ASSERT_EQ(load_variant_bag(fromFile, file.c_str(), kDefaultBagRoot), BAG_OK);
    EXPECT_TRUE(fromFile == bag);
    ASSERT_EQ(save_variant_bag_to_string(bag, &text), BAG_OK);
    ASSERT_EQ(load_variant_bag_from_string(fromString, text), BAG_OK);
    EXPECT_TRUE(fromString == bag);
}

variant_bag_t targetBag() {
    variant_bag_t bag;
    bag.put(L"existing", variant_t(L"value"));
    bag.put(L"section", bag);
    return bag;
}

}  // namespace

TEST(VariantTest, TypedReadsNeverConvertBetweenTypes) {
    const std::pair<variant_t, variant_type_t> kinds[] = {
        {variant_t(), VT_EMPTY}, {int32_t{-5}, VT_INT32},  {uint32_t{5}, VT_UINT32},
        {int64_t{-5}, VT_INT64}, {uint64_t{5}, VT_UINT64}, {0.5, VT_DOUBLE},
        {false, VT_BOOL},        {L"text", VT_WSTRING},    {std::wstring(L"text"), VT_WSTRING}};
    for (const auto& [value, type] : kinds) EXPECT_EQ(value.type(), type);
    EXPECT_EQ(variant_t(int64_t{7}).get_int32(42), 42);
    EXPECT_EQ(variant_t(int64_t{7}).get_int64(42), 7);
    EXPECT_EQ(variant_t(uint32_t{7}).get_int32(-1), -1);
    EXPECT_EQ(variant_t(true).get_int32(9), 9);
    EXPECT_EQ(variant_t(int32_t{1}).get_wstring(L"fallback"), L"fallback");
    const variant_t number(int32_t{1});
    EXPECT_EQ(number.get_wstr(), nullptr);
    EXPECT_NE(number, variant_t(int64_t{1}));
    const wchar_t* none = nullptr;
    EXPECT_TRUE(variant_t(none).empty());

    // A string given with its length never reads past it: here an unterminated one right before
    // an inaccessible page.
    const wchar_t embedded[] = L"ab\0cd";
    EXPECT_EQ(variant_t(embedded, sizeof embedded).get_wstring(), L"ab");
    const long page = ::sysconf(_SC_PAGESIZE);
    auto* area = static_cast<char*>(
        ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(::mprotect(area + page, page, PROT_NONE), 0);
    auto* tail = reinterpret_cast<wchar_t*>(area + page) - 4;
    std::wmemcpy(tail, L"wxyz", 4);
    EXPECT_EQ(variant_t(tail, 4 * sizeof(wchar_t)).get_wstring(), L"wxy");
    EXPECT_EQ(variant_t(tail + 3, sizeof(wchar_t)).get_wstring(), L"");
    ::munmap(area, 2 * page);
}

TEST(VariantBagTest, SeparateKeySpacesDeepCopiesAndUsableMovedFromBags) {
    variant_bag_t bag;
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

    // Equal keys are not enough: the value's type and its kind (value or bag) count.
    variant_bag_t a, b;
    a.put(L"n", variant_t(int32_t{1}));
    b.put(L"n", variant_t(int64_t{1}));
    EXPECT_TRUE(a != b);
    b.put(L"s", variant_bag_t());
    b.clear();
    EXPECT_TRUE(b.empty()) << "values and bags both go";
    b.put(L"n", variant_bag_t());
    EXPECT_TRUE(a != b);
}

TEST(BagFileTest, ValuesKeysAndNestingRoundTrip) {
    TempDir dir;
    using I32 = std::numeric_limits<int32_t>;
    using I64 = std::numeric_limits<int64_t>;
    using D = std::numeric_limits<double>;
    const variant_t values[] = {
        I32::min(), -1,        UINT32_MAX,      I64::min(),    I64::max(),    UINT64_MAX,
        0.1,        -2.5e-308, D::denorm_min(), D::max(),      D::infinity(), -D::infinity(),
        true,       false,     variant_t(),     std::wstring()};
    const wchar_t high = 0xD800, low = 0xDFFF, noncharacter = 0xFFFE;
    // clang-format off
    const std::wstring texts[] = {
        L"", L"  leading and trailing  ", L"\t\x01\x1f\x7f", L"\r\n", L"<&\">']]>",
        std::wstring(L"nul\0inside", 10), L"r\u00e9sultats", L"\u7d50\u679c", L"\U0001F600",
        std::wstring(1, high), std::wstring(L"x") + low + noncharacter};
    // clang-format on
    variant_bag_t bag;
    for (const variant_t& value : values)
        bag.put(std::to_wstring(bag.keys<variant_t>().size()), value);
    bag.put(L"empty bag", variant_bag_t());
    for (const std::wstring& text : texts) {
        bag.put(text, variant_t(text));
        bag.put(text, variant_bag_t())->put(text, variant_t(text));
    }
    expectRoundTrip(bag, dir);

    // Equality cannot tell -0.0 from 0.0 nor see NaN.
    bag.put(L"minus zero", variant_t(-0.0));
    bag.put(L"nan", variant_t(D::quiet_NaN()));
    ASSERT_EQ(save_variant_bag(bag, dir.wide(L"doubles.bag").c_str()), BAG_OK);
    ASSERT_EQ(load_variant_bag(bag, dir.wide(L"doubles.bag").c_str(), nullptr), BAG_OK);
    EXPECT_TRUE(std::signbit(bag.get_variant(L"minus zero").get_double(1.0)));
    EXPECT_TRUE(std::isnan(bag.get_variant(L"nan").get_double(1.0)));

    variant_bag_t deep;
    variant_bag_t* level = &deep;
    for (int i = 0; i < 256; ++i) level = level->put(L"level", variant_bag_t());
    level->put(L"bottom", variant_t(int32_t{256}));
    expectRoundTrip(deep, dir);
    // One level more than loading accepts is refused when saving, so no saved bag is unreadable.
    level->put(L"level", variant_bag_t());
    variant_t text;
    EXPECT_EQ(save_variant_bag(deep, dir.wide(L"deep.bag").c_str()), BAG_E_ARGUMENT);
    EXPECT_EQ(save_variant_bag_to_string(deep, &text), BAG_E_ARGUMENT);
    EXPECT_FALSE(fs::exists(dir.path() / "deep.bag"));
}

TEST(BagFileTest, RootElementsMergeAndStringForms) {
    TempDir dir;
    const std::wstring file = dir.wide(L"rooted.bag");
    variant_bag_t bag;
    bag.put(L"a", variant_t(int32_t{1}));
    bag.put(L"s", variant_bag_t())->put(L"x", variant_t(L"file"));
    ASSERT_EQ(save_variant_bag2(bag, file.c_str(), "bag"), BAG_OK);
    for (const char* root : {"", static_cast<const char*>(nullptr), "bag"}) {
        variant_bag_t loaded;
        EXPECT_EQ(load_variant_bag(loaded, file.c_str(), root), BAG_OK);
        EXPECT_TRUE(loaded == bag);
    }
    variant_bag_t target = targetBag();
    EXPECT_TRUE(isFailure(load_variant_bag(target, file.c_str(), kDefaultBagRoot)));
    EXPECT_TRUE(isFailure(load_variant_bag2(target, file.c_str(), "other", true)));
    EXPECT_TRUE(isFailure(load_variant_bag_from_string(target, variant_t(int32_t{1}))));
    EXPECT_TRUE(target == targetBag());
    for (const char* root : {"", static_cast<const char*>(nullptr), "1st", "a b"})
        EXPECT_TRUE(isFailure(save_variant_bag2(bag, dir.wide(L"bad.bag").c_str(), root)));
    EXPECT_TRUE(isFailure(save_variant_bag_to_string(bag, nullptr)));

    // Merging replaces entries of the same key and kind, wholesale, and keeps the others.
    target.put(L"a", variant_t(L"old"));
    target.put(L"a", variant_bag_t());
    target.put(L"s", variant_bag_t())->put(L"y", variant_t(true));
    ASSERT_EQ(load_variant_bag2(target, file.c_str(), "bag", true), BAG_OK);
    EXPECT_EQ(target.get_variant(L"a").get_int32(), 1);
    EXPECT_TRUE(target.has<variant_bag_t>(L"a"));
    EXPECT_TRUE(*target.get<variant_bag_t>(L"s") == *bag.get<variant_bag_t>(L"s"));
    EXPECT_EQ(target.get_variant(L"existing").get_wstring(), L"value");
    ASSERT_EQ(load_variant_bag2(target, file.c_str(), "bag", false), BAG_OK);
    EXPECT_TRUE(target == bag);
}

TEST(BagFileTest, HostileContentIsRefusedAndLeavesTheBagAlone) {
    TempDir dir;
    const auto doc = [](const std::string& body) {
        return "<variant_bag>" + body + "</variant_bag>";
    };
    std::string deep, many;
    for (int i = 0; i < 10000; ++i) deep += "<bag key=\"a\">";
    for (int i = 0; i < 10000; ++i) deep += "</bag>";
    // Flat but huge: more markup than any bag, refused before it is parsed into memory.
    for (int i = 0; i < 300000; ++i) many += "<!---->";
    // clang-format off
    const std::string cases[] = {
        "", "<variant_bag><bag key=\"s\">", "not a bag\n", doc(deep), doc(many),
        std::string("\0\xff\xfe\x89PNG\r\n\x1a\n", 10), doc(R"(<other key="a"/>)"),
        doc(R"(<value key="a" type="float" data="1"/>)"), doc(R"(<value key="a" type="float"/>)"),
        doc(R"(<value key="a" type="double"/>)"),
        doc(R"(<value key="a" type="int64" data="12x"/>)"),
        doc(R"(<value key="a" type="bool" data="yes"/>)"), doc(R"(<value type="int32" data="1"/>)"),
        doc(R"(<value key="a" type="uint32" data="-1"/>)"),
        doc(R"(<value key="a" type="int32" data="4294967296"/>)"),
        doc(R"(<value key="a" type="empty"/><value key="a" type="empty"/>)"),
        doc(R"(<bag key="s"/><bag key="s"/>)"), doc(R"(<bag key="s"/>stray text<bag key="t"/>)"),
        doc(R"(<bag key="s"/>)") + "<variant_bag/>", doc("") + "trailing text"};
    // clang-format on
    variant_bag_t control;  // the cases are otherwise well-formed bags
    ASSERT_EQ(load_variant_bag_from_string(control, variant_t(ulib_2_18::from_utf8(doc("")))),
              BAG_OK);
    const std::wstring file = dir.wide(L"hostile.bag");
    for (const std::string& content : cases) {
        SCOPED_TRACE(content.substr(0, 80));
        talvo2::test::writeFile(dir.path() / "hostile.bag", content);
        variant_bag_t target = targetBag();
        EXPECT_TRUE(isFailure(load_variant_bag(target, file.c_str(), nullptr)));
        EXPECT_TRUE(isFailure(load_variant_bag2(target, file.c_str(), nullptr, true)));
        EXPECT_TRUE(isFailure(load_variant_bag_from_string(target, ulib_2_18::from_utf8(content))));
        EXPECT_TRUE(target == targetBag());
    }
}

TEST(BagFileTest, FifosDirectoriesAndHugeFilesAreRefusedWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir.path() / "directory");
    talvo2::test::writeFile(dir.path() / "huge.bag", "");
    fs::resize_file(dir.path() / "huge.bag", (64u << 20) + 1);
    EXPECT_EQ(runInChild([&] {
                  ::alarm(30);  // a blocking open kills the child instead of hanging the test
                  variant_bag_t target = targetBag();
                  for (const wchar_t* name :
                       {L"missing", L"missing/x", L"fifo", L"directory", L"huge.bag"}) {
                      const std::wstring path = dir.wide(name);
                      EXPECT_TRUE(isFailure(load_variant_bag(target, path.c_str(), "")));
                      EXPECT_TRUE(isFailure(load_variant_bag2(target, path.c_str(), "", true)));
                  }
                  EXPECT_TRUE(isFailure(load_variant_bag(target, nullptr, nullptr)));
                  EXPECT_TRUE(isFailure(load_variant_bag(target, L"", nullptr)));
                  EXPECT_TRUE(isFailure(save_variant_bag(target, nullptr)));
                  EXPECT_TRUE(target == targetBag());
              }),
              0);
}

// Saving writes aside and renames: a failed save leaves neither a changed file nor a temporary
// one; a replaced file keeps its permissions and owner, and a link stays a link.
TEST(BagFileTest, SaveReplacesTheFileAtomically) {
    TempDir dir;
    const fs::path locked = dir.path() / "locked";
    fs::create_directories(locked / "occupied" / "content");
    const std::wstring file = dir.wide(L"locked/data.bag");
    variant_bag_t oldBag = targetBag(), newBag, loaded;
    newBag.put(L"v", variant_t(std::wstring(100000, L'x')));
    ASSERT_EQ(save_variant_bag(newBag, file.c_str()), BAG_OK);
    const auto privateMode = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(locked / "data.bag", privateMode);
    fs::create_symlink("locked/data.bag", dir.path() / "link.bag");
    ASSERT_EQ(save_variant_bag(oldBag, dir.wide(L"link.bag").c_str()), BAG_OK);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "link.bag"));
    ASSERT_EQ(load_variant_bag(loaded, file.c_str(), nullptr), BAG_OK);
    EXPECT_TRUE(loaded == oldBag);
    EXPECT_EQ(fs::status(locked / "data.bag").permissions(), privateMode);
    const std::string before = readFile(locked / "data.bag");

    // A temporary file that cannot be renamed over a directory, or whose writing fails midway
    // (file size limit), must be cleaned up.
    EXPECT_TRUE(isFailure(save_variant_bag(newBag, dir.wide(L"locked/occupied").c_str())));
    EXPECT_TRUE(isFailure(save_variant_bag(newBag, dir.wide(L"missing/data.bag").c_str())));
    EXPECT_EQ(runInChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{4096, 4096};
                  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
                  EXPECT_TRUE(isFailure(save_variant_bag(newBag, file.c_str())));
              }),
              0);
    fs::permissions(locked, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exe);
    const int status = talvo2::test::runUnprivileged(
        [&] { EXPECT_TRUE(isFailure(save_variant_bag(newBag, file.c_str()))); });
    EXPECT_EQ(readFile(locked / "data.bag"), before);
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(locked))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"data.bag", "occupied"}));
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);

    // Root saving over a user's file leaves it that user's.
    const fs::path owned = dir.path() / "owned.bag";
    ASSERT_EQ(save_variant_bag(oldBag, dir.wide(L"owned.bag").c_str()), BAG_OK);
    const unsigned user = talvo2::test::kUnprivilegedId;
    ASSERT_EQ(::chown(owned.c_str(), user, user), 0);
    ASSERT_EQ(save_variant_bag(newBag, dir.wide(L"owned.bag").c_str()), BAG_OK);
    struct stat info {};
    ASSERT_EQ(::stat(owned.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, user);
    EXPECT_EQ(info.st_gid, user);
}
