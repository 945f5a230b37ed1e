#include "platform/tree_walk.hpp"

#include <vector>

#include "platform/file_system.hpp"
#include "platform/hidden_entries.hpp"

namespace talvo2::platform {

namespace {

// How often removal tries an entry again when its kind changed between two calls. Only someone
// swapping entries while the removal runs causes that; each round is two or three calls.
constexpr int kRemovalRounds = 4096;

Status removeEntry(FileSystem& fs, const Directory& parent, const std::string& name);

Status emptyDirectory(FileSystem& fs, Directory& directory) {
    std::vector<DirectoryEntry> entries;
    const Status listed = directory.list(entries);
    if (!listed) return listed;
    for (const DirectoryEntry& entry : entries) {
        const Status removed = removeEntry(fs, directory, entry.name);
        if (!removed) return removed;
    }
    return Status();
}

// Removes the entry `name` of the open directory `parent`. Each round acts only through calls that
// refuse the other kind, and lets the refusal say what is there: removing a non-directory never
// removes a directory (wrongKind), the directory is opened without following a link, and removing
// a directory never removes a link. An entry swapped meanwhile makes a call fail, and the next
// round tries again.
Status removeEntry(FileSystem& fs, const Directory& parent, const std::string& name) {
    for (int round = 0; round < kRemovalRounds; ++round) {
        const Status unlinked = fs.remove(&parent, name, false);
        if (unlinked || unlinked.missing()) return Status();
        if (!unlinked.wrongKind()) return unlinked;
        std::unique_ptr<Directory> directory;
        const Status opened = fs.openDirectory(&parent, name, false, true, directory);
        if (!opened) {
            if (opened.wrongKind()) continue;
            return opened.missing() ? Status() : opened;
        }
        const Status emptied = emptyDirectory(fs, *directory);
        if (!emptied) return emptied;
        directory.reset();
        const Status removed = fs.remove(&parent, name, true);
        if (removed || removed.missing()) return Status();
        // A link or file now stands at the name, or entries were added meanwhile.
        if (removed.wrongKind() || removed.notEmpty()) continue;
        return removed;
    }
    return Status::fromSystem(-1);  // gave up: OperationFailed
}

void walkDirectory(FileSystem& fs, Directory& directory, const std::function<void(uint64_t)>& visit,
                   bool& stopped) {
    std::vector<DirectoryEntry> entries;
    if (!directory.list(entries)) {
        stopped = true;
        return;
    }
    for (const DirectoryEntry& entry : entries) {
        if (stopped) return;
        FileInfo info;
        if (!fs.status(&directory, entry.name, false, info)) {
            stopped = true;
            return;
        }
        if (info.type == FileType::Regular) visit(info.size);
        if (info.type != FileType::Directory) continue;
        std::unique_ptr<Directory> below;
        if (!fs.openDirectory(&directory, entry.name, false, true, below)) {
            stopped = true;
            return;
        }
        walkDirectory(fs, *below, visit, stopped);
    }
}

// A path split into the directory to act in and the last element.
struct Split {
    std::string parent;
    std::string name;
};

Split split(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

class TreeCopy {
public:
    TreeCopy(FileSystem& fs, const CopyCallbacks& callbacks) : m_fs(fs), m_callbacks(callbacks) {}

    error_t copyDirectory(Directory& from, Directory& to, const std::string& prefix) {
        std::vector<DirectoryEntry> entries;
        const Status listed = from.list(entries);
        if (!listed) return listed.error();
        for (const DirectoryEntry& entry : entries) {
            // Another operation's work in progress (or a dead writer's) is not the node's data.
            if (hiddenKindOf(entry.name) != HiddenKind::None) continue;
            FileInfo info;
            const Status looked = m_fs.status(&from, entry.name, false, info);
            if (!looked) {
                if (looked.missing()) continue;  // gone since the listing
                return looked.error();
            }
            const bool directory = info.type == FileType::Directory;
            if (!directory && info.type != FileType::Regular) continue;
            const std::string relative = prefix.empty() ? entry.name : prefix + '/' + entry.name;
            const CopyStep step =
                m_callbacks.enter ? m_callbacks.enter(relative, directory) : CopyStep::Copy;
            if (step == CopyStep::Skip) continue;
            if (step == CopyStep::Stop) return OperationFailed;
            const error_t copied = directory ? copySubdirectory(from, to, entry.name, relative)
                                             : copyFile(from, to, entry.name);
            if (copied != OK) return copied;
        }
        return OK;
    }

private:
    error_t copySubdirectory(Directory& from, Directory& to, const std::string& name,
                             const std::string& relative) {
        std::unique_ptr<Directory> source;
        const Status opened = m_fs.openDirectory(&from, name, false, true, source);
        if (!opened) return opened.wrongKind() ? OK : opened.error();
        const Status made = m_fs.makeDirectory(&to, name, 0777);
        if (!made) return made.error();
        std::unique_ptr<Directory> target;
        const Status entered = m_fs.openDirectory(&to, name, false, true, target);
        if (!entered) return entered.error();
        const error_t copied = copyDirectory(*source, *target, relative);
        // Its modes and times as the source's, once nothing more is written into it (as cp -p;
        // a file system that cannot keep them still has the data).
        FileInfo info;
        if (copied == OK && source->info(info)) {
            target->setPermissions(info.permissions);
            target->setTimes(info.accessedNs, info.modifiedNs);
        }
        return copied;
    }

    error_t copyFile(Directory& from, Directory& to, const std::string& name) {
        // Not blocking: an entry swapped for a pipe must not hang the open.
        std::unique_ptr<File> in;
        const Status opened = m_fs.openFile(&from, name, kRead | kNoFollow | kNonBlocking, 0, in);
        if (!opened) return opened.wrongKind() ? OK : opened.error();
        FileInfo info;
        const Status looked = in->info(info);
        if (!looked) return looked.error();
        if (info.type != FileType::Regular) return OK;  // swapped for something else since listed
        std::unique_ptr<File> out;
        const Status made = m_fs.openFile(&to, name, kWrite | kCreate | kExclusive | kNoFollow,
                                          info.permissions, out);
        if (!made) return made.error();
        int64_t bytes = 0;
        Status copied = in->copyTo(*out, bytes);
        if (copied) {
            // Exactly the source's permission bits, whatever the umask, and its times (cp -p).
            out->setPermissions(info.permissions);
            out->setTimes(info.accessedNs, info.modifiedNs);
            copied = out->close();
        }
        if (!copied) {
            out.reset();
            m_fs.remove(&to, name, false);
            return copied.error();
        }
        if (m_callbacks.copied) m_callbacks.copied(bytes);
        return OK;
    }

    FileSystem& m_fs;
    const CopyCallbacks& m_callbacks;
};

}  // namespace

error_t removeTree(const std::string& utf8Path) {
    const Split where = split(utf8Path);
    if (where.name.empty() || where.name == "/") return NotFound;
    if (where.name == "." || where.name == "..") return OperationFailed;
    FileSystem& fs = fileSystem();
    // The parent is only a place to act in, never listed: it needs no read permission.
    std::unique_ptr<Directory> parent;
    const Status opened = fs.openDirectory(nullptr, where.parent, true, false, parent);
    if (!opened) return opened.missing() ? OK : opened.error();
    return removeEntry(fs, *parent, where.name).error();
}

error_t removeTreeAt(Directory& parent, const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return OperationFailed;
    return removeEntry(fileSystem(), parent, name).error();
}

void walkRegularFiles(const std::string& utf8Path, const std::function<void(uint64_t)>& visit) {
    FileSystem& fs = fileSystem();
    std::unique_ptr<Directory> top;
    if (!fs.openDirectory(nullptr, utf8Path, true, true, top)) return;
    bool stopped = false;
    walkDirectory(fs, *top, visit, stopped);
}

error_t copyTreeContents(const std::string& from, const std::string& to,
                         const CopyCallbacks& callbacks) {
    FileSystem& fs = fileSystem();
    std::unique_ptr<Directory> source;
    const Status openedSource = fs.openDirectory(nullptr, from, true, true, source);
    if (!openedSource) return openedSource.error();
    std::unique_ptr<Directory> target;
    const Status openedTarget = fs.openDirectory(nullptr, to, true, true, target);
    if (!openedTarget) return openedTarget.error();
    return TreeCopy(fs, callbacks).copyDirectory(*source, *target, std::string());
}

error_t copyTreeContents(const std::string& from, Directory& to, const CopyCallbacks& callbacks) {
    FileSystem& fs = fileSystem();
    std::unique_ptr<Directory> source;
    const Status openedSource = fs.openDirectory(nullptr, from, true, true, source);
    if (!openedSource) return openedSource.error();
    return TreeCopy(fs, callbacks).copyDirectory(*source, to, std::string());
}

}  // namespace talvo2::platform
