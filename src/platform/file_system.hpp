#pragma once

// The one seam between the library and the file system: every disk access of the library goes
// through FileSystem, which has exactly the calls the library makes and nothing else. The process
// uses the operating system's implementation (file_system_posix.cpp on Linux); tests put a
// wrapper in its place to make chosen calls fail as a sick or full disk would.
//
// Paths are UTF-8 byte strings. Every call that takes a path also takes a directory it is
// relative to: null for the process's current directory (or an absolute path), otherwise an
// open Directory and a name in it, so that a walk down a tree acts on what it opened and is never
// led elsewhere by an entry swapped for a link meanwhile. Nothing here throws; every answer is a
// Status.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.hpp"

namespace talvo2::platform {

enum class FileType : uint8_t { Missing, Regular, Directory, Symlink, Other, Unknown };

struct FileInfo {
    FileType type = FileType::Missing;
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t permissions = 0;  // the mode's permission bits
    uint32_t links = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
    int64_t accessedNs = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
};

struct DirectoryEntry {
    std::string name;
    // As the listing tells it; Unknown where the file system does not say (ask status then).
    FileType type = FileType::Unknown;
};

// How a file is opened. Every open is close-on-exec and never makes the file the process's
// controlling terminal.
enum OpenFlags : uint32_t {
    kRead = 1u << 0,
    kWrite = 1u << 1,
    kCreate = 1u << 2,       // make the file when it is missing
    kExclusive = 1u << 3,    // with kCreate: fail with exists() when something is there
    kNoFollow = 1u << 4,     // a symbolic link at the last element fails the open (wrongKind)
    kNonBlocking = 1u << 5,  // a FIFO or device answers at once instead of blocking the open
};

enum class RenameMode { Replace, NoReplace };

// An open file. Closed when destroyed; close() reports whether the data reached the system.
class File {
public:
    virtual ~File() = default;
    // Reads up to `size` bytes at the current position; `got` 0 at the end.
    virtual Status read(void* buffer, std::size_t size, std::size_t& got) = 0;
    // Reads up to `size` bytes at `offset` without moving the position.
    virtual Status readAt(void* buffer, std::size_t size, uint64_t offset, std::size_t& got) = 0;
    // Writes at the current position; `written` may be less than `size` (a full disk).
    virtual Status write(const void* data, std::size_t size, std::size_t& written) = 0;
    virtual Status sync() = 0;
    virtual Status info(FileInfo& info) = 0;
    virtual Status setPermissions(uint32_t permissions) = 0;
    virtual Status setOwner(uint32_t owner, uint32_t group) = 0;
    // Gives the file these access and modification times (nanoseconds since the epoch).
    virtual Status setTimes(int64_t accessedNs, int64_t modifiedNs) = 0;
    // Takes an exclusive lock on the whole file that belongs to this open file description, not to
    // the process: a second open in the same process conflicts as another process would
    // (locked()). A descriptor opened for reading only may take it. The kernel releases it with
    // the last descriptor sharing the description (a child that inherited it included), also when
    // the holder is killed.
    virtual Status lock() = 0;
    // Copies everything from the current position of this file to `to`, in the kernel where it
    // can; `bytes` counts what was copied.
    virtual Status copyTo(File& to, int64_t& bytes) = 0;
    virtual Status close() = 0;
};

// An open directory: a place to act in by name, and to list.
class Directory {
public:
    virtual ~Directory() = default;
    // Every entry but "." and "..", read whole before any is acted on.
    virtual Status list(std::vector<DirectoryEntry>& entries) = 0;
    // Makes the directory's entries durable (after creating or renaming in it).
    virtual Status sync() = 0;
    // What the directory is; possible on any open directory.
    virtual Status info(FileInfo& info) = 0;
    // As File::lock, on a directory opened listable: held by whoever makes or removes a hidden
    // directory, so that a sweeper can tell a live maker from a dead one.
    virtual Status lock() = 0;
    // As File's, on a directory opened listable.
    virtual Status setPermissions(uint32_t permissions) = 0;
    virtual Status setTimes(int64_t accessedNs, int64_t modifiedNs) = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // What is at `path`; with `follow`, a link's target. A missing entry is Status::missing().
    virtual Status status(const Directory* at, const std::string& path, bool follow,
                          FileInfo& info) = 0;
    // Opens a directory to act in by name and, when `listable`, to list and sync (which needs
    // read permission on it). With `follow` false a link at the last element fails
    // (wrongKind), as does anything that is not a directory.
    virtual Status openDirectory(const Directory* at, const std::string& path, bool follow,
                                 bool listable, std::unique_ptr<Directory>& directory) = 0;
    virtual Status openFile(const Directory* at, const std::string& path, uint32_t flags,
                            uint32_t permissions, std::unique_ptr<File>& file) = 0;
    virtual Status makeDirectory(const Directory* at, const std::string& path,
                                 uint32_t permissions) = 0;
    // Removes a file or link (`directory` false; a directory answers wrongKind) or an empty
    // directory (`directory` true; a link or file answers wrongKind).
    virtual Status remove(const Directory* at, const std::string& path, bool directory) = 0;
    virtual Status rename(const Directory* fromAt, const std::string& from, const Directory* toAt,
                          const std::string& to, RenameMode mode) = 0;
    // A second name for the file `from`; fails with exists() when `to` is taken.
    virtual Status link(const Directory* fromAt, const std::string& from, const Directory* toAt,
                        const std::string& to) = 0;
    virtual Status currentDirectory(std::string& path) = 0;
    // Whether this process may create entries in the directory `path` (effective ids).
    virtual Status canCreateIn(const std::string& path, bool& allowed) = 0;
    // Whether the file system holding `path` is local and its times come from this machine's
    // clock, so that an unchanged modification time proves an unchanged directory.
    virtual Status timesAreLocal(const std::string& path, bool& local) = 0;
};

// The file system the library uses: the operating system's, unless a test installed another.
FileSystem& fileSystem();
// The operating system's file system, which test wrappers delegate to.
FileSystem& systemFileSystem();
// Puts `replacement` (null: the operating system's) in place for every later call, from every
// thread; returns the one it replaces. For tests, which restore the previous one when done.
FileSystem* installFileSystem(FileSystem* replacement);

}  // namespace talvo2::platform
