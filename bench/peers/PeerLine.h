#pragma once

// The line protocol between the peers driver and its playing clients: commands arrive on
// stdin, reports leave on stdout, one line each, with CLOCK_MONOTONIC times in nanoseconds so
// the driver can set them against the moment it started a command.

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace peers {

inline int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/** Writes one report line and flushes it at once: the driver waits for it. */
__attribute__((format(printf, 1, 2))) inline void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fputc('\n', stdout);
    fflush(stdout);
}

/**
 * Splits what arrives on a non-blocking descriptor into lines. read() returns false at end of
 * input or on an error, which tells the client its driver is gone.
 */
class LineReader {
public:
    explicit LineReader(int fd) : mFd(fd) {}

    bool read() {
        char buf[256];
        ssize_t n = ::read(mFd, buf, sizeof(buf));
        if (n > 0) {
            mPending.append(buf, static_cast<size_t>(n));
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }

    /** Takes the next complete line, without its newline, into *line. */
    bool next(std::string* line) {
        size_t end = mPending.find('\n');
        if (end == std::string::npos) return false;
        *line = mPending.substr(0, end);
        mPending.erase(0, end + 1);
        return true;
    }

private:
    int mFd;
    std::string mPending;
};

}  // namespace peers
