/*
 * One connection of the host binder transport: a Unix stream socket to one peer, carrying
 * frames (HostFrame.h) in both directions.
 *
 * Reading is done by whichever thread holds the connection's reader role: a pool thread woken
 * by the poll set, or a caller waiting for its reply. The reader takes what the socket holds
 * in one recvmmsg() (a second, non-blocking message slot tells whether the socket is drained),
 * checks every frame, hands replies to their waiters, applies RELEASE frames and decodes
 * transactions into a queue, all in stream order. Then it gives the role up to run a
 * transaction, so another thread can take the next frame meanwhile; a call back into a
 * waiting caller is run by the waiting thread itself.
 *
 * Each frame carries its writer's pid and uid as the kernel reports them (SO_PASSCRED makes it
 * attach SCM_CREDENTIALS to every message, and it never joins two writers' bytes in one read),
 * so a connection handed to another process speaks with that process's identity.
 *
 * What a peer can make the connection hold is bounded: a partial frame grows only as its bytes
 * arrive and has a deadline, what is buffered beyond a small allowance is charged to the
 * peer's uid, and frames to a peer that does not read wait in a capped queue (when a pool
 * polls the connection) instead of holding the thread that sent them; oneway calls past the
 * queue's async cap fail at once.
 */
#pragma once

#include <binder/IBinder.h>
#include <binder/Parcel.h>
#include <sys/types.h>
#include <utils/RefBase.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/HostFrame.h"

namespace android {
namespace hostbinder {

class HostRuntime;

/** Who wrote a frame, as the kernel reports it. */
struct Sender {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
};

/**
 * A received TRANSACTION or REPLY, decoded: malloc'd Parcel buffers whose object records hold
 * a strong reference or own a descriptor, until a Parcel adopts them.
 */
class Received {
public:
    Received() = default;
    Received(Received&& o) noexcept;
    Received& operator=(Received&& o) noexcept;
    Received(const Received&) = delete;
    Received& operator=(const Received&) = delete;
    ~Received();

    /** Hands the buffers over (to a Parcel, which then owns their objects). */
    void detach(uint8_t** data, size_t* dataSize, binder_size_t** objects, size_t* objectCount);

    FrameHeader header{};
    Sender sender;
    sp<IBinder> target;          // transactions: the object called
    status_t status = NO_ERROR;  // a reply's status, or FAILED_TRANSACTION for lost descriptors
    uint8_t* data = nullptr;
    size_t dataSize = 0;
    binder_size_t* objects = nullptr;
    size_t objectCount = 0;

private:
    void release();
};

/** What a oneway call waiting for its object counts against its connection's backlog. */
inline size_t backlogBytes(const Received& call) {
    return sizeof(FrameHeader) + call.dataSize + call.objectCount * sizeof(uint32_t);
}

class HostConnection : public RefBase {
public:
    enum Next { kCall, kIdle, kDead };
    /** What a frame is to its peer: awaited (a reply, or a call whose caller waits), a oneway
     *  call, or a RELEASE. Only awaited frames make a queue the peer does not read stuck. */
    enum Send { kAwaited, kOneway, kRelease };

    /**
     * Takes a connected socket (SO_PASSCRED already set). `root` is node 0 (null for outgoing
     * connections). `peerUid` is the peer's uid: what the connection holds is charged to it,
     * and incoming connections are counted against its cap.
     */
    HostConnection(HostRuntime* rt, int fd, uint64_t key, bool incoming, const sp<IBinder>& root,
                   uid_t peerUid);

    uint64_t key() const { return mKey; }
    int fd() const { return mFd; }
    bool incoming() const { return mIncoming; }
    uid_t peerUid() const { return mPeerUid; }
    bool isDead() const;
    /** True when the peer has hung up, even if no thread has read the end of the stream yet. */
    bool peerGone() const;

    uint32_t newTxId();

    /**
     * Sends one frame, its descriptors with its first byte. On a polled connection the bytes
     * the socket does not take at once wait in the connection's queue; otherwise the caller
     * waits for the peer, at most the stuck-writer bound. DEAD_OBJECT when the peer is gone,
     * stuck or over its queue cap; BAD_VALUE when a descriptor is not open. A oneway call
     * never waits: FAILED_TRANSACTION, with nothing sent, when the peer has not taken what
     * is queued for it (over the async cap, or any unpolled backlog).
     */
    status_t sendFrame(std::vector<uint8_t>&& frame, const std::vector<int>& fds,
                       Send kind = kAwaited);
    /** Pool side, on writability: sends what is queued. False when the connection broke. */
    bool flushQueued();
    /** Since when (monotonic ms) an awaited frame waits without progress; 0 when none does. */
    int64_t stuckSince() const;

    /** Since when (monotonic ms) a frame under way waits for its rest; 0 when none does, or
     *  when this side is not reading (its oneway backlog is full). */
    int64_t unfinishedSince() const;
    /** Oneway calls read from here started or stopped waiting for their object. */
    void addBacklog(size_t bytes);
    void removeBacklog(size_t bytes);

    // --- the reader role, pool side ------------------------------------------------------------
    /**
     * Takes the reader role after a poll event (`polled`) or a hand-off; false when another
     * thread holds it or the connection is dead. The read an event owes is done by whoever
     * holds the role next: a holder that only runs calls hands it on.
     */
    bool beginRead(bool polled);
    /**
     * With the reader role held: reads until a transaction is ready to run (kCall: `call`
     * filled and the role given up, handed to the pool when more may be waiting), the socket is
     * drained (kIdle: role given up) or the connection breaks (kDead).
     */
    Next serveNext(Received* call);

    // --- the reader role, waiting caller side --------------------------------------------------
    void registerWaiter(uint32_t txId);
    void unregisterWaiter(uint32_t txId);
    enum Wait { kReply, kRun, kBroken };
    /**
     * Waits for the reply to txId, reading the socket itself whenever the role is free.
     * kReply: `out` holds the reply. kRun: `out` holds a transaction that arrived meanwhile,
     * which the caller runs before waiting again. kBroken: the connection died.
     */
    Wait awaitReply(uint32_t txId, Received* out);

    /** Marks the connection dead, wakes every waiter and drops what it holds. */
    void markDead();
    /** After fork(): closes the inherited socket without disturbing the parent's peer. */
    void abandon();

    /** Poll registration (epoll fd, or -1). Adds the socket to the set, edge-triggered. */
    void setPoll(int epollFd);
    bool polled() const;

    uint32_t exportNode(const sp<IBinder>& binder);
    sp<IBinder> findNode(uint32_t node) const;
    bool hasExports() const;

protected:
    ~HostConnection() override;

private:
    enum Pump { kProgress, kDrained, kBroke };

    Pump pump(bool block);
    bool takeChunk(const uint8_t* bytes, size_t n, const Sender& sender, std::vector<int>* fds,
                   bool fdsLost);
    bool growPartial(size_t capacity);
    bool appendPartial(const uint8_t* bytes, size_t n);
    bool finishFrame(const uint8_t* frame, size_t len, const Sender& sender, std::vector<int>* fds,
                     bool fdsLost);
    void resetPartial();
    void partialBegun();
    void releaseNodes(const uint8_t* pairs, size_t count);
    void deliverReply(Received&& reply);
    void releaseRoleLocked();
    bool throttledLocked();
    bool takeReady(Received* call, std::unique_lock<std::mutex>* lock, bool mayRunOneway);
    void updatePollLocked();
    bool sendQueuedLocked();
    void dropQueueLocked();

    HostRuntime* const mRuntime;
    const int mFd;
    const uint64_t mKey;
    const bool mIncoming;
    const uid_t mPeerUid;

    // Writers: the frame on the wire and the queue behind it.
    mutable std::mutex mWriteLock;
    struct Queued {
        std::vector<uint8_t> bytes;
        size_t sent = 0;
        std::vector<int> fds;  // our own duplicates, closed once sent
        bool awaited = false;
    };
    std::deque<Queued> mQueue;
    size_t mQueuedBytes = 0;
    int64_t mQueueProgressMs = 0;
    size_t mAwaitedQueued = 0;  // awaited frames in the queue
    int64_t mAwaitedSinceMs = 0;

    mutable std::mutex mLock;
    std::condition_variable mCond;
    bool mDead = false;
    bool mAbandoned = false;
    bool mReading = false;
    bool mPending = false;      // a poll event came while the role was held
    bool mMayHaveMore = false;  // the last read did not end on an empty socket
    bool mEnded = false;        // the peer closed; what it sent before is still served
    bool mWantWrite = false;
    bool mThrottled = false;                 // not read while its oneway backlog is full
    std::atomic<bool> mThrottledNow{false};  // the same, read without the lock
    size_t mBacklog = 0;  // bytes of oneway calls read and waiting for their object
    int mPollFd = -1;
    uint32_t mNextTx = 1;
    std::set<uint32_t> mWaiters;
    std::map<uint32_t, Received> mReplies;
    std::deque<Received> mReady;

    struct Export {
        sp<IBinder> binder;
        uint64_t refs;
        bool pinned;
    };
    std::map<uint32_t, Export> mExports;
    std::map<IBinder*, uint32_t> mNodeOf;
    uint32_t mNextNode = 1;

    // The frame being assembled across reads; only the reader touches these. The buffer grows
    // only as bytes arrive; its capacity beyond the allowance is charged to the budget.
    uint8_t* mPartial = nullptr;
    size_t mPartialLen = 0;
    size_t mPartialCap = 0;
    size_t mPartialTotal = 0;  // 0 until the header is in
    Sender mPartialSender;
    std::vector<int> mPartialFds;
    bool mPartialFdsLost = false;
    bool mPartialMapped = false;  // the buffer is an mmap (large), not a malloc
    bool mPartialTimed = false;   // registered for the deadline
    std::atomic<int64_t> mPartialSinceMs{0};
};

/** A oneway call waiting for its object, with the connection it came on. */
struct AsyncCall {
    sp<HostConnection> conn;
    Received call;
};

}  // namespace hostbinder
}  // namespace android
