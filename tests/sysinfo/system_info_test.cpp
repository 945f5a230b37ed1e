#include "talvo2/system_info.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "sysinfo/processor_counts.hpp"
#include "sysinfo/system_record.hpp"
#include "util/library_test.hpp"

namespace talvo2 {
namespace {

using S = SystemInfo;
using Registers = std::array<uint32_t, 4>;

constexpr auto bit = [](unsigned n) { return 1u << n; };

// Leaf 1 of family 6, model 60 (base 12, extended 3), stepping 3, MMX, SSE to SSE4.2 and AVX.
constexpr uint32_t kModel60 = 0x000306C3u;
constexpr uint32_t kEcx = bit(0) | bit(9) | bit(19) | bit(20) | bit(28);
constexpr uint32_t kEdx = bit(23) | bit(25) | bit(26);
const char* const kHaswellBrand = "Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz";

// In place of the machine while it lives: a four-core Haswell whose brand names its clock.
class FakeSources : public SystemSources {
public:
    FakeSources() {
        resetSystemInfo(this);
        setBrand(kHaswellBrand);
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
    int64_t registryFrequency() const override { return registryHz; }

    // Brand leaves 0x80000002..4 holding `brand`, and the highest extended leaf announcing them.
    void setBrand(std::string brand) {
        brand.resize(48);
        leaves[{0x80000000u, 0}] = {0x80000008u, 0, 0, 0};
        for (uint32_t i = 0; i < 3; ++i)
            std::memcpy(leaves[{0x80000002u + i, 0}].data(), brand.data() + 16 * i, 16);
    }

    std::map<std::pair<uint32_t, uint32_t>, Registers> leaves{
        {{0, 0}, {13, 0, 0, 0}}, {{1, 0}, {kModel60, 0, kEcx, kEdx}}, {{7, 0}, {0, bit(5), 0, 0}}};
    platform::ProcessorTopology topology{1, 4, 8};
    int64_t registryHz = 1;
    mutable std::atomic<int> countCalls{0};
};

const char* const kIsaNames[] = {"-",    "mmx",    "sse",    "sse2", "sse3", "ssse3",
                                 "sse4", "sse4_1", "sse4_2", "avx",  "avx2", "avx512"};

TEST(SystemInfoTest, TypeAndExtensionTables) {
    // The family-6 models of CPU_TYPE_2 .. CPU_TYPE_14; every other model is unknown.
    const std::vector<int> models[] = {
        {28, 38},         {55, 74, 77, 90, 93}, {26, 30, 31, 46}, {37, 44, 47}, {42, 45}, {58, 62},
        {60, 63, 69, 70}, {61, 71, 79, 86},     {78, 94},         {85},         {23, 29}, {15},
        {87, 133}};
    std::map<int, int> expected;  // CPU_TYPE_UNKNOWN unless listed
    for (int type = S::CPU_TYPE_2; type <= S::CPU_TYPE_14; ++type)
        for (int model : models[type - 2]) expected[model] = type;
    for (int model = -1; model < 300; ++model) {
        EXPECT_EQ(S::getCPUType(6, model), expected[model]) << model;
        for (int family : {0, 5, 15})
            EXPECT_EQ(S::getCPUType(family, model), family == 5 ? S::CPU_TYPE_FAMILY5 : 0);
    }

    for (int value = S::ISA_MMX; value <= S::ISA_AVX512; ++value) {
        const auto isa = static_cast<S::IsaExtensions>(value);
        EXPECT_STREQ(S::getIsaAbbreviation(isa), kIsaNames[value]);
        EXPECT_EQ(S::getIsaType(kIsaNames[value]), isa);  // names and values round-trip
    }
    EXPECT_EQ(S::getIsaAbbreviation(S::ISA_NONE), nullptr);
    EXPECT_EQ(S::getIsaAbbreviation(static_cast<S::IsaExtensions>(S::ISA_AVX512 + 1)), nullptr);
    // Exact abbreviations only: a cpuinfo flag or another case is no name.
    EXPECT_EQ(std::make_pair(S::getIsaType("avx512f"), S::getIsaType("AVX2")),
              std::make_pair(S::ISA_NONE, S::ISA_NONE));
    EXPECT_EQ(S::getIsaAbbreviationAsString(S::ISA_SSE4_1), L"sse4_1");
    EXPECT_EQ(S::getIsaAbbreviationAsString(S::ISA_NONE), L"");
}

// Variants of the Haswell; where the brand names no clock the OS's 2394 MHz is taken.
TEST(SystemInfoTest, ProcessorVariants) {
    const struct {
        std::vector<std::pair<uint32_t, Registers>> leaves;  // replacing the Haswell's
        const char* expected;
        const char* brand = kHaswellBrand;
        bool brandRead = true;
    } cases[] = {
        // clang-format off
        {{}, "6/60/3 type 8 mmx sse4_2 avx2 256 3400000000"},
        // Base family 15 adds the extended family; other families but 6 ignore both extensions.
        {{{1, {0x00810F10u, 0, kEcx, kEdx}}}, "23/17/0 type 0 mmx sse4_2 avx2 256 3400000000"},
        {{{1, {0x0FF30542u, 0, kEcx, kEdx}}}, "5/4/2 type 1 mmx sse4_2 avx2 256 3400000000"},
        // Any AVX-512 subset, but only where leaf 0 announces leaf 7.
        {{{7, {0, bit(5) | bit(16), 0, 0}}}, "6/60/3 type 8 mmx sse4_2 avx512 512 3400000000"},
        {{{0, {6, 0, 0, 0}}, {7, {0, bit(5) | bit(16), bit(14), bit(2)}}},
         "6/60/3 type 8 mmx sse4_2 avx 256 3400000000"},
        // A higher level needs no lower one; EBX holds no extension bits.
        {{{1, {kModel60, 0, 0, bit(23)}}, {7, {}}}, "6/60/3 type 8 mmx - - 64 3400000000"},
        {{{1, {kModel60, ~(bit(28) | bit(9) | bit(19)), bit(20), 0}}, {7, {}}},
         "6/60/3 type 8 - sse4_2 - 128 3400000000"},
        // Highest leaf 0: the brand leaves still count; a negative one: nothing is read.
        {{{0, {}}}, "0/0/0 type 0 - - - 0 3400000000"},
        {{{0, {0x80000001u, 0, 0, 0}}}, "0/0/0 type 0 - - - 0 2394000000", kHaswellBrand, false},
        {{{0x80000000u, {0x80000003u, 0, 0, 0}}}, "6/60/3 type 8 mmx sse4_2 avx2 256 2394000000",
         kHaswellBrand, false},  // no brand leaves
        {{}, "6/60/3 type 8 mmx sse4_2 avx2 256 2394000000", "Intel(R) Xeon(R) CPU @ 3.40ghz"},
        {{}, "6/60/3 type 8 mmx sse4_2 avx2 256 2700000000",  // padding is kept
         "      Intel(R) Xeon(R) CPU E5-2680 0 @ 2.70GHz"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        FakeSources fake;
        fake.registryHz = 2394000000LL;
        fake.setBrand(c.brand);
        for (const auto& [leaf, registers] : c.leaves) fake.leaves[{leaf, 0}] = registers;
        S info;
        info = S();  // a later object reads what the first gathered
        std::ostringstream seen;
        seen << info.cpuFamily() << "/" << info.cpuModel() << "/" << info.cpuStepping() << " type "
             << info.cpuType() << " " << kIsaNames[info.mmxMax()] << " " << kIsaNames[info.sseMax()]
             << " " << kIsaNames[info.avxMax()] << " " << info.getMaxVectorLength() << " "
             << info.cpuFrequency();
        EXPECT_EQ(seen.str(), c.expected);
        const S::IsaInfo isa = info.getIsa();
        EXPECT_EQ(std::make_tuple(info.cpuCount(), info.processorCoreCount(),
                                  info.processorPackageCount(), isa.mmxMax, isa.sseMax, isa.avxMax),
                  std::make_tuple(8, 4, 1, info.mmxMax(), info.sseMax(), info.avxMax()));
        EXPECT_EQ(fake.countCalls, 1);
        EXPECT_EQ(test::utf8Path(info.cpuBrand()).string(), c.brandRead ? c.brand : "");
    }
}

TEST(SystemInfoTest, NothingKnownIsAskedAgainAndOldBrandsStayValid) {
    FakeSources fake;
    fake.leaves.clear();
    fake.topology = {};
    fake.registryHz = 0;
    fake.setBrand("First brand without a clock");
    const wchar_t* first = S().cpuBrand();
    fake.setBrand("Second brand");
    EXPECT_STREQ(S().cpuBrand(), L"Second brand");        // gathered again
    EXPECT_STREQ(first, L"First brand without a clock");  // still readable, not freed
}

TEST(SystemInfoTest, ConcurrentFirstObjectsGatherOnce) {
    FakeSources fake;
    std::vector<std::thread> threads;
    std::vector<int> models(8);
    for (std::size_t i = 0; i < models.size(); ++i)
        threads.emplace_back([&models, i] { models[i] = S().cpuModel(); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(fake.countCalls, 1);
    EXPECT_EQ(models, std::vector<int>(8, 60));
}

// The clock a brand text names in its last word: a number and exactly one unit, M or G.
TEST(ProcessorCountsTest, BrandFrequency) {
    const std::pair<const char*, int64_t> clocks[] = {
        {"Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz", 3400000000LL},
        {"Some CPU 2400MHz", 2400000000LL},
        {"CPU @ +3.00GHz", 3000000000LL},
        {"CPU @ 2.999999999G", 2999999999LL}};  // truncated
    for (const auto& [brand, hz] : clocks) EXPECT_EQ(parseBrandFrequency(brand), hz) << brand;
    // 1e300G: out of range, not undefined.
    for (const char* brand :
         {"Some CPU 3.40THz", "Some CPU 3.40ghz", "NoSpaceAt3.40GHz", "AMD EPYC 7B12", "",
          "Some CPU 3.40", "Processor ", "Some CPU GHz", "CPU infGHz", "CPU 1e300G"})
        EXPECT_EQ(parseBrandFrequency(brand), 0) << brand;
    EXPECT_EQ(parseBrandFrequency(nullptr), 0);
}

TEST(ProcessorCountsTest, TopologyAndClockFromSysfs) {
    test::TempDir dir;
    const fs::path root = dir.path() / "cpu";
    // Two packages of 8 cores of 2 threads; CPU 40 has no topology: a core of its own, no package.
    for (int cpu = 0; cpu < 32; ++cpu) {
        const fs::path topology = root / ("cpu" + std::to_string(cpu)) / "topology";
        fs::create_directories(topology);
        test::writeFile(topology / "physical_package_id", std::to_string(cpu / 16));
        test::writeFile(topology / "core_id", std::to_string(cpu % 16 / 2) + "\n");
    }
    // Offline CPUs do not count; a list that cannot be parsed counts nothing, not half of it.
    std::string seen;
    for (const char* online :
         {"0-31\n", "0-3,16,18-19\n", "0,1,40\n", "", "0-", "3-1", "a", "0-3,x", "-1"}) {
        test::writeFile(root / "online", online);
        const platform::ProcessorTopology counts = platform::readProcessorTopology(root.string());
        seen += std::to_string(counts.logical) + "/" + std::to_string(counts.cores) + "/" +
                std::to_string(counts.packages) + " ";
    }
    EXPECT_EQ(seen, "32/16/2 7/4/2 3/2/2 0/0/0 0/0/0 0/0/0 0/0/0 0/0/0 0/0/0 ");

    // The clock: the highest cpufreq maximum of the online CPUs, else the first "cpu MHz".
    const std::string cpuinfo = (dir.path() / "cpuinfo").string();
    test::writeFile(root / "online", "0-1\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 0);
    test::writeFile(cpuinfo, "model name\t: Test CPU\ncpu MHz\t\t: 2394.454\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 2394);
    for (const char* cpu : {"cpu0", "cpu1", "cpu2"}) fs::create_directories(root / cpu / "cpufreq");
    test::writeFile(root / "cpu0/cpufreq/cpuinfo_max_freq", "3400000\n");
    test::writeFile(root / "cpu1/cpufreq/cpuinfo_max_freq", "3900000\n");
    test::writeFile(root / "cpu2/cpufreq/cpuinfo_max_freq", "4500000\n");  // offline
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 3900);
    test::writeFile(root / "cpu1/cpufreq/cpuinfo_max_freq", "garbage\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 3400);
}

}  // namespace
}  // namespace talvo2
