#pragma once

#include <cstdint>

#include "talvo2/export.hpp"

namespace talvo2 {

// Why an operation failed. The values are fixed: they are stored by callers and compared across
// versions. Operations returning error_t return it; operations returning an object or bool leave
// it in the calling thread's last error (ResultDirectoryManager::getLastError), as each
// operation's comment says. An exported operation that meets an unexpected failure (memory runs
// out) answers its failure value with OperationFailed.
enum error_t : uint32_t {
    OK = 0,
    NotImplemented = 1,            // the default answer of an operation a node class does not offer
    InsufficientPermissions = 2,   // access denied or read-only file system
    AlreadyExists = 3,             // the directory or file to be created is already there
    NotFound = 4,                  // no node, marker file or parent directory was found
    ParameterError = 5,            // contradicting arguments, or a pattern that cannot be parsed
    InvalidPath = 6,               // a path that is not usable
    TooManyPlaceholderGroups = 7,  // a result-name pattern with a second run of "@"
    TooLongPlaceholder = 8,        // a run of more than 8 "@"
    ReservedCharacters = 9,        // one of < > : " / \ | ? * in a result-name pattern
    ReservedDeviceName = 10,       // a result-name pattern that names a device (CON, LPT1, ...)
    InvalidLastCharacter = 11,     // a result-name pattern ending in a blank or a dot
    EmptyPattern = 12,             // an empty result-name pattern
    AccessDenied = 13,             // the system refused to open a lock file
    FileLocked = 15,               // a lock file is held by someone else
    FileError = 16,                // any other file-system failure
    RecordFormatError = 17,        // an owner record could not be written or read back
    FlagOwnedElsewhere = 18,       // a flag is held by another owner
    OperationFailed = 21,          // a bag could not be loaded or saved, or another failure
};

// A message for people describing `code`, from the product's message catalog "talvo2"; codes
// without a message of their own (AccessDenied, RecordFormatError, FlagOwnedElsewhere,
// OperationFailed and values not listed) get the catalog's "%Unknown" text. Without a catalog the
// catalog key itself is returned ("%NotFound"). Never null; the last error stays as it was. The
// text is owned by the library and stays valid until the library is unloaded. Thread-safe.
TALVO2_API const wchar_t* toString(error_t code);

}  // namespace talvo2
