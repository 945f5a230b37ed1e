#include "flags/file_locker.hpp"

#include <ctime>

#include "corekit2/host.hpp"
#include "frame/bag_files.hpp"
#include "frame/disk_format.hpp"
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

error_t FileLocker::writeBag(const corekit2::variant_bag_t& bag) {
    std::string bytes;
    if (!renderBag(bag, bytes)) return RecordFormatError;
    bytes.push_back('\0');
    return m_file.isOpen() && m_file.write(bytes) ? OK : FileError;
}

error_t FileLocker::readBag(corekit2::variant_bag_t& bag) {
    const int64_t size = m_file.size();
    if (size < 0) return FileError;
    if (size == 0) return NotFound;
    std::string bytes;
    if (!m_file.readAll(bytes)) return FileError;
    // An older, longer record may remain after the terminator.
    const auto end = bytes.find('\0');
    if (end != std::string::npos) bytes.resize(end);
    return parseBag(bytes, nullptr, bag) == OK ? OK : RecordFormatError;
}

}  // namespace talvo2::util
