#pragma once

// The process-wide facts behind every SystemInfo, the lock that guards them, and the sources
// they are gathered from.

#include <cstdint>
#include <string>

#include "corekit2/mutex.hpp"
#include "platform/processor.hpp"
#include "sysinfo/isa_table.hpp"
#include "talvo2/system_info.hpp"

namespace talvo2 {

// All zero (the brand empty) until the first SystemInfo gathers it. Read and written only under
// systemInfoMutex().
struct SystemRecord {
    int32_t logicalCount = 0;
    int32_t coreCount = 0;
    int32_t packageCount = 0;
    int64_t frequency = 0;  // Hz
    IsaRecord isa;
    int32_t family = 0;
    int32_t model = 0;
    int32_t stepping = 0;
    // Points into storage that lives until the library is unloaded (see storeBrand).
    const std::wstring* brand = nullptr;
    SystemInfo::CPUType type = SystemInfo::CPU_TYPE_UNKNOWN;
};

// Where gathering gets its facts: the machine itself unless a test puts synthetic ones in place.
class SystemSources {
public:
    virtual ~SystemSources();
    virtual void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) const;
    virtual platform::ProcessorTopology countProcessors() const;
    virtual int64_t registryFrequency() const;
};

corekit2::mutex_t& systemInfoMutex();
// The record; the caller holds systemInfoMutex().
SystemRecord& systemRecord();
// The sources gathering uses; the caller holds systemInfoMutex().
const SystemSources& systemSources();

// Makes `brand` the record's brand. Earlier brand texts stay alive, so a pointer a caller got
// from cpuBrand() before a second gathering never dangles. The caller holds systemInfoMutex().
void storeBrand(const std::wstring& brand);

// For tests: replaces the sources (null puts the machine's own back) and returns the record to
// its all-zero state, so that the next SystemInfo gathers again. `sources` must outlive its use.
void resetSystemInfo(const SystemSources* sources);

}  // namespace talvo2
