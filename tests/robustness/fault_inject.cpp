// An LD_PRELOAD library failing the k-th call of the file-system functions below once armed
// through fault_arm (found with dlsym), so that set-up is neither counted nor failed; k = 0 counts.

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

template <std::size_t N>
bool hit(const char* name, const int (&errors)[N]) {
    if (!armed.load() || ++calls != failAt) return false;
    failedName = name;
    failedErrno = errors[static_cast<std::size_t>(variant) % N];
    errno = failedErrno;
    return true;
}

}  // namespace

#define REAL(name) \
    static const auto real = reinterpret_cast<decltype(&name)>(::dlsym(RTLD_NEXT, #name))

extern "C" {

void fault_arm(long k, int errorVariant) {
    calls = 0;
    failAt = k;
    variant = errorVariant;
    failedName = "";
    failedErrno = 0;
    armed = true;
}
// Stops and prints what happened.
void fault_disarm() {
    armed = false;
    printf("calls=%ld failed=%s errno=%d", calls.load(), failedName, failedErrno);
}

// The open family takes a mode only when it may create a file.
#define OPEN(name, params, args)                                                    \
    int name params {                                                               \
        va_list list;                                                               \
        va_start(list, flags);                                                      \
        const bool creates = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; \
        const mode_t mode = creates ? va_arg(list, mode_t) : 0;                     \
        va_end(list);                                                               \
        REAL(name);                                                                 \
        return hit(#name, kCreating) ? -1 : real args;                              \
    }
OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
OPEN(openat, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
OPEN(openat64, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))

// Every other call returns `failed` with one of `errors`, or passes on to the real one.
#define WRAP(type, name, params, args, errors, failed)  \
    type name params {                                  \
        REAL(name);                                     \
        return hit(#name, errors) ? failed : real args; \
    }
WRAP(int, creat, (const char* path, mode_t mode), (path, mode), kCreating, -1)
WRAP(FILE*, fopen, (const char* path, const char* mode), (path, mode), kCreating, nullptr)
WRAP(FILE*, fopen64, (const char* path, const char* mode), (path, mode), kCreating, nullptr)
WRAP(ssize_t, write, (int fd, const void* data, size_t n), (fd, data, n), kWriting, -1)
WRAP(ssize_t, pwrite, (int fd, const void* p, size_t n, off_t at), (fd, p, n, at), kWriting, -1)
WRAP(ssize_t, pwrite64, (int fd, const void* p, size_t n, off64_t at), (fd, p, n, at), kWriting, -1)
WRAP(int, fsync, (int fd), (fd), kWriting, -1)
WRAP(int, fdatasync, (int fd), (fd), kWriting, -1)
WRAP(ssize_t, copy_file_range, (int in, off64_t* from, int out, off64_t* to, size_t n, unsigned f),
     (in, from, out, to, n, f), kWriting, -1)
WRAP(int, rename, (const char* from, const char* to), (from, to), kCreating, -1)
WRAP(int, renameat, (int a, const char* old, int b, const char* to), (a, old, b, to), kCreating, -1)
WRAP(int, mkdir, (const char* path, mode_t mode), (path, mode), kCreating, -1)
WRAP(int, mkdirat, (int dir, const char* path, mode_t mode), (dir, path, mode), kCreating, -1)
WRAP(int, unlink, (const char* path), (path), kDeleting, -1)
WRAP(int, unlinkat, (int dir, const char* path, int flags), (dir, path, flags), kDeleting, -1)
WRAP(int, rmdir, (const char* path), (path), kDeleting, -1)

}  // extern "C"
