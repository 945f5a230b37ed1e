// Lock files held exclusively, built from the calls of the file-system seam.

#include "platform/file_system.hpp"
#include "platform/platform.hpp"

namespace talvo2::platform {

namespace {

// How often an open is tried again when the file at the path was replaced between the open and
// the lock; a few rounds settle any race.
constexpr int kOpenRounds = 64;

// Whether the open file (`opened`, as it was before the lock) is still the one `path` names: the
// lock was taken on the file, and a holder that deleted it after we opened it would leave us
// holding a file nobody can find. A path that names the same inode proves it is still linked.
bool stillAtPath(const FileInfo& opened, const std::string& path) {
    FileInfo named;
    return fileSystem().status(nullptr, path, false, named) && opened.device == named.device &&
           opened.inode == named.inode;
}

}  // namespace

ExclusiveFile::ExclusiveFile() = default;

ExclusiveFile::~ExclusiveFile() {
    close();
}

error_t ExclusiveFile::open(const std::string& path, Disposition disposition) {
    close();
    uint32_t flags = kRead | kNoFollow | kNonBlocking;
    if (disposition == Disposition::CreateNew) flags |= kCreate | kExclusive;
    if (disposition == Disposition::OpenAlways) flags |= kCreate;
    FileSystem& fs = fileSystem();
    for (int attempt = 0; attempt < kOpenRounds; ++attempt) {
        std::unique_ptr<File> file;
        const Status opened = fs.openFile(nullptr, path, flags, 0666, file);
        if (!opened) {
            if (opened.missing() && disposition == Disposition::OpenExisting) return NotFound;
            return opened.lockError();
        }
        // Only a regular file is a lock file: a FIFO or device planted at the name is refused
        // before anything is done with it.
        FileInfo info;
        if (!file->info(info) || info.type != FileType::Regular) return FileError;
        const Status locked = file->lock();
        if (!locked) return locked.locked() ? FileLocked : FileError;
        if (stillAtPath(info, path)) {
            m_file = std::move(file);
            return OK;
        }
    }
    return FileError;
}

void ExclusiveFile::close() {
    m_file.reset();
}

bool directoryStamp(const std::string& path, DirectoryStamp& stamp) {
    return typeAndStamp(path, stamp) == FileType::Directory;
}

FileType typeAndStamp(const std::string& path, DirectoryStamp& stamp) {
    FileInfo info;
    if (!fileSystem().status(nullptr, path, true, info)) return FileType::Missing;
    if (info.type == FileType::Directory) {
        stamp.device = info.device;
        stamp.inode = info.inode;
        stamp.modifiedNs = info.modifiedNs;
        stamp.changedNs = info.changedNs;
    }
    return info.type;
}

bool timesAreLocal(const std::string& path) {
    bool local = false;
    return fileSystem().timesAreLocal(path, local) && local;
}

}  // namespace talvo2::platform
