/*
 * ProcessState of the host binder: a facade over the process-wide HostRuntime. There is no
 * driver and no context object; the service manager lives in-process (IServiceManager.cpp).
 */
#include <binder/IPCThreadState.h>
#include <binder/ProcessState.h>
#include <pthread.h>

#include <thread>

#include "platform/HostRuntime.h"

namespace android {

using hostbinder::HostRuntime;

sp<ProcessState> ProcessState::self() {
    return HostRuntime::get()->processState(
        []() -> ProcessState* { return new ProcessState("/dev/hostbinder"); });
}

sp<ProcessState> ProcessState::selfOrNull() {
    return self();
}

sp<ProcessState> ProcessState::initWithDriver(const char* /*driver*/) {
    return self();
}

ProcessState::ProcessState(const char* driver)
    : mDriverName(String8(driver)),
      mDriverFD(-1),
      mVMStart(nullptr),
      mExecutingThreadsCount(0),
      mMaxThreads(15),
      mStarvationStartTimeMs(0),
      mBinderContextCheckFunc(nullptr),
      mBinderContextUserData(nullptr),
      mThreadPoolStarted(false),
      mThreadPoolSeq(1),
      mCallRestriction(CallRestriction::NONE) {
    pthread_mutex_init(&mThreadCountLock, nullptr);
    pthread_cond_init(&mThreadCountDecrement, nullptr);
}

ProcessState::~ProcessState() {}

sp<IBinder> ProcessState::getContextObject(const sp<IBinder>& /*caller*/) {
    return nullptr;
}

void ProcessState::startThreadPool() {
    HostRuntime::get()->startThreadPool();
}

void ProcessState::spawnPooledThread(bool isMain) {
    std::thread([isMain]() { IPCThreadState::self()->joinThreadPool(isMain); }).detach();
}

status_t ProcessState::setThreadPoolMaxThreadCount(size_t maxThreads) {
    return HostRuntime::get()->setMaxThreads(maxThreads);
}

void ProcessState::giveThreadPoolName() {}

String8 ProcessState::getDriverName() {
    return mDriverName;
}

bool ProcessState::becomeContextManager(context_check_func /*checkFunc*/, void* /*userData*/) {
    return false;
}

void ProcessState::setCallRestriction(CallRestriction restriction) {
    mCallRestriction = restriction;
}

}  // namespace android
