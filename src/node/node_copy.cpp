#include "node/node_copy.hpp"

#include <boost/filesystem/path.hpp>

#include "frame/bag_files.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_binding.hpp"
#include "node/node_state.hpp"
#include "node/tree_copy.hpp"
#include "platform/file_system.hpp"
#include "platform/files.hpp"
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

Result<bool> copyNode(Node& node, const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress) {
    Node::Fields& f = fieldsOf(node);
    if (!destination || !*destination) return {false, ParameterError};
    if (!isEncodable(destination)) return {false, InvalidPath};
    if (canceled(progress)) return {false, FileError};
    const std::wstring absolute = normalizedAbsolute(destination);
    if (absolute.empty()) return {false, InvalidPath};
    const fs::path target = toFsPath(absolute);
    // The last element becomes the node's directory name.
    if (!isPlainName(toWide(target.filename()))) return {false, InvalidPath};
    if (platform::typeAt(target.native(), false) != platform::FileType::Missing)
        return {false, AlreadyExists};
    if (!platform::fileSystem().makeDirectory(nullptr, target.native(), 0777))
        return {false, FileError};
    if (progress) progress->begin(L"", static_cast<double>(node.getSize()));

    const fs::path source = f.directory;
    SuspendedFlags flags(*f.flags, source);
    const bool copied = copyTree(
        source, target,
        {std::wstring(L"*") + getFlagLockExtension(), std::wstring(L"*") + getFlagInfoExtension()},
        progress);
    if (!copied) {
        platform::removeTree(target.native());
        flags.resumeIn(source);
        if (progress) progress->end();
        return {false, FileError};
    }
    flags.resumeIn(target);

    // The copy is made whatever the steps below answer; the first failure among them is the
    // answer's error beside the true result.
    const std::wstring marker = toWide(target / toFsPath(fileNameOf(f.markerFilePath)));
    const std::wstring parentPath = f.parent ? f.parent->getPath() : L"";
    const Result<bool> bound = bindNode(node, marker, f.parent ? parentPath.c_str() : nullptr);
    error_t outcome = bound.value ? OK : bound.error;
    // A marker that keeps its old name (a file of the new name was there already) leaves the
    // copy made and says why.
    if (renameMarker) {
        const Result<bool> renamed = renameMarkerFile(node, toWide(target.filename()).c_str());
        if (!renamed.value) outcome = renamed.error;
    }
    if (f.memberGroup) {
        const error_t followed = f.memberGroup->follow(f.path);
        if (outcome == OK) outcome = followed;
    }
    if (progress) progress->end();
    return {true, outcome};
}

Result<bool> moveNode(Node& node, const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress) {
    const fs::path old = fieldsOf(node).directory;
    const Result<bool> copied = copyNode(node, destination, renameMarker, progress);
    if (!copied.value) return copied;
    if (platform::removeTree(old.native()) != OK) return {false, FileError};
    return copied;
}

Result<std::wstring> duplicateNode(
    const Node& node, const wchar_t* path,
    const std::function<Result<corekit2::sptr_t<INode>>(const wchar_t*)>& create,
    bool dropBacklink) {
    if (!path) return {std::wstring(), InvalidPath};
    // The copy goes into a directory of its own: a project settles into an existing directory,
    // and a failed copy takes the new directory back, which must never be someone's folder.
    const Node::Fields& f = fieldsOf(node);
    const std::wstring target = splitMarkerPath(path, extensionOf(f.markerFilePath)).first;
    if (platform::typeAt(toFsPath(normalizedAbsolute(target)).native(), false) !=
        platform::FileType::Missing)
        return {std::wstring(), AlreadyExists};
    const Result<corekit2::sptr_t<INode>> made = create(path);
    if (!made.value) return {std::wstring(), made.error};
    const std::wstring newMarker = made.value->getMarkerFilePath();
    const fs::path directory = toFsPath(made.value->getPath());
    if (platform::typeAt(toFsPath(newMarker).native(), false) != platform::FileType::Regular)
        return {std::wstring(), made.error};
    platform::removeFile(toFsPath(newMarker).native());
    if (!copyTree(f.directory, directory, {}, nullptr)) {
        platform::removeTree(directory.native());
        return {std::wstring(), made.error};
    }
    const fs::path copiedMarker = directory / toFsPath(fileNameOf(f.markerFilePath));
    if (!platform::fileSystem().rename(nullptr, copiedMarker.native(), nullptr,
                                       toFsPath(newMarker).native(),
                                       platform::RenameMode::Replace)) {
        platform::removeTree(directory.native());
        return {std::wstring(), OperationFailed};
    }
    error_t outcome = made.error;
    if (dropBacklink) {
        corekit2::variant_bag_t bag;
        if (loadBagFile(newMarker, nullptr, bag) != OK) {
            outcome = OperationFailed;
        } else if (auto* talvo = bag.get<corekit2::variant_bag_t>(disk::kTalvoSection);
                   talvo && talvo->remove<corekit2::variant_t>(disk::kBacklink)) {
            outcome = saveBagFile(newMarker, nullptr, bag);
        }
    }
    return {newMarker, outcome};
}

}  // namespace talvo2
