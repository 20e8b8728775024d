// A service for the transport tests, run in a forked server process.
#pragma once

#include <binder/Binder.h>
#include <binder/IMemory.h>
#include <binder/MemoryHeapBase.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "common/Child.h"
#include "platform/HostRuntime.h"

namespace android {
namespace platform_test {

enum : uint32_t {
    ECHO = IBinder::FIRST_CALL_TRANSACTION,  // every value type back
    MAKE_OBJECT,                             // a new Tracked object
    ALIVE_OBJECTS,                           // how many Tracked objects exist
    FD_EXCHANGE,                             // writes into the fd sent, returns its own
    GET_MEMORY,                              // the service's IMemory
    PEEK,                                    // int32 offset -> byte of the heap
    POKE,                                    // int32 offset, int32 byte
    CALLER,                                  // calling pid, uid
    DELAYED_ECHO,                            // int32 -> same int32, after a short sleep
    RETURN_BINDER,                           // binder -> the same binder
    CALL_BACK,                               // binder, int32 -> what the binder answers
    HOLD_BINDER,                             // keeps the binder sent
    DROP_BINDERS,                            // forgets the binders held
    MAX_OVERLAP,                             // most DELAYED_ECHO calls seen running at once
    REPLY_BYTES,                             // int32 n -> n bytes (at most 512 KiB)
    WATCH_DEATH,                             // binder -> linkToDeath's status; held till it dies
    DEATHS,                                  // -> deaths told, of them unlinked DEAD_OBJECT, held
    NOTIFY_HELD,                             // int32 bytes, calls per held binder -> ok, failed
    LOG_ONEWAY,                              // oneway: int32 sender, int32 seq
    ONEWAY_LOG,                              // -> calls logged, out of order, most run at once
    BUFFERED,                                // -> bytes the transport holds beyond allowances
};

/** The code NOTIFY_HELD calls held binders with (oneway): int32 seq, then padding. */
constexpr uint32_t kNotifyCode = IBinder::FIRST_CALL_TRANSACTION;

constexpr const char* kEchoName = "platform.echo";
constexpr const char* kEchoDescriptor = "tonvale.test.IEcho";

/** A server-side object whose lifetime the tests watch. */
class Tracked : public BBinder {
public:
    Tracked();
    ~Tracked() override;
    static int alive();

private:
    static std::atomic<int> sAlive;
};

class EchoService : public BBinder {
public:
    EchoService();
    const String16& getInterfaceDescriptor() const override;
    status_t dump(int fd, const Vector<String16>& args) override;

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override;

private:
    sp<MemoryHeapBase> mHeap;
    sp<IMemory> mMemory;
    std::mutex mLock;
    std::vector<sp<IBinder>> mHeld;
    std::atomic<int> mRunning{0};
    std::atomic<int> mMaxRunning{0};

    // Watched binders: told of a death, the recipient unlinks and lets the proxy go there.
    class Watcher;
    sp<Watcher> mWatcher;
    std::vector<sp<IBinder>> mWatched;
    int mDeaths = 0;
    int mDeadUnlinks = 0;

    std::map<int32_t, int32_t> mLastSeq;  // per sender of LOG_ONEWAY
    int mLogged = 0;
    int mOutOfOrder = 0;
    std::atomic<int> mOnewayRunning{0};
    int mOnewayOverlap = 0;
};

/** How a test server is set up beyond the defaults. */
struct ServerOptions {
    const hostbinder::Limits* limits = nullptr;  // the transport's limits; defaults when null
    int spareFds = 0;  // when > 0: descriptors the server may open beyond those it starts with
};

/** Forks a process that registers an EchoService under `name` and serves it until stopped. */
tonvale_test::ChildGuard startEchoServer(const char* name = kEchoName,
                                         const ServerOptions& options = {});

/**
 * Runs body in a child process with a thread pool; the test process itself stays single
 * threaded, as TSan cannot follow a threaded process that forks. The body must not fork. The
 * child's failures print there and fail its exit status.
 */
tonvale_test::ChildGuard inPoolChild(const std::function<void()>& body);

}  // namespace platform_test
}  // namespace android
