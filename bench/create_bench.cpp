// Creating one numbered result scans its folder once, so creation stays close to the cost of the
// file-system work itself as a folder fills.
//
// BM_CreateNumberedResult: ResultDirectoryManager::create with "r@@@" into a folder already
//   holding N results, then the handle is released. The new result is removed untimed, so the
//   folder holds N results at every iteration.
// BM_FloorCreate/N/sync: what no numbered create can skip, done raw: one getdents64 scan of the
//   folder for the highest number (names parsed as bytes), mkdir, the marker-sized temporary
//   written (and with sync = 1 fsynced) and renamed to the marker's name.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <string>
#include <vector>

#include "raw_dir.hpp"

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

// The highest number among names "r" + at least three digits, -1 when there is none.
long highestNumber(int folder, std::vector<char>& buffer) {
    long highest = -1;
    bench::scanDirectory(folder, buffer, [&highest](const char* name, unsigned char) {
        if (name[0] != 'r') return;
        long number = 0;
        int digits = 0;
        for (const char* c = name + 1; *c; ++c, ++digits) {
            if (*c < '0' || *c > '9') return;
            number = number * 10 + (*c - '0');
        }
        if (digits >= 3 && number > highest) highest = number;
    });
    return highest;
}

void BM_FloorCreate(benchmark::State& state) {
    Folder folder(static_cast<int>(state.range(0)));
    const bool sync = state.range(1) != 0;
    const std::string content(markerSize(), 'x');
    std::vector<char> buffer(1 << 16);
    const int dir = ::open(folder.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (auto _ : state) {
        char name[32];
        std::snprintf(name, sizeof name, "r%03ld", highestNumber(dir, buffer) + 1);
        char marker[48];
        std::snprintf(marker, sizeof marker, "%s.talvo", name);
        if (::mkdirat(dir, name, 0777) != 0) state.SkipWithError("mkdir failed");
        const int node = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int fd = ::openat(node, ".marker.tmp", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, content.data(), content.size()) < 0 || (sync && ::fsync(fd)))
            state.SkipWithError("write failed");
        ::close(fd);
        if (::renameat(node, ".marker.tmp", node, marker) != 0) state.SkipWithError("rename");
        ::close(node);
        state.PauseTiming();
        fs::remove_all(folder.root / name);
        state.ResumeTiming();
    }
    ::close(dir);
}
BENCHMARK(BM_FloorCreate)->ArgsProduct({{100, 1000, 10000}, {0, 1}})->Unit(benchmark::kMicrosecond);

}  // namespace
