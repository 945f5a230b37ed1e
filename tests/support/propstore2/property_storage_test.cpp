#include <gtest/gtest.h>

#include "propstore2/message_catalogs.hpp"
#include "propstore2/product.hpp"
#include "propstore2/property_storage.hpp"

using namespace corekit2;
using namespace propstore2;

namespace {

using Names = std::vector<std::wstring>;

// Records every notification as "what name".
class Recorder : public ref_counted_t<IPropertyStorageChangeListener2> {
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

class Remover final : public Recorder {
public:
    void propertyChanging(S storage, const wchar_t* name) override {
        Recorder::propertyChanging(storage, name);
        storage->removeListener(victim);
        delete std::exchange(victim, nullptr);
    }
    void propertyChanged(S storage, const wchar_t* name) override {
        Recorder::propertyChanged(storage, name);
        storage->removeListener(this);
    }
    Recorder* victim = new Recorder;
};

class Owner final : public ref_counted_t<object_interface_t> {
public:
    static inline int destroyed = 0;
    ~Owner() override { ++destroyed; }
};

}  // namespace

TEST(BagPropertyStorageTest, ReadsAndWritesTheBagInPlaceNotifiesAndDetaches) {
    EXPECT_FALSE(IBagPropertyStorage::create(nullptr, {}));
    variant_bag_t bag;
    bag.put(L"preset", variant_t(int64_t{-9}));
    sptr_t<IPropertyStorage> storage = IBagPropertyStorage::create(&bag, make_object<Owner>());
    ASSERT_TRUE(storage);
    EXPECT_EQ(storage->getInt64(L"preset"), -9);
    EXPECT_EQ(storage->getInt32(L"preset", 7), 7);
    EXPECT_EQ(storage->getString(L"preset", L"fallback"), L"fallback");
    EXPECT_TRUE(storage->getBool(L"missing", true));
    variant_t value(L"untouched");
    EXPECT_FALSE(storage->getValue(L"missing", value));
    EXPECT_EQ(value.get_wstring(), L"untouched");
    EXPECT_FALSE(storage->setValue(L"", variant_t(true)));

    Recorder top, inner;
    EXPECT_TRUE(storage->addListener(&top));
    EXPECT_FALSE(storage->addListener(&top));
    EXPECT_TRUE(storage->setValue(L"name", variant_t(L"text")));
    EXPECT_EQ(bag.get_variant(L"name").get_wstring(), L"text");
    EXPECT_EQ(storage->getNames(), (Names{L"name", L"preset"}));
    EXPECT_TRUE(storage->removeValue(L"name"));
    EXPECT_FALSE(storage->removeValue(L"name"));
    EXPECT_EQ(top.events,
              (Names{L"changing name", L"changed name", L"removing name", L"removed name"}));
    top.events.clear();

    // Sections are sub-bags, made at once, and report to their parent as "section/name".
    EXPECT_FALSE(createSubStorage({}, L"section"));
    EXPECT_FALSE(createSubStorage(storage, L""));
    sptr_t<IPropertyStorage> section = createSubStorage(storage, L"section");
    ASSERT_TRUE(section);
    EXPECT_TRUE(bag.has<variant_bag_t>(L"section"));
    section->addListener(&inner);
    EXPECT_TRUE(section->setValue(L"name", variant_t(int32_t{1})));
    EXPECT_EQ(bag.get<variant_bag_t>(L"section")->get_variant(L"name").get_int32(), 1);
    EXPECT_TRUE(createSubStorage(section, L"deeper")->setValue(L"x", variant_t(true)));
    EXPECT_EQ(inner.events, (Names{L"changing name", L"changed name", L"changing deeper/x",
                                   L"changed deeper/x"}));
    EXPECT_EQ(top.events, (Names{L"changing section/name", L"changed section/name",
                                 L"changing section/deeper/x", L"changed section/deeper/x"}));
    // A section reads the bag as it is now, not as it was when the section was made.
    bag.put(L"section", variant_bag_t())->put(L"name", variant_t(int32_t{2}));
    EXPECT_EQ(section->getInt32(L"name"), 2);
    EXPECT_EQ(storage->getSection(L"section", false)->getInt32(L"name"), 2);

    EXPECT_TRUE(storage->removeListener(&top));
    EXPECT_FALSE(storage->removeListener(&top));
    // A listener removed during a notification, even freed, is not called; one removing itself
    // from inside a notification does not wait for itself.
    Remover remover;
    ASSERT_TRUE(storage->addListener(&remover) && storage->addListener(remover.victim));
    EXPECT_TRUE(storage->setValue(L"a", variant_t(int32_t{1})));
    EXPECT_TRUE(storage->setValue(L"b", variant_t(int32_t{2})));
    EXPECT_EQ(remover.events, (Names{L"changing a", L"changed a"}));
    EXPECT_EQ(top.events.size(), 4u);

    // Detached, the storage and its sections find nothing and change nothing; the owner lives
    // until the last of them goes.
    const variant_bag_t before = bag;
    dynamic_cast<IBagPropertyStorage&>(*storage).detach();
    EXPECT_FALSE(storage->getValue(L"preset", value));
    EXPECT_TRUE(storage->getNames().empty());
    EXPECT_FALSE(storage->getSection(L"section", true));
    EXPECT_FALSE(section->hasValue(L"name"));
    EXPECT_TRUE(bag == before);
    storage.reset();
    EXPECT_EQ(Owner::destroyed, 0);  // the section still needs its parent
    section.reset();
    EXPECT_EQ(Owner::destroyed, 1);
}

TEST(ProductTest, BuiltInDescriptionCanBeReplaced) {
    const auto describe = [](const sptr_t<IProductLocations>& product) {
        const product_version_t v = product->getVersion();
        return product->getName(PRODUCT_SHORT_NAME) + L" " + product->getName(PRODUCT_NAME) +
               L" [" + product->getName(3) + L"] " + product->getPackedResultSuffix() + L" " +
               std::to_wstring(v.major * 1000 + v.minor * 100 + v.update * 10 + v.build);
    };
    const sptr_t<IProductLocations> product = IProductLocations::get();
    EXPECT_EQ(describe(product), L"talvo Talvo [] talvopack 2001");
    IProductLocations::install(nullptr);
    EXPECT_FALSE(IProductLocations::get());
    IProductLocations::install(IProductLocations::create(L"o", L"opack", L"O", {3, 1, 4, 5}));
    EXPECT_EQ(describe(IProductLocations::get()), L"o O [] opack 3145");
    IProductLocations::install(IProductLocations::builtIn());
    EXPECT_TRUE(IProductLocations::get() == product);
}

// Which keys the built-in catalog holds, and lookups through it, are checked by the error texts.
TEST(ProductTest, MessageCatalogsCanBeReplacedAndRemoved) {
    const ulib_2_18::message_catalog_ptr catalog = getMessageCatalog("talvo2");
    ASSERT_TRUE(catalog);
    registerMessageCatalog(std::make_shared<ulib_2_18::message_catalog_t>("talvo2"));
    EXPECT_NE(getMessageCatalog("talvo2"), catalog);
    EXPECT_TRUE(removeMessageCatalog("talvo2"));
    EXPECT_FALSE(removeMessageCatalog("talvo2"));
    EXPECT_FALSE(getMessageCatalog("talvo2"));
    registerMessageCatalog(catalog);
    EXPECT_EQ(getMessageCatalog("talvo2"), catalog);
}
