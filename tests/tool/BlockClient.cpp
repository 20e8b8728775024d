// A scriptable audio client for the end-to-end tests: one command per line on stdin, one
// answer line on stdout. It never releases a block unless told to; at end of input it exits
// holding whatever it has.
//
//   take <first> <count>  asks for sessions first..first+count-1 for its own pid; answers
//                         "granted <n> same <m>", m counting blocks that were already its own
//                         (their active byte, which only this client writes, was set)
//   show <session>        "left=<f> muted=<d>" of that block, or "none"
//   ovr                   "playing <n>" from the service's overview
//   release <session>     "released <result>"
//   listen <count>        registers count listeners that ignore what they hear; answers
//                         "listening <result of the last>"
#include <binder/IMemory.h>
#include <binder/ProcessState.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "interface/BnTonvaleListener.h"
#include "interface/TonvaleClient.h"
#include "registry/tnvl_cblk.h"

using android::IMemory;
using android::sp;
using android::tnvl_cblk;

namespace {

tnvl_cblk* blockOf(const sp<IMemory>& mem) {
    return mem == nullptr ? nullptr : static_cast<tnvl_cblk*>(mem->pointer());
}

class Deaf : public android::BnTonvaleListener {
public:
    android::status_t onChange(const android::TonvaleChange&) override { return android::OK; }
};

int playingCount(const std::string& overview) {
    const std::string key = "\"playingcount\": \"";
    const size_t at = overview.find(key);
    return at == std::string::npos ? -1 : atoi(overview.c_str() + at + key.size());
}

}  // namespace

int main() {
    sp<android::ITonvale> service = android::getTonvale();
    if (service == nullptr) return 1;
    std::map<int, sp<IMemory>> blocks;
    std::vector<sp<Deaf>> listeners;
    printf("ready\n");
    fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "take") {
            int first = 0, count = 0, granted = 0, same = 0;
            words >> first >> count;
            for (int s = first; s < first + count; ++s) {
                sp<IMemory> mem = service->getTrackCtlBlk(getpid(), s);
                tnvl_cblk* cblk = blockOf(mem);
                if (cblk == nullptr) continue;
                ++granted;
                if (cblk->active == 1) ++same;
                cblk->active = 1;
                blocks[s] = mem;
            }
            printf("granted %d same %d\n", granted, same);
        } else if (command == "show") {
            int session = 0;
            words >> session;
            tnvl_cblk* cblk = blockOf(blocks[session]);
            if (cblk == nullptr) {
                printf("none\n");
            } else {
                printf("left=%f muted=%d\n", static_cast<double>(cblk->left), cblk->muted);
            }
        } else if (command == "ovr") {
            printf("playing %d\n", playingCount(service->getOvrStatus().string()));
        } else if (command == "release") {
            int session = 0;
            words >> session;
            blocks.erase(session);
            printf("released %d\n", service->releaseBufferFor(getpid(), session));
        } else if (command == "listen") {
            int count = 0, result = 0;
            words >> count;
            if (listeners.empty()) android::ProcessState::self()->startThreadPool();
            for (int i = 0; i < count; ++i) {
                listeners.push_back(new Deaf());
                result = service->registerListener(listeners.back());
            }
            printf("listening %d\n", result);
        } else {
            printf("unknown\n");
        }
        fflush(stdout);
    }
    return 0;
}
