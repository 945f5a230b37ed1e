// Copying and moving a node: its whole directory goes to a new place and the same node object
// (same serial number, handles and flags) stands for the copy afterwards.

#include <boost/filesystem/path.hpp>
#include <mutex>

#include "flags/flag_table.hpp"
#include "frame/bag_files.hpp"
#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "groups/node_group.hpp"
#include "node/marker_files.hpp"
#include "node/node_copy.hpp"
#include "node/node_fields.hpp"
#include "node/tree_copy.hpp"
#include "platform/files.hpp"
#include "platform/platform.hpp"
#include "platform/tree_walk.hpp"
#include "talvo2/names.hpp"
#include "talvo2/node.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

using Disposition = platform::ExclusiveFile::Disposition;

bool canceled(notify2::IProgress* progress) {
    return progress && progress->isCanceled();
}

// Takes the held flags up again in `directory`: lock and info files of the same names there,
// with the stored owner records. A flag that cannot be taken there is no longer held.
void resumeFlags(FlagTable& table, const fs::path& oldDirectory, const fs::path& directory) {
    std::map<std::wstring, FlagTable::Entry> resumed;
    for (auto& [flag, entry] : table.entries) {
        const fs::path relative = toFsPath(flag).lexically_relative(oldDirectory);
        const std::wstring moved = toWide(directory / relative);
        auto locker = boost::shared_ptr<util::FileLocker>(new util::FileLocker);
        util::FileLocker info;
        if (!locker->openExclusive(moved + getFlagLockExtension(), Disposition::OpenAlways) ||
            !info.openExclusive(moved + getFlagInfoExtension(), Disposition::OpenAlways) ||
            info.writeBag(entry.info) != OK)
            continue;
        resumed[moved] = FlagTable::Entry{locker, entry.info};
    }
    table.entries.swap(resumed);  // the old lockers close when `resumed` goes
}

}  // namespace

bool Node::copyTo(const wchar_t* destination, bool renameMarker, notify2::IProgress* progress) {
    Fields& f = fields();
    if (!destination || !*destination) return setLastError(ParameterError);
    if (!isEncodable(destination)) return setLastError(InvalidPath);
    if (canceled(progress)) return setLastError(FileError);
    try {
        const fs::path target = toFsPath(normalizedAbsolute(destination));
        // The last element becomes the node's directory name.
        if (!isPlainName(toWide(target.filename()))) return setLastError(InvalidPath);
        if (platform::typeAt(target.native(), false) != platform::FileType::Missing)
            return setLastError(AlreadyExists);
        if (!platform::fileSystem().makeDirectory(nullptr, target.native(), 0777))
            return setLastError(FileError);
        if (progress) progress->begin(L"", static_cast<double>(getSize()));

        // The flags stay ours throughout: nobody adds or removes one while the files move.
        const std::lock_guard<std::mutex> suspended(f.flags.mutex);
        for (const auto& entry : f.flags.entries) {
            platform::removeFile(toFsPath(entry.first + getFlagLockExtension()).native());
            platform::removeFile(toFsPath(entry.first + getFlagInfoExtension()).native());
        }
        const fs::path source = f.directory;
        bool copied = false;
        try {
            copied = copyTree(source, target,
                              {std::wstring(L"*") + getFlagLockExtension(),
                               std::wstring(L"*") + getFlagInfoExtension()},
                              progress);
        } catch (const std::exception&) {
            copied = false;
        }
        if (!copied) {
            platform::removeTree(target.native());
            resumeFlags(f.flags, source, source);
            if (progress) progress->end();
            return setLastError(FileError);
        }
        resumeFlags(f.flags, source, target);

        const std::wstring marker = toWide(target / toFsPath(fileNameOf(f.markerFilePath)));
        const std::wstring parentPath = f.parent ? f.parent->getPath() : L"";
        // The copy is made whatever the rebinding answers; a failure there (the link into the
        // parent's group not written, say) stays the last error beside the true result.
        bool done = bind(marker, f.parent ? parentPath.c_str() : nullptr);
        error_t failure = ResultDirectoryManager::getLastError();
        // A marker that keeps its old name (a file of the new name was there already) leaves
        // the copy made and says why.
        if (renameMarker && !changeUserVisibleName(toWide(target.filename()).c_str())) {
            done = false;
            failure = ResultDirectoryManager::getLastError();
        }
        if (auto* group = dynamic_cast<NodeGroup*>(f.memberGroup.get())) {
            group->rebase(f.path);
            group->setOutputDirectory(f.path.c_str());
        }
        if (progress) progress->end();
        setLastError(done ? OK : failure);
        return true;
    } catch (const boost::system::system_error& error) {
        if (progress) progress->end();
        return setLastError(systemErrorToError(error));
    }
}

std::wstring duplicateNode(const Node& node, const wchar_t* path,
                           const std::function<corekit2::sptr_t<INode>(const wchar_t*)>& create,
                           bool dropBacklink) {
    if (!path) {
        setLastError(InvalidPath);
        return std::wstring();
    }
    try {
        // The copy goes into a directory of its own: a project settles into an existing directory,
        // and a failed copy takes the new directory back, which must never be someone's folder.
        const Node::Fields& own = node.fields();
        const std::wstring target = splitMarkerPath(path, extensionOf(own.markerFilePath)).first;
        if (platform::typeAt(toFsPath(normalizedAbsolute(target)).native(), false) !=
            platform::FileType::Missing) {
            setLastError(AlreadyExists);
            return std::wstring();
        }
        const corekit2::sptr_t<INode> made = create(path);
        if (!made) return std::wstring();
        const std::wstring newMarker = made->getMarkerFilePath();
        const fs::path directory = toFsPath(made->getPath());
        if (platform::typeAt(toFsPath(newMarker).native(), true) != platform::FileType::Regular)
            return std::wstring();
        platform::removeFile(toFsPath(newMarker).native());
        const Node::Fields& f = own;
        bool copied = false;
        try {
            copied = copyTree(f.directory, directory, {}, nullptr);
        } catch (const std::exception&) {
            copied = false;
        }
        if (!copied) {
            platform::removeTree(directory.native());
            return std::wstring();
        }
        const fs::path copiedMarker = directory / toFsPath(fileNameOf(f.markerFilePath));
        if (!platform::fileSystem().rename(nullptr, copiedMarker.native(), nullptr,
                                           toFsPath(newMarker).native(),
                                           platform::RenameMode::Replace)) {
            platform::removeTree(directory.native());
            setLastError(OperationFailed);
            return std::wstring();
        }
        if (dropBacklink) {
            corekit2::variant_bag_t bag;
            if (loadBagFile(newMarker, nullptr, bag) != OK) {
                setLastError(OperationFailed);
            } else if (auto* talvo = bag.get<corekit2::variant_bag_t>(L"talvo");
                       talvo && talvo->remove<corekit2::variant_t>(L"backlink")) {
                setLastError(saveBagFile(newMarker, nullptr, bag));
            }
        }
        return newMarker;
    } catch (const std::exception&) {
        setLastError(OperationFailed);
        return std::wstring();
    }
}

bool Node::moveTo(const wchar_t* destination, bool renameMarker, notify2::IProgress* progress) {
    const fs::path old = fields().directory;
    if (!copyTo(destination, renameMarker, progress)) return false;
    if (platform::removeTree(old.native()) != OK) return setLastError(FileError);
    return true;
}

}  // namespace talvo2
