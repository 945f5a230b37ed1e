// The flags a node holds: named marks held between processes through exclusively opened lock
// files, with an owner record in an info file beside each.

#include <boost/filesystem/path.hpp>

#include "flags/flag_data.hpp"
#include "flags/flag_table.hpp"
#include "frame/wide_path.hpp"
#include "platform/files.hpp"
#include "talvo2/names.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

using Disposition = platform::ExclusiveFile::Disposition;
using corekit2::variant_bag_t;

struct FlagFiles {
    std::wstring flag;  // the table key
    std::wstring lock;
    std::wstring info;
};

FlagFiles filesOf(const fs::path& directory, const wchar_t* name) {
    const std::wstring flag = toWide(directory / toFsPath(name));
    return {flag, flag + getFlagLockExtension(), flag + getFlagInfoExtension()};
}

bool lockFileExists(const FlagFiles& files) {
    return platform::typeAt(toFsPath(files.lock).native(), false) != platform::FileType::Missing;
}

// A fresh owner record written into the info file, replacing it whole.
error_t writeInfo(const std::wstring& path, variant_bag_t& record) {
    variant_bag_t fresh;
    util::FileLocker::fillOwnerRecord(fresh);
    const error_t written = util::FileLocker::writeRecord(path, fresh);
    if (written == OK) record.swap(fresh);
    return written;
}

// The record in the info file; NotFound when there is none or it is empty. Reading never makes
// an info file, so looking at a flag leaves nothing behind.
error_t readInfo(const std::wstring& path, variant_bag_t& record) {
    return util::FileLocker::readRecord(path, record);
}

// Deletes the info file and then the lock file of a flag whose lock file the caller holds open.
// The caller closes its lock file only afterwards: the next holder needs a new lock file and so
// writes its owner record after this one is gone, never to see it deleted under it. Only a
// holder writes the info file, so deleting it needs no lock of its own. A file that cannot be
// deleted (a folder nobody may write any more) stays as a leftover that nobody holds, which
// ownFlag and a take-over deal with later: the flag is released all the same.
void deleteHeldFiles(const FlagFiles& files) {
    platform::removeFile(toFsPath(files.info).native());
    platform::removeFile(toFsPath(files.lock).native());
}

// Deletes the files of a flag that nobody holds, holding its lock file meanwhile (see
// deleteHeldFiles); FileLocked and the other open errors when it cannot be held.
error_t deleteUnheldFiles(const FlagFiles& files) {
    util::FileLocker lock;
    if (!lock.openExclusive(files.lock, Disposition::OpenExisting) && lock.error() != NotFound)
        return lock.error();
    deleteHeldFiles(files);
    return OK;
}

// Holders of older versions answered 19 for a flag held by someone else; it means the same.
constexpr uint32_t kOlderFlagOwnedElsewhere = 19;

bool ownedElsewhere(error_t error) {
    return error == AlreadyExists || error == FileLocked ||
           static_cast<uint32_t>(error) == kOlderFlagOwnedElsewhere;
}

// A flag's name is joined to the node's directory as it stands, and may hold a relative sub-path
// ("locks/writing"). It must stay inside the node's directory: not absolute, no "..", and no
// empty or "." element that would make two names one file. Anything else the file system takes
// is a name ("x:y", "CON", "trail.").
bool isFlagName(const wchar_t* name) {
    if (!name || !*name || !isEncodable(name)) return false;
    const std::wstring text(name);
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(L'/', start);
        const std::wstring element = text.substr(start, end - start);
        if (element.empty() || element == L"." || element == L"..") return false;
        if (end == std::wstring::npos) return true;
        start = end + 1;
    }
}

}  // namespace

std::unique_ptr<HeldFlags> FlagTable::make() {
    return std::make_unique<FlagTable>();
}

error_t FlagTable::add(const fs::path& directory, const wchar_t* name, bool replace, bool takeOver,
                       corekit2::sptr_t<IFlagData>* holder) {
    variant_bag_t found;
    const error_t answer = acquire(directory, name, replace, takeOver, holder ? &found : nullptr);
    if (holder) *holder = corekit2::sptr_t<IFlagData>(new FlagData(found));
    return answer;
}

error_t FlagTable::acquire(const fs::path& directory, const wchar_t* name, bool replace,
                           bool takeOver, variant_bag_t* record) {
    if (!isFlagName(name)) return ParameterError;
    const FlagFiles files = filesOf(directory, name);
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto held = m_entries.find(files.flag);
    if (held != m_entries.end()) {
        if (!replace) {
            if (record) *record = held->second.info;
            return AlreadyExists;
        }
        variant_bag_t fresh;
        const error_t written = writeInfo(files.info, fresh);
        if (written == OK) held->second.info = fresh;
        if (record) *record = held->second.info;
        return written;
    }
    const bool existed = lockFileExists(files);
    auto locker = boost::shared_ptr<util::FileLocker>(new util::FileLocker);
    if (!locker->openExclusive(files.lock, replace || takeOver)) {
        variant_bag_t holder;
        if (record && readInfo(files.info, holder) == OK) *record = holder;
        return locker->error();
    }
    // A lock file this call made has no record to take over (one beside it is not a flag's).
    if (!replace && takeOver && existed) {
        variant_bag_t previous;
        const error_t read = readInfo(files.info, previous);
        if (read != OK && read != NotFound) return read;  // the locker closes the lock file
    }
    variant_bag_t fresh;
    const error_t written = writeInfo(files.info, fresh);
    if (written != OK) {
        // A flag that could not be taken leaves no lock file it made (a full disk, say); one
        // that was there stays for its owner to judge.
        if (!existed) deleteHeldFiles(files);
        return written;
    }
    if (record) *record = fresh;
    m_entries[files.flag] = Entry{locker, fresh};
    return OK;
}

error_t FlagTable::remove(const fs::path& directory, const wchar_t* name, bool force) {
    if (!isFlagName(name)) return ParameterError;
    const FlagFiles files = filesOf(directory, name);
    if (!lockFileExists(files)) return NotFound;
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto held = m_entries.find(files.flag);
    if (held != m_entries.end()) {
        deleteHeldFiles(files);
        m_entries.erase(held);  // closes our lock file
        return OK;
    }
    if (!force) return FlagOwnedElsewhere;
    return deleteUnheldFiles(files);
}

error_t FlagTable::own(const fs::path& directory, const wchar_t* name) {
    if (!isFlagName(name)) return ParameterError;
    const FlagFiles files = filesOf(directory, name);
    if (!lockFileExists(files)) return NotFound;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_entries.count(files.flag)) return OK;
    }
    // Nobody in this node holds it: is there a living holder, or a leftover to clear? The lock
    // file stays held until the leftover is gone, so nobody takes the flag meanwhile.
    util::FileLocker probe;
    if (!probe.openExclusive(files.lock, Disposition::OpenExisting)) {
        const error_t error = probe.error();
        if (error == NotFound) return NotFound;
        return ownedElsewhere(error) ? FlagOwnedElsewhere : error;
    }
    variant_bag_t record;
    const error_t read = readInfo(files.info, record);
    if (read == OK) {
        deleteHeldFiles(files);
        return NotFound;
    }
    if (read == NotFound) return NotFound;
    return ownedElsewhere(read) ? FlagOwnedElsewhere : read;
}

void FlagTable::releaseAll() {
    std::map<std::wstring, Entry> held;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        held.swap(m_entries);
    }
    for (auto& [flag, entry] : held) {
        deleteHeldFiles(
            FlagFiles{flag, flag + getFlagLockExtension(), flag + getFlagInfoExtension()});
        entry.locker.reset();  // closes the lock file
    }
}

void FlagTable::suspend() {
    m_suspended.lock();
    for (const auto& [flag, entry] : m_entries) {
        platform::removeFile(toFsPath(flag + getFlagLockExtension()).native());
        platform::removeFile(toFsPath(flag + getFlagInfoExtension()).native());
    }
}

void FlagTable::resume(const fs::path& from, const fs::path& to) {
    // Takes the held flags up again in `to`: lock and info files of the same names there, with
    // the stored owner records. A flag that cannot be taken there is no longer held.
    std::map<std::wstring, Entry> resumed;
    for (auto& [flag, entry] : m_entries) {
        const std::wstring moved = toWide(to / toFsPath(flag).lexically_relative(from));
        auto locker = boost::shared_ptr<util::FileLocker>(new util::FileLocker);
        if (!locker->openExclusive(moved + getFlagLockExtension(), Disposition::OpenAlways) ||
            util::FileLocker::writeRecord(moved + getFlagInfoExtension(), entry.info) != OK)
            continue;
        resumed[moved] = Entry{locker, entry.info};
    }
    m_entries.swap(resumed);  // the old lockers close when `resumed` goes
    m_suspended.unlock();
}

void FlagTable::moved(const fs::path& from, const fs::path& to) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::map<std::wstring, Entry> renamed;
    for (auto& [flag, entry] : m_entries)
        renamed[toWide(to / toFsPath(flag).lexically_relative(from))] = std::move(entry);
    m_entries.swap(renamed);
}

}  // namespace talvo2
