#include <binder/IPCThreadState.h>
#include <unistd.h>

namespace android {

namespace {

struct ThreadSlot {
    IPCThreadState* state = nullptr;
    pid_t pid = 0;
};

thread_local ThreadSlot tSlot;

}  // namespace

IPCThreadState* IPCThreadState::self() {
    const pid_t pid = getpid();
    if (tSlot.state == nullptr || tSlot.pid != pid) {
        tSlot.state = new IPCThreadState();
        tSlot.pid = pid;
    }
    return tSlot.state;
}

IPCThreadState* IPCThreadState::selfOrNull() {
    return tSlot.pid == getpid() ? tSlot.state : nullptr;
}

IPCThreadState::IPCThreadState()
    : mProcess(nullptr),
      mLastError(NO_ERROR),
      mServingStackPointer(nullptr),
      mCallingPid(getpid()),
      mCallingSid(nullptr),
      mCallingUid(getuid()),
      mWorkSource(kUnsetWorkSource),
      mPropagateWorkSource(false),
      mStrictModePolicy(0),
      mLastTransactionBinderFlags(0),
      mCallRestriction(ProcessState::CallRestriction::NONE) {}

IPCThreadState::~IPCThreadState() {}

pid_t IPCThreadState::getCallingPid() const {
    return mCallingPid;
}

uid_t IPCThreadState::getCallingUid() const {
    return mCallingUid;
}

void IPCThreadState::setStrictModePolicy(int32_t policy) {
    mStrictModePolicy = policy;
}

int32_t IPCThreadState::getStrictModePolicy() const {
    return mStrictModePolicy;
}

bool IPCThreadState::shouldPropagateWorkSource() const {
    return mPropagateWorkSource;
}

uid_t IPCThreadState::getCallingWorkSourceUid() const {
    return static_cast<uid_t>(mWorkSource);
}

}  // namespace android
