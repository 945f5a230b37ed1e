#pragma once

// What the operating system and the processor itself say about the processors: the CPUID
// instruction, the kernel's CPU topology and the clock the kernel reports. The file locations are
// parameters so that a copy of them in a scratch directory can stand in for the real ones.

#include <cstdint>
#include <string>

namespace talvo2::platform {

// Where the kernel describes the CPUs and where it lists their features.
extern const char* const kCpuSysfsRoot;  // "/sys/devices/system/cpu"
extern const char* const kCpuinfoPath;   // "/proc/cpuinfo"

// Runs CPUID for `leaf` and `subleaf` and stores EAX, EBX, ECX, EDX. Where the instruction does
// not exist (other architectures) every register reads 0, so leaf 0 reports no standard leaves.
void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]);

struct ProcessorTopology {
    int32_t packages = 0;
    int32_t cores = 0;
    int32_t logical = 0;
};

// Counts the online CPUs below `cpuRoot`: logical = online CPUs (hardware threads, so SMT
// counts), packages = distinct physical package ids, cores = distinct (package, core) pairs. A
// CPU whose topology cannot be read counts as a core of its own in one shared package. All zero
// when the online CPUs cannot be listed.
ProcessorTopology readProcessorTopology(const std::string& cpuRoot);

// The processor clock in whole MHz: the highest cpufreq maximum of the online CPUs below
// `cpuRoot`, else the first "cpu MHz" line of `cpuinfo`; 0 when neither gives one.
int64_t readProcessorMhz(const std::string& cpuRoot, const std::string& cpuinfo);

}  // namespace talvo2::platform
