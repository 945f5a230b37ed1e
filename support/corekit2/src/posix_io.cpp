#include "posix_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>

namespace corekit2::io {

namespace {

// Closes a descriptor on scope exit, keeping errno of the operation that failed.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int close() {
        if (m_fd < 0) return 0;
        const int saved = errno;
        const int rc = ::close(std::exchange(m_fd, -1));
        if (rc == 0) errno = saved;
        return rc;
    }

private:
    int m_fd;
};

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string parentDirectory(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A name no other writer in this or another process will pick at the same moment.
std::string temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%016llx.tmp", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned long long>(random()));
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    // Only the start of the target's name, so the temporary name stays within the file system's
    // limit whatever the target's length.
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + leaf.substr(0, 32) + suffix;
}

}  // namespace

int open_regular(const std::string& path, read_result_t& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = errno == ENOENT || errno == ENOTDIR ? read_result_t::missing : read_result_t::failed;
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = S_ISREG(info.st_mode) ? read_result_t::failed : read_result_t::not_regular;
        ::close(fd);
        return -1;
    }
    why = read_result_t::ok;
    return fd;
}

bool read_some(int fd, std::size_t limit, std::string& out) {
    char chunk[16384];
    while (limit > 0) {
        const ssize_t n = ::read(fd, chunk, std::min(limit, sizeof chunk));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
        limit -= static_cast<std::size_t>(n);
    }
    return true;
}

read_result_t read_file(const std::string& path, std::size_t limit, std::string& content) {
    read_result_t why = read_result_t::ok;
    Descriptor fd(open_regular(path, why));
    if (!fd.valid()) return why;
    // One byte past the limit tells a file that is too large from one that just fits, even when
    // the file grows while it is read.
    std::string buffer;
    if (!read_some(fd.get(), limit + 1, buffer)) return read_result_t::failed;
    if (buffer.size() > limit) return read_result_t::too_large;
    content.swap(buffer);
    return read_result_t::ok;
}

bool write_file_atomically(const std::string& requested, const std::string& content) {
    // Saving through a symbolic link replaces the file it leads to, not the link.
    std::string path = requested;
    struct stat existing {};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists) {
        struct stat link {};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            char* resolved = ::realpath(requested.c_str(), nullptr);
            if (!resolved) return false;
            path = resolved;
            std::free(resolved);
        }
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = temporaryName(path);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;

    Descriptor file(fd);
    // A replaced file keeps its permissions, so a private file does not become readable by
    // others, and its owner where we may set it (root saving a user's file).
    if (exists && S_ISREG(existing.st_mode)) {
        ::fchmod(file.get(), existing.st_mode & 07777);
        if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())
            (void)::fchown(file.get(), existing.st_uid, existing.st_gid);
    }
    const bool written = writeAll(file.get(), content.data(), content.size()) &&
                         ::fsync(file.get()) == 0 && file.close() == 0 &&
                         ::rename(temp.c_str(), path.c_str()) == 0;
    if (!written) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    // Make a replacement durable: once this returns, a crash cannot bring the old content back.
    // A file that is new needs no such sync: until its directory entry reaches the disk a crash
    // leaves no file at all, just as if the save had not begun, and the directory that holds it is
    // no more durable than its own parent, which is its creator's to sync. A failure here cannot
    // undo the rename, so it is not one.
    if (exists) {
        Descriptor dir(::open(parentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.valid()) ::fsync(dir.get());
    }
    return true;
}

void directory_write_access(const std::string& path, bool& readOnly, bool& failed,
                            unsigned retries) {
    readOnly = false;
    failed = false;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        failed = true;
        return;
    }
    for (unsigned attempt = 0;; ++attempt) {
        // Effective ids, as the kernel will use them when a file is created here.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return;
        if (errno == EINTR && attempt < retries) continue;
        break;
    }
    if (errno == EACCES || errno == EROFS || errno == EPERM) {
        readOnly = true;
    } else {
        failed = true;
    }
}

}  // namespace corekit2::io
