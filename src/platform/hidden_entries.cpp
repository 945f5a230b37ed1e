#include "platform/hidden_entries.hpp"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/platform.hpp"
#include "platform/tree_walk.hpp"

namespace talvo2::platform {

namespace {

constexpr char kStagingPrefix[] = ".talvo-stage-";
constexpr char kRemovalPrefix[] = ".talvo-trash-";
constexpr char kTemporaryMark[] = ".talvo-tmp";
// How much of the target's name a temporary name keeps: the rest of the name must fit within the
// file system's limit of 255 bytes whatever the target's length.
constexpr std::size_t kKeptLeaf = 200;

bool startsWith(const std::string& name, const char* prefix) {
    return name.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool isHexTail(const std::string& name, std::size_t from) {
    if (name.size() != from + 16) return false;
    for (std::size_t i = from; i < name.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

// Whether the entry open as `info` is still the one at `name` in `parent`.
bool stillAt(Directory& parent, const std::string& name, const FileInfo& info) {
    FileInfo there;
    return fileSystem().status(&parent, name, false, there) && there.device == info.device &&
           there.inode == info.inode;
}

}  // namespace

HiddenKind hiddenKindOf(const std::string& name) {
    if (startsWith(name, kStagingPrefix) && isHexTail(name, sizeof kStagingPrefix - 1))
        return HiddenKind::Staging;
    if (startsWith(name, kRemovalPrefix) && isHexTail(name, sizeof kRemovalPrefix - 1))
        return HiddenKind::Removal;
    if (name.size() > 1 && name[0] == '.') {
        std::size_t end = name.size();
        if (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1]))) --end;
        const std::size_t mark = sizeof kTemporaryMark - 1;
        if (end > mark + 1 && name.compare(end - mark, mark, kTemporaryMark) == 0)
            return HiddenKind::Temporary;
    }
    return HiddenKind::None;
}

std::string hiddenDirectoryName(HiddenKind kind) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937_64 random{std::random_device{}() ^ processId()};
    char suffix[17];
    // The process id in the high half: a child forked after the generator was seeded continues
    // its parent's sequence, and must still not pick its parent's (or a sibling's) names.
    const uint64_t value = (random() + counter.fetch_add(1)) ^ (uint64_t{processId()} << 40);
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(value));
    return (kind == HiddenKind::Removal ? kRemovalPrefix : kStagingPrefix) + std::string(suffix);
}

std::string temporaryName(const std::string& leaf, unsigned slot) {
    std::string name = "." + leaf.substr(0, kKeptLeaf) + kTemporaryMark;
    if (slot != 0) name += static_cast<char>('0' + slot % 10);
    return name;
}

Status claimTemporaryFile(Directory& at, const std::string& leaf, std::string& name,
                          std::unique_ptr<File>& file) {
    FileSystem& fs = fileSystem();
    Status last = Status::fromSystem(EAGAIN);
    for (unsigned slot = 0; slot < kTemporarySlots; ++slot) {
        name = temporaryName(leaf, slot);
        // A few rounds per slot: each lost race (the file removed or taken between two calls)
        // costs one.
        for (int round = 0; round < 4; ++round) {
            const Status made =
                fs.openFile(&at, name, kWrite | kCreate | kExclusive | kNoFollow, 0666, file);
            if (made) {
                FileInfo mine;
                // Ours only if nobody swept it between the create and the lock.
                if (file->lock() && file->info(mine) && mine.links > 0) return Status();
                file.reset();
                continue;
            }
            if (!made.exists()) return made;
            // Something is there: a live writer's file, a dead writer's, or a stranger's.
            std::unique_ptr<File> found;
            const Status opened =
                fs.openFile(&at, name, kRead | kNoFollow | kNonBlocking, 0, found);
            if (!opened) {
                if (opened.missing()) continue;
                last = opened;
                break;
            }
            FileInfo info;
            if (!found->info(info) || info.type != FileType::Regular) break;
            const Status locked = found->lock();
            if (!locked) {
                last = locked;
                break;
            }
            // Its writer is gone: delete it, still holding it, and make the slot anew.
            if (stillAt(at, name, info)) fs.remove(&at, name, false);
        }
    }
    file.reset();
    return last;
}

StagedDirectory::~StagedDirectory() {
    discard();
}

Status StagedDirectory::make(Directory& parent) {
    FileSystem& fs = fileSystem();
    m_parent = &parent;
    Status made;
    for (int attempt = 0; attempt < 8; ++attempt) {
        m_name = hiddenDirectoryName(HiddenKind::Staging);
        made = fs.makeDirectory(&parent, m_name, 0777);
        if (!made) {
            if (made.exists()) continue;
            break;
        }
        made = fs.openDirectory(&parent, m_name, false, true, m_directory);
        FileInfo info;
        // A sweeper that took the lock first found it empty and deleted it: make another.
        if (made && m_directory->lock() && m_directory->info(info) && stillAt(parent, m_name, info))
            return Status();
        m_directory.reset();
        if (!made) break;
    }
    m_name.clear();
    m_parent = nullptr;
    return made ? Status::fromSystem(EAGAIN) : made;
}

Status StagedDirectory::publish(const std::string& finalName) {
    const Status renamed =
        fileSystem().rename(m_parent, m_name, m_parent, finalName, RenameMode::NoReplace);
    if (renamed) {
        m_directory.reset();
        m_name.clear();
        m_parent = nullptr;
    }
    return renamed;
}

void StagedDirectory::discard() {
    if (!m_parent || m_name.empty()) return;
    // Removed while still held, so no sweeper takes it meanwhile.
    removeTreeAt(*m_parent, m_name);
    m_directory.reset();
    m_name.clear();
    m_parent = nullptr;
}

error_t removeOutOfSight(Directory& parent, const std::string& name, std::string* hidden) {
    FileSystem& fs = fileSystem();
    // Held while it is deleted, so a sweeper leaves a removal in progress alone. A directory we
    // may not list or lock is renamed all the same: the deletion then says what fails.
    std::unique_ptr<Directory> held;
    if (fs.openDirectory(&parent, name, false, true, held)) held->lock();
    std::string removal;
    Status renamed;
    for (int attempt = 0; attempt < 8; ++attempt) {
        removal = hiddenDirectoryName(HiddenKind::Removal);
        renamed = fs.rename(&parent, name, &parent, removal, RenameMode::NoReplace);
        if (renamed || !renamed.exists()) break;
    }
    if (!renamed) return renamed.error();
    if (hidden) *hidden = removal;
    return removeTreeAt(parent, removal);
}

Status claimAbandoned(Directory& parent, const std::string& name, bool& abandoned,
                      std::unique_ptr<File>& heldFile, std::unique_ptr<Directory>& heldDirectory) {
    abandoned = false;
    FileSystem& fs = fileSystem();
    const HiddenKind kind = hiddenKindOf(name);
    if (kind == HiddenKind::None) return Status();
    FileInfo info;
    if (kind == HiddenKind::Temporary) {
        const Status opened =
            fs.openFile(&parent, name, kRead | kNoFollow | kNonBlocking, 0, heldFile);
        if (!opened) return opened.missing() || opened.wrongKind() ? Status() : opened;
        const Status looked = heldFile->info(info);
        if (!looked) return looked;
        if (info.type != FileType::Regular) return Status();
        abandoned = heldFile->lock().ok() && stillAt(parent, name, info);
        if (!abandoned) heldFile.reset();
        return Status();
    }
    const Status opened = fs.openDirectory(&parent, name, false, true, heldDirectory);
    if (!opened) return opened.missing() || opened.wrongKind() ? Status() : opened;
    const Status looked = heldDirectory->info(info);
    if (!looked) return looked;
    abandoned = heldDirectory->lock().ok() && stillAt(parent, name, info);
    if (!abandoned) heldDirectory.reset();
    return Status();
}

}  // namespace talvo2::platform
