#include <gtest/gtest.h>

#include "propstore2/message_catalogs.hpp"
#include "propstore2/product.hpp"
#include "propstore2/property_storage.hpp"

using corekit2::sptr_t;
using corekit2::variant_bag_t;
using corekit2::variant_t;
using propstore2::IBagPropertyStorage;
using propstore2::IProductLocations;
using propstore2::IPropertyStorage;

namespace {

using Names = std::vector<std::wstring>;

// Records every notification as "what name".
class Recorder : public corekit2::ref_counted_t<propstore2::IPropertyStorageChangeListener2> {
public:
    using S = IPropertyStorage*;
    void propertyChanging(S, const wchar_t* name) override { add(L"changing ", name); }
    void propertyRemoving(S, const wchar_t* name) override { add(L"removing ", name); }
    void propertyChanged(S, const wchar_t* name) override { add(L"changed ", name); }
    void propertyRemoved(S, const wchar_t* name) override { add(L"removed ", name); }
    void add(const wchar_t* what, const wchar_t* name) {
        events.push_back(what + std::wstring(name));
    }
    Names events;
};

class Owner final : public corekit2::ref_counted_t<corekit2::object_interface_t> {
public:
    static inline int destroyed = 0;
    ~Owner() override { ++destroyed; }
};

}  // namespace

TEST(BagPropertyStorageTest, ReadsAndWritesTheBagInPlaceAndNotifies) {
    EXPECT_FALSE(IBagPropertyStorage::create(nullptr, {}));
    variant_bag_t bag;
    bag.put(L"preset", variant_t(int32_t{5}));
    const sptr_t<IPropertyStorage> storage = IBagPropertyStorage::create(&bag, {});
    ASSERT_TRUE(storage);
    EXPECT_EQ(storage->getInt32(L"preset"), 5);
    bag.put(L"direct", variant_t(int64_t{-9}));
    EXPECT_EQ(storage->getInt64(L"direct"), -9);
    EXPECT_EQ(storage->getInt32(L"direct", 7), 7);
    EXPECT_EQ(storage->getString(L"preset", L"fallback"), L"fallback");
    EXPECT_TRUE(storage->getBool(L"missing", true));
    variant_t value(L"untouched");
    EXPECT_FALSE(storage->getValue(L"missing", value));
    EXPECT_EQ(value.get_wstring(), L"untouched");
    EXPECT_FALSE(storage->setValue(L"", variant_t(true)));

    Recorder recorder;
    EXPECT_TRUE(storage->addListener(&recorder));
    EXPECT_FALSE(storage->addListener(&recorder));
    EXPECT_TRUE(storage->setValue(L"name", variant_t(L"text")));
    EXPECT_EQ(bag.get_variant(L"name").get_wstring(), L"text");
    EXPECT_EQ(storage->getNames(), (Names{L"direct", L"name", L"preset"}));
    EXPECT_TRUE(storage->removeValue(L"name"));
    EXPECT_FALSE(bag.has<variant_t>(L"name"));
    EXPECT_FALSE(storage->removeValue(L"name"));
    EXPECT_EQ(recorder.events,
              (Names{L"changing name", L"changed name", L"removing name", L"removed name"}));
    EXPECT_TRUE(storage->removeListener(&recorder));
    EXPECT_FALSE(storage->removeListener(&recorder));
    EXPECT_TRUE(storage->setValue(L"b", variant_t(int32_t{2})));
    EXPECT_EQ(recorder.events.size(), 4u);
}

TEST(BagPropertyStorageTest, SectionsAreSubBagsAndReportToTheirParent) {
    variant_bag_t bag;
    const sptr_t<IPropertyStorage> root = IBagPropertyStorage::create(&bag, {});
    EXPECT_FALSE(propstore2::createSubStorage({}, L"section"));
    EXPECT_FALSE(propstore2::createSubStorage(root, L""));
    Recorder top, middle;
    root->addListener(&top);
    const sptr_t<IPropertyStorage> section = propstore2::createSubStorage(root, L"section");
    ASSERT_TRUE(section);
    EXPECT_TRUE(bag.has<variant_bag_t>(L"section"));  // made at once, not on the first write
    section->addListener(&middle);
    EXPECT_TRUE(section->setValue(L"name", variant_t(int32_t{1})));
    EXPECT_EQ(bag.get<variant_bag_t>(L"section")->get_variant(L"name").get_int32(), 1);
    EXPECT_FALSE(bag.has<variant_t>(L"name"));
    EXPECT_EQ(middle.events, (Names{L"changing name", L"changed name"}));
    EXPECT_EQ(top.events, (Names{L"changing section/name", L"changed section/name"}));
    EXPECT_TRUE(propstore2::createSubStorage(section, L"deeper")->setValue(L"x", variant_t(true)));
    EXPECT_EQ(middle.events.back(), L"changed deeper/x");
    EXPECT_EQ(top.events.back(), L"changed section/deeper/x");
    // A section reads the bag as it is now, not as it was when the section was made.
    variant_bag_t replacement;
    replacement.put(L"name", variant_t(int32_t{2}));
    bag.put(L"section", replacement);
    EXPECT_EQ(section->getInt32(L"name"), 2);
    EXPECT_EQ(root->getSection(L"section", false)->getInt32(L"name"), 2);
}

TEST(BagPropertyStorageTest, DetachCutsOffTheBagAndTheOwnerLivesWithTheStorage) {
    Owner::destroyed = 0;
    sptr_t<corekit2::object_interface_t> owner = corekit2::make_object<Owner>();
    variant_bag_t bag;
    bag.put(L"v", variant_t(int32_t{1}));
    bag.put(L"s", variant_bag_t())->put(L"w", variant_t(int32_t{2}));
    const variant_bag_t before = bag;
    sptr_t<IPropertyStorage> storage = IBagPropertyStorage::create(&bag, owner);
    sptr_t<IPropertyStorage> section = storage->getSection(L"s", false);
    ASSERT_TRUE(section);
    owner.reset();
    EXPECT_EQ(Owner::destroyed, 0);

    auto* bagStorage = dynamic_cast<IBagPropertyStorage*>(storage.get());
    ASSERT_NE(bagStorage, nullptr);
    bagStorage->detach();
    variant_t value;
    EXPECT_FALSE(storage->getValue(L"v", value));
    EXPECT_FALSE(storage->setValue(L"v", variant_t(int32_t{3})));
    EXPECT_TRUE(storage->getNames().empty());
    EXPECT_FALSE(storage->getSection(L"s", true));
    EXPECT_FALSE(section->hasValue(L"w"));
    EXPECT_FALSE(section->setValue(L"w", variant_t(int32_t{3})));
    EXPECT_TRUE(bag == before);
    storage.reset();
    EXPECT_EQ(Owner::destroyed, 0);  // the section still needs its parent
    section.reset();
    EXPECT_EQ(Owner::destroyed, 1);
}

// A listener may drop and free another while a notification runs; the storage must not call the
// freed one. A listener removing itself from inside a notification does not wait for itself.
TEST(BagPropertyStorageTest, ListenersRemovedDuringANotificationAreNotCalled) {
    class Remover final : public Recorder {
    public:
        void propertyChanging(S storage, const wchar_t* name) override {
            Recorder::propertyChanging(storage, name);
            if (victim) {
                storage->removeListener(victim);
                delete std::exchange(victim, nullptr);
            }
        }
        void propertyChanged(S storage, const wchar_t* name) override {
            Recorder::propertyChanged(storage, name);
            storage->removeListener(this);
        }
        Recorder* victim = new Recorder;
    } remover;
    variant_bag_t bag;
    const sptr_t<IPropertyStorage> storage = IBagPropertyStorage::create(&bag, {});
    ASSERT_TRUE(storage->addListener(&remover));
    ASSERT_TRUE(storage->addListener(remover.victim));
    EXPECT_TRUE(storage->setValue(L"a", variant_t(int32_t{1})));
    EXPECT_TRUE(storage->setValue(L"b", variant_t(int32_t{2})));
    EXPECT_EQ(remover.events, (Names{L"changing a", L"changed a"}));
}

TEST(ProductTest, BuiltInDescriptionCanBeReplaced) {
    const sptr_t<IProductLocations> product = IProductLocations::get();
    ASSERT_TRUE(product);
    EXPECT_EQ(product->getName(propstore2::PRODUCT_SHORT_NAME), L"talvo");
    EXPECT_EQ(product->getName(propstore2::PRODUCT_NAME), L"Talvo");
    EXPECT_EQ(product->getName(3), L"");
    EXPECT_EQ(product->getPackedResultSuffix(), L"talvopack");
    EXPECT_EQ(product->getVersion().major, 2u);
    EXPECT_EQ(product->getVersion().build, 1u);

    IProductLocations::install(nullptr);
    EXPECT_FALSE(IProductLocations::get());
    IProductLocations::install(IProductLocations::create(L"o", L"opack", L"O", {3, 1, 4, 5}));
    const propstore2::product_version_t version = IProductLocations::get()->getVersion();
    EXPECT_EQ(version.major * 1000 + version.minor * 100 + version.update * 10 + version.build,
              3145u);
    EXPECT_EQ(IProductLocations::get()->getName(propstore2::PRODUCT_NAME), L"O");
    EXPECT_EQ(IProductLocations::get()->getPackedResultSuffix(), L"opack");
    EXPECT_EQ(product->getName(propstore2::PRODUCT_SHORT_NAME), L"talvo");
    IProductLocations::install(IProductLocations::builtIn());
    EXPECT_TRUE(IProductLocations::get() == product);
}

// Which keys the built-in catalog holds is checked through the error texts (ErrorText).
TEST(ProductTest, MessageCatalogsCanBeReplacedAndRemoved) {
    const ulib_2_18::message_catalog_ptr catalog = propstore2::getMessageCatalog("talvo2");
    ASSERT_TRUE(catalog);
    EXPECT_FALSE(propstore2::getMessageCatalog("none"));
    auto replacement = std::make_shared<ulib_2_18::message_catalog_t>("talvo2");
    replacement->add("%OK", L"Fine");
    propstore2::registerMessageCatalog(replacement);
    EXPECT_EQ(propstore2::getMessageCatalog("talvo2")->message("%OK").text(), L"Fine");
    EXPECT_NE(catalog->message("%OK").text(), L"Fine");
    EXPECT_TRUE(propstore2::removeMessageCatalog("talvo2"));
    EXPECT_FALSE(propstore2::getMessageCatalog("talvo2"));
    EXPECT_FALSE(propstore2::removeMessageCatalog("talvo2"));
    propstore2::registerMessageCatalog(catalog);
    EXPECT_EQ(propstore2::getMessageCatalog("talvo2"), catalog);
}
