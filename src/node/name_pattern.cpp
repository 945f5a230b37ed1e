#include "node/name_pattern.hpp"

#include <limits>
#include <string>

#include "corekit2/host.hpp"
#include "frame/bag_values.hpp"
#include "frame/disk_format.hpp"
#include "frame/logger.hpp"
#include "frame/wide_path.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

namespace {

// Logs why a pattern was refused, naming the check's place in the source.
error_t refuse(error_t code, const wchar_t* pattern, const char* file, int line) {
    log4cplus::Logger& log = logger();
    if (log.isEnabledFor(log4cplus::ERROR_LOG_LEVEL)) {
        std::string text = ulib_2_18::to_utf8(toString(code));
        if (pattern && *pattern) text += ". Pattern: " + ulib_2_18::to_utf8(pattern);
        text += ", at file: " + std::string(file) + ":" + std::to_string(line);
        log.forcedLog(log4cplus::ERROR_LOG_LEVEL, text, file, line);
    }
    return code;
}

#define TALVO2_REFUSE(code, pattern) refuse(code, pattern, __FILE__, __LINE__)

bool isDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

}  // namespace

error_t checkResultNamePattern(const wchar_t* pattern) {
    if (!pattern || !*pattern) return TALVO2_REFUSE(EmptyPattern, pattern);
    const std::wstring text(pattern);
    if (text == L"." || text == L"..") return OK;
    std::wstring first = ulib_2_18::to_upper(text.substr(0, text.find(L'.')));
    if (ResultDirectoryManager::isReservedDirectoryName(first.c_str()))
        return TALVO2_REFUSE(ReservedDeviceName, pattern);
    // COM@ would number its first result COM1.
    if (first.size() > 1 && first.back() == L'@') {
        first.back() = L'1';
        if (ResultDirectoryManager::isReservedDirectoryName(first.c_str()))
            return TALVO2_REFUSE(ReservedDeviceName, pattern);
    }
    // A character without a UTF-8 form could not reach the disk as written either.
    if (text.find_first_of(disk::kReservedCharacters) != std::wstring::npos || !isEncodable(text))
        return TALVO2_REFUSE(ReservedCharacters, pattern);
    if (text.back() == L' ' || text.back() == L'.')
        return TALVO2_REFUSE(InvalidLastCharacter, pattern);
    return OK;
}

error_t parsePattern(const std::wstring& pattern, const corekit2::variant_bag_t* variables,
                     ResultNamePattern& parsed) {
    ResultNamePattern result;
    const std::size_t at = pattern.find(L'@');
    if (at == std::wstring::npos) {
        result.prefix = pattern;
    } else {
        result.prefix = pattern.substr(0, at);
        std::size_t end = at;
        while (end < pattern.size() && pattern[end] == L'@') ++end;
        const std::size_t width = end - at;
        const std::wstring rest = pattern.substr(end);
        if (rest.find(L'@') != std::wstring::npos) return TooManyPlaceholderGroups;
        if (width > 8) return TooLongPlaceholder;
        result.suffix = rest;
        result.width = static_cast<uint32_t>(width);
        result.modulus = 1;
        for (uint32_t i = 0; i < result.width; ++i) result.modulus *= 10;
    }
    if (variables) result.prefix = expandVariables(result.prefix, variables);
    result.prefixBytes = static_cast<uint32_t>(result.prefix.size() * 2);
    // Counted on the suffix as names spell it: a variable expanding to digits ("r@@@{rank}" with
    // rank 42 gives r00042) would otherwise be read as part of the number, and each new name would
    // be numbered past those digits.
    const std::wstring spelled =
        variables ? expandVariables(result.suffix, variables) : result.suffix;
    while (result.suffixDigits < spelled.size() && isDigit(spelled[result.suffixDigits]))
        ++result.suffixDigits;
    parsed = std::move(result);
    return OK;
}

namespace {

// The number in `name` after a prefix of `prefixLength` units: its digits, less those the
// suffix begins with. False without digits or when the number would overflow.
template <class Text>
bool numberAfter(const ResultNamePattern& pattern, const Text& name, std::size_t prefixLength,
                 uint64_t& number) {
    std::size_t end = prefixLength;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    const std::size_t digits = end - prefixLength;
    if (digits == 0) return false;
    // Digits that the suffix itself begins with are not part of the number.
    const std::size_t counted = digits > pattern.suffixDigits ? digits - pattern.suffixDigits : 0;
    uint64_t value = 0;
    for (std::size_t i = 0; i < counted; ++i) {
        const uint64_t digit = static_cast<uint64_t>(name[prefixLength + i] - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        value = value * 10 + digit;
    }
    number = value;
    return true;
}

}  // namespace

bool matchPattern(const ResultNamePattern& pattern, const std::wstring& name, uint64_t& number) {
    if (name.size() < pattern.prefix.size() ||
        name.compare(0, pattern.prefix.size(), pattern.prefix) != 0)
        return false;
    return numberAfter(pattern, name, pattern.prefix.size(), number);
}

bool matchPatternBytes(const ResultNamePattern& pattern, std::string_view prefix,
                       std::string_view name, uint64_t& number) {
    if (name.size() < prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
    return numberAfter(pattern, name, prefix.size(), number);
}

std::wstring expandPattern(const ResultNamePattern& pattern, uint64_t number,
                           const corekit2::variant_bag_t* variables) {
    std::wstring digits = std::to_wstring(number);
    if (digits.size() < pattern.width) digits.insert(0, pattern.width - digits.size(), L'0');
    return pattern.prefix + digits + expandVariables(pattern.suffix, variables);
}

std::wstring expandVariables(const std::wstring& text, const corekit2::variant_bag_t* variables) {
    if (!variables) return text;
    const corekit2::variant_bag_t* values =
        variables->get<corekit2::variant_bag_t>(disk::kVariables);
    std::wstring out;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t open = text.find(L'{', position);
        if (open == std::wstring::npos) break;
        const std::size_t close = text.find(L'}', open);
        if (close == std::wstring::npos) break;
        out.append(text, position, open - position);
        const std::wstring name = text.substr(open + 1, close - open - 1);
        const wchar_t* value = stringValue(values, name);
        if (value) {
            out += value;
        } else if (values && name == L"hostname") {
            out += corekit2::get_fq_host_name();
        } else {
            out.append(text, open, close - open + 1);
        }
        position = close + 1;
    }
    out.append(text, position, std::wstring::npos);
    return out;
}

}  // namespace talvo2
