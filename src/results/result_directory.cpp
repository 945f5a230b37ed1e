#include "results/result_directory.hpp"

#include <algorithm>
#include <boost/filesystem/path.hpp>
#include <climits>
#include <vector>

#include "corekit2/path.hpp"
#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "groups/result_files.hpp"
#include "node/marker_files.hpp"
#include "node/node_copy.hpp"
#include "node/node_fields.hpp"
#include "node/node_removal.hpp"
#include "node/tree_copy.hpp"
#include "notify2/ambient_progress.hpp"
#include "platform/files.hpp"
#include "platform/tree_walk.hpp"
#include "results/result_directory_maker.hpp"
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
    const std::string prefix = "data.";
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

// Whether `inner` is `outer` or lies below it (both absolute and normal).
bool isWithin(const fs::path& inner, const fs::path& outer) {
    auto it = inner.begin();
    for (const fs::path& part : outer) {
        if (it == inner.end() || *it != part) return false;
        ++it;
    }
    return true;
}

}  // namespace

ResultDirectory::ResultDirectory(std::wstring& markerPath, const wchar_t* groupPath)
    : Node(markerPath, groupPath) {
    m_finalized = isThere(fields().directory / ".norun");
    m_valid = !isThere(fields().directory / ".bad");
}

Node* ResultDirectory::make(std::wstring& markerPath, const wchar_t* groupPath) {
    return new ResultDirectory(markerPath, groupPath);
}

bool ResultDirectory::setFinalized(bool finalized) {
    resetLastError();
    if (finalized == m_finalized) return true;
    m_finalized = finalized;
    const std::string mark = (fields().directory / ".norun").native();
    return setLastError(finalized ? platform::touchFile(mark).error()
                                  : platform::removeFile(mark).error());
}

void ResultDirectory::setInvalid() {
    const platform::Status marked = platform::touchFile((fields().directory / ".bad").native());
    if (!marked) {
        setLastError(marked.error());
        return;
    }
    // A bad result moves aside, r003 to r003-bad, so that a new run can take its name.
    const std::wstring aside = fields().path + L"-bad";
    move(aside.c_str(), true, nullptr);
}

const wchar_t* ResultDirectory::createCollectorDataDir() {
    for (unsigned long n = 0;; ++n) {
        const fs::path candidate = fields().directory / ("data." + std::to_string(n));
        const error_t made = tryCreateDirectory(toWide(candidate));
        if (made == AlreadyExists) continue;
        if (made != OK) return nullptr;
        m_collectorDataDir = toWide(candidate);
        return m_collectorDataDir.c_str();
    }
}

corekit2::sptr_t<IPathIterator> ResultDirectory::getCollectorDataDirectories() {
    corekit2::sptr_t<ResultFiles> directories(new ResultFiles);
    collectDataDirectories(fields().directory, *directories);
    return directories;
}

corekit2::sptr_t<IPathIterator> ResultDirectory::getResultFiles(const wchar_t* mask) {
    ResultFiles directories;
    collectDataDirectories(fields().directory, directories);
    corekit2::sptr_t<ResultFiles> files(new ResultFiles);
    const std::wstring pattern = mask ? mask : L"*";
    for (const wchar_t* directory = directories.next(); directory; directory = directories.next())
        collectFiles(directory, pattern, *files);
    return files;
}

corekit2::sptr_t<IResultDirectory> ResultDirectory::exportTo(const wchar_t* target,
                                                             const wchar_t* excludes) {
    resetLastError();
    if (!target || !*target) {
        setLastError(EmptyPattern);
        return {};
    }
    try {
        const std::vector<std::wstring> masks = exportExclusions(excludes);
        std::wstring created;
        std::unique_ptr<OwnerListingHint> listed;
        if (!setLastError(
                makeResultDirectory(target, L"", false, fields().bag, false, created, &listed)))
            return {};
        const fs::path destination = toFsPath(normalizedAbsolute(created));
        // A copy into itself would never end: refuse it and take back the empty directory.
        if (isWithin(destination, toFsPath(normalizedAbsolute(fields().path)))) {
            platform::fileSystem().remove(nullptr, destination.native(), true);
            setLastError(ParameterError);
            return {};
        }
        // The interface takes no progress: a caller that wants one puts it in place for its
        // thread.
        notify2::IProgress* progress = notify2::ambientProgress();
        if (progress) progress->begin(L"", static_cast<double>(getSize()));
        bool copied = false;
        try {
            copied = copyTree(fields().directory, destination, masks, progress);
        } catch (const std::exception&) {
            copied = false;
        }
        if (progress) progress->end();
        if (!copied) {
            // A failed copy stays for the caller to inspect; one the caller canceled is taken
            // back. The source is untouched either way.
            if (progress && progress->isCanceled()) platform::removeTree(destination.native());
            return {};
        }
        if (!setLastError(writeMarkerFile(created, getResultExtension(false), fields().bag)))
            return {};
        return ResultDirectoryManager::open(created.c_str(), false, nullptr);
    } catch (const boost::system::system_error& error) {
        setLastError(systemErrorToError(error));
    } catch (const std::exception&) {
        setLastError(OperationFailed);
    }
    return {};
}

std::wstring ResultDirectory::duplicate(const wchar_t* name) const {
    return duplicateNode(
        *this, name,
        [](const wchar_t* path) -> corekit2::sptr_t<INode> {
            return ResultDirectoryManager::create(path, false, nullptr, true, nullptr);
        },
        true);
}

bool ResultDirectory::remove() {
    m_valid = false;
    return removeNodeFromDisk(fields());
}

const wchar_t* ResultDirectory::getSubdir(standard_dir_t kind) {
    switch (kind) {
        case STANDARD_DIR_SOURCE:
            return getSubdir(L"source");
        case STANDARD_DIR_CONFIG:
            return getSubdir(L"config");
        case STANDARD_DIR_LOG:
            return getSubdir(L"log");
    }
    return nullptr;
}

const wchar_t* ResultDirectory::getSubdir(const wchar_t* name) {
    resetLastError();
    if (!name || !*name || !isEncodable(name)) {
        setLastError(ParameterError);
        return nullptr;
    }
    const fs::path relative = toFsPath(name).lexically_normal();
    // A subdirectory stays below the result: no absolute names and no way up.
    bool below = !relative.is_absolute() && !relative.empty();
    for (const fs::path& element : relative)
        below = below && (element.filename_is_dot() || isPlainName(toWide(element)));
    if (!below) {
        setLastError(ParameterError);
        return nullptr;
    }
    const std::wstring path = toWide(fields().directory / relative);
    // A path the system cannot take is refused like a bad name.
    if (toFsPath(path).native().size() >= PATH_MAX) {
        setLastError(ParameterError);
        return nullptr;
    }
    const error_t made = tryCreateDirectory(path);
    if (made != OK && made != AlreadyExists) return nullptr;
    // An existing file of that name is not a directory.
    if (platform::typeAt(toFsPath(path).native(), true) != platform::FileType::Directory)
        return nullptr;
    m_subdir = path;
    return m_subdir.c_str();
}

}  // namespace talvo2
