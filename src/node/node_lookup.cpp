#include "node/node_lookup.hpp"

#include <boost/filesystem/path.hpp>
#include <vector>

#include "frame/wide_path.hpp"
#include "node/name_pattern.hpp"
#include "platform/files.hpp"
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
        const Result<std::wstring> marker =
            locateMarkerFile(toWide(parent / entry.name), set, true);
        if (!marker.value.empty()) found.insert(marker.value);
    }
    return OK;
}

}  // namespace

Result<FileSet> findNodes(const std::wstring& path, const std::wstring& base,
                          const ExtensionSet& set, uint32_t maxCount, bool literal) {
    // A name that cannot be converted as written would find something else.
    if (!isEncodable(path) || !isEncodable(base)) return {FileSet(), InvalidPath};
    // An empty path asks for every node of the directory, as "*" does.
    const fs::path given = toFsPath(path.empty() ? L"*" : path);
    std::wstring anchor = base;
    if (!given.is_absolute() && absolutePath(base, anchor) != OK) return {FileSet(), InvalidPath};
    fs::path resolved = (given.is_absolute() ? given : toFsPath(anchor) / given).lexically_normal();
    if (resolved.filename_is_dot() && resolved.has_parent_path()) resolved = resolved.parent_path();

    Result<FileSet> found;
    const auto take = [&](const std::wstring& candidate) {
        const Result<std::wstring> marker = locateMarkerFile(candidate, set);
        if (!marker.value.empty()) found.value.insert(marker.value);
    };
    if (resolved == resolved.root_path()) {
        take(toWide(resolved));
    } else {
        const fs::path parent = resolved.parent_path();
        const std::wstring element = toWide(resolved.filename());
        // A missing folder answers NotFound before anything else. It is asked only where its
        // answer matters: a name taken as it is finds nothing in a missing folder anyway, so the
        // common open of an existing path costs no status call for its parent.
        const auto noFolder = [&parent] {
            return platform::typeAt(parent.native(), true) != platform::FileType::Directory;
        };
        if (element == L"*") {
            if (noFolder()) return {FileSet(), NotFound};
            const error_t scanned = scan(
                parent, set, [](const std::wstring&) { return true; }, found.value);
            if (scanned != OK) return {FileSet(), scanned};
        } else {
            const error_t checked = checkResultNamePattern(element.c_str());
            if (checked != OK) return {FileSet(), noFolder() ? NotFound : checked};
            ResultNamePattern pattern;
            if (parsePattern(element, nullptr, pattern) != OK)
                return {FileSet(), noFolder() ? NotFound : ParameterError};
            if (pattern.width == 0 || literal) {
                take(toWide(resolved));
            } else {
                if (noFolder()) return {FileSet(), NotFound};
                uint64_t number = 0;
                const error_t scanned = scan(
                    parent, set,
                    [&](const std::wstring& name) { return matchPattern(pattern, name, number); },
                    found.value);
                if (scanned != OK) return {FileSet(), scanned};
            }
        }
    }
    while (maxCount > 0 && found.value.size() > maxCount) found.value.erase(found.value.begin());
    if (found.value.empty()) found.error = NotFound;
    return found;
}

}  // namespace talvo2
