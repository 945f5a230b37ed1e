#include "results/creation_metadata.hpp"

#include <ctime>

#include "corekit2/host.hpp"
#include "propstore2/product.hpp"

namespace talvo2 {

void writeCreationMetadata(corekit2::variant_bag_t& bag) {
    using corekit2::variant_t;
    corekit2::variant_bag_t* talvo = bag.get<corekit2::variant_bag_t>(L"talvo");
    if (!talvo) talvo = bag.put(L"talvo", corekit2::variant_bag_t());
    talvo->put(L"timestamp", variant_t(static_cast<uint64_t>(std::time(nullptr))));
    talvo->put(L"hostname", variant_t(corekit2::get_fq_host_name()));
    talvo->put(L"os", variant_t(L"linux"));
    if (const auto product = propstore2::IProductLocations::get()) {
        talvo->put(L"product", variant_t(product->getName(propstore2::PRODUCT_NAME)));
        talvo->put(L"buildNumber", variant_t(static_cast<int32_t>(product->getVersion().build)));
    }
}

}  // namespace talvo2
