#pragma once

#include <string>
#include <vector>

#include "corekit2/object.hpp"
#include "corekit2/path.hpp"
#include "node/marker_files.hpp"
#include "talvo2/i_path_iterator.hpp"

namespace talvo2 {

// The marker paths of a group's members, in file-name order, one per file name. The strings
// next returns live as long as the iterator.
class NodePathIterator final : public corekit2::ref_counted_t<IPathIterator> {
public:
    explicit NodePathIterator(FileSet paths)
        : m_paths(std::move(paths)), m_cursor(m_paths.begin()) {}
    uint32_t getCount() override { return static_cast<uint32_t>(m_paths.size()); }
    const wchar_t* next() override {
        return m_cursor == m_paths.end() ? nullptr : (m_cursor++)->c_str();
    }

private:
    const FileSet m_paths;
    FileSet::const_iterator m_cursor;
};

// Project marker paths in the order the directory listing gave them. The string next returns is
// overwritten by the following call.
class ProjectPathIterator final : public corekit2::ref_counted_t<IPathIterator> {
public:
    void append(const corekit2::path_t& path) { m_paths.push_back(path); }
    uint32_t getCount() override { return static_cast<uint32_t>(m_paths.size()); }
    const wchar_t* next() override {
        if (m_cursor >= m_paths.size()) return nullptr;
        m_current = m_paths[m_cursor++].as_string();
        return m_current.c_str();
    }

private:
    std::vector<corekit2::path_t> m_paths;
    std::size_t m_cursor = 0;
    std::wstring m_current;
};

}  // namespace talvo2
