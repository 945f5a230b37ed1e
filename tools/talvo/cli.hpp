#pragma once

// What every subcommand of the talvo tool shares: the global options, how a failure ends the
// command with a documented exit status, and text conversions between the command line (UTF-8)
// and the library (wide strings).

#include <CLI/CLI.hpp>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "talvo2/talvo2.hpp"

namespace talvo_cli {

// Exit statuses, documented in the README and in `talvo --help`.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,      // the operation failed for another reason
    kExitUsage = 2,       // the command line is wrong
    kExitNotFound = 3,    // no such result, project, experiment, folder or flag
    kExitExists = 4,      // the target is already there
    kExitBusy = 5,        // a flag or lock file is held by someone else
    kExitDenied = 6,      // permissions refuse the operation
    kExitBadName = 7,     // a name or pattern the library refuses
    kExitCanceled = 130,  // interrupted (Ctrl-C); nothing is left half-done
};

struct Options {
    bool json = false;
};

// Ends a command: `status` becomes the exit status, `message` goes to standard error.
class CommandFailure : public std::runtime_error {
public:
    CommandFailure(int status, const std::string& message)
        : std::runtime_error(message), m_status(status) {}
    int status() const { return m_status; }

private:
    int m_status;
};

// The exit status that stands for `code`.
int exitStatusFor(talvo2::error_t code);

// Throws the failure of `what` with the library's message for `code` (the calling thread's last
// error when not given). A code of OK still fails, with a generic message.
[[noreturn]] void fail(const std::string& what);
[[noreturn]] void fail(const std::string& what, talvo2::error_t code);

std::wstring wide(const std::string& utf8);
std::string utf8(const std::wstring& text);
// Null reads as empty.
std::string utf8(const wchar_t* text);

// "2026-12-06 06:40:12 UTC" for seconds since 1970; "-" for 0.
std::string formatTime(long long seconds);
// "12.3 MiB" and the like.
std::string formatBytes(double bytes);

// Prints a JSON document (pretty, one trailing newline) to standard output.
void printJson(const nlohmann::json& document);

// The subcommands, each registering itself and its action on `app`.
void addResultCommands(CLI::App& app, const Options& options);
void addNodeCommands(CLI::App& app, const Options& options);
void addTransferCommands(CLI::App& app, const Options& options);
void addFlagCommands(CLI::App& app, const Options& options);
void addSystemCommands(CLI::App& app, const Options& options);

}  // namespace talvo_cli
