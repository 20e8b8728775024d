#include "platform/HostConnection.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace android {
namespace hostbinder {

namespace {

// A peer that takes no bytes for this long is treated as dead, so it cannot hold a thread.
constexpr int kWriteStallMs = 5000;

// Room for as many descriptors as the kernel passes in one message (SCM_MAX_FD), so that
// none is left behind unseen; more than kMaxFrameFds still fails the frame.
constexpr size_t kReceiveFds = 253;

}  // namespace

Frame::Frame(Frame&& o) noexcept : bytes(std::move(o.bytes)), fds(std::move(o.fds)) {
    o.fds.clear();
}

Frame& Frame::operator=(Frame&& o) noexcept {
    if (this != &o) {
        closeFds();
        bytes = std::move(o.bytes);
        fds = std::move(o.fds);
        o.fds.clear();
    }
    return *this;
}

Frame::~Frame() {
    closeFds();
}

void Frame::closeFds() {
    for (int fd : fds) {
        if (fd >= 0) close(fd);
    }
    fds.clear();
}

HostConnection::HostConnection(int fd, uint64_t key, bool incoming, const sp<IBinder>& root)
    : mFd(fd), mKey(key), mIncoming(incoming) {
    struct ucred cred;
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        mPeerPid = cred.pid;
        mPeerUid = cred.uid;
    }
    if (root != nullptr) {
        mExports[0] = Export{root, 0, true};
        mNodeOf[root.get()] = 0;
    }
}

HostConnection::~HostConnection() {
    // The lock orders the close after the last use under it; the reference count that
    // brought us here lives in libutils, which thread sanitizers cannot see into.
    std::lock_guard<std::mutex> lock(mLock);
    if (!mAbandoned) close(mFd);
    for (int fd : mInFds) close(fd);
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

status_t HostConnection::sendFrame(const std::vector<uint8_t>& frame, const std::vector<int>& fds) {
    std::lock_guard<std::mutex> wlock(mWriteLock);
    if (isDead()) return DEAD_OBJECT;
    size_t sent = 0;
    bool fdsSent = fds.empty();
    while (sent < frame.size()) {
        struct iovec iov;
        iov.iov_base = const_cast<uint8_t*>(frame.data()) + sent;
        iov.iov_len = frame.size() - sent;
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
            struct pollfd p = {mFd, POLLOUT, 0};
            const int r = poll(&p, 1, kWriteStallMs);
            if (r > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL))) continue;
            if (r < 0 && errno == EINTR) continue;
        }
        markDead();
        return DEAD_OBJECT;
    }
    return NO_ERROR;
}

bool HostConnection::tryBeginRead() {
    std::lock_guard<std::mutex> lock(mLock);
    if (mDead) return false;
    if (mReading) {
        mArmPending = true;
        return false;
    }
    mReading = true;
    return true;
}

void HostConnection::endRead(bool rearm) {
    std::lock_guard<std::mutex> lock(mLock);
    mReading = false;
    if ((rearm || mArmPending) && !mDead) rearmLocked();
    mArmPending = false;
    mCond.notify_all();
}

void HostConnection::rearmLocked() {
    if (mPollFd < 0) return;
    struct epoll_event ev {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = mKey;
    epoll_ctl(mPollFd, EPOLL_CTL_MOD, mFd, &ev);
}

HostConnection::ReadResult HostConnection::readFrame(Frame* out, bool block) {
    // A blocking reader sleeps in recvmsg itself (outgoing sockets are blocking); on a
    // non-blocking socket it falls back to poll below.
    const int flags = (block ? 0 : MSG_DONTWAIT) | MSG_CMSG_CLOEXEC;
    for (;;) {
        if (mIn.size() < sizeof(FrameHeader)) mIn.resize(sizeof(FrameHeader));
        const size_t total = mInHave < sizeof(FrameHeader) ? sizeof(FrameHeader) : mIn.size();
        struct iovec iov;
        iov.iov_base = mIn.data() + mInHave;
        iov.iov_len = total - mInHave;
        alignas(struct cmsghdr) uint8_t control[CMSG_SPACE(kReceiveFds * sizeof(int))];
        struct msghdr msg {};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        const ssize_t n = recvmsg(mFd, &msg, flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!block) return kAgain;
                struct pollfd p = {mFd, POLLIN, 0};
                if (poll(&p, 1, -1) < 0 && errno != EINTR) return kError;
                continue;
            }
            return kError;
        }
        bool tooMany = (msg.msg_flags & MSG_CTRUNC) != 0;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            const int* fds = reinterpret_cast<const int*>(CMSG_DATA(c));
            for (size_t i = 0; i < count; ++i) {
                int fd;
                memcpy(&fd, fds + i, sizeof(fd));
                mInFds.push_back(fd);
            }
        }
        if (n == 0 || tooMany || mInFds.size() > kMaxFrameFds) return kError;
        mInHave += static_cast<size_t>(n);
        if (mInHave == sizeof(FrameHeader) && mIn.size() == sizeof(FrameHeader)) {
            FrameHeader h;
            memcpy(&h, mIn.data(), sizeof(h));
            if (validateFrameHeader(h) != NO_ERROR) return kError;
            mIn.resize(sizeof(FrameHeader) + framePayloadSize(h));
        }
        if (mInHave >= sizeof(FrameHeader) && mInHave == mIn.size()) {
            FrameHeader h;
            memcpy(&h, mIn.data(), sizeof(h));
            Frame f;
            f.bytes.swap(mIn);
            f.fds.swap(mInFds);
            mIn.clear();
            mInHave = 0;
            if (validateFrame(f.bytes.data(), f.bytes.size(), f.fds.size()) != NO_ERROR) {
                return kError;
            }
            *out = std::move(f);
            return kFrame;
        }
    }
}

void HostConnection::registerWaiter(uint32_t txId) {
    std::lock_guard<std::mutex> lock(mLock);
    mWaiters.insert(txId);
}

void HostConnection::unregisterWaiter(uint32_t txId) {
    std::lock_guard<std::mutex> lock(mLock);
    mWaiters.erase(txId);
    mReplies.erase(txId);
}

HostConnection::Turn HostConnection::awaitTurn(uint32_t txId, Frame* reply) {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        auto it = mReplies.find(txId);
        if (it != mReplies.end()) {
            *reply = std::move(it->second);
            mReplies.erase(it);
            return kGotReply;
        }
        if (mDead) return kDead;
        if (!mReading) {
            mReading = true;
            return kMayRead;
        }
        mCond.wait(lock);
    }
}

void HostConnection::deliverReply(Frame&& frame) {
    std::lock_guard<std::mutex> lock(mLock);
    const uint32_t txId = frame.header().txId;
    if (mWaiters.count(txId) == 0) return;  // nobody asked; the frame and its fds go
    mReplies[txId] = std::move(frame);
    mCond.notify_all();
}

void HostConnection::markDead() {
    std::map<uint32_t, Export> exports;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mDead) return;
        mDead = true;
        if (mPollFd >= 0) epoll_ctl(mPollFd, EPOLL_CTL_DEL, mFd, nullptr);
        if (!mAbandoned) shutdown(mFd, SHUT_RDWR);
        exports.swap(mExports);
        mNodeOf.clear();
        mCond.notify_all();
    }
    // Objects are released outside the lock: their destructors may call back in.
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
    mPollFd = epollFd;
}

int HostConnection::pollFd() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mPollFd;
}

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
