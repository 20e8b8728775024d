#pragma once

#include <utils/Errors.h>

#include <string>

namespace android {

/**
 * Writes text to a descriptor that a caller handed in, without trusting it: the call never
 * blocks for more than timeoutMs in all (pipes get chunks of at most PIPE_BUF bytes once poll
 * says there is room, sockets are sent to without waiting) and never raises SIGPIPE.
 * NO_ERROR when all of text was written, TIMED_OUT when the reader was too slow, else -errno.
 */
[[nodiscard]] status_t writeBounded(int fd, const std::string& text, int timeoutMs);

}  // namespace android
