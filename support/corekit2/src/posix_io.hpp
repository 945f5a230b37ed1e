#pragma once

// The few file operations of the toolkit that need more control than the standard library gives:
// reading without blocking on special files, and durable replacement of small files.

#include <cstddef>
#include <string>

namespace corekit2::io {

enum class read_result_t { ok, missing, not_regular, too_large, failed };

// Opens a regular file for reading without blocking on special files; returns the descriptor
// (the caller closes it), or -1 with `why` telling what is there instead.
int open_regular(const std::string& path, read_result_t& why);

// Reads up to `limit` bytes from `fd` into `out`, appending; false on a read error.
bool read_some(int fd, std::size_t limit, std::string& out);

// Reads the whole regular file at `path` (UTF-8) into `content`, refusing anything larger than
// `limit` bytes. Opens without blocking, so a FIFO or device given by mistake cannot hang the
// caller.
read_result_t read_file(const std::string& path, std::size_t limit, std::string& content);

// Replaces the file at `path` with `content`: writes a temporary file in the same directory,
// syncs it, renames it over `path` and, when it replaced a file, syncs the directory so the new
// content survives a crash. Readers never see a partial file. On failure the temporary file is
// removed and `path` is untouched. A symbolic link is kept and the file it leads to replaced; a
// replaced file keeps its permissions and, where this process may set them, its owner. Returns
// false on failure, with errno describing it.
bool write_file_atomically(const std::string& path, const std::string& content);

// Whether the directory at `path` can be written by this process. `failed` is set when the
// question could not be answered (the path is gone or is not a directory, for example).
void directory_write_access(const std::string& path, bool& readOnly, bool& failed,
                            unsigned retries);

}  // namespace corekit2::io
