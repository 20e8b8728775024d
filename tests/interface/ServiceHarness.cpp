#include "ServiceHarness.h"

#include <binder/Binder.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <unistd.h>
#include <utils/String16.h>

#include "common/Service.h"
#include "common/TestEnv.h"
#include "service/Tonvale.h"

namespace tonvale_test {

using namespace android;

void serveAsTonvale(const std::function<sp<BBinder>()>& factory) {
    sp<BBinder> service = factory();
    if (defaultServiceManager()->addService(String16("tonvale"), service, false,
                                            IServiceManager::DUMP_FLAG_PRIORITY_DEFAULT) !=
        NO_ERROR) {
        _exit(1);
    }
    ProcessState::self()->startThreadPool();
    IPCThreadState::self()->joinThreadPool(true);
    _exit(0);
}

ChildGuard startService(const std::function<sp<BBinder>()>& factory) {
    const pid_t parent = getpid();
    const pid_t pid = forkProcess();
    if (pid == 0) {
        dieWithParent(parent);
        serveAsTonvale(factory);
    }
    ChildGuard server(pid);
    if (pid < 0 || !waitForService()) server.stop();
    return server;
}

ChildGuard startTonvale() {
    return startService([] { return sp<BBinder>(new Tonvale()); });
}

}  // namespace tonvale_test
