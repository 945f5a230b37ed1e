#include "node/marker_files.hpp"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <vector>

#include "corekit2/bag_file.hpp"
#include "corekit2/path.hpp"
#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "node/owner_listing.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

bool isRegularFile(const fs::path& path) {
    boost::system::error_code ec;
    return fs::is_regular_file(fs::status(path, ec)) && !ec;
}

std::wstring upper(const std::wstring& text) {
    return ulib_2_18::to_upper(text);
}

// Lexically normal, and "dir/" (which normalises to "dir/.") taken as the directory itself.
fs::path normalDirectory(const fs::path& path) {
    fs::path normal = path.lexically_normal();
    if (normal.filename_is_dot() && normal.has_parent_path()) normal = normal.parent_path();
    return normal;
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
    return toWide(normalDirectory(fs::absolute(toFsPath(path))));
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
        if (upper(candidate + L"link") == wanted) return true;
    return false;
}

std::pair<std::wstring, std::wstring> splitMarkerPath(const std::wstring& path,
                                                      const std::wstring& extension) {
    if (!extension.empty() && ulib_2_18::equals_no_case(extensionOf(path), extension))
        return {parentOf(path), fileNameOf(path)};
    return {path, extension};
}

error_t tryCreateDirectory(const std::wstring& path) {
    try {
        const fs::path target = toFsPath(path);
        // The common case, a new directory in an existing one, takes a single call.
        boost::system::error_code made;
        if (fs::create_directory(target, made)) return OK;
        const fs::file_status status = fs::status(target);
        if (!fs::exists(status)) {
            if (fs::create_directories(target)) return OK;
            // Someone else made it between the two calls.
            return fs::exists(fs::status(target)) ? AlreadyExists : FileError;
        }
        if (!fs::is_directory(status)) return AlreadyExists;
        bool readOnly = false;
        bool failed = false;
        corekit2::path_t::readonly(corekit2::path_t(path), readOnly, failed, 255);
        if (failed) return FileError;
        return readOnly ? InsufficientPermissions : AlreadyExists;
    } catch (const boost::system::system_error& error) {
        return systemErrorToError(error);
    } catch (const std::exception&) {
        return OperationFailed;
    }
}

error_t writeMarkerFile(const std::wstring& directory, const std::wstring& markerName,
                        const corekit2::variant_bag_t& bag, std::wstring* written) {
    try {
        // Absolute first: "." must give the marker the name of the directory it stands for.
        const fs::path dir = normalDirectory(fs::absolute(toFsPath(directory)));
        fs::path name = toFsPath(markerName);
        if (name.stem().empty()) name = dir.filename().string() + name.extension().string();
        const std::wstring file = toWide(dir / name);
        const error_t saved = statusToError(corekit2::save_variant_bag(bag, file.c_str()));
        if (saved == OK && written) *written = file;
        return saved;
    } catch (const std::exception&) {
        return OperationFailed;
    }
}

std::wstring locateMarkerFile(const std::wstring& path, const ExtensionSet& set, bool folderScan) {
    resetLastError();
    // A path that cannot be converted as written would lead somewhere else.
    if (!isEncodable(path)) {
        setLastError(InvalidPath);
        return std::wstring();
    }
    try {
        const fs::path target = toFsPath(path);
        const fs::file_status status = fs::status(target);
        if (fs::is_directory(status)) {
            // Which of several markers is taken is not fixed; the one named after the directory
            // (as the library names them) is asked for first, by name, with no listing at all.
            const std::string own = normalDirectory(fs::absolute(target)).filename().string();
            for (const std::wstring& extension : set) {
                const fs::path named = target / (own + ulib_2_18::to_utf8(extension));
                if (isRegularFile(named)) return toWide(named);
            }
            // The owner of a directory is asked for by every node opened in it.
            bool ownerKinds = true;
            for (const std::wstring& extension : set)
                ownerKinds = ownerKinds && isOwnerFileName("x" + ulib_2_18::to_utf8(extension));
            if (ownerKinds) {
                for (const std::string& name : ownerFileNames(target))
                    if (hasExtensionIn(set, extensionOf(ulib_2_18::from_utf8(name))))
                        return toWide(target / name);
                return std::wstring();
            }
            // The name decides first: only entries with a marker extension are asked for their
            // type, so a folder of many results costs one listing, not a status per entry.
            // The byte lengths of the wanted extensions rule out most names without converting
            // them (case-insensitive equality keeps the UTF-8 length for these extensions).
            std::vector<std::size_t> lengths;
            for (const std::wstring& extension : set)
                lengths.push_back(ulib_2_18::to_utf8(extension).size());
            for (const fs::directory_entry& entry : fs::directory_iterator(target)) {
                const std::string& full = entry.path().native();
                const auto slash = full.find_last_of('/');
                const auto dot = full.find_last_of('.');
                if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
                    continue;
                const std::size_t length = full.size() - dot;
                if (std::find(lengths.begin(), lengths.end(), length) == lengths.end()) continue;
                if (hasExtensionIn(set, toWide(entry.path().extension())) &&
                    isRegularFile(entry.path()))
                    return toWide(entry.path());
            }
            return std::wstring();
        }
        const std::wstring extension = toWide(target.extension());
        if (fs::is_regular_file(status)) {
            if (!folderScan && hasExtensionIn(set, extension)) return path;
            if (isLinkExtensionOf(set, extension)) return path;
        }
        if (extension.empty()) {
            for (const std::wstring& candidate : set) {
                const std::wstring link = path + candidate + L"link";
                if (isRegularFile(toFsPath(link))) return link;
            }
        }
        return std::wstring();
    } catch (const boost::system::system_error& error) {
        setLastError(systemErrorToError(error));
        return std::wstring();
    } catch (const std::exception&) {
        setLastError(OperationFailed);
        return std::wstring();
    }
}

}  // namespace talvo2
