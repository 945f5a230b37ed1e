// The benchmark program's main: runs the benchmarks as usual, then prints each library
// operation against the baseline measured in the same run, as a ratio with its goal. Ratios
// from one run are comparable where absolute times, which vary with the machine and its disk,
// are not.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// Keeps every repetition's time per iteration, keyed by the benchmark's full name ("BM_X/1000").
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            times[run.benchmark_name()].push_back(run.GetAdjustedRealTime());
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, std::vector<double>> times;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The median of the ratios of repetition i to repetition i: the two sides of a round ran close in
// time, so a round's ratio holds even when the disk's speed drifts between rounds.
double medianRatio(const std::vector<double>& measured, const std::vector<double>& floor) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < measured.size() && i < floor.size(); ++i)
        ratios.push_back(measured[i] / floor[i]);
    return median(ratios);
}

struct Pairing {
    const char* what;
    const char* measured;  // without the argument
    const char* baseline;
    std::vector<const char*> arguments;  // "" for none
    double goal;                         // the ratio must stay at or below this; 0: none
    const char* floorSuffix;             // the floor's further argument ("/1": with fsync)
};

// Each library operation against the true floor of its work: the system calls it cannot avoid,
// done raw in this process (bench/*_bench.cpp say what each floor does).
const std::vector<Pairing> kPairings = {
    {"numbered create (fsync)",
     "BM_CreateNumberedResult",
     "BM_FloorCreate",
     {"/100", "/1000", "/10000"},
     1.25,
     "/1"},
    {"numbered create (no fsync)",
     "BM_CreateNumberedResult",
     "BM_FloorCreate",
     {"/100", "/1000", "/10000"},
     1.25,
     "/0"},
    {"open: read of the marker", "BM_OpenResult", "BM_FloorReadMarker", {""}, 0, ""},
    {"open: read + MD5 + parse", "BM_OpenResult", "BM_FloorReadDigestParse", {""}, 1.5, ""},
    {"open, settled folder: read + MD5 + parse",
     "BM_OpenResultSettled",
     "BM_FloorReadDigestParse",
     {""},
     1.5,
     ""},
    {"member listing", "BM_GroupMemberPaths", "BM_FloorListing", {"/1000", "/10000"}, 1.25, ""},
    {"flag add + remove", "BM_AddAndRemoveFlag", "BM_BaselineLockFileSyscalls", {""}, 1.25, ""},
    {"copy, 2,000 files of 4 KiB",
     "BM_CopyNodeSmallFiles",
     "BM_CpSmallFiles",
     {"/iterations:5"},
     1.25,
     ""},
    {"copy, one 1 GiB file", "BM_CopyNodeOneGiB", "BM_CpOneGiB", {"/iterations:2"}, 1.25, ""},
    {"size + file count", "BM_SizeAndFileCount", "BM_BaselineTreeWalk", {""}, 2.0, ""},
};

void printTable(const std::map<std::string, std::vector<double>>& times) {
    std::printf("\n%-30s %8s %14s %14s %8s %6s %s\n", "operation", "N", "talvo2", "floor", "ratio",
                "goal", "");
    for (const Pairing& pair : kPairings) {
        for (const char* argument : pair.arguments) {
            const auto measured = times.find(std::string(pair.measured) + argument);
            const auto baseline =
                times.find(std::string(pair.baseline) + argument + pair.floorSuffix);
            if (measured == times.end() || baseline == times.end()) continue;
            const double ratio = medianRatio(measured->second, baseline->second);
            const std::string n = argument[0] == '/' && argument[1] != 'i' ? argument + 1 : "-";
            std::printf("%-30s %8s %14.1f %14.1f %8.2f %6.2f %s\n", pair.what, n.c_str(),
                        median(measured->second), median(baseline->second), ratio, pair.goal,
                        pair.goal == 0       ? "-"
                        : ratio <= pair.goal ? "met"
                                             : "MISSED");
        }
    }
    std::printf(
        "(median times per iteration in each benchmark's unit; ratio: the median of the "
        "per-repetition ratios talvo2 / floor)\n");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printTable(reporter.times);
    return 0;
}
