/*
 * IPCThreadState of the host binder: the calling identity of the transaction a thread runs,
 * the client side of a transaction (send a frame, wait for its reply while serving whatever
 * else arrives on the connection) and the pool loop (wait for work, read, run, reply).
 *
 * The caller's pid and uid are those of the process that wrote the transaction's frame, as the
 * kernel reports them for that frame (HostConnection), so they stay right when a connection
 * is handed from one process to another.
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

using hostbinder::FrameHeader;
using hostbinder::HostConnection;
using hostbinder::HostRuntime;
using hostbinder::Received;

namespace {

// The thread's state; replaced when the thread turns out to live in a forked child.
struct ThreadSlot {
    IPCThreadState* state = nullptr;
    pid_t pid = 0;
    // Pool threads: the process state they serve. Only a fork inside a call they run can take
    // one into a child, and fork() is counted; other threads compare pids.
    HostRuntime* pool = nullptr;
};

thread_local ThreadSlot tSlot;

// What executeCommand() runs and where sendReply() answers; set by the reader of the frame.
struct IncomingCall {
    HostRuntime* rt;
    sp<HostConnection> conn;
    Received* call;
};
thread_local IncomingCall* tIncoming = nullptr;

// The call that waitForResponse() waits for.
struct OutgoingCall {
    HostRuntime* rt;
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

// A process state the calling thread has just checked for a fork, for the self() and
// transact() right behind the check (transactHandle): one check per call is enough.
thread_local HostRuntime* tChecked = nullptr;

}  // namespace

namespace hostbinder {

status_t transactHandle(HostRuntime* rt, int32_t handle, uint32_t code, const Parcel& data,
                        Parcel* reply, uint32_t flags) {
    tChecked = rt;
    return IPCThreadState::self()->transact(handle, code, data, reply, flags);
}

const IPCThreadState* policyState() {
    // The strict-mode word is per thread; a state copied into a forked child still holds the
    // right value, so no pid check is needed to read or set it.
    return tSlot.state != nullptr ? tSlot.state : IPCThreadState::self();
}

}  // namespace hostbinder

void IPCThreadState::threadDestructor(void* st) {
    if (tSlot.state == st) tSlot.state = nullptr;
    delete static_cast<IPCThreadState*>(st);
}

IPCThreadState* IPCThreadState::self() {
    if (tSlot.state != nullptr && tSlot.pool != nullptr && !tSlot.pool->forkedByAtfork()) {
        return tSlot.state;
    }
    const pid_t pid = (tChecked != nullptr ? tChecked : HostRuntime::get())->pid();
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
        tSlot.pool = nullptr;
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
    HostRuntime* rt = HostRuntime::get();
    rt->threadJoined();
    if (tSlot.state == this) tSlot.pool = rt;
    for (;;) getAndExecuteCommand();
}

status_t IPCThreadState::transact(int32_t handle, uint32_t code, const Parcel& data, Parcel* reply,
                                  uint32_t flags) {
    HostRuntime* rt = tChecked;
    tChecked = nullptr;
    if (rt == nullptr) rt = HostRuntime::get();
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
    err = conn->sendFrame(std::move(frame), fds,
                          oneway ? HostConnection::kOneway : HostConnection::kAwaited);
    if (err != NO_ERROR || oneway) {
        if (!oneway) conn->unregisterWaiter(h.txId);
        if (err == DEAD_OBJECT) rt->connectionDied(conn);
        return err;
    }
    OutgoingCall call{rt, conn, h.txId};
    OutgoingCall* const saved = tOutgoing;
    tOutgoing = &call;
    Parcel ignored;
    err = waitForResponse(reply != nullptr ? reply : &ignored);
    tOutgoing = saved;
    conn->unregisterWaiter(h.txId);
    return err;
}

status_t IPCThreadState::waitForResponse(Parcel* reply, status_t* /*acquireResult*/) {
    OutgoingCall* out = tOutgoing;
    if (out == nullptr) return INVALID_OPERATION;
    for (;;) {
        Received got;
        switch (out->conn->awaitReply(out->txId, &got)) {
            case HostConnection::kBroken:
                out->rt->connectionDied(out->conn);
                return DEAD_OBJECT;
            case HostConnection::kRun: {
                // A call into this process while it waits (a callback, say): run it here.
                // A oneway one comes here only without a pool, and then those queued behind
                // it for the same object run here too.
                const bool oneway = (got.header.flags & IBinder::FLAG_ONEWAY) != 0;
                IBinder* const target = got.target.get();
                sp<HostConnection> from = out->conn;
                Received* call = &got;
                hostbinder::AsyncCall next;
                for (;;) {
                    IncomingCall in{out->rt, from, call};
                    IncomingCall* const saved = tIncoming;
                    tIncoming = &in;
                    executeCommand(hostbinder::FRAME_TRANSACTION);
                    tIncoming = saved;
                    if (!oneway || !out->rt->asyncFinished(target, &next)) break;
                    from = next.conn;
                    call = &next.call;
                }
                continue;
            }
            case HostConnection::kReply: {
                if (got.status != NO_ERROR) return got.status;
                uint8_t* data;
                size_t dataSize;
                binder_size_t* objects;
                size_t objectCount;
                got.detach(&data, &dataSize, &objects, &objectCount);
                reply->ipcSetDataReference(data, dataSize, objects, objectCount, nullptr, nullptr);
                return NO_ERROR;
            }
        }
    }
}

status_t IPCThreadState::getAndExecuteCommand() {
    // Checked between calls, off the path of any: a fork inside the last call, even a raw
    // clone that ran no atfork handlers, brought this thread into a child, which must not
    // serve the parent's connections.
    HostRuntime* rt = tSlot.state == this ? tSlot.pool : nullptr;
    if (rt == nullptr || HostRuntime::get() != rt) {
        rt = HostRuntime::get();
        rt->threadJoined();
        if (tSlot.state == this) tSlot.pool = rt;
    }
    HostRuntime::Work work;
    if (!rt->waitWork(&work)) return NO_ERROR;
    if (work.obituary != nullptr) {
        rt->beforeExecute();
        // The driver's BR_DEAD_BINDER: the recipients hear of it on this thread, which holds
        // no lock of the transport.
        work.obituary->sendObituary();
        return NO_ERROR;
    }
    sp<HostConnection> conn = std::move(work.async.conn);
    Received call = std::move(work.async.call);
    if (conn == nullptr) {
        conn = std::move(work.conn);
        switch (conn->serveNext(&call)) {
            case HostConnection::kDead:
                rt->connectionDied(conn);
                return NO_ERROR;
            case HostConnection::kIdle:
                rt->closeIfUnused(conn);
                return NO_ERROR;
            case HostConnection::kCall:
                break;
        }
    }
    rt->beforeExecute();
    // Oneway calls to one object run here back to back, in the order they came.
    const bool oneway = (call.header.flags & IBinder::FLAG_ONEWAY) != 0;
    IBinder* const target = call.target.get();
    status_t err;
    for (;;) {
        IncomingCall in{rt, conn, &call};
        IncomingCall* const saved = tIncoming;
        tIncoming = &in;
        err = executeCommand(hostbinder::FRAME_TRANSACTION);
        tIncoming = saved;
        hostbinder::AsyncCall next;
        if (!oneway || !rt->asyncFinished(target, &next)) break;
        rt->beforeExecute();
        conn = std::move(next.conn);
        call = std::move(next.call);
    }
    return err;
}

status_t IPCThreadState::requestDeathNotification(int32_t handle, BpBinder* proxy) {
    return HostRuntime::get()->requestDeath(handle, proxy);
}

status_t IPCThreadState::clearDeathNotification(int32_t handle, BpBinder* proxy) {
    HostRuntime::get()->clearDeath(handle, proxy);
    return NO_ERROR;
}

status_t IPCThreadState::executeCommand(int32_t /*command*/) {
    IncomingCall* in = tIncoming;
    Received& call = *in->call;
    const FrameHeader h = call.header;
    const sp<IBinder> target = std::move(call.target);
    Parcel data;
    {
        uint8_t* bytes;
        size_t dataSize;
        binder_size_t* objects;
        size_t objectCount;
        call.detach(&bytes, &dataSize, &objects, &objectCount);
        data.ipcSetDataReference(bytes, dataSize, objects, objectCount, nullptr, nullptr);
    }

    const pid_t savedPid = mCallingPid;
    const uid_t savedUid = mCallingUid;
    const int32_t savedFlags = mLastTransactionBinderFlags;
    mCallingPid = call.sender.pid;
    mCallingUid = call.sender.uid;
    mLastTransactionBinderFlags = static_cast<int32_t>(h.flags);
    Parcel reply;
    status_t status = target->transact(h.code, data, &reply, h.flags);
    mCallingPid = savedPid;
    mCallingUid = savedUid;
    mLastTransactionBinderFlags = savedFlags;

    status_t err = NO_ERROR;
    if ((h.flags & IBinder::FLAG_ONEWAY) == 0) {
        if (status != NO_ERROR) reply.setError(status);
        err = sendReply(reply, h.flags);
    }
    return err;
}

status_t IPCThreadState::sendReply(const Parcel& reply, uint32_t /*flags*/) {
    IncomingCall* in = tIncoming;
    HostRuntime* rt = in->rt;
    // The call forked (fork()): the child must not answer on its parent's connection.
    if (rt->forkedByAtfork()) return DEAD_OBJECT;
    FrameHeader h = newHeader(hostbinder::FRAME_REPLY);
    h.txId = in->call->header.txId;
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
    const status_t err = in->conn->sendFrame(std::move(frame), fds);
    if (err == DEAD_OBJECT) rt->connectionDied(in->conn);
    return err;
}

}  // namespace android
