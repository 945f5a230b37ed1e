#include "sysinfo/system_record.hpp"

#include <deque>

#include "sysinfo/processor_counts.hpp"

namespace talvo2 {

namespace {

struct SystemState {
    corekit2::mutex_t mutex;
    SystemRecord record;
    // Every brand text ever stored; a deque never moves its elements.
    std::deque<std::wstring> brands{std::wstring()};
    const SystemSources* sources = nullptr;
    SystemState() { record.brand = &brands.back(); }
};

// Made on first use, so that a SystemInfo constructed while other libraries load finds it ready;
// destroyed when the library is unloaded.
SystemState& state() {
    static SystemState instance;
    return instance;
}

const SystemSources& machineSources() {
    static const SystemSources machine;
    return machine;
}

// Made when the library is loaded, so that the mutex exists before any thread can race for it.
const bool stateReady = (state(), machineSources(), true);

}  // namespace

SystemSources::~SystemSources() = default;

void SystemSources::cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) const {
    platform::cpuid(leaf, subleaf, registers);
}

platform::ProcessorTopology SystemSources::countProcessors() const {
    return talvo2::countProcessors();
}

int64_t SystemSources::registryFrequency() const {
    return readRegistryFrequency();
}

corekit2::mutex_t& systemInfoMutex() {
    return state().mutex;
}

SystemRecord& systemRecord() {
    return state().record;
}

const SystemSources& systemSources() {
    const SystemSources* sources = state().sources;
    return sources ? *sources : machineSources();
}

void storeBrand(const std::wstring& brand) {
    SystemState& s = state();
    if (s.brands.back() != brand) s.brands.push_back(brand);
    s.record.brand = &s.brands.back();
}

void resetSystemInfo(const SystemSources* sources) {
    corekit2::mutex_guard_t lock(systemInfoMutex());
    SystemState& s = state();
    s.sources = sources;
    s.record = SystemRecord();
    storeBrand(std::wstring());
}

}  // namespace talvo2
