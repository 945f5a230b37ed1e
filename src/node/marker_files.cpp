#include "node/marker_files.hpp"

#include <algorithm>
#include <boost/filesystem/path.hpp>
#include <vector>

#include "corekit2/md5.hpp"
#include "frame/bag_files.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/owner_listing.hpp"
#include "platform/files.hpp"
#include "talvo2/names.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

// How much of a marker its digest covers: a change beyond it does not make a link stale.
constexpr std::size_t kDigestBytes = 4096;

// Lexically normal, and "dir/" (which normalises to "dir/.") taken as the directory itself.
fs::path normalDirectory(const fs::path& path) {
    fs::path normal = path.lexically_normal();
    if (normal.filename_is_dot() && normal.has_parent_path()) normal = normal.parent_path();
    return normal;
}

// A marker or link file is a regular file of its own, never a link: a link planted in a shared
// folder would lead reads and writes anywhere.
bool isRegularFile(const fs::path& path) {
    return platform::typeAt(path.native(), false) == platform::FileType::Regular;
}

// The marker in the directory `target`: the one named after the directory when it is there
// (which of several markers is taken is not fixed, and asking for it by name needs no listing),
// else the first of the listing. The owner of a directory is asked for by every node opened in
// it: those lookups go through the remembered listings.
error_t markerInDirectory(const fs::path& target, const ExtensionSet& set,
                          const platform::DirectoryStamp& stamp, std::wstring& found) {
    std::string absolute;
    if (!platform::absolutePath(target.native(), absolute)) absolute = target.native();
    const std::string own = normalDirectory(fs::path(absolute)).filename().string();
    bool ownerKinds = true;
    for (const std::wstring& extension : set)
        ownerKinds = ownerKinds && isOwnerFileName("x" + ulib_2_18::to_utf8(extension));
    if (ownerKinds) {
        // The remembered listing answers both questions, so a settled folder costs no status
        // call per wanted name.
        std::vector<std::string> names;
        const error_t listed = ownerFileNames(target, names, &stamp);
        if (listed != OK) return listed;
        for (const std::wstring& extension : set) {
            const std::string named = own + ulib_2_18::to_utf8(extension);
            if (std::find(names.begin(), names.end(), named) != names.end()) {
                found = toWide(target / named);
                return OK;
            }
        }
        for (const std::string& name : names) {
            if (hasExtensionIn(set, extensionOf(ulib_2_18::from_utf8(name)))) {
                found = toWide(target / name);
                return OK;
            }
        }
        return OK;
    }
    for (const std::wstring& extension : set) {
        const fs::path named = target / (own + ulib_2_18::to_utf8(extension));
        if (isRegularFile(named)) {
            found = toWide(named);
            return OK;
        }
    }
    // The name decides first: only entries with a marker extension are asked for their type, so
    // a folder of many results costs one listing, not a status per entry. The byte lengths of the
    // wanted extensions rule out most names without converting them (case-insensitive equality
    // keeps the UTF-8 length of these extensions).
    std::vector<std::size_t> lengths;
    for (const std::wstring& extension : set)
        lengths.push_back(ulib_2_18::to_utf8(extension).size());
    std::vector<platform::DirectoryEntry> entries;
    const platform::Status listed = platform::listDirectory(target.native(), entries);
    if (!listed) return listed.error();
    for (const platform::DirectoryEntry& entry : entries) {
        const auto dot = entry.name.find_last_of('.');
        if (dot == std::string::npos) continue;
        if (std::find(lengths.begin(), lengths.end(), entry.name.size() - dot) == lengths.end())
            continue;
        if (!hasExtensionIn(set, ulib_2_18::from_utf8(entry.name.substr(dot)))) continue;
        const fs::path file = target / entry.name;
        // The listing tells a plain file apart; a link is asked where it leads.
        if (entry.type == platform::FileType::Regular || isRegularFile(file)) {
            found = toWide(file);
            return OK;
        }
    }
    return OK;
}

std::wstring upper(const std::wstring& text) {
    return ulib_2_18::to_upper(text);
}

}  // namespace

bool FileNameLess::operator()(const std::wstring& a, const std::wstring& b) const {
    // Compared in place: sets of many markers compare often, and the paths they hold are
    // normal, so the last element is what follows the last separator.
    const auto start = [](const std::wstring& path) {
        const auto slash = path.find_last_of(L'/');
        return slash == std::wstring::npos ? 0 : slash + 1;
    };
    const std::size_t ai = start(a);
    const std::size_t bi = start(b);
    return a.compare(ai, std::wstring::npos, b, bi, std::wstring::npos) < 0;
}

ExtensionSet makeExtensionSet(std::initializer_list<std::wstring> extensions) {
    ExtensionSet set;
    for (const std::wstring& extension : extensions)
        if (!extension.empty()) set.insert(extension);
    return set;
}

std::wstring fileNameOf(const std::wstring& path) {
    return toWide(toFsPath(path).filename());
}
std::wstring extensionOf(const std::wstring& path) {
    return toWide(toFsPath(path).extension());
}
std::wstring parentOf(const std::wstring& path) {
    return toWide(toFsPath(path).parent_path());
}

std::wstring normalizedAbsolute(const std::wstring& path) {
    std::wstring absolute;
    if (absolutePath(path, absolute) != OK) return std::wstring();
    return toWide(normalDirectory(toFsPath(absolute)));
}

bool hasExtensionIn(const ExtensionSet& set, const std::wstring& extension) {
    // Most names in a folder have no marker extension at all: rule them out by length first.
    bool sameLength = false;
    for (const std::wstring& candidate : set) sameLength |= candidate.size() == extension.size();
    if (!sameLength) return false;
    const std::wstring wanted = upper(extension);
    for (const std::wstring& candidate : set)
        if (candidate.size() == wanted.size() && upper(candidate) == wanted) return true;
    return false;
}

bool isLinkExtensionOf(const ExtensionSet& set, const std::wstring& extension) {
    const std::wstring wanted = upper(extension);
    for (const std::wstring& candidate : set)
        if (upper(candidate + disk::kLinkSuffix) == wanted) return true;
    return false;
}

std::pair<std::wstring, std::wstring> splitMarkerPath(const std::wstring& path,
                                                      const std::wstring& extension) {
    if (!extension.empty() && ulib_2_18::equals_no_case(extensionOf(path), extension))
        return {parentOf(path), fileNameOf(path)};
    return {path, extension};
}

error_t tryCreateDirectory(const std::wstring& path) {
    const std::string target = toFsPath(path).native();
    platform::FileSystem& fs = platform::fileSystem();
    // The common case, a new directory in an existing one, takes a single call.
    if (fs.makeDirectory(nullptr, target, 0777)) return OK;
    platform::FileInfo info;
    const platform::Status looked = fs.status(nullptr, target, true, info);
    if (!looked) {
        if (!looked.missing()) return looked.error();
        bool made = false;
        const platform::Status created = platform::makeDirectories(target, made);
        if (!created) return created.error();
        // Someone else made it between the two calls.
        return made ? OK : AlreadyExists;
    }
    if (info.type != platform::FileType::Directory) return AlreadyExists;
    bool allowed = false;
    if (!fs.canCreateIn(target, allowed)) return FileError;
    return allowed ? AlreadyExists : InsufficientPermissions;
}

namespace {

thread_local FreshMarker* t_fresh = nullptr;

}  // namespace

FreshMarker::FreshMarker() : m_previous(t_fresh) {
    t_fresh = this;
}

FreshMarker::~FreshMarker() {
    t_fresh = m_previous;
}

void FreshMarker::wrote(const std::string& bytes) {
    if (!t_fresh) return;
    t_fresh->m_bytes = bytes;
    t_fresh->m_written = true;
}

const std::string* FreshMarker::bytesFor(const std::wstring& path) {
    if (!t_fresh || !t_fresh->m_written || t_fresh->m_path != path) return nullptr;
    return &t_fresh->m_bytes;
}

error_t readMarker(const std::wstring& path, corekit2::variant_bag_t& bag, std::wstring& digest) {
    digest.clear();
    if (const std::string* fresh = FreshMarker::bytesFor(path)) {
        corekit2::md5_t md5;
        if (md5.update(fresh->data(), std::min(fresh->size(), kDigestBytes)))
            digest = md5.get_digest_base16();
        return parseBag(*fresh, nullptr, bag);
    }
    std::string bytes;
    const std::string file = toFsPath(path).native();
    const platform::ReadOutcome read =
        platform::readFile(nullptr, file, kMaxBagFileBytes, false, bytes);
    // A file too large to be a bag still has a head to take the digest of.
    if (read == platform::ReadOutcome::TooLarge) platform::readFileHead(file, kDigestBytes, bytes);
    if (read == platform::ReadOutcome::Read || read == platform::ReadOutcome::TooLarge) {
        corekit2::md5_t md5;
        if (md5.update(bytes.data(), std::min(bytes.size(), kDigestBytes)))
            digest = md5.get_digest_base16();
    }
    return read == platform::ReadOutcome::Read ? parseBag(bytes, nullptr, bag) : OperationFailed;
}

error_t writeMarkerFile(const std::wstring& directory, const std::wstring& markerName,
                        const corekit2::variant_bag_t& bag, std::wstring* written) {
    // Absolute first: "." must give the marker the name of the directory it stands for.
    std::wstring absolute;
    if (absolutePath(directory, absolute) != OK) return OperationFailed;
    const fs::path dir = normalDirectory(toFsPath(absolute));
    fs::path name = toFsPath(markerName);
    if (name.stem().empty()) name = dir.filename().string() + name.extension().string();
    const std::wstring file = toWide(dir / name);
    const error_t saved = saveBagFile(file, nullptr, bag);
    if (saved == OK && written) *written = file;
    return saved;
}

Result<std::wstring> locateMarkerFile(const std::wstring& path, const ExtensionSet& set,
                                      bool folderScan, platform::FileType* seen) {
    if (seen) *seen = platform::FileType::Missing;
    // A path that cannot be converted as written would lead somewhere else.
    if (!isEncodable(path)) return {std::wstring(), InvalidPath};
    const fs::path target = toFsPath(path);
    platform::DirectoryStamp stamp;
    const platform::FileType type = hintedDirectory(target)
                                        ? platform::FileType::Directory
                                        : platform::typeAndStamp(target.native(), stamp);
    if (seen) *seen = type;
    Result<std::wstring> found;
    if (type == platform::FileType::Directory) {
        found.error = markerInDirectory(target, set, stamp, found.value);
        return found;
    }
    const std::wstring extension = toWide(target.extension());
    if (type == platform::FileType::Regular) {
        if (!folderScan && hasExtensionIn(set, extension)) return {path, OK};
        if (isLinkExtensionOf(set, extension)) return {path, OK};
    }
    if (extension.empty()) {
        for (const std::wstring& candidate : set) {
            const std::wstring link = path + candidate + disk::kLinkSuffix;
            if (isRegularFile(toFsPath(link))) return {link, OK};
        }
    }
    return found;
}

ExtensionSet resultExtensionSet() {
    return makeExtensionSet({getResultExtension(false), getResultExtension(true)});
}

ExtensionSet projectExtensionSet() {
    return makeExtensionSet({getProjectExtension(false), getProjectExtension(true)});
}

ExtensionSet experimentExtensionSet() {
    return makeExtensionSet({getExperimentExtension(), getPackedExperimentExtension()});
}

ExtensionSet memberExtensionSet() {
    return makeExtensionSet({getResultExtension(false), getResultExtension(true),
                             getExperimentExtension(), getProjectExtension(false),
                             getProjectExtension(true)});
}

ExtensionSet ownerExtensionSet() {
    return makeExtensionSet(
        {getProjectExtension(false), getExperimentExtension(), getProjectExtension(true)});
}

error_t absolutePath(const std::wstring& path, std::wstring& absolute) {
    std::string made;
    const platform::Status status = platform::absolutePath(toFsPath(path).native(), made);
    if (!status) return status.error();
    absolute = toWide(fs::path(made));
    return OK;
}

}  // namespace talvo2
