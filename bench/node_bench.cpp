// Opening a result and asking its size are what front ends do for every line of a listing.
// Goals: opening an existing result within 5x of reading its marker file's bytes, and
// getSize + getFilesCount within 2x of a plain recursive walk that sums the same sizes.
//
// BM_OpenResult: ResultDirectoryManager::open of a result directory, handle released (the next
//   open binds afresh, since no handle keeps the node alive).
// BM_BaselineReadMarker: find the marker in the directory and read its bytes.
// BM_SizeAndFileCount: getSize and getFilesCount of an open result holding 200 files.
// BM_BaselineTreeWalk: a recursive walk summing file sizes and counting files, links not
//   followed.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <string>

#include "talvo2/i_result_directory.hpp"
#include "talvo2/result_directory_manager.hpp"

namespace {

namespace fs = boost::filesystem;

std::wstring wide(const fs::path& path) {
    const std::string text = path.string();
    return std::wstring(text.begin(), text.end());
}

struct OneResult {
    explicit OneResult(int files)
        : root(fs::temp_directory_path() / fs::unique_path("talvo2-node-%%%%-%%%%")) {
        fs::create_directories(root);
        talvo2::ResultDirectoryManager::create(wide(root / "r000").c_str(), false, nullptr, false,
                                               nullptr);
        fs::create_directories(root / "r000" / "data.0");
        for (int i = 0; i < files; ++i)
            std::ofstream((root / "r000" / "data.0" / ("f" + std::to_string(i))).string())
                << std::string(static_cast<std::size_t>(100 + i), 'x');
    }
    ~OneResult() { fs::remove_all(root); }
    fs::path root;
};

void BM_OpenResult(benchmark::State& state) {
    OneResult result(0);
    const std::wstring path = wide(result.root / "r000");
    for (auto _ : state) {
        const auto node = talvo2::ResultDirectoryManager::open(path.c_str(), false, nullptr);
        if (!node) state.SkipWithError("open failed");
    }
}
BENCHMARK(BM_OpenResult)->Unit(benchmark::kMicrosecond);

void BM_BaselineReadMarker(benchmark::State& state) {
    OneResult result(0);
    const fs::path directory = result.root / "r000";
    char buffer[8192];
    for (auto _ : state) {
        for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
            if (entry.path().extension() != ".talvo") continue;
            const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
            while (fd >= 0 && ::read(fd, buffer, sizeof buffer) > 0) {
            }
            ::close(fd);
        }
    }
}
BENCHMARK(BM_BaselineReadMarker)->Unit(benchmark::kMicrosecond);

void BM_SizeAndFileCount(benchmark::State& state) {
    OneResult result(200);
    const auto node =
        talvo2::ResultDirectoryManager::open(wide(result.root / "r000").c_str(), false, nullptr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(node->getSize());
        benchmark::DoNotOptimize(node->getFilesCount());
    }
}
BENCHMARK(BM_SizeAndFileCount)->Unit(benchmark::kMicrosecond);

void BM_BaselineTreeWalk(benchmark::State& state) {
    OneResult result(200);
    for (auto _ : state) {
        uintmax_t bytes = 0;
        int files = 0;
        for (fs::recursive_directory_iterator it(result.root / "r000"), end; it != end; ++it) {
            if (!fs::is_regular_file(it->symlink_status())) continue;
            bytes += fs::file_size(it->path());
            ++files;
        }
        benchmark::DoNotOptimize(bytes);
        benchmark::DoNotOptimize(files);
    }
}
BENCHMARK(BM_BaselineTreeWalk)->Unit(benchmark::kMicrosecond);

}  // namespace
