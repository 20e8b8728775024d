#pragma once

#include <utils/StrongPointer.h>

#include <functional>

#include "common/Child.h"

namespace android {
class BBinder;
}

namespace tonvale_test {

/**
 * Forks a process that publishes the service object made by factory as "tonvale" and serves
 * it until stopped. Returns it once the service answers; not running() when it did not.
 */
ChildGuard startService(const std::function<android::sp<android::BBinder>()>& factory);

/** Starts a plain Tonvale service on this test's data directory. */
ChildGuard startTonvale();

/** In a forked child: publishes the object made by factory and serves it; never returns. */
[[noreturn]] void serveAsTonvale(const std::function<android::sp<android::BBinder>()>& factory);

}  // namespace tonvale_test
