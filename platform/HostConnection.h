/*
 * One connection of the host binder transport: a Unix stream socket to one peer process,
 * carrying frames (HostFrame.h) in both directions.
 *
 * Reading is done by whichever thread holds the connection's reader role: a pool thread woken
 * by epoll, or a caller waiting for its reply. The reader hands replies to their waiters and
 * runs incoming transactions itself, so a call back into a waiting caller is served by the
 * waiting thread. Writes are whole frames under a lock.
 *
 * The connection also holds the objects of this process that it exported to the peer, each
 * with the count of references sent; the peer's RELEASE frames and the connection's death
 * drop them.
 */
#pragma once

#include <binder/IBinder.h>
#include <sys/types.h>
#include <utils/RefBase.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/HostFrame.h"

namespace android {
namespace hostbinder {

/** A received frame; owns its descriptors until they move into a Parcel. */
struct Frame {
    Frame() = default;
    Frame(Frame&& o) noexcept;
    Frame& operator=(Frame&& o) noexcept;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame();

    void closeFds();
    const FrameHeader& header() const {
        return *reinterpret_cast<const FrameHeader*>(bytes.data());
    }
    const uint8_t* data() const { return bytes.data() + sizeof(FrameHeader); }

    std::vector<uint8_t> bytes;  // header and payload
    std::vector<int> fds;
};

class HostConnection : public RefBase {
public:
    enum ReadResult { kFrame, kAgain, kError };
    enum Turn { kGotReply, kMayRead, kDead };

    /** Takes a connected non-blocking socket. `root` is node 0 (null for outgoing). */
    HostConnection(int fd, uint64_t key, bool incoming, const sp<IBinder>& root);

    uint64_t key() const { return mKey; }
    int fd() const { return mFd; }
    bool incoming() const { return mIncoming; }
    pid_t peerPid() const { return mPeerPid; }
    uid_t peerUid() const { return mPeerUid; }
    bool isDead() const;
    /** True when the peer has hung up, even if no thread has read the end of the stream yet. */
    bool peerGone() const;

    uint32_t newTxId();

    /** Sends one frame; DEAD_OBJECT when the peer is gone or stopped reading for too long. */
    status_t sendFrame(const std::vector<uint8_t>& frame, const std::vector<int>& fds);

    /** Pool side: takes the reader role, or notes that the holder must re-arm the poll. */
    bool tryBeginRead();
    /** Gives the reader role back; re-arms the poll when asked or when a wake-up was missed. */
    void endRead(bool rearm);
    /** Reads towards the next frame; `block` waits for data. Needs the reader role. */
    ReadResult readFrame(Frame* out, bool block);

    void registerWaiter(uint32_t txId);
    void unregisterWaiter(uint32_t txId);
    /** Waits until the reply of txId is in, the reader role is free (taken), or death. */
    Turn awaitTurn(uint32_t txId, Frame* reply);
    /** Hands a reply read by this thread to its waiter; unknown ids are dropped. */
    void deliverReply(Frame&& frame);

    /** Marks the connection dead, wakes every waiter and drops the exported objects. */
    void markDead();
    /** After fork(): closes the inherited socket without disturbing the parent's peer. */
    void abandon();

    /** Poll registration (epoll fd, or -1). */
    void setPoll(int epollFd);
    int pollFd() const;

    uint32_t exportNode(const sp<IBinder>& binder);
    sp<IBinder> findNode(uint32_t node) const;
    void releaseNodes(const uint8_t* pairs, size_t count);
    bool hasExports() const;

protected:
    ~HostConnection() override;

private:
    void rearmLocked();

    const int mFd;
    const uint64_t mKey;
    const bool mIncoming;
    pid_t mPeerPid = -1;
    uid_t mPeerUid = static_cast<uid_t>(-1);

    std::mutex mWriteLock;

    mutable std::mutex mLock;
    std::condition_variable mCond;
    bool mDead = false;
    bool mAbandoned = false;
    bool mReading = false;
    bool mArmPending = false;
    int mPollFd = -1;
    uint32_t mNextTx = 1;
    std::set<uint32_t> mWaiters;
    std::map<uint32_t, Frame> mReplies;

    struct Export {
        sp<IBinder> binder;
        uint64_t refs;
        bool pinned;
    };
    std::map<uint32_t, Export> mExports;
    std::map<IBinder*, uint32_t> mNodeOf;
    uint32_t mNextNode = 1;

    // Partial frame being read; only the reader touches these.
    std::vector<uint8_t> mIn;
    size_t mInHave = 0;
    std::vector<int> mInFds;
};

}  // namespace hostbinder
}  // namespace android
