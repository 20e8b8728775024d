#pragma once

#include <cutils/compiler.h>
#include <utils/StrongPointer.h>

#include <string>
#include <vector>

#include "interface/ITonvale.h"
#include "registry/tnvl_cblk.h"

namespace android {

/**
 * Finds the service "tonvale": three lookups 100 ms apart, with a retry line before each
 * pause and an offline message after the last. Null when no service was found.
 */
ANDROID_API sp<ITonvale> getTonvale();

// Wrappers: one lookup and one transaction each. With no service, text wrappers return "",
// int wrappers NAME_NOT_FOUND; a failed transaction yields its status; otherwise the
// service's own result comes back unchanged.

/**
 * How the last wrapper called on this thread went: NO_ERROR when the service answered,
 * NAME_NOT_FOUND when no service was found, else the failed transaction's status.
 */
ANDROID_API status_t lastCallStatus();

ANDROID_API std::string getStatus();
/**
 * Addresses of every control block the service exports, mapped into this process. They stay
 * valid until the next getCblks() call: the memory objects are kept until then.
 */
ANDROID_API std::vector<tnvl_cblk*> getCblks();
ANDROID_API std::string getVersion();
ANDROID_API std::string getSwitches();
ANDROID_API std::string listProfiles();
ANDROID_API std::string listMuted();
ANDROID_API int setControlMode(int mode);
ANDROID_API int setDefaultSilent(bool silent);
ANDROID_API int setWeakKeyAdjust(bool adjust);
ANDROID_API int setProfile(std::string name, float left, float right, float general,
                           bool split_control, bool isweakkey);
ANDROID_API int unsetProfile(std::string name, bool isweakkey);
ANDROID_API int mute(std::string name, bool isweakkey);
ANDROID_API int unmute(std::string name, bool isweakkey);
ANDROID_API int clear();
ANDROID_API std::string listBuffers(int form);
ANDROID_API std::string getDefaultProfile();
ANDROID_API int setDefaultProfile(float left, float right, float general, bool split_control);
ANDROID_API std::string getProfile(std::string name, bool isweakkey);
ANDROID_API std::string getOvrStatus();

}  // namespace android
