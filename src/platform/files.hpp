#pragma once

// What the library does with whole files, built from the calls of the file-system seam: reading
// a small file with a cap, replacing one atomically, making an empty mark file, and making a path
// absolute. Paths are UTF-8.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/file_system.hpp"

namespace talvo2::platform {

enum class ReadOutcome { Read, Missing, NotRegular, TooLarge, Failed };

// Reads the whole regular file at `path` (relative to `at`, null for the current directory) into
// `bytes`, refusing one larger than `limit`. The open never blocks (a FIFO given by mistake cannot
// hang the caller) and, with `follow` false, never follows a link at the last element. On any
// outcome but Read, `bytes` is untouched and `why` (when given) tells the system's answer.
ReadOutcome readFile(const Directory* at, const std::string& path, std::size_t limit, bool follow,
                     std::string& bytes, Status* why = nullptr);

// Reads at most the first `limit` bytes of the regular file at `path` into `bytes`, never through
// a link; the open never blocks. Read, or why not (as readFile).
ReadOutcome readFileHead(const std::string& path, std::size_t limit, std::string& bytes);

// Replaces the file at `path` with `bytes` so that readers and a crash see the old content or the
// new, never a mix: a temporary file in the same directory, created exclusively, written, synced
// and renamed over `path`; when it replaced a file, the directory is synced too. A replaced file
// keeps its permissions and, where this process may set them, its owner. Something at `path`
// that is not a regular file (a link, a directory, a FIFO) is left alone and the write fails with
// wrongKind(). On failure the temporary file is removed and `path` is untouched.
// With `durable` false the data is not synced: readers still see the old content or the new, but
// after a crash of the machine the file may be empty or gone, which suits files that mean
// nothing once their writer is gone.
Status writeFileAtomically(const std::string& path, const std::string& bytes, bool durable = true);
// The same for the file `leaf` of the open directory `at`.
Status writeFileAtomicallyIn(Directory& at, const std::string& leaf, const std::string& bytes,
                             bool durable = true);

// Writes `bytes` to a new file `leaf` of `at` (made exclusively, never through a link), synced
// when `durable`. A file that cannot be written whole is removed again.
Status writeNewFile(Directory& at, const std::string& leaf, const std::string& bytes,
                    bool durable = true);

// Opens `inside` (a relative path of plain names) below the directory `base`, following no link
// on the way down from `base`, so that nothing reached through it lies outside `base`. `base`
// itself is followed: it is the caller's path. wrongKind() when a link or a non-directory is in
// the way.
Status openBelow(const std::string& base, const std::string& inside,
                 std::unique_ptr<Directory>& directory);
// Makes the directories of `inside` below `base` that are missing, level by level, never through
// a link: a link planted on the way fails with wrongKind() and nothing is made where it points.
Status makeBelow(const std::string& base, const std::string& inside);

// Creates an empty file at `path`, keeping one that is there; never follows a link there.
Status touchFile(const std::string& path);

// `path` made absolute against the current directory, lexically (nothing is resolved).
Status absolutePath(const std::string& path, std::string& absolute);

// Gives the entry `from` the name `to`, never replacing anything at `to` (exists() then), also
// where the file system cannot rename without replacing: then through a second name and the
// removal of the first, or where that is refused too, after looking.
Status renameWithoutReplacing(const std::string& from, const std::string& to);

// Makes the directory `path` and every missing directory above it. `made` tells whether this
// call made `path` itself (false when it was there already, a directory or not).
Status makeDirectories(const std::string& path, bool& made);

// What is at `path` (links followed when `follow`): Missing when nothing is there or the question
// cannot be answered.
FileType typeAt(const std::string& path, bool follow);

// Whether `a` and `b` name the same file or directory, however they are written (links
// followed); false when either cannot be asked.
bool sameFile(const std::string& a, const std::string& b);

// Removes the file or link at `path`; a missing one is no failure.
Status removeFile(const std::string& path);

// The entries of the directory at `path` (links followed), in listing order, leaving out the
// hidden entries of work in progress (hidden_entries.hpp).
Status listDirectory(const std::string& path, std::vector<DirectoryEntry>& entries);
// The same through a directory opened listable.
Status listDirectory(Directory& directory, std::vector<DirectoryEntry>& entries);

}  // namespace talvo2::platform
