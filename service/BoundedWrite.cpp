#include "service/BoundedWrite.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace android {

namespace {

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/**
 * Keeps SIGPIPE blocked for this thread while it lives, and takes back a SIGPIPE that a write
 * raised meanwhile, so a reader that went away cannot end the process.
 */
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&mPipe);
        sigaddset(&mPipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &mPipe, &mOld);
        sigset_t pending;
        mWasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        sigset_t pending;
        if (!mWasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec none = {0, 0};
            sigtimedwait(&mPipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &mOld, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t mPipe;
    sigset_t mOld;
    bool mWasPending = false;
};

}  // namespace

status_t writeBounded(int fd, const std::string& text, int timeoutMs) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -errno;
    // Only files and block devices never keep a writer waiting on a reader.
    const bool file = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    const bool socket = S_ISSOCK(st.st_mode);
    const int64_t deadline = nowMs() + timeoutMs;

    SigpipeBlock block;
    size_t done = 0;
    while (done < text.size()) {
        if (!file) {
            const int64_t left = deadline - nowMs();
            if (left <= 0) return TIMED_OUT;
            pollfd p = {fd, POLLOUT, 0};
            const int ready = poll(&p, 1, static_cast<int>(left));
            if (ready < 0) {
                if (errno == EINTR) continue;
                return -errno;
            }
            if (ready == 0) return TIMED_OUT;
            if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return -EPIPE;
        }
        const size_t rest = text.size() - done;
        // Room for PIPE_BUF bytes is what poll promises for a pipe, so such a write never waits.
        const size_t chunk = file ? rest : std::min(rest, static_cast<size_t>(PIPE_BUF));
        const ssize_t n = socket ? send(fd, text.data() + done, chunk, MSG_NOSIGNAL | MSG_DONTWAIT)
                                 : write(fd, text.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return -errno;
        }
        if (n == 0) return -EIO;
        done += static_cast<size_t>(n);
    }
    return NO_ERROR;
}

}  // namespace android
