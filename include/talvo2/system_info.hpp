#pragma once

#include <string>

#include "talvo2/export.hpp"

namespace talvo2 {

// Facts about the machine the process runs on: processor counts, clock, identification and the
// highest SIMD extensions. They are gathered once per process by the first SystemInfo made and
// shared by every object, which is only a light handle onto them; all operations are safe from
// any number of threads. Nothing here fails or touches the last error: a value that cannot be
// found reads as 0, an empty string or ISA_NONE.
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

    // Gathers the machine's facts unless this process already has them. A machine on which
    // counts, clock, family and model all stay unknown is asked again by the next SystemInfo.
    SystemInfo();
    // Copies share the process-wide facts: nothing is copied and nothing gathered.
    SystemInfo(const SystemInfo&);
    SystemInfo& operator=(const SystemInfo&);
    virtual ~SystemInfo();

    // Logical processors (hardware threads) online, cores, and packages (sockets); 0 if unknown.
    int cpuCount() const;
    int processorCoreCount() const;
    int processorPackageCount() const;
    // The processor clock in Hz; 0 if unknown.
    long long cpuFrequency() const;
    // Display family, display model and stepping from CPUID; 0 if unknown.
    int cpuFamily() const;
    int cpuModel() const;
    int cpuStepping() const;
    // The processor's brand text as the processor gives it (padding kept); empty if unknown. The
    // library owns it; it stays valid until the library is unloaded.
    const wchar_t* cpuBrand() const;
    CPUType cpuType() const;
    // The highest detected extension of each family; ISA_NONE when none.
    IsaExtensions mmxMax() const;
    IsaExtensions sseMax() const;
    IsaExtensions avxMax() const;
    // The three families read together.
    IsaInfo getIsa() const;
    // The widest vector register the detected extensions use, in bits (0, 64, 128, 256 or 512).
    int getMaxVectorLength() const;

    // The processor generation of a CPUID family and display model; CPU_TYPE_UNKNOWN for any
    // pair not known. Needs no gathered facts.
    static CPUType getCPUType(int family, int model);
    // The extension named by an abbreviation such as "avx2" or "sse4_2" (exact, case-sensitive);
    // ISA_NONE for null or an unknown name.
    static IsaExtensions getIsaType(const char* abbreviation);
    // The abbreviation of an extension: a constant string, or null for ISA_NONE and values out of
    // range.
    static const char* getIsaAbbreviation(IsaExtensions isa);
    // The same as wide text; empty when there is none.
    static std::wstring getIsaAbbreviationAsString(IsaExtensions isa);

private:
    // Identification and extension detection from the CPUID instruction; false only when the
    // processor reports no usable standard leaves at all. Runs under the process-wide lock.
    bool initFromCpuid();
    // A second source of identification that this build does not have; returns false.
    bool initFromOS();
    // The extension and vector length of the first table row matching an abbreviation, a
    // cpuinfo flag name, or both (a null argument matches any row); ISA_NONE and 0 without one.
    static void getIsaInfoFromAbbrOrCpuinfoFlag(const char* abbreviation, const char* cpuinfoFlag,
                                                IsaExtensions& isa, int& vectorLength);
};

}  // namespace talvo2
