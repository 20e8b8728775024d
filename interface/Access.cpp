#include "interface/Access.h"

#include <binder/IPCThreadState.h>
#include <unistd.h>

namespace android {

namespace {

#ifdef __ANDROID__
constexpr uid_t kAidSystem = 1000;
constexpr uid_t kAidAudioserver = 1041;
#endif

}  // namespace

Access::Access() {}

Access::~Access() {}

Access::CallingContext Access::getCallingContext() {
    IPCThreadState* ipc = IPCThreadState::self();
    return CallingContext{ipc->getCallingPid(), ipc->getCallingUid()};
}

bool Access::isPrivilegedUid(uid_t uid) {
    if (uid == 0 || uid == getuid()) return true;
#ifdef __ANDROID__
    if (uid == kAidSystem || uid == kAidAudioserver) return true;
#endif
    return false;
}

}  // namespace android
