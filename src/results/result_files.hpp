#pragma once

#include <set>
#include <string>

#include "corekit2/object.hpp"
#include "talvo2/i_path_iterator.hpp"

namespace talvo2 {

// A path iterator over full paths in code-unit order, each path once: the collector data
// directories of a result and the files in them.
class ResultFiles final : public corekit2::ref_counted_t<IPathIterator> {
public:
    void insert(const std::wstring& path) { m_paths.insert(path); }

    uint32_t getCount() override { return static_cast<uint32_t>(m_paths.size()); }
    const wchar_t* next() override;

private:
    std::set<std::wstring> m_paths;
    std::set<std::wstring>::const_iterator m_cursor;
    bool m_started = false;
};

}  // namespace talvo2
