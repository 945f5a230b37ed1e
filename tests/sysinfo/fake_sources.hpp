#pragma once

// A processor described by synthetic CPUID registers and operating-system answers, put in place
// of the machine's own for one test process.

#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "sysinfo/system_record.hpp"

namespace talvo2::test {

class FakeSources : public SystemSources {
public:
    using Registers = std::array<uint32_t, 4>;

    FakeSources() { resetSystemInfo(this); }
    ~FakeSources() override { resetSystemInfo(nullptr); }

    void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) const override {
        ++cpuidCalls;
        const auto it = leaves.find({leaf, subleaf});
        const Registers value = it == leaves.end() ? Registers{} : it->second;
        std::memcpy(registers, value.data(), sizeof(uint32_t) * 4);
    }
    platform::ProcessorTopology countProcessors() const override {
        ++countCalls;
        return topology;
    }
    int64_t registryFrequency() const override {
        ++registryCalls;
        return registryHz;
    }

    void setLeaf(uint32_t leaf, Registers value, uint32_t subleaf = 0) {
        leaves[{leaf, subleaf}] = value;
    }
    // Brand leaves 0x80000002..4 holding `brand` (at most 48 bytes), and the highest extended
    // leaf that announces them.
    void setBrand(const std::string& brand) {
        char bytes[48] = {};
        std::memcpy(bytes, brand.data(), brand.size() < 48 ? brand.size() : 48);
        setLeaf(0x80000000u, {0x80000008u, 0, 0, 0});
        for (uint32_t i = 0; i < 3; ++i) {
            Registers value;
            std::memcpy(value.data(), bytes + 16 * i, 16);
            setLeaf(0x80000002u + i, value);
        }
    }

    std::map<std::pair<uint32_t, uint32_t>, Registers> leaves;
    platform::ProcessorTopology topology;
    int64_t registryHz = 0;
    mutable std::atomic<int> cpuidCalls{0};
    mutable std::atomic<int> countCalls{0};
    mutable std::atomic<int> registryCalls{0};
};

}  // namespace talvo2::test
