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
};

}  // namespace talvo2
