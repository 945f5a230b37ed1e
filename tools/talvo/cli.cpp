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

std::vector<std::string> givenWarnings;
bool warningsAsJson = false;
bool documentPrinted = false;

}  // namespace

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
