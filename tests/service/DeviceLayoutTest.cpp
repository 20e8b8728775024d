// Both device layouts, as the daemon and the settings store use them, in every build.
#include <gtest/gtest.h>
#include <string.h>

#include "service/DeviceLayout.h"

namespace android {
namespace {

// Caller environments: both variables set, neither, both empty.
const char* both(const char* name) {
    if (strcmp(name, "ANDROID_DATA") == 0) return "/mnt/data";
    if (strcmp(name, "HOSTBINDER_DIR") == 0) return "/mnt/binder";
    return nullptr;
}
const char* neither(const char*) {
    return nullptr;
}
const char* empty(const char*) {
    return "";
}

TEST(DeviceLayout, AndroidPathsAreFixedWhateverTheCallersEnvironment) {
    const DeviceLayout& android = DeviceLayout::kAndroid;
    for (auto env : {both, neither, empty}) {
        EXPECT_EQ("/data/misc/tonvale/", android.settingsDirectory(env));
        EXPECT_EQ("", android.rendezvousDirectory(env));
        // With the settings, where the device policy labels it.
        EXPECT_EQ("/data/misc/tonvale/tonvale.lock", android.lockPath(env));
    }
}

TEST(DeviceLayout, OnTheHostADeviceIsItsRendezvousDirectory) {
    const DeviceLayout& host = DeviceLayout::kHost;
    EXPECT_EQ("/mnt/data/misc/tonvale/", host.settingsDirectory(both));
    EXPECT_EQ("/mnt/binder", host.rendezvousDirectory(both));
    EXPECT_EQ("/mnt/binder/.tonvale.lock", host.lockPath(both));
    for (auto env : {neither, empty}) {
        EXPECT_EQ("/data/misc/tonvale/", host.settingsDirectory(env));
        EXPECT_EQ("/run/hostbinder/.tonvale.lock", host.lockPath(env));
    }
}

}  // namespace
}  // namespace android
