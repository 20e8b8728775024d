// A tonvale audio client for the peers benchmark: holds the control block of its own pid and
// session 1, as a playing track does, and reports when the block shows a new general volume.
//
// Reports: "READY <process name>". Commands:
//   "ARM <volume>"  answers "ARMED", then polls the block until it holds that volume and
//                   reports "SEEN <volume> 0 <seen ns>" (or "TIMEOUT").
//   "SELF <volume>" sets its own profile with the client function setProfile() and reports
//                   "SELFDONE <start ns> <reply ns> <seen ns>"; "SELFRAW <volume>" does the same
//                   through the interface it already holds (no lookup).
#include <binder/IMemory.h>
#include <fcntl.h>
#include <math.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "bench/peers/PeerLine.h"
#include "interface/TonvaleClient.h"
#include "registry/tnvl_cblk.h"

using namespace android;

namespace {

using peers::monotonicNs;
using peers::report;

// An audio path reads its block once per buffer; polling this often keeps the added delay
// small against a change that takes milliseconds, without holding one of the cores.
constexpr long kPollNs = 20000;
constexpr int64_t kTimeoutNs = 5000000000;

bool holds(const volatile tnvl_cblk* block, float want) {
    return fabsf(block->general - want) < 1e-6f;
}

std::string ownName() {
    char buf[4096] = {};
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    return n > 0 ? std::string(buf) : std::string();  // up to the first NUL
}

/** Polls until the block holds want; the time it first did, or 0 on a timeout. */
int64_t pollFor(const volatile tnvl_cblk* block, float want) {
    const int64_t deadline = monotonicNs() + kTimeoutNs;
    const timespec pause = {0, kPollNs};
    for (;;) {
        if (holds(block, want)) return monotonicNs();
        if (monotonicNs() > deadline) return 0;
        nanosleep(&pause, nullptr);
    }
}

/**
 * Times one change made by this process: a spinning thread watches the block while this one
 * makes the call, so the moment the block changes is seen even when it comes before the reply.
 */
template <typename Call>
void timeOwnChange(const volatile tnvl_cblk* block, float want, Call call) {
    std::atomic<bool> watching{false};
    int64_t seen = 0;
    const int64_t deadline = monotonicNs() + kTimeoutNs;
    std::thread watcher([&] {
        watching = true;
        while (!holds(block, want) && monotonicNs() < deadline) sched_yield();
        if (holds(block, want)) seen = monotonicNs();
    });
    while (!watching) sched_yield();
    const int64_t start = monotonicNs();
    const int status = call();
    const int64_t reply = monotonicNs();
    watcher.join();
    if (status != 0 || seen == 0) {
        report("TIMEOUT status %d", status);
        return;
    }
    report("SELFDONE %lld %lld %lld", static_cast<long long>(start), static_cast<long long>(reply),
           static_cast<long long>(seen));
}

}  // namespace

int main() {
    prctl(PR_SET_TIMERSLACK, 1UL);  // the polling pause must not stretch by the default 50 us
    const std::string name = ownName();
    sp<ITonvale> service = getTonvale();
    if (service == nullptr) {
        fprintf(stderr, "tonvale client: no service\n");
        return 1;
    }
    sp<IMemory> memory = service->getTrackCtlBlk(getpid(), 1);
    if (memory == nullptr || memory->pointer() == nullptr) {
        fprintf(stderr, "tonvale client: no control block\n");
        return 1;
    }
    volatile tnvl_cblk* block = static_cast<tnvl_cblk*>(memory->pointer());
    block->active = 1;
    report("READY %s", name.c_str());

    char line[256];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        char command[16] = {};
        char value[64] = {};
        if (sscanf(line, "%15s %63s", command, value) != 2) break;
        const float want = strtof(value, nullptr);
        if (strcmp(command, "ARM") == 0) {
            report("ARMED");
            const int64_t seen = pollFor(block, want);
            if (seen == 0) {
                report("TIMEOUT");
            } else {
                report("SEEN %s 0 %lld", value, static_cast<long long>(seen));
            }
        } else if (strcmp(command, "SELF") == 0) {
            timeOwnChange(block, want, [&] { return setProfile(name, 1, 1, want, false, false); });
        } else if (strcmp(command, "SELFRAW") == 0) {
            timeOwnChange(block, want,
                          [&] { return service->setProfile(name, 1, 1, want, false, false); });
        } else {
            fprintf(stderr, "tonvale client: unknown command '%s'\n", command);
            break;
        }
    }
    block->active = 0;
    service->releaseBufferFor(getpid(), 1);
    return 0;
}
