#include "talvo2/system_info.hpp"

#include "sysinfo/cpuid_identification.hpp"
#include "sysinfo/isa_table.hpp"
#include "sysinfo/system_record.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

namespace {

// Reads one part of the record under the lock.
template <typename Read>
auto locked(Read read) {
    corekit2::mutex_guard_t lock(systemInfoMutex());
    return read(systemRecord());
}

bool isGathered(const SystemRecord& r) {
    return r.logicalCount != 0 || r.coreCount != 0 || r.packageCount != 0 || r.frequency != 0 ||
           r.family != 0 || r.model != 0;
}

}  // namespace

SystemInfo::SystemInfo() {
    corekit2::mutex_guard_t lock(systemInfoMutex());
    SystemRecord& record = systemRecord();
    if (isGathered(record)) return;
    const SystemSources& sources = systemSources();
    const platform::ProcessorTopology counts = sources.countProcessors();
    record.packageCount = counts.packages;
    record.coreCount = counts.cores;
    record.logicalCount = counts.logical;
    initFromCpuid();
    if (record.frequency == 0) record.frequency = sources.registryFrequency();
}

SystemInfo::SystemInfo(const SystemInfo&) {}
SystemInfo& SystemInfo::operator=(const SystemInfo&) {
    return *this;
}
SystemInfo::~SystemInfo() = default;

int SystemInfo::cpuCount() const {
    return locked([](const SystemRecord& r) { return r.logicalCount; });
}
int SystemInfo::processorCoreCount() const {
    return locked([](const SystemRecord& r) { return r.coreCount; });
}
int SystemInfo::processorPackageCount() const {
    return locked([](const SystemRecord& r) { return r.packageCount; });
}
long long SystemInfo::cpuFrequency() const {
    return locked([](const SystemRecord& r) { return static_cast<long long>(r.frequency); });
}
int SystemInfo::cpuFamily() const {
    return locked([](const SystemRecord& r) { return r.family; });
}
int SystemInfo::cpuModel() const {
    return locked([](const SystemRecord& r) { return r.model; });
}
int SystemInfo::cpuStepping() const {
    return locked([](const SystemRecord& r) { return r.stepping; });
}
const wchar_t* SystemInfo::cpuBrand() const {
    return locked([](const SystemRecord& r) { return r.brand->c_str(); });
}
SystemInfo::CPUType SystemInfo::cpuType() const {
    return locked([](const SystemRecord& r) { return r.type; });
}
SystemInfo::IsaExtensions SystemInfo::mmxMax() const {
    return locked([](const SystemRecord& r) { return r.isa.mmxMax; });
}
SystemInfo::IsaExtensions SystemInfo::sseMax() const {
    return locked([](const SystemRecord& r) { return r.isa.sseMax; });
}
SystemInfo::IsaExtensions SystemInfo::avxMax() const {
    return locked([](const SystemRecord& r) { return r.isa.avxMax; });
}
SystemInfo::IsaInfo SystemInfo::getIsa() const {
    return locked([](const SystemRecord& r) {
        return IsaInfo{r.isa.mmxMax, r.isa.sseMax, r.isa.avxMax};
    });
}
int SystemInfo::getMaxVectorLength() const {
    return locked([](const SystemRecord& r) { return r.isa.maxVectorLength; });
}

SystemInfo::CPUType SystemInfo::getCPUType(int family, int model) {
    if (family == 5) return CPU_TYPE_FAMILY5;
    if (family != 6) return CPU_TYPE_UNKNOWN;
    switch (model) {
        case 28:
        case 38:
            return CPU_TYPE_2;
        case 55:
        case 74:
        case 77:
        case 90:
        case 93:
            return CPU_TYPE_3;
        case 26:
        case 30:
        case 31:
        case 46:
            return CPU_TYPE_4;
        case 37:
        case 44:
        case 47:
            return CPU_TYPE_5;
        case 42:
        case 45:
            return CPU_TYPE_6;
        case 58:
        case 62:
            return CPU_TYPE_7;
        case 60:
        case 63:
        case 69:
        case 70:
            return CPU_TYPE_8;
        case 61:
        case 71:
        case 79:
        case 86:
            return CPU_TYPE_9;
        case 78:
        case 94:
            return CPU_TYPE_10;
        case 85:
            return CPU_TYPE_11;
        case 23:
        case 29:
            return CPU_TYPE_12;
        case 15:
            return CPU_TYPE_13;
        case 87:
        case 133:
            return CPU_TYPE_14;
        default:
            return CPU_TYPE_UNKNOWN;
    }
}

SystemInfo::IsaExtensions SystemInfo::getIsaType(const char* abbreviation) {
    const IsaTableEntry* row = abbreviation ? findIsaRow(abbreviation, nullptr) : nullptr;
    return row ? row->isa : ISA_NONE;
}

const char* SystemInfo::getIsaAbbreviation(IsaExtensions isa) {
    const IsaTableEntry* row = findIsaRow(isa);
    return row ? row->abbreviation : nullptr;
}

std::wstring SystemInfo::getIsaAbbreviationAsString(IsaExtensions isa) {
    const char* abbreviation = getIsaAbbreviation(isa);
    return abbreviation ? ulib_2_18::from_utf8(abbreviation) : std::wstring();
}

bool SystemInfo::initFromCpuid() {
    return identifyFromCpuid(systemSources(), systemRecord());
}

bool SystemInfo::initFromOS() {
    return false;
}

void SystemInfo::getIsaInfoFromAbbrOrCpuinfoFlag(const char* abbreviation, const char* cpuinfoFlag,
                                                 IsaExtensions& isa, int& vectorLength) {
    const IsaTableEntry* row = findIsaRow(abbreviation, cpuinfoFlag);
    isa = row ? row->isa : ISA_NONE;
    vectorLength = row ? row->vectorLength : 0;
}

}  // namespace talvo2
