#include "corekit2/host.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ulib_2_18/text.hpp"

namespace corekit2 {

namespace {

std::string lookUpHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::string();
    std::string result = name;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) == 0 && found) {
        if (found->ai_canonname && found->ai_canonname[0] != '\0') result = found->ai_canonname;
        ::freeaddrinfo(found);
    }
    return result;
}

bool parseRank(const char* text, int& rank) {
    if (!text || !*text) return false;
    const char* const end = text + std::strlen(text);
    const auto [next, ec] = std::from_chars(text, end, rank);
    return ec == std::errc() && next == end && rank >= 0;
}

}  // namespace

std::wstring get_fq_host_name() {
    // The resolver may be slow; ask it once.
    static std::once_flag once;
    static std::wstring name;
    std::call_once(once, [] { name = ulib_2_18::from_utf8(lookUpHostName()); });
    return name;
}

int detectMPIRank() {
    // Open MPI, then PMIx (used by Open MPI 5 and Slurm), then MPICH's Hydra and other PMI-1/2
    // launchers, then MVAPICH.
    static const char* const kVariables[] = {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK",
                                             "MV2_COMM_WORLD_RANK"};
    for (const char* variable : kVariables) {
        const char* value = std::getenv(variable);
        if (!value) continue;
        int rank = -1;
        return parseRank(value, rank) ? rank : -1;
    }
    return -1;
}

}  // namespace corekit2
