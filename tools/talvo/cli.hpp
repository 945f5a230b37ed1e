#pragma once

// What every subcommand of the talvo tool shares: the global options, how a failure ends the
// command with a documented exit status, and text conversions between the command line (UTF-8)
// and the library (wide strings).

#include <CLI/CLI.hpp>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "error_text.hpp"
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
    kExitDamaged = 8,     // a marker, link file or folder could not be read (damaged, unreadable)
    kExitCanceled = 130,  // interrupted (Ctrl-C); nothing is left half-done
};

struct Options {
    bool json = false;
    bool quiet = false;   // nothing on standard output but what --json asks for
    bool dryRun = false;  // destructive commands say what they would do, and do nothing
};

// Ends a command: `status` becomes the exit status, `message` goes to standard error (under
// --json as one document, with `code`, the library's error name, and `details` when given).
class CommandFailure : public std::runtime_error {
public:
    CommandFailure(int status, const std::string& message, std::string code = "",
                   nlohmann::json details = nullptr)
        : std::runtime_error(message),
          m_status(status),
          m_code(std::move(code)),
          m_details(std::move(details)) {}
    int status() const { return m_status; }
    const std::string& code() const { return m_code; }
    const nlohmann::json& details() const { return m_details; }

private:
    int m_status;
    std::string m_code;
    nlohmann::json m_details;
};

// The exit status that stands for `code`.
int exitStatusFor(talvo2::error_t code);
using talvo_front::errorMessage;
using talvo_front::errorName;

// Throws the failure of `what` with this tool's message for `code` (the calling thread's last
// error when not given) and `hint`, a next step, when not empty. A code of OK still fails.
[[noreturn]] void fail(const std::string& what);
[[noreturn]] void fail(const std::string& what, talvo2::error_t code, const std::string& hint = "",
                       nlohmann::json details = nullptr);

// Reports damaged or unreadable input that a command stepped over: a "talvo: warning:" line on
// standard error, or under --json an entry of the document's "warnings". Not thread-safe.
void warn(const std::string& message);
// The warnings so far.
const std::vector<std::string>& warnings();
// From now on warnings are kept for the JSON document instead of printed.
void collectWarningsForJson();

std::wstring wide(const std::string& utf8);
std::string utf8(const std::wstring& text);
// Null reads as empty.
std::string utf8(const wchar_t* text);
// Whether `bytes` is well-formed UTF-8 (file names on Linux need not be).
bool validUtf8(const std::string& bytes);

// "2026-12-06 06:40:12 UTC" for seconds since 1970; "-" for 0.
std::string formatTime(long long seconds);
// "12.3 MiB" and the like.
std::string formatBytes(double bytes);

// Prints a JSON document (pretty, one trailing newline) to standard output, with the warnings
// given so far as its "warnings" when there are any.
void printJson(const nlohmann::json& document);
// Whether printJson has printed the command's document: a failure after it (exit 8 after showing
// what could be read) prints no second one.
bool jsonPrinted();
// The document a failure prints under --json: {"error": {status, code, message, ...details}}.
nlohmann::json errorDocument(const CommandFailure& failure);
// Prints errorDocument(failure) to standard error.
void printJsonError(const CommandFailure& failure);

// The subcommands, each registering itself and its action on `app`.
void addResultCommands(CLI::App& app, Options& options);
void addNodeCommands(CLI::App& app, Options& options);
void addTransferCommands(CLI::App& app, Options& options);
void addFlagCommands(CLI::App& app, Options& options);
void addSystemCommands(CLI::App& app, Options& options);
void addLinkCommands(CLI::App& app, Options& options);
void addCompletionCommand(CLI::App& app);

}  // namespace talvo_cli
