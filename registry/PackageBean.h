#pragma once

#include <stdint.h>
#include <utils/KeyedVector.h>
#include <utils/RefBase.h>

#include <string>

#include "registry/PidBean.h"

namespace android {

/** One package with registered processes: its weak-key factors and flags. */
class PackageBean : public RefBase {
public:
    explicit PackageBean(const std::string& packageName);
    virtual ~PackageBean();

    /** Fills every block of every process; returns the number of processes. */
    uint32_t reloadAllCblk();

    /** Plain-text form with the processes below it. */
    std::string appendDump() const;
    /** JSON form with the processes below it; refreshes their hasActiveTrack. */
    std::string toJson();

    std::string packageName;
    float left;
    float right;
    float general;
    bool hasProfile;
    bool muted;
    /** The package has a weak-key profile or mute mark. */
    bool isWeakkey;
    /** Processes by process name. */
    DefaultKeyedVector<std::string, sp<PidBean>> processes;
};

}  // namespace android
