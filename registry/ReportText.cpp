#include "registry/ReportText.h"

#include <stdarg.h>
#include <stdio.h>

namespace android {
namespace ReportText {

std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    int needed = vsnprintf(buffer, sizeof(buffer), fmt, args);
    va_end(args);
    if (needed < 0) return std::string();
    if (static_cast<size_t>(needed) < sizeof(buffer)) return std::string(buffer, needed);

    std::string grown(static_cast<size_t>(needed) + 1, '\0');
    va_start(args, fmt);
    vsnprintf(&grown[0], grown.size(), fmt, args);
    va_end(args);
    grown.resize(needed);
    return grown;
}

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one
// (overlong forms, surrogates and code points above U+10FFFF are rejected).
size_t utf8SequenceLength(const std::string& text, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length;
    unsigned char min2 = 0x80, max2 = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) min2 = 0xA0;
        if (lead == 0xED) max2 = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) min2 = 0x90;
        if (lead == 0xF4) max2 = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[i + k]);
        const unsigned char lo = k == 1 ? min2 : 0x80;
        const unsigned char hi = k == 1 ? max2 : 0xBF;
        if (c < lo || c > hi) return 0;
    }
    return length;
}

}  // namespace

std::string jsonEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out;
}

}  // namespace ReportText
}  // namespace android
