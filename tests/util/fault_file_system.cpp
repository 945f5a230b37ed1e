#include "util/fault_file_system.hpp"

#include <cerrno>

namespace talvo2::test {

namespace {

using platform::Status;

// The errors each kind of call plausibly meets on a sick or full disk, or behind changed rights.
const int kCreating[] = {ENOSPC, EACCES, EIO};
const int kWriting[] = {ENOSPC, EIO};
const int kReading[] = {EIO, EACCES};
const int kDeleting[] = {EACCES, EIO};
const int kLooking[] = {EACCES, EIO};

template <std::size_t N>
bool hitWith(FaultFileSystem& fs, const char* call, const int (&errors)[N], Status& status) {
    return fs.hit(call, errors, N, status);
}

// The real call, unless it is the one that is to fail.
template <std::size_t N, typename Call>
Status unlessHit(FaultFileSystem& fs, const char* call, const int (&errors)[N], Call real) {
    Status failed;
    return hitWith(fs, call, errors, failed) ? failed : real();
}

class FaultDirectory final : public platform::Directory {
public:
    FaultDirectory(FaultFileSystem& fs, std::unique_ptr<platform::Directory> inner)
        : m_fs(fs), m_inner(std::move(inner)) {}
    platform::Directory& inner() const { return *m_inner; }

    Status list(std::vector<platform::DirectoryEntry>& entries) override {
        return unlessHit(m_fs, "list", kReading, [&] { return m_inner->list(entries); });
    }
    Status sync() override {
        return unlessHit(m_fs, "syncdir", kWriting, [&] { return m_inner->sync(); });
    }
    Status info(platform::FileInfo& info) override {
        return unlessHit(m_fs, "dirinfo", kLooking, [&] { return m_inner->info(info); });
    }
    Status lock() override {
        return unlessHit(m_fs, "dirlock", kLooking, [&] { return m_inner->lock(); });
    }
    Status setPermissions(uint32_t permissions) override {
        return unlessHit(m_fs, "dirchmod", kDeleting,
                         [&] { return m_inner->setPermissions(permissions); });
    }
    Status setTimes(int64_t accessedNs, int64_t modifiedNs) override {
        return unlessHit(m_fs, "dirtimes", kDeleting,
                         [&] { return m_inner->setTimes(accessedNs, modifiedNs); });
    }

private:
    FaultFileSystem& m_fs;
    std::unique_ptr<platform::Directory> m_inner;
};

const platform::Directory* unwrap(const platform::Directory* at) {
    const auto* wrapped = dynamic_cast<const FaultDirectory*>(at);
    return wrapped ? &wrapped->inner() : at;
}

class FaultFile final : public platform::File {
public:
    FaultFile(FaultFileSystem& fs, std::unique_ptr<platform::File> inner)
        : m_fs(fs), m_inner(std::move(inner)) {}
    platform::File& inner() { return *m_inner; }

    Status read(void* buffer, std::size_t size, std::size_t& got) override {
        return unlessHit(m_fs, "read", kReading, [&] { return m_inner->read(buffer, size, got); });
    }
    Status readAt(void* buffer, std::size_t size, uint64_t offset, std::size_t& got) override {
        return unlessHit(m_fs, "pread", kReading,
                         [&] { return m_inner->readAt(buffer, size, offset, got); });
    }
    Status write(const void* data, std::size_t size, std::size_t& written) override {
        Status failed;
        if (m_fs.failNextWrite(failed)) return failed;
        // A full disk: part of the data is written, and the next write fails.
        if (size > 1 && m_fs.shortWrite("write")) return m_inner->write(data, size / 2, written);
        if (hitWith(m_fs, "write", kWriting, failed)) return failed;
        return m_inner->write(data, size, written);
    }
    Status sync() override {
        return unlessHit(m_fs, "fsync", kWriting, [&] { return m_inner->sync(); });
    }
    Status info(platform::FileInfo& info) override {
        return unlessHit(m_fs, "fstat", kLooking, [&] { return m_inner->info(info); });
    }
    Status setPermissions(uint32_t permissions) override {
        return unlessHit(m_fs, "fchmod", kDeleting,
                         [&] { return m_inner->setPermissions(permissions); });
    }
    Status setOwner(uint32_t owner, uint32_t group) override {
        return unlessHit(m_fs, "fchown", kDeleting,
                         [&] { return m_inner->setOwner(owner, group); });
    }
    Status setTimes(int64_t accessedNs, int64_t modifiedNs) override {
        return unlessHit(m_fs, "futimens", kDeleting,
                         [&] { return m_inner->setTimes(accessedNs, modifiedNs); });
    }
    Status lock() override {
        return unlessHit(m_fs, "lock", kReading, [&] { return m_inner->lock(); });
    }
    Status copyTo(platform::File& to, int64_t& bytes) override {
        Status failed;
        if (hitWith(m_fs, "copy", kWriting, failed)) return failed;
        auto* wrapped = dynamic_cast<FaultFile*>(&to);
        return m_inner->copyTo(wrapped ? wrapped->inner() : to, bytes);
    }
    Status close() override {
        Status failed;
        if (hitWith(m_fs, "close", kWriting, failed)) {
            m_inner->close();
            return failed;
        }
        return m_inner->close();
    }

private:
    FaultFileSystem& m_fs;
    std::unique_ptr<platform::File> m_inner;
};

}  // namespace

void FaultFileSystem::arm(long k, int variant) {
    m_calls = 0;
    m_failAt = k;
    m_variant = variant;
    m_failNextWrite = false;
    m_failedCall.clear();
    m_failedErrno = 0;
    m_armed = true;
}

long FaultFileSystem::disarm() {
    m_armed = false;
    return m_calls.load();
}

bool FaultFileSystem::hit(const char* call, const int* errors, std::size_t count, Status& status) {
    if (!m_armed.load() || ++m_calls != m_failAt) return false;
    m_failedCall = call;
    m_failedErrno = errors[static_cast<std::size_t>(m_variant) % count];
    status = Status::fromSystem(m_failedErrno);
    return true;
}

bool FaultFileSystem::shortWrite(const char* call) {
    // Every other variant of a failing write is a short one.
    if (!m_armed.load() || m_variant % 2 == 0 || m_calls + 1 != m_failAt) return false;
    ++m_calls;
    m_failedCall = std::string("short ") + call;
    m_failedErrno = ENOSPC;
    m_failNextWrite = true;
    return true;
}

bool FaultFileSystem::failNextWrite(Status& status) {
    if (!m_failNextWrite) return false;
    m_failNextWrite = false;
    status = Status::fromSystem(ENOSPC);
    return true;
}

Status FaultFileSystem::status(const platform::Directory* at, const std::string& path, bool follow,
                               platform::FileInfo& info) {
    return unlessHit(*this, "stat", kLooking,
                     [&] { return m_inner.status(unwrap(at), path, follow, info); });
}

Status FaultFileSystem::openDirectory(const platform::Directory* at, const std::string& path,
                                      bool follow, bool listable,
                                      std::unique_ptr<platform::Directory>& directory) {
    Status failed;
    if (hitWith(*this, "opendir", kLooking, failed)) return failed;
    std::unique_ptr<platform::Directory> opened;
    const Status status = m_inner.openDirectory(unwrap(at), path, follow, listable, opened);
    if (status) directory = std::make_unique<FaultDirectory>(*this, std::move(opened));
    return status;
}

Status FaultFileSystem::openFile(const platform::Directory* at, const std::string& path,
                                 uint32_t flags, uint32_t permissions,
                                 std::unique_ptr<platform::File>& file) {
    Status failed;
    if ((flags & platform::kCreate) ? hitWith(*this, "create", kCreating, failed)
                                    : hitWith(*this, "open", kReading, failed))
        return failed;
    std::unique_ptr<platform::File> opened;
    const Status status = m_inner.openFile(unwrap(at), path, flags, permissions, opened);
    if (status) file = std::make_unique<FaultFile>(*this, std::move(opened));
    return status;
}

Status FaultFileSystem::makeDirectory(const platform::Directory* at, const std::string& path,
                                      uint32_t permissions) {
    return unlessHit(*this, "mkdir", kCreating,
                     [&] { return m_inner.makeDirectory(unwrap(at), path, permissions); });
}

Status FaultFileSystem::remove(const platform::Directory* at, const std::string& path,
                               bool directory) {
    return unlessHit(*this, directory ? "rmdir" : "unlink", kDeleting,
                     [&] { return m_inner.remove(unwrap(at), path, directory); });
}

Status FaultFileSystem::rename(const platform::Directory* fromAt, const std::string& from,
                               const platform::Directory* toAt, const std::string& to,
                               platform::RenameMode mode) {
    Status failed;
    if (hitWith(*this, "rename", kCreating, failed)) return failed;
    if (m_noReplaceUnsupported && mode == platform::RenameMode::NoReplace)
        return Status::fromSystem(EINVAL);
    return m_inner.rename(unwrap(fromAt), from, unwrap(toAt), to, mode);
}

Status FaultFileSystem::link(const platform::Directory* fromAt, const std::string& from,
                             const platform::Directory* toAt, const std::string& to) {
    Status failed;
    if (hitWith(*this, "link", kCreating, failed)) return failed;
    if (m_linksUnsupported) return Status::fromSystem(EPERM);
    return m_inner.link(unwrap(fromAt), from, unwrap(toAt), to);
}

Status FaultFileSystem::currentDirectory(std::string& path) {
    return unlessHit(*this, "getcwd", kLooking, [&] { return m_inner.currentDirectory(path); });
}

Status FaultFileSystem::canCreateIn(const std::string& path, bool& allowed) {
    return unlessHit(*this, "access", kLooking, [&] { return m_inner.canCreateIn(path, allowed); });
}

Status FaultFileSystem::timesAreLocal(const std::string& path, bool& local) {
    return unlessHit(*this, "statfs", kLooking, [&] { return m_inner.timesAreLocal(path, local); });
}

FaultInjection::FaultInjection()
    : m_faults(platform::systemFileSystem()), m_previous(platform::installFileSystem(&m_faults)) {}

FaultInjection::~FaultInjection() {
    platform::installFileSystem(m_previous);
}

}  // namespace talvo2::test
