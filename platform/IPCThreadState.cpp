/*
 * IPCThreadState of the host binder: the calling identity of the transaction a thread runs,
 * the client side of a transaction (send a frame, wait for its reply while serving whatever
 * else arrives on the connection) and the pool loop (poll, read, run, reply).
 *
 * The caller's pid and uid come from SO_PEERCRED of the connection the transaction arrived on.
 */
#include <binder/Binder.h>
#include <binder/IPCThreadState.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include "platform/HostConnection.h"
#include "platform/HostRuntime.h"
#include "platform/HostWire.h"

namespace android {

using hostbinder::Frame;
using hostbinder::FrameHeader;
using hostbinder::HostConnection;
using hostbinder::HostRuntime;

namespace {

// The thread's state; replaced when the thread turns out to live in a forked child.
struct ThreadSlot {
    IPCThreadState* state = nullptr;
    pid_t pid = 0;
};

thread_local ThreadSlot tSlot;

// What executeCommand() runs and where sendReply() answers; set by the reader of the frame.
struct IncomingCall {
    sp<HostConnection> conn;
    Frame* frame;
};
thread_local IncomingCall* tIncoming = nullptr;

// The call that waitForResponse() waits for.
struct OutgoingCall {
    sp<HostConnection> conn;
    uint32_t txId;
};
thread_local OutgoingCall* tOutgoing = nullptr;

FrameHeader newHeader(uint32_t type) {
    FrameHeader h{};
    h.magic = hostbinder::kFrameMagic;
    h.type = type;
    return h;
}

}  // namespace

void IPCThreadState::threadDestructor(void* st) {
    if (tSlot.state == st) tSlot.state = nullptr;
    delete static_cast<IPCThreadState*>(st);
}

IPCThreadState* IPCThreadState::self() {
    const pid_t pid = getpid();
    if (tSlot.state == nullptr || tSlot.pid != pid) {
        // The key's destructor frees the state when the thread ends.
        static const pthread_key_t sKey = [] {
            pthread_key_t key;
            pthread_key_create(&key, threadDestructor);
            return key;
        }();
        // A state inherited through fork() belongs to the parent's process state.
        delete tSlot.state;
        tSlot.state = new IPCThreadState();
        tSlot.pid = pid;
        pthread_setspecific(sKey, tSlot.state);
    }
    return tSlot.state;
}

IPCThreadState* IPCThreadState::selfOrNull() {
    return tSlot.pid == getpid() ? tSlot.state : nullptr;
}

IPCThreadState::IPCThreadState()
    : mProcess(ProcessState::self()),
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

sp<ProcessState> IPCThreadState::process() {
    return mProcess;
}

status_t IPCThreadState::clearLastError() {
    const status_t err = mLastError;
    mLastError = NO_ERROR;
    return err;
}

pid_t IPCThreadState::getCallingPid() const {
    return mCallingPid;
}

const char* IPCThreadState::getCallingSid() const {
    return mCallingSid;
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

void IPCThreadState::setLastTransactionBinderFlags(int32_t flags) {
    mLastTransactionBinderFlags = flags;
}

int32_t IPCThreadState::getLastTransactionBinderFlags() const {
    return mLastTransactionBinderFlags;
}

int64_t IPCThreadState::clearCallingIdentity() {
    const int64_t token =
        (static_cast<int64_t>(mCallingUid) << 32) | static_cast<uint32_t>(mCallingPid);
    mCallingPid = getpid();
    mCallingUid = getuid();
    return token;
}

void IPCThreadState::restoreCallingIdentity(int64_t token) {
    mCallingUid = static_cast<uid_t>(static_cast<uint64_t>(token) >> 32);
    mCallingPid = static_cast<pid_t>(static_cast<uint32_t>(token));
}

void IPCThreadState::flushCommands() {
    // Frames are written when they are made; nothing waits in a buffer.
}

void IPCThreadState::joinThreadPool(bool /*isMain*/) {
    HostRuntime::get()->threadJoined();
    for (;;) getAndExecuteCommand();
}

status_t IPCThreadState::transact(int32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                                  uint32_t flags) {
    HostRuntime* rt = HostRuntime::get();
    sp<HostConnection> conn;
    uint32_t node = 0;
    if (!rt->lookupHandle(handle, &conn, &node) || conn->isDead()) return DEAD_OBJECT;
    FrameHeader h = newHeader(hostbinder::FRAME_TRANSACTION);
    h.txId = conn->newTxId();
    h.target = node;
    h.code = code;
    h.flags = flags;
    std::vector<uint8_t> frame;
    std::vector<int> fds;
    status_t err = hostbinder::encodeFrame(
        rt, conn, h, reinterpret_cast<const uint8_t*>(data.ipcData()), data.ipcDataSize(),
        reinterpret_cast<const binder_size_t*>(data.ipcObjects()), data.ipcObjectsCount(), &frame,
        &fds);
    if (err != NO_ERROR) return err;
    const bool oneway = (flags & IBinder::FLAG_ONEWAY) != 0;
    if (!oneway) conn->registerWaiter(h.txId);
    err = conn->sendFrame(frame, fds);
    if (err != NO_ERROR || oneway) {
        if (!oneway) conn->unregisterWaiter(h.txId);
        if (err == DEAD_OBJECT) rt->connectionDied(conn);
        return err;
    }
    OutgoingCall call{conn, h.txId};
    OutgoingCall* const saved = tOutgoing;
    tOutgoing = &call;
    Parcel ignored;
    err = waitForResponse(reply != nullptr ? reply : &ignored);
    tOutgoing = saved;
    conn->unregisterWaiter(h.txId);
    return err;
}

status_t IPCThreadState::waitForResponse(Parcel* reply, status_t* /*acquireResult*/) {
    HostRuntime* rt = HostRuntime::get();
    const sp<HostConnection> conn = tOutgoing->conn;
    const uint32_t txId = tOutgoing->txId;
    Frame got;
    for (;;) {
        Frame f;
        const HostConnection::Turn turn = conn->awaitTurn(txId, &f);
        if (turn == HostConnection::kDead) return DEAD_OBJECT;
        if (turn == HostConnection::kGotReply) {
            got = std::move(f);
            break;
        }
        if (conn->readFrame(&f, true) != HostConnection::kFrame) {
            conn->endRead(false);
            rt->connectionDied(conn);
            return DEAD_OBJECT;
        }
        const FrameHeader h = f.header();
        if (h.type == hostbinder::FRAME_REPLY && h.txId != txId) {
            // Handed over before the reader role is: its waiter may take the role next and
            // must find the reply instead of waiting on the socket for it.
            conn->deliverReply(std::move(f));
            conn->endRead(false);
            continue;
        }
        conn->endRead(false);
        if (h.type == hostbinder::FRAME_REPLY) {
            got = std::move(f);
            break;
        } else if (h.type == hostbinder::FRAME_RELEASE) {
            conn->releaseNodes(f.data(), h.dataSize / 8);
        } else {
            // A call into this process while it waits (e.g. a callback): serve it here.
            IncomingCall in{conn, &f};
            IncomingCall* const saved = tIncoming;
            tIncoming = &in;
            executeCommand(hostbinder::FRAME_TRANSACTION);
            tIncoming = saved;
        }
    }
    const status_t status = static_cast<status_t>(static_cast<int32_t>(got.header().code));
    if (status != NO_ERROR) return status;
    uint8_t* data = nullptr;
    size_t dataSize = 0;
    binder_size_t* objects = nullptr;
    size_t objectCount = 0;
    status_t err =
        hostbinder::decodeFrame(rt, conn, got, reply, &data, &dataSize, &objects, &objectCount);
    if (err != NO_ERROR) {
        rt->connectionDied(conn);
        return err;
    }
    reply->ipcSetDataReference(data, dataSize, objects, objectCount, nullptr, nullptr);
    return NO_ERROR;
}

status_t IPCThreadState::getAndExecuteCommand() {
    HostRuntime* rt = HostRuntime::get();
    const uint64_t key = rt->waitEvent();
    if (key == 0 || rt->acceptOn(key)) return NO_ERROR;
    sp<HostConnection> conn = rt->connectionByKey(key);
    if (conn == nullptr || !conn->tryBeginRead()) return NO_ERROR;
    for (;;) {
        Frame f;
        const HostConnection::ReadResult r = conn->readFrame(&f, false);
        if (r == HostConnection::kAgain) {
            conn->endRead(true);
            return NO_ERROR;
        }
        if (r == HostConnection::kError) {
            conn->endRead(false);
            rt->connectionDied(conn);
            return NO_ERROR;
        }
        const FrameHeader h = f.header();
        if (h.type == hostbinder::FRAME_REPLY) {
            conn->deliverReply(std::move(f));
        } else if (h.type == hostbinder::FRAME_RELEASE) {
            conn->releaseNodes(f.data(), h.dataSize / 8);
            rt->closeIfUnused(conn);
        } else {
            // Let another pool thread take the connection's next frame meanwhile.
            conn->endRead(true);
            rt->beforeExecute();
            IncomingCall in{conn, &f};
            IncomingCall* const saved = tIncoming;
            tIncoming = &in;
            const status_t err = executeCommand(hostbinder::FRAME_TRANSACTION);
            tIncoming = saved;
            return err;
        }
    }
}

status_t IPCThreadState::executeCommand(int32_t /*command*/) {
    HostRuntime* rt = HostRuntime::get();
    IncomingCall* in = tIncoming;
    const FrameHeader h = in->frame->header();
    const sp<IBinder> target = in->conn->findNode(h.target);
    if (target == nullptr) {
        // A bogus node: the peer is broken or hostile, so it is cut off.
        rt->connectionDied(in->conn);
        return BAD_VALUE;
    }
    Parcel data;
    uint8_t* bytes = nullptr;
    size_t dataSize = 0;
    binder_size_t* objects = nullptr;
    size_t objectCount = 0;
    status_t err = hostbinder::decodeFrame(rt, in->conn, *in->frame, &data, &bytes, &dataSize,
                                           &objects, &objectCount);
    if (err != NO_ERROR) {
        rt->connectionDied(in->conn);
        return err;
    }
    data.ipcSetDataReference(bytes, dataSize, objects, objectCount, nullptr, nullptr);

    const pid_t savedPid = mCallingPid;
    const uid_t savedUid = mCallingUid;
    const int32_t savedFlags = mLastTransactionBinderFlags;
    mCallingPid = in->conn->peerPid();
    mCallingUid = in->conn->peerUid();
    mLastTransactionBinderFlags = static_cast<int32_t>(h.flags);
    Parcel reply;
    status_t status = target->transact(h.code, data, &reply, h.flags);
    mCallingPid = savedPid;
    mCallingUid = savedUid;
    mLastTransactionBinderFlags = savedFlags;

    if ((h.flags & IBinder::FLAG_ONEWAY) == 0) {
        if (status != NO_ERROR) reply.setError(status);
        err = sendReply(reply, h.flags);
    }
    return err;
}

status_t IPCThreadState::sendReply(const Parcel& reply, uint32_t /*flags*/) {
    HostRuntime* rt = HostRuntime::get();
    IncomingCall* in = tIncoming;
    FrameHeader h = newHeader(hostbinder::FRAME_REPLY);
    h.txId = in->frame->header().txId;
    std::vector<uint8_t> frame;
    std::vector<int> fds;
    status_t status = reply.errorCheck();
    if (status == NO_ERROR) {
        status = hostbinder::encodeFrame(
            rt, in->conn, h, reinterpret_cast<const uint8_t*>(reply.ipcData()), reply.ipcDataSize(),
            reinterpret_cast<const binder_size_t*>(reply.ipcObjects()), reply.ipcObjectsCount(),
            &frame, &fds);
    }
    if (status != NO_ERROR) {
        // Errors travel alone, as the driver's status replies do.
        h.code = static_cast<uint32_t>(status);
        frame.assign(reinterpret_cast<const uint8_t*>(&h),
                     reinterpret_cast<const uint8_t*>(&h) + sizeof(h));
        fds.clear();
    }
    const status_t err = in->conn->sendFrame(frame, fds);
    if (err == DEAD_OBJECT) rt->connectionDied(in->conn);
    return err;
}

}  // namespace android
