#pragma once

#include <string>
#include <vector>

#include "corekit2/export.hpp"

namespace corekit2 {

// A file-system path kept as wide text with "/" separators. Wide text reaches the disk as UTF-8
// whatever the process locale. A value type; the static queries are thread-safe.
class COREKIT2_API path_t {
public:
    path_t() = default;
    path_t(const std::wstring& text) : m_text(text) {}
    path_t(const wchar_t* text) : m_text(text ? text : L"") {}

    // Adds one or more elements, inserting a separator when needed; returns *this.
    path_t& append(const std::wstring& element);
    // Replaces the whole path; returns *this.
    path_t& assign(const std::wstring& text);

    const std::wstring& as_string() const noexcept { return m_text; }
    // The last element ("" for a path ending in a separator, "/" for the root).
    std::wstring get_leaf() const;
    // Everything before the last element; empty when there is none.
    path_t get_branch() const;
    bool is_empty() const noexcept { return m_text.empty(); }

    // Whether the last element matches `pattern`: "*" stands for any run of characters, "?" for
    // one, everything else for itself (case-sensitive). A pattern that begins with "." and holds
    // no wildcard stands for that extension, so ".log" matches "run.log".
    bool match(const std::wstring& pattern) const;

    // Whether anything is at `path` (following symbolic links). False when that cannot be known.
    static bool exists(const path_t& path);
    static bool is_directory(const path_t& path);
    // Whether this process may create entries in the directory `path`: `readOnly` is set when it
    // may not, `failed` when the question could not be answered (for example `path` is gone).
    // `retries` bounds how often an interrupted query is repeated. Returns !failed.
    static bool readonly(const path_t& path, bool& readOnly, bool& failed, unsigned retries);

    bool operator==(const path_t& other) const { return m_text == other.m_text; }
    bool operator!=(const path_t& other) const { return m_text != other.m_text; }
    bool operator<(const path_t& other) const { return m_text < other.m_text; }

private:
    std::wstring m_text;
};

// A path from wide text; a null pointer gives an empty path.
COREKIT2_API path_t make_path(const wchar_t* text);

// Creates one directory (its parent must exist). False when it could not be created or was there.
COREKIT2_API bool create_directory(const path_t& path);
// Removes a file or an empty directory. False when nothing was removed.
COREKIT2_API bool remove_file(const path_t& path);
// Removes a directory; with `recursive` everything in it too (symbolic links are removed, never
// followed). False when the directory is still there afterwards.
COREKIT2_API bool remove_directory(const path_t& path, bool recursive);
// The regular files in `directory` whose names match `pattern` (path_t::match; "*" when empty),
// descending into subdirectories when `recursive` (never through symbolic links). In directory
// listing order; empty when the directory cannot be read.
COREKIT2_API std::vector<path_t> find_files(const path_t& directory, const std::wstring& pattern,
                                            bool recursive);

}  // namespace corekit2
