// The facts about this process that an owner record needs, and the clock.

#include <pwd.h>
#include <unistd.h>

#include <ctime>
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
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::wstring();
    return ulib_2_18::from_utf8(found->pw_name);
}

}  // namespace talvo2::platform
