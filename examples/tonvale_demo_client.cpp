// A demo audio client: asks the service for a control block for its own pid and the given
// session, maps it, marks it active and prints its volumes and mute flag on every change.
// SIGINT or SIGTERM gives the block back.
#include <binder/IMemory.h>
#include <binder/ProcessState.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "interface/TonvaleClient.h"
#include "registry/tnvl_cblk.h"

namespace {

volatile sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

struct Seen {
    float left, right, general;
    int muted;
    bool operator!=(const Seen& o) const {
        return left != o.left || right != o.right || general != o.general || muted != o.muted;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <session> [poll-ms]\n", argv[0]);
        return 2;
    }
    const int session = atoi(argv[1]);
    const int pollMs = argc > 2 ? atoi(argv[2]) : 5;

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    android::sp<android::ITonvale> service = android::getTonvale();
    if (service == nullptr) {
        fprintf(stderr, "\nno service\n");
        return 1;
    }
    const int pid = getpid();
    android::sp<android::IMemory> mem = service->getTrackCtlBlk(pid, session);
    if (mem == nullptr || mem->pointer() == nullptr) {
        fprintf(stderr, "no control block for pid %d session %d\n", pid, session);
        return 1;
    }
    volatile android::tnvl_cblk* cblk = static_cast<android::tnvl_cblk*>(mem->pointer());
    cblk->active = 1;
    printf("track pid=%d session=%d\n", pid, session);
    fflush(stdout);

    bool first = true;
    Seen last{};
    while (!gStop) {
        Seen now{cblk->left, cblk->right, cblk->general, cblk->muted};
        if (first || now != last) {
            printf("left=%f right=%f general=%f muted=%d\n", now.left, now.right, now.general,
                   now.muted);
            fflush(stdout);
            last = now;
            first = false;
        }
        usleep(pollMs * 1000);
    }
    cblk->active = 0;
    int rc = service->releaseBufferFor(pid, session);
    printf("released pid=%d session=%d result=%d\n", pid, session, rc);
    fflush(stdout);
    return 0;
}
