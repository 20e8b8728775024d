#pragma once

#include <binder/Parcel.h>
#include <cutils/compiler.h>
#include <stdint.h>

#include <string>

#include "utils/tonvale_process_volume.h"

namespace android {

/**
 * One settings change as the service announces it to its listeners: what changed, and its
 * new values, enough for a panel to follow without asking again.
 */
struct ANDROID_API TonvaleChange {
    enum Kind : int32_t {
        /** key's profile in its table is now profile. */
        PROFILE_SET = 1,
        /** key has no profile in its table any more. */
        PROFILE_UNSET = 2,
        /** key is muted in its table. */
        MUTED = 3,
        /** key is not muted in its table. */
        UNMUTED = 4,
        /** The default-silent switch is now value. */
        DEFAULT_SILENT = 5,
        /** The weak-key-adjust switch is now value. */
        WEAK_KEY_ADJUST = 6,
        /** The default profile is now profile. */
        DEFAULT_PROFILE = 7,
        /** All four tables are empty; the switches and the default profile stay. */
        CLEARED = 8,
        /**
         * Read the settings again: changes were lost (the listener did not keep up), or a
         * change announced was refused by the disk and taken back.
         */
        RESYNC = 9,
    };

    /** Numbers the service's announcements, from 1; a gap is followed by RESYNC. */
    int64_t seq = 0;
    int32_t kind = 0;
    /** The table of key: the package (weak-key) table, or the process table. */
    bool isweakkey = false;
    std::string key;
    tonvale_process_volume_t profile;
    bool value = false;

    status_t writeToParcel(Parcel* parcel) const;
    /** BAD_VALUE for a truncated parcel, an unknown kind or a key that is not UTF-16 text. */
    status_t readFromParcel(const Parcel& parcel);

    /** One JSON object on one line, without a newline. */
    std::string toJson() const;

    /** The name of a kind in JSON ("profile_set", ...); "unknown" for another value. */
    static const char* kindName(int32_t kind);
};

}  // namespace android
