#include "frame/boundary.hpp"

#include <boost/thread/tss.hpp>

#include "talvo2/result_directory_manager.hpp"

namespace talvo2 {

namespace {

// A thread gets its slot the first time it stores a value; the slot is freed when the thread ends.
boost::thread_specific_ptr<error_t>& slot() {
    static boost::thread_specific_ptr<error_t> instance;
    return instance;
}

}  // namespace

void initLastError() {
    slot();
}

void LastError::store() const noexcept {
    if (!m_set) return;
    boost::thread_specific_ptr<error_t>& s = slot();
    if (error_t* stored = s.get()) {
        *stored = m_code;
        return;
    }
    try {
        s.reset(new error_t(m_code));
    } catch (...) {
        // Out of memory for the slot: the thread keeps reading OK, as before its first error.
    }
}

error_t ResultDirectoryManager::getLastError() {
    const error_t* stored = slot().get();
    return stored ? *stored : OK;
}

}  // namespace talvo2
