#pragma once

#include <string>

#include "ulib_2_18/export.hpp"

namespace ulib_2_18 {

// The text type that messages render into.
using ustring = std::wstring;

// Converts wide text (one code point per wchar_t) to UTF-8. Code units that are not Unicode scalar
// values (lone surrogates, values above U+10FFFF) become U+FFFD. Never throws except
// std::bad_alloc.
ULIB_2_18_API std::string to_utf8(const std::wstring& text);

// Converts UTF-8 to wide text. Every ill-formed sequence (overlong forms, surrogates, truncated or
// stray bytes) becomes one U+FFFD per maximal ill-formed subpart, so any byte string converts.
ULIB_2_18_API std::wstring from_utf8(const std::string& text);

// Upper-cases text for case-insensitive comparison with the Unicode simple case mapping,
// independent of the process locale. Thread-safe.
ULIB_2_18_API std::wstring to_upper(const std::wstring& text);

// True when both texts are equal after to_upper.
ULIB_2_18_API bool equals_no_case(const std::wstring& a, const std::wstring& b);

}  // namespace ulib_2_18
