// The file system of Linux and other POSIX systems, behind the library's one seam.

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <unordered_map>

#include "platform/file_system.hpp"

namespace talvo2::platform {

namespace {

Status lastSystemError() {
    return Status::fromSystem(errno);
}

// Calls `call` again while it is interrupted by a signal.
template <class Call>
auto retrying(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

FileType typeOf(mode_t mode) {
    if (S_ISREG(mode)) return FileType::Regular;
    if (S_ISDIR(mode)) return FileType::Directory;
    if (S_ISLNK(mode)) return FileType::Symlink;
    return FileType::Other;
}

void fill(const struct stat& st, FileInfo& info) {
    info.type = typeOf(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    info.device = st.st_dev;
    info.inode = st.st_ino;
    info.permissions = st.st_mode & 07777;
    info.links = static_cast<uint32_t>(st.st_nlink);
    info.owner = st.st_uid;
    info.group = st.st_gid;
    info.accessedNs = int64_t{st.st_atim.tv_sec} * 1000000000 + st.st_atim.tv_nsec;
    info.modifiedNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    info.changedNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
}

class PosixDirectory;

Status setTimesOf(int fd, int64_t accessedNs, int64_t modifiedNs) {
    const struct timespec times[2] = {
        {static_cast<time_t>(accessedNs / 1000000000), static_cast<long>(accessedNs % 1000000000)},
        {static_cast<time_t>(modifiedNs / 1000000000), static_cast<long>(modifiedNs % 1000000000)}};
    return ::futimens(fd, times) == 0 ? Status() : lastSystemError();
}

Status lockOf(int fd) {
    // flock: owned by the open file description, and possible on a descriptor opened for reading
    // only, so any user who may read a lock file can hold it.
    if (retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0) return Status();
    return errno == EWOULDBLOCK ? Status::fromSystem(EAGAIN) : lastSystemError();
}

Status infoOf(int fd, FileInfo& info) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return lastSystemError();
    fill(st, info);
    return Status();
}

int descriptorOf(const Directory* at);

class PosixFile final : public File {
public:
    explicit PosixFile(int fd) : m_fd(fd) {}
    ~PosixFile() override {
        if (m_fd >= 0) ::close(m_fd);
    }

    Status read(void* buffer, std::size_t size, std::size_t& got) override {
        got = 0;
        const ssize_t n = retrying([&] { return ::read(m_fd, buffer, size); });
        if (n < 0) return lastSystemError();
        got = static_cast<std::size_t>(n);
        return Status();
    }
    Status readAt(void* buffer, std::size_t size, uint64_t offset, std::size_t& got) override {
        got = 0;
        const ssize_t n =
            retrying([&] { return ::pread(m_fd, buffer, size, static_cast<off_t>(offset)); });
        if (n < 0) return lastSystemError();
        got = static_cast<std::size_t>(n);
        return Status();
    }
    Status write(const void* data, std::size_t size, std::size_t& written) override {
        written = 0;
        const ssize_t n = retrying([&] { return ::write(m_fd, data, size); });
        if (n < 0) return lastSystemError();
        written = static_cast<std::size_t>(n);
        return Status();
    }
    Status sync() override { return ::fsync(m_fd) == 0 ? Status() : lastSystemError(); }
    Status info(FileInfo& info) override { return infoOf(m_fd, info); }
    Status setPermissions(uint32_t permissions) override {
        return ::fchmod(m_fd, permissions & 07777) == 0 ? Status() : lastSystemError();
    }
    Status setOwner(uint32_t owner, uint32_t group) override {
        return ::fchown(m_fd, owner, group) == 0 ? Status() : lastSystemError();
    }
    Status setTimes(int64_t accessedNs, int64_t modifiedNs) override {
        return setTimesOf(m_fd, accessedNs, modifiedNs);
    }
    Status lock() override { return lockOf(m_fd); }
    Status copyTo(File& to, int64_t& bytes) override {
        bytes = 0;
        auto* target = dynamic_cast<PosixFile*>(&to);
        // In the kernel first (no data through user space, and a clone where the file system can);
        // a file system or kernel that cannot does it with read and write.
        bool kernel = target != nullptr;
        char buffer[1 << 16];
        for (;;) {
            ssize_t n = -1;
            if (kernel) {
                n = retrying([&] {
                    return ::copy_file_range(m_fd, nullptr, target->m_fd, nullptr,
                                             std::size_t{1} << 30, 0);
                });
                if (n < 0 &&
                    (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
                    kernel = false;
                    continue;
                }
                if (n < 0) return lastSystemError();
            } else {
                std::size_t got = 0;
                const Status read = this->read(buffer, sizeof buffer, got);
                if (!read) return read;
                n = static_cast<ssize_t>(got);
                for (std::size_t done = 0; done < got;) {
                    std::size_t written = 0;
                    const Status wrote = to.write(buffer + done, got - done, written);
                    if (!wrote) return wrote;
                    if (written == 0) return Status::fromSystem(ENOSPC);
                    done += written;
                }
            }
            if (n == 0) return Status();
            bytes += n;
        }
    }
    Status close() override {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0 ? Status() : lastSystemError();
    }

private:
    int m_fd;
};

// The type a directory listing tells; Unknown where the file system leaves it to a status call.
FileType typeFromListing(unsigned char type) {
    switch (type) {
        case DT_REG:
            return FileType::Regular;
        case DT_DIR:
            return FileType::Directory;
        case DT_LNK:
            return FileType::Symlink;
        case DT_UNKNOWN:
            return FileType::Unknown;
        default:
            return FileType::Other;
    }
}

class PosixDirectory final : public Directory {
public:
    explicit PosixDirectory(int fd) : m_fd(fd) {}
    ~PosixDirectory() override { ::close(m_fd); }

    int fd() const { return m_fd; }

    Status list(std::vector<DirectoryEntry>& entries) override {
        entries.clear();
        // The kernel's records straight into one buffer: no DIR stream, so no duplicate of the
        // descriptor and no status and flag calls to set one up. The *at calls do not use the
        // descriptor's position, so reading through it leaves it usable for them; a second
        // listing rewinds it. The buffer is the thread's, kept between listings: a numbered
        // creation lists its folder every time, and a fresh zeroed buffer cost as much as the
        // listing of a small folder.
        if (m_listed && ::lseek(m_fd, 0, SEEK_SET) < 0) return lastSystemError();
        m_listed = true;
        thread_local std::unique_ptr<char[]> buffer(new char[kListingBuffer]);
        for (;;) {
            const ssize_t got =
                retrying([&] { return ::getdents64(m_fd, buffer.get(), kListingBuffer); });
            if (got < 0) return lastSystemError();
            if (got == 0) return Status();
            // Room for this chunk's records (at least 24 bytes each, most more), growing
            // geometrically so that a folder read in many chunks is not copied per chunk.
            const std::size_t wanted = entries.size() + static_cast<std::size_t>(got) / 32;
            if (wanted > entries.capacity())
                entries.reserve(std::max(wanted, 2 * entries.capacity()));
            for (ssize_t at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer.get() + at);
                at += entry->d_reclen;
                const char* name = entry->d_name;
                if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
                DirectoryEntry listed;
                listed.name = name;
                listed.type = typeFromListing(entry->d_type);
                entries.push_back(std::move(listed));
            }
        }
    }
    Status sync() override { return ::fsync(m_fd) == 0 ? Status() : lastSystemError(); }
    Status info(FileInfo& info) override { return infoOf(m_fd, info); }
    Status lock() override { return lockOf(m_fd); }
    Status setPermissions(uint32_t permissions) override {
        return ::fchmod(m_fd, permissions & 07777) == 0 ? Status() : lastSystemError();
    }
    Status setTimes(int64_t accessedNs, int64_t modifiedNs) override {
        return setTimesOf(m_fd, accessedNs, modifiedNs);
    }

private:
    static constexpr std::size_t kListingBuffer = 64 * 1024;
    int m_fd;
    bool m_listed = false;
};

int descriptorOf(const Directory* at) {
    return at ? static_cast<const PosixDirectory*>(at)->fd() : AT_FDCWD;
}

class PosixFileSystem final : public FileSystem {
public:
    Status status(const Directory* at, const std::string& path, bool follow,
                  FileInfo& info) override {
        info = FileInfo();
        struct stat st {};
        if (::fstatat(descriptorOf(at), path.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
            return lastSystemError();
        fill(st, info);
        return Status();
    }

    Status openDirectory(const Directory* at, const std::string& path, bool follow, bool listable,
                         std::unique_ptr<Directory>& directory) override {
        // A directory only acted in needs no read permission: O_PATH.
        const int flags =
            (listable ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
        const int fd = retrying([&] { return ::openat(descriptorOf(at), path.c_str(), flags); });
        if (fd < 0) return lastSystemError();
        directory = std::make_unique<PosixDirectory>(fd);
        return Status();
    }

    Status openFile(const Directory* at, const std::string& path, uint32_t flags,
                    uint32_t permissions, std::unique_ptr<File>& file) override {
        int system = O_CLOEXEC | O_NOCTTY;
        if ((flags & kRead) && (flags & kWrite)) {
            system |= O_RDWR;
        } else if (flags & kWrite) {
            system |= O_WRONLY;
        } else {
            system |= O_RDONLY;
        }
        if (flags & kCreate) system |= O_CREAT;
        if (flags & kExclusive) system |= O_EXCL;
        if (flags & kNoFollow) system |= O_NOFOLLOW;
        if (flags & kNonBlocking) system |= O_NONBLOCK;
        const int fd = retrying(
            [&] { return ::openat(descriptorOf(at), path.c_str(), system, permissions & 07777); });
        if (fd < 0) return lastSystemError();
        file = std::make_unique<PosixFile>(fd);
        return Status();
    }

    Status makeDirectory(const Directory* at, const std::string& path,
                         uint32_t permissions) override {
        return ::mkdirat(descriptorOf(at), path.c_str(), permissions & 07777) == 0
                   ? Status()
                   : lastSystemError();
    }

    Status remove(const Directory* at, const std::string& path, bool directory) override {
        return ::unlinkat(descriptorOf(at), path.c_str(), directory ? AT_REMOVEDIR : 0) == 0
                   ? Status()
                   : lastSystemError();
    }

    Status rename(const Directory* fromAt, const std::string& from, const Directory* toAt,
                  const std::string& to, RenameMode mode) override {
        const unsigned flags = mode == RenameMode::NoReplace ? RENAME_NOREPLACE : 0;
        return ::renameat2(descriptorOf(fromAt), from.c_str(), descriptorOf(toAt), to.c_str(),
                           flags) == 0
                   ? Status()
                   : lastSystemError();
    }

    Status link(const Directory* fromAt, const std::string& from, const Directory* toAt,
                const std::string& to) override {
        return ::linkat(descriptorOf(fromAt), from.c_str(), descriptorOf(toAt), to.c_str(), 0) == 0
                   ? Status()
                   : lastSystemError();
    }

    Status currentDirectory(std::string& path) override {
        char buffer[PATH_MAX];
        if (!::getcwd(buffer, sizeof buffer)) return lastSystemError();
        path = buffer;
        return Status();
    }

    Status canCreateIn(const std::string& path, bool& allowed) override {
        allowed = false;
        // Effective ids, as the kernel will use them when a file is created there.
        if (retrying([&] {
                return ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS);
            }) == 0) {
            allowed = true;
            return Status();
        }
        const Status refused = lastSystemError();
        return refused.denied() ? Status() : refused;
    }

    Status timesAreLocal(const std::string& path, bool& local) override {
        local = false;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return lastSystemError();
        // One answer per file system: it is asked for every directory that is looked into.
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            const auto found = m_local.find(st.st_dev);
            if (found != m_local.end()) {
                local = found->second;
                return Status();
            }
        }
        struct statfs about {};
        if (::statfs(path.c_str(), &about) != 0) return lastSystemError();
        switch (static_cast<unsigned long>(about.f_type)) {
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
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_local[st.st_dev] = local;
        return Status();
    }

private:
    std::mutex m_mutex;
    std::unordered_map<dev_t, bool> m_local;
};

std::atomic<FileSystem*>& installed() {
    static std::atomic<FileSystem*> current{nullptr};
    return current;
}

}  // namespace

FileSystem& systemFileSystem() {
    // Never destroyed: nodes may be closed from other libraries' static destructors.
    static FileSystem* const system = new PosixFileSystem;
    return *system;
}

FileSystem& fileSystem() {
    FileSystem* current = installed().load(std::memory_order_acquire);
    return current ? *current : systemFileSystem();
}

FileSystem* installFileSystem(FileSystem* replacement) {
    return installed().exchange(replacement, std::memory_order_acq_rel);
}

}  // namespace talvo2::platform
