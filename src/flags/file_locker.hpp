#pragma once

#include <string>

#include "corekit2/variant_bag.hpp"
#include "platform/platform.hpp"
#include "talvo2/error.hpp"

namespace talvo2::util {

// Holds one lock file open exclusively: while it is open no other open of the file succeeds on
// the machine, in this process or another; closing it, or the holder's death, frees it. Also
// writes and reads a bag (an owner record) through the open file. Not synchronised: its owner
// guards it.
class FileLocker {
public:
    FileLocker() = default;
    FileLocker(const FileLocker&) = delete;
    FileLocker& operator=(const FileLocker&) = delete;

    // Opens `path`; with `openAlways` an existing file nobody holds is taken over, without it the
    // file must be new. Returns true on success; error() then says OK, else FileLocked,
    // AlreadyExists, AccessDenied or FileError.
    bool openExclusive(const std::wstring& path, bool openAlways);
    // The same with any disposition; OpenExisting answers NotFound when there is no file, so that
    // merely looking at a flag never leaves a file behind.
    bool openExclusive(const std::wstring& path, platform::ExclusiveFile::Disposition disposition);
    error_t error() const { return m_error; }
    bool isOpen() const { return m_file.isOpen(); }

    // Puts who this process is into `bag`: "timestamp", "pid", "ppid", "host", "user", "os".
    static void fillOwnerRecord(corekit2::variant_bag_t& bag);

    // Writes `bag` as UTF-8 text and one NUL at the start of the file, without truncating it.
    // RecordFormatError when the bag cannot be rendered, FileError when the write fails.
    error_t writeBag(const corekit2::variant_bag_t& bag);
    // Reads the bag written by writeBag (text up to the first NUL). NotFound for an empty file,
    // RecordFormatError when the text is not a bag, FileError when it cannot be read.
    error_t readBag(corekit2::variant_bag_t& bag);

private:
    platform::ExclusiveFile m_file;
    error_t m_error = OK;
};

}  // namespace talvo2::util
