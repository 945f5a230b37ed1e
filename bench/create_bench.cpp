// Creating one numbered result scans its folder once, so creation stays close to the cost of the
// file-system work itself as a folder fills. Goal: within 3x of the baseline at N = 1,000.
//
// BM_CreateNumberedResult: ResultDirectoryManager::create with "r@@@" into a folder already
//   holding N results, then the handle is released. The new result is removed untimed, so the
//   folder holds N results at every iteration.
// BM_BaselineMkdirAndWrite: the bare work for the same N: make a directory and write a file of
//   the marker's size into it, synced to disk, as any crash-safe writer must.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <string>

#include "talvo2/i_result_directory.hpp"
#include "talvo2/result_directory_manager.hpp"

namespace {

namespace fs = boost::filesystem;

struct Folder {
    explicit Folder(int results)
        : root(fs::temp_directory_path() / fs::unique_path("talvo2-create-%%%%-%%%%")) {
        fs::create_directories(root);
        for (int i = 0; i < results; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "r%03d", i);
            fs::create_directory(root / name);
        }
    }
    ~Folder() { fs::remove_all(root); }
    fs::path root;
};

std::wstring wide(const fs::path& path) {
    const std::string text = path.string();
    return std::wstring(text.begin(), text.end());
}

std::size_t markerSize() {
    Folder folder(0);
    const auto result = talvo2::ResultDirectoryManager::create(wide(folder.root / "r000").c_str(),
                                                               false, nullptr, false, nullptr);
    return result ? fs::file_size(fs::path(folder.root / "r000" / "r000.talvo")) : 512;
}

void BM_CreateNumberedResult(benchmark::State& state) {
    Folder folder(static_cast<int>(state.range(0)));
    const std::wstring pattern = wide(folder.root / "r@@@");
    for (auto _ : state) {
        {
            const auto result = talvo2::ResultDirectoryManager::create(pattern.c_str(), false,
                                                                       nullptr, false, nullptr);
            if (!result) state.SkipWithError("create failed");
        }
        // Keep the folder at N results.
        state.PauseTiming();
        fs::remove_all(folder.root / ("r" + std::to_string(state.range(0))));
        state.ResumeTiming();
    }
}
BENCHMARK(BM_CreateNumberedResult)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_BaselineMkdirAndWrite(benchmark::State& state) {
    Folder folder(static_cast<int>(state.range(0)));
    const std::string content(markerSize(), 'x');
    for (auto _ : state) {
        const fs::path directory = folder.root / ("r" + std::to_string(state.range(0)));
        fs::create_directory(directory);
        const int fd = ::open((directory / "marker").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || ::write(fd, content.data(), content.size()) < 0 || ::fsync(fd) != 0)
            state.SkipWithError("write failed");
        ::close(fd);
        state.PauseTiming();
        fs::remove_all(directory);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_BaselineMkdirAndWrite)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
