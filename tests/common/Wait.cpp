#include "common/Wait.h"

#include <time.h>
#include <unistd.h>

namespace tonvale_test {

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    while (!done()) {
        if (nowMs() > deadline) return false;
        usleep(5000);
    }
    return true;
}

}  // namespace tonvale_test
