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
    delete mObituaries;  // left only when the last reference went without onLastStrongRef()
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

// Death notifications as libbinder keeps them: the proxy holds its recipients and asks the
// transport (the driver there) to report its owner's death once, while any are linked.
status_t BpBinder::linkToDeath(const sp<DeathRecipient>& recipient, void* cookie, uint32_t flags) {
    // libbinder aborts here; a refusal serves a daemon better.
    if (recipient == nullptr) return BAD_VALUE;
    Obituary ob;
    ob.recipient = recipient;
    ob.cookie = cookie;
    ob.flags = flags;
    Mutex::Autolock _l(mLock);
    if (__atomic_load_n(&mObitsSent, __ATOMIC_ACQUIRE) != 0) return DEAD_OBJECT;
    if (mObituaries == nullptr) {
        if (hostbinder::HostRuntime::get()->requestDeath(mHandle, this) != NO_ERROR) {
            // Not this process's handle (a proxy from before a fork): it is dead, and there
            // is nobody to tell.
            __atomic_store_n(&mAlive, 0, __ATOMIC_RELAXED);
            __atomic_store_n(&mObitsSent, 1, __ATOMIC_RELEASE);
            return DEAD_OBJECT;
        }
        mObituaries = new Vector<Obituary>;
    }
    const ssize_t res = mObituaries->add(ob);
    return res >= 0 ? NO_ERROR : static_cast<status_t>(res);
}

status_t BpBinder::unlinkToDeath(const wp<DeathRecipient>& recipient, void* cookie, uint32_t flags,
                                 wp<DeathRecipient>* outRecipient) {
    Mutex::Autolock _l(mLock);
    if (__atomic_load_n(&mObitsSent, __ATOMIC_ACQUIRE) != 0) return DEAD_OBJECT;
    const size_t N = mObituaries != nullptr ? mObituaries->size() : 0;
    for (size_t i = 0; i < N; i++) {
        const Obituary& obit = mObituaries->itemAt(i);
        // libbinder's match: the recipient, or the cookie when no recipient is given, and
        // the flags.
        if ((obit.recipient == recipient || (recipient == nullptr && obit.cookie == cookie)) &&
            obit.flags == flags) {
            if (outRecipient != nullptr) *outRecipient = obit.recipient;
            mObituaries->removeAt(i);
            if (mObituaries->size() == 0) {
                hostbinder::HostRuntime::get()->clearDeath(mHandle, this);
                delete mObituaries;
                mObituaries = nullptr;
            }
            return NO_ERROR;
        }
    }
    return NAME_NOT_FOUND;
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

void BpBinder::sendObituary() {
    __atomic_store_n(&mAlive, 0, __ATOMIC_RELAXED);
    if (__atomic_load_n(&mObitsSent, __ATOMIC_ACQUIRE) != 0) return;
    mLock.lock();
    Vector<Obituary>* obits = mObituaries;
    if (obits != nullptr) {
        hostbinder::HostRuntime::get()->clearDeath(mHandle, this);
        mObituaries = nullptr;
    }
    __atomic_store_n(&mObitsSent, 1, __ATOMIC_RELEASE);
    mLock.unlock();
    // Told without the lock: a recipient may unlink, or let the proxy go.
    if (obits != nullptr) {
        const size_t N = obits->size();
        for (size_t i = 0; i < N; i++) reportOneDeath(obits->itemAt(i));
        delete obits;
    }
}

void BpBinder::reportOneDeath(const Obituary& obit) {
    sp<DeathRecipient> recipient = obit.recipient.promote();
    if (recipient == nullptr) return;
    recipient->binderDied(wp<IBinder>(this));
}

void BpBinder::onFirstRef() {}

void BpBinder::onLastStrongRef(const void* /*id*/) {
    // The last reference unlinks every recipient, as in libbinder.
    mLock.lock();
    Vector<Obituary>* obits = mObituaries;
    if (obits != nullptr) {
        hostbinder::HostRuntime::get()->clearDeath(mHandle, this);
        mObituaries = nullptr;
    }
    mLock.unlock();
    delete obits;
}

bool BpBinder::onIncStrongAttempted(uint32_t /*flags*/, const void* /*id*/) {
    return false;
}

}  // namespace android
