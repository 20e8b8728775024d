#pragma once

#include <cutils/compiler.h>

#include <string>

namespace android {

/**
 * Length of the well-formed UTF-8 sequence that starts at text[i] (1 for ASCII), or 0 when
 * none starts there: overlong forms, surrogates, values above U+10FFFF, a sequence cut short.
 */
ANDROID_API size_t utf8SequenceLength(const std::string& text, size_t i);

/**
 * Whether text is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF
 * and no sequence cut short. Only such names travel as UTF-16 and come back as they went.
 */
ANDROID_API bool isValidUtf8(const std::string& text);

}  // namespace android
