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

void fail(const std::string& what) {
    fail(what, talvo2::ResultDirectoryManager::getLastError());
}

namespace {

// The library's catalog has no text for some codes ("An unknown error occurred"); these say what
// they mean here.
const char* messageWithoutCatalogText(talvo2::error_t code) {
    switch (code) {
        case talvo2::AccessDenied:
            return "the flag's lock file may not be opened";
        case talvo2::RecordFormatError:
            return "the flag's owner record is damaged or too large";
        case talvo2::FlagOwnedElsewhere:
            return "the flag is held by someone else";
        case talvo2::OperationFailed:
            return "a file could not be read, written or removed (damaged, not a regular file, or "
                   "too large)";
        default:
            return nullptr;
    }
}

}  // namespace

void fail(const std::string& what, talvo2::error_t code) {
    if (code == talvo2::OK) throw CommandFailure(kExitFailed, what + ": the operation failed");
    const char* own = messageWithoutCatalogText(code);
    throw CommandFailure(exitStatusFor(code),
                         what + ": " + (own ? std::string(own) : utf8(talvo2::toString(code))));
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

void printJson(const nlohmann::json& document) {
    // Paths from disk may hold bytes that are not UTF-8; they are shown, not refused.
    std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

}  // namespace talvo_cli
