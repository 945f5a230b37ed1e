// Copying a node should move data as fast as cp -r does. Goal: at least 0.8x the throughput of
// cp -r on a tree of 2,000 files of 4 KiB and on a tree holding one 1 GiB file, with progress
// reported per file. Run with --benchmark_filter=Copy (the 1 GiB case needs that much free disk).

#include <benchmark/benchmark.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <string>

#include "notify2/progress.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/result_directory_manager.hpp"

namespace {

namespace fs = boost::filesystem;

class CountingProgress final : public notify2::IProgress {
public:
    void begin(const wchar_t*, double) override {}
    void advance(double amount) override { bytes += amount; }
    void setItem(const wchar_t*) override { ++files; }
    void end() override {}
    bool isCanceled() override { return false; }
    double bytes = 0;
    long files = 0;
};

std::wstring wide(const fs::path& path) {
    const std::string text = path.string();
    return std::wstring(text.begin(), text.end());
}

// A result directory holding `files` files of `size` bytes each.
fs::path makeTree(const fs::path& root, int files, std::size_t size) {
    fs::create_directories(root);
    const auto result = talvo2::ResultDirectoryManager::create(wide(root / "src").c_str(), false,
                                                               nullptr, false, nullptr);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < files; ++i) {
        std::ofstream out((root / "src" / ("f" + std::to_string(i))).string(), std::ios::binary);
        for (std::size_t left = size; left > 0;) {
            const std::size_t n = std::min(left, block.size());
            out.write(block.data(), static_cast<std::streamsize>(n));
            left -= n;
        }
    }
    return root / "src";
}

void copyWithTalvo(benchmark::State& state, int files, std::size_t size) {
    const fs::path root = fs::temp_directory_path() / fs::unique_path("talvo2-copy-%%%%-%%%%");
    const fs::path source = makeTree(root, files, size);
    auto node = talvo2::ResultDirectoryManager::open(wide(source).c_str(), false, nullptr);
    int round = 0;
    for (auto _ : state) {
        CountingProgress progress;
        const fs::path target = root / ("copy" + std::to_string(round++));
        if (!node->copy(wide(target).c_str(), false, &progress)) state.SkipWithError("copy");
        state.PauseTiming();
        fs::remove_all(target);  // the node stands for the copy: move it back by reopening
        node = talvo2::ResultDirectoryManager::open(wide(source).c_str(), false, nullptr);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(files) *
                            static_cast<int64_t>(size));
    node.reset();
    fs::remove_all(root);
}

void copyWithCp(benchmark::State& state, int files, std::size_t size) {
    const fs::path root = fs::temp_directory_path() / fs::unique_path("talvo2-cp-%%%%-%%%%");
    const fs::path source = makeTree(root, files, size);
    for (auto _ : state) {
        const std::string command =
            "cp -r '" + source.string() + "' '" + (root / "copy").string() + "'";
        if (std::system(command.c_str()) != 0) state.SkipWithError("cp");
        state.PauseTiming();
        fs::remove_all(root / "copy");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(files) *
                            static_cast<int64_t>(size));
    fs::remove_all(root);
}

void BM_CopyNodeSmallFiles(benchmark::State& state) {
    copyWithTalvo(state, 2000, 4096);
}
void BM_CpSmallFiles(benchmark::State& state) {
    copyWithCp(state, 2000, 4096);
}
void BM_CopyNodeOneGiB(benchmark::State& state) {
    copyWithTalvo(state, 1, std::size_t{1} << 30);
}
void BM_CpOneGiB(benchmark::State& state) {
    copyWithCp(state, 1, std::size_t{1} << 30);
}

BENCHMARK(BM_CopyNodeSmallFiles)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpSmallFiles)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyNodeOneGiB)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpOneGiB)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
