#pragma once

// Identifying the processor from the CPUID instruction.

#include <cstdint>

#include "sysinfo/system_record.hpp"

namespace talvo2 {

struct ProcessorSignature {
    int32_t family = 0;
    int32_t model = 0;
    int32_t stepping = 0;
};

// The display family, display model and stepping in CPUID leaf 1's EAX. Extended model bits
// count for base families 6 and 15 only, the extended family for 15 only.
ProcessorSignature decodeSignature(uint32_t eax);

// Fills family, model, stepping, extensions, brand, brand clock (0 included) and processor type
// of `record` from the CPUID leaves `sources` answers, every vendor alike. False, with nothing
// changed, only when leaf 0 reports a negative highest leaf. The caller holds systemInfoMutex().
bool identifyFromCpuid(const SystemSources& sources, SystemRecord& record);

}  // namespace talvo2
