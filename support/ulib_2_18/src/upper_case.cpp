#include <locale.h>
#include <wctype.h>

#include "ulib_2_18/text.hpp"

namespace ulib_2_18 {

namespace {

// glibc's built-in C.UTF-8 locale carries the full Unicode case tables, so upper-casing does not
// depend on what locale the host process happens to run in.
class UnicodeCaseLocale {
public:
    UnicodeCaseLocale() : m_locale(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {}
    ~UnicodeCaseLocale() {
        if (m_locale != static_cast<locale_t>(0)) freelocale(m_locale);
    }
    UnicodeCaseLocale(const UnicodeCaseLocale&) = delete;
    UnicodeCaseLocale& operator=(const UnicodeCaseLocale&) = delete;

    wchar_t upper(wchar_t c) const {
        if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - L'a' + L'A');
        if (c < 0x80 || m_locale == static_cast<locale_t>(0)) return c;
        return static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), m_locale));
    }

private:
    locale_t m_locale;
};

const UnicodeCaseLocale& caseLocale() {
    static const UnicodeCaseLocale instance;
    return instance;
}

}  // namespace

std::wstring to_upper(const std::wstring& text) {
    const UnicodeCaseLocale& locale = caseLocale();
    std::wstring out(text);
    for (wchar_t& c : out) c = locale.upper(c);
    return out;
}

bool equals_no_case(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && to_upper(a) == to_upper(b);
}

}  // namespace ulib_2_18
