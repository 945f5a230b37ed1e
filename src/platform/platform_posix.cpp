#include <fcntl.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/platform.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2::platform {

namespace {

error_t openError(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return AccessDenied;
        case EEXIST:
            return AlreadyExists;
        default:
            return FileError;
    }
}

// A write lock on the whole file owned by the open file description, not by the process: two
// opens in one process conflict as two processes do, and the kernel drops it with the last
// descriptor, also when the holder is killed.
bool lockWhole(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    while (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Whether the open file is still the one `path` names: the lock was taken on the file, and a
// holder that deleted it after we opened it would leave us holding a file nobody can find.
bool stillAtPath(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && opened.st_nlink > 0 && ::stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

error_t ExclusiveFile::open(const std::string& path, Disposition disposition) {
    close();
    int flags = O_RDWR | O_CLOEXEC;
    if (disposition == Disposition::CreateNew) flags |= O_CREAT | O_EXCL;
    if (disposition == Disposition::OpenAlways) flags |= O_CREAT;
    // A file replaced between open and lock is opened again; a few rounds settle any race.
    for (int attempt = 0; attempt < 64; ++attempt) {
        int fd = -1;
        do {
            fd = ::open(path.c_str(), flags | O_NOCTTY, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0)
            return errno == ENOENT && disposition == Disposition::OpenExisting ? NotFound
                                                                               : openError(errno);
        if (!lockWhole(fd)) {
            const int error = errno;
            ::close(fd);
            return error == EAGAIN || error == EACCES ? FileLocked : FileError;
        }
        if (stillAtPath(fd, path)) {
            m_fd = fd;
            return OK;
        }
        ::close(fd);
    }
    return FileError;
}

void ExclusiveFile::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

int64_t ExclusiveFile::size() const {
    struct stat info {};
    return m_fd >= 0 && ::fstat(m_fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

bool ExclusiveFile::write(const std::string& bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ExclusiveFile::readAll(std::string& bytes) const {
    const int64_t length = size();
    if (length < 0) return false;
    std::string buffer(static_cast<std::size_t>(length), '\0');
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n =
            ::pread(m_fd, &buffer[done], buffer.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    buffer.resize(done);
    bytes.swap(buffer);
    return true;
}

error_t deleteWhileHeld(const std::string& path) {
    ExclusiveFile file;
    const error_t opened = file.open(path, ExclusiveFile::Disposition::OpenExisting);
    if (opened == NotFound) return OK;
    if (opened != OK) return opened;
    ::unlink(path.c_str());
    return OK;
}

bool directoryStamp(const std::string& path, DirectoryStamp& stamp) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.modifiedNs = int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
    stamp.changedNs = int64_t{info.st_ctim.tv_sec} * 1000000000 + info.st_ctim.tv_nsec;
    return true;
}

bool timesAreLocal(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    // One answer per file system: it is asked for every directory that is looked into.
    static std::mutex mutex;
    static std::unordered_map<dev_t, bool> known;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto found = known.find(info.st_dev);
        if (found != known.end()) return found->second;
    }
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) return false;
    bool local = false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 share it
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
        case F2FS_SUPER_MAGIC:
            local = true;
            break;
        default:
            local = false;
    }
    const std::lock_guard<std::mutex> lock(mutex);
    known[info.st_dev] = local;
    return local;
}

int64_t wallClockNs() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

uint32_t processId() {
    return static_cast<uint32_t>(::getpid());
}

uint32_t parentProcessId() {
    return static_cast<uint32_t>(::getppid());
}

std::wstring userName() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::wstring();
    return ulib_2_18::from_utf8(found->pw_name);
}

}  // namespace talvo2::platform
