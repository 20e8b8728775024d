#include "ServiceHarness.h"

#include <binder/Binder.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <signal.h>
#include <unistd.h>
#include <utils/String16.h>

#include "common/TestEnv.h"
#include "service/Tonvale.h"

namespace tonvale_test {

using namespace android;

pid_t startService(const std::function<sp<BBinder>()>& factory) {
    pid_t pid = forkProcess();
    if (pid == 0) {
        sp<BBinder> service = factory();
        defaultServiceManager()->addService(String16("tonvale"), service, false,
                                            IServiceManager::DUMP_FLAG_PRIORITY_DEFAULT);
        ProcessState::self()->startThreadPool();
        IPCThreadState::self()->joinThreadPool(true);
        _exit(0);
    }
    if (pid < 0) return -1;
    for (int i = 0; i < 500; ++i) {
        sp<IBinder> binder = defaultServiceManager()->checkService(String16("tonvale"));
        if (binder != nullptr && binder->pingBinder() == NO_ERROR) return pid;
        usleep(10000);
    }
    stopService(pid);
    return -1;
}

pid_t startTonvale() {
    return startService([] { return sp<BBinder>(new Tonvale()); });
}

void stopService(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitExit(pid);
}

int inChild(const std::function<int()>& fn) {
    pid_t pid = forkProcess();
    if (pid == 0) _exit(fn());
    return waitExit(pid);
}

}  // namespace tonvale_test
