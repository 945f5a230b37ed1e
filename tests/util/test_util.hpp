#pragma once

// Shared helpers of the tests: a private temporary directory per test, running a piece of a test
// in a child process (for process-wide state, dropped privileges and cross-process behaviour).

#include <boost/filesystem.hpp>
#include <functional>
#include <map>
#include <string>

namespace talvo2::test {

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const boost::filesystem::path& path() const { return m_path; }
    // The directory joined with `relative`, as the wide string the libraries take.
    std::wstring wide(const std::wstring& relative = std::wstring()) const;

private:
    boost::filesystem::path m_path;
};

// Runs `body` in a forked child and returns the child's exit status: 0 when the body finished
// without a failed assertion, 1 when one failed, something else when the child died. Use for state
// that a test must change process-wide, and for code that must run in another process.
int runInChild(const std::function<void()>& body);

// Starts `body` in a forked child without waiting for it; finish with waitForChild, which gives
// the exit status as runInChild does. For work that must run in several processes at once.
int startChild(const std::function<void()>& body);
int waitForChild(int pid);

// Like runInChild, but the child first drops root rights to an unprivileged user, so file
// permissions apply to it. Returns -1 when the process cannot switch users (not root): callers
// skip the test then.
int runUnprivileged(const std::function<void()>& body);

// The uid/gid runUnprivileged switches to.
constexpr unsigned kUnprivilegedId = 65534;

// Two users who share the group kSharedGroup, as colleagues working in one project folder do.
constexpr unsigned kSharedGroup = 60000;
constexpr unsigned kAlice = 60001;
constexpr unsigned kBob = 60002;

// Like runInChild and startChild, but the child first becomes the user `uid` with the primary
// and only group `gid`, under the default umask 022. -1 when the process cannot switch users
// (not root): callers skip the test then.
int runAsUser(unsigned uid, unsigned gid, const std::function<void()>& body);
int startAsUser(unsigned uid, unsigned gid, const std::function<void()>& body);

// Makes `directory` (and everything below it) a shared project folder of kSharedGroup:
// group-owned, group-writable and setgid, as docs/security.md tells.
void shareWithGroup(const boost::filesystem::path& directory);

// Every entry below `root` (itself included), described by type, owner, mode, size, modification
// time and content or link target: equal snapshots mean nothing was changed, created or removed.
std::map<std::string, std::string> snapshot(const boost::filesystem::path& root);

// Writes `content` to `path`, creating or truncating it.
void writeFile(const boost::filesystem::path& path, const std::string& content);
// The whole content of `path`; empty when it cannot be read.
std::string readFile(const boost::filesystem::path& path);

// Wide text to a path through UTF-8, whatever the locale.
boost::filesystem::path utf8Path(const std::wstring& text);

}  // namespace talvo2::test
