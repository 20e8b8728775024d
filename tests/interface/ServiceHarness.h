#pragma once

#include <sys/types.h>
#include <utils/StrongPointer.h>

#include <functional>

namespace android {
class BBinder;
}

namespace tonvale_test {

/**
 * Forks a process that publishes the service object made by factory as "tonvale" and serves
 * it until killed. Returns its pid once the service answers, or -1.
 */
pid_t startService(const std::function<android::sp<android::BBinder>()>& factory);

/** Starts a plain Tonvale service on this test's data directory. */
pid_t startTonvale();

/** Kills a service started above and waits for it. */
void stopService(pid_t pid);

/** Runs fn in a forked child and returns its exit status (fn's return value). */
int inChild(const std::function<int()>& fn);

}  // namespace tonvale_test
