#include <cstdint>

#include "ulib_2_18/text.hpp"

namespace ulib_2_18 {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isScalarValue(char32_t c) {
    return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string to_utf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        const auto c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(w));
        appendUtf8(out, isScalarValue(c) ? c : kReplacement);
    }
    return out;
}

std::wstring from_utf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            ++p;
            continue;
        }
        int length = 0;
        char32_t c = 0;
        // The second byte's range rules out overlong forms, surrogates and values past U+10FFFF.
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            out += static_cast<wchar_t>(kReplacement);
            ++p;
            continue;
        }
        const unsigned char* q = p + 1;
        bool complete = true;
        for (int i = 1; i < length; ++i, ++q) {
            const unsigned char lo = i == 1 ? low : 0x80;
            const unsigned char hi = i == 1 ? high : 0xBF;
            if (q >= end || *q < lo || *q > hi) {
                complete = false;
                break;
            }
            c = (c << 6) | (*q & 0x3F);
        }
        out += static_cast<wchar_t>(complete ? c : kReplacement);
        p = q;  // a broken sequence is replaced once, and scanning resumes at the offending byte
    }
    return out;
}

}  // namespace ulib_2_18
