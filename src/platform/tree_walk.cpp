#include "platform/tree_walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace talvo2::platform {

namespace {

// The same mapping the rest of the library applies to file-system failures.
error_t errnoToError(int error) {
    switch (error) {
        case EACCES:
        case EROFS:
            return InsufficientPermissions;
        case ENOENT:
            return NotFound;
        case EEXIST:
            return AlreadyExists;
        default:
            return OperationFailed;
    }
}

// An owned descriptor, so that every way out of a walk (callback exceptions included) closes it.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    // Closes now, for a close whose failure matters (data written to a file).
    bool close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

int openAt(int directory, const char* name, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::openat(directory, name, flags | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens the directory `name` in `directory` for listing, refusing a link (ELOOP) and anything
// that is not a directory (ENOTDIR).
int openSubdirectory(int directory, const std::string& name) {
    return openAt(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

bool isNotADirectoryNow(int error) {
    return error == ELOOP || error == ENOTDIR;
}

// The names in the open directory `fd`, without "." and "..". Read through a duplicate, so that
// `fd` stays open for the *at calls; all names are read before any is acted on, as a directory
// changed while it is being read need not list every entry once.
error_t listNames(int fd, std::vector<std::string>& names) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return errnoToError(errno);
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        const int error = errno;
        ::close(copy);
        return errnoToError(error);
    }
    ::rewinddir(dir);  // the duplicate shares its position with `fd`
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return error ? errnoToError(error) : OK;
}

// How often removal tries an entry again when its kind changed between two calls. Only someone
// swapping entries while the removal runs causes that; each round is two or three calls.
constexpr int kRemovalRounds = 4096;

error_t removeEntry(int parent, const std::string& name);

error_t emptyDirectory(int fd) {
    std::vector<std::string> names;
    const error_t listed = listNames(fd, names);
    if (listed != OK) return listed;
    for (const std::string& name : names) {
        const error_t removed = removeEntry(fd, name);
        if (removed != OK) return removed;
    }
    return OK;
}

// Removes the entry `name` of the open directory `parent`. Each round acts only through calls that
// refuse the other kind, and lets the refusal say what is there: unlinkat without AT_REMOVEDIR
// never removes a directory (EISDIR), the directory is opened with O_NOFOLLOW, and rmdir never
// removes a link. An entry swapped meanwhile makes a call fail, and the next round tries again.
error_t removeEntry(int parent, const std::string& name) {
    const char* entry = name.c_str();
    for (int round = 0; round < kRemovalRounds; ++round) {
        if (::unlinkat(parent, entry, 0) == 0 || errno == ENOENT) return OK;
        if (errno != EISDIR) return errnoToError(errno);
        Fd directory(openSubdirectory(parent, name));
        if (!directory) {
            if (isNotADirectoryNow(errno)) continue;
            return errno == ENOENT ? OK : errnoToError(errno);
        }
        const error_t emptied = emptyDirectory(directory.get());
        if (emptied != OK) return emptied;
        directory.reset();
        if (::unlinkat(parent, entry, AT_REMOVEDIR) == 0 || errno == ENOENT) return OK;
        // A link or file now stands at the name, or entries were added meanwhile.
        if (errno == ENOTDIR || errno == ENOTEMPTY || errno == EEXIST) continue;
        return errnoToError(errno);
    }
    return OperationFailed;
}

// Copies the data of `in` to `out` from their current positions; false with errno set on
// failure.
bool copyData(int in, int out, int64_t& copied) {
    copied = 0;
    // In-kernel copy first (no data through user space, and a clone where the file system can);
    // a file system or kernel that cannot does it with read and write.
    bool kernel = true;
    for (;;) {
        ssize_t n = -1;
        if (kernel) {
            n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
            if (n < 0 &&
                (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernel = false;
                continue;
            }
        } else {
            char buffer[1 << 16];
            n = ::read(in, buffer, sizeof buffer);
            for (ssize_t done = 0; n > 0 && done < n;) {
                const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) return false;
                done += w;
            }
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        copied += n;
    }
}

class TreeCopy {
public:
    explicit TreeCopy(const CopyCallbacks& callbacks) : m_callbacks(callbacks) {}

    error_t copyDirectory(int from, int to, const std::string& prefix) {
        std::vector<std::string> names;
        const error_t listed = listNames(from, names);
        if (listed != OK) return listed;
        for (const std::string& name : names) {
            struct stat info {};
            if (::fstatat(from, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;  // gone since the listing
                return errnoToError(errno);
            }
            const bool directory = S_ISDIR(info.st_mode);
            if (!directory && !S_ISREG(info.st_mode)) continue;
            const std::string relative = prefix.empty() ? name : prefix + '/' + name;
            const CopyStep step =
                m_callbacks.enter ? m_callbacks.enter(relative, directory) : CopyStep::Copy;
            if (step == CopyStep::Skip) continue;
            if (step == CopyStep::Stop) return OperationFailed;
            const error_t copied =
                directory ? copySubdirectory(from, to, name, relative) : copyFile(from, to, name);
            if (copied != OK) return copied;
        }
        return OK;
    }

private:
    error_t copySubdirectory(int from, int to, const std::string& name,
                             const std::string& relative) {
        Fd source(openSubdirectory(from, name));
        if (!source) return isNotADirectoryNow(errno) ? OK : errnoToError(errno);
        if (::mkdirat(to, name.c_str(), 0777) != 0) return errnoToError(errno);
        Fd target(openSubdirectory(to, name));
        if (!target) return errnoToError(errno);
        return copyDirectory(source.get(), target.get(), relative);
    }

    error_t copyFile(int from, int to, const std::string& name) {
        // O_NONBLOCK: an entry swapped for a pipe must not hang the open.
        Fd in(openAt(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
        if (!in) return errno == ELOOP ? OK : errnoToError(errno);
        struct stat info {};
        if (::fstat(in.get(), &info) != 0) return errnoToError(errno);
        if (!S_ISREG(info.st_mode)) return OK;  // swapped for something else since it was listed
        Fd out(openAt(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                      info.st_mode & 07777));
        if (!out) return errnoToError(errno);
        int64_t bytes = 0;
        if (!copyData(in.get(), out.get(), bytes) || !out.close()) {
            const int error = errno;
            ::unlinkat(to, name.c_str(), 0);
            return errnoToError(error);
        }
        if (m_callbacks.copied) m_callbacks.copied(bytes);
        return OK;
    }

    const CopyCallbacks& m_callbacks;
};

}  // namespace

error_t removeTree(const std::string& utf8Path) {
    std::string path = utf8Path;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty()) return NotFound;
    const std::string::size_type slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    if (name.empty() || name == "." || name == "..") return OperationFailed;
    // The parent is only a place to act in, never listed: O_PATH needs no read permission.
    Fd directory(openAt(AT_FDCWD, parent.c_str(), O_PATH | O_DIRECTORY));
    if (!directory) return errno == ENOENT || errno == ENOTDIR ? OK : errnoToError(errno);
    return removeEntry(directory.get(), name);
}

error_t copyTreeContents(const std::string& from, const std::string& to,
                         const CopyCallbacks& callbacks) {
    Fd source(openAt(AT_FDCWD, from.c_str(), O_RDONLY | O_DIRECTORY));
    if (!source) return errnoToError(errno);
    Fd target(openAt(AT_FDCWD, to.c_str(), O_RDONLY | O_DIRECTORY));
    if (!target) return errnoToError(errno);
    return TreeCopy(callbacks).copyDirectory(source.get(), target.get(), std::string());
}

}  // namespace talvo2::platform
