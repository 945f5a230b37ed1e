#include "results/node_lookup.hpp"

#include <boost/filesystem/path.hpp>
#include <vector>

#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "platform/files.hpp"
#include "results/result_name_pattern.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

// Adds the marker of every entry of `parent` whose name `accept` takes. The mapped reason when
// `parent` cannot be listed.
template <class Accept>
error_t scan(const fs::path& parent, const ExtensionSet& set, Accept accept, FileSet& found) {
    std::vector<platform::DirectoryEntry> entries;
    const platform::Status listed = platform::listDirectory(parent.native(), entries);
    if (!listed) return listed.error();
    for (const platform::DirectoryEntry& entry : entries) {
        const std::wstring name = ulib_2_18::from_utf8(entry.name);
        if (!accept(name)) continue;
        const std::wstring marker = locateMarkerFile(toWide(parent / entry.name), set, true);
        if (!marker.empty()) found.insert(marker);
    }
    return OK;
}

}  // namespace

FileSet findNodes(const std::wstring& path, const std::wstring& base, const ExtensionSet& set,
                  uint32_t maxCount, bool literal) {
    resetLastError();
    FileSet found;
    // A name that cannot be converted as written would find something else.
    if (!isEncodable(path) || !isEncodable(base)) {
        setLastError(InvalidPath);
        return found;
    }
    try {
        fs::path resolved;
        try {
            // An empty path asks for every node of the directory, as "*" does.
            const fs::path given = toFsPath(path.empty() ? L"*" : path);
            std::wstring anchor = base;
            if (!given.is_absolute() && absolutePath(base, anchor) != OK) {
                setLastError(InvalidPath);
                return found;
            }
            resolved = (given.is_absolute() ? given : toFsPath(anchor) / given).lexically_normal();
        } catch (const std::exception&) {
            setLastError(InvalidPath);
            return found;
        }
        if (resolved.filename_is_dot() && resolved.has_parent_path())
            resolved = resolved.parent_path();
        if (resolved == resolved.root_path()) {
            const std::wstring marker = locateMarkerFile(toWide(resolved), set);
            if (!marker.empty()) found.insert(marker);
        } else {
            const fs::path parent = resolved.parent_path();
            const std::wstring element = toWide(resolved.filename());
            if (platform::typeAt(parent.native(), true) != platform::FileType::Directory) {
                setLastError(NotFound);
                return found;
            }
            if (element == L"*") {
                const error_t scanned = scan(
                    parent, set, [](const std::wstring&) { return true; }, found);
                if (scanned != OK) {
                    setLastError(scanned);
                    return FileSet();
                }
            } else {
                const error_t checked = checkResultNamePattern(element.c_str());
                if (checked != OK) {
                    setLastError(checked);
                    return found;
                }
                ResultNamePattern pattern;
                if (parsePattern(element, nullptr, pattern) != OK) {
                    setLastError(ParameterError);
                    return found;
                }
                if (pattern.width == 0 || literal) {
                    const std::wstring marker = locateMarkerFile(toWide(resolved), set);
                    if (!marker.empty()) found.insert(marker);
                } else {
                    uint64_t number = 0;
                    const error_t scanned = scan(
                        parent, set,
                        [&](const std::wstring& name) {
                            return matchPattern(pattern, name, number);
                        },
                        found);
                    if (scanned != OK) {
                        setLastError(scanned);
                        return FileSet();
                    }
                }
            }
        }
        while (maxCount > 0 && found.size() > maxCount) found.erase(found.begin());
        if (found.empty()) setLastError(NotFound);
    } catch (const boost::system::system_error& error) {
        found.clear();
        setLastError(systemErrorToError(error));
    } catch (const std::exception&) {
        found.clear();
        setLastError(OperationFailed);
    }
    return found;
}

}  // namespace talvo2
