#pragma once

#include <android-base/unique_fd.h>
#include <stdint.h>
#include <utils/RefBase.h>

#include "registry/ExitWatch.h"

namespace android {

/**
 * A process the registry keeps records for, named by its pid and start time, and watched so
 * that its records go when it exits.
 */
class WatchedProcess : public RefBase {
public:
    explicit WatchedProcess(int32_t pid);
    virtual ~WatchedProcess();

    /** Takes exitFd out of exitWatch and closes it; drops exitWatch. */
    void stopWatching();

    int32_t pid;
    /** With pid, names the process: /proc/<pid>/stat's start time at registration. */
    unsigned long long startTime;
    /** Reports the process's exit (a pidfd in exitWatch); -1 when unwatched. Owned. */
    base::unique_fd exitFd;
    /** The registry's exit set that exitFd is in, shared by its watched processes. */
    sp<ExitWatch> exitWatch;
};

}  // namespace android
