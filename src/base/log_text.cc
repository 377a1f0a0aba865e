// Problem: a log line must stay one line of UTF-8 whatever bytes a name
// brings into it.
// Solution: a strict UTF-8 decoder (RFC 3629) and an escape for everything
// it refuses, for every control byte and for the characters that steer a
// terminal or a line's direction.
#include "base/log_text.h"

#include <stdio.h>

size_t utf8Length(const char* text, size_t size)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    if (size == 0)
        return 0;
    if (s[0] < 0x80)
        return 1;
    // The second byte's range rules out overlong forms, surrogates and
    // code points above U+10FFFF (RFC 3629).
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xbf;
    if (s[0] >= 0xc2 && s[0] <= 0xdf)
        n = 2;
    else if (s[0] >= 0xe0 && s[0] <= 0xef)
        n = 3, lo = s[0] == 0xe0 ? 0xa0 : 0x80, hi = s[0] == 0xed ? 0x9f : 0xbf;
    else if (s[0] >= 0xf0 && s[0] <= 0xf4)
        n = 4, lo = s[0] == 0xf0 ? 0x90 : 0x80, hi = s[0] == 0xf4 ? 0x8f : 0xbf;
    if (n == 0 || size < n || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    return n;
}

bool steersText(const char* text, size_t n)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    if (n == 2)
        return s[0] == 0xc2 && s[1] < 0xa0;
    if (n != 3 || s[0] != 0xe2)
        return false;
    // U+200E, U+200F and U+202A..U+202E are E2 80 xx; U+2066..U+2069 E2 81 xx.
    return (s[1] == 0x80 && (s[2] == 0x8e || s[2] == 0x8f || (s[2] >= 0xaa && s[2] <= 0xae))) ||
           (s[1] == 0x81 && s[2] >= 0xa6 && s[2] <= 0xa9);
}

std::string escapeLogText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = utf8Length(text.data() + i, text.size() - i);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c == 0x7f || n == 0 || steersText(text.data() + i, n)) {
                for (size_t k = 0; k < (n == 0 ? 1 : n); ++k) {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(text[i + k]));
                    out += hex;
                }
            } else {
                out.append(text, i, n);
            }
        }
        i += n == 0 ? 1 : n;
    }
    return out;
}
