#include "sysinfo/processor_counts.hpp"

#include <gtest/gtest.h>

#include <string>

#include "platform/processor.hpp"
#include "util/test_util.hpp"

namespace talvo2 {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;
using test::writeFile;

// A CPU of a fake sysfs tree with its topology ids; a negative id leaves that file out.
void addCpu(const fs::path& root, int cpu, int package, int core) {
    const fs::path topology = root / ("cpu" + std::to_string(cpu)) / "topology";
    fs::create_directories(topology);
    if (package >= 0) writeFile(topology / "physical_package_id", std::to_string(package) + "\n");
    if (core >= 0) writeFile(topology / "core_id", std::to_string(core) + "\n");
}

TEST(ProcessorCountsTest, BrandFrequency) {
    EXPECT_EQ(parseBrandFrequency("Intel(R) Core(TM) i7-4770 CPU @ 3.40GHz"), 3400000000LL);
    EXPECT_EQ(parseBrandFrequency("Some CPU 2400MHz"), 2400000000LL);
    EXPECT_EQ(parseBrandFrequency("Some CPU 3.40THz"), 0);
    EXPECT_EQ(parseBrandFrequency("Some CPU 3.40ghz"), 0);
    EXPECT_EQ(parseBrandFrequency("NoSpaceAt3.40GHz"), 0);
    EXPECT_EQ(parseBrandFrequency(""), 0);
    EXPECT_EQ(parseBrandFrequency(nullptr), 0);
    EXPECT_EQ(parseBrandFrequency("Some CPU 3.40"), 0);  // no unit
    EXPECT_EQ(parseBrandFrequency("Processor "), 0);     // nothing after the last space
    EXPECT_EQ(parseBrandFrequency("Some CPU GHz"), 0);   // no number
    EXPECT_EQ(parseBrandFrequency("CPU @ 2.999999999G"), 2999999999LL);  // truncated
    EXPECT_EQ(parseBrandFrequency("CPU 1e300G"), 0);  // out of range, not undefined
    EXPECT_EQ(parseBrandFrequency("CPU infGHz"), 0);
}

TEST(ProcessorCountsTest, TopologyFromSysfs) {
    TempDir dir;
    const fs::path root = dir.path() / "cpu";
    // Two packages of eight cores with two hardware threads each.
    for (int cpu = 0; cpu < 32; ++cpu) addCpu(root, cpu, cpu / 16, (cpu % 16) / 2);
    writeFile(root / "online", "0-31\n");
    platform::ProcessorTopology counts = platform::readProcessorTopology(root.string());
    EXPECT_EQ(counts.packages, 2);
    EXPECT_EQ(counts.cores, 16);
    EXPECT_EQ(counts.logical, 32);

    // Offline CPUs do not count; the list may be split.
    writeFile(root / "online", "0-3,16,18-19\n");
    counts = platform::readProcessorTopology(root.string());
    EXPECT_EQ(counts.logical, 7);
    EXPECT_EQ(counts.cores, 4);  // (0,0) (0,1) (1,0) (1,1)
    EXPECT_EQ(counts.packages, 2);

    // A CPU without topology files is a core of its own in an unknown package.
    addCpu(root, 40, -1, -1);
    writeFile(root / "online", "0,1,40\n");
    counts = platform::readProcessorTopology(root.string());
    EXPECT_EQ(counts.logical, 3);
    EXPECT_EQ(counts.cores, 2);
    EXPECT_EQ(counts.packages, 2);

    // A list that cannot be read or parsed counts nothing, rather than half of it.
    for (const std::string bad : {"", "0-", "3-1", "a", "0-3,x", "-1"}) {
        writeFile(root / "online", bad);
        counts = platform::readProcessorTopology(root.string());
        EXPECT_EQ(counts.logical + counts.cores + counts.packages, 0) << bad;
    }
    counts = platform::readProcessorTopology((dir.path() / "missing").string());
    EXPECT_EQ(counts.logical + counts.cores + counts.packages, 0);
}

TEST(ProcessorCountsTest, ClockFromCpufreqOrCpuinfo) {
    TempDir dir;
    const fs::path root = dir.path() / "cpu";
    const std::string cpuinfo = (dir.path() / "cpuinfo").string();
    addCpu(root, 0, 0, 0);
    addCpu(root, 1, 0, 1);
    writeFile(root / "online", "0-1\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 0);

    writeFile(cpuinfo, "processor\t: 0\nmodel name\t: Test CPU\ncpu MHz\t\t: 2394.454\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 2394);

    // cpufreq knows the maximum; the fastest online CPU wins.
    fs::create_directories(root / "cpu0/cpufreq");
    fs::create_directories(root / "cpu1/cpufreq");
    writeFile(root / "cpu0/cpufreq/cpuinfo_max_freq", "3400000\n");
    writeFile(root / "cpu1/cpufreq/cpuinfo_max_freq", "3900000\n");
    EXPECT_EQ(platform::readProcessorMhz(root.string(), cpuinfo), 3900);
    writeFile(root / "cpu1/cpufreq/cpuinfo_max_freq", "garbage\n");
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
