#include "results/result_directory.hpp"

#include <algorithm>
#include <boost/filesystem/path.hpp>
#include <climits>
#include <vector>

#include "corekit2/path.hpp"
#include "frame/bag_files.hpp"
#include "frame/boundary.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/directory_maker.hpp"
#include "node/marker_files.hpp"
#include "node/node_copy.hpp"
#include "node/node_removal.hpp"
#include "node/node_state.hpp"
#include "node/tree_copy.hpp"
#include "notify2/ambient_progress.hpp"
#include "platform/files.hpp"
#include "platform/tree_walk.hpp"
#include "results/result_files.hpp"
#include "results/result_lookup.hpp"
#include "talvo2/names.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

bool isThere(const fs::path& path) {
    return platform::typeAt(path.native(), false) != platform::FileType::Missing;
}

// The collector data directories: "data." and anything that is a directory, also through a
// symbolic link (collectors put large data on scratch storage and link it in). A link to a file,
// or one that leads nowhere, is no data directory.
void collectDataDirectories(const fs::path& directory, ResultFiles& out) {
    const std::string prefix = ulib_2_18::to_utf8(disk::kDataPrefix);
    std::vector<platform::DirectoryEntry> entries;
    platform::listDirectory(directory.native(), entries);
    for (const platform::DirectoryEntry& entry : entries) {
        if (entry.name.compare(0, prefix.size(), prefix) != 0) continue;
        const fs::path path = directory / entry.name;
        if (platform::typeAt(path.native(), true) == platform::FileType::Directory)
            out.insert(toWide(path));
    }
}

// The regular files (not links) directly in `directory` whose names match `mask`.
void collectFiles(const std::wstring& directory, const std::wstring& mask, ResultFiles& out) {
    const fs::path base = toFsPath(directory);
    std::vector<platform::DirectoryEntry> entries;
    platform::listDirectory(base.native(), entries);
    for (const platform::DirectoryEntry& entry : entries) {
        const fs::path path = base / entry.name;
        platform::FileType type = entry.type;
        if (type == platform::FileType::Unknown) type = platform::typeAt(path.native(), false);
        if (type != platform::FileType::Regular) continue;
        const std::wstring name = ulib_2_18::from_utf8(entry.name);
        if (corekit2::path_t(name).match(mask)) out.insert(directory + L"/" + name);
    }
}

// The export exclusions: the result extension first, which keeps the old marker out, then every
// non-empty line of `excludes`.
std::vector<std::wstring> exportExclusions(const wchar_t* excludes) {
    std::vector<std::wstring> masks{getResultExtension(false)};
    const std::wstring text = excludes ? excludes : L"";
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(L'\n', start), text.size());
        if (end > start) masks.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return masks;
}

}  // namespace

ResultDirectory::ResultDirectory(std::wstring& markerPath, const wchar_t* groupPath)
    : Node(markerPath, groupPath) {
    // A result this thread has just made holds nothing but its marker: it is neither finalized
    // nor invalid, and asking the disk would only ask about what was staged a moment ago.
    if (FreshMarker::bytesFor(markerPath)) return;
    m_finalized = isThere(fieldsOf(*this).directory / toFsPath(disk::kFinalizedMark));
    m_valid = !isThere(fieldsOf(*this).directory / toFsPath(disk::kInvalidMark));
}

Node* ResultDirectory::make(std::wstring& markerPath, const wchar_t* groupPath, error_t& bound) {
    auto* node = new ResultDirectory(markerPath, groupPath);
    bound = fieldsOf(*node).bindOutcome;
    return node;
}

bool ResultDirectory::setFinalized(bool finalized) {
    return exported(false, [&]() -> Reply<bool> {
        if (finalized == m_finalized) return {true, OK};
        m_finalized = finalized;
        const std::string mark =
            (fieldsOf(*this).directory / toFsPath(disk::kFinalizedMark)).native();
        const error_t done =
            finalized ? platform::touchFile(mark).error() : platform::removeFile(mark).error();
        return {done == OK, done};
    });
}

void ResultDirectory::setInvalid() {
    exportedVoid([&]() -> LastError {
        // A bad result moves aside, r003 to r003-bad, so that a new run can take its name. All
        // or nothing: a result that cannot move keeps its name and stays as valid as it was.
        const std::wstring aside = fieldsOf(*this).path + disk::kInvalidSuffix;
        if (platform::typeAt(toFsPath(aside).native(), false) != platform::FileType::Missing)
            return AlreadyExists;
        const std::string mark =
            (fieldsOf(*this).directory / toFsPath(disk::kInvalidMark)).native();
        const bool wasMarked = platform::typeAt(mark, false) != platform::FileType::Missing;
        const platform::Status marked = platform::touchFile(mark);
        if (!marked) return marked.error();
        const Result<bool> moved = moveNode(*this, aside.c_str(), true, nullptr);
        if (!moved.value && !wasMarked) platform::removeFile(mark);
        return moved.error;
    });
}

const wchar_t* ResultDirectory::createCollectorDataDir() {
    return exported(static_cast<const wchar_t*>(nullptr), [&]() -> Reply<const wchar_t*> {
        // A directory that cannot be made answers null and leaves the last error as it was.
        for (unsigned long n = 0;; ++n) {
            const fs::path candidate =
                fieldsOf(*this).directory / toFsPath(disk::kDataPrefix + std::to_wstring(n));
            const error_t made = tryCreateDirectory(toWide(candidate));
            if (made == AlreadyExists) continue;
            if (made != OK) return {nullptr, LastError::kept()};
            m_collectorDataDir = toWide(candidate);
            return {m_collectorDataDir.c_str(), LastError::kept()};
        }
    });
}

corekit2::sptr_t<IPathIterator> ResultDirectory::getCollectorDataDirectories() {
    return exported(corekit2::sptr_t<IPathIterator>(),
                    [&]() -> Reply<corekit2::sptr_t<IPathIterator>> {
                        corekit2::sptr_t<ResultFiles> directories(new ResultFiles);
                        collectDataDirectories(fieldsOf(*this).directory, *directories);
                        return {directories, LastError::kept()};
                    });
}

corekit2::sptr_t<IPathIterator> ResultDirectory::getResultFiles(const wchar_t* mask) {
    return exported(corekit2::sptr_t<IPathIterator>(),
                    [&]() -> Reply<corekit2::sptr_t<IPathIterator>> {
                        ResultFiles directories;
                        collectDataDirectories(fieldsOf(*this).directory, directories);
                        corekit2::sptr_t<ResultFiles> files(new ResultFiles);
                        const std::wstring pattern = mask ? mask : L"*";
                        for (const wchar_t* directory = directories.next(); directory;
                             directory = directories.next())
                            collectFiles(directory, pattern, *files);
                        return {files, LastError::kept()};
                    });
}

corekit2::sptr_t<IResultDirectory> ResultDirectory::exportTo(const wchar_t* target,
                                                             const wchar_t* excludes) {
    using Answer = corekit2::sptr_t<IResultDirectory>;
    return exported(Answer(), [&]() -> Reply<Answer> {
        Node::Fields& f = fieldsOf(*this);
        if (!target || !*target) return failed(Answer(), EmptyPattern);
        const std::vector<std::wstring> masks = exportExclusions(excludes);
        // The interface takes no progress: a caller that wants one puts it in place for its
        // thread.
        notify2::IProgress* progress = notify2::ambientProgress();
        NodeRequest request;
        request.path = target;
        request.bag = &f.bag;
        request.markerName = getResultExtension(false);
        request.notWithin = normalizedAbsolute(f.path);
        // The copy and the marker are made out of sight: a failed or canceled export leaves
        // nothing, not even the folders it made for the new result.
        bool copyFailed = false;
        request.fill = [&](platform::Directory& directory, const std::string& markerLeaf) {
            if (progress) progress->begin(L"", static_cast<double>(getSize()));
            const bool copied = copyTree(f.directory, directory, masks, progress);
            if (progress) progress->end();
            copyFailed = !copied;
            if (!copied) return OperationFailed;
            std::string bytes;
            if (!renderBag(f.bag, bytes)) return OperationFailed;
            return platform::writeNewFile(directory, markerLeaf, bytes) ? OK : OperationFailed;
        };
        MadeNode made;
        const error_t outcome = makeNode(request, made);
        // A copy that failed or was canceled answers null and leaves the last error OK.
        if (copyFailed) return {Answer(), OK};
        if (outcome != OK) return failed(Answer(), outcome);
        const std::wstring created = made.directory;
        Result<Answer> opened = openResult(created.c_str(), false, nullptr);
        return {std::move(opened.value), opened.error};
    });
}

std::wstring ResultDirectory::duplicate(const wchar_t* name) const {
    return exported(std::wstring(), [&]() -> Reply<std::wstring> {
        const Result<std::wstring> made = duplicateNode(*this, name, true, true);
        return {made.value, made.error};
    });
}

bool ResultDirectory::remove() {
    return exported(false, [&]() -> Reply<bool> {
        const error_t removed = removeNode(*this);
        return {removed == OK, removed};
    });
}

const wchar_t* ResultDirectory::getSubdir(standard_dir_t kind) {
    switch (kind) {
        case STANDARD_DIR_SOURCE:
            return getSubdir(disk::kSourceDirectory);
        case STANDARD_DIR_CONFIG:
            return getSubdir(disk::kConfigDirectory);
        case STANDARD_DIR_LOG:
            return getSubdir(disk::kLogDirectory);
    }
    return nullptr;
}

const wchar_t* ResultDirectory::getSubdir(const wchar_t* name) {
    return exported(static_cast<const wchar_t*>(nullptr), [&]() -> Reply<const wchar_t*> {
        if (!name || !*name || !isEncodable(name))
            return failed<const wchar_t*>(nullptr, ParameterError);
        const fs::path relative = toFsPath(name).lexically_normal();
        // A subdirectory stays below the result: no absolute names and no way up.
        bool below = !relative.is_absolute() && !relative.empty();
        for (const fs::path& element : relative)
            below = below && (element.filename_is_dot() || isPlainName(toWide(element)));
        if (!below) return failed<const wchar_t*>(nullptr, ParameterError);
        const std::wstring path = toWide(fieldsOf(*this).directory / relative);
        // A path the system cannot take is refused like a bad name.
        if (toFsPath(path).native().size() >= PATH_MAX)
            return failed<const wchar_t*>(nullptr, ParameterError);
        // A directory that cannot be made, or a file in its place, answers null with OK; so does
        // a link on the way, which would have the caller write wherever it points.
        if (!platform::makeBelow(fieldsOf(*this).directory.native(), relative.native()))
            return {nullptr, OK};
        // One this user cannot write into is no use either.
        if (tryCreateDirectory(path) != AlreadyExists) return {nullptr, OK};
        m_subdir = path;
        return {m_subdir.c_str(), OK};
    });
}

}  // namespace talvo2
