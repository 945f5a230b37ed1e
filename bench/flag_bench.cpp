// Taking and giving up a flag is what a collector does around every write into a result. Goal:
// the library's addFlag + removeFlag on an uncontended flag costs a small multiple of the bare
// system calls a flag needs (create and lock the lock file, publish the owner record through a
// temporary file and a rename, unlink both, close).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
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
    const fs::path dir = result.root / "r000";
    const std::string lock = (dir / "writing.lock").string();
    const std::string info = (dir / "writing.info").string();
    const std::string temporary = (dir / ".writing.info.tmp").string();
    const std::string record(300, 'x');
    for (auto _ : state) {
        // The lock: a file made for the purpose and locked on a read-only descriptor, so that
        // other users can lock it too.
        const int fd =
            ::open(lock.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        ::flock(fd, LOCK_EX | LOCK_NB);
        // The owner record, published whole: readers, and anyone taking over, never see half.
        const int record_fd =
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (::write(record_fd, record.data(), record.size()) < 0) state.SkipWithError("write");
        ::close(record_fd);
        ::rename(temporary.c_str(), info.c_str());
        ::unlink(info.c_str());
        ::unlink(lock.c_str());
        ::close(fd);
    }
}
BENCHMARK(BM_BaselineLockFileSyscalls)->Unit(benchmark::kMicrosecond);

}  // namespace
