/*
 * IBinder, BBinder and BpRefBase of the host binder, with libbinder's semantics: a local
 * object answers PING, INTERFACE and DUMP itself and hands every other code to onTransact().
 */
#include <binder/Binder.h>
#include <binder/BpBinder.h>
#include <binder/IInterface.h>
#include <binder/Parcel.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace android {

// ---------------------------------------------------------------------------------------------

IBinder::IBinder() : RefBase() {}

IBinder::~IBinder() {}

sp<IInterface> IBinder::queryLocalInterface(const String16& /*descriptor*/) {
    return nullptr;
}

bool IBinder::checkSubclass(const void* /*subclassID*/) const {
    return false;
}

BBinder* IBinder::localBinder() {
    return nullptr;
}

BpBinder* IBinder::remoteBinder() {
    return nullptr;
}

status_t IBinder::getExtension(sp<IBinder>* out) {
    BBinder* local = localBinder();
    if (local != nullptr) {
        *out = local->getExtension();
        return OK;
    }
    // Extensions of remote objects are not carried by the host transport.
    *out = nullptr;
    return INVALID_OPERATION;
}

status_t IBinder::getDebugPid(pid_t* outPid) {
    BBinder* local = localBinder();
    if (local != nullptr) {
        *outPid = local->getDebugPid();
        return OK;
    }
    return INVALID_OPERATION;
}

// ---------------------------------------------------------------------------------------------

class BBinder::Extras {
public:
    std::mutex mLock;
    BpBinder::ObjectManager mObjects;
    sp<IBinder> mExtension;
    bool mRequestingSid = false;
};

BBinder::BBinder() : mExtras(nullptr), mReserved0(nullptr) {}

BBinder::~BBinder() {
    Extras* e = mExtras.load(std::memory_order_relaxed);
    delete e;
}

const String16& BBinder::getInterfaceDescriptor() const {
    static const String16* const sEmptyDescriptor = new String16();
    return *sEmptyDescriptor;
}

bool BBinder::isBinderAlive() const {
    return true;
}

status_t BBinder::pingBinder() {
    return NO_ERROR;
}

status_t BBinder::dump(int /*fd*/, const Vector<String16>& /*args*/) {
    return NO_ERROR;
}

status_t BBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    data.setDataPosition(0);
    status_t err = NO_ERROR;
    switch (code) {
        case PING_TRANSACTION:
            err = pingBinder();
            break;
        case EXTENSION_TRANSACTION:
            err = reply != nullptr ? reply->writeStrongBinder(getExtension()) : BAD_VALUE;
            break;
        case DEBUG_PID_TRANSACTION:
            err = reply != nullptr ? reply->writeInt32(getDebugPid()) : BAD_VALUE;
            break;
        default:
            err = onTransact(code, data, reply, flags);
            break;
    }
    // The caller may be in this process and read the reply straight away.
    if (reply != nullptr) reply->setDataPosition(0);
    return err;
}

status_t BBinder::linkToDeath(const sp<DeathRecipient>& /*recipient*/, void* /*cookie*/,
                              uint32_t /*flags*/) {
    return INVALID_OPERATION;
}

status_t BBinder::unlinkToDeath(const wp<DeathRecipient>& /*recipient*/, void* /*cookie*/,
                                uint32_t /*flags*/, wp<DeathRecipient>* /*outRecipient*/) {
    return INVALID_OPERATION;
}

BBinder::Extras* BBinder::getOrCreateExtras() {
    Extras* e = mExtras.load(std::memory_order_acquire);
    if (e == nullptr) {
        Extras* fresh = new Extras;
        if (mExtras.compare_exchange_strong(e, fresh, std::memory_order_acq_rel)) {
            e = fresh;
        } else {
            delete fresh;
        }
    }
    return e;
}

void BBinder::attachObject(const void* objectID, void* object, void* cleanupCookie,
                           object_cleanup_func func) {
    Extras* e = getOrCreateExtras();
    std::lock_guard<std::mutex> lock(e->mLock);
    e->mObjects.attach(objectID, object, cleanupCookie, func);
}

void* BBinder::findObject(const void* objectID) const {
    Extras* e = mExtras.load(std::memory_order_acquire);
    if (e == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(e->mLock);
    return e->mObjects.find(objectID);
}

void BBinder::detachObject(const void* objectID) {
    Extras* e = mExtras.load(std::memory_order_acquire);
    if (e == nullptr) return;
    std::lock_guard<std::mutex> lock(e->mLock);
    e->mObjects.detach(objectID);
}

BBinder* BBinder::localBinder() {
    return this;
}

bool BBinder::isRequestingSid() {
    Extras* e = mExtras.load(std::memory_order_acquire);
    return e != nullptr && e->mRequestingSid;
}

void BBinder::setRequestingSid(bool requestingSid) {
    Extras* e = getOrCreateExtras();
    std::lock_guard<std::mutex> lock(e->mLock);
    e->mRequestingSid = requestingSid;
}

sp<IBinder> BBinder::getExtension() {
    Extras* e = mExtras.load(std::memory_order_acquire);
    if (e == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(e->mLock);
    return e->mExtension;
}

void BBinder::setExtension(const sp<IBinder>& extension) {
    Extras* e = getOrCreateExtras();
    std::lock_guard<std::mutex> lock(e->mLock);
    e->mExtension = extension;
}

pid_t BBinder::getDebugPid() {
    return getpid();
}

status_t BBinder::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t /*flags*/) {
    switch (code) {
        case INTERFACE_TRANSACTION:
            if (reply == nullptr) return BAD_VALUE;
            reply->writeString16(getInterfaceDescriptor());
            return NO_ERROR;
        case DUMP_TRANSACTION: {
            const int fd = data.readFileDescriptor();
            if (fd < 0) return BAD_VALUE;
            const int32_t argc = data.readInt32();
            Vector<String16> args;
            for (int32_t i = 0; i < argc && data.dataAvail() > 0; i++) {
                args.add(data.readString16());
            }
            return dump(fd, args);
        }
        default:
            return UNKNOWN_TRANSACTION;
    }
}

// ---------------------------------------------------------------------------------------------

namespace {
constexpr int32_t kRemoteAcquired = 0x00000001;
}  // namespace

BpRefBase::BpRefBase(const sp<IBinder>& o) : mRemote(o.get()), mRefs(nullptr), mState(0) {
    extendObjectLifetime(OBJECT_LIFETIME_WEAK);
    if (mRemote) {
        mRemote->incStrong(this);           // Removed on first IncStrong().
        mRefs = mRemote->createWeak(this);  // Held for our entire lifetime.
    }
}

BpRefBase::~BpRefBase() {
    if (mRemote) {
        if (!(mState.load(std::memory_order_relaxed) & kRemoteAcquired)) {
            mRemote->decStrong(this);
        }
        mRefs->decWeak(this);
    }
}

void BpRefBase::onFirstRef() {
    mState.fetch_or(kRemoteAcquired, std::memory_order_relaxed);
}

void BpRefBase::onLastStrongRef(const void* /*id*/) {
    if (mRemote) mRemote->decStrong(this);
}

bool BpRefBase::onIncStrongAttempted(uint32_t /*flags*/, const void* /*id*/) {
    return mRemote ? mRefs->attemptIncStrong(this) : false;
}

}  // namespace android
