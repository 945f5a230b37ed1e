#include "results/creation_metadata.hpp"

#include <ctime>

#include "corekit2/host.hpp"
#include "propstore2/product.hpp"
#include "results/result_metadata.hpp"
#include "talvo2/system_info.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

namespace {

// The abbreviation of the widest family found: AVX over SSE over MMX; null when none was.
const char* highestIsaAbbreviation(const SystemInfo& system) {
    const SystemInfo::IsaInfo isa = system.getIsa();
    SystemInfo::IsaExtensions highest = isa.mmxMax;
    if (isa.avxMax != SystemInfo::ISA_NONE) {
        highest = isa.avxMax;
    } else if (isa.sseMax != SystemInfo::ISA_NONE) {
        highest = isa.sseMax;
    }
    return SystemInfo::getIsaAbbreviation(highest);
}

}  // namespace

void writeCreationMetadata(corekit2::variant_bag_t& bag) {
    using corekit2::variant_t;
    const auto put = [&bag](const wchar_t* key, variant_t value) {
        putMetadata(bag, key, std::move(value));
    };
    put(L"timestamp", variant_t(static_cast<uint64_t>(std::time(nullptr))));
    put(L"hostname", variant_t(corekit2::get_fq_host_name()));
    put(L"os", variant_t(L"linux"));
    if (const auto product = propstore2::IProductLocations::get()) {
        put(L"product", variant_t(product->getName(propstore2::PRODUCT_NAME)));
        put(L"buildNumber", variant_t(static_cast<int32_t>(product->getVersion().build)));
    }
    const SystemInfo system;
    put(L"logicalCPUCount", variant_t(static_cast<int32_t>(system.cpuCount())));
    put(L"physicalCoreCount", variant_t(static_cast<int32_t>(system.processorCoreCount())));
    put(L"processorPackageCount", variant_t(static_cast<int32_t>(system.processorPackageCount())));
    put(L"CPUFrequency", variant_t(static_cast<int64_t>(system.cpuFrequency())));
    put(L"CPUFamily", variant_t(static_cast<int32_t>(system.cpuFamily())));
    put(L"CPUModel", variant_t(static_cast<int32_t>(system.cpuModel())));
    put(L"CPUStepping", variant_t(static_cast<int32_t>(system.cpuStepping())));
    put(L"CPUBrandName", variant_t(std::wstring(system.cpuBrand())));
    if (const char* isa = highestIsaAbbreviation(system))
        put(L"isa", variant_t(ulib_2_18::from_utf8(isa)));
}

}  // namespace talvo2
