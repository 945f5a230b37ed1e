#pragma once

// Result-name patterns: the last element of a result path may hold one run of "@", replaced by a
// zero-padded number that makes the name new, and variables in braces ("{hostname}"), replaced by
// values of the creation bag.

#include <cstdint>
#include <string>
#include <string_view>

#include "corekit2/variant_bag.hpp"
#include "talvo2/error.hpp"

namespace talvo2 {

struct ResultNamePattern {
    std::wstring prefix;        // text before the "@" run (all of it without one)
    std::wstring suffix;        // text after the run, variables not yet expanded
    uint32_t width = 0;         // number of "@", 0 without a run, at most 8
    uint32_t modulus = 0;       // 10 to the power of width; 0 without a run
    uint32_t prefixBytes = 0;   // length of prefix in UTF-16 bytes
    uint32_t suffixDigits = 0;  // decimal digits the suffix begins with
};

// The checks a name must pass before it is parsed: EmptyPattern, ReservedDeviceName (the part
// before the first "." in any case, also with a trailing "@" read as "1"), ReservedCharacters
// (< > : " / \ | ? *), InvalidLastCharacter (" " or "."), else OK. "." and ".." pass. Each
// refusal is logged at error level through the logger "talvo".
error_t checkResultNamePattern(const wchar_t* pattern);

// Splits `pattern` at its "@" run: TooManyPlaceholderGroups for a second run, TooLongPlaceholder
// for more than 8 "@". With `variables` (the "talvo" section of a creation bag) the prefix has its
// variables expanded.
error_t parsePattern(const std::wstring& pattern, const corekit2::variant_bag_t* variables,
                     ResultNamePattern& parsed);

// Whether `name` starts with the prefix followed by at least one digit; `number` receives the
// value of those digits less the ones the suffix itself begins with. The rest of the name is not
// compared. A number too large to hold does not match.
bool matchPattern(const ResultNamePattern& pattern, const std::wstring& name, uint64_t& number);
// The same for a name as it is on disk (UTF-8), with the pattern's prefix given in UTF-8: the
// digits are ASCII in both encodings, so nothing needs converting.
bool matchPatternBytes(const ResultNamePattern& pattern, std::string_view prefix,
                       std::string_view name, uint64_t& number);

// The name for `number`: prefix, the number zero-padded to the width (wider numbers in full),
// then the suffix with its variables expanded.
std::wstring expandPattern(const ResultNamePattern& pattern, uint64_t number,
                           const corekit2::variant_bag_t* variables);

// Replaces each "{name}" by the wide-string value of that name in the "variables" section of
// `variables`; "{hostname}" defaults to the machine's fully qualified name when that section
// exists but lacks it. Unknown references, and all of them without a "variables" section, stay
// as written; values are not scanned again.
std::wstring expandVariables(const std::wstring& text, const corekit2::variant_bag_t* variables);

}  // namespace talvo2
