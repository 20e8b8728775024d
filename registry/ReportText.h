#pragma once

#include <string>

namespace android {

/** Text pieces shared by the registry's reports. */
namespace ReportText {

/**
 * printf into a 512-byte buffer, growing it when the result would not fit, so that a head
 * with a long name is neither cut nor overflowed.
 */
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/**
 * The body of a JSON string (without the quotes) for any byte sequence: `"`, `\` and control
 * characters are escaped, and bytes that are not valid UTF-8 become U+FFFD. A valid UTF-8 name
 * without such characters comes back unchanged.
 */
std::string jsonEscape(const std::string& text);

/** "true" or "false". */
inline const char* boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace ReportText
}  // namespace android
