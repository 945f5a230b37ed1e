#include "propstore2/property_storage.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

TEST(SearchDirectories, MissingFileGivesAnEmptyUsableSectionAndCreatesNothing) {
    test::TempDir dir;
    const corekit2::sptr_t<ISearchDirectories> search =
        ISearchDirectories::create(dir.wide().c_str());
    ASSERT_TRUE(search);
    EXPECT_FALSE(search->isLoaded());
    const auto storage = search->getStorage();
    ASSERT_TRUE(storage);
    EXPECT_TRUE(storage->getNames().empty());
    EXPECT_EQ(storage.get(), search->getStorage().get()) << "one section storage per object";
    EXPECT_TRUE(storage->setValue(L"path", corekit2::variant_t(L"/src")));
    EXPECT_FALSE(search->save()) << "the config directory is not created";
    EXPECT_TRUE(fs::is_empty(dir.path()));

    const auto none = ISearchDirectories::create(nullptr);
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->isLoaded());
    EXPECT_FALSE(none->save());
    EXPECT_TRUE(none->getStorage());
}

TEST(SearchDirectories, SavedValuesAreReadBackBelowConfig) {
    test::TempDir dir;
    fs::create_directory(dir.path() / "config");
    {
        const auto search = ISearchDirectories::create(dir.wide().c_str());
        search->getStorage()->setValue(L"source", corekit2::variant_t(L"/home/me/src"));
        ASSERT_TRUE(search->save());
    }
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "config/search_dir.cfg"));
    auto again = ISearchDirectories::create(dir.wide().c_str());
    EXPECT_TRUE(again->isLoaded());
    EXPECT_EQ(again->getStorage()->getString(L"source"), L"/home/me/src");

    // A section kept past its object is cut off from the bag that went with it.
    corekit2::sptr_t<propstore2::IPropertyStorage> kept = again->getStorage();
    again.reset();
    EXPECT_TRUE(kept->getNames().empty());
    EXPECT_FALSE(kept->setValue(L"late", corekit2::variant_t(1)));
}

TEST(SearchDirectories, DirectoryOrGarbageInPlaceOfTheFileIsNotLoaded) {
    test::TempDir dir;
    fs::create_directories(dir.path() / "a/config/search_dir.cfg");
    EXPECT_FALSE(ISearchDirectories::create(dir.wide(L"a").c_str())->isLoaded());

    fs::create_directories(dir.path() / "b/config");
    test::writeFile(dir.path() / "b/config/search_dir.cfg", "not a bag");
    const auto search = ISearchDirectories::create(dir.wide(L"b").c_str());
    EXPECT_FALSE(search->isLoaded());
    EXPECT_TRUE(search->getStorage()->getNames().empty());
}

}  // namespace
}  // namespace talvo2
