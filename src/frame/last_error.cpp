#include "frame/last_error.hpp"

#include <boost/thread/tss.hpp>
#include <cerrno>

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

bool setLastError(error_t code) {
    boost::thread_specific_ptr<error_t>& s = slot();
    if (error_t* stored = s.get()) {
        *stored = code;
    } else {
        s.reset(new error_t(code));
    }
    return code == OK;
}

bool resetLastError() {
    return setLastError(OK);
}

error_t statusToError(int status) {
    return status == 1 ? OK : OperationFailed;
}

error_t systemErrorToError(const boost::system::error_code& code) {
    switch (code.default_error_condition().value()) {
        case EACCES:
        case EROFS:
            return InsufficientPermissions;
        case ENOENT:
            return NotFound;
        case EEXIST:
            return AlreadyExists;
        default:
            return OperationFailed;
    }
}

error_t systemErrorToError(const boost::system::system_error& error) {
    return systemErrorToError(error.code());
}

error_t ResultDirectoryManager::getLastError() {
    const error_t* stored = slot().get();
    return stored ? *stored : OK;
}

}  // namespace talvo2
