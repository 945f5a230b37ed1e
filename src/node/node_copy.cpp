#include "node/node_copy.hpp"

#include <boost/filesystem/path.hpp>

#include "frame/bag_files.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/directory_maker.hpp"
#include "node/marker_files.hpp"
#include "node/node_binding.hpp"
#include "node/node_state.hpp"
#include "node/tree_copy.hpp"
#include "platform/file_system.hpp"
#include "platform/files.hpp"
#include "platform/hidden_entries.hpp"
#include "platform/tree_walk.hpp"
#include "talvo2/names.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

bool canceled(notify2::IProgress* progress) {
    return progress && progress->isCanceled();
}

// The node's flags, suspended while its files are copied: nobody adds or removes one meanwhile.
// They are resumed where the copy went, or where they were when the copy is given up.
class SuspendedFlags {
public:
    SuspendedFlags(HeldFlags& flags, const fs::path& directory)
        : m_flags(flags), m_directory(directory) {
        m_flags.suspend();
    }
    ~SuspendedFlags() {
        if (!m_resumed) m_flags.resume(m_directory, m_directory);
    }
    SuspendedFlags(const SuspendedFlags&) = delete;
    SuspendedFlags& operator=(const SuspendedFlags&) = delete;

    void resumeIn(const fs::path& directory) {
        m_resumed = true;
        m_flags.resume(m_directory, directory);
    }

private:
    HeldFlags& m_flags;
    const fs::path m_directory;
    bool m_resumed = false;
};

}  // namespace

namespace {

// What copy and move check of a destination before they touch anything: the node's new
// directory, whose last element must be a plain name and which must not exist.
Result<fs::path> destinationOf(const wchar_t* destination, notify2::IProgress* progress) {
    if (!destination || !*destination) return {fs::path(), ParameterError};
    if (!isEncodable(destination)) return {fs::path(), InvalidPath};
    if (canceled(progress)) return {fs::path(), FileError};
    const std::wstring absolute = normalizedAbsolute(destination);
    if (absolute.empty()) return {fs::path(), InvalidPath};
    const fs::path target = toFsPath(absolute);
    if (!isPlainName(toWide(target.filename()))) return {fs::path(), InvalidPath};
    if (platform::typeAt(target.native(), false) != platform::FileType::Missing)
        return {fs::path(), AlreadyExists};
    return {target, OK};
}

// Binds the node to its new directory: the steps a copy and a move share once the files are
// there. The first failure among them is the answer beside the true result.
Result<bool> settleAt(Node& node, const fs::path& target, bool renameMarker) {
    Node::Fields& f = fieldsOf(node);
    const std::wstring marker = toWide(target / toFsPath(fileNameOf(f.markerFilePath)));
    const std::wstring parentPath = f.parent ? f.parent->getPath() : L"";
    const Result<bool> bound = bindNode(node, marker, f.parent ? parentPath.c_str() : nullptr);
    error_t outcome = bound.value ? OK : bound.error;
    // A marker that keeps its old name (a file of the new name was there already) leaves the
    // node where it went and says why.
    if (renameMarker) {
        const Result<bool> renamed = renameMarkerFile(node, toWide(target.filename()).c_str());
        if (!renamed.value) outcome = renamed.error;
    }
    if (f.memberGroup) {
        const error_t followed = f.memberGroup->follow(f.path);
        if (outcome == OK) outcome = followed;
    }
    return {true, outcome};
}

}  // namespace

Result<bool> copyNode(Node& node, const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress) {
    Node::Fields& f = fieldsOf(node);
    const Result<fs::path> checked = destinationOf(destination, progress);
    if (checked.error != OK) return {false, checked.error};
    const fs::path& target = checked.value;
    // The copy is made under a hidden name beside its destination and appears whole, or not at
    // all: a crash or a full disk leaves no half copy that looks like the node.
    std::unique_ptr<platform::Directory> parent;
    platform::StagedDirectory stage;
    if (!platform::fileSystem().openDirectory(nullptr, target.parent_path().native(), true, false,
                                              parent) ||
        !stage.make(*parent))
        return {false, FileError};
    if (progress) progress->begin(L"", static_cast<double>(node.getSize()));

    const fs::path source = f.directory;
    SuspendedFlags flags(*f.flags, source);
    bool copied = copyTree(
        source, stage.directory(),
        {std::wstring(L"*") + getFlagLockExtension(), std::wstring(L"*") + getFlagInfoExtension()},
        progress);
    error_t failure = FileError;
    if (copied) {
        const platform::Status published = stage.publish(target.filename().native());
        copied = published.ok();
        if (published.exists()) failure = AlreadyExists;
    }
    if (!copied) {
        stage.discard();
        flags.resumeIn(source);
        if (progress) progress->end();
        return {false, failure};
    }
    flags.resumeIn(target);
    const Result<bool> settled = settleAt(node, target, renameMarker);
    if (progress) progress->end();
    return settled;
}

Result<bool> moveNode(Node& node, const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress) {
    Node::Fields& f = fieldsOf(node);
    const Result<fs::path> checked = destinationOf(destination, progress);
    if (checked.error != OK) return {false, checked.error};
    const fs::path& target = checked.value;
    const fs::path old = f.directory;
    // On one file system a move is one rename: atomic, and everything inside stays as it is
    // (links, pipes, times, modes, and the lock files of the flags the node holds).
    const platform::Status renamed = platform::fileSystem().rename(
        nullptr, old.native(), nullptr, target.native(), platform::RenameMode::NoReplace);
    if (renamed) {
        if (progress) progress->begin(L"", 0.0);
        f.flags->moved(old, target);
        const Result<bool> settled = settleAt(node, target, renameMarker);
        if (progress) progress->end();
        return settled;
    }
    if (renamed.exists()) return {false, AlreadyExists};
    if (!renamed.crossDevice()) return {false, FileError};
    // Across file systems: a copy, then the removal of the source. A source that could not be
    // removed afterwards is refused before anything is copied, so a move never ends with two.
    bool removable = false;
    if (!platform::fileSystem().canCreateIn(old.parent_path().native(), removable) || !removable)
        return {false, InsufficientPermissions};
    const Result<bool> copied = copyNode(node, destination, renameMarker, progress);
    if (!copied.value) return copied;
    std::unique_ptr<platform::Directory> parent;
    if (!platform::fileSystem().openDirectory(nullptr, old.parent_path().native(), true, false,
                                              parent) ||
        platform::removeOutOfSight(*parent, old.filename().native()) != OK)
        return {false, FileError};
    return copied;
}

Result<std::wstring> duplicateNode(const Node& node, const wchar_t* path, bool literal,
                                   bool dropBacklink) {
    if (!path) return {std::wstring(), InvalidPath};
    const Node::Fields& f = fieldsOf(node);
    const auto [target, markerName] = splitMarkerPath(path, extensionOf(f.markerFilePath));
    const std::string sourceMarker = toFsPath(fileNameOf(f.markerFilePath)).native();
    NodeRequest request;
    request.path = target;
    request.literal = literal;
    request.markerName = markerName;
    request.notWithin = toWide(f.directory);
    // The copy is made out of sight and appears whole, its marker renamed, or not at all.
    request.fill = [&](platform::Directory& directory, const std::string& markerLeaf) {
        if (!copyTree(f.directory, directory, {}, nullptr)) return OperationFailed;
        if (sourceMarker != markerLeaf &&
            !platform::fileSystem().rename(&directory, sourceMarker, &directory, markerLeaf,
                                           platform::RenameMode::Replace))
            return OperationFailed;
        if (!dropBacklink) return OK;
        std::string bytes;
        corekit2::variant_bag_t bag;
        if (platform::readFile(&directory, markerLeaf, kMaxBagFileBytes, false, bytes) !=
                platform::ReadOutcome::Read ||
            parseBag(bytes, nullptr, bag) != OK)
            return OperationFailed;
        auto* talvo = bag.get<corekit2::variant_bag_t>(disk::kTalvoSection);
        if (!talvo || !talvo->remove<corekit2::variant_t>(disk::kBacklink)) return OK;
        if (!renderBag(bag, bytes)) return OperationFailed;
        return platform::writeFileAtomicallyIn(directory, markerLeaf, bytes) ? OK : OperationFailed;
    };
    MadeNode made;
    const error_t outcome = makeNode(request, made);
    if (outcome != OK) return {std::wstring(), outcome};
    return {made.marker, OK};
}

}  // namespace talvo2
