#include "corekit2/path.hpp"

#include <boost/filesystem.hpp>

#include "posix_io.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace corekit2 {

namespace {

// Boost's own wide conversion follows the process locale; converting here keeps paths UTF-8.
fs::path native(const path_t& path) {
    return fs::path(ulib_2_18::to_utf8(path.as_string()));
}

bool globMatch(const wchar_t* text, const wchar_t* pattern) {
    // Iterative wildcard match with single-star backtracking: linear in practice, no recursion.
    const wchar_t* starPattern = nullptr;
    const wchar_t* starText = nullptr;
    while (*text) {
        if (*pattern == L'*') {
            starPattern = pattern++;
            starText = text;
        } else if (*pattern == L'?' || (*pattern && *pattern == *text)) {
            ++pattern;
            ++text;
        } else if (starPattern) {
            pattern = starPattern + 1;
            text = ++starText;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') ++pattern;
    return *pattern == L'\0';
}

void collect(const fs::path& directory, const path_t& base, const std::wstring& pattern,
             bool recursive, std::vector<path_t>& out) {
    boost::system::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        const std::wstring leaf = ulib_2_18::from_utf8(it->path().filename().string());
        path_t full = base;
        full.append(leaf);
        if (fs::is_regular_file(status) && full.match(pattern)) {
            out.push_back(full);
        } else if (recursive && fs::is_directory(status)) {
            collect(it->path(), full, pattern, recursive, out);
        }
    }
}

}  // namespace

path_t& path_t::append(const std::wstring& element) {
    if (element.empty()) return *this;
    if (!m_text.empty() && m_text.back() != L'/' && element.front() != L'/') m_text += L'/';
    if (!m_text.empty() && m_text.back() == L'/' && element.front() == L'/') {
        m_text += element.substr(1);
    } else {
        m_text += element;
    }
    return *this;
}

path_t& path_t::assign(const std::wstring& text) {
    m_text = text;
    return *this;
}

std::wstring path_t::get_leaf() const {
    if (m_text == L"/") return m_text;
    const auto slash = m_text.find_last_of(L'/');
    return slash == std::wstring::npos ? m_text : m_text.substr(slash + 1);
}

path_t path_t::get_branch() const {
    const auto slash = m_text.find_last_of(L'/');
    if (slash == std::wstring::npos || m_text == L"/") return path_t();
    if (slash == 0) return path_t(L"/");
    return path_t(m_text.substr(0, slash));
}

bool path_t::match(const std::wstring& pattern) const {
    const std::wstring leaf = get_leaf();
    if (pattern.empty()) return globMatch(leaf.c_str(), L"*");
    if (pattern.front() == L'.' && pattern.find_first_of(L"*?") == std::wstring::npos)
        return leaf.size() > pattern.size() &&
               leaf.compare(leaf.size() - pattern.size(), pattern.size(), pattern) == 0;
    return globMatch(leaf.c_str(), pattern.c_str());
}

bool path_t::exists(const path_t& path) {
    boost::system::error_code ec;
    return !path.is_empty() && fs::exists(native(path), ec) && !ec;
}

bool path_t::is_directory(const path_t& path) {
    boost::system::error_code ec;
    return !path.is_empty() && fs::is_directory(native(path), ec) && !ec;
}

bool path_t::readonly(const path_t& path, bool& readOnly, bool& failed, unsigned retries) {
    if (path.is_empty()) {
        readOnly = false;
        failed = true;
        return false;
    }
    io::directory_write_access(ulib_2_18::to_utf8(path.as_string()), readOnly, failed, retries);
    return !failed;
}

path_t make_path(const wchar_t* text) {
    return path_t(text);
}

bool create_directory(const path_t& path) {
    boost::system::error_code ec;
    return !path.is_empty() && fs::create_directory(native(path), ec) && !ec;
}

bool remove_file(const path_t& path) {
    boost::system::error_code ec;
    return !path.is_empty() && fs::remove(native(path), ec) && !ec;
}

bool remove_directory(const path_t& path, bool recursive) {
    if (path.is_empty()) return false;
    boost::system::error_code ec;
    const fs::path target = native(path);
    if (!fs::is_directory(fs::symlink_status(target, ec))) return false;
    if (recursive) {
        fs::remove_all(target, ec);
    } else {
        fs::remove(target, ec);
    }
    return fs::symlink_status(target, ec).type() == fs::file_not_found;
}

std::vector<path_t> find_files(const path_t& directory, const std::wstring& pattern,
                               bool recursive) {
    std::vector<path_t> out;
    if (directory.is_empty()) return out;
    try {
        collect(native(directory), directory, pattern, recursive, out);
    } catch (const std::exception&) {
        // A listing cut short by an allocation failure reports what it found.
    }
    return out;
}

}  // namespace corekit2
