#include "talvo2/system_info.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sysinfo/processor_counts.hpp"
#include "sysinfo/system_record.hpp"
#include "util/test_util.hpp"

namespace talvo2 {
namespace {

namespace fs = boost::filesystem;
using S = SystemInfo;
using Registers = std::array<uint32_t, 4>;

constexpr uint32_t bit(unsigned n) {
    return 1u << n;
}

// Leaf 1 of family 6, display model 60 (base 12, extended 3), stepping 3: EDX with MMX, SSE and
// SSE2; ECX with SSE3, SSSE3, SSE4.1, SSE4.2 and AVX.
constexpr uint32_t kModel60 = 0x000306C3u;
constexpr uint32_t kEcx = bit(0) | bit(9) | bit(19) | bit(20) | bit(28);
constexpr uint32_t kEdx = bit(23) | bit(25) | bit(26);

// A processor described by synthetic CPUID registers and operating-system answers, put in place
// of the machine's own while it lives: a four-core Haswell whose brand names its clock, with
// MMX, SSE to SSE4.2, AVX and AVX2.
class FakeSources : public SystemSources {
public:
    FakeSources() {
        resetSystemInfo(this);
        setLeaf(0, {13, 0, 0, 0});
        setLeaf(1, {kModel60, 0, kEcx, kEdx});
        setLeaf(7, {0, bit(5), 0, 0});
        setBrand("Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz");
    }
    ~FakeSources() override { resetSystemInfo(nullptr); }

    void cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) const override {
        const auto it = leaves.find({leaf, subleaf});
        std::memcpy(registers, (it == leaves.end() ? Registers{} : it->second).data(), 16);
    }
    platform::ProcessorTopology countProcessors() const override {
        ++countCalls;
        return topology;
    }
    int64_t registryFrequency() const override {
        ++registryCalls;
        return registryHz;
    }

    void setLeaf(uint32_t leaf, Registers value) { leaves[{leaf, 0}] = value; }
    // Brand leaves 0x80000002..4 holding `brand`, and the highest extended leaf announcing them.
    void setBrand(const std::string& brand) {
        char bytes[48] = {};
        std::memcpy(bytes, brand.data(), std::min<std::size_t>(brand.size(), 48));
        setLeaf(0x80000000u, {0x80000008u, 0, 0, 0});
        for (uint32_t i = 0; i < 3; ++i)
            std::memcpy(leaves[{0x80000002u + i, 0}].data(), bytes + 16 * i, 16);
    }

    std::map<std::pair<uint32_t, uint32_t>, Registers> leaves;
    platform::ProcessorTopology topology{1, 4, 8};
    int64_t registryHz = 1;
    mutable std::atomic<int> countCalls{0}, registryCalls{0};
};

const char* const kIsaNames[] = {"-",    "mmx",    "sse",    "sse2", "sse3", "ssse3",
                                 "sse4", "sse4_1", "sse4_2", "avx",  "avx2", "avx512"};

// Identification, extensions and clock in one line.
std::string describe(const S& info) {
    return std::to_string(info.cpuFamily()) + "/" + std::to_string(info.cpuModel()) + "/" +
           std::to_string(info.cpuStepping()) + " type " + std::to_string(info.cpuType()) + ", " +
           kIsaNames[info.mmxMax()] + " " + kIsaNames[info.sseMax()] + " " +
           kIsaNames[info.avxMax()] + " " + std::to_string(info.getMaxVectorLength()) + ", " +
           std::to_string(info.cpuFrequency()) + " Hz";
}

TEST(SystemInfoTest, CpuTypeTable) {
    // The family-6 models of CPU_TYPE_2 .. CPU_TYPE_14; every other model is unknown.
    const std::vector<int> models[] = {
        {28, 38},         {55, 74, 77, 90, 93}, {26, 30, 31, 46}, {37, 44, 47}, {42, 45}, {58, 62},
        {60, 63, 69, 70}, {61, 71, 79, 86},     {78, 94},         {85},         {23, 29}, {15},
        {87, 133}};
    for (int model = -1; model < 300; ++model) {
        int expected = S::CPU_TYPE_UNKNOWN;
        for (int type = S::CPU_TYPE_2; type <= S::CPU_TYPE_14; ++type)
            if (std::count(models[type - 2].begin(), models[type - 2].end(), model))
                expected = type;
        EXPECT_EQ(S::getCPUType(6, model), expected) << model;
        EXPECT_EQ(S::getCPUType(5, model), S::CPU_TYPE_FAMILY5);
        EXPECT_EQ(S::getCPUType(15, model), S::CPU_TYPE_UNKNOWN);
        EXPECT_EQ(S::getCPUType(0, model), S::CPU_TYPE_UNKNOWN);
    }
}

TEST(SystemInfoTest, GathersOnceFromTheProcessor) {
    FakeSources fake;
    const S info;
    EXPECT_EQ(info.cpuCount(), 8);
    EXPECT_EQ(info.processorCoreCount(), 4);
    EXPECT_EQ(info.processorPackageCount(), 1);
    EXPECT_EQ(describe(info), "6/60/3 type 8, mmx sse4_2 avx2 256, 3400000000 Hz");
    EXPECT_EQ(fake.registryCalls, 0);  // the brand named the clock
    EXPECT_STREQ(info.cpuBrand(), L"Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz");
    const S::IsaInfo isa = info.getIsa();
    EXPECT_EQ(std::string(kIsaNames[isa.mmxMax]) + kIsaNames[isa.sseMax] + kIsaNames[isa.avxMax],
              "mmxsse4_2avx2");

    // Later objects and copies read the same facts without gathering them again.
    const S second;
    S copy(second);
    copy = info;
    EXPECT_EQ(copy.cpuModel(), 60);
    EXPECT_EQ(fake.countCalls, 1);
}

// Processors that differ from the Haswell in one respect. The operating system would say
// 2394 MHz: it is asked exactly when the brand names no clock.
TEST(SystemInfoTest, ProcessorVariants) {
    // clang-format off
    const struct {
        const char* name;
        std::vector<std::pair<uint32_t, Registers>> leaves;  // replacing the Haswell's
        const char* brand;                                   // replacing the Haswell's
        const char* expected;
        const wchar_t* expectedBrand = nullptr;
    } cases[] = {
        // Base family 15 adds the extended family; other families but 6 ignore both extensions.
        {"family 15", {{1, {0x00810F10u, 0, kEcx, kEdx}}}, nullptr,
         "23/17/0 type 0, mmx sse4_2 avx2 256, 3400000000 Hz"},
        {"family 5", {{1, {0x0FF30542u, 0, kEcx, kEdx}}}, nullptr,
         "5/4/2 type 1, mmx sse4_2 avx2 256, 3400000000 Hz"},
        {"any AVX-512 subset", {{7, {0, bit(5) | bit(16), 0, 0}}}, nullptr,
         "6/60/3 type 8, mmx sse4_2 avx512 512, 3400000000 Hz"},
        {"leaf 7 unannounced", {{0, {6, 0, 0, 0}}, {7, {0, bit(5) | bit(16), bit(14), bit(2)}}},
         nullptr, "6/60/3 type 8, mmx sse4_2 avx 256, 3400000000 Hz"},
        {"MMX alone", {{1, {kModel60, 0, 0, bit(23)}}, {7, {}}}, nullptr,
         "6/60/3 type 8, mmx - - 64, 3400000000 Hz"},
        // A higher level needs no lower one; EBX holds no extension bits.
        {"SSE4.2 alone", {{1, {kModel60, ~(bit(28) | bit(9) | bit(19)), bit(20), 0}}, {7, {}}},
         nullptr, "6/60/3 type 8, - sse4_2 - 128, 3400000000 Hz"},
        {"highest leaf 0: the brand leaves still count", {{0, {}}}, nullptr,
         "0/0/0 type 0, - - - 0, 3400000000 Hz"},
        {"negative highest leaf: nothing is read", {{0, {0x80000001u, 0, 0, 0}}}, nullptr,
         "0/0/0 type 0, - - - 0, 2394000000 Hz", L""},
        {"brand without a clock", {}, "Intel(R) Xeon(R) CPU @ 3.40ghz",
         "6/60/3 type 8, mmx sse4_2 avx2 256, 2394000000 Hz", L"Intel(R) Xeon(R) CPU @ 3.40ghz"},
        {"no brand leaves", {{0x80000000u, {0x80000003u, 0, 0, 0}}}, nullptr,
         "6/60/3 type 8, mmx sse4_2 avx2 256, 2394000000 Hz", L""},
        {"padding is kept", {}, "      Intel(R) Xeon(R) CPU E5-2680 0 @ 2.70GHz",
         "6/60/3 type 8, mmx sse4_2 avx2 256, 2700000000 Hz",
         L"      Intel(R) Xeon(R) CPU E5-2680 0 @ 2.70GHz"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSources fake;
        fake.registryHz = 2394000000LL;
        if (c.brand) fake.setBrand(c.brand);
        for (const auto& [leaf, registers] : c.leaves) fake.setLeaf(leaf, registers);
        const S info;
        EXPECT_EQ(describe(info), c.expected);
        EXPECT_EQ(info.cpuCount(), 8);
        EXPECT_EQ(fake.registryCalls, std::strstr(c.expected, "2394000000") ? 1 : 0);
        if (c.expectedBrand) {
            EXPECT_STREQ(info.cpuBrand(), c.expectedBrand);
        }
    }
}

TEST(SystemInfoTest, NothingKnownIsAskedAgainAndOldBrandsStayValid) {
    FakeSources fake;
    fake.leaves.clear();
    fake.topology = {};
    fake.registryHz = 0;
    fake.setBrand("First brand without a clock");
    const wchar_t* first = S().cpuBrand();
    EXPECT_STREQ(first, L"First brand without a clock");
    EXPECT_EQ(fake.countCalls, 1);

    fake.setBrand("Second brand");
    const S again;
    EXPECT_EQ(fake.countCalls, 2);
    EXPECT_STREQ(again.cpuBrand(), L"Second brand");
    EXPECT_STREQ(first, L"First brand without a clock");  // still readable, not freed

    // Once anything is known the facts stay.
    fake.topology = {1, 1, 1};
    const S known;
    const S after;
    EXPECT_EQ(fake.countCalls, 3);
    EXPECT_EQ(after.cpuCount(), 1);
}

TEST(SystemInfoTest, ConcurrentFirstObjectsGatherOnce) {
    FakeSources fake;
    std::vector<std::thread> threads;
    std::vector<int> models(8);
    for (std::size_t i = 0; i < models.size(); ++i)
        threads.emplace_back([&models, i] { models[i] = S().cpuModel(); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(fake.countCalls, 1);
    for (const int model : models) EXPECT_EQ(model, 60);
}

TEST(SystemInfoTest, ExtensionNames) {
    for (int value = S::ISA_MMX; value <= S::ISA_AVX512; ++value) {
        const auto isa = static_cast<S::IsaExtensions>(value);
        EXPECT_STREQ(S::getIsaAbbreviation(isa), kIsaNames[value]);
        EXPECT_EQ(S::getIsaType(kIsaNames[value]), isa);  // names and values round-trip
    }
    EXPECT_EQ(S::getIsaAbbreviation(S::ISA_NONE), nullptr);
    EXPECT_EQ(S::getIsaAbbreviation(static_cast<S::IsaExtensions>(S::ISA_AVX512 + 1)), nullptr);
    // Exact abbreviations only: a cpuinfo flag or another case is no name.
    for (const char* unknown : {static_cast<const char*>(nullptr), "", "avx512f", "AVX2"})
        EXPECT_EQ(S::getIsaType(unknown), S::ISA_NONE) << (unknown ? unknown : "null");
    EXPECT_EQ(S::getIsaAbbreviationAsString(S::ISA_SSE4_1), L"sse4_1");
    EXPECT_EQ(S::getIsaAbbreviationAsString(S::ISA_NONE), L"");
}

// The clock a brand text names in its last word: a number and exactly one unit, M or G.
TEST(ProcessorCountsTest, BrandFrequency) {
    // clang-format off
    const std::pair<const char*, int64_t> cases[] = {
        {"Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz", 3400000000LL}, {"Some CPU 2400MHz", 2400000000LL},
        {"CPU @ +3.00GHz", 3000000000LL},
        {"CPU @ 2.999999999G", 2999999999LL} /* truncated */, {"Some CPU 3.40THz", 0},
        {"Some CPU 3.40ghz", 0}, {"NoSpaceAt3.40GHz", 0}, {"AMD EPYC 7B12", 0}, {"", 0}, {nullptr, 0},
        {"Some CPU 3.40", 0}, {"Processor ", 0}, {"Some CPU GHz", 0}, {"CPU infGHz", 0},
        {"CPU 1e300G", 0} /* out of range, not undefined */};
    // clang-format on
    for (const auto& [brand, hz] : cases)
        EXPECT_EQ(parseBrandFrequency(brand), hz) << (brand ? brand : "null");
}

// A CPU of a fake sysfs tree with its topology ids; a negative id leaves that file out.
void addCpu(const fs::path& root, int cpu, int package, int core) {
    const fs::path topology = root / ("cpu" + std::to_string(cpu)) / "topology";
    fs::create_directories(topology);
    if (package >= 0) test::writeFile(topology / "physical_package_id", std::to_string(package));
    if (core >= 0) test::writeFile(topology / "core_id", std::to_string(core) + "\n");
}

TEST(ProcessorCountsTest, TopologyAndClockFromSysfs) {
    test::TempDir dir;
    const fs::path root = dir.path() / "cpu";
    // Two packages of eight cores with two hardware threads each.
    for (int cpu = 0; cpu < 32; ++cpu) addCpu(root, cpu, cpu / 16, (cpu % 16) / 2);
    addCpu(root, 40, -1, -1);  // without topology files: a core of its own, package unknown
    // Offline CPUs do not count; a list that cannot be parsed counts nothing, not half of it.
    // clang-format off
    const std::pair<const char*, std::array<int, 3>> cases[] = {
        {"0-31\n", {32, 16, 2}}, {"0-3,16,18-19\n", {7, 4, 2}}, {"0,1,40\n", {3, 2, 2}},
        {"", {}}, {"0-", {}}, {"3-1", {}}, {"a", {}}, {"0-3,x", {}}, {"-1", {}}};
    // clang-format on
    for (const auto& [online, expected] : cases) {
        test::writeFile(root / "online", online);
        const platform::ProcessorTopology counts = platform::readProcessorTopology(root.string());
        EXPECT_EQ((std::array<int, 3>{counts.logical, counts.cores, counts.packages}), expected)
            << online;
    }
    const auto missing = platform::readProcessorTopology((dir.path() / "missing").string());
    EXPECT_EQ(missing.logical + missing.cores + missing.packages, 0);

    // The clock: the highest cpufreq maximum of the online CPUs, else the first "cpu MHz".
    const std::string cpuinfo = (dir.path() / "cpuinfo").string();
    test::writeFile(root / "online", "0-1\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 0);
    test::writeFile(cpuinfo, "processor\t: 0\nmodel name\t: Test CPU\ncpu MHz\t\t: 2394.454\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 2394);
    for (const auto& [cpu, khz] :
         {std::pair{"cpu0", "3400000\n"}, {"cpu1", "3900000\n"}, {"cpu2", "4500000\n"}}) {
        fs::create_directories(root / cpu / "cpufreq");
        test::writeFile(root / cpu / "cpufreq/cpuinfo_max_freq", khz);
    }
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 3900);
    test::writeFile(root / "cpu1/cpufreq/cpuinfo_max_freq", "garbage\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 3400);
}

TEST(ProcessorCountsTest, ThisMachine) {
    const platform::ProcessorTopology counts = countProcessors();
    EXPECT_GE(counts.logical, counts.cores);
    EXPECT_GE(counts.cores, counts.packages);
    EXPECT_GE(counts.packages, 1);
    EXPECT_GE(readRegistryFrequency(), 0);
}

}  // namespace
}  // namespace talvo2
