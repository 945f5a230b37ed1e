#include "cli.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "ulib_2_18/text.hpp"

namespace talvo_cli {

int exitStatusFor(talvo2::error_t code) {
    using namespace talvo2;
    switch (code) {
        case OK:
            return kExitOk;
        case NotFound:
        case InvalidPath:
            return kExitNotFound;
        case AlreadyExists:
            return kExitExists;
        case FileLocked:
        case FlagOwnedElsewhere:
            return kExitBusy;
        case InsufficientPermissions:
        case AccessDenied:
            return kExitDenied;
        case ParameterError:
        case TooManyPlaceholderGroups:
        case TooLongPlaceholder:
        case ReservedCharacters:
        case ReservedDeviceName:
        case InvalidLastCharacter:
        case EmptyPattern:
            return kExitBadName;
        default:
            return kExitFailed;
    }
}

namespace {

struct ErrorText {
    talvo2::error_t code;
    const char* name;
    const char* message;
};

// This tool's words for each library code: what happened, for someone who did not write the
// library. The library's own catalog is for its hosts and has no text for some codes.
const ErrorText kErrorTexts[] = {
    {talvo2::OK, "OK", "no error"},
    {talvo2::NotImplemented, "NotImplemented", "this kind of node does not offer the operation"},
    {talvo2::InsufficientPermissions, "InsufficientPermissions",
     "permission denied, or the file system is read-only"},
    {talvo2::AlreadyExists, "AlreadyExists", "something of that name is already there"},
    {talvo2::NotFound, "NotFound",
     "no such result, project, experiment or flag (or its folder is missing)"},
    {talvo2::ParameterError, "ParameterError",
     "the arguments contradict each other, or the pattern cannot be read"},
    {talvo2::InvalidPath, "InvalidPath", "the path cannot be used (too long, or not a path)"},
    {talvo2::TooManyPlaceholderGroups, "TooManyPlaceholderGroups",
     "a result-name pattern may hold only one run of @"},
    {talvo2::TooLongPlaceholder, "TooLongPlaceholder",
     "a run of @ may be at most 8 long; add --literal to take @ as a character"},
    {talvo2::ReservedCharacters, "ReservedCharacters",
     "a result name may not hold < > : \" / \\ | ? *"},
    {talvo2::ReservedDeviceName, "ReservedDeviceName",
     "the name is a reserved device name (CON, NUL, COM1, ...)"},
    {talvo2::InvalidLastCharacter, "InvalidLastCharacter",
     "a result name may not end in a blank or a dot"},
    {talvo2::EmptyPattern, "EmptyPattern", "the result-name pattern is empty"},
    {talvo2::AccessDenied, "AccessDenied",
     "the flag's lock file may not be opened (permissions, or not a regular file)"},
    {talvo2::FileLocked, "FileLocked", "a lock file is held by another process"},
    {talvo2::FileError, "FileError",
     "a file-system operation failed (missing parent, read-only, full disk, or a copy into "
     "itself)"},
    {talvo2::RecordFormatError, "RecordFormatError",
     "the flag's owner record is empty, damaged or too large (a holder that crashed or met a "
     "full disk)"},
    {talvo2::FlagOwnedElsewhere, "FlagOwnedElsewhere", "the flag is held by someone else"},
    {talvo2::OperationFailed, "OperationFailed",
     "a file could not be read, written or removed (damaged, not a regular file, or too "
     "large)"},
};

const ErrorText* textOf(talvo2::error_t code) {
    for (const ErrorText& text : kErrorTexts)
        if (text.code == code) return &text;
    return nullptr;
}

std::vector<std::string> givenWarnings;
bool warningsAsJson = false;
bool documentPrinted = false;

}  // namespace

std::string errorName(talvo2::error_t code) {
    const ErrorText* text = textOf(code);
    return text ? text->name : "Error" + std::to_string(static_cast<unsigned>(code));
}

std::string errorMessage(talvo2::error_t code) {
    const ErrorText* text = textOf(code);
    return text ? text->message
                : "the library failed with code " + std::to_string(static_cast<unsigned>(code));
}

void fail(const std::string& what) {
    fail(what, talvo2::ResultDirectoryManager::getLastError());
}

void fail(const std::string& what, talvo2::error_t code, const std::string& hint,
          nlohmann::json details) {
    if (code == talvo2::OK)
        throw CommandFailure(kExitFailed, what + ": the operation failed", "", std::move(details));
    throw CommandFailure(exitStatusFor(code),
                         what + ": " + errorMessage(code) + (hint.empty() ? "" : "; " + hint),
                         errorName(code), std::move(details));
}

void warn(const std::string& message) {
    givenWarnings.push_back(message);
    if (!warningsAsJson) std::cerr << "talvo: warning: " << message << '\n';
}

const std::vector<std::string>& warnings() {
    return givenWarnings;
}

void collectWarningsForJson() {
    warningsAsJson = true;
}

std::wstring wide(const std::string& utf8Text) {
    return ulib_2_18::from_utf8(utf8Text);
}

std::string utf8(const std::wstring& text) {
    return ulib_2_18::to_utf8(text);
}

std::string utf8(const wchar_t* text) {
    return text ? ulib_2_18::to_utf8(text) : std::string();
}

bool validUtf8(const std::string& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > bytes.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

std::string formatTime(long long seconds) {
    if (seconds == 0) return "-";
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (!gmtime_r(&time, &parts)) return std::to_string(seconds);
    char text[64];
    return std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts)
               ? text
               : std::to_string(seconds);
}

std::string formatBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (std::fabs(bytes) >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

namespace {

std::string dumped(const nlohmann::json& document) {
    // Paths from disk may hold bytes that are not UTF-8; they are shown, not refused.
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

bool jsonPrinted() {
    return documentPrinted;
}

void printJson(const nlohmann::json& document) {
    documentPrinted = true;
    if (givenWarnings.empty() || !document.is_object()) {
        std::cout << dumped(document) << '\n';
        return;
    }
    nlohmann::json withWarnings = document;
    withWarnings["warnings"] = givenWarnings;
    std::cout << dumped(withWarnings) << '\n';
}

nlohmann::json errorDocument(const CommandFailure& failure) {
    nlohmann::json error = {
        {"status", failure.status()},
        {"code", failure.code().empty() ? nlohmann::json(nullptr) : nlohmann::json(failure.code())},
        {"message", failure.what()}};
    if (failure.details().is_object())
        for (const auto& [key, value] : failure.details().items()) error[key] = value;
    nlohmann::json document = {{"error", error}};
    if (!givenWarnings.empty()) document["warnings"] = givenWarnings;
    return document;
}

void printJsonError(const CommandFailure& failure) {
    std::cerr << dumped(errorDocument(failure)) << '\n';
}

}  // namespace talvo_cli
