#pragma once

#include <android-base/unique_fd.h>
#include <stdint.h>
#include <utils/RefBase.h>

#include <vector>

namespace android {

/**
 * One epoll set over the exit descriptors (pidfds) of a registry's processes, so that a
 * single call finds every process that has exited. The registry's processes share it: each
 * watched PidBean holds a reference, and the set closes with the last of them.
 */
class ExitWatch : public RefBase {
public:
    /** A new, empty set; null when no epoll instance can be made (e.g. out of descriptors). */
    static sp<ExitWatch> create();

    virtual ~ExitWatch();

    /** Watches fd (which stays the caller's) on behalf of pid. False when epoll refuses. */
    bool add(int fd, int32_t pid);

    /**
     * Stops watching fd; call before closing it. (A copy of the descriptor in a forked child
     * would otherwise keep it in the set after the close.)
     */
    void remove(int fd);

    /** One exited process: its pid and the descriptor that reported it. */
    struct Exit {
        int32_t pid;
        int fd;
    };

    /**
     * Appends, without waiting, the processes whose descriptors report an exit. Each
     * descriptor is reported once; a failed wait appends nothing.
     */
    void collect(std::vector<Exit>* exits);

private:
    explicit ExitWatch(int epollFd);

    const base::unique_fd mEpollFd;
};

}  // namespace android
