#pragma once

// The per-thread last error that operations returning objects or bool leave behind.

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "talvo2/error.hpp"

namespace talvo2 {

// Stores `code` as the calling thread's last error; returns whether it is OK, so a bool operation
// can end with `return setLastError(code);`.
bool setLastError(error_t code);

// Stores OK; returns true.
bool resetLastError();

// Maps the status of a bag load or save: 1 is OK, anything else OperationFailed.
error_t statusToError(int status);

// Maps a file-system failure by its generic condition: permission denied and read-only file
// system to InsufficientPermissions, no such entry to NotFound, exists to AlreadyExists, anything
// else to OperationFailed.
error_t systemErrorToError(const boost::system::error_code& code);
error_t systemErrorToError(const boost::system::system_error& error);

// Prepares the thread-local slot; called once at load.
void initLastError();

}  // namespace talvo2
