#include "results/node_lookup.hpp"

#include <boost/filesystem.hpp>

#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "results/result_name_pattern.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

// Adds the marker of every entry of `parent` whose name `accept` takes.
template <class Accept>
void scan(const fs::path& parent, const ExtensionSet& set, Accept accept, FileSet& found) {
    for (const fs::directory_entry& entry : fs::directory_iterator(parent)) {
        if (!accept(toWide(entry.path().filename()))) continue;
        const std::wstring marker = locateMarkerFile(toWide(entry.path()), set, true);
        if (!marker.empty()) found.insert(marker);
    }
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
            resolved = base.empty() ? fs::absolute(given) : fs::absolute(given, toFsPath(base));
            resolved = resolved.lexically_normal();
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
            if (!fs::is_directory(parent)) {
                setLastError(NotFound);
                return found;
            }
            if (element == L"*") {
                scan(
                    parent, set, [](const std::wstring&) { return true; }, found);
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
                    scan(
                        parent, set,
                        [&](const std::wstring& name) {
                            return matchPattern(pattern, name, number);
                        },
                        found);
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
