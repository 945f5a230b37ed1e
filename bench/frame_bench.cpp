// The name functions and the last error sit on every path through the library, so they must cost
// next to nothing: goals under 20 ns for an extension read and a last-error read, under 1 us for
// rendering an error message.

#include <benchmark/benchmark.h>

#include "talvo2/talvo2.hpp"

namespace {

void BM_ResultExtension(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(talvo2::getResultExtension(false));
}
BENCHMARK(BM_ResultExtension);

void BM_GetLastError(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(talvo2::ResultDirectoryManager::getLastError());
}
BENCHMARK(BM_GetLastError);

void BM_ErrorMessage(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(talvo2::toString(talvo2::NotFound));
}
BENCHMARK(BM_ErrorMessage);

}  // namespace
