/*
 * Process-wide state of the host binder: the rendezvous directory, the service sockets this
 * process listens on, its connections, the proxy handle table and the thread pool's poll set.
 *
 * The state belongs to the process that created it. A forked child (fork() or a raw clone,
 * which runs no atfork handlers) notices the changed pid on its next use, closes the inherited
 * descriptors without shutdown(), so the parent's peers see nothing, and starts afresh,
 * reading $HOSTBINDER_DIR again.
 */
#pragma once

#include <binder/IBinder.h>
#include <sys/types.h>
#include <utils/RefBase.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/HostConnection.h"

namespace android {

class BpBinder;
class IServiceManager;
class ProcessState;

namespace hostbinder {

class HostRuntime {
public:
    /** The state of the calling process, created (again after a fork) on first use. */
    static HostRuntime* get();

    const std::string& dir() const { return mDir; }

    // --- proxies ---------------------------------------------------------------------------
    /** Proxy for a node of the peer, counting one more reference received for it. */
    sp<IBinder> proxyFor(const sp<HostConnection>& conn, uint32_t node);
    /** Connection and node of a proxy handle; false when unknown (e.g. from before a fork). */
    bool lookupHandle(int32_t handle, sp<HostConnection>* conn, uint32_t* node);
    /** Called by a dying proxy: tells the owner how many references it drops. */
    void dropProxy(int32_t handle, const BpBinder* proxy);

    // --- connections -----------------------------------------------------------------------
    sp<HostConnection> connectionByKey(uint64_t key);
    void connectionDied(const sp<HostConnection>& conn);
    /** Closes an outgoing connection that no proxy and no exported object uses any more. */
    void closeIfUnused(const sp<HostConnection>& conn);

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
    bool poolStarted();
    status_t setMaxThreads(size_t maxThreads);
    /** Waits for the next poll event; returns its key. */
    uint64_t waitEvent();
    /** A listener key: accepts pending clients. False when the key is no listener. */
    bool acceptOn(uint64_t key);
    /** Before a pool thread runs a transaction: adds a thread when none would be left idle. */
    void beforeExecute();
    void afterExecute();
    void threadJoined();

private:
    explicit HostRuntime(pid_t pid);
    void abandon();
    int ensurePollLocked();
    void addToPollLocked(const sp<HostConnection>& conn);
    sp<IBinder> proxyForLocked(const sp<HostConnection>& conn, uint32_t node);

    const pid_t mPid;
    const std::string mDir;

    std::mutex mLock;
    int mEpoll = -1;
    uint64_t mNextKey = 1;
    std::map<uint64_t, sp<HostConnection>> mConns;

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
    };
    std::map<int32_t, ProxyEntry> mProxies;
    std::map<std::pair<uint64_t, uint32_t>, int32_t> mProxyByNode;
    std::map<uint64_t, size_t> mProxyCount;  // per connection

    struct CachedService {
        uint64_t connKey;
        dev_t dev;
        ino_t ino;
    };
    std::map<std::string, CachedService> mServiceCache;

    sp<IServiceManager> mServiceManager;
    sp<ProcessState> mProcess;

    bool mPoolStarted = false;
    size_t mMaxThreads = 15;
    size_t mSpawned = 0;
    std::atomic<int> mIdle{0};
};

}  // namespace hostbinder
}  // namespace android
