#pragma once

#include <stdint.h>
#include <utils/KeyedVector.h>
#include <utils/RefBase.h>

#include <string>

#include "registry/ATrack.h"
#include "registry/WatchedProcess.h"

namespace android {

class PackageBean;

/** One registered process: its own volume factors and flags, and its tracks by session. */
class PidBean : public WatchedProcess {
public:
    PidBean(int32_t pid, const std::string& processName);
    virtual ~PidBean();

    /** Fills every block of the process; returns the number of tracks. */
    uint32_t reloadAllCblk();

    /** Sum of the active bytes of the process's blocks. */
    uint32_t activeCount() const;

    /** Plain-text form with the tracks below it. */
    std::string appendDump() const;
    /** JSON form with the tracks below it; refreshes hasActiveTrack. */
    std::string toJson();

    /** The command line at registration. */
    std::string processName;
    float left;
    float right;
    float general;
    bool hasProfile;
    bool muted;
    /** Copy of the package's isWeakkey. */
    bool isWeakkey;
    sp<PackageBean> package;
    bool hasActiveTrack;
    DefaultKeyedVector<int, sp<ATrack>> tracks;

    /** A cap on unprivileged requests has been logged for this process. */
    bool capLogged;
};

}  // namespace android
