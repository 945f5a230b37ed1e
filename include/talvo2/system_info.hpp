#pragma once

#include "talvo2/export.hpp"

namespace talvo2 {

// Facts about the machine the process runs on, recorded in new results.
class TALVO2_API SystemInfo {
public:
    // Processor generations told apart by CPUID family and display model.
    enum CPUType {
        CPU_TYPE_UNKNOWN = 0,
        CPU_TYPE_FAMILY5 = 1,
        CPU_TYPE_2 = 2,
        CPU_TYPE_3 = 3,
        CPU_TYPE_4 = 4,
        CPU_TYPE_5 = 5,
        CPU_TYPE_6 = 6,
        CPU_TYPE_7 = 7,
        CPU_TYPE_8 = 8,
        CPU_TYPE_9 = 9,
        CPU_TYPE_10 = 10,
        CPU_TYPE_11 = 11,
        CPU_TYPE_12 = 12,
        CPU_TYPE_13 = 13,
        CPU_TYPE_14 = 14,
    };

    // SIMD instruction-set extensions, ordered from none to the widest.
    enum IsaExtensions {
        ISA_NONE = 0,
        ISA_MMX = 1,
        ISA_SSE = 2,
        ISA_SSE2 = 3,
        ISA_SSE3 = 4,
        ISA_SSSE3 = 5,
        ISA_SSE4 = 6,
        ISA_SSE4_1 = 7,
        ISA_SSE4_2 = 8,
        ISA_AVX = 9,
        ISA_AVX2 = 10,
        ISA_AVX512 = 11,
    };

    // The highest extension of each family.
    struct IsaInfo {
        IsaExtensions mmxMax;
        IsaExtensions sseMax;
        IsaExtensions avxMax;
    };
};

}  // namespace talvo2
