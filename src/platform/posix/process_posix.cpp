// The facts about this process that an owner record needs, and the clock.

#include <pwd.h>
#include <unistd.h>

#include <ctime>
#include <mutex>
#include <vector>

#include "platform/platform.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2::platform {

int64_t wallClockNs() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

const wchar_t* operatingSystemName() {
    return L"linux";
}

uint32_t processId() {
    return static_cast<uint32_t>(::getpid());
}

uint32_t parentProcessId() {
    return static_cast<uint32_t>(::getppid());
}

std::wstring userName() {
    // Every flag taken records the name; the password database is read once per user id (a
    // process may change it), not once per flag.
    static std::mutex mutex;
    static uid_t cachedFor = static_cast<uid_t>(-1);
    static std::wstring cached;
    const uid_t user = ::geteuid();
    const std::lock_guard<std::mutex> lock(mutex);
    if (user == cachedFor) return cached;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::wstring();
    cached = ulib_2_18::from_utf8(found->pw_name);
    cachedFor = user;
    return cached;
}

}  // namespace talvo2::platform
