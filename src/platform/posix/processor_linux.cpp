#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/processor.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace talvo2::platform {

const char* const kCpuSysfsRoot = "/sys/devices/system/cpu";
const char* const kCpuinfoPath = "/proc/cpuinfo";

namespace {

// The first line of a small kernel file; false when it cannot be read.
bool readLine(const std::string& path, std::string& line) {
    std::ifstream file(path);
    return static_cast<bool>(std::getline(file, line));
}

// A whole decimal number (sign allowed), nothing else but trailing white space.
bool parseInteger(const std::string& text, long long& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(begin, &end, 10);
    if (end == begin || errno != 0) return false;
    for (; *end; ++end) {
        if (*end != ' ' && *end != '\t' && *end != '\n' && *end != '\r') return false;
    }
    return true;
}

bool readInteger(const std::string& path, long long& value) {
    std::string line;
    return readLine(path, line) && parseInteger(line, value);
}

// The CPU numbers of a kernel CPU list such as "0-3,8,10-11"; false on anything malformed, so
// that a garbled list is never half counted.
bool parseCpuList(const std::string& text, std::vector<long long>& cpus) {
    std::stringstream items(text);
    std::string item;
    constexpr long long kMaxCpus = 1 << 20;
    while (std::getline(items, item, ',')) {
        while (!item.empty() && (item.back() == '\n' || item.back() == ' ')) item.pop_back();
        if (item.empty()) continue;
        const std::size_t dash = item.find('-');
        long long first = 0;
        long long last = 0;
        if (!parseInteger(item.substr(0, dash), first)) return false;
        last = first;
        if (dash != std::string::npos && !parseInteger(item.substr(dash + 1), last)) return false;
        if (first < 0 || last < first || last >= kMaxCpus) return false;
        for (long long cpu = first; cpu <= last; ++cpu) cpus.push_back(cpu);
    }
    return true;
}

bool onlineCpus(const std::string& cpuRoot, std::vector<long long>& cpus) {
    std::string line;
    return readLine(cpuRoot + "/online", line) && parseCpuList(line, cpus) && !cpus.empty();
}

}  // namespace

void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) {
    registers[0] = registers[1] = registers[2] = registers[3] = 0;
#if defined(__x86_64__) || defined(__i386__)
    unsigned int a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    registers[0] = a;
    registers[1] = b;
    registers[2] = c;
    registers[3] = d;
#else
    (void)leaf;
    (void)subleaf;
#endif
}

ProcessorTopology readProcessorTopology(const std::string& cpuRoot) {
    ProcessorTopology counts;
    std::vector<long long> cpus;
    if (!onlineCpus(cpuRoot, cpus)) return counts;
    std::set<long long> packages;
    std::set<std::pair<long long, long long>> cores;
    for (const long long cpu : cpus) {
        const std::string topology = cpuRoot + "/cpu" + std::to_string(cpu) + "/topology/";
        long long package = -1;
        long long core = 0;
        if (!readInteger(topology + "physical_package_id", package)) package = -1;
        // Without a core id the CPU is taken as a core of its own: never fewer cores than the
        // kernel could prove, and never more than logical processors.
        if (!readInteger(topology + "core_id", core)) core = -2 - cpu;
        packages.insert(package);
        cores.insert({package, core});
    }
    counts.packages = static_cast<int32_t>(packages.size());
    counts.cores = static_cast<int32_t>(cores.size());
    counts.logical = static_cast<int32_t>(cpus.size());
    return counts;
}

int64_t readProcessorMhz(const std::string& cpuRoot, const std::string& cpuinfo) {
    long long bestKhz = 0;
    std::vector<long long> cpus;
    if (onlineCpus(cpuRoot, cpus)) {
        for (const long long cpu : cpus) {
            long long khz = 0;
            const std::string file =
                cpuRoot + "/cpu" + std::to_string(cpu) + "/cpufreq/cpuinfo_max_freq";
            if (readInteger(file, khz) && khz > bestKhz) bestKhz = khz;
        }
    }
    // A clock of a terahertz or more is a garbled file, not a processor.
    if (bestKhz > 0 && bestKhz < 1000000000) return bestKhz / 1000;

    std::ifstream file(cpuinfo);
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, 7, "cpu MHz") != 0) continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const double mhz = std::strtod(line.c_str() + colon + 1, nullptr);
        return mhz >= 1.0 && mhz < 1e6 ? static_cast<int64_t>(mhz) : 0;
    }
    return 0;
}

}  // namespace talvo2::platform
