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

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    REAL(open);
    return hit("open", kCreating) ? -1 : real(path, flags, mode);
}
int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    REAL(open64);
    return hit("open64", kCreating) ? -1 : real(path, flags, mode);
}
int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    REAL(openat);
    return hit("openat", kCreating) ? -1 : real(dir, path, flags, mode);
}
int openat64(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    REAL(openat64);
    return hit("openat64", kCreating) ? -1 : real(dir, path, flags, mode);
}
int creat(const char* path, mode_t mode) {
    REAL(creat);
    return hit("creat", kCreating) ? -1 : real(path, mode);
}
FILE* fopen(const char* path, const char* mode) {
    REAL(fopen);
    return hit("fopen", kCreating) ? nullptr : real(path, mode);
}
FILE* fopen64(const char* path, const char* mode) {
    REAL(fopen64);
    return hit("fopen64", kCreating) ? nullptr : real(path, mode);
}
ssize_t write(int fd, const void* data, size_t size) {
    REAL(write);
    return hit("write", kWriting) ? -1 : real(fd, data, size);
}
ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    REAL(pwrite);
    return hit("pwrite", kWriting) ? -1 : real(fd, data, size, offset);
}
ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    REAL(pwrite64);
    return hit("pwrite64", kWriting) ? -1 : real(fd, data, size, offset);
}
int fsync(int fd) {
    REAL(fsync);
    return hit("fsync", kWriting) ? -1 : real(fd);
}
int fdatasync(int fd) {
    REAL(fdatasync);
    return hit("fdatasync", kWriting) ? -1 : real(fd);
}
ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                        unsigned flags) {
    REAL(copy_file_range);
    return hit("copy_file_range", kWriting) ? -1 : real(in, inOffset, out, outOffset, size, flags);
}
int rename(const char* from, const char* to) {
    REAL(rename);
    return hit("rename", kCreating) ? -1 : real(from, to);
}
int renameat(int fromDir, const char* from, int toDir, const char* to) {
    REAL(renameat);
    return hit("renameat", kCreating) ? -1 : real(fromDir, from, toDir, to);
}
int mkdir(const char* path, mode_t mode) {
    REAL(mkdir);
    return hit("mkdir", kCreating) ? -1 : real(path, mode);
}
int mkdirat(int dir, const char* path, mode_t mode) {
    REAL(mkdirat);
    return hit("mkdirat", kCreating) ? -1 : real(dir, path, mode);
}
int unlink(const char* path) {
    REAL(unlink);
    return hit("unlink", kDeleting) ? -1 : real(path);
}
int unlinkat(int dir, const char* path, int flags) {
    REAL(unlinkat);
    return hit("unlinkat", kDeleting) ? -1 : real(dir, path, flags);
}
int rmdir(const char* path) {
    REAL(rmdir);
    return hit("rmdir", kDeleting) ? -1 : real(path);
}

}  // extern "C"
