#pragma once

#include <cutils/compiler.h>
#include <stdlib.h>

#include <functional>
#include <string>

namespace android {

/**
 * What sets a device apart from the host build: where the settings and the daemon's lock live,
 * what stands for the device, and how its processes are listed. Both values are built and
 * tested everywhere; current() alone picks the one that applies.
 *
 * On Android the device is the whole system: fixed paths, one binder driver. On the host a
 * device is a rendezvous directory of the host transport, which holds its daemon's lock, and
 * the data partition is wherever the environment says.
 */
struct ANDROID_API DeviceLayout {
    /** Reads an environment variable; null when it is unset. */
    typedef std::function<const char*(const char*)> Environment;

    /** The variable naming the data partition; null: always "/data". */
    const char* dataVariable;
    /** The variable naming the rendezvous directory; null: the device has none. */
    const char* rendezvousVariable;
    /** The rendezvous directory when that variable is unset or empty. */
    const char* rendezvousDefault;
    /** Lists every process: a header line, then its id, state and command line. */
    const char* listingCommand;

    /** The settings directory, ending with "/". */
    std::string settingsDirectory(const Environment& env = getenv) const;
    /** The rendezvous directory; "" when the device has none. */
    std::string rendezvousDirectory(const Environment& env = getenv) const;
    /** The lock file that the device's one daemon holds for its whole life. */
    std::string lockPath(const Environment& env = getenv) const;

    static const DeviceLayout kAndroid;
    static const DeviceLayout kHost;

    /** The layout of the device this build runs on. */
    static const DeviceLayout& current();
};

}  // namespace android
