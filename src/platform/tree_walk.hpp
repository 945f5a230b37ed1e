#pragma once

// Recursive removal and copying of directory trees that cannot be led out of the tree. Every
// entry is reached by name from its parent's open directory descriptor and opened without
// following symbolic links, so an entry swapped for a link to an outside folder while a walk runs
// is never read, copied or deleted through: the walk sees the link itself. Every step is a call of
// the file-system seam, so a test's faults reach into the walk.

#include <cstdint>
#include <functional>
#include <string>

#include "talvo2/error.hpp"

namespace talvo2::platform {

// Deletes `utf8Path` and everything below it. Symbolic links, at the path itself or anywhere
// inside, are deleted themselves and never followed; a file is unlinked. The path's parent
// directories are taken as given. OK also when nothing is there; otherwise the first failure
// (InsufficientPermissions for permission denied or a read-only file system, NotFound,
// AlreadyExists, OperationFailed for anything else), which leaves the rest in place.
error_t removeTree(const std::string& utf8Path);
// The same for the entry `name` of the open directory `parent`.
class Directory;
error_t removeTreeAt(Directory& parent, const std::string& name);

// Calls `visit` with the size of every regular file below the directory `utf8Path`, never
// following a symbolic link. A failure ends the walk; what was visited stays visited.
void walkRegularFiles(const std::string& utf8Path, const std::function<void(uint64_t)>& visit);

// What a copy does with one entry of the source tree.
enum class CopyStep { Copy, Skip, Stop };

struct CopyCallbacks {
    // Before each directory and regular file of the source: its path below the source root
    // (UTF-8, elements joined with '/') and whether it is a directory. Skip leaves it out (a
    // directory whole); Stop ends the copy. Null copies everything.
    std::function<CopyStep(const std::string& relative, bool directory)> enter;
    // After a regular file was copied whole: how many bytes it had. May be null.
    std::function<void(int64_t bytes)> copied;
};

// Copies the contents of the directory `from` into the existing directory `to` (UTF-8 paths,
// both taken as given), recursively. Only directories and regular files are copied: symbolic
// links, devices, pipes and sockets are skipped, and so is an entry that turns out to be a link
// (or no longer a regular file) when opened. Files and directories get the source's permission bits
// and access and modification times, as cp -p gives them. Existing targets are never overwritten:
// one is a failure (AlreadyExists). OK when everything was copied; OperationFailed when `enter`
// stopped the copy; otherwise the first failure, mapped as removeTree maps them. What was copied
// before a stop or failure stays, except a file whose own copy failed. Exceptions from the
// callbacks pass through with every descriptor closed.
error_t copyTreeContents(const std::string& from, const std::string& to,
                         const CopyCallbacks& callbacks);
// The same into the open directory `to`.
error_t copyTreeContents(const std::string& from, Directory& to, const CopyCallbacks& callbacks);

}  // namespace talvo2::platform
