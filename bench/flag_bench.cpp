// Taking and giving up a flag is what a collector does around every write into a result. Goal:
// the library's addFlag + removeFlag on an uncontended flag costs a small multiple of the bare
// system calls a lock file needs (open, lock, write a record, close, unlink).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <string>

#include "talvo2/i_result_directory.hpp"
#include "talvo2/result_directory_manager.hpp"

namespace {

namespace fs = boost::filesystem;

struct Result {
    Result() : root(fs::temp_directory_path() / fs::unique_path("talvo2-flag-%%%%-%%%%")) {
        fs::create_directories(root);
        const std::string path = (root / "r000").string();
        node = talvo2::ResultDirectoryManager::create(
            std::wstring(path.begin(), path.end()).c_str(), false, nullptr, false, nullptr);
    }
    ~Result() {
        node.reset();
        fs::remove_all(root);
    }
    fs::path root;
    corekit2::sptr_t<talvo2::IResultDirectory> node;
};

void BM_AddAndRemoveFlag(benchmark::State& state) {
    Result result;
    for (auto _ : state) {
        if (result.node->addFlag(L"writing", false, true) != talvo2::OK ||
            result.node->removeFlag(L"writing", false) != talvo2::OK)
            state.SkipWithError("flag refused");
    }
}
BENCHMARK(BM_AddAndRemoveFlag)->Unit(benchmark::kMicrosecond);

void BM_BaselineLockFileSyscalls(benchmark::State& state) {
    Result result;
    const std::string lock = (result.root / "r000" / "writing.lock").string();
    const std::string info = (result.root / "r000" / "writing.info").string();
    const std::string record(300, 'x');
    for (auto _ : state) {
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        struct flock whole {};
        whole.l_type = F_WRLCK;
        ::fcntl(fd, F_OFD_SETLK, &whole);
        const int record_fd = ::open(info.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (::write(record_fd, record.data(), record.size()) < 0) state.SkipWithError("write");
        ::close(record_fd);
        ::unlink(info.c_str());
        ::unlink(lock.c_str());
        ::close(fd);
    }
}
BENCHMARK(BM_BaselineLockFileSyscalls)->Unit(benchmark::kMicrosecond);

}  // namespace
