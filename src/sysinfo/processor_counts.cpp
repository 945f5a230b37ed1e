#include "sysinfo/processor_counts.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace talvo2 {

platform::ProcessorTopology countProcessors() {
    return platform::readProcessorTopology(platform::kCpuSysfsRoot);
}

int64_t parseBrandFrequency(const char* brand) {
    if (!brand) return 0;
    const char* word = std::strrchr(brand, ' ');
    if (!word) return 0;
    const char* const end = word + std::strlen(word);
    // White space before the number, an optional plus sign, the number in the C locale whatever
    // the process's locale, then exactly one unit character.
    while (word != end && (*word == ' ' || *word == '\t' || *word == '\n')) ++word;
    if (word != end && *word == '+') ++word;
    double value = 0;
    const auto [next, error] = std::from_chars(word, end, value, std::chars_format::general);
    if (error != std::errc() || next == end) return 0;
    double scale = 0;
    if (*next == 'M') scale = 1e6;
    if (*next == 'G') scale = 1e9;
    const double hz = value * scale;
    // Beyond this a conversion to 64 bits is undefined; no processor comes near it.
    if (!std::isfinite(hz) || std::fabs(hz) >= 9.2e18) return 0;
    return static_cast<int64_t>(hz);
}

int64_t readRegistryFrequency() {
    return platform::readProcessorMhz(platform::kCpuSysfsRoot, platform::kCpuinfoPath) * 1000000;
}

}  // namespace talvo2
