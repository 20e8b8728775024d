#include "platform/HostConnection.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "platform/HostObjects.h"
#include "platform/HostRuntime.h"
#include "platform/HostWire.h"

namespace android {
namespace hostbinder {

namespace {

// One read takes up to two chunks: the second only fills when the first could not hold all
// that waits, and its coming back empty proves the socket drained without another call.
constexpr size_t kChunk = 16 * 1024;

// Room for as many descriptors as the kernel passes in one message (SCM_MAX_FD), so that none
// is dropped unseen; more than a frame may carry still fails the frame.
constexpr size_t kReceiveFds = 253;
constexpr size_t kControlSize =
    CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(kReceiveFds * sizeof(int));

constexpr uint32_t kPollEvents = EPOLLIN | EPOLLRDHUP | EPOLLET;

// What a connection may hold without drawing on the process's budget: a small frame being
// read and small replies waiting for the peer. Small calls thus never fail for a budget that
// others' large frames use up. (Calls read and waiting to run are bounded by one read.)
constexpr size_t kFreeBytes = 16 * 1024;

size_t beyondFree(size_t bytes) {
    return bytes > kFreeBytes ? bytes - kFreeBytes : 0;
}

// A frame buffer this large is mapped on its own, so that its memory goes back to the system
// the moment it is freed, whatever the allocator keeps.
constexpr size_t kMapAbove = 64 * 1024;

size_t pageRounded(size_t bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void closeAll(std::vector<int>* fds) {
    for (int fd : *fds) {
        if (fd >= 0) close(fd);
    }
    fds->clear();
}

bool sameSender(const Sender& a, const Sender& b) {
    return a.pid == b.pid && a.uid == b.uid;
}

// What one message of a read brought besides its bytes.
struct Control {
    alignas(struct cmsghdr) uint8_t buf[kControlSize];
};

void parseControl(struct msghdr* msg, bool* haveSender, Sender* sender, std::vector<int>* fds) {
    for (struct cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            struct ucred cred;
            memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            sender->pid = cred.pid;
            sender->uid = cred.uid;
            *haveSender = true;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(fd));
                fds->push_back(fd);
            }
        }
    }
}

}  // namespace

// --- Received ------------------------------------------------------------------------------------

Received::Received(Received&& o) noexcept {
    *this = std::move(o);
}

Received& Received::operator=(Received&& o) noexcept {
    if (this != &o) {
        release();
        header = o.header;
        sender = o.sender;
        target = std::move(o.target);
        status = o.status;
        data = o.data;
        dataSize = o.dataSize;
        objects = o.objects;
        objectCount = o.objectCount;
        o.data = nullptr;
        o.objects = nullptr;
        o.dataSize = o.objectCount = 0;
    }
    return *this;
}

Received::~Received() {
    release();
}

void Received::release() {
    if (data != nullptr) {
        for (size_t i = 0; i < objectCount; ++i) {
            flat_binder_object obj;
            memcpy(&obj, data + objects[i], sizeof(obj));
            releaseWireRecord(obj);
        }
    }
    free(data);
    free(objects);
    data = nullptr;
    objects = nullptr;
    dataSize = objectCount = 0;
}

void Received::detach(uint8_t** outData, size_t* outDataSize, binder_size_t** outObjects,
                      size_t* outObjectCount) {
    *outData = data;
    *outDataSize = dataSize;
    *outObjects = objects;
    *outObjectCount = objectCount;
    data = nullptr;
    objects = nullptr;
    dataSize = objectCount = 0;
}

// --- HostConnection ------------------------------------------------------------------------------

namespace {

// The calling thread's read buffers.
struct Chunk {
    uint8_t a[kChunk];
    uint8_t b[kChunk];
};
thread_local std::unique_ptr<Chunk> tChunk;

}  // namespace

HostConnection::HostConnection(HostRuntime* rt, int fd, uint64_t key, bool incoming,
                               const sp<IBinder>& root, uid_t peerUid)
    : mRuntime(rt), mFd(fd), mKey(key), mIncoming(incoming), mPeerUid(peerUid) {
    if (root != nullptr) {
        mExports[0] = Export{root, 0, true};
        mNodeOf[root.get()] = 0;
    }
}

HostConnection::~HostConnection() {
    // The locks order the close after the last use under them; the reference count that
    // brought us here lives in libutils, which thread sanitizers cannot see into.
    bool abandoned;
    {
        std::lock_guard<std::mutex> lock(mLock);
        abandoned = mAbandoned;
    }
    if (abandoned) return;  // a forked child's copy: its memory is the parent's to free
    {
        std::lock_guard<std::mutex> wlock(mWriteLock);
        dropQueueLocked();
    }
    std::lock_guard<std::mutex> lock(mLock);
    close(mFd);
    resetPartial();
}

bool HostConnection::isDead() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mDead;
}

bool HostConnection::peerGone() const {
    if (isDead()) return true;
    struct pollfd p = {mFd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

uint32_t HostConnection::newTxId() {
    std::lock_guard<std::mutex> lock(mLock);
    uint32_t id = mNextTx++;
    if (mNextTx == 0) mNextTx = 1;
    return id;
}

// --- writing -------------------------------------------------------------------------------------

status_t HostConnection::sendFrame(std::vector<uint8_t>&& frame, const std::vector<int>& fds,
                                   Send kind) {
    std::unique_lock<std::mutex> wlock(mWriteLock);
    bool queueing;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mDead) return DEAD_OBJECT;
        queueing = mPollFd >= 0;
    }
    // A oneway call never waits for its peer: when the peer is that far behind, it fails at
    // once, as the driver fails one whose receiver has no async space left.
    if (kind == kOneway && !mQueue.empty() &&
        mQueuedBytes + frame.size() > mRuntime->limits().maxAsyncQueued) {
        return FAILED_TRANSACTION;
    }
    size_t sent = 0;
    bool fdsSent = fds.empty();
    bool broken = false;
    const int64_t start = nowMs();
    while (mQueue.empty() && sent < frame.size()) {
        struct iovec iov = {frame.data() + sent, frame.size() - sent};
        struct msghdr msg {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        std::vector<uint8_t> control;
        if (!fdsSent) {
            control.resize(CMSG_SPACE(fds.size() * sizeof(int)));
            msg.msg_control = control.data();
            msg.msg_controllen = control.size();
            struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
            cmsg->cmsg_level = SOL_SOCKET;
            cmsg->cmsg_type = SCM_RIGHTS;
            cmsg->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
            memcpy(CMSG_DATA(cmsg), fds.data(), fds.size() * sizeof(int));
        }
        const ssize_t n = sendmsg(mFd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            fdsSent = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A descriptor the caller closed too early fails its own call, not the connection.
        if (n < 0 && errno == EBADF && !fdsSent && sent == 0) return BAD_VALUE;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (queueing) break;
            if (kind == kOneway && sent == 0) return FAILED_TRANSACTION;
            // No pool polls this connection: the calling thread is the client's own, and it
            // waits for the peer, but never past the stuck-writer bound.
            const int64_t left = mRuntime->limits().stuckWriteMs - (nowMs() - start);
            struct pollfd p = {mFd, POLLOUT, 0};
            const int r = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
            if (r > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
            if (r < 0 && errno == EINTR) continue;
        }
        broken = true;
        break;
    }
    if (!broken && sent < frame.size()) {
        // The peer is not reading now: the rest waits in the queue and the poll set watches
        // for room, so no thread is held for it.
        const size_t size = frame.size();
        Queued q;
        q.sent = sent;
        q.awaited = kind == kAwaited;
        if (!fdsSent) {
            for (int fd : fds) {
                const int dup = fcntl(fd, F_DUPFD_CLOEXEC, 0);
                if (dup < 0) {
                    // Nothing of this frame went out yet (descriptors go with its first byte).
                    if (errno == EBADF) {
                        closeAll(&q.fds);
                        return BAD_VALUE;
                    }
                    broken = true;
                    break;
                }
                q.fds.push_back(dup);
            }
        }
        if (!broken && (mQueuedBytes + size > mRuntime->limits().maxQueuedPerConnection ||
                        !mRuntime->charge(mPeerUid, beyondFree(mQueuedBytes + size) -
                                                        beyondFree(mQueuedBytes)))) {
            broken = true;
        }
        if (broken) {
            closeAll(&q.fds);
        } else {
            q.bytes = std::move(frame);
            const bool first = mQueue.empty();
            // The peer waits for this one: from now on the queue can be stuck.
            const bool firstAwaited = q.awaited && mAwaitedQueued == 0;
            mAwaitedQueued += q.awaited ? 1 : 0;
            mQueue.push_back(std::move(q));
            mQueuedBytes += size;
            if (first) {
                mQueueProgressMs = nowMs();
                std::lock_guard<std::mutex> lock(mLock);
                mWantWrite = true;
                updatePollLocked();
            }
            if (firstAwaited) {
                mAwaitedSinceMs = nowMs();
                mRuntime->noteQueued(this);
            }
        }
    }
    wlock.unlock();
    if (broken) {
        markDead();
        return DEAD_OBJECT;
    }
    return NO_ERROR;
}

bool HostConnection::sendQueuedLocked() {
    while (!mQueue.empty()) {
        Queued& q = mQueue.front();
        struct iovec iov = {q.bytes.data() + q.sent, q.bytes.size() - q.sent};
        struct msghdr msg {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        std::vector<uint8_t> control;
        if (!q.fds.empty()) {
            control.resize(CMSG_SPACE(q.fds.size() * sizeof(int)));
            msg.msg_control = control.data();
            msg.msg_controllen = control.size();
            struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
            cmsg->cmsg_level = SOL_SOCKET;
            cmsg->cmsg_type = SCM_RIGHTS;
            cmsg->cmsg_len = CMSG_LEN(q.fds.size() * sizeof(int));
            memcpy(CMSG_DATA(cmsg), q.fds.data(), q.fds.size() * sizeof(int));
        }
        const ssize_t n = sendmsg(mFd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        mQueueProgressMs = nowMs();
        closeAll(&q.fds);
        q.sent += static_cast<size_t>(n);
        if (q.sent == q.bytes.size()) {
            mRuntime->uncharge(
                mPeerUid, beyondFree(mQueuedBytes) - beyondFree(mQueuedBytes - q.bytes.size()));
            mQueuedBytes -= q.bytes.size();
            mAwaitedQueued -= q.awaited ? 1 : 0;
            mQueue.pop_front();
        }
    }
    return true;
}

bool HostConnection::flushQueued() {
    bool drained;
    {
        std::lock_guard<std::mutex> wlock(mWriteLock);
        if (mQueue.empty()) return true;
        if (!sendQueuedLocked()) return false;
        drained = mQueue.empty();
        if (drained) {
            std::lock_guard<std::mutex> lock(mLock);
            mWantWrite = false;
            updatePollLocked();
        }
    }
    if (drained) mRuntime->noteDrained(this);
    return true;
}

int64_t HostConnection::stuckSince() const {
    std::lock_guard<std::mutex> wlock(mWriteLock);
    return mAwaitedQueued == 0 ? 0 : std::max(mQueueProgressMs, mAwaitedSinceMs);
}

void HostConnection::dropQueueLocked() {
    for (Queued& q : mQueue) closeAll(&q.fds);
    mRuntime->uncharge(mPeerUid, beyondFree(mQueuedBytes));
    mQueue.clear();
    mQueuedBytes = 0;
    mAwaitedQueued = 0;
}

int64_t HostConnection::unfinishedSince() const {
    return mThrottledNow.load(std::memory_order_acquire)
               ? 0
               : mPartialSinceMs.load(std::memory_order_acquire);
}

void HostConnection::addBacklog(size_t bytes) {
    std::lock_guard<std::mutex> lock(mLock);
    mBacklog += bytes;
}

void HostConnection::removeBacklog(size_t bytes) {
    bool resume = false;
    {
        std::lock_guard<std::mutex> lock(mLock);
        mBacklog -= std::min(bytes, mBacklog);
        if (mThrottled && mBacklog < mRuntime->limits().maxAsyncBacklog) {
            mThrottled = false;
            // A frame under way waited for us, not for its writer: its time starts again.
            if (mPartialSinceMs.load(std::memory_order_relaxed) != 0) {
                mPartialSinceMs.store(nowMs(), std::memory_order_release);
            }
            mThrottledNow.store(false, std::memory_order_release);
            resume = mPollFd >= 0 && !mDead;
            mCond.notify_all();  // a waiting caller reads again
        }
    }
    if (resume) mRuntime->post(this);
}

bool HostConnection::throttledLocked() {
    if (mBacklog < mRuntime->limits().maxAsyncBacklog) return false;
    mThrottled = true;
    mThrottledNow.store(true, std::memory_order_release);
    return true;
}

// --- the reader role -----------------------------------------------------------------------------

bool HostConnection::beginRead(bool polled) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mDead) return false;
    // A poll event owes the socket a read, whoever does it: the holder of the role, or this
    // thread, which may find calls to run first and then hands the read on.
    if (polled) mPending = true;
    if (mReading) return false;
    mReading = true;
    return true;
}

void HostConnection::releaseRoleLocked() {
    // mPending stays: only a read clears it.
    mReading = false;
    // Nobody reads a dead connection again: the frame under way gives its memory back.
    if (mDead) resetPartial();
    mCond.notify_all();
}

bool HostConnection::takeReady(Received* call, std::unique_lock<std::mutex>* lock,
                               bool mayRunOneway) {
    while (!mReady.empty()) {
        Received next = std::move(mReady.front());
        mReady.pop_front();
        if ((next.header.flags & IBinder::FLAG_ONEWAY) != 0) {
            // Still the reader, so the object sees its oneway calls in the order they came.
            lock->unlock();
            const bool run = mRuntime->asyncArrived(this, &next, mayRunOneway);
            lock->lock();
            if (!run) continue;  // it waits for its object, or for a pool thread
        }
        *call = std::move(next);
        return true;
    }
    return false;
}

HostConnection::Next HostConnection::serveNext(Received* call) {
    bool readSome = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mLock);
            if (mDead) {
                releaseRoleLocked();
                return kDead;
            }
            if (takeReady(call, &lock, true)) {
                // Whatever may still wait goes to another pool thread while this one runs
                // the call.
                const bool handOff = !mReady.empty() || mPending || mMayHaveMore || mEnded;
                releaseRoleLocked();
                lock.unlock();
                if (handOff) mRuntime->post(this);
                return kCall;
            }
            if (mDead) {
                releaseRoleLocked();
                return kDead;
            }
            if (mEnded) {
                // The peer closed, and every call it sent before has been taken.
                releaseRoleLocked();
                return kDead;
            }
            // The last read found the socket empty behind what it took, and no event came
            // since: nothing is left for this thread.
            if (readSome && !mMayHaveMore && !mPending) {
                releaseRoleLocked();
                return kIdle;
            }
            // Oneway calls it sent wait for their objects: it is read again once they run.
            if (throttledLocked()) {
                releaseRoleLocked();
                return kIdle;
            }
            mPending = false;
        }
        const Pump p = pump(false);
        std::lock_guard<std::mutex> lock(mLock);
        if (p == kBroke) {
            releaseRoleLocked();
            return kDead;
        }
        if (p == kDrained) {
            mMayHaveMore = false;
            if (mReady.empty() && !mPending) {
                releaseRoleLocked();
                return kIdle;
            }
        }
        readSome = p == kProgress;
    }
}

void HostConnection::registerWaiter(uint32_t txId) {
    std::lock_guard<std::mutex> lock(mLock);
    mWaiters.insert(txId);
}

void HostConnection::unregisterWaiter(uint32_t txId) {
    Received dropped;
    std::lock_guard<std::mutex> lock(mLock);
    mWaiters.erase(txId);
    auto it = mReplies.find(txId);
    if (it != mReplies.end()) {
        dropped = std::move(it->second);
        mReplies.erase(it);
    }
}

HostConnection::Wait HostConnection::awaitReply(uint32_t txId, Received* out) {
    std::unique_lock<std::mutex> lock(mLock);
    bool reading = false;
    bool handOff = false;
    Wait result;
    for (;;) {
        auto it = mReplies.find(txId);
        if (it != mReplies.end()) {
            *out = std::move(it->second);
            mReplies.erase(it);
            result = kReply;
            break;
        }
        if (mDead || (mEnded && mReady.empty())) {
            result = kBroken;
            break;
        }
        if (!reading) {
            if (mReading) {
                mCond.wait(lock);
                continue;
            }
            mReading = true;
            reading = true;
        }
        // A call into this process while it waits (a callback, say) is run here. Oneway
        // calls go to the pool when there is one, as the driver never gives them to a thread
        // waiting for its reply.
        if (takeReady(out, &lock, !mRuntime->poolStarted())) {
            result = kRun;
            break;
        }
        if (!mReady.empty()) continue;  // the lock was let go: look again
        if (mDead || mEnded) continue;
        if (throttledLocked()) {
            // The backlog this peer sent runs on other threads; read again once it shrinks.
            mCond.wait(lock);
            continue;
        }
        mPending = false;  // the read takes whatever the event announced
        lock.unlock();
        const Pump p = pump(true);
        lock.lock();
        if (p == kBroke) {
            releaseRoleLocked();
            return kBroken;
        }
    }
    if (reading) {
        // A pool that polls this connection may have left bytes to the waiter; hand them back.
        handOff = mPollFd >= 0 && !mDead && (mPending || mMayHaveMore || mEnded || !mReady.empty());
        releaseRoleLocked();
    }
    lock.unlock();
    if (handOff) mRuntime->post(this);
    return result;
}

void HostConnection::deliverReply(Received&& reply) {
    Received dropped;
    {
        std::lock_guard<std::mutex> lock(mLock);
        const uint32_t txId = reply.header.txId;
        if (mWaiters.count(txId) != 0) {
            mReplies[txId] = std::move(reply);
            mCond.notify_all();
            return;
        }
        dropped = std::move(reply);  // nobody asked; its objects go outside the lock
    }
}

// --- reading -------------------------------------------------------------------------------------

HostConnection::Pump HostConnection::pump(bool block) {
    if (tChunk == nullptr) tChunk.reset(new Chunk);
    Chunk& chunk = *tChunk;
    // A frame whose header is in is read straight into its own buffer, which grows only as
    // its bytes come; anything after it goes to the chunk.
    const bool direct = mPartialTotal > 0;
    if (direct && mPartialLen == mPartialCap &&
        !growPartial(std::min(mPartialTotal, std::max(2 * mPartialCap, kChunk)))) {
        return kBroke;
    }
    struct iovec iov[2];
    if (direct) {
        iov[0] = {mPartial + mPartialLen, std::min(mPartialCap, mPartialTotal) - mPartialLen};
        iov[1] = {chunk.a, kChunk};
    } else {
        iov[0] = {chunk.a, kChunk};
        iov[1] = {chunk.b, kChunk};
    }
    Control control[2];
    struct mmsghdr mm[2];
    memset(mm, 0, sizeof(mm));
    for (int i = 0; i < 2; ++i) {
        mm[i].msg_hdr.msg_iov = &iov[i];
        mm[i].msg_hdr.msg_iovlen = 1;
        mm[i].msg_hdr.msg_control = control[i].buf;
        mm[i].msg_hdr.msg_controllen = sizeof(control[i].buf);
    }
    // MSG_WAITFORONE: wait for the first message only; the second slot never blocks.
    const int flags = MSG_CMSG_CLOEXEC | (block ? MSG_WAITFORONE : MSG_DONTWAIT);
    int got;
    for (;;) {
        got = recvmmsg(mFd, mm, 2, flags, nullptr);
        if (got > 0) break;
        if (got == 0) return kBroke;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!block) return kDrained;
            // A waiting caller on a non-blocking (incoming) socket.
            struct pollfd p = {mFd, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) return kBroke;
            continue;
        }
        return kBroke;
    }
    std::vector<int> fds[2];
    Sender senders[2];
    bool haveSender[2] = {false, false};
    for (int i = 0; i < got; ++i) {
        parseControl(&mm[i].msg_hdr, &haveSender[i], &senders[i], &fds[i]);
    }
    bool ok = true;
    bool ended = false;
    for (int i = 0; i < got && ok && !ended; ++i) {
        const size_t n = mm[i].msg_len;
        const bool lost = (mm[i].msg_hdr.msg_flags & MSG_CTRUNC) != 0;
        if (n == 0) {
            ended = true;  // the peer closed; calls it sent before still run
        } else if (!haveSender[i]) {
            ok = false;  // bytes nobody vouches for
        } else if (i == 0 && direct) {
            // Descriptors travel with a frame's first byte, and one frame has one writer.
            if (!fds[0].empty() || lost || !sameSender(senders[0], mPartialSender)) {
                ok = false;
            } else {
                mPartialLen += n;
                if (mPartialLen == mPartialTotal) {
                    ok = finishFrame(mPartial, mPartialTotal, mPartialSender, &mPartialFds,
                                     mPartialFdsLost);
                    resetPartial();
                }
            }
        } else {
            const uint8_t* bytes = static_cast<const uint8_t*>(iov[i].iov_base);
            ok = takeChunk(bytes, n, senders[i], &fds[i], lost);
        }
    }
    closeAll(&fds[0]);
    closeAll(&fds[1]);
    if (!ok) return kBroke;
    std::lock_guard<std::mutex> lock(mLock);
    mMayHaveMore = got == 2 && !ended;
    if (ended) {
        mEnded = true;
        return mReady.empty() ? kBroke : kProgress;
    }
    return kProgress;
}

bool HostConnection::growPartial(size_t want) {
    const bool map = want >= kMapAbove;
    if (map) want = pageRounded(want);
    // Over the budget, the connection is dropped: its peer is the one asking for more.
    const size_t more = beyondFree(want) - beyondFree(mPartialCap);
    if (!mRuntime->charge(mPeerUid, more)) return false;
    void* grown = nullptr;
    if (!map) {
        grown = realloc(mPartial, want);
    } else if (mPartialMapped) {
        grown = mremap(mPartial, mPartialCap, want, MREMAP_MAYMOVE);
    } else {
        grown = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (grown != MAP_FAILED) {
            if (mPartialLen > 0) memcpy(grown, mPartial, mPartialLen);
            free(mPartial);
        }
    }
    if (grown == nullptr || grown == MAP_FAILED) {
        mRuntime->uncharge(mPeerUid, more);
        return false;
    }
    mPartial = static_cast<uint8_t*>(grown);
    mPartialCap = want;
    mPartialMapped = map;
    return true;
}

bool HostConnection::appendPartial(const uint8_t* bytes, size_t n) {
    if (mPartialLen + n > mPartialCap) {
        const size_t limit = mPartialTotal > 0 ? mPartialTotal : sizeof(FrameHeader);
        if (!growPartial(std::max(mPartialLen + n, std::min(2 * mPartialCap, limit)))) {
            return false;
        }
    }
    memcpy(mPartial + mPartialLen, bytes, n);
    mPartialLen += n;
    return true;
}

void HostConnection::resetPartial() {
    if (mPartialMapped) {
        munmap(mPartial, mPartialCap);
    } else {
        free(mPartial);
    }
    mRuntime->uncharge(mPeerUid, beyondFree(mPartialCap));
    mPartial = nullptr;
    mPartialLen = mPartialCap = mPartialTotal = 0;
    mPartialMapped = false;
    closeAll(&mPartialFds);
    mPartialFdsLost = false;
    mPartialSinceMs.store(0, std::memory_order_release);
    if (mPartialTimed) {
        mPartialTimed = false;
        mRuntime->frameEnded(this);
    }
}

void HostConnection::partialBegun() {
    mPartialSinceMs.store(nowMs(), std::memory_order_release);
    if (mPartialTimed) return;
    {
        // Only a pool keeps the time; without one the reader is the client's own thread.
        std::lock_guard<std::mutex> lock(mLock);
        if (mPollFd < 0 || mDead) return;
    }
    mPartialTimed = true;
    mRuntime->frameStarted(this);
}

bool HostConnection::takeChunk(const uint8_t* bytes, size_t n, const Sender& sender,
                               std::vector<int>* fds, bool fdsLost) {
    size_t off = 0;
    if (mPartialLen > 0) {
        // The rest of a frame begun in an earlier read (its header was not complete then).
        if (!sameSender(sender, mPartialSender)) return false;
        if (mPartialTotal == 0) {
            const size_t take = std::min(sizeof(FrameHeader) - mPartialLen, n);
            if (!appendPartial(bytes, take)) return false;
            off += take;
            if (mPartialLen == sizeof(FrameHeader)) {
                FrameHeader h;
                memcpy(&h, mPartial, sizeof(h));
                if (validateFrameHeader(h) != NO_ERROR) return false;
                mPartialTotal = sizeof(FrameHeader) + framePayloadSize(h);
            }
        }
        if (mPartialTotal > 0) {
            const size_t take = std::min(mPartialTotal - mPartialLen, n - off);
            if (!appendPartial(bytes + off, take)) return false;
            off += take;
            if (mPartialLen == mPartialTotal) {
                const bool ok = finishFrame(mPartial, mPartialTotal, mPartialSender, &mPartialFds,
                                            mPartialFdsLost);
                resetPartial();
                if (!ok) return false;
            }
        }
    }
    // The frames that start in this read. Descriptors come with the first byte of the last of
    // them: the kernel ends a read after the message that carried descriptors.
    size_t last = n;
    for (size_t p = off; p < n;) {
        last = p;
        if (n - p < sizeof(FrameHeader)) break;
        FrameHeader h;
        memcpy(&h, bytes + p, sizeof(h));
        if (validateFrameHeader(h) != NO_ERROR) return false;
        p += sizeof(FrameHeader) + framePayloadSize(h);
    }
    if ((!fds->empty() || fdsLost) && last == n) return false;  // descriptors inside a frame
    std::vector<int> none;
    for (size_t p = off; p < n;) {
        const bool isLast = p == last;
        std::vector<int>* own = isLast ? fds : &none;
        const bool lost = isLast && fdsLost;
        size_t total = 0;
        if (n - p >= sizeof(FrameHeader)) {
            FrameHeader h;
            memcpy(&h, bytes + p, sizeof(h));
            total = sizeof(FrameHeader) + framePayloadSize(h);
        }
        if (total == 0 || n - p < total) {
            // A frame begun here whose rest is still to come.
            mPartialSender = sender;
            mPartialTotal = total;
            mPartialFds.swap(*own);
            mPartialFdsLost = lost;
            if (!appendPartial(bytes + p, n - p)) return false;
            partialBegun();
            return true;
        }
        if (!finishFrame(bytes + p, total, sender, own, lost)) return false;
        p += total;
    }
    return true;
}

bool HostConnection::finishFrame(const uint8_t* frame, size_t len, const Sender& sender,
                                 std::vector<int>* fds, bool fdsLost) {
    FrameHeader h;
    memcpy(&h, frame, sizeof(h));
    const sp<HostConnection> self(this);
    if (fdsLost) {
        // The kernel had no descriptor slots for all of them (we are at the descriptor limit)
        // and closed the rest. The stream itself is whole, so only this frame fails.
        const bool sound =
            validateFrame(frame, len, h.fdCount) == NO_ERROR && fds->size() < h.fdCount;
        closeAll(fds);
        if (!sound) return false;
        if (h.type == FRAME_TRANSACTION) {
            if ((h.flags & IBinder::FLAG_ONEWAY) == 0) {
                FrameHeader r{};
                r.magic = kFrameMagic;
                r.type = FRAME_REPLY;
                r.txId = h.txId;
                r.code = static_cast<uint32_t>(FAILED_TRANSACTION);
                std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(&r),
                                           reinterpret_cast<const uint8_t*>(&r) + sizeof(r));
                sendFrame(std::move(bytes), {});
            }
            return true;
        }
        Received failed;
        failed.header = h;
        failed.sender = sender;
        failed.status = FAILED_TRANSACTION;
        deliverReply(std::move(failed));
        return true;
    }
    if (validateFrame(frame, len, fds->size()) != NO_ERROR) {
        closeAll(fds);
        return false;
    }
    bool ok = true;
    if (h.type == FRAME_RELEASE) {
        releaseNodes(frame + sizeof(FrameHeader), h.dataSize / 8);
    } else if (h.type == FRAME_REPLY) {
        bool wanted;
        {
            std::lock_guard<std::mutex> lock(mLock);
            wanted = mWaiters.count(h.txId) != 0;
        }
        if (wanted) {
            Received r;
            r.header = h;
            r.sender = sender;
            r.status = static_cast<status_t>(static_cast<int32_t>(h.code));
            // Decoded now, in stream order: a RELEASE right behind the reply may drop the
            // last reference to an object the reply hands back.
            if (r.status == NO_ERROR) {
                ok = decodeFrame(mRuntime, self, frame, fds->data(), &r) == NO_ERROR;
            }
            if (ok) deliverReply(std::move(r));
        }
    } else {
        Received call;
        call.header = h;
        call.sender = sender;
        call.target = findNode(h.target);
        // A node this connection never exported: the peer is broken or hostile.
        ok = call.target != nullptr &&
             decodeFrame(mRuntime, self, frame, fds->data(), &call) == NO_ERROR;
        if (ok) {
            std::lock_guard<std::mutex> lock(mLock);
            mReady.push_back(std::move(call));
        }
    }
    closeAll(fds);
    return ok;
}

// --- death, fork, poll ---------------------------------------------------------------------------

void HostConnection::markDead() {
    std::map<uint32_t, Export> exports;
    std::map<uint32_t, Received> replies;
    std::deque<Received> ready;
    bool unread;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mDead) return;
        mDead = true;
        if (mPollFd >= 0) epoll_ctl(mPollFd, EPOLL_CTL_DEL, mFd, nullptr);
        if (!mAbandoned) shutdown(mFd, SHUT_RDWR);
        exports.swap(mExports);
        mNodeOf.clear();
        replies.swap(mReplies);
        ready.swap(mReady);
        unread = !mReading;  // and nobody can take the reader role any more
        mCond.notify_all();
    }
    // The frame under way will never finish: its memory goes back now. (A reader gives it
    // back when it lets the role go.)
    if (unread) resetPartial();
    {
        std::lock_guard<std::mutex> wlock(mWriteLock);
        dropQueueLocked();
    }
    mRuntime->noteDrained(this);  // the runtime holds queueing connections until they drain
    mRuntime->connectionLost(this);
    // Objects are released outside the locks: their destructors may call back in.
}

void HostConnection::abandon() {
    // The mutex may have been held by a thread that fork() did not copy.
    if (mLock.try_lock()) {
        mDead = true;
        mAbandoned = true;
        mLock.unlock();
    }
    close(mFd);
}

void HostConnection::setPoll(int epollFd) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mDead || mPollFd >= 0) return;
    mPollFd = epollFd;
    struct epoll_event ev {};
    ev.events = kPollEvents | (mWantWrite ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    ev.data.u64 = mKey;
    epoll_ctl(mPollFd, EPOLL_CTL_ADD, mFd, &ev);
}

bool HostConnection::polled() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mPollFd >= 0;
}

void HostConnection::updatePollLocked() {
    if (mPollFd < 0 || mDead) return;
    struct epoll_event ev {};
    ev.events = kPollEvents | (mWantWrite ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    ev.data.u64 = mKey;
    epoll_ctl(mPollFd, EPOLL_CTL_MOD, mFd, &ev);
}

// --- exported objects ----------------------------------------------------------------------------

uint32_t HostConnection::exportNode(const sp<IBinder>& binder) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mDead) return 0;  // nothing can reach it any more; the frame will not be sent
    auto it = mNodeOf.find(binder.get());
    uint32_t node;
    if (it != mNodeOf.end()) {
        node = it->second;
    } else {
        node = mNextNode++;
        if (mNextNode == 0) mNextNode = 1;
        mNodeOf[binder.get()] = node;
        mExports[node] = Export{binder, 0, false};
    }
    mExports[node].refs++;
    return node;
}

sp<IBinder> HostConnection::findNode(uint32_t node) const {
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mExports.find(node);
    return it == mExports.end() ? nullptr : it->second.binder;
}

void HostConnection::releaseNodes(const uint8_t* pairs, size_t count) {
    std::vector<sp<IBinder>> dropped;
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (size_t i = 0; i < count; ++i) {
            uint32_t node, refs;
            memcpy(&node, pairs + i * 8, 4);
            memcpy(&refs, pairs + i * 8 + 4, 4);
            auto it = mExports.find(node);
            if (it == mExports.end() || it->second.pinned) continue;
            it->second.refs = it->second.refs > refs ? it->second.refs - refs : 0;
            if (it->second.refs == 0) {
                dropped.push_back(it->second.binder);
                mNodeOf.erase(it->second.binder.get());
                mExports.erase(it);
            }
        }
    }
}

bool HostConnection::hasExports() const {
    std::lock_guard<std::mutex> lock(mLock);
    for (const auto& e : mExports) {
        if (!e.second.pinned) return true;
    }
    return false;
}

}  // namespace hostbinder
}  // namespace android
