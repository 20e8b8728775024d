#include "service/DeviceLayout.h"

#include "service/SettingsStore.h"

namespace android {

namespace {

// Set and not empty.
const char* valueOf(const DeviceLayout::Environment& env, const char* variable) {
    const char* value = variable != nullptr ? env(variable) : nullptr;
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace

// The device's ps is toybox's. The data partition is fixed: the environment is the caller's.
const DeviceLayout DeviceLayout::kAndroid = {
    nullptr,
    nullptr,
    nullptr,
    "ps -A -o PID -o STAT -o CMDLINE",
};

// procps' ps rejects those options; Debian's toybox is Android's ps. The lock has a dot name:
// the host binder never registers one, so it cannot meet a service's socket.
const DeviceLayout DeviceLayout::kHost = {
    "ANDROID_DATA",
    "HOSTBINDER_DIR",
    "/run/hostbinder",
    "toybox ps -A -o PID -o STAT -o CMDLINE",
};

const DeviceLayout& DeviceLayout::current() {
    // Fixed when the binary is built: only an Android toolchain defines it, and only there is
    // libbinder the driver's. Nothing read at run time could tell it safely, in a root daemon
    // that its caller's environment and files reach.
#ifdef __ANDROID__
    return kAndroid;
#else
    return kHost;
#endif
}

std::string DeviceLayout::settingsDirectory(const Environment& env) const {
    return SettingsStore::directoryFor(valueOf(env, dataVariable));
}

std::string DeviceLayout::rendezvousDirectory(const Environment& env) const {
    if (rendezvousVariable == nullptr) return "";
    const char* dir = valueOf(env, rendezvousVariable);
    return dir != nullptr ? dir : rendezvousDefault;
}

std::string DeviceLayout::lockPath(const Environment& env) const {
    const std::string rendezvous = rendezvousDirectory(env);
    if (rendezvous.empty()) return settingsDirectory(env) + "tonvale.lock";
    return rendezvous + "/.tonvale.lock";
}

}  // namespace android
