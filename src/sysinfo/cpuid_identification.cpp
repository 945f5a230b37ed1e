#include "sysinfo/cpuid_identification.hpp"

#include <cstring>

#include "sysinfo/processor_counts.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

namespace {

constexpr uint32_t kExtendedLeaves = 0x80000000u;
constexpr uint32_t kLastBrandLeaf = 0x80000004u;

uint32_t bits(uint32_t value, unsigned low, unsigned count) {
    return (value >> low) & ((1u << count) - 1u);
}

// The brand text of leaves 0x80000002..4: up to 48 bytes, cut at the first zero byte, spaces
// kept. Empty when the processor has no brand leaves.
std::string readBrand(const SystemSources& sources) {
    uint32_t registers[4];
    sources.cpuid(kExtendedLeaves, 0, registers);
    if (registers[0] < kLastBrandLeaf) return std::string();
    char buffer[49] = {};
    for (uint32_t leaf = kExtendedLeaves + 2; leaf <= kLastBrandLeaf; ++leaf) {
        sources.cpuid(leaf, 0, registers);
        std::memcpy(buffer + 16 * (leaf - kExtendedLeaves - 2), registers, sizeof registers);
    }
    return std::string(buffer);
}

}  // namespace

ProcessorSignature decodeSignature(uint32_t eax) {
    ProcessorSignature signature;
    const uint32_t baseFamily = bits(eax, 8, 4);
    const uint32_t baseModel = bits(eax, 4, 4);
    const uint32_t extendedModel = bits(eax, 16, 4);
    const uint32_t extendedFamily = bits(eax, 20, 8);
    signature.stepping = static_cast<int32_t>(bits(eax, 0, 4));
    signature.family = static_cast<int32_t>(baseFamily);
    signature.model = static_cast<int32_t>(baseModel);
    if (baseFamily == 6 || baseFamily == 15) {
        signature.model = static_cast<int32_t>(baseModel + 16 * extendedModel);
        if (baseFamily == 15) signature.family = static_cast<int32_t>(15 + extendedFamily);
    }
    return signature;
}

bool identifyFromCpuid(const SystemSources& sources, SystemRecord& record) {
    uint32_t registers[4];
    sources.cpuid(0, 0, registers);
    const int32_t highestLeaf = static_cast<int32_t>(registers[0]);
    if (highestLeaf < 0) return false;

    if (highestLeaf >= 1) {
        sources.cpuid(1, 0, registers);
        const ProcessorSignature signature = decodeSignature(registers[0]);
        record.family = signature.family;
        record.model = signature.model;
        record.stepping = signature.stepping;
        applyIsaPass(1, registers, record.isa);
    }
    if (highestLeaf >= 7) {
        sources.cpuid(7, 0, registers);
        applyIsaPass(7, registers, record.isa);
    }

    const std::string brand = readBrand(sources);
    record.frequency = parseBrandFrequency(brand.c_str());
    storeBrand(ulib_2_18::from_utf8(brand));
    record.type = SystemInfo::getCPUType(record.family, record.model);
    return true;
}

}  // namespace talvo2
