#include "fuzz_util.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace talvo2::fuzz {

namespace {

std::vector<std::string>& scratchDirectories() {
    static std::vector<std::string> directories;
    return directories;
}

void removeScratchDirectories() {
    for (const std::string& directory : scratchDirectories()) {
        boost::system::error_code ec;
        boost::filesystem::remove_all(directory, ec);
    }
}

bool sameValue(const corekit2::variant_t& a, const corekit2::variant_t& b) {
    if (a.type() == corekit2::VT_DOUBLE && b.type() == corekit2::VT_DOUBLE &&
        std::isnan(a.get_double()) && std::isnan(b.get_double()))
        return true;
    return a == b;
}

}  // namespace

std::string makeScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/talvo2-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) fail("cannot make a scratch directory");
    if (scratchDirectories().empty()) std::atexit(removeScratchDirectories);
    scratchDirectories().push_back(pattern);
    return pattern;
}

void writeFile(const std::string& path, const void* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot open a scratch file");
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, next, size);
        if (written <= 0) fail("cannot write a scratch file");
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    ::close(fd);
}

std::string readFile(const std::string& path) {
    std::string content;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
        std::fclose(file);
    }
    return content;
}

bool sameBag(const corekit2::variant_bag_t& a, const corekit2::variant_bag_t& b) {
    const auto valueKeys = a.keys<corekit2::variant_t>();
    const auto bagKeys = a.keys<corekit2::variant_bag_t>();
    if (valueKeys != b.keys<corekit2::variant_t>() || bagKeys != b.keys<corekit2::variant_bag_t>())
        return false;
    for (const std::wstring& key : valueKeys)
        if (!sameValue(*a.get<corekit2::variant_t>(key), *b.get<corekit2::variant_t>(key)))
            return false;
    for (const std::wstring& key : bagKeys)
        if (!sameBag(*a.get<corekit2::variant_bag_t>(key), *b.get<corekit2::variant_bag_t>(key)))
            return false;
    return true;
}

void fail(const char* what) {
    std::fprintf(stderr, "talvo2 fuzz: invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace talvo2::fuzz
