#include "registry/WatchedProcess.h"

namespace android {

WatchedProcess::WatchedProcess(int32_t pid) : pid(pid), startTime(0) {}

WatchedProcess::~WatchedProcess() {
    stopWatching();
}

void WatchedProcess::stopWatching() {
    if (exitFd >= 0 && exitWatch != nullptr) exitWatch->remove(exitFd.get());
    exitFd.reset();
    exitWatch.clear();
}

}  // namespace android
