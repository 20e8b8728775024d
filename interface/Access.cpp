#include "interface/Access.h"

#include <binder/IPCThreadState.h>
#include <unistd.h>

#include <algorithm>

namespace android {

namespace {

// Android's fixed uids (system/core's android_filesystem_config.h).
constexpr uid_t kAidRoot = 0;
constexpr uid_t kAidSystem = 1000;
constexpr uid_t kAidAudioserver = 1041;
constexpr uid_t kAidShell = 2000;

#ifdef __ANDROID__
constexpr bool kAndroidBuild = true;
#else
constexpr bool kAndroidBuild = false;
#endif

bool listed(const std::vector<uid_t>& uids, uid_t uid) {
    return std::find(uids.begin(), uids.end(), uid) != uids.end();
}

}  // namespace

Access::UidRoles Access::UidRoles::android(uid_t self) {
    return UidRoles{{kAidRoot, kAidSystem, kAidAudioserver, self}, {kAidShell}};
}

Access::UidRoles Access::UidRoles::host(uid_t self) {
    return UidRoles{{kAidRoot, self}, {}};
}

Access::UidRoles Access::UidRoles::forThisBuild(uid_t self) {
    return kAndroidBuild ? android(self) : host(self);
}

Access::Role Access::UidRoles::roleOf(uid_t uid) const {
    if (listed(system, uid)) return Role::SYSTEM;
    if (listed(shell, uid)) return Role::SHELL;
    return Role::APP;
}

Access::Access() : Access(UidRoles::forThisBuild(getuid())) {}

Access::Access(UidRoles roles) : mRoles(std::move(roles)) {}

Access::~Access() {}

Access::CallingContext Access::getCallingContext() {
    IPCThreadState* ipc = IPCThreadState::self();
    return CallingContext{ipc->getCallingPid(), ipc->getCallingUid()};
}

}  // namespace android
