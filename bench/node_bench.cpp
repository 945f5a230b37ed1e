// Opening a result and asking its size are what front ends do for every line of a listing.
//
// BM_OpenResult: ResultDirectoryManager::open of a result directory, handle released (the next
//   open binds afresh, since no handle keeps the node alive).
// BM_OpenResultSettled: the same in a folder unchanged for more than two seconds.
// BM_FloorReadMarker: read the marker's bytes (open, fstat, read, close), its name known.
// BM_FloorReadDigestParse: the same, then what an open cannot skip with those bytes: the MD5 of
//   the head that link staleness compares (the digest fetched once) and a pugixml parse.
// BM_SizeAndFileCount: getSize and getFilesCount of an open result holding 200 files.
// BM_BaselineTreeWalk: a recursive walk summing file sizes and counting files, links not
//   followed.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <fstream>
#include <pugixml.hpp>
#include <string>
#include <vector>

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

// The same in a folder that has not changed for a while, the usual case when results already on
// disk are opened: the folder's listing of group owners is then remembered between opens (a
// folder changed within the last two seconds is listed again on every open). One folder for the
// whole run, so the wait is paid once.
void BM_OpenResultSettled(benchmark::State& state) {
    static OneResult result(0);
    static const bool settled = [] {
        ::usleep(2'200'000);
        return true;
    }();
    (void)settled;
    const std::wstring path = wide(result.root / "r000");
    for (auto _ : state) {
        const auto node = talvo2::ResultDirectoryManager::open(path.c_str(), false, nullptr);
        if (!node) state.SkipWithError("open failed");
    }
}
BENCHMARK(BM_OpenResultSettled)->Unit(benchmark::kMicrosecond);

// Reads the whole file at `path` into `buffer` (grown as needed); its size, or -1.
long readWhole(const char* path, std::vector<char>& buffer) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) return -1;
    buffer.resize(static_cast<std::size_t>(info.st_size) + 1);
    const long got = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    return got;
}

void BM_FloorReadMarker(benchmark::State& state) {
    OneResult result(0);
    const std::string marker = (result.root / "r000" / "r000.talvo").string();
    std::vector<char> buffer;
    for (auto _ : state) {
        if (readWhole(marker.c_str(), buffer) <= 0) state.SkipWithError("read failed");
    }
}
BENCHMARK(BM_FloorReadMarker)->Unit(benchmark::kMicrosecond);

void BM_FloorReadDigestParse(benchmark::State& state) {
    OneResult result(0);
    const std::string marker = (result.root / "r000" / "r000.talvo").string();
    std::vector<char> buffer;
    EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    for (auto _ : state) {
        const long size = readWhole(marker.c_str(), buffer);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestInit_ex(context, md5, nullptr);
        EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(std::min(size, 4096L)));
        EVP_DigestFinal_ex(context, digest, &length);
        pugi::xml_document document;
        if (size <= 0 || !document.load_buffer(buffer.data(), static_cast<std::size_t>(size)))
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(context);
    EVP_MD_free(md5);
}
BENCHMARK(BM_FloorReadDigestParse)->Unit(benchmark::kMicrosecond);

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
