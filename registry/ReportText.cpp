#include "registry/ReportText.h"

#include <stdarg.h>
#include <stdio.h>

#include "utils/Utf8.h"

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
