// An LD_PRELOAD library that makes one chosen call of the file-system functions below fail. It
// does nothing until the program arms it through fault_arm (found with dlsym), so the program's
// own set-up is neither counted nor failed. Armed with k = 0 it only counts the calls.

#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<bool> armed{false};
std::atomic<long> calls{0};
long failAt = 0;
int variant = 0;
const char* failedName = "";
int failedErrno = 0;

// The errors each kind of call plausibly meets on a sick or full disk, or behind changed rights.
const int kCreating[] = {EACCES, ENOSPC, EIO};
const int kWriting[] = {ENOSPC, EIO};
const int kDeleting[] = {EACCES, EIO};

// Whether this call is the one to fail; errno is set when it is.
template <std::size_t N>
bool hit(const char* name, const int (&errors)[N]) {
    if (!armed.load() || ++calls != failAt) return false;
    failedName = name;
    failedErrno = errors[static_cast<std::size_t>(variant) % N];
    errno = failedErrno;
    return true;
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

// The mode argument that open and its relatives take only when they may create a file.
mode_t modeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

#define REAL(name) static const auto real = next<decltype(&name)>(#name)

extern "C" {

void fault_arm(long k, int errorVariant) {
    calls = 0;
    failAt = k;
    variant = errorVariant;
    failedName = "";
    failedErrno = 0;
    armed = true;
}
long fault_disarm() {
    armed = false;
    return calls.load();
}
const char* fault_failed_call() {
    return failedName;
}
int fault_failed_errno() {
    return failedErrno;
}

// The open family takes a mode only when it may create a file.
#define OPEN(name, params, args)                       \
    int name params {                                  \
        va_list list;                                  \
        va_start(list, flags);                         \
        const mode_t mode = modeOf(flags, list);       \
        va_end(list);                                  \
        REAL(name);                                    \
        return hit(#name, kCreating) ? -1 : real args; \
    }
OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
OPEN(openat, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
OPEN(openat64, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))

// Every other call: fails with `failed` and one of `errors`, or passes on to the real one.
#define WRAP(type, name, params, args, errors, failed)  \
    type name params {                                  \
        REAL(name);                                     \
        return hit(#name, errors) ? failed : real args; \
    }
WRAP(int, creat, (const char* path, mode_t mode), (path, mode), kCreating, -1)
WRAP(FILE*, fopen, (const char* path, const char* mode), (path, mode), kCreating, nullptr)
WRAP(FILE*, fopen64, (const char* path, const char* mode), (path, mode), kCreating, nullptr)
WRAP(ssize_t, write, (int fd, const void* data, size_t size), (fd, data, size), kWriting, -1)
WRAP(ssize_t, pwrite, (int fd, const void* data, size_t size, off_t offset),
     (fd, data, size, offset), kWriting, -1)
WRAP(ssize_t, pwrite64, (int fd, const void* data, size_t size, off64_t offset),
     (fd, data, size, offset), kWriting, -1)
WRAP(int, fsync, (int fd), (fd), kWriting, -1)
WRAP(int, fdatasync, (int fd), (fd), kWriting, -1)
WRAP(ssize_t, copy_file_range,
     (int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size, unsigned flags),
     (in, inOffset, out, outOffset, size, flags), kWriting, -1)
WRAP(int, rename, (const char* from, const char* to), (from, to), kCreating, -1)
WRAP(int, renameat, (int fromDir, const char* from, int toDir, const char* to),
     (fromDir, from, toDir, to), kCreating, -1)
WRAP(int, mkdir, (const char* path, mode_t mode), (path, mode), kCreating, -1)
WRAP(int, mkdirat, (int dir, const char* path, mode_t mode), (dir, path, mode), kCreating, -1)
WRAP(int, unlink, (const char* path), (path), kDeleting, -1)
WRAP(int, unlinkat, (int dir, const char* path, int flags), (dir, path, flags), kDeleting, -1)
WRAP(int, rmdir, (const char* path), (path), kDeleting, -1)

}  // extern "C"
