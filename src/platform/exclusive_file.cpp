// Lock files held exclusively, built from the calls of the file-system seam.

#include "platform/file_system.hpp"
#include "platform/platform.hpp"

namespace talvo2::platform {

namespace {

// How often an open is tried again when the file at the path was replaced between the open and
// the lock; a few rounds settle any race.
constexpr int kOpenRounds = 64;

// Whether the open file is still the one `path` names: the lock was taken on the file, and a
// holder that deleted it after we opened it would leave us holding a file nobody can find.
bool stillAtPath(File& file, const std::string& path) {
    FileInfo opened;
    FileInfo named;
    return file.info(opened) && opened.links > 0 &&
           fileSystem().status(nullptr, path, true, named) && opened.device == named.device &&
           opened.inode == named.inode;
}

}  // namespace

ExclusiveFile::ExclusiveFile() = default;

ExclusiveFile::~ExclusiveFile() {
    close();
}

error_t ExclusiveFile::open(const std::string& path, Disposition disposition) {
    close();
    uint32_t flags = kRead | kWrite;
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
        const Status locked = file->lock();
        if (!locked) return locked.locked() ? FileLocked : FileError;
        if (stillAtPath(*file, path)) {
            m_file = std::move(file);
            return OK;
        }
    }
    return FileError;
}

void ExclusiveFile::close() {
    m_file.reset();
}

int64_t ExclusiveFile::size() const {
    FileInfo info;
    return m_file && m_file->info(info) ? static_cast<int64_t>(info.size) : -1;
}

bool ExclusiveFile::write(const std::string& bytes) {
    if (!m_file) return false;
    for (std::size_t done = 0; done < bytes.size();) {
        std::size_t written = 0;
        if (!m_file->write(bytes.data() + done, bytes.size() - done, written) || written == 0)
            return false;
        done += written;
    }
    return true;
}

bool ExclusiveFile::readAll(std::string& bytes) const {
    const int64_t length = size();
    if (length < 0) return false;
    std::string buffer(static_cast<std::size_t>(length), '\0');
    std::size_t done = 0;
    while (done < buffer.size()) {
        std::size_t got = 0;
        if (!m_file->readAt(&buffer[done], buffer.size() - done, done, got)) return false;
        if (got == 0) break;
        done += got;
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
    fileSystem().remove(nullptr, path, false);
    return OK;
}

bool directoryStamp(const std::string& path, DirectoryStamp& stamp) {
    FileInfo info;
    if (!fileSystem().status(nullptr, path, true, info) || info.type != FileType::Directory)
        return false;
    stamp.device = info.device;
    stamp.inode = info.inode;
    stamp.modifiedNs = info.modifiedNs;
    stamp.changedNs = info.changedNs;
    return true;
}

bool timesAreLocal(const std::string& path) {
    bool local = false;
    return fileSystem().timesAreLocal(path, local) && local;
}

}  // namespace talvo2::platform
