// The benchmark program's main: runs the benchmarks as usual, then prints each library
// operation against the baseline measured in the same run, as a ratio with its goal. Ratios
// from one run are comparable where absolute times, which vary with the machine and its disk,
// are not.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// Keeps every run's time per iteration, keyed by the benchmark's full name ("BM_X/1000").
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

struct Pairing {
    const char* what;
    const char* measured;  // without the argument
    const char* baseline;
    std::vector<const char*> arguments;  // "" for none
    double goal;                         // the ratio must stay at or below this
};

const std::vector<Pairing> kPairings = {
    {"numbered creation",
     "BM_CreateNumberedResult",
     "BM_BaselineMkdirAndWrite",
     {"/100", "/1000", "/10000"},
     3.0},
    {"open of an existing result", "BM_OpenResult", "BM_BaselineReadMarker", {""}, 5.0},
    {"member listing", "BM_GroupMemberPaths", "BM_BaselineDirectoryWalk", {"/1000", "/10000"}, 2.0},
    {"flag add + remove", "BM_AddAndRemoveFlag", "BM_BaselineLockFileSyscalls", {""}, 3.0},
    {"copy, 2,000 files of 4 KiB",
     "BM_CopyNodeSmallFiles",
     "BM_CpSmallFiles",
     {"/iterations:5"},
     1.25},
    {"copy, one 1 GiB file", "BM_CopyNodeOneGiB", "BM_CpOneGiB", {"/iterations:2"}, 1.25},
    {"size + file count", "BM_SizeAndFileCount", "BM_BaselineTreeWalk", {""}, 2.0},
};

void printTable(const std::map<std::string, double>& times) {
    std::printf("\n%-30s %8s %14s %14s %8s %6s %s\n", "operation", "N", "talvo2", "baseline",
                "ratio", "goal", "");
    for (const Pairing& pair : kPairings) {
        for (const char* argument : pair.arguments) {
            const auto measured = times.find(std::string(pair.measured) + argument);
            const auto baseline = times.find(std::string(pair.baseline) + argument);
            if (measured == times.end() || baseline == times.end()) continue;
            const double ratio = measured->second / baseline->second;
            const std::string n = argument[0] == '/' && argument[1] != 'i' ? argument + 1 : "-";
            std::printf("%-30s %8s %14.1f %14.1f %8.2f %6.2f %s\n", pair.what, n.c_str(),
                        measured->second, baseline->second, ratio, pair.goal,
                        ratio <= pair.goal ? "met" : "MISSED");
        }
    }
    std::printf("(times per iteration in each benchmark's unit; ratio = talvo2 / baseline)\n");
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
