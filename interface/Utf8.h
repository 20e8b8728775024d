#pragma once

#include <cutils/compiler.h>

#include <string>

namespace android {

/**
 * Whether text is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF
 * and no sequence cut short. Only such names travel as UTF-16 and come back as they went.
 */
ANDROID_API bool isValidUtf8(const std::string& text);

}  // namespace android
