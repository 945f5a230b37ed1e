#pragma once

// The raw directory reading the floors are made of: getdents64 into a buffer that is reused, names
// and types straight from the kernel's records, no allocation per entry.

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

struct RawEntry {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

// Calls `visit(name, d_type)` for every entry of the open directory `fd`, from its start.
template <class Visit>
void scanDirectory(int fd, std::vector<char>& buffer, Visit&& visit) {
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
        const long got = ::syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
        if (got <= 0) return;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const RawEntry*>(buffer.data() + at);
            visit(static_cast<const char*>(entry->name), entry->type);
            at += entry->reclen;
        }
    }
}

}  // namespace bench
