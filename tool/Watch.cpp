#include "tool/Watch.h"

#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <utils/String16.h>

#include <iostream>
#include <mutex>
#include <string>

#include "interface/BnTonvaleListener.h"
#include "interface/ITonvale.h"

namespace android {

namespace {

// A lookup while the daemon is away, and again after it died.
constexpr int kLookupPauseMs = 100;

/** Prints each change, and the watch's own events, one line at a time. */
class Printer : public BnTonvaleListener, public IBinder::DeathRecipient {
public:
    Printer() : mDied(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Printer() override { close(mDied); }

    status_t onChange(const TonvaleChange& change) override {
        print(change.toJson());
        return NO_ERROR;
    }
    void binderDied(const wp<IBinder>& /*who*/) override {
        const uint64_t one = 1;
        if (write(mDied, &one, sizeof(one)) != sizeof(one)) abort();
    }

    void event(const char* name) { print(std::string("{\"event\": \"") + name + "\"}"); }
    int diedFd() const { return mDied; }
    void clearDied() {
        uint64_t count;
        if (read(mDied, &count, sizeof(count)) < 0 && errno != EAGAIN) abort();
    }

private:
    void print(const std::string& line) {
        std::lock_guard<std::mutex> l(mLock);
        std::cout << line << std::endl;
    }

    const int mDied;
    std::mutex mLock;
};

/** Waits up to timeoutMs for a stop signal or the death event; true once a signal came. */
bool waitFor(int signals, int died, int timeoutMs) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {died, POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, died >= 0 ? 2 : 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 && (fds[0].revents & POLLIN) != 0;
    }
}

}  // namespace

int Watch::run() {
    // Taken from a descriptor by this thread, never by a handler; blocked before any thread.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const int signals = signalfd(-1, &stop, SFD_CLOEXEC);
    if (signals < 0) {
        std::cerr << "tonvale: cannot watch for signals: " << strerror(errno) << std::endl;
        return 1;
    }
    // The service's calls arrive on the pool's threads.
    ProcessState::self()->startThreadPool();
    const sp<Printer> printer = new Printer();

    bool waiting = false;
    for (;;) {
        sp<IBinder> binder = defaultServiceManager()->checkService(String16("tonvale"));
        sp<ITonvale> service = interface_cast<ITonvale>(binder);
        if (service == nullptr) {
            if (!waiting) printer->event("waiting");
            waiting = true;
            if (waitFor(signals, -1, kLookupPauseMs)) return 0;
            continue;
        }
        printer->clearDied();
        if (binder->linkToDeath(printer) != NO_ERROR) continue;  // gone again already
        const int registered = service->registerListener(printer);
        if (registered == PERMISSION_DENIED) {
            std::cerr << "tonvale: watching needs root, system or the shell (Permission denied)"
                      << std::endl;
            return 1;
        }
        if (registered == DEAD_OBJECT) {
            binder->unlinkToDeath(printer);
            continue;
        }
        if (registered != NO_ERROR) {
            std::cerr << "tonvale: the service refused the watch ("
                      << (registered < 0 && registered > -4096 ? strerror(-registered)
                                                               : std::to_string(registered))
                      << ")" << std::endl;
            return 1;
        }
        waiting = false;
        printer->event("watching");
        bool stopped = false;
        // A death reported for a daemon gone earlier is not this one's.
        while (!(stopped = waitFor(signals, printer->diedFd(), -1)) && binder->isBinderAlive()) {
            printer->clearDied();
        }
        if (!stopped) {
            printer->event("daemon_died");
            continue;
        }
        // A stop signal: leave the service's list before going.
        service->unregisterListener(printer);
        binder->unlinkToDeath(printer);
        return 0;
    }
}

}  // namespace android
