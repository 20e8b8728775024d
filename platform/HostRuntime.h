/*
 * Process-wide state of the host binder: the rendezvous directory, the service sockets this
 * process listens on, its connections, the proxy handle table with the deaths its proxies
 * asked to hear of, the queues of oneway calls per object, the thread pool's poll set and the
 * limits on what peers can make the process hold.
 *
 * The state belongs to the process that created it. A forked child (fork() or a raw clone,
 * which runs no atfork handlers) notices the changed pid on its next call, closes the inherited
 * descriptors without shutdown(), so the parent's peers see nothing, and starts afresh, reading
 * $HOSTBINDER_DIR again.
 *
 * The poll set is edge-triggered and never re-armed per frame: a connection's reader role
 * (HostConnection) decides who reads, and a thread that gives the role up while bytes may be
 * waiting hands the connection to the pool through an eventfd.
 */
#pragma once

#include <binder/BpBinder.h>
#include <binder/IBinder.h>
#include <binder/Parcel.h>
#include <sys/types.h>
#include <utils/RefBase.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/HostConnection.h"

namespace android {

class BpBinder;
class IPCThreadState;
class IServiceManager;
class ProcessState;

namespace hostbinder {

/** What peers can make this process hold. */
struct Limits {
    /** Bytes buffered beyond the uids' own shares, for all connections together: frames
     *  under way and replies waiting for a slow reader. A connection that needs more than its
     *  uid's share and what is left of this is dropped. */
    size_t bufferBudget = 32 * 1024 * 1024;
    /** What every uid, root and this process's own included, may hold whatever the others
     *  hold: a call of the largest frame fits, so no uid is starved by another. */
    size_t uidShare = 2 * 1024 * 1024;
    /** Unsent bytes one connection may queue; past it the connection is dropped. */
    size_t maxQueuedPerConnection = 2 * 1024 * 1024;
    /** Unsent bytes a oneway call may find queued for its peer; past it the call fails with
     *  FAILED_TRANSACTION at once and the connection goes on. */
    size_t maxAsyncQueued = 256 * 1024;
    /** Oneway calls read from one connection and waiting for their object; past it the
     *  connection is not read until some have run. */
    size_t maxAsyncBacklog = 64 * 1024;
    /** A queue holding replies or calls that the peer has not taken a byte of for this long
     *  drops its connection. */
    int stuckWriteMs = 5000;
    /** A frame not complete this long after its first bytes came closes its connection. */
    int frameDeadlineMs = 1000;
    /** Incoming connections per uid; root and this process's own uid are not counted. */
    size_t maxConnectionsPerUid = 32;
};

class HostRuntime {
public:
    /** The state of the calling process, created (again after a fork) on first use. */
    static HostRuntime* get();

    pid_t pid() const { return mPid; }
    const std::string& dir() const { return mDir; }
    /** True when this process was forked (through fork()) after the state was made. */
    bool forkedByAtfork() const;

    // --- limits ----------------------------------------------------------------------------
    const Limits& limits() const { return mLimits; }
    /** Replaces the limits; for servers that want other bounds (and for tests). */
    void setLimits(const Limits& limits);
    /** Charges `bytes` held for a peer of `uid` to its share, or beyond it to the budget;
     *  false (nothing charged) when neither has room. */
    bool charge(uid_t uid, size_t bytes);
    void uncharge(uid_t uid, size_t bytes);
    size_t buffered() const { return mBuffered.load(std::memory_order_relaxed); }

    // --- proxies ---------------------------------------------------------------------------
    /** Proxy for a node of the peer, counting one more reference received for it. */
    sp<IBinder> proxyFor(const sp<HostConnection>& conn, uint32_t node);
    /** Connection and node of a proxy handle; false when unknown (e.g. from before a fork). */
    bool lookupHandle(int32_t handle, sp<HostConnection>* conn, uint32_t* node);
    /** Called by a dying proxy: tells the owner how many references it drops. */
    void dropProxy(int32_t handle, const BpBinder* proxy);

    // --- death notifications ---------------------------------------------------------------
    /**
     * The proxy wants to hear of its owner's death. A death already seen is queued for the
     * pool at once, as the driver does. DEAD_OBJECT when the handle is not this state's.
     */
    status_t requestDeath(int32_t handle, const BpBinder* proxy);
    void clearDeath(int32_t handle, const BpBinder* proxy);
    /** The connection died: queues the deaths its proxies asked for. From markDead() only. */
    void connectionLost(HostConnection* conn);

    // --- oneway calls ----------------------------------------------------------------------
    /**
     * A oneway call was read from `conn`. Calls to one object run one at a time, in the
     * order they came. True when the object was idle and `mayRun`: the caller runs `call` now
     * and then asks asyncFinished() for the next. Otherwise the call waits for the object, or,
     * with the object idle, for a pool thread.
     */
    bool asyncArrived(const sp<HostConnection>& conn, Received* call, bool mayRun);
    /** A oneway call to `target` ran: true with the next one for it, which the caller runs. */
    bool asyncFinished(IBinder* target, AsyncCall* next);
    bool poolStarted() const { return mPoolStarted.load(std::memory_order_acquire); }

    // --- frames under way ------------------------------------------------------------------
    /** A polled connection has begun a frame whose rest is still to come. */
    void frameStarted(const sp<HostConnection>& conn);
    /** That frame is complete or dropped. */
    void frameEnded(HostConnection* conn);

    // --- connections -----------------------------------------------------------------------
    void connectionDied(const sp<HostConnection>& conn);
    /** Closes an outgoing connection that no proxy and no exported object uses any more. */
    void closeIfUnused(const sp<HostConnection>& conn);
    /** Hands a connection whose socket may hold unread bytes to a pool thread. */
    void post(const sp<HostConnection>& conn);
    /** A connection started or stopped queueing replies for a slow reader. */
    void noteQueued(const sp<HostConnection>& conn);
    void noteDrained(HostConnection* conn);

    // --- services --------------------------------------------------------------------------
    status_t addService(const std::string& name, const sp<IBinder>& binder);
    sp<IBinder> checkService(const std::string& name);
    std::vector<std::string> listServices();
    /** The process's service manager, made by `make` on first use. */
    sp<IServiceManager> serviceManager(IServiceManager* (*make)());
    void setServiceManager(const sp<IServiceManager>& sm);

    // --- thread pool -----------------------------------------------------------------------
    /** The process's ProcessState, made by `make` on first use. */
    sp<ProcessState> processState(ProcessState* (*make)());
    void startThreadPool();
    status_t setMaxThreads(size_t maxThreads);
    /** What a pool thread is given to do; exactly one member is set. */
    struct Work {
        sp<HostConnection> conn;  // the caller holds its reader role
        sp<BpBinder> obituary;    // a proxy whose death its recipients are to hear of
        AsyncCall async;          // a oneway call whose object was idle
    };
    /**
     * Pool thread: waits for work. Accepts clients, sends queued bytes, drops stuck
     * connections and frames past their deadline; false on a failed poll.
     */
    bool waitWork(Work* work);
    /** Before a pool thread runs a transaction: adds a thread when none would be left idle. */
    void beforeExecute();
    void threadJoined();

private:
    explicit HostRuntime(pid_t pid);
    void abandon();
    int ensurePollLocked();
    void addToPollLocked(const sp<HostConnection>& conn);
    void addListenerToPollLocked(uint64_t key, int fd);
    sp<IBinder> proxyForLocked(const sp<HostConnection>& conn, uint32_t node);
    void forgetConnectionLocked(const sp<HostConnection>& conn);
    void acceptOn(uint64_t key);
    bool refuseOne(int listenFd);
    // The connections with replies queued, taken under the lock so they can be looked at
    // without it.
    std::vector<sp<HostConnection>> queuedConnections();
    int pollTimeoutMs();
    void sweepStuck();
    sp<HostConnection> takeRunnable();
    bool takeDeath(sp<BpBinder>* proxy);
    bool takeAsync(AsyncCall* call);
    void armFrameTimerLocked(int64_t atMs);
    void sweepUnfinished();
    void wake();

    const pid_t mPid;
    const unsigned mForkCount;
    const uint64_t mToken;  // in the wipe-on-fork page while this state is the process's
    const std::string mDir;
    const uid_t mOwnUid;
    Limits mLimits;
    std::atomic<size_t> mBuffered{0};
    std::mutex mBudgetLock;
    std::map<uid_t, size_t> mHeldByUid;
    size_t mBudgetUsed = 0;  // held beyond the uids' shares

    std::mutex mLock;
    int mEpoll = -1;
    std::atomic<int> mWakeFd{-1};
    int mReserveFd = -1;  // given up to refuse a client cleanly when descriptors run out
    std::atomic<bool> mAcceptStarved{false};
    uint64_t mNextKey = 1;
    std::map<uint64_t, sp<HostConnection>> mConns;
    std::map<uid_t, size_t> mConnsPerUid;

    struct Listener {
        int fd;
        std::string name;
        sp<IBinder> binder;
    };
    std::map<uint64_t, Listener> mListeners;
    std::map<std::string, uint64_t> mListenerByName;

    struct ProxyEntry {
        sp<HostConnection> conn;
        uint32_t node;
        wp<BpBinder> proxy;
        uint32_t received;
        bool wantsDeath = false;
        bool deathQueued = false;
        bool dead = false;
    };
    std::map<int32_t, ProxyEntry> mProxies;
    std::map<std::pair<uint64_t, uint32_t>, int32_t> mProxyByNode;
    std::map<uint64_t, size_t> mProxyCount;  // per connection
    std::deque<int32_t> mDeaths;             // handles whose recipients are to be told
    std::atomic<bool> mHasDeaths{false};

    struct CachedService {
        uint64_t connKey;
        dev_t dev;
        ino_t ino;
    };
    std::map<std::string, CachedService> mServiceCache;

    sp<IServiceManager> mServiceManager;
    sp<ProcessState> mProcess;

    std::atomic<bool> mPoolStarted{false};
    size_t mMaxThreads = 15;
    size_t mSpawned = 0;
    std::atomic<int> mIdle{0};

    // Connections handed to the pool, and those with replies queued for a slow reader.
    std::mutex mWorkLock;
    std::deque<sp<HostConnection>> mRunnable;
    std::set<uint64_t> mRunnableKeys;
    std::map<uint64_t, sp<HostConnection>> mQueued;
    std::atomic<bool> mHasQueued{false};
    // Connections with a frame under way, and the timer that is armed only while there are.
    std::map<uint64_t, sp<HostConnection>> mUnfinished;
    std::atomic<int> mFrameTimer{-1};
    bool mFrameTimerArmed = false;

    // Oneway calls per object: present while one runs or waits.
    struct AsyncNode {
        sp<IBinder> target;
        bool running = false;
        std::deque<AsyncCall> waiting;
    };
    std::mutex mAsyncLock;
    std::map<IBinder*, AsyncNode> mAsync;
    std::deque<IBinder*> mAsyncIdle;  // objects with calls waiting and nothing running
    std::atomic<bool> mHasAsyncIdle{false};
};

// Entry points of the calling thread's state (IPCThreadState.cpp).

/** A transaction on a proxy handle, from the calling thread, on the state `rt`. */
status_t transactHandle(HostRuntime* rt, int32_t handle, uint32_t code, const Parcel& data,
                        Parcel* reply, uint32_t flags);

/** The calling thread's state for its strict-mode word, without a fork check. */
const IPCThreadState* policyState();

}  // namespace hostbinder
}  // namespace android
