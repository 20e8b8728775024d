#include "platform/HostRuntime.h"

#include <binder/BpBinder.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <new>

#include "platform/HostWire.h"

namespace android {
namespace hostbinder {

namespace {

constexpr const char* kDefaultDir = "/run/hostbinder";

// Poll keys: connections count up from 1, listeners carry the top bit, and the eventfd that
// hands connections to the pool has its own.
constexpr uint64_t kListenerBit = 1ull << 63;
constexpr uint64_t kWakeKey = ~0ull;
constexpr uint64_t kFrameTimerKey = ~0ull - 1;

// While out of descriptors with no spare to refuse a client with, accepting is retried this
// often (new clients would otherwise wait for another one to connect).
constexpr int kAcceptRetryMs = 100;

std::atomic<HostRuntime*> gRuntime{nullptr};

// Handles stay unique across forks, so a proxy inherited from the parent never names one of
// the child's own.
std::atomic<int32_t> gNextHandle{1};

// States of parent processes, kept reachable after a fork: objects still point into them.
std::vector<HostRuntime*>* gAbandoned = nullptr;

// Counts fork()s in this process's line; a state made before the last one belongs to the
// parent. Raw clones are caught by the pid check instead.
std::atomic<unsigned> gForks{0};

void countFork() {
    gForks.fetch_add(1, std::memory_order_relaxed);
}

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void passCredentials(int fd) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
}

std::string readDir() {
    const char* env = getenv("HOSTBINDER_DIR");
    return env != nullptr && env[0] != '\0' ? std::string(env) : std::string(kDefaultDir);
}

bool validName(const std::string& name) {
    return !name.empty() && name.size() <= 96 && name[0] != '.' &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool makeAddress(const std::string& path, struct sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr->sun_path)) return false;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

void makeDirs(const std::string& dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            const std::string part = dir.substr(0, i);
            if (mkdir(part.c_str(), 0755) == 0) chmod(part.c_str(), 0755);
        }
    }
}

// Connects to a service socket; -1 when nobody listens there (missing or stale socket).
int connectTo(const std::string& path) {
    struct sockaddr_un addr;
    if (!makeAddress(path, &addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Set before connecting, so that no byte from the server can come without its writer.
    passCredentials(fd);
    int r;
    do {
        r = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Fork detection without a system call: a page the kernel hands every child empty
// (MADV_WIPEONFORK), whether fork() or a raw clone made it, atfork handlers or not. It holds
// the token of the process's state, so a child finds no token and checks its pid. Trusted
// only once /proc/self/smaps shows the kernel keeps the advice ("wf"): qemu-user, for one,
// accepts it and ignores it. Long-lived processes set it up after some calls; short ones
// never pay for reading smaps and check the pid on every call.
constexpr int kChecksBeforeWipeGuard = 64;
std::atomic<uint64_t>* gWipePage = nullptr;  // published by gWipeReady
std::atomic<bool> gWipeReady{false};
std::atomic<int> gPidChecks{0};
std::atomic<uint64_t> gNextToken{1};

// True when /proc/self/smaps lists the mapping at `page` with the wipe-on-fork flag.
bool kernelWipesOnFork(const void* page) {
    FILE* f = fopen("/proc/self/smaps", "re");
    if (f == nullptr) return false;
    const uintptr_t at = reinterpret_cast<uintptr_t>(page);
    char line[512];
    bool inside = false;
    bool wipes = false;
    while (fgets(line, sizeof(line), f) != nullptr) {
        unsigned long lo, hi;
        char dash;
        if (sscanf(line, "%lx%c%lx ", &lo, &dash, &hi) == 3 && dash == '-' &&
            strchr(line, ':') != nullptr && strncmp(line, "VmFlags", 7) != 0) {
            inside = lo <= at && at < hi;
        } else if (inside && strncmp(line, "VmFlags:", 8) == 0) {
            wipes = strstr(line, " wf") != nullptr;
            break;
        }
    }
    fclose(f);
    return wipes;
}

void setUpWipeGuard(uint64_t token) {
    const long pageSize = sysconf(_SC_PAGESIZE);
    void* page = mmap(nullptr, pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return;
    if (madvise(page, pageSize, MADV_WIPEONFORK) != 0 || !kernelWipesOnFork(page)) {
        munmap(page, pageSize);
        return;
    }
    gWipePage = new (page) std::atomic<uint64_t>(token);
    gWipeReady.store(true, std::memory_order_release);
}

}  // namespace

HostRuntime::HostRuntime(pid_t pid)
    : mPid(pid),
      mForkCount(gForks.load(std::memory_order_relaxed)),
      mToken(gNextToken.fetch_add(1)),
      mDir(readDir()),
      mOwnUid(geteuid()) {}

HostRuntime* HostRuntime::get() {
    static const int sAtfork = pthread_atfork(nullptr, nullptr, countFork);
    (void)sAtfork;
    HostRuntime* r = gRuntime.load(std::memory_order_acquire);
    if (r != nullptr && gWipeReady.load(std::memory_order_acquire) &&
        gWipePage->load(std::memory_order_relaxed) == r->mToken) {
        return r;
    }
    const pid_t pid = getpid();
    if (r != nullptr && r->mPid == pid) {
        if (!gWipeReady.load(std::memory_order_relaxed) &&
            gPidChecks.fetch_add(1, std::memory_order_relaxed) == kChecksBeforeWipeGuard) {
            setUpWipeGuard(r->mToken);
        }
        return r;
    }
    HostRuntime* fresh = new HostRuntime(pid);
    HostRuntime* expected = r;
    if (gRuntime.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        // In a child, the page came back empty (or was never set up): the token is this
        // state's from now on.
        if (gWipeReady.load(std::memory_order_acquire)) {
            gWipePage->store(fresh->mToken, std::memory_order_relaxed);
        }
        if (r != nullptr) {
            r->abandon();
            if (gAbandoned == nullptr) gAbandoned = new std::vector<HostRuntime*>();
            gAbandoned->push_back(r);
        }
        return fresh;
    }
    delete fresh;
    return expected;
}

bool HostRuntime::forkedByAtfork() const {
    return gForks.load(std::memory_order_relaxed) != mForkCount;
}

void HostRuntime::abandon() {
    // Runs in a forked child. Threads of the parent are gone; a lock they held stays held, in
    // which case the inherited descriptors are simply left open.
    if (!mLock.try_lock()) return;
    if (mEpoll >= 0) close(mEpoll);
    mEpoll = -1;
    if (mWakeFd >= 0) close(mWakeFd);
    mWakeFd.store(-1);
    if (mFrameTimer >= 0) close(mFrameTimer);
    mFrameTimer.store(-1);
    if (mReserveFd >= 0) close(mReserveFd);
    mReserveFd = -1;
    for (auto& l : mListeners) close(l.second.fd);
    mListeners.clear();
    for (auto& c : mConns) c.second->abandon();
    mLock.unlock();
}

// --- limits --------------------------------------------------------------------------------------

void HostRuntime::setLimits(const Limits& limits) {
    std::lock_guard<std::mutex> lock(mLock);
    mLimits = limits;
}

namespace {

size_t overShare(size_t held, size_t share) {
    return held > share ? held - share : 0;
}

}  // namespace

bool HostRuntime::charge(uid_t uid, size_t bytes) {
    if (bytes == 0) return true;
    std::lock_guard<std::mutex> lock(mBudgetLock);
    auto it = mHeldByUid.find(uid);
    const size_t held = it == mHeldByUid.end() ? 0 : it->second;
    if (bytes > SIZE_MAX - held) return false;
    // Only what goes beyond the uid's own share draws on the budget that all share.
    const size_t more =
        overShare(held + bytes, mLimits.uidShare) - overShare(held, mLimits.uidShare);
    if (more > mLimits.bufferBudget - std::min(mBudgetUsed, mLimits.bufferBudget)) return false;
    mHeldByUid[uid] = held + bytes;
    mBudgetUsed += more;
    mBuffered.fetch_add(bytes, std::memory_order_relaxed);
    return true;
}

void HostRuntime::uncharge(uid_t uid, size_t bytes) {
    if (bytes == 0) return;
    std::lock_guard<std::mutex> lock(mBudgetLock);
    auto it = mHeldByUid.find(uid);
    if (it == mHeldByUid.end()) return;
    const size_t held = it->second;
    const size_t taken = std::min(bytes, held);
    const size_t less =
        overShare(held, mLimits.uidShare) - overShare(held - taken, mLimits.uidShare);
    mBudgetUsed -= std::min(less, mBudgetUsed);
    if (held == taken) {
        mHeldByUid.erase(it);
    } else {
        it->second = held - taken;
    }
    mBuffered.fetch_sub(taken, std::memory_order_relaxed);
}

// --- proxies -----------------------------------------------------------------------------------

sp<IBinder> HostRuntime::proxyFor(const sp<HostConnection>& conn, uint32_t node) {
    std::lock_guard<std::mutex> lock(mLock);
    return proxyForLocked(conn, node);
}

sp<IBinder> HostRuntime::proxyForLocked(const sp<HostConnection>& conn, uint32_t node) {
    const auto key = std::make_pair(conn->key(), node);
    auto it = mProxyByNode.find(key);
    if (it != mProxyByNode.end()) {
        ProxyEntry& e = mProxies[it->second];
        sp<BpBinder> existing = e.proxy.promote();
        if (existing != nullptr) {
            e.received++;
            return existing;
        }
    }
    const int32_t handle = gNextHandle.fetch_add(1);
    sp<BpBinder> proxy = BpBinder::create(handle);
    mProxies[handle] = ProxyEntry{conn, node, proxy, 1};
    mProxyByNode[key] = handle;
    mProxyCount[conn->key()]++;
    return proxy;
}

bool HostRuntime::lookupHandle(int32_t handle, sp<HostConnection>* conn, uint32_t* node) {
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mProxies.find(handle);
    if (it == mProxies.end()) return false;
    *conn = it->second.conn;
    *node = it->second.node;
    return true;
}

void HostRuntime::dropProxy(int32_t handle, const BpBinder* proxy) {
    sp<HostConnection> conn;
    uint32_t node = 0;
    uint32_t received = 0;
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto it = mProxies.find(handle);
        if (it == mProxies.end() || it->second.proxy.unsafe_get() != proxy) return;
        conn = it->second.conn;
        node = it->second.node;
        received = it->second.received;
        auto byNode = mProxyByNode.find(std::make_pair(conn->key(), node));
        if (byNode != mProxyByNode.end() && byNode->second == handle) mProxyByNode.erase(byNode);
        mProxies.erase(it);
        if (--mProxyCount[conn->key()] == 0) mProxyCount.erase(conn->key());
    }
    if (!conn->isDead() && conn->sendFrame(releaseFrame(node, received), {},
                                           HostConnection::kRelease) == DEAD_OBJECT) {
        connectionDied(conn);  // it is gone from the tables too, and its socket closes
        return;
    }
    closeIfUnused(conn);
}

// --- death notifications -------------------------------------------------------------------------

status_t HostRuntime::requestDeath(int32_t handle, const BpBinder* proxy) {
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto it = mProxies.find(handle);
        if (it == mProxies.end() || it->second.proxy.unsafe_get() != proxy) return DEAD_OBJECT;
        ProxyEntry& e = it->second;
        e.wantsDeath = true;
        if (e.dead && !e.deathQueued) {
            e.deathQueued = true;
            mDeaths.push_back(handle);
            mHasDeaths.store(true, std::memory_order_release);
            queued = true;
        }
    }
    if (queued) wake();
    return NO_ERROR;
}

void HostRuntime::clearDeath(int32_t handle, const BpBinder* proxy) {
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mProxies.find(handle);
    if (it == mProxies.end() || it->second.proxy.unsafe_get() != proxy) return;
    it->second.wantsDeath = false;
    it->second.deathQueued = false;  // a handle left in the queue is skipped
}

void HostRuntime::connectionLost(HostConnection* conn) {
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(mLock);
        const uint64_t key = conn->key();
        for (auto it = mProxyByNode.lower_bound(std::make_pair(key, 0u));
             it != mProxyByNode.end() && it->first.first == key; ++it) {
            auto e = mProxies.find(it->second);
            if (e == mProxies.end()) continue;
            e->second.dead = true;
            if (e->second.wantsDeath && !e->second.deathQueued) {
                e->second.deathQueued = true;
                mDeaths.push_back(it->second);
                queued = true;
            }
        }
        if (queued) mHasDeaths.store(true, std::memory_order_release);
    }
    // Told by a pool thread, never by the one that found the death: it may hold locks that
    // the recipients take.
    if (queued) wake();
}

bool HostRuntime::takeDeath(sp<BpBinder>* proxy) {
    if (!mHasDeaths.load(std::memory_order_acquire)) return false;
    bool more;
    {
        std::lock_guard<std::mutex> lock(mLock);
        while (*proxy == nullptr && !mDeaths.empty()) {
            auto it = mProxies.find(mDeaths.front());
            mDeaths.pop_front();
            if (it == mProxies.end() || !it->second.deathQueued) continue;
            it->second.deathQueued = false;
            *proxy = it->second.proxy.promote();  // null when it is going away: no one to tell
        }
        more = !mDeaths.empty();
        mHasDeaths.store(more, std::memory_order_release);
    }
    if (more) wake();  // another thread takes the next
    return *proxy != nullptr;
}

// --- oneway calls --------------------------------------------------------------------------------

bool HostRuntime::asyncArrived(const sp<HostConnection>& conn, Received* call, bool mayRun) {
    bool idle;
    {
        std::lock_guard<std::mutex> lock(mAsyncLock);
        AsyncNode& node = mAsync[call->target.get()];
        if (node.target == nullptr) node.target = call->target;
        idle = !node.running && node.waiting.empty();
        if (idle && mayRun) {
            node.running = true;
            return true;
        }
        if (idle) {
            mAsyncIdle.push_back(call->target.get());
            mHasAsyncIdle.store(true, std::memory_order_release);
        }
        // Counted before anyone can take it, so the backlog never runs below zero.
        conn->addBacklog(backlogBytes(*call));
        node.waiting.push_back(AsyncCall{conn, std::move(*call)});
    }
    if (idle) wake();
    return false;
}

bool HostRuntime::asyncFinished(IBinder* target, AsyncCall* next) {
    sp<IBinder> last;  // let go outside the lock: it may be the object's last reference
    {
        std::lock_guard<std::mutex> lock(mAsyncLock);
        auto it = mAsync.find(target);
        if (it == mAsync.end()) return false;
        if (it->second.waiting.empty()) {
            last = std::move(it->second.target);
            mAsync.erase(it);
            return false;
        }
        *next = std::move(it->second.waiting.front());
        it->second.waiting.pop_front();
    }
    next->conn->removeBacklog(backlogBytes(next->call));
    return true;
}

bool HostRuntime::takeAsync(AsyncCall* call) {
    if (!mHasAsyncIdle.load(std::memory_order_acquire)) return false;
    bool more;
    {
        std::lock_guard<std::mutex> lock(mAsyncLock);
        if (mAsyncIdle.empty()) return false;
        AsyncNode& node = mAsync[mAsyncIdle.front()];
        mAsyncIdle.pop_front();
        node.running = true;
        *call = std::move(node.waiting.front());
        node.waiting.pop_front();
        more = !mAsyncIdle.empty();
        mHasAsyncIdle.store(more, std::memory_order_release);
    }
    call->conn->removeBacklog(backlogBytes(call->call));
    if (more) wake();
    return true;
}

// --- frames under way ----------------------------------------------------------------------------

void HostRuntime::frameStarted(const sp<HostConnection>& conn) {
    std::lock_guard<std::mutex> lock(mWorkLock);
    mUnfinished[conn->key()] = conn;
    if (!mFrameTimerArmed) armFrameTimerLocked(nowMs() + mLimits.frameDeadlineMs);
}

void HostRuntime::frameEnded(HostConnection* conn) {
    sp<HostConnection> held;  // the caller holds another reference
    std::lock_guard<std::mutex> lock(mWorkLock);
    auto it = mUnfinished.find(conn->key());
    if (it == mUnfinished.end()) return;
    held = std::move(it->second);
    mUnfinished.erase(it);
}

void HostRuntime::armFrameTimerLocked(int64_t atMs) {
    const int fd = mFrameTimer.load(std::memory_order_acquire);
    if (fd < 0) return;
    struct itimerspec when {};
    when.it_value.tv_sec = atMs / 1000;
    when.it_value.tv_nsec = (atMs % 1000) * 1000000;
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
    mFrameTimerArmed = timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr) == 0;
}

void HostRuntime::sweepUnfinished() {
    uint64_t ticks;
    if (read(mFrameTimer.load(std::memory_order_acquire), &ticks, sizeof(ticks)) < 0) {
        // Another thread read the expiry first; the sweep is harmless all the same.
    }
    std::vector<sp<HostConnection>> unfinished;
    {
        std::lock_guard<std::mutex> lock(mWorkLock);
        mFrameTimerArmed = false;
        for (const auto& u : mUnfinished) unfinished.push_back(u.second);
    }
    const int64_t now = nowMs();
    for (const auto& conn : unfinished) {
        const int64_t since = conn->unfinishedSince();
        // Its writer stopped in the middle of a frame: what it sent so far goes.
        if (since != 0 && now - since >= mLimits.frameDeadlineMs) connectionDied(conn);
    }
    unfinished.clear();
    std::lock_guard<std::mutex> lock(mWorkLock);
    int64_t next = INT64_MAX;
    for (const auto& u : mUnfinished) {
        const int64_t since = u.second->unfinishedSince();
        // One not being read (0), or just dropped, is looked at again a deadline later.
        int64_t due = (since != 0 ? since : now) + mLimits.frameDeadlineMs;
        if (due <= now) due = now + mLimits.frameDeadlineMs;
        next = std::min(next, due);
    }
    if (next != INT64_MAX) armFrameTimerLocked(next);
}

// --- connections -------------------------------------------------------------------------------

void HostRuntime::forgetConnectionLocked(const sp<HostConnection>& conn) {
    if (mConns.erase(conn->key()) != 0 && conn->incoming()) {
        auto n = mConnsPerUid.find(conn->peerUid());
        if (n != mConnsPerUid.end() && --n->second == 0) mConnsPerUid.erase(n);
    }
    for (auto it = mServiceCache.begin(); it != mServiceCache.end();) {
        it = it->second.connKey == conn->key() ? mServiceCache.erase(it) : std::next(it);
    }
}

void HostRuntime::connectionDied(const sp<HostConnection>& conn) {
    conn->markDead();
    {
        std::lock_guard<std::mutex> lock(mLock);
        forgetConnectionLocked(conn);
    }
    noteDrained(conn.get());
}

void HostRuntime::closeIfUnused(const sp<HostConnection>& conn) {
    if (conn->incoming() || conn->hasExports()) return;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mProxyCount.count(conn->key()) != 0) return;
        forgetConnectionLocked(conn);
    }
    conn->markDead();
}

void HostRuntime::post(const sp<HostConnection>& conn) {
    {
        std::lock_guard<std::mutex> lock(mWorkLock);
        if (!mRunnableKeys.insert(conn->key()).second) return;
        mRunnable.push_back(conn);
    }
    wake();
}

void HostRuntime::wake() {
    const int fd = mWakeFd.load(std::memory_order_acquire);
    const uint64_t one = 1;
    if (fd >= 0 && write(fd, &one, sizeof(one)) < 0) {
        // Only a counter at its maximum refuses a write, and then a wake-up is pending anyway.
    }
}

sp<HostConnection> HostRuntime::takeRunnable() {
    sp<HostConnection> conn;
    bool more;
    {
        std::lock_guard<std::mutex> lock(mWorkLock);
        if (mRunnable.empty()) return nullptr;
        conn = mRunnable.front();
        mRunnable.pop_front();
        mRunnableKeys.erase(conn->key());
        more = !mRunnable.empty();
    }
    // One wake-up may stand for several hand-offs: pass it on.
    if (more) wake();
    return conn;
}

void HostRuntime::noteQueued(const sp<HostConnection>& conn) {
    {
        std::lock_guard<std::mutex> lock(mWorkLock);
        mQueued[conn->key()] = conn;
        mHasQueued.store(true, std::memory_order_release);
    }
    // A pool thread asleep without a timeout takes the new deadline on its next round.
    wake();
}

void HostRuntime::noteDrained(HostConnection* conn) {
    sp<HostConnection> held;  // let go outside the lock
    std::lock_guard<std::mutex> lock(mWorkLock);
    auto it = mQueued.find(conn->key());
    if (it == mQueued.end()) return;
    held = std::move(it->second);
    mQueued.erase(it);
    if (mQueued.empty()) mHasQueued.store(false, std::memory_order_release);
}

std::vector<sp<HostConnection>> HostRuntime::queuedConnections() {
    std::vector<sp<HostConnection>> queued;
    std::lock_guard<std::mutex> lock(mWorkLock);
    for (const auto& q : mQueued) queued.push_back(q.second);
    return queued;
}

int HostRuntime::pollTimeoutMs() {
    int timeout = mAcceptStarved.load(std::memory_order_relaxed) ? kAcceptRetryMs : -1;
    if (!mHasQueued.load(std::memory_order_acquire)) return timeout;
    const std::vector<sp<HostConnection>> queued = queuedConnections();
    const int64_t now = nowMs();
    for (const auto& conn : queued) {
        const int64_t since = conn->stuckSince();
        if (since == 0) continue;
        const int64_t left = std::max<int64_t>(since + mLimits.stuckWriteMs - now, 0) + 1;
        if (timeout < 0 || left < timeout)
            timeout = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    }
    return timeout;
}

void HostRuntime::sweepStuck() {
    const std::vector<sp<HostConnection>> queued = queuedConnections();
    const int64_t now = nowMs();
    for (const auto& conn : queued) {
        const int64_t since = conn->stuckSince();
        if (conn->isDead() || since == 0) {
            noteDrained(conn.get());
        } else if (now - since >= mLimits.stuckWriteMs) {
            // The peer took nothing for the whole bound: it is gone or does not read.
            connectionDied(conn);
        }
    }
}

// --- services ----------------------------------------------------------------------------------

status_t HostRuntime::addService(const std::string& name, const sp<IBinder>& binder) {
    if (binder == nullptr) return UNEXPECTED_NULL;
    if (!validName(name)) return BAD_VALUE;
    makeDirs(mDir);
    const std::string path = mDir + "/" + name;
    static std::atomic<unsigned> sSeq{0};
    const std::string tmp =
        mDir + "/.new-" + std::to_string(getpid()) + "-" + std::to_string(sSeq.fetch_add(1));
    struct sockaddr_un addr;
    if (!makeAddress(path, &addr) || !makeAddress(tmp, &addr)) return BAD_VALUE;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -errno;
    // Accepted sockets inherit it, and a client's first bytes, sent before the accept, carry
    // their writer too.
    passCredentials(fd);
    unlink(tmp.c_str());
    // Bound under a private name and renamed over the old socket: a new registration replaces
    // the old one at once, and a socket left by a killed daemon never stands in the way.
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        chmod(tmp.c_str(), 0666) != 0 || listen(fd, 128) != 0 ||
        rename(tmp.c_str(), path.c_str()) != 0) {
        const status_t err = -errno;
        close(fd);
        unlink(tmp.c_str());
        return err;
    }
    std::lock_guard<std::mutex> lock(mLock);
    auto old = mListenerByName.find(name);
    if (old != mListenerByName.end()) {
        auto l = mListeners.find(old->second);
        if (l != mListeners.end()) {
            if (mEpoll >= 0) epoll_ctl(mEpoll, EPOLL_CTL_DEL, l->second.fd, nullptr);
            close(l->second.fd);
            mListeners.erase(l);
        }
    }
    const uint64_t key = mNextKey++ | kListenerBit;
    mListeners[key] = Listener{fd, name, binder};
    mListenerByName[name] = key;
    if (mEpoll >= 0) addListenerToPollLocked(key, fd);
    return NO_ERROR;
}

sp<IBinder> HostRuntime::checkService(const std::string& name) {
    if (!validName(name)) return nullptr;
    const std::string path = mDir + "/" + name;
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto local = mListenerByName.find(name);
        if (local != mListenerByName.end()) return mListeners[local->second].binder;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return nullptr;
    sp<HostConnection> reuse;
    {
        std::lock_guard<std::mutex> lock(mLock);
        auto cached = mServiceCache.find(name);
        if (cached != mServiceCache.end() && cached->second.dev == st.st_dev &&
            cached->second.ino == st.st_ino) {
            auto conn = mConns.find(cached->second.connKey);
            if (conn != mConns.end()) reuse = conn->second;
        }
    }
    if (reuse != nullptr) {
        // A server that died while nobody was reading is found out here.
        if (reuse->peerGone()) {
            connectionDied(reuse);
        } else {
            std::lock_guard<std::mutex> lock(mLock);
            // Still listed means no one closed it meanwhile.
            if (mConns.count(reuse->key()) != 0) return proxyForLocked(reuse, 0);
        }
    }
    const int fd = connectTo(path);
    if (fd < 0) return nullptr;
    // What the server makes this process hold is charged to the server's uid.
    struct ucred cred {};
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) cred.uid = 0;
    sp<HostConnection> conn;
    {
        std::lock_guard<std::mutex> lock(mLock);
        conn = new HostConnection(this, fd, mNextKey++, false, nullptr, cred.uid);
        mConns[conn->key()] = conn;
        mServiceCache[name] = CachedService{conn->key(), st.st_dev, st.st_ino};
        if (mPoolStarted) addToPollLocked(conn);
    }
    return proxyFor(conn, 0);
}

std::vector<std::string> HostRuntime::listServices() {
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(mLock);
        for (const auto& l : mListenerByName) names.push_back(l.first);
    }
    DIR* d = opendir(mDir.c_str());
    if (d != nullptr) {
        while (struct dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (!validName(name)) continue;
            struct stat st;
            const std::string path = mDir + "/" + name;
            if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
            if (std::find(names.begin(), names.end(), name) != names.end()) continue;
            const int fd = connectTo(path);  // stale sockets are not services
            if (fd < 0) continue;
            close(fd);
            names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

sp<IServiceManager> HostRuntime::serviceManager(IServiceManager* (*make)()) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mServiceManager == nullptr) mServiceManager = make();
    return mServiceManager;
}

void HostRuntime::setServiceManager(const sp<IServiceManager>& sm) {
    std::lock_guard<std::mutex> lock(mLock);
    mServiceManager = sm;
}

// --- thread pool -------------------------------------------------------------------------------

sp<ProcessState> HostRuntime::processState(ProcessState* (*make)()) {
    std::lock_guard<std::mutex> lock(mLock);
    if (mProcess == nullptr) mProcess = make();
    return mProcess;
}

int HostRuntime::ensurePollLocked() {
    if (mEpoll < 0) {
        mEpoll = epoll_create1(EPOLL_CLOEXEC);
        const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        struct epoll_event ev {};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.u64 = kWakeKey;
        epoll_ctl(mEpoll, EPOLL_CTL_ADD, wakeFd, &ev);
        mWakeFd.store(wakeFd, std::memory_order_release);
        // Armed only while a frame is under way: an idle process never wakes for it.
        const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        ev.data.u64 = kFrameTimerKey;
        epoll_ctl(mEpoll, EPOLL_CTL_ADD, timer, &ev);
        mFrameTimer.store(timer, std::memory_order_release);
        for (const auto& l : mListeners) addListenerToPollLocked(l.first, l.second.fd);
    }
    return mEpoll;
}

void HostRuntime::addListenerToPollLocked(uint64_t key, int fd) {
    struct epoll_event ev {};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = key;
    epoll_ctl(mEpoll, EPOLL_CTL_ADD, fd, &ev);
}

void HostRuntime::addToPollLocked(const sp<HostConnection>& conn) {
    conn->setPoll(ensurePollLocked());
}

void HostRuntime::startThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mPoolStarted) return;
        mPoolStarted.store(true, std::memory_order_release);
        ensurePollLocked();
        for (const auto& c : mConns) addToPollLocked(c.second);
        mSpawned++;
    }
    sp<ProcessState> ps = ProcessState::self();
    ps->spawnPooledThread(true);
}

status_t HostRuntime::setMaxThreads(size_t maxThreads) {
    std::lock_guard<std::mutex> lock(mLock);
    mMaxThreads = maxThreads;
    return NO_ERROR;
}

void HostRuntime::threadJoined() {
    std::lock_guard<std::mutex> lock(mLock);
    if (!mPoolStarted) {
        mPoolStarted.store(true, std::memory_order_release);
        ensurePollLocked();
        for (const auto& c : mConns) addToPollLocked(c.second);
    }
}

bool HostRuntime::waitWork(Work* work) {
    int ep;
    {
        std::lock_guard<std::mutex> lock(mLock);
        ep = ensurePollLocked();
    }
    for (;;) {
        if (takeDeath(&work->obituary) || takeAsync(&work->async)) return true;
        const int timeout = pollTimeoutMs();
        mIdle.fetch_add(1);
        struct epoll_event ev {};
        const int n = epoll_wait(ep, &ev, 1, timeout);
        mIdle.fetch_sub(1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (mHasQueued.load(std::memory_order_acquire)) sweepStuck();
        if (mAcceptStarved.load(std::memory_order_relaxed)) {
            std::vector<uint64_t> keys;
            {
                std::lock_guard<std::mutex> lock(mLock);
                for (const auto& l : mListeners) keys.push_back(l.first);
            }
            for (uint64_t key : keys) acceptOn(key);
        }
        if (n == 0) continue;
        const uint64_t key = ev.data.u64;
        if (key == kWakeKey) {
            sp<HostConnection> conn = takeRunnable();
            if (conn != nullptr && conn->beginRead(false)) {
                work->conn = std::move(conn);
                return true;
            }
            continue;
        }
        if (key == kFrameTimerKey) {
            sweepUnfinished();
            continue;
        }
        if ((key & kListenerBit) != 0) {
            acceptOn(key);
            continue;
        }
        sp<HostConnection> conn;
        {
            std::lock_guard<std::mutex> lock(mLock);
            auto it = mConns.find(key);
            if (it != mConns.end()) conn = it->second;
        }
        if (conn == nullptr) continue;
        if ((ev.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0 && !conn->flushQueued()) {
            connectionDied(conn);
            continue;
        }
        if ((ev.events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) != 0 &&
            conn->beginRead(true)) {
            work->conn = std::move(conn);
            return true;
        }
    }
}

void HostRuntime::acceptOn(uint64_t key) {
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mListeners.find(key);
    if (it == mListeners.end()) return;
    const int listenFd = it->second.fd;
    if (mReserveFd < 0) mReserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    mAcceptStarved.store(false, std::memory_order_relaxed);
    for (;;) {
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR || err == ECONNABORTED) continue;
            if (err == EMFILE || err == ENFILE) {
                // Out of descriptors: the waiting client is refused at once, with the spare
                // kept for this, rather than left to hang.
                if (refuseOne(listenFd)) continue;
            }
            if (err != EAGAIN && err != EWOULDBLOCK) {
                mAcceptStarved.store(true, std::memory_order_relaxed);
            }
            break;
        }
        struct ucred cred;
        socklen_t len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            close(fd);
            continue;
        }
        // Root and this process's own uid are the system itself: they can end or trace the
        // process anyway, so a cap on them would only refuse legitimate system callers.
        const bool counted = cred.uid != 0 && cred.uid != mOwnUid;
        if (counted && mConnsPerUid[cred.uid] >= mLimits.maxConnectionsPerUid) {
            close(fd);  // the client sees the connection end at once
            continue;
        }
        if (counted) mConnsPerUid[cred.uid]++;
        passCredentials(fd);
        sp<HostConnection> conn =
            new HostConnection(this, fd, mNextKey++, true, it->second.binder, cred.uid);
        mConns[conn->key()] = conn;
        addToPollLocked(conn);
    }
}

bool HostRuntime::refuseOne(int listenFd) {
    if (mReserveFd < 0) return false;
    close(mReserveFd);
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) close(fd);
    mReserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd >= 0;
}

void HostRuntime::beforeExecute() {
    if (mIdle.load() > 0) return;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mSpawned >= mMaxThreads) return;
        mSpawned++;
    }
    ProcessState::self()->spawnPooledThread(false);
}

}  // namespace hostbinder
}  // namespace android
