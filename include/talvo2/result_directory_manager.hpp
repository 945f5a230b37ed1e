#pragma once

#include "talvo2/error.hpp"
#include "talvo2/export.hpp"

namespace talvo2 {

// Entry point for result directories: static members only.
class TALVO2_API ResultDirectoryManager {
public:
    ResultDirectoryManager() = delete;

    // The calling thread's last error: the reason the last failing call of this thread gave, or
    // OK when the thread has not stored one. Never fails, never allocates.
    static error_t getLastError();

    // "r@@@", the result-name pattern used when a caller names no result. Owned by the library.
    static const wchar_t* getDefaultResultDirectoryName();

    // Whether `name` is one of the 22 device names that cannot name a directory on Windows ("CON",
    // "PRN", "AUX", "NUL", "COM1" to "COM9", "LPT1" to "LPT9"), compared exactly: "con", "CON.txt"
    // and "CON " are not reserved. False for null. Thread-safe.
    static bool isReservedDirectoryName(const wchar_t* name);

    // Whether `pattern` can name a result directory: OK, or EmptyPattern, ReservedDeviceName,
    // ReservedCharacters, InvalidLastCharacter, TooManyPlaceholderGroups or TooLongPlaceholder.
    // The pattern is one name: separators are reserved characters. Refusals are logged through
    // the logger "talvo". Thread-safe.
    static error_t validateResultDirectoryPattern(const wchar_t* pattern);

    // Whether the last element of `path` (taken against the current directory) holds a run of
    // "@" that numbers new results, as "x/r@@@" does. False for null and for names that cannot
    // be parsed. `path` is not modified. Thread-safe.
    static bool isPathPatterned(wchar_t* path);
};

}  // namespace talvo2
