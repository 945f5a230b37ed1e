#pragma once

// What the library asks of the operating system besides the file system's calls: lock files held
// exclusively (exclusive_file.cpp, over the file-system seam), how a directory's content is
// stamped, and the facts about this process and machine that markers and owner records record
// (posix/process_posix.cpp).

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.hpp"
#include "talvo2/error.hpp"

namespace talvo2::platform {

// A lock file held exclusively: while one ExclusiveFile holds it, no other can, in this process or
// any other, and it is free again once closed or once its holder dies. The file is opened for
// reading only (any user who may read it can hold it, so flags work between users), never through
// a symbolic link, and never blocking; it must be a regular file.
class ExclusiveFile {
public:
    // What to do about the file at the path: make a new one (failing when one is there), open it
    // or make it, or open only one that is there.
    enum class Disposition { CreateNew, OpenAlways, OpenExisting };

    ExclusiveFile();
    ~ExclusiveFile();
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    // Opens and locks `path` (UTF-8) as `disposition` says: AlreadyExists for CreateNew when a
    // file is there, NotFound for OpenExisting when none is, FileLocked while anyone holds it,
    // AccessDenied when the system refuses access, FileError otherwise (a link, a FIFO or a
    // directory at the path included). Once locked, the path is checked to still name the
    // locked file, so a file deleted by its last holder is never taken for the one now there.
    error_t open(const std::string& path, Disposition disposition);
    bool isOpen() const { return m_file != nullptr; }
    void close();

private:
    std::unique_ptr<File> m_file;
};

// What identifies a directory's content as listed: the directory itself and the times its
// entries last changed. Two equal stamps mean no entry was added, removed or renamed in between,
// provided the modification time lies far enough in the past and timesAreLocal holds.
struct DirectoryStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const DirectoryStamp& other) const {
        return device == other.device && inode == other.inode && modifiedNs == other.modifiedNs &&
               changedNs == other.changedNs;
    }
};

// The stamp of the directory at `path` (UTF-8, links followed); false when it is no directory
// or cannot be asked.
bool directoryStamp(const std::string& path, DirectoryStamp& stamp);

// The type of what is at `path` (UTF-8, links followed; Missing when it cannot be asked) and,
// when it is a directory, its stamp: one status call for callers that need both.
FileType typeAndStamp(const std::string& path, DirectoryStamp& stamp);

// Whether the file system holding `path` is local and its times come from this machine's clock.
bool timesAreLocal(const std::string& path);

// Nanoseconds since 1970 by the wall clock.
int64_t wallClockNs();

// The operating system's name as markers and owner records store it: "linux".
const wchar_t* operatingSystemName();

uint32_t processId();
// The parent's process id; 0 when it cannot be found.
uint32_t parentProcessId();
// The name of the effective user; empty when it cannot be found.
std::wstring userName();

}  // namespace talvo2::platform
