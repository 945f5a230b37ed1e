#pragma once

// The SIMD extensions the library knows: one row per CPUID bit that proves an extension, with
// the extension's abbreviation and the name the kernel gives the feature in /proc/cpuinfo.
// Everything about extensions (detection, names, vector widths) is read from these rows.

#include <cstdint>

#include "talvo2/system_info.hpp"

namespace talvo2 {

// The CPUID output registers, in the order the instruction returns them.
enum CpuidRegister : uint32_t { EAX = 0, EBX = 1, ECX = 2, EDX = 3 };

struct IsaTableEntry {
    SystemInfo::IsaExtensions isa;
    const char* abbreviation;
    const char* cpuinfoFlag;
    uint32_t cpuidLeaf;
    CpuidRegister cpuidRegister;
    uint32_t cpuidBit;
    int32_t vectorLength;
};

// What the detection passes find, per family, and the widest vector register seen.
struct IsaRecord {
    SystemInfo::IsaExtensions mmxMax = SystemInfo::ISA_NONE;
    SystemInfo::IsaExtensions sseMax = SystemInfo::ISA_NONE;
    SystemInfo::IsaExtensions avxMax = SystemInfo::ISA_NONE;
    int32_t maxVectorLength = 0;
};

// Records in `record` every row of `leaf` whose bit is set in `registers` (EAX..EDX as CPUID
// returned them for that leaf). Leaf 1 looks at every family, SSE, MMX then AVX; leaf 7 at AVX
// alone. In each family the last row hit wins, so a higher level needs no lower one.
void applyIsaPass(uint32_t leaf, const uint32_t registers[4], IsaRecord& record);

// The first row, in the order AVX, SSE, MMX, whose abbreviation equals `abbreviation` and whose
// cpuinfo flag equals `cpuinfoFlag`; a null argument matches any row, both null match none.
// Null when no row matches.
const IsaTableEntry* findIsaRow(const char* abbreviation, const char* cpuinfoFlag);

// The first row, in the same order, for `isa`; null for ISA_NONE or an unknown value.
const IsaTableEntry* findIsaRow(SystemInfo::IsaExtensions isa);

}  // namespace talvo2
