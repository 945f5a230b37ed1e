#include <gtest/gtest.h>

#include "propstore2/message_catalogs.hpp"
#include "propstore2/product.hpp"

using propstore2::IProductLocations;

TEST(ProductTest, BuiltInDescriptionCanBeReplaced) {
    const corekit2::sptr_t<IProductLocations> product = IProductLocations::get();
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

TEST(ProductTest, MessageCatalogsCanBeReplacedAndRemoved) {
    const ulib_2_18::message_catalog_ptr catalog = propstore2::getMessageCatalog("talvo2");
    ASSERT_TRUE(catalog);
    for (const char* key :
         {"%OK", "%NotImplemented", "%InsufficientPermissions", "%AlreadyExists", "%NotFound",
          "%ParameterError", "%InvalidPath", "%TooManyPlaceholderGroups", "%TooLongPlaceholder",
          "%ReservedCharacters", "%ReservedDeviceName", "%InvalidLastCharacter", "%EmptyPattern",
          "%FileLocked", "%FileError", "%Unknown"}) {
        EXPECT_TRUE(catalog->contains(key)) << key;
        EXPECT_NE(catalog->message(key).text(), ulib_2_18::from_utf8(key)) << key;
    }
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
