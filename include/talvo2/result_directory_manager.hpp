#pragma once

#include "corekit2/sptr.hpp"
#include "corekit2/variant_bag.hpp"
#include "talvo2/error.hpp"
#include "talvo2/export.hpp"

namespace talvo2 {

class IResultDirectory;

// Entry point for result directories: static members only. Every member is thread-safe. Those
// returning a handle return a new reference, or empty with the reason as the calling thread's
// last error.
class TALVO2_API ResultDirectoryManager {
public:
    ResultDirectoryManager() = delete;

    // Creates a result directory with a marker file holding a copy of `properties` (may be null)
    // plus the creation metadata and the MPI rank, and opens it. `path` is the directory, its
    // marker file, or a result-name pattern such as "x/r@@@" (numbered one past the highest
    // number present; safe between processes creating in one folder at once) or "r_{at}"
    // (variables from the "talvo"/"variables" section of `properties`). `overwrite` first removes
    // an existing directory of the name (not with a numbered pattern: ParameterError). `literal`
    // takes "@" as an ordinary character. With `base` (a group's directory, may be null) a
    // relative path goes into that group's output directory. The handle comes with OK, or with
    // OperationFailed when the marker cannot be read back or a link written. Errors: EmptyPattern
    // (null or empty path), InvalidPath (unencodable, or "." or ".." with `overwrite`), pattern
    // errors, AlreadyExists, NotFound (parent is not a directory), InsufficientPermissions,
    // OperationFailed (marker not written: the directory stays; or `overwrite` could not remove
    // what was there).
    static corekit2::sptr_t<IResultDirectory> create(const wchar_t* path, bool overwrite,
                                                     const corekit2::variant_bag_t* properties,
                                                     bool literal, const wchar_t* base);

    // Opens the result directory that `path` names: a directory, marker file or link file, or a
    // pattern, which opens the match with the greatest file name (unless `literal`). `base` is
    // the group the node is opened from (may be null). A result open already is that node, with
    // OK. InvalidPath for null, pattern errors, NotFound when nothing is there; OperationFailed as
    // last error (with a handle) when the marker could not be read.
    static corekit2::sptr_t<IResultDirectory> open(const wchar_t* path, bool literal,
                                                   const wchar_t* base);

    // Opens `path` when it is there (giving a directory without a marker an empty one) and
    // creates it otherwise, as create (no base, no overwrite) and open answer; a numbered pattern
    // always creates a new result. EmptyPattern for a null or empty path, pattern errors.
    static corekit2::sptr_t<IResultDirectory> get(const wchar_t* path,
                                                  const corekit2::variant_bag_t* properties,
                                                  bool literal);

    // This process's MPI rank, negative outside an MPI job.
    static int getCurrentMpiRank();

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
    // the logger "talvo"; the last error stays as it was. Thread-safe.
    static error_t validateResultDirectoryPattern(const wchar_t* pattern);

    // Whether the last element of `path` (taken against the current directory) holds a run of
    // "@" that numbers new results, as "x/r@@@" does. False for null and for names that cannot
    // be parsed. `path` is not modified; the last error stays as it was. Thread-safe.
    static bool isPathPatterned(wchar_t* path);

    // Opens two results to compare. Each path is a directory, marker, link file or pattern (the
    // two newest matches are looked at, unless `literal`). Normally the newest result of each is
    // opened; when both name the same newest result, the second becomes the one before it (so one
    // pattern given twice compares the newest result with the previous one). Both outputs are
    // cleared first. False when a path finds nothing (its lookup's error) or only one result
    // exists for both (NotFound); true otherwise, even when an open fails: check both outputs
    // (the last error is what opening the second met). ParameterError when an output pointer is
    // null, InvalidPath for a null path.
    static bool openForDiff(const wchar_t* first, const wchar_t* second,
                            corekit2::sptr_t<IResultDirectory>* firstResult,
                            corekit2::sptr_t<IResultDirectory>* secondResult, bool literal);

    // Opens, as a result directory, the result that `path` (directory, marker or pattern) holds
    // under another product's marker extension `extension`, given without its dot. Empty with
    // NotFound when there is none, ParameterError for a null or separator-holding extension,
    // InvalidPath for a null path; a handle comes with the opening's outcome.
    static corekit2::sptr_t<IResultDirectory> openForImport(const wchar_t* path,
                                                            const wchar_t* extension);
};

}  // namespace talvo2
