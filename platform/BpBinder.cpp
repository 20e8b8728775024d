#include <binder/BpBinder.h>

namespace android {

BpBinder::ObjectManager::ObjectManager() {}

BpBinder::ObjectManager::~ObjectManager() {
    kill();
}

void BpBinder::ObjectManager::attach(const void* objectID, void* object, void* cleanupCookie,
                                     IBinder::object_cleanup_func func) {
    entry_t e;
    e.object = object;
    e.cleanupCookie = cleanupCookie;
    e.func = func;
    // An object already attached under this id stays, as in libbinder.
    if (mObjects.indexOfKey(objectID) >= 0) return;
    mObjects.add(objectID, e);
}

void* BpBinder::ObjectManager::find(const void* objectID) const {
    const ssize_t i = mObjects.indexOfKey(objectID);
    if (i < 0) return nullptr;
    return mObjects.valueAt(i).object;
}

void BpBinder::ObjectManager::detach(const void* objectID) {
    mObjects.removeItem(objectID);
}

void BpBinder::ObjectManager::kill() {
    const size_t N = mObjects.size();
    for (size_t i = 0; i < N; i++) {
        const entry_t& e = mObjects.valueAt(i);
        if (e.func != nullptr) e.func(mObjects.keyAt(i), e.object, e.cleanupCookie);
    }
    mObjects.clear();
}

}  // namespace android

// ---------------------------------------------------------------------------------------------

#include <binder/IPCThreadState.h>
#include <binder/Parcel.h>

#include "platform/HostConnection.h"
#include "platform/HostRuntime.h"

namespace android {

BpBinder* BpBinder::create(int32_t handle) {
    return new BpBinder(handle, -1);
}

BpBinder::BpBinder(int32_t handle, int32_t trackedUid)
    : mHandle(handle),
      mAlive(1),
      mObitsSent(0),
      mObituaries(nullptr),
      mConstantData(nullptr),
      mTrackedUid(trackedUid) {}

BpBinder::~BpBinder() {
    hostbinder::HostRuntime::get()->dropProxy(mHandle, this);
}

int32_t BpBinder::handle() const {
    return mHandle;
}

bool BpBinder::isDescriptorCached() const {
    Mutex::Autolock _l(mLock);
    return mDescriptorCache.size() != 0;
}

const String16& BpBinder::getInterfaceDescriptor() const {
    if (!isDescriptorCached()) {
        Parcel send, reply;
        status_t err = const_cast<BpBinder*>(this)->transact(INTERFACE_TRANSACTION, send, &reply);
        if (err == NO_ERROR) {
            String16 res(reply.readString16());
            Mutex::Autolock _l(mLock);
            if (mDescriptorCache.size() == 0) mDescriptorCache = res;
        }
    }
    return mDescriptorCache;
}

bool BpBinder::isBinderAlive() const {
    if (__atomic_load_n(&mAlive, __ATOMIC_RELAXED) == 0) return false;
    sp<hostbinder::HostConnection> conn;
    uint32_t node;
    return hostbinder::HostRuntime::get()->lookupHandle(mHandle, &conn, &node) && !conn->isDead();
}

status_t BpBinder::pingBinder() {
    Parcel send, reply;
    return transact(PING_TRANSACTION, send, &reply);
}

status_t BpBinder::dump(int fd, const Vector<String16>& args) {
    Parcel send, reply;
    send.writeFileDescriptor(fd);
    const size_t numArgs = args.size();
    send.writeInt32(static_cast<int32_t>(numArgs));
    for (size_t i = 0; i < numArgs; i++) send.writeString16(args[i]);
    return transact(DUMP_TRANSACTION, send, &reply);
}

status_t BpBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    if (__atomic_load_n(&mAlive, __ATOMIC_RELAXED) == 0) return DEAD_OBJECT;
    // One fork check for the call: it serves the thread's state too.
    const status_t status = hostbinder::transactHandle(hostbinder::HostRuntime::get(), mHandle,
                                                       code, data, reply, flags);
    if (status == DEAD_OBJECT) __atomic_store_n(&mAlive, 0, __ATOMIC_RELAXED);
    return status;
}

// Death notifications are not carried by the host transport; a dead peer shows as
// DEAD_OBJECT from the next transaction and as isBinderAlive() == false.
status_t BpBinder::linkToDeath(const sp<DeathRecipient>& /*recipient*/, void* /*cookie*/,
                               uint32_t /*flags*/) {
    return INVALID_OPERATION;
}

status_t BpBinder::unlinkToDeath(const wp<DeathRecipient>& /*recipient*/, void* /*cookie*/,
                                 uint32_t /*flags*/, wp<DeathRecipient>* /*outRecipient*/) {
    return INVALID_OPERATION;
}

void BpBinder::attachObject(const void* objectID, void* object, void* cleanupCookie,
                            object_cleanup_func func) {
    Mutex::Autolock _l(mLock);
    mObjects.attach(objectID, object, cleanupCookie, func);
}

void* BpBinder::findObject(const void* objectID) const {
    Mutex::Autolock _l(mLock);
    return mObjects.find(objectID);
}

void BpBinder::detachObject(const void* objectID) {
    Mutex::Autolock _l(mLock);
    mObjects.detach(objectID);
}

BpBinder* BpBinder::remoteBinder() {
    return this;
}

void BpBinder::sendObituary() {}

void BpBinder::onFirstRef() {}

void BpBinder::onLastStrongRef(const void* /*id*/) {}

bool BpBinder::onIncStrongAttempted(uint32_t /*flags*/, const void* /*id*/) {
    return false;
}

}  // namespace android
