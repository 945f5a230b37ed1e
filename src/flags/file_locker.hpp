#pragma once

#include <string>

#include "corekit2/variant_bag.hpp"
#include "platform/platform.hpp"
#include "talvo2/error.hpp"

namespace talvo2::util {

// The largest owner record the library reads: a record is a few hundred bytes.
constexpr std::size_t kMaxOwnerRecordBytes = 64u << 10;

// Holds one lock file exclusively: while it is held no other FileLocker holds the file, in this
// process or another; closing it, or the holder's death, frees it. Not synchronised: its owner
// guards it.
class FileLocker {
public:
    FileLocker() = default;
    FileLocker(const FileLocker&) = delete;
    FileLocker& operator=(const FileLocker&) = delete;

    // Opens and locks `path`; with `openAlways` an existing file nobody holds is taken over,
    // without it the file must be new. Returns true on success; error() then says OK, else
    // FileLocked, AlreadyExists, AccessDenied or FileError.
    bool openExclusive(const std::wstring& path, bool openAlways);
    // The same with any disposition; OpenExisting answers NotFound when there is no file, so that
    // merely looking at a flag never leaves a file behind.
    bool openExclusive(const std::wstring& path, platform::ExclusiveFile::Disposition disposition);
    error_t error() const { return m_error; }
    bool isOpen() const { return m_file.isOpen(); }

    // Puts who this process is into `bag`: "timestamp", "pid", "ppid", "host", "user", "os".
    static void fillOwnerRecord(corekit2::variant_bag_t& bag);

    // Replaces the owner record in the info file at `path` with `bag` (UTF-8 text and one NUL),
    // atomically, so a reader sees the old record or the new one and nobody needs write access
    // to another user's file. RecordFormatError when the bag cannot be rendered, FileError when
    // the file cannot be written (a link or anything but a regular file at `path` included).
    static error_t writeRecord(const std::wstring& path, const corekit2::variant_bag_t& bag);
    // Reads the owner record at `path` (text up to the first NUL), without following a link and
    // never more than kMaxOwnerRecordBytes. NotFound for a missing or empty file,
    // RecordFormatError when the text is not a bag or the file too large, FileError when it
    // cannot be read or is not a regular file.
    static error_t readRecord(const std::wstring& path, corekit2::variant_bag_t& bag);

private:
    platform::ExclusiveFile m_file;
    error_t m_error = OK;
};

}  // namespace talvo2::util
