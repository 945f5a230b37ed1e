#include "flags/file_locker.hpp"

#include <ctime>

#include "corekit2/host.hpp"
#include "frame/bag_files.hpp"
#include "frame/disk_format.hpp"
#include "platform/files.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2::util {

using corekit2::variant_t;

bool FileLocker::openExclusive(const std::wstring& path, bool openAlways) {
    return openExclusive(path, openAlways ? platform::ExclusiveFile::Disposition::OpenAlways
                                          : platform::ExclusiveFile::Disposition::CreateNew);
}

bool FileLocker::openExclusive(const std::wstring& path,
                               platform::ExclusiveFile::Disposition disposition) {
    m_error = m_file.open(ulib_2_18::to_utf8(path), disposition);
    return m_error == OK;
}

void FileLocker::fillOwnerRecord(corekit2::variant_bag_t& bag) {
    bag.put(disk::kOwnerTimestamp, variant_t(static_cast<uint64_t>(std::time(nullptr))));
    bag.put(disk::kOwnerPid, variant_t(platform::processId()));
    bag.put(disk::kOwnerPpid, variant_t(platform::parentProcessId()));
    bag.put(disk::kOwnerHost, variant_t(corekit2::get_fq_host_name()));
    bag.put(disk::kOwnerUser, variant_t(platform::userName()));
    bag.put(disk::kOwnerOs, variant_t(platform::operatingSystemName()));
}

error_t FileLocker::writeRecord(const std::wstring& path, const corekit2::variant_bag_t& bag) {
    std::string bytes;
    if (!renderBag(bag, bytes)) return RecordFormatError;
    bytes.push_back('\0');
    // A record means nothing once its holder is gone, and a crash of the machine takes the lock
    // with it; an empty or missing record reads as a dead holder's. So it is replaced atomically,
    // for readers in other processes, but not synced: a flag is taken around every write into a
    // result, and an fsync each time would cost more than the rest of the flag.
    return platform::writeFileAtomically(ulib_2_18::to_utf8(path), bytes, false) ? OK : FileError;
}

error_t FileLocker::readRecord(const std::wstring& path, corekit2::variant_bag_t& bag) {
    std::string bytes;
    switch (
        platform::readFile(nullptr, ulib_2_18::to_utf8(path), kMaxOwnerRecordBytes, false, bytes)) {
        case platform::ReadOutcome::Read:
            break;
        case platform::ReadOutcome::Missing:
            return NotFound;
        case platform::ReadOutcome::TooLarge:
            return RecordFormatError;
        default:
            return FileError;
    }
    // A record ends at its terminator; what follows is not its.
    const auto end = bytes.find('\0');
    if (end != std::string::npos) bytes.resize(end);
    if (bytes.empty()) return NotFound;
    return parseBag(bytes, nullptr, bag) == OK ? OK : RecordFormatError;
}

}  // namespace talvo2::util
