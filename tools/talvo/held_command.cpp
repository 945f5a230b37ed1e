// The flag's lock travels with the command: the kernel keeps a flock as long as any descriptor
// of that open file lives, so the child that takes the flag clears close-on-exec on the lock's
// descriptor and execs the command. A SIGKILL of talvo then leaves the command holding the flag,
// and the owner record the child wrote names the command's pid (exec keeps the pid).

#include "held_command.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "cli.hpp"

namespace talvo_cli {

namespace {

volatile pid_t runningChild = 0;

// Hands a termination request on to the command: this process stays to tidy up once the command
// has ended.
void forwardToChild(int signal) {
    if (runningChild > 0) ::kill(runningChild, signal);
}

const int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kForwardedCount = sizeof kForwarded / sizeof kForwarded[0];

std::vector<int> openDescriptors() {
    std::vector<int> fds;
    DIR* listing = ::opendir("/proc/self/fd");
    if (!listing) return fds;
    while (const dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') fds.push_back(static_cast<int>(fd));
    }
    ::closedir(listing);
    return fds;
}

// Lets the flag's lock file survive exec. It is the only file the library keeps open after
// taking a flag, named after the flag with the lock extension.
bool passLockToCommand(const std::string& flagName) {
    const std::string prefix =
        flagName.substr(flagName.find_last_of('/') + 1) + utf8(talvo2::getFlagLockExtension());
    bool passed = false;
    for (const int fd : openDescriptors()) {
        char target[PATH_MAX + 1];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t length = ::readlink(link.c_str(), target, PATH_MAX);
        if (length <= 0) continue;
        const std::string path(target, static_cast<std::size_t>(length));
        if (path.compare(path.rfind('/') + 1, prefix.size(), prefix) != 0) continue;
        const int flags = ::fcntl(fd, F_GETFD);
        passed |= flags >= 0 && ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0;
    }
    return passed;
}

// The child's side: take the flag, tell the parent, become the command. Never returns.
[[noreturn]] void becomeHolder(const std::string& flagName, const std::vector<std::string>& command,
                               const std::function<void()>& take, int heldSocket) {
    int status = kExitFailed;
    try {
        take();
        if (!passLockToCommand(flagName))
            throw CommandFailure(kExitFailed, "cannot hand the flag's lock to " + command.front());
        std::cout.flush();
        // Told without SIGPIPE: a parent killed meanwhile must not take the command with it.
        const char held = 'H';
        (void)!::send(heldSocket, &held, 1, MSG_NOSIGNAL);
        std::vector<char*> argv;
        for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        const int error = errno;
        std::cerr << "talvo: cannot run " << command.front() << ": " << std::strerror(error)
                  << '\n';
        status = error == ENOENT ? 127 : 126;
    } catch (const CommandFailure& failure) {
        if (*failure.what()) std::cerr << "talvo: " << failure.what() << '\n';
        status = failure.status();
    } catch (const std::exception& error) {
        std::cerr << "talvo: " << error.what() << '\n';
    }
    std::cout.flush();
    std::cerr.flush();
    ::_exit(status);
}

}  // namespace

int runHoldingFlag(const std::string& flagName, const std::vector<std::string>& command,
                   const std::function<void()>& take, const std::function<void()>& release) {
    int held[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, held) != 0)
        throw CommandFailure(kExitFailed, "cannot make a socket pair");
    // A terminal's Ctrl-C reaches the command directly (same process group); SIGTERM and SIGHUP
    // sent to this process alone are passed on.
    struct sigaction forward {};
    forward.sa_handler = forwardToChild;
    sigemptyset(&forward.sa_mask);
    struct sigaction previous[kForwardedCount] = {};
    for (int i = 0; i < kForwardedCount; ++i) ::sigaction(kForwarded[i], &forward, &previous[i]);
    std::cout.flush();
    const pid_t child = ::fork();
    if (child == 0) {
        for (int i = 0; i < kForwardedCount; ++i) ::sigaction(kForwarded[i], &previous[i], nullptr);
        ::close(held[0]);
        becomeHolder(flagName, command, take, held[1]);
    }
    ::close(held[1]);
    runningChild = child;
    char report = 0;
    ssize_t got = 0;
    while (child > 0 && (got = ::read(held[0], &report, 1)) < 0 && errno == EINTR) {
    }
    ::close(held[0]);
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    runningChild = 0;
    for (int i = 0; i < kForwardedCount; ++i) ::sigaction(kForwarded[i], &previous[i], nullptr);
    if (child < 0) throw CommandFailure(kExitFailed, "cannot start " + command.front());
    // The lock died with the command (unless the command handed it on in turn); what is left on
    // disk is a dead holder's, which `release` clears without touching a new holder's.
    if (got == 1 && report == 'H') release();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace talvo_cli
