// Result-name patterns on any wide text (the input decoded as UTF-8, and the input's bytes taken
// as raw wchar_t units): checking, parsing, matching and expanding never misbehave, and a pattern
// that passes the checks and parses expands to names that match it with the number they were
// made for.

#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "fuzz_util.hpp"
#include "node/name_pattern.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

using corekit2::variant_bag_t;
using corekit2::variant_t;
using namespace talvo2;
using talvo2::fuzz::check;

namespace {

// The "talvo" section of a creation bag: variables whose values begin with digits, are empty,
// name other variables or hold characters a name may not.
variant_bag_t gVariables;

void fillVariables() {
    variant_bag_t values;
    values.put(L"at", variant_t(L"x"));
    values.put(L"n", variant_t(L"42"));
    values.put(L"empty", variant_t(L""));
    values.put(L"dot", variant_t(L"."));
    values.put(L"slash", variant_t(L"a/b"));
    values.put(L"nested", variant_t(L"{n}"));
    values.put(L"hostname", variant_t(L"host.example"));
    values.put(L"number", variant_t(int32_t{5}));
    gVariables.put(L"variables", values);
}

bool isDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

void checkParsed(const std::wstring& pattern, const ResultNamePattern& parsed) {
    check(parsed.width <= 8, "a placeholder wider than 8 parsed");
    uint32_t modulus = parsed.width == 0 ? 0 : 1;
    for (uint32_t i = 0; i < parsed.width; ++i) modulus *= 10;
    check(parsed.modulus == modulus, "the modulus is not 10 to the width");
    check(parsed.prefixBytes == parsed.prefix.size() * 2, "prefixBytes is not the prefix's size");
    check(parsed.suffix.find(L'@') == std::wstring::npos, "the suffix holds an @");
    check(parsed.suffixDigits <= parsed.suffix.size(), "more suffix digits than suffix");
    for (uint32_t i = 0; i < parsed.suffixDigits; ++i)
        check(isDigit(parsed.suffix[i]), "suffixDigits counts a non-digit");
    const std::wstring joined =
        parsed.width == 0 ? parsed.prefix
                          : parsed.prefix + std::wstring(parsed.width, L'@') + parsed.suffix;
    check(joined == pattern, "prefix, placeholder and suffix do not make up the pattern");
}

// Names made from `parsed` for `number` match it with that number.
void checkNumber(const ResultNamePattern& parsed, uint64_t number, const variant_bag_t* variables,
                 bool usable) {
    const std::wstring name = expandPattern(parsed, number, variables);
    uint64_t matched = std::numeric_limits<uint64_t>::max() - number;
    check(matchPattern(parsed, name, matched), "an expanded name does not match its pattern");
    check(matched == number, "an expanded name matches with another number");
    if (usable)
        check(checkResultNamePattern(name.c_str()) == OK,
              "a pattern that passes the checks expands to a name that does not");
}

void checkNumbers(const ResultNamePattern& parsed, const variant_bag_t* variables, bool usable,
                  uint64_t fuzzed) {
    const uint64_t modulus = parsed.modulus;
    for (const uint64_t number : {uint64_t{0}, uint64_t{1}, uint64_t{7}, modulus - 1, modulus,
                                  modulus * 10 + 3, std::numeric_limits<uint64_t>::max(), fuzzed})
        checkNumber(parsed, number, variables, usable);
}

void exercise(const std::wstring& text, uint64_t fuzzed) {
    // The whole text, NULs included, where a std::wstring is taken.
    ResultNamePattern any;
    if (parsePattern(text, &gVariables, any) == OK) {
        uint64_t number = 0;
        matchPattern(any, text, number);
        expandPattern(any, fuzzed, &gVariables);
    }
    expandVariables(text, &gVariables);

    // As a C string: up to the first NUL.
    const std::wstring pattern(text.c_str());
    const talvo2::error_t checked = checkResultNamePattern(pattern.c_str());
    ResultNamePattern parsed;
    const talvo2::error_t parseStatus = parsePattern(pattern, nullptr, parsed);
    check(ResultDirectoryManager::validateResultDirectoryPattern(pattern.c_str()) ==
              (checked != OK ? checked : parseStatus),
          "validation disagrees with checking and parsing");
    std::wstring path = pattern;
    ResultDirectoryManager::isPathPatterned(path.data());
    if (parseStatus != OK) return;
    checkParsed(pattern, parsed);
    uint64_t number = 0;
    matchPattern(parsed, pattern, number);
    checkNumbers(parsed, nullptr, checked == OK && parsed.width != 0, fuzzed);

    ResultNamePattern withVariables;
    check(parsePattern(pattern, &gVariables, withVariables) == OK,
          "a pattern parses without variables but not with them");
    checkNumbers(withVariables, &gVariables, false, fuzzed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refused patterns are logged; a root appender keeps that work but silences the console.
    log4cplus::Logger::getRoot().addAppender(
        log4cplus::SharedAppenderPtr(new log4cplus::NullAppender));
    fillVariables();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    uint64_t fuzzed = 0;
    std::memcpy(&fuzzed, data, size < sizeof fuzzed ? size : sizeof fuzzed);

    exercise(ulib_2_18::from_utf8(std::string(reinterpret_cast<const char*>(data), size)), fuzzed);

    std::wstring units(size / sizeof(wchar_t), L'\0');
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(wchar_t));
    exercise(units, fuzzed);
    return 0;
}
