#pragma once

#include <cstdint>
#include <string>

#include "corekit2/object.hpp"
#include "corekit2/sptr.hpp"
#include "propstore2/export.hpp"

namespace propstore2 {

// Indexes of getName.
enum product_name_t : uint32_t {
    PRODUCT_SHORT_NAME = 0,  // lower-case token that file extensions are made from
    PRODUCT_NAME = 7,        // the name shown to people
};

struct product_version_t {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t update = 0;
    uint32_t build = 0;
};

// The identity of the installed product. Immutable once made, so it may be read from any thread.
class PROPSTORE2_API IProductLocations : public corekit2::object_interface_t {
public:
    // One of the product's names (product_name_t); empty for an index it does not define.
    virtual std::wstring getName(uint32_t index) const = 0;
    // Suffix of packed result files, without the dot.
    virtual std::wstring getPackedResultSuffix() const = 0;
    virtual product_version_t getVersion() const = 0;

    // The process-wide description, or empty when none is installed. Thread-safe.
    static corekit2::sptr_t<IProductLocations> get();
    // Installs `description` as the process-wide one; an empty handle removes it. Thread-safe.
    static void install(corekit2::sptr_t<IProductLocations> description);
    // The description this product ships with, which is installed until a host replaces it.
    static corekit2::sptr_t<IProductLocations> builtIn();
    // A description with the given identity; for hosts that rebrand the library and for tests.
    static corekit2::sptr_t<IProductLocations> create(const std::wstring& shortName,
                                                      const std::wstring& packedResultSuffix,
                                                      const std::wstring& productName,
                                                      const product_version_t& version);
};

}  // namespace propstore2
