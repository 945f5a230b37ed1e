// An LD_PRELOAD library that slows file copies down: every copy_file_range, and every read of a
// regular file (where the kernel cannot copy, the copy reads and writes), first sleeps for
// SLOW_COPY_MS milliseconds. A test can then interrupt a copy midway, and the tool under test
// needs no hook of its own for it.

#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

void slowDown() {
    static const long ms = [] {
        const char* text = std::getenv("SLOW_COPY_MS");
        return text ? std::atol(text) : 0L;
    }();
    if (ms <= 0) return;
    // The caller looks at errno only after the real call, but keep it as it was all the same.
    const int saved = errno;
    timespec delay{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
    errno = saved;
}

}  // namespace

extern "C" {

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                        unsigned int flags) {
    static const auto real = next<decltype(&copy_file_range)>("copy_file_range");
    slowDown();
    return real(in, inOffset, out, outOffset, size, flags);
}

ssize_t read(int fd, void* buffer, size_t size) {
    static const auto real = next<decltype(&read)>("read");
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) slowDown();
    return real(fd, buffer, size);
}

}  // extern "C"
