#pragma once

namespace android {

/**
 * `tonvale --watch`: prints every settings change as one JSON line, flushed at once, until
 * SIGINT or SIGTERM (exit 0). Lines of its own say when it is watching, when the daemon died,
 * and when it waits for one; across a daemon restart it registers again. A caller the service
 * refuses gets the reason on stderr and exit 1.
 */
class Watch {
public:
    static int run();
};

}  // namespace android
