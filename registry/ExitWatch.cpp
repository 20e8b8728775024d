#include "registry/ExitWatch.h"

#include <sys/epoll.h>

namespace android {

namespace {

// Events taken per epoll_wait; more are fetched while a call fills the whole buffer.
constexpr int kEventsPerWait = 32;

}  // namespace

sp<ExitWatch> ExitWatch::create() {
    const int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return nullptr;
    return new ExitWatch(fd);
}

ExitWatch::ExitWatch(int epollFd) : mEpollFd(epollFd) {}

ExitWatch::~ExitWatch() = default;

bool ExitWatch::add(int fd, int32_t pid) {
    epoll_event event = {};
    // One report per descriptor: the caller releases the process it names, and later
    // rounds of one collect() see only the exits not yet reported.
    event.events = EPOLLIN | EPOLLONESHOT;
    // The descriptor travels with the pid, so a report can be matched to its record.
    event.data.u64 =
        (static_cast<uint64_t>(static_cast<uint32_t>(fd)) << 32) | static_cast<uint32_t>(pid);
    return epoll_ctl(mEpollFd.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void ExitWatch::remove(int fd) {
    epoll_ctl(mEpollFd.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void ExitWatch::collect(std::vector<Exit>* exits) {
    epoll_event events[kEventsPerWait];
    for (;;) {
        const int count = epoll_wait(mEpollFd.get(), events, kEventsPerWait, 0);
        if (count <= 0) return;
        for (int i = 0; i < count; ++i) {
            const uint64_t data = events[i].data.u64;
            exits->push_back({static_cast<int32_t>(static_cast<uint32_t>(data)),
                              static_cast<int>(static_cast<uint32_t>(data >> 32))});
        }
        if (count < kEventsPerWait) return;
    }
}

}  // namespace android
