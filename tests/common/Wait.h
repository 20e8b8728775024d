#pragma once

#include <functional>

namespace tonvale_test {

/** Long enough for anything a test waits for on a loaded machine or under qemu-arm. */
constexpr int kLongWaitMs = 30000;

/** Milliseconds on the monotonic clock. */
long long nowMs();

/**
 * Polls until done() holds, every few milliseconds; false once timeoutMs have passed. For
 * conditions that give no event to wait on (another process's /proc entries, a registration).
 */
bool waitUntil(const std::function<bool()>& done, int timeoutMs = kLongWaitMs);

}  // namespace tonvale_test
