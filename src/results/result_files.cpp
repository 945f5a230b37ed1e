#include "results/result_files.hpp"

namespace talvo2 {

const wchar_t* ResultFiles::next() {
    // The list is complete before the first call, so the cursor starts there.
    if (!m_started) {
        m_cursor = m_paths.begin();
        m_started = true;
    }
    if (m_cursor == m_paths.end()) return nullptr;
    return (m_cursor++)->c_str();
}

}  // namespace talvo2
