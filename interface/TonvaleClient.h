#pragma once

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
sp<ITonvale> getTonvale();

// Wrappers: one lookup and one transaction each. With no service, text wrappers return "",
// int wrappers NAME_NOT_FOUND; a failed transaction yields its status; otherwise the
// service's own result comes back unchanged.

/**
 * How the last wrapper called on this thread went: NO_ERROR when the service answered,
 * NAME_NOT_FOUND when no service was found, else the failed transaction's status.
 */
status_t lastCallStatus();

std::string getStatus();
/**
 * Addresses of every control block the service exports, mapped into this process. They stay
 * valid until the next getCblks() call: the memory objects are kept until then.
 */
std::vector<tnvl_cblk*> getCblks();
std::string getVersion();
std::string getSwitches();
std::string listProfiles();
std::string listMuted();
int setControlMode(int mode);
int setDefaultSilent(bool silent);
int setWeakKeyAdjust(bool adjust);
int setProfile(std::string name, float left, float right, float general, bool split_control,
               bool isweakkey);
int unsetProfile(std::string name, bool isweakkey);
int mute(std::string name, bool isweakkey);
int unmute(std::string name, bool isweakkey);
int clear();
std::string listBuffers(int form);
std::string getDefaultProfile();
int setDefaultProfile(float left, float right, float general, bool split_control);
std::string getProfile(std::string name, bool isweakkey);
std::string getOvrStatus();

}  // namespace android
