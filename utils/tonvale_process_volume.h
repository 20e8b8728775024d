#pragma once

#include <stdint.h>
#include <utils/KeyedVector.h>

#include <string>

namespace android {

/** One volume profile. Copied by value; 1.0 is neutral for every factor. */
struct tonvale_process_volume_t {
    int32_t reserved = 0;
    float left = 1.0f;
    float right = 1.0f;
    float general = 1.0f;
    bool split_control = false;
};

/** Control mode of the service; 0 is MODE_UNDER_SYSTEM. */
typedef uint32_t control_mode_flags_t;

/** Profile tables: name to profile, record defaults for a missing key. */
typedef DefaultKeyedVector<std::string, tonvale_process_volume_t> tonvale_profile_table_t;

/** Mute tables: name to true, false for a missing key. */
typedef DefaultKeyedVector<std::string, bool> tonvale_mute_table_t;

}  // namespace android
