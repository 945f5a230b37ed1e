#pragma once

// A file system for tests that wraps the library's own and makes one chosen call fail as a sick or
// full disk would: the k-th call (of any kind) fails with an error plausible for it, or, for a
// write, writes only part of what it was given and leaves the next write to fail with ENOSPC.
// Installed in place of the library's file system for the lifetime of a FaultInjection.

#include <atomic>
#include <string>

#include "platform/file_system.hpp"

namespace talvo2::test {

class FaultFileSystem final : public platform::FileSystem {
public:
    explicit FaultFileSystem(platform::FileSystem& inner) : m_inner(inner) {}

    // From now on counts calls from 1 and fails the `k`-th (0: none); `variant` picks among the
    // errors plausible for the failing call (and a short write for writes).
    void arm(long k, int variant);
    // Stops counting and failing; returns how many calls were counted.
    long disarm();
    // The failing call's name and error number, "" and 0 while none failed.
    const std::string& failedCall() const { return m_failedCall; }
    int failedErrno() const { return m_failedErrno; }
    // Answers as a network file system might: renaming without replacing is refused as
    // unsupported (EINVAL), and with `noLinks` so are hard links (EPERM).
    void withoutNoReplace(bool on, bool noLinks = false) {
        m_noReplaceUnsupported = on;
        m_linksUnsupported = on && noLinks;
    }

    // Whether this call is the one to fail; `status` receives the failure when it is. Used by the
    // wrapped files and directories too.
    bool hit(const char* call, const int* errors, std::size_t count, platform::Status& status);
    // Whether a write is to be cut short (and the next write failed with ENOSPC).
    bool shortWrite(const char* call);
    bool failNextWrite(platform::Status& status);

    platform::Status status(const platform::Directory* at, const std::string& path, bool follow,
                            platform::FileInfo& info) override;
    platform::Status openDirectory(const platform::Directory* at, const std::string& path,
                                   bool follow, bool listable,
                                   std::unique_ptr<platform::Directory>& directory) override;
    platform::Status openFile(const platform::Directory* at, const std::string& path,
                              uint32_t flags, uint32_t permissions,
                              std::unique_ptr<platform::File>& file) override;
    platform::Status makeDirectory(const platform::Directory* at, const std::string& path,
                                   uint32_t permissions) override;
    platform::Status remove(const platform::Directory* at, const std::string& path,
                            bool directory) override;
    platform::Status rename(const platform::Directory* fromAt, const std::string& from,
                            const platform::Directory* toAt, const std::string& to,
                            platform::RenameMode mode) override;
    platform::Status link(const platform::Directory* fromAt, const std::string& from,
                          const platform::Directory* toAt, const std::string& to) override;
    platform::Status currentDirectory(std::string& path) override;
    platform::Status canCreateIn(const std::string& path, bool& allowed) override;
    platform::Status timesAreLocal(const std::string& path, bool& local) override;

private:
    platform::FileSystem& m_inner;
    std::atomic<bool> m_armed{false};
    std::atomic<long> m_calls{0};
    long m_failAt = 0;
    int m_variant = 0;
    bool m_failNextWrite = false;
    std::string m_failedCall;
    int m_failedErrno = 0;
    std::atomic<bool> m_noReplaceUnsupported{false};
    std::atomic<bool> m_linksUnsupported{false};
};

// Puts a FaultFileSystem over the library's file system while it lives.
class FaultInjection {
public:
    FaultInjection();
    ~FaultInjection();
    FaultInjection(const FaultInjection&) = delete;
    FaultInjection& operator=(const FaultInjection&) = delete;

    FaultFileSystem& fileSystem() { return m_faults; }

private:
    FaultFileSystem m_faults;
    platform::FileSystem* m_previous;
};

}  // namespace talvo2::test
