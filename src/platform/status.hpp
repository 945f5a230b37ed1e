#pragma once

// What a file-system call answered. The operating system's own error number stays inside the
// platform layer: callers ask what kind of answer it was, and turn it into the library's
// error_t through the one mapping below.

#include "talvo2/error.hpp"

namespace talvo2::platform {

class Status {
public:
    Status() = default;
    // From an operating-system error number; 0 is success.
    static Status fromSystem(int number) { return Status(number); }

    bool ok() const { return m_number == 0; }
    explicit operator bool() const { return ok(); }

    // Nothing is at the path (or a directory on the way is not one).
    bool missing() const;
    // Something is already at the path.
    bool exists() const;
    // The entry is not of the kind the call needs: a link or file where a directory was asked
    // for (an entry swapped meanwhile), or a directory where a file was.
    bool wrongKind() const;
    // A directory that was to be removed still has entries.
    bool notEmpty() const;
    // The two paths lie on different file systems.
    bool crossDevice() const;
    // The file system does not offer the call (renaming without replacing on some network file
    // systems, say).
    bool unsupported() const;
    // Permissions or a read-only file system refuse the call.
    bool denied() const;
    // Another holder has the lock.
    bool locked() const;

    // The library's answer for a failed file-system call: permission denied and read-only file
    // system give InsufficientPermissions, nothing there NotFound, something there
    // AlreadyExists, anything else OperationFailed; OK for success.
    error_t error() const;
    // The answer for a failed open or lock of a lock file or owner record: AccessDenied,
    // FileLocked, AlreadyExists, or FileError for anything else.
    error_t lockError() const;

    // The operating system's number, for the platform layer itself and for messages.
    int number() const { return m_number; }

private:
    explicit Status(int number) : m_number(number) {}
    int m_number = 0;
};

}  // namespace talvo2::platform
