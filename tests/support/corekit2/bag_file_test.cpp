#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <set>

#include "corekit2/bag_file.hpp"
#include "ulib_2_18/text.hpp"
#include "util/test_util.hpp"

namespace fs = boost::filesystem;
using namespace corekit2;
using talvo2::test::readFile;
using talvo2::test::TempDir;
using talvo2::test::writeFile;

namespace {

bool isFailure(int status) {
    return status != BAG_OK && (status & BAG_FAILURE) != 0;
}

std::set<std::string> listDirectory(const fs::path& directory) {
    std::set<std::string> names;
    for (fs::directory_iterator it(directory), end; it != end; ++it)
        names.insert(it->path().filename().string());
    return names;
}

// Checks that `bag` comes back unchanged through a file and through the string form.
void expectRoundTrip(const variant_bag_t& bag, const TempDir& dir) {
    const std::wstring file = dir.wide(L"round.bag");
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

TEST(BagFileTest, EveryValueTypeRoundTrips) {
    TempDir dir;
    using I32 = std::numeric_limits<int32_t>;
    using I64 = std::numeric_limits<int64_t>;
    using D = std::numeric_limits<double>;
    const variant_t values[] = {
        I32::min(), -1,        UINT32_MAX,      I64::min(),    I64::max(),    UINT64_MAX,
        0.1,        -2.5e-308, D::denorm_min(), D::max(),      D::infinity(), -D::infinity(),
        true,       false,     variant_t(),     std::wstring()};
    variant_bag_t bag;
    for (const variant_t& value : values)
        bag.put(std::to_wstring(bag.keys<variant_t>().size()), value);
    bag.put(L"empty bag", variant_bag_t());
    expectRoundTrip(bag, dir);

    // Equality cannot tell -0.0 from 0.0 nor see NaN.
    bag.put(L"minus zero", variant_t(-0.0));
    bag.put(L"nan", variant_t(D::quiet_NaN()));
    ASSERT_EQ(save_variant_bag(bag, dir.wide(L"doubles.bag").c_str()), BAG_OK);
    ASSERT_EQ(load_variant_bag(bag, dir.wide(L"doubles.bag").c_str(), nullptr), BAG_OK);
    EXPECT_TRUE(std::signbit(bag.get_variant(L"minus zero").get_double(1.0)));
    EXPECT_TRUE(std::isnan(bag.get_variant(L"nan").get_double(1.0)));
}

TEST(BagFileTest, ArbitraryKeysStringsAndDeepNestingRoundTrip) {
    TempDir dir;
    const wchar_t high = 0xD800, low = 0xDFFF, noncharacter = 0xFFFE;
    const std::wstring texts[] = {L"",
                                  L"  leading and trailing  ",
                                  L"\t\x01\x1f\x7f",
                                  L"\r\n",
                                  L"<&\">']]>",
                                  std::wstring(L"nul\0inside", 10),
                                  L"r\u00e9sultats",
                                  L"\u7d50\u679c",
                                  L"\U0001F600",
                                  std::wstring(1, high),
                                  std::wstring(L"x") + low + noncharacter};
    variant_bag_t bag;
    for (const std::wstring& text : texts) {
        bag.put(text, variant_t(text));
        bag.put(text, variant_bag_t())->put(text, variant_t(text));
    }
    expectRoundTrip(bag, dir);

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
    std::string deep = "<variant_bag>";
    for (int i = 0; i < 10000; ++i) deep += "<bag key=\"a\">";
    for (int i = 0; i < 10000; ++i) deep += "</bag>";
    const auto doc = [](const std::string& body) {
        return "<variant_bag>" + body + "</variant_bag>";
    };
    const std::string cases[] = {
        "",
        "<variant_bag><bag key=\"s\">",
        "not a bag\n",
        std::string("\0\xff\xfe\x89PNG\r\n\x1a\n", 10),
        deep + "</variant_bag>",
        // Flat but huge: more markup than any bag, refused before it is parsed into memory.
        [&doc] {
            std::string many;
            for (int i = 0; i < 300000; ++i) many += "<!---->";
            return doc(many);
        }(),
        doc("<value key=\"a\" type=\"float\" data=\"1\"/>"),
        doc("<value key=\"a\" type=\"int32\" data=\"4294967296\"/>"),
        doc("<value key=\"a\" type=\"uint32\" data=\"-1\"/>"),
        doc("<value key=\"a\" type=\"int64\" data=\"12x\"/>"),
        doc("<value key=\"a\" type=\"bool\" data=\"yes\"/>"),
        doc("<value key=\"a\" type=\"double\"/>"),
        doc("<value type=\"int32\" data=\"1\"/>"),
        doc("<value key=\"a\" type=\"empty\"/><value key=\"a\" type=\"empty\"/>"),
        doc("<bag key=\"s\"/><bag key=\"s\"/>"),
        doc("<other key=\"a\"/>"),
        doc("<bag key=\"s\"/>stray text<bag key=\"t\"/>"),
        doc("<bag key=\"s\"/>") + "<variant_bag/>",
        doc("") + "trailing text",
    };
    variant_bag_t control;  // the cases are otherwise well-formed bags
    ASSERT_EQ(load_variant_bag_from_string(control, variant_t(ulib_2_18::from_utf8(doc("")))),
              BAG_OK);
    const std::wstring file = dir.wide(L"hostile.bag");
    for (const std::string& content : cases) {
        SCOPED_TRACE(content.substr(0, 80));
        writeFile(dir.path() / "hostile.bag", content);
        variant_bag_t target = targetBag();
        EXPECT_TRUE(isFailure(load_variant_bag(target, file.c_str(), nullptr)));
        EXPECT_TRUE(isFailure(load_variant_bag2(target, file.c_str(), nullptr, true)));
        const variant_t text(ulib_2_18::from_utf8(content));
        EXPECT_TRUE(isFailure(load_variant_bag_from_string(target, text)));
        EXPECT_TRUE(target == targetBag());
    }
}

TEST(BagFileTest, FifosDirectoriesAndHugeFilesAreRefusedWithoutBlocking) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir.path() / "directory");
    writeFile(dir.path() / "huge.bag", "");
    fs::resize_file(dir.path() / "huge.bag", (64u << 20) + 1);
    EXPECT_EQ(
        talvo2::test::runInChild([&] {
            ::alarm(30);  // a blocking open kills the child instead of hanging the test
            variant_bag_t target = targetBag();
            for (const wchar_t* name :
                 {L"missing", L"missing/x", L"fifo", L"directory", L"huge.bag"}) {
                EXPECT_TRUE(isFailure(load_variant_bag(target, dir.wide(name).c_str(), "")));
                EXPECT_TRUE(isFailure(load_variant_bag2(target, dir.wide(name).c_str(), "", true)));
            }
            EXPECT_TRUE(isFailure(load_variant_bag(target, nullptr, nullptr)));
            EXPECT_TRUE(isFailure(load_variant_bag(target, L"", nullptr)));
            EXPECT_TRUE(isFailure(save_variant_bag(target, nullptr)));
            EXPECT_TRUE(target == targetBag());
        }),
        0);
}

TEST(BagFileTest, SaveReplacesTheFileAtomically) {
    TempDir dir;
    const fs::path locked = dir.path() / "locked";
    fs::create_directories(locked / "occupied" / "content");
    const std::wstring file = dir.wide(L"locked/data.bag");
    variant_bag_t oldBag = targetBag(), newBag, loaded;
    newBag.put(L"v", variant_t(std::wstring(100000, L'x')));
    ASSERT_EQ(save_variant_bag(newBag, file.c_str()), BAG_OK);
    // A private file stays private when it is replaced.
    fs::permissions(locked / "data.bag", fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(save_variant_bag(oldBag, file.c_str()), BAG_OK);
    ASSERT_EQ(load_variant_bag(loaded, file.c_str(), nullptr), BAG_OK);
    EXPECT_TRUE(loaded == oldBag);
    EXPECT_EQ(fs::status(locked / "data.bag").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    const std::string before = readFile(locked / "data.bag");

    // A temporary file that cannot be renamed over a directory must be cleaned up.
    EXPECT_TRUE(isFailure(save_variant_bag(newBag, dir.wide(L"locked/occupied").c_str())));
    EXPECT_TRUE(isFailure(save_variant_bag(newBag, dir.wide(L"missing/data.bag").c_str())));
    // So must one whose writing fails midway (file size limit).
    EXPECT_EQ(talvo2::test::runInChild([&] {
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
    EXPECT_EQ(listDirectory(locked), (std::set<std::string>{"data.bag", "occupied"}));
    if (status == -1) GTEST_SKIP() << "cannot switch to an unprivileged user to deny writing";
    EXPECT_EQ(status, 0);
}

TEST(BagFileTest, SavingThroughALinkOrOverAnotherUsersFileKeepsLinkAndOwner) {
    TempDir dir;
    fs::create_directory(dir.path() / "shared");
    ASSERT_EQ(save_variant_bag(targetBag(), dir.wide(L"shared/real.bag").c_str()), BAG_OK);
    fs::create_symlink("shared/real.bag", dir.path() / "link.bag");
    variant_bag_t changed, loaded;
    changed.put(L"new", variant_t(true));
    ASSERT_EQ(save_variant_bag(changed, dir.wide(L"link.bag").c_str()), BAG_OK);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "link.bag"));
    ASSERT_EQ(load_variant_bag(loaded, dir.wide(L"shared/real.bag").c_str(), nullptr), BAG_OK);
    EXPECT_TRUE(loaded == changed);

    if (::geteuid() != 0) GTEST_SKIP() << "only root can save over another user's file";
    const fs::path owned = dir.path() / "owned.bag";
    ASSERT_EQ(save_variant_bag(targetBag(), dir.wide(L"owned.bag").c_str()), BAG_OK);
    ASSERT_EQ(::chown(owned.c_str(), talvo2::test::kUnprivilegedId, talvo2::test::kUnprivilegedId),
              0);
    ASSERT_EQ(save_variant_bag(changed, dir.wide(L"owned.bag").c_str()), BAG_OK);
    struct stat info {};
    ASSERT_EQ(::stat(owned.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, talvo2::test::kUnprivilegedId);
    EXPECT_EQ(info.st_gid, talvo2::test::kUnprivilegedId);
}

TEST(BagFileTest, NamesNearTheFileSystemLimitCanBeSaved) {
    TempDir dir;
    const std::wstring file = dir.wide(std::wstring(250, L'n'));
    variant_bag_t loaded;
    ASSERT_EQ(save_variant_bag(targetBag(), file.c_str()), BAG_OK);
    ASSERT_EQ(load_variant_bag(loaded, file.c_str(), nullptr), BAG_OK);
    EXPECT_TRUE(loaded == targetBag());
}
