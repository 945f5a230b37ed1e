#include "node/creation_metadata.hpp"

#include <ctime>

#include "corekit2/host.hpp"
#include "frame/bag_values.hpp"
#include "frame/disk_format.hpp"
#include "platform/platform.hpp"
#include "propstore2/product.hpp"
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
    put(disk::kTimestamp, variant_t(static_cast<uint64_t>(std::time(nullptr))));
    put(disk::kHostName, variant_t(corekit2::get_fq_host_name()));
    put(disk::kOs, variant_t(platform::operatingSystemName()));
    if (const auto product = propstore2::IProductLocations::get()) {
        put(disk::kProduct, variant_t(product->getName(propstore2::PRODUCT_NAME)));
        put(disk::kBuildNumber, variant_t(static_cast<int32_t>(product->getVersion().build)));
    }
    const SystemInfo system;
    put(disk::kLogicalCpuCount, variant_t(static_cast<int32_t>(system.cpuCount())));
    put(disk::kPhysicalCoreCount, variant_t(static_cast<int32_t>(system.processorCoreCount())));
    put(disk::kProcessorPackageCount,
        variant_t(static_cast<int32_t>(system.processorPackageCount())));
    put(disk::kCpuFrequency, variant_t(static_cast<int64_t>(system.cpuFrequency())));
    put(disk::kCpuFamily, variant_t(static_cast<int32_t>(system.cpuFamily())));
    put(disk::kCpuModel, variant_t(static_cast<int32_t>(system.cpuModel())));
    put(disk::kCpuStepping, variant_t(static_cast<int32_t>(system.cpuStepping())));
    put(disk::kCpuBrandName, variant_t(std::wstring(system.cpuBrand())));
    if (const char* isa = highestIsaAbbreviation(system))
        put(disk::kIsa, variant_t(ulib_2_18::from_utf8(isa)));
}

}  // namespace talvo2
