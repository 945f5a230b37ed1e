#include "talvo2/tree_check.hpp"

#include <boost/filesystem/path.hpp>
#include <cctype>
#include <memory>

#include "frame/boundary.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_binding.hpp"
#include "node/node_relations.hpp"
#include "platform/files.hpp"
#include "platform/hidden_entries.hpp"
#include "platform/tree_walk.hpp"
#include "talvo2/names.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

// Deeper than any results tree; a bound, so a tree that nests without end cannot exhaust the
// stack.
constexpr int kMaxDepth = 64;

bool endsWith(const std::string& name, const std::string& tail) {
    return name.size() > tail.size() &&
           name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether `name` is a collector data directory's name: "data." and digits.
bool isDataName(const std::string& name) {
    const std::string prefix = ulib_2_18::to_utf8(disk::kDataPrefix);
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
    for (std::size_t i = prefix.size(); i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

class TreeCheck {
public:
    TreeCheck(bool fix, std::vector<TreeFinding>& findings) : m_fix(fix), m_findings(findings) {}

    error_t failure() const { return m_failure; }

    void check(platform::Directory& directory, const fs::path& path, int depth) {
        std::vector<platform::DirectoryEntry> entries;
        const platform::Status listed = directory.list(entries);
        if (!listed) {
            if (m_failure == OK) m_failure = listed.error();
            return;
        }
        for (const platform::DirectoryEntry& entry : entries) {
            const fs::path entryPath = path / entry.name;
            if (platform::hiddenKindOf(entry.name) != platform::HiddenKind::None) {
                checkHidden(directory, entry.name, entryPath);
                continue;
            }
            platform::FileType type = entry.type;
            if (type == platform::FileType::Unknown) {
                platform::FileInfo info;
                if (!platform::fileSystem().status(&directory, entry.name, false, info)) continue;
                type = info.type;
            }
            if (type == platform::FileType::Directory) {
                std::unique_ptr<platform::Directory> below;
                if (depth >= kMaxDepth || !platform::fileSystem().openDirectory(
                                              &directory, entry.name, false, true, below))
                    continue;
                if (looksUnmarked(*below)) add(FINDING_UNMARKED_NODE, entryPath, false, false);
                check(*below, entryPath, depth + 1);
            } else if (type == platform::FileType::Regular) {
                if (endsWith(entry.name, m_lockExtension))
                    checkFlag(directory, entry.name, entryPath);
                else if (isLinkFilePath(toWide(entryPath)))
                    checkLink(directory, entry.name, entryPath);
            }
        }
    }

private:
    void add(finding_t kind, const fs::path& path, bool removable, bool removed) {
        m_findings.push_back(TreeFinding{kind, toWide(path), removable, removed});
    }

    void checkHidden(platform::Directory& directory, const std::string& name,
                     const fs::path& path) {
        bool abandoned = false;
        std::unique_ptr<platform::File> file;
        std::unique_ptr<platform::Directory> held;
        if (!platform::claimAbandoned(directory, name, abandoned, file, held) || !abandoned)
            return;  // at work, or not what its name says: not ours to judge
        const platform::HiddenKind kind = platform::hiddenKindOf(name);
        bool removed = false;
        if (m_fix) {
            // Removed while its lock is held, so no maker can take it up meanwhile.
            removed = kind == platform::HiddenKind::Temporary
                          ? platform::fileSystem().remove(&directory, name, false).ok()
                          : platform::removeTreeAt(directory, name) == OK;
        }
        add(kind == platform::HiddenKind::Staging   ? FINDING_STAGING
            : kind == platform::HiddenKind::Removal ? FINDING_REMOVAL
                                                    : FINDING_TEMPORARY,
            path, true, removed);
    }

    // A lock file nobody holds is a flag whose holder is gone: the kernel frees a holder's lock
    // when it dies.
    void checkFlag(platform::Directory& directory, const std::string& name, const fs::path& path) {
        platform::FileSystem& fs = platform::fileSystem();
        std::unique_ptr<platform::File> lock;
        platform::FileInfo info;
        if (!fs.openFile(&directory, name,
                         platform::kRead | platform::kNoFollow | platform::kNonBlocking, 0, lock) ||
            !lock->info(info) || info.type != platform::FileType::Regular || !lock->lock())
            return;
        platform::FileInfo there;
        if (!fs.status(&directory, name, false, there) || there.inode != info.inode) return;
        bool removed = false;
        if (m_fix) {
            const std::string record =
                name.substr(0, name.size() - m_lockExtension.size()) + m_infoExtension;
            platform::FileInfo recordInfo;
            if (fs.status(&directory, record, false, recordInfo) &&
                recordInfo.type == platform::FileType::Regular)
                fs.remove(&directory, record, false);
            removed = fs.remove(&directory, name, false).ok();
        }
        add(FINDING_DEAD_FLAG, path, true, removed);
    }

    // A link file whose node's directory is gone leads nowhere: removable when the folder that
    // held the node is there to prove it, not merely out of reach (an unmounted share).
    void checkLink(platform::Directory& directory, const std::string& name, const fs::path& path) {
        const std::wstring target = linkTarget(toWide(path));
        if (target.empty()) {
            add(FINDING_STALE_LINK, path, false, false);
            return;
        }
        const fs::path node = toFsPath(target).parent_path();
        if (platform::typeAt(node.native(), false) == platform::FileType::Missing) {
            const bool provable = platform::typeAt(node.parent_path().native(), false) ==
                                  platform::FileType::Directory;
            const bool removed =
                m_fix && provable && platform::fileSystem().remove(&directory, name, false).ok();
            add(FINDING_DANGLING_LINK, path, provable, removed);
        } else if (!markerNamesLink(target, toWide(path))) {
            add(FINDING_STALE_LINK, path, false, false);
        }
    }

    // A directory that holds a result's own entries but no marker of any node kind.
    bool looksUnmarked(platform::Directory& directory) {
        std::vector<platform::DirectoryEntry> entries;
        if (!directory.list(entries)) return false;
        bool resultLike = false;
        for (const platform::DirectoryEntry& entry : entries) {
            const std::wstring name = ulib_2_18::from_utf8(entry.name);
            if (hasExtensionIn(m_markers, extensionOf(name)) ||
                isLinkExtensionOf(m_markers, extensionOf(name)))
                return false;
            if (platform::hiddenKindOf(entry.name) == platform::HiddenKind::Temporary) continue;
            resultLike = resultLike || isDataName(entry.name) || name == disk::kFinalizedMark ||
                         name == disk::kInvalidMark;
        }
        return resultLike;
    }

    const bool m_fix;
    std::vector<TreeFinding>& m_findings;
    const ExtensionSet m_markers = memberExtensionSet();
    const std::string m_lockExtension = ulib_2_18::to_utf8(getFlagLockExtension());
    const std::string m_infoExtension = ulib_2_18::to_utf8(getFlagInfoExtension());
    error_t m_failure = OK;
};

}  // namespace

bool checkTree(const wchar_t* root, bool fix, std::vector<TreeFinding>& findings) {
    return exported(false, [&]() -> Reply<bool> {
        if (!root || !*root || !isEncodable(root)) return failed(false, InvalidPath);
        const std::wstring absolute = normalizedAbsolute(root);
        if (absolute.empty()) return failed(false, InvalidPath);
        std::unique_ptr<platform::Directory> top;
        const platform::Status opened = platform::fileSystem().openDirectory(
            nullptr, toFsPath(absolute).native(), true, true, top);
        if (!opened) return failed(false, opened.wrongKind() ? NotFound : opened.error());
        TreeCheck check(fix, findings);
        check.check(*top, toFsPath(absolute), 0);
        return {true, check.failure()};
    });
}

}  // namespace talvo2
