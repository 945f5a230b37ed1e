#include "util/test_util.hpp"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ulib_2_18/text.hpp"

namespace talvo2::test {

namespace fs = boost::filesystem;

TempDir::TempDir() {
    m_path = fs::temp_directory_path() / fs::unique_path("talvo2-test-%%%%-%%%%-%%%%");
    fs::create_directories(m_path);
    // Children that drop privileges must be able to reach what the test makes for them.
    fs::permissions(m_path, fs::perms::all_all);
}

TempDir::~TempDir() {
    boost::system::error_code ec;
    // Make anything a test locked down removable again.
    for (fs::recursive_directory_iterator it(m_path, ec), end; !ec && it != end; it.increment(ec))
        if (fs::is_directory(it->symlink_status(ec)))
            fs::permissions(it->path(), fs::perms::all_all, ec);
    fs::remove_all(m_path, ec);
}

std::wstring TempDir::wide(const std::wstring& relative) const {
    std::wstring base = ulib_2_18::from_utf8(m_path.string());
    return relative.empty() ? base : base + L"/" + relative;
}

namespace {

int waitFor(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -2;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

[[noreturn]] void finishChild(const std::function<void()>& body) {
    try {
        body();
    } catch (...) {
        ADD_FAILURE() << "exception escaped the child's body";
    }
    std::fflush(nullptr);
    // _exit: the child must not run the parent's atexit handlers or flush its buffers twice.
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
}

// log4cplus starts worker threads when it is loaded. A fork while one of them is still starting up
// may copy a held allocator lock into the child, which then hangs on its first allocation (seen
// under AddressSanitizer). Wait until every other thread sleeps before forking.
void waitForQuietThreads() {
    const pid_t self = ::getpid();
    for (int attempt = 0; attempt < 200; ++attempt) {
        bool quiet = true;
        boost::system::error_code ec;
        for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->path().filename() == std::to_string(self)) continue;
            const std::string stat = readFile(it->path() / "stat");
            const auto close = stat.rfind(')');
            if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'S') {
                quiet = false;
                break;
            }
        }
        if (quiet) return;
        ::usleep(5000);
    }
}

}  // namespace

int startChild(const std::function<void()>& body) {
    waitForQuietThreads();
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) finishChild(body);
    return child;
}

int waitForChild(int pid) {
    return pid < 0 ? -2 : waitFor(pid);
}

int runInChild(const std::function<void()>& body) {
    return waitForChild(startChild(body));
}

int runUnprivileged(const std::function<void()>& body) {
    if (::geteuid() != 0) return -1;
    return runInChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
            ::setuid(kUnprivilegedId) != 0) {
            ADD_FAILURE() << "could not drop privileges";
            return;
        }
        body();
    });
}

namespace {

bool becomeUser(unsigned uid, unsigned gid) {
    const gid_t groups[] = {static_cast<gid_t>(gid)};
    ::umask(022);
    return ::setgroups(1, groups) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0;
}

}  // namespace

int runAsUser(unsigned uid, unsigned gid, const std::function<void()>& body) {
    if (::geteuid() != 0) return -1;
    return runInChild([&] {
        if (!becomeUser(uid, gid)) {
            ADD_FAILURE() << "could not become user " << uid;
            return;
        }
        body();
    });
}

int startAsUser(unsigned uid, unsigned gid, const std::function<void()>& body) {
    if (::geteuid() != 0) return -1;
    return startChild([&] {
        if (!becomeUser(uid, gid)) {
            ADD_FAILURE() << "could not become user " << uid;
            return;
        }
        body();
    });
}

void shareWithGroup(const fs::path& directory) {
    const auto share = [](const fs::path& path, bool isDirectory) {
        (void)!::chown(path.c_str(), static_cast<uid_t>(-1), kSharedGroup);
        ::chmod(path.c_str(), isDirectory ? 02775 : 0664);
    };
    share(directory, true);
    for (fs::recursive_directory_iterator it(directory), end; it != end; ++it)
        share(it->path(), fs::is_directory(it->symlink_status()));
}

std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    const auto describe = [&entries](const fs::path& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return;
        std::string text = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                           std::to_string(st.st_gid) + " " + std::to_string(st.st_size) + " " +
                           std::to_string(st.st_mtim.tv_sec) + "." +
                           std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_nlink);
        if (S_ISREG(st.st_mode)) text += " " + readFile(path);
        if (S_ISLNK(st.st_mode)) text += " -> " + fs::read_symlink(path).string();
        entries[path.string()] = text;
    };
    describe(root);
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) describe(it->path());
    return entries;
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

fs::path utf8Path(const std::wstring& text) {
    return fs::path(ulib_2_18::to_utf8(text));
}

}  // namespace talvo2::test
