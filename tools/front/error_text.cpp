#include "error_text.hpp"

namespace talvo_front {

namespace {

struct ErrorText {
    talvo2::error_t code;
    const char* name;
    const char* message;
};

// The front ends' words for each library code: what happened, for someone who did not write
// the library. The library's own catalog is for its hosts and has no text for some codes.
const ErrorText kErrorTexts[] = {
    {talvo2::OK, "OK", "no error"},
    {talvo2::NotImplemented, "NotImplemented", "this kind of node does not offer the operation"},
    {talvo2::InsufficientPermissions, "InsufficientPermissions",
     "permission denied, or the file system is read-only"},
    {talvo2::AlreadyExists, "AlreadyExists", "something of that name is already there"},
    {talvo2::NotFound, "NotFound",
     "no such result, project, experiment or flag (or its folder is missing)"},
    {talvo2::ParameterError, "ParameterError",
     "the arguments contradict each other, or the pattern cannot be read"},
    {talvo2::InvalidPath, "InvalidPath", "the path cannot be used (too long, or not a path)"},
    {talvo2::TooManyPlaceholderGroups, "TooManyPlaceholderGroups",
     "a result-name pattern may hold only one run of @"},
    {talvo2::TooLongPlaceholder, "TooLongPlaceholder",
     "a run of @ may be at most 8 long (a literal name takes @ as a plain character)"},
    {talvo2::ReservedCharacters, "ReservedCharacters",
     "a result name may not hold < > : \" / \\ | ? *"},
    {talvo2::ReservedDeviceName, "ReservedDeviceName",
     "the name is a reserved device name (CON, NUL, COM1, ...)"},
    {talvo2::InvalidLastCharacter, "InvalidLastCharacter",
     "a result name may not end in a blank or a dot"},
    {talvo2::EmptyPattern, "EmptyPattern", "the result-name pattern is empty"},
    {talvo2::AccessDenied, "AccessDenied",
     "the flag's lock file may not be opened (permissions, or not a regular file)"},
    {talvo2::FileLocked, "FileLocked", "a lock file is held by another process"},
    {talvo2::FileError, "FileError",
     "a file-system operation failed (missing parent, read-only, full disk, or a copy into "
     "itself)"},
    {talvo2::RecordFormatError, "RecordFormatError",
     "the flag's owner record is empty, damaged or too large (a holder that crashed or met a "
     "full disk)"},
    {talvo2::FlagOwnedElsewhere, "FlagOwnedElsewhere", "the flag is held by someone else"},
    {talvo2::OperationFailed, "OperationFailed",
     "a file could not be read, written or removed (damaged, not a regular file, or too "
     "large)"},
};

const ErrorText* textOf(talvo2::error_t code) {
    for (const ErrorText& text : kErrorTexts)
        if (text.code == code) return &text;
    return nullptr;
}

}  // namespace

std::string errorName(talvo2::error_t code) {
    const ErrorText* text = textOf(code);
    return text ? text->name : "Error" + std::to_string(static_cast<unsigned>(code));
}

std::string errorMessage(talvo2::error_t code) {
    const ErrorText* text = textOf(code);
    return text ? text->message
                : "the library failed with code " + std::to_string(static_cast<unsigned>(code));
}

}  // namespace talvo_front
