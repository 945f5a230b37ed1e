// The one place where the operating system's error numbers become the library's answers.

#include <cerrno>

#include "platform/status.hpp"

namespace talvo2::platform {

bool Status::missing() const {
    return m_number == ENOENT || m_number == ENOTDIR;
}

bool Status::exists() const {
    return m_number == EEXIST;
}

bool Status::wrongKind() const {
    return m_number == ELOOP || m_number == ENOTDIR || m_number == EISDIR;
}

bool Status::notEmpty() const {
    return m_number == ENOTEMPTY || m_number == EEXIST;
}

bool Status::crossDevice() const {
    return m_number == EXDEV;
}

bool Status::unsupported() const {
    return m_number == EINVAL || m_number == ENOSYS || m_number == EOPNOTSUPP;
}

bool Status::denied() const {
    return m_number == EACCES || m_number == EPERM || m_number == EROFS;
}

bool Status::locked() const {
    return m_number == EAGAIN;
}

error_t Status::error() const {
    switch (m_number) {
        case 0:
            return OK;
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

error_t Status::lockError() const {
    switch (m_number) {
        case 0:
            return OK;
        case EACCES:
        case EPERM:
        case EROFS:
            return AccessDenied;
        case EAGAIN:
            return FileLocked;
        case EEXIST:
            return AlreadyExists;
        default:
            return FileError;
    }
}

}  // namespace talvo2::platform
