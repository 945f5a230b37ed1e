#include "talvo2/system_info.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "sysinfo/cpuid_identification.hpp"
#include "sysinfo/fake_sources.hpp"
#include "sysinfo/isa_table.hpp"

namespace talvo2 {
namespace {

using S = SystemInfo;
using test::FakeSources;

constexpr uint32_t bit(unsigned n) {
    return 1u << n;
}

// Leaf-1 EAX of family 6, display model 60 (base 12, extended 3), stepping 3.
constexpr uint32_t kModel60 = 0x000306C3u;
// Leaf-1 EDX with MMX, SSE and SSE2; ECX with SSE3, SSSE3, SSE4.1, SSE4.2 and AVX.
constexpr uint32_t kEdx = bit(23) | bit(25) | bit(26);
constexpr uint32_t kEcx = bit(0) | bit(9) | bit(19) | bit(20) | bit(28);

void describeHaswell(FakeSources& fake) {
    fake.setLeaf(0, {13, 0, 0, 0});
    fake.setLeaf(1, {kModel60, 0, kEcx, kEdx});
    fake.setLeaf(7, {0, bit(5), 0, 0});
    fake.setBrand("Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz");
    fake.topology = {1, 4, 8};
    fake.registryHz = 1;
}

TEST(SystemInfoTest, CpuTypeTable) {
    const std::vector<std::pair<S::CPUType, std::vector<int>>> rows = {
        {S::CPU_TYPE_2, {28, 38}},         {S::CPU_TYPE_3, {55, 74, 77, 90, 93}},
        {S::CPU_TYPE_4, {26, 30, 31, 46}}, {S::CPU_TYPE_5, {37, 44, 47}},
        {S::CPU_TYPE_6, {42, 45}},         {S::CPU_TYPE_7, {58, 62}},
        {S::CPU_TYPE_8, {60, 63, 69, 70}}, {S::CPU_TYPE_9, {61, 71, 79, 86}},
        {S::CPU_TYPE_10, {78, 94}},        {S::CPU_TYPE_11, {85}},
        {S::CPU_TYPE_12, {23, 29}},        {S::CPU_TYPE_13, {15}},
        {S::CPU_TYPE_14, {87, 133}},
    };
    int listed = 0;
    for (const auto& [type, models] : rows) {
        for (const int model : models) {
            EXPECT_EQ(S::getCPUType(6, model), type) << "model " << model;
            ++listed;
        }
    }
    int known = 0;
    for (int model = -1; model < 300; ++model) {
        known += S::getCPUType(6, model) != S::CPU_TYPE_UNKNOWN;
        EXPECT_EQ(S::getCPUType(5, model), S::CPU_TYPE_FAMILY5);
        EXPECT_EQ(S::getCPUType(15, model), S::CPU_TYPE_UNKNOWN);
        EXPECT_EQ(S::getCPUType(0, model), S::CPU_TYPE_UNKNOWN);
    }
    EXPECT_EQ(known, listed);  // nothing beyond the table is recognised
    EXPECT_EQ(S::getCPUType(6, 16), S::CPU_TYPE_UNKNOWN);
}

TEST(SystemInfoTest, DecodesFamilyModelAndStepping) {
    const ProcessorSignature intel = decodeSignature(kModel60);
    EXPECT_EQ(intel.family, 6);
    EXPECT_EQ(intel.model, 60);
    EXPECT_EQ(intel.stepping, 3);
    // Base family 15 adds the extended family: 15 + 8 = 23, model 1 + 16 * 1.
    const ProcessorSignature amd = decodeSignature(0x00810F10u);
    EXPECT_EQ(amd.family, 23);
    EXPECT_EQ(amd.model, 17);
    // Other base families ignore both extended fields.
    const ProcessorSignature pentium = decodeSignature(0x0FF30542u);
    EXPECT_EQ(pentium.family, 5);
    EXPECT_EQ(pentium.model, 4);
    EXPECT_EQ(pentium.stepping, 2);
}

TEST(SystemInfoTest, GathersOnceFromTheProcessor) {
    FakeSources fake;
    describeHaswell(fake);
    const S info;
    EXPECT_EQ(info.cpuCount(), 8);
    EXPECT_EQ(info.processorCoreCount(), 4);
    EXPECT_EQ(info.processorPackageCount(), 1);
    EXPECT_EQ(info.cpuFrequency(), 3400000000LL);
    EXPECT_EQ(fake.registryCalls, 0);  // the brand named the clock
    EXPECT_EQ(info.cpuFamily(), 6);
    EXPECT_EQ(info.cpuModel(), 60);
    EXPECT_EQ(info.cpuStepping(), 3);
    EXPECT_EQ(info.cpuType(), S::CPU_TYPE_8);
    EXPECT_STREQ(info.cpuBrand(), L"Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz");
    EXPECT_EQ(info.mmxMax(), S::ISA_MMX);
    EXPECT_EQ(info.sseMax(), S::ISA_SSE4_2);
    EXPECT_EQ(info.avxMax(), S::ISA_AVX2);
    const S::IsaInfo isa = info.getIsa();
    EXPECT_EQ(isa.mmxMax, S::ISA_MMX);
    EXPECT_EQ(isa.sseMax, S::ISA_SSE4_2);
    EXPECT_EQ(isa.avxMax, S::ISA_AVX2);
    EXPECT_EQ(info.getMaxVectorLength(), 256);

    // Later objects and copies read the same facts without asking the processor again.
    const int calls = fake.cpuidCalls;
    const S second;
    S copy(second);
    copy = info;
    EXPECT_EQ(copy.cpuModel(), 60);
    EXPECT_EQ(fake.cpuidCalls, calls);
    EXPECT_EQ(fake.countCalls, 1);
}

TEST(SystemInfoTest, ExtensionDetectionPerFamily) {
    {
        // Any AVX-512 subset makes the AVX family AVX-512.
        FakeSources fake;
        describeHaswell(fake);
        fake.setLeaf(7, {0, bit(5) | bit(16), 0, 0});
        EXPECT_EQ(S().avxMax(), S::ISA_AVX512);
        EXPECT_EQ(S().getMaxVectorLength(), 512);
    }
    {
        // Leaf 7 counts only when the processor announces it.
        FakeSources fake;
        describeHaswell(fake);
        fake.setLeaf(0, {6, 0, 0, 0});
        fake.setLeaf(7, {0, bit(5) | bit(16), bit(14), bit(2)});
        EXPECT_EQ(S().avxMax(), S::ISA_AVX);
        EXPECT_EQ(S().getMaxVectorLength(), 256);
    }
    {
        FakeSources fake;
        describeHaswell(fake);
        fake.setLeaf(1, {kModel60, 0, 0, bit(23)});
        fake.setLeaf(7, {});
        const S info;
        EXPECT_EQ(info.mmxMax(), S::ISA_MMX);
        EXPECT_EQ(info.sseMax(), S::ISA_NONE);
        EXPECT_EQ(info.avxMax(), S::ISA_NONE);
        EXPECT_EQ(info.getMaxVectorLength(), 64);
    }
    {
        // A higher level needs no lower one, and "sse4" is never detected.
        FakeSources fake;
        describeHaswell(fake);
        fake.setLeaf(1, {kModel60, 0xFFFFFFFFu & ~bit(28) & ~bit(9) & ~bit(19), bit(20), 0});
        fake.setLeaf(7, {});
        const S info;
        EXPECT_EQ(info.sseMax(), S::ISA_SSE4_2);
        EXPECT_EQ(info.mmxMax(), S::ISA_NONE);
        EXPECT_EQ(info.avxMax(), S::ISA_NONE);
        EXPECT_EQ(info.getMaxVectorLength(), 128);
    }
}

TEST(SystemInfoTest, FrequencyFallsBackToTheOperatingSystem) {
    for (const std::string brand :
         {"Intel(R) Xeon(R) CPU @ 3.40ghz", "AMD EPYC 7B12", "NoSpaces", "Some CPU 3.40THz"}) {
        FakeSources fake;
        describeHaswell(fake);
        fake.setBrand(brand);
        fake.registryHz = 2394000000LL;
        const S info;
        EXPECT_EQ(info.cpuFrequency(), 2394000000LL) << brand;
        EXPECT_EQ(fake.registryCalls, 1);
    }
    {
        // No brand leaves: empty brand, clock from the operating system; padding is kept when
        // there is a brand.
        FakeSources fake;
        describeHaswell(fake);
        fake.setLeaf(0x80000000u, {0x80000003u, 0, 0, 0});
        fake.registryHz = 2394000000LL;
        const S info;
        EXPECT_STREQ(info.cpuBrand(), L"");
        EXPECT_EQ(info.cpuFrequency(), 2394000000LL);
    }
    {
        FakeSources fake;
        describeHaswell(fake);
        fake.setBrand("      Intel(R) Xeon(R) CPU E5-2680 0 @ 2.70GHz");
        EXPECT_STREQ(S().cpuBrand(), L"      Intel(R) Xeon(R) CPU E5-2680 0 @ 2.70GHz");
        EXPECT_EQ(S().cpuFrequency(), 2700000000LL);
    }
}

TEST(SystemInfoTest, ProcessorWithoutUsableLeaves) {
    {
        // A negative highest leaf stops identification at once: the brand leaves are not read.
        FakeSources fake;
        describeHaswell(fake);
        fake.setLeaf(0, {0x80000001u, 0, 0, 0});
        fake.registryHz = 5000000LL;
        const S info;
        EXPECT_EQ(info.cpuFamily(), 0);
        EXPECT_EQ(info.cpuModel(), 0);
        EXPECT_STREQ(info.cpuBrand(), L"");
        EXPECT_EQ(info.avxMax(), S::ISA_NONE);
        EXPECT_EQ(info.cpuCount(), 8);
        EXPECT_EQ(info.cpuFrequency(), 5000000LL);
    }
    {
        // Highest leaf 0: only the brand leaves count.
        FakeSources fake;
        describeHaswell(fake);
        fake.setLeaf(0, {0, 0, 0, 0});
        const S info;
        EXPECT_EQ(info.cpuFamily(), 0);
        EXPECT_EQ(info.cpuStepping(), 0);
        EXPECT_EQ(info.cpuType(), S::CPU_TYPE_UNKNOWN);
        EXPECT_EQ(info.getMaxVectorLength(), 0);
        EXPECT_EQ(info.cpuFrequency(), 3400000000LL);
    }
}

TEST(SystemInfoTest, NothingKnownIsAskedAgainAndOldBrandsStayValid) {
    FakeSources fake;
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
    describeHaswell(fake);
    std::vector<std::thread> threads;
    std::vector<int> models(8);
    for (std::size_t i = 0; i < models.size(); ++i)
        threads.emplace_back([&models, i] { models[i] = S().cpuModel(); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(fake.countCalls, 1);
    for (const int model : models) EXPECT_EQ(model, 60);
}

TEST(SystemInfoTest, ExtensionNames) {
    EXPECT_EQ(S::getIsaType(nullptr), S::ISA_NONE);
    EXPECT_EQ(S::getIsaType(""), S::ISA_NONE);
    EXPECT_EQ(S::getIsaType("avx512f"), S::ISA_NONE);  // a cpuinfo flag, not an abbreviation
    EXPECT_EQ(S::getIsaType("AVX2"), S::ISA_NONE);
    EXPECT_EQ(S::getIsaType("sse4"), S::ISA_SSE4);
    EXPECT_EQ(S::getIsaType("avx512"), S::ISA_AVX512);
    const char* names[] = {nullptr, "mmx",    "sse",    "sse2", "sse3", "ssse3",
                           "sse4",  "sse4_1", "sse4_2", "avx",  "avx2", "avx512"};
    for (int value = S::ISA_NONE; value <= S::ISA_AVX512; ++value) {
        const auto isa = static_cast<S::IsaExtensions>(value);
        const char* name = S::getIsaAbbreviation(isa);
        if (!names[value]) {
            EXPECT_EQ(name, nullptr);
            continue;
        }
        EXPECT_STREQ(name, names[value]);
        EXPECT_EQ(S::getIsaType(name), isa);  // names and values round-trip
    }
    EXPECT_EQ(S::getIsaAbbreviation(static_cast<S::IsaExtensions>(12)), nullptr);
    EXPECT_EQ(S::getIsaAbbreviationAsString(S::ISA_SSE4_1), L"sse4_1");
    EXPECT_EQ(S::getIsaAbbreviationAsString(S::ISA_NONE), L"");

    // The row lookup behind getIsaInfoFromAbbrOrCpuinfoFlag.
    const IsaTableEntry* row = findIsaRow(nullptr, "avx512bw");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->isa, S::ISA_AVX512);
    EXPECT_EQ(row->vectorLength, 512);
    EXPECT_EQ(findIsaRow("avx512", "avx2"), nullptr);
    EXPECT_EQ(findIsaRow(nullptr, nullptr), nullptr);
    row = findIsaRow("avx2", nullptr);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->isa, S::ISA_AVX2);
    EXPECT_EQ(row->vectorLength, 256);
    row = findIsaRow("avx512", "avx512_vnni");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->cpuidRegister, ECX);
    EXPECT_EQ(row->cpuidBit, 11u);
}

}  // namespace
}  // namespace talvo2
