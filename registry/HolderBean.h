#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "registry/WatchedProcess.h"

namespace android {

/**
 * A process that holds blocks of other processes' tracks, as the audio server holds those of
 * the tracks it mixes. It is watched so that its holds go back when it exits. (A process
 * holding its own tracks needs no such record: its own exit takes the tracks.)
 */
class HolderBean : public WatchedProcess {
public:
    HolderBean(int32_t pid, uid_t uid);
    virtual ~HolderBean();

    uid_t uid;
    /** Holds it has on tracks of other processes; the record goes when this reaches 0. */
    uint32_t holdCount;
};

}  // namespace android
