#include "platform/HostRuntime.h"

#include <binder/BpBinder.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "platform/HostWire.h"

namespace android {
namespace hostbinder {

namespace {

constexpr const char* kDefaultDir = "/run/hostbinder";

std::atomic<HostRuntime*> gRuntime{nullptr};

// Handles stay unique across forks, so a proxy inherited from the parent never names one of
// the child's own.
std::atomic<int32_t> gNextHandle{1};

// States of parent processes, kept reachable after a fork: objects still point into them.
std::vector<HostRuntime*>* gAbandoned = nullptr;

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

}  // namespace

HostRuntime::HostRuntime(pid_t pid) : mPid(pid), mDir(readDir()) {}

HostRuntime* HostRuntime::get() {
    HostRuntime* r = gRuntime.load(std::memory_order_acquire);
    const pid_t pid = getpid();
    if (r != nullptr && r->mPid == pid) return r;
    HostRuntime* fresh = new HostRuntime(pid);
    HostRuntime* expected = r;
    if (gRuntime.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
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

void HostRuntime::abandon() {
    // Runs in a forked child. Threads of the parent are gone; a lock they held stays held, in
    // which case the inherited descriptors are simply left open.
    if (!mLock.try_lock()) return;
    if (mEpoll >= 0) close(mEpoll);
    mEpoll = -1;
    for (auto& l : mListeners) close(l.second.fd);
    mListeners.clear();
    for (auto& c : mConns) c.second->abandon();
    mLock.unlock();
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
    if (!conn->isDead()) conn->sendFrame(releaseFrame(node, received), {});
    closeIfUnused(conn);
}

// --- connections -------------------------------------------------------------------------------

sp<HostConnection> HostRuntime::connectionByKey(uint64_t key) {
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mConns.find(key);
    return it == mConns.end() ? nullptr : it->second;
}

void HostRuntime::connectionDied(const sp<HostConnection>& conn) {
    conn->markDead();
    std::lock_guard<std::mutex> lock(mLock);
    mConns.erase(conn->key());
    for (auto it = mServiceCache.begin(); it != mServiceCache.end();) {
        it = it->second.connKey == conn->key() ? mServiceCache.erase(it) : std::next(it);
    }
}

void HostRuntime::closeIfUnused(const sp<HostConnection>& conn) {
    if (conn->incoming() || conn->hasExports()) return;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mProxyCount.count(conn->key()) != 0) return;
        mConns.erase(conn->key());
        for (auto it = mServiceCache.begin(); it != mServiceCache.end();) {
            it = it->second.connKey == conn->key() ? mServiceCache.erase(it) : std::next(it);
        }
    }
    conn->markDead();
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
    const uint64_t key = mNextKey++;
    mListeners[key] = Listener{fd, name, binder};
    mListenerByName[name] = key;
    if (mEpoll >= 0) {
        struct epoll_event ev {};
        ev.events = EPOLLIN | EPOLLONESHOT;
        ev.data.u64 = key;
        epoll_ctl(mEpoll, EPOLL_CTL_ADD, fd, &ev);
    }
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
    sp<HostConnection> conn;
    {
        std::lock_guard<std::mutex> lock(mLock);
        conn = new HostConnection(fd, mNextKey++, false, nullptr);
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
        for (const auto& l : mListeners) {
            struct epoll_event ev {};
            ev.events = EPOLLIN | EPOLLONESHOT;
            ev.data.u64 = l.first;
            epoll_ctl(mEpoll, EPOLL_CTL_ADD, l.second.fd, &ev);
        }
    }
    return mEpoll;
}

void HostRuntime::addToPollLocked(const sp<HostConnection>& conn) {
    const int ep = ensurePollLocked();
    struct epoll_event ev {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = conn->key();
    conn->setPoll(ep);
    epoll_ctl(ep, EPOLL_CTL_ADD, conn->fd(), &ev);
}

void HostRuntime::startThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mPoolStarted) return;
        mPoolStarted = true;
        ensurePollLocked();
        for (const auto& c : mConns) {
            if (c.second->pollFd() < 0) addToPollLocked(c.second);
        }
        mSpawned++;
    }
    sp<ProcessState> ps = ProcessState::self();
    ps->spawnPooledThread(true);
}

bool HostRuntime::poolStarted() {
    std::lock_guard<std::mutex> lock(mLock);
    return mPoolStarted;
}

status_t HostRuntime::setMaxThreads(size_t maxThreads) {
    std::lock_guard<std::mutex> lock(mLock);
    mMaxThreads = maxThreads;
    return NO_ERROR;
}

void HostRuntime::threadJoined() {
    std::lock_guard<std::mutex> lock(mLock);
    if (!mPoolStarted) {
        mPoolStarted = true;
        ensurePollLocked();
        for (const auto& c : mConns) {
            if (c.second->pollFd() < 0) addToPollLocked(c.second);
        }
    }
}

uint64_t HostRuntime::waitEvent() {
    int ep;
    {
        std::lock_guard<std::mutex> lock(mLock);
        ep = ensurePollLocked();
    }
    mIdle.fetch_add(1);
    struct epoll_event ev {};
    int n;
    do {
        n = epoll_wait(ep, &ev, 1, -1);
    } while (n < 0 && errno == EINTR);
    mIdle.fetch_sub(1);
    return n == 1 ? ev.data.u64 : 0;
}

bool HostRuntime::acceptOn(uint64_t key) {
    std::lock_guard<std::mutex> lock(mLock);
    auto it = mListeners.find(key);
    if (it == mListeners.end()) return false;
    const Listener& l = it->second;
    for (;;) {
        const int fd = accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors: pause, or the pending client would wake us at once again.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                usleep(10 * 1000);
            }
            break;
        }
        sp<HostConnection> conn = new HostConnection(fd, mNextKey++, true, l.binder);
        mConns[conn->key()] = conn;
        addToPollLocked(conn);
    }
    struct epoll_event ev {};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = key;
    epoll_ctl(mEpoll, EPOLL_CTL_MOD, l.fd, &ev);
    return true;
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

void HostRuntime::afterExecute() {}

}  // namespace hostbinder
}  // namespace android
