#include "platform/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/file_system.hpp"
#include "platform/hidden_entries.hpp"
#include "platform/platform.hpp"

namespace talvo2::platform {

namespace {

// The directory of `path` and its last element, lexically.
void splitPath(const std::string& path, std::string& directory, std::string& leaf) {
    const auto slash = path.find_last_of('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
}

Status writeAll(File& file, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t written = 0;
        const Status wrote = file.write(bytes.data() + done, bytes.size() - done, written);
        if (!wrote) return wrote;
        if (written == 0) return Status::fromSystem(ENOSPC);  // no progress: a full disk
        done += written;
    }
    return Status();
}

}  // namespace

ReadOutcome readFile(const Directory* at, const std::string& path, std::size_t limit, bool follow,
                     std::string& bytes, Status* why) {
    FileSystem& fs = fileSystem();
    Status ignored;
    Status& status = why ? *why : ignored;
    std::unique_ptr<File> file;
    status = fs.openFile(at, path, kRead | kNonBlocking | (follow ? 0u : kNoFollow), 0, file);
    if (!status) {
        if (status.missing()) return ReadOutcome::Missing;
        return status.wrongKind() ? ReadOutcome::NotRegular : ReadOutcome::Failed;
    }
    FileInfo info;
    status = file->info(info);
    if (!status) return ReadOutcome::Failed;
    if (info.type != FileType::Regular) return ReadOutcome::NotRegular;
    // One byte past the limit tells a file that is too large from one that just fits, even when
    // the file grows while it is read.
    std::string buffer;
    buffer.resize(std::min<uint64_t>(info.size, limit) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == buffer.size()) {
            if (buffer.size() > limit) return ReadOutcome::TooLarge;
            buffer.resize(std::min(buffer.size() * 2, limit + 1));
        }
        std::size_t got = 0;
        const std::size_t asked = buffer.size() - filled;
        status = file->read(&buffer[filled], asked, got);
        if (!status) return ReadOutcome::Failed;
        if (got == 0) break;
        filled += got;
        // A short read that ends exactly at the size the file had is its end: the read that
        // would answer 0 is saved. Anything else (a file that changed meanwhile) reads on.
        if (got < asked && filled == info.size) break;
    }
    if (filled > limit) return ReadOutcome::TooLarge;
    buffer.resize(filled);
    bytes.swap(buffer);
    return ReadOutcome::Read;
}

ReadOutcome readFileHead(const std::string& path, std::size_t limit, std::string& bytes) {
    std::unique_ptr<File> file;
    const Status opened =
        fileSystem().openFile(nullptr, path, kRead | kNonBlocking | kNoFollow, 0, file);
    if (!opened) return opened.missing() ? ReadOutcome::Missing : ReadOutcome::Failed;
    FileInfo info;
    if (!file->info(info)) return ReadOutcome::Failed;
    if (info.type != FileType::Regular) return ReadOutcome::NotRegular;
    std::string buffer(limit, '\0');
    std::size_t filled = 0;
    while (filled < limit) {
        std::size_t got = 0;
        if (!file->read(&buffer[filled], limit - filled, got)) return ReadOutcome::Failed;
        if (got == 0) break;
        filled += got;
    }
    buffer.resize(filled);
    bytes.swap(buffer);
    return ReadOutcome::Read;
}

Status writeFileAtomically(const std::string& path, const std::string& bytes, bool durable) {
    std::string directory;
    std::string leaf;
    splitPath(path, directory, leaf);
    // Everything below happens in the directory as opened here, so a link swapped in for it
    // while the write runs cannot send the file elsewhere. Syncing it needs read permission; a
    // directory we may only write into is still written, unsynced.
    std::unique_ptr<Directory> parent;
    Status opened = fileSystem().openDirectory(nullptr, directory, true, true, parent);
    if (!opened) opened = fileSystem().openDirectory(nullptr, directory, true, false, parent);
    if (!opened) return opened;
    return writeFileAtomicallyIn(*parent, leaf, bytes, durable);
}

Status writeFileAtomicallyIn(Directory& at, const std::string& leaf, const std::string& bytes,
                             bool durable) {
    FileSystem& fs = fileSystem();
    FileInfo existing;
    const Status looked = fs.status(&at, leaf, false, existing);
    if (!looked && !looked.missing()) return looked;
    const bool replacing = looked.ok();
    // Only a regular file is replaced: a link or anything else planted at the name stays as it is.
    if (replacing && existing.type != FileType::Regular)
        return Status::fromSystem(existing.type == FileType::Directory ? EISDIR : ELOOP);

    // A hidden name of its own, locked while it is written: one left by a writer that died is
    // taken over by the next save of the same file, so crashes leave no growing pile behind.
    std::string temporary;
    std::unique_ptr<File> file;
    const Status made = claimTemporaryFile(at, leaf, temporary, file);
    if (!made) return made;
    // A replaced file keeps its permissions, so a private file does not become readable by
    // others, and its owner where we may set it (root saving a user's file).
    if (replacing) {
        file->setPermissions(existing.permissions);
        FileInfo mine;
        if (file->info(mine) && (mine.owner != existing.owner || mine.group != existing.group))
            file->setOwner(existing.owner, existing.group);
    }
    Status written = writeAll(*file, bytes);
    if (written && durable) written = file->sync();
    // Renamed, or removed, while still held: a sweeper never takes it for a dead writer's.
    if (written) written = fs.rename(&at, temporary, &at, leaf, RenameMode::Replace);
    if (!written) {
        fs.remove(&at, temporary, false);
        return written;
    }
    file->close();  // the data is in the file system by now (synced, when durable)
    file.reset();
    // Make a replacement durable: once this returns, a crash cannot bring the old content back.
    // A file that is new needs no such sync: until its directory entry reaches the disk a crash
    // leaves no file at all, just as if the save had not begun. A failure here cannot undo the
    // rename, so it is not one.
    if (replacing && durable) at.sync();
    return Status();
}

Status writeNewFile(Directory& at, const std::string& leaf, const std::string& bytes,
                    bool durable) {
    std::unique_ptr<File> file;
    Status written =
        fileSystem().openFile(&at, leaf, kWrite | kCreate | kExclusive | kNoFollow, 0666, file);
    if (!written) return written;
    written = writeAll(*file, bytes);
    if (written && durable) written = file->sync();
    if (written) written = file->close();
    if (!written) fileSystem().remove(&at, leaf, false);
    return written;
}

Status openBelow(const std::string& base, const std::string& inside,
                 std::unique_ptr<Directory>& directory) {
    FileSystem& fs = fileSystem();
    std::unique_ptr<Directory> current;
    Status opened = fs.openDirectory(nullptr, base, true, false, current);
    std::size_t start = 0;
    while (opened && start < inside.size()) {
        const std::size_t slash = std::min(inside.find('/', start), inside.size());
        std::unique_ptr<Directory> next;
        const bool last = slash == inside.size();
        opened =
            fs.openDirectory(current.get(), inside.substr(start, slash - start), false, last, next);
        // A directory we may only pass through is still one.
        if (!opened && last && opened.denied())
            opened = fs.openDirectory(current.get(), inside.substr(start), false, false, next);
        current = std::move(next);
        start = slash + 1;
    }
    if (opened) directory = std::move(current);
    return opened;
}

Status makeBelow(const std::string& base, const std::string& inside) {
    FileSystem& fs = fileSystem();
    std::unique_ptr<Directory> current;
    Status opened = fs.openDirectory(nullptr, base, true, false, current);
    std::size_t start = 0;
    while (opened && start < inside.size()) {
        const std::size_t slash = std::min(inside.find('/', start), inside.size());
        const std::string name = inside.substr(start, slash - start);
        start = slash + 1;
        if (name.empty() || name == ".") continue;
        const Status made = fs.makeDirectory(current.get(), name, 0777);
        if (!made && !made.exists()) return made;
        std::unique_ptr<Directory> next;
        opened = fs.openDirectory(current.get(), name, false, false, next);
        current = std::move(next);
    }
    return opened;
}

Status touchFile(const std::string& path) {
    std::unique_ptr<File> file;
    const Status made = fileSystem().openFile(
        nullptr, path, kWrite | kCreate | kNoFollow | kNonBlocking, 0666, file);
    return made ? file->close() : made;
}

Status renameWithoutReplacing(const std::string& from, const std::string& to) {
    FileSystem& fs = fileSystem();
    const Status renamed = fs.rename(nullptr, from, nullptr, to, RenameMode::NoReplace);
    if (renamed || !renamed.unsupported()) return renamed;
    const Status linked = fs.link(nullptr, from, nullptr, to);
    if (linked) {
        fs.remove(nullptr, from, false);
        return Status();
    }
    if (linked.exists()) return linked;
    FileInfo there;
    const Status looked = fs.status(nullptr, to, false, there);
    if (looked) return Status::fromSystem(EEXIST);
    if (!looked.missing()) return looked;
    return fs.rename(nullptr, from, nullptr, to, RenameMode::Replace);
}

Status makeDirectories(const std::string& path, bool& made) {
    made = false;
    FileSystem& fs = fileSystem();
    // Up to the deepest directory that is there, then down again making each level.
    std::vector<std::string> missing;
    for (std::string current = path;;) {
        while (current.size() > 1 && current.back() == '/') current.pop_back();
        FileInfo info;
        const Status looked = fs.status(nullptr, current, true, info);
        if (looked) {
            if (info.type != FileType::Directory)
                return Status::fromSystem(missing.empty() ? EEXIST : ENOTDIR);
            break;
        }
        if (!looked.missing()) return looked;
        missing.push_back(current);
        const auto slash = current.find_last_of('/');
        if (slash == std::string::npos) break;
        current = slash == 0 ? "/" : current.substr(0, slash);
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        const Status created = fs.makeDirectory(nullptr, *level, 0777);
        if (!created && !created.exists()) return created;
        if (level + 1 == missing.rend()) made = created.ok();
    }
    return Status();
}

FileType typeAt(const std::string& path, bool follow) {
    FileInfo info;
    return fileSystem().status(nullptr, path, follow, info) ? info.type : FileType::Missing;
}

bool sameFile(const std::string& a, const std::string& b) {
    FileInfo first;
    FileInfo second;
    FileSystem& fs = fileSystem();
    return fs.status(nullptr, a, true, first) && fs.status(nullptr, b, true, second) &&
           first.device == second.device && first.inode == second.inode;
}

Status removeFile(const std::string& path) {
    const Status removed = fileSystem().remove(nullptr, path, false);
    return removed.missing() ? Status() : removed;
}

Status listDirectory(const std::string& path, std::vector<DirectoryEntry>& entries) {
    std::unique_ptr<Directory> directory;
    const Status opened = fileSystem().openDirectory(nullptr, path, true, true, directory);
    if (!opened) return opened;
    return listDirectory(*directory, entries);
}

Status listDirectory(Directory& directory, std::vector<DirectoryEntry>& entries) {
    const Status listed = directory.list(entries);
    // Work in progress is nobody's node or data yet: a half-made copy holds a marker, and a
    // listing that showed it would offer a node that may never appear, or vanish.
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const DirectoryEntry& entry) {
                                     return hiddenKindOf(entry.name) != HiddenKind::None;
                                 }),
                  entries.end());
    return listed;
}

Status absolutePath(const std::string& path, std::string& absolute) {
    if (!path.empty() && path.front() == '/') {
        absolute = path;
        return Status();
    }
    std::string current;
    const Status asked = fileSystem().currentDirectory(current);
    if (!asked) return asked;
    absolute = path.empty() ? current : (current == "/" ? "/" : current + "/") + path;
    return Status();
}

}  // namespace talvo2::platform
