#include <mutex>

#include "propstore2/product.hpp"

namespace propstore2 {

namespace {

using corekit2::sptr_t;

class ProductDescription final : public corekit2::ref_counted_t<IProductLocations> {
public:
    ProductDescription(std::wstring shortName, std::wstring packedSuffix, std::wstring name,
                       const product_version_t& version)
        : m_shortName(std::move(shortName)),
          m_packedSuffix(std::move(packedSuffix)),
          m_name(std::move(name)),
          m_version(version) {}

    std::wstring getName(uint32_t index) const override {
        switch (index) {
            case PRODUCT_SHORT_NAME:
                return m_shortName;
            case PRODUCT_NAME:
                return m_name;
            default:
                return std::wstring();
        }
    }
    std::wstring getPackedResultSuffix() const override { return m_packedSuffix; }
    product_version_t getVersion() const override { return m_version; }

private:
    const std::wstring m_shortName;
    const std::wstring m_packedSuffix;
    const std::wstring m_name;
    const product_version_t m_version;
};

struct Installed {
    std::mutex mutex;
    sptr_t<IProductLocations> description = IProductLocations::builtIn();
};

Installed& installed() {
    static Installed state;
    return state;
}

}  // namespace

sptr_t<IProductLocations> IProductLocations::get() {
    Installed& state = installed();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.description;
}

void IProductLocations::install(sptr_t<IProductLocations> description) {
    Installed& state = installed();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.description.swap(description);
    // The previous description is released after the lock, in `description`'s destructor.
}

sptr_t<IProductLocations> IProductLocations::builtIn() {
    static const sptr_t<IProductLocations> description =
        create(L"talvo", L"talvopack", L"Talvo",
               product_version_t{PROPSTORE2_PRODUCT_MAJOR, PROPSTORE2_PRODUCT_MINOR,
                                 PROPSTORE2_PRODUCT_UPDATE, PROPSTORE2_PRODUCT_BUILD});
    return description;
}

sptr_t<IProductLocations> IProductLocations::create(const std::wstring& shortName,
                                                    const std::wstring& packedResultSuffix,
                                                    const std::wstring& productName,
                                                    const product_version_t& version) {
    return sptr_t<IProductLocations>(
        new ProductDescription(shortName, packedResultSuffix, productName, version));
}

}  // namespace propstore2
