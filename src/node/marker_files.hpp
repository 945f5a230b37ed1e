#pragma once

// The steps every node factory and lookup shares: extension sets, file-name order, splitting a
// marker path, creating a node directory with a precise error, writing and locating marker files.

#include <set>
#include <string>
#include <utility>

#include "corekit2/variant_bag.hpp"
#include "frame/boundary.hpp"
#include "platform/file_system.hpp"
#include "talvo2/error.hpp"

namespace talvo2 {

// Orders paths by their last element only, ordinally: r999 sorts after r1000.
struct FileNameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// Node file extensions of one kind of node, in file-name order; empty strings are left out.
using ExtensionSet = std::set<std::wstring, FileNameLess>;
ExtensionSet makeExtensionSet(std::initializer_list<std::wstring> extensions);

// Paths in file-name order; two paths with the same last element are one entry (the first stays).
using FileSet = std::set<std::wstring, FileNameLess>;

// The last element of `path`, and its extension as Boost.Filesystem defines it ("" when none).
std::wstring fileNameOf(const std::wstring& path);
std::wstring extensionOf(const std::wstring& path);
// The path without its last element.
std::wstring parentOf(const std::wstring& path);
// `path` made absolute against the current directory and lexically normalised; "" when the
// current directory cannot be had.
std::wstring normalizedAbsolute(const std::wstring& path);
// `path` made absolute against the current directory, nothing more; OK or the reason the current
// directory could not be had.
error_t absolutePath(const std::wstring& path, std::wstring& absolute);

// Whether `extension` is in `set`, ignoring case.
bool hasExtensionIn(const ExtensionSet& set, const std::wstring& extension);
// Whether `extension` is an extension of `set` followed by "link" (the extension of a link file).
bool isLinkExtensionOf(const ExtensionSet& set, const std::wstring& extension);

// Splits a path given for a new node: a path ending in `extension` (any case) names the marker
// file itself, giving (its directory, its file name); any other path names the directory, giving
// (path, extension).
std::pair<std::wstring, std::wstring> splitMarkerPath(const std::wstring& path,
                                                      const std::wstring& extension);

// Creates the directory `path` with any missing parents. OK when made; AlreadyExists when a file
// or a writable directory is there; InsufficientPermissions for a directory this process cannot
// write; FileError when that cannot be told; other file-system failures mapped.
error_t tryCreateDirectory(const std::wstring& path);

// Reads the marker file at `path` once: `bag` receives its bag (OK, or OperationFailed with `bag`
// untouched) and `digest` the MD5 digest of its first 4096 bytes ("" when it cannot be read).
error_t readMarker(const std::wstring& path, corekit2::variant_bag_t& bag, std::wstring& digest);

// Saves `bag` as the marker file `markerName` in `directory`, atomically. A marker name that is
// only an extension is completed with the directory's name (r005 gives r005.<ext>). OK or
// OperationFailed; on OK `written` (when given) receives the marker's path.
error_t writeMarkerFile(const std::wstring& directory, const std::wstring& markerName,
                        const corekit2::variant_bag_t& bag, std::wstring* written = nullptr);

// The bytes of the marker this thread has just written for a new node, for the new node's
// binding to use instead of reading them back: they are what a read would find, unless someone
// replaced the file in between, and then ours are the ones to trust. Active while it lives, in
// the thread that made it.
class FreshMarker {
public:
    FreshMarker();
    ~FreshMarker();
    FreshMarker(const FreshMarker&) = delete;
    FreshMarker& operator=(const FreshMarker&) = delete;

    // The writer's report: the bytes of the marker it wrote, its final path not known yet.
    static void wrote(const std::string& bytes);
    // Where the marker stands now that its node is in place.
    void placeAt(const std::wstring& path) { m_path = path; }
    // The bytes of the marker at `path` when the active FreshMarker holds them; null otherwise.
    static const std::string* bytesFor(const std::wstring& path);

private:
    std::wstring m_path;
    std::string m_bytes;
    bool m_written = false;
    FreshMarker* m_previous;
};

// The marker file `path` names: in a directory, the first regular file with an extension of
// `set`; the path itself when it is such a file or a link file to one; for a path without
// extension, an existing link file beside it. "" when none, with OK, InvalidPath for a path
// that does not convert, or the mapped reason a directory could not be listed. With
// `folderScan`, a bare marker file is not taken, as a marker lying directly in a scanned folder
// belongs to the folder's owner, not to a member. `seen`, when given, receives what `path` was
// found to be (links followed), so a caller need not ask again.
Result<std::wstring> locateMarkerFile(const std::wstring& path, const ExtensionSet& set,
                                      bool folderScan = false, platform::FileType* seen = nullptr);

// The extension sets of the node kinds, from the product's extensions (empty entries left out).
ExtensionSet resultExtensionSet();      // results: result and legacy result
ExtensionSet projectExtensionSet();     // projects: project and legacy project
ExtensionSet experimentExtensionSet();  // experiments: experiment and packed experiment
ExtensionSet memberExtensionSet();      // members of a group: results, experiments, projects
ExtensionSet ownerExtensionSet();       // owners of a group: project, experiment, legacy project

}  // namespace talvo2
