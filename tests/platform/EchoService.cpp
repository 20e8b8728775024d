#include "EchoService.h"

#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/MemoryBase.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utils/String8.h>

#include "common/TestEnv.h"

namespace android {
namespace platform_test {

std::atomic<int> Tracked::sAlive{0};

Tracked::Tracked() {
    sAlive++;
}

Tracked::~Tracked() {
    sAlive--;
}

int Tracked::alive() {
    return sAlive.load();
}

class EchoService::Watcher : public IBinder::DeathRecipient {
public:
    explicit Watcher(EchoService* service) : mService(service) {}
    void binderDied(const wp<IBinder>& who) override {
        sp<IBinder> dead = who.promote();
        // Unlinking from here must neither deadlock nor succeed.
        const status_t unlinked = dead != nullptr ? dead->unlinkToDeath(this) : NO_ERROR;
        std::lock_guard<std::mutex> lock(mService->mLock);
        mService->mDeaths++;
        if (unlinked == DEAD_OBJECT) mService->mDeadUnlinks++;
        auto& held = mService->mWatched;
        for (auto it = held.begin(); it != held.end(); ++it) {
            if (*it == dead) {
                held.erase(it);  // with `dead`, the last reference goes here
                break;
            }
        }
    }

private:
    EchoService* const mService;
};

EchoService::EchoService() {
    mHeap = new MemoryHeapBase(28, 0, "echo heap");
    mMemory = new MemoryBase(mHeap, 0, 28);
    mWatcher = new Watcher(this);
}

const String16& EchoService::getInterfaceDescriptor() const {
    static const String16* const d = new String16(kEchoDescriptor);
    return *d;
}

status_t EchoService::dump(int fd, const Vector<String16>& args) {
    String8 text("dump");
    for (size_t i = 0; i < args.size(); ++i) text.appendFormat(" %s", String8(args[i]).string());
    text.append("\n");
    return write(fd, text.string(), text.size()) == static_cast<ssize_t>(text.size()) ? NO_ERROR
                                                                                      : -errno;
}

status_t EchoService::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    if (code >= FIRST_CALL_TRANSACTION && code <= BUFFERED && !data.checkInterface(this)) {
        return PERMISSION_DENIED;
    }
    switch (code) {
        case ECHO: {
            reply->writeInt32(data.readInt32());
            reply->writeBool(data.readBool());
            reply->writeFloat(data.readFloat());
            reply->writeString8(data.readString8());
            reply->writeString16(data.readString16());
            std::string s;
            data.readUtf8FromUtf16(&s);
            reply->writeUtf8AsUtf16(s);
            return NO_ERROR;
        }
        case MAKE_OBJECT:
            return reply->writeStrongBinder(new Tracked());
        case ALIVE_OBJECTS:
            return reply->writeInt32(Tracked::alive());
        case FD_EXCHANGE: {
            const int fd = data.readFileDescriptor();
            if (fd < 0) return BAD_VALUE;
            const char msg[] = "from server";
            if (write(fd, msg, sizeof(msg)) != sizeof(msg)) return -errno;
            int p[2];
            if (pipe(p) != 0) return -errno;
            const char back[] = "server pipe";
            write(p[1], back, sizeof(back));
            close(p[1]);
            status_t err = reply->writeDupFileDescriptor(p[0]);
            close(p[0]);
            return err;
        }
        case GET_MEMORY:
            return reply->writeStrongBinder(IInterface::asBinder(mMemory));
        case PEEK: {
            const int32_t off = data.readInt32();
            if (off < 0 || off >= 28) return BAD_VALUE;
            return reply->writeInt32(static_cast<uint8_t*>(mHeap->getBase())[off]);
        }
        case POKE: {
            const int32_t off = data.readInt32();
            const int32_t value = data.readInt32();
            if (off < 0 || off >= 28) return BAD_VALUE;
            static_cast<uint8_t*>(mHeap->getBase())[off] = static_cast<uint8_t>(value);
            return NO_ERROR;
        }
        case CALLER:
            reply->writeInt32(IPCThreadState::self()->getCallingPid());
            reply->writeInt32(static_cast<int32_t>(IPCThreadState::self()->getCallingUid()));
            return NO_ERROR;
        case DELAYED_ECHO: {
            const int32_t v = data.readInt32();
            const int running = ++mRunning;
            int seen = mMaxRunning.load();
            while (running > seen && !mMaxRunning.compare_exchange_weak(seen, running)) {
            }
            usleep(2000);
            mRunning--;
            return reply->writeInt32(v);
        }
        case RETURN_BINDER:
            return reply->writeStrongBinder(data.readStrongBinder());
        case CALL_BACK: {
            sp<IBinder> b = data.readStrongBinder();
            const int32_t v = data.readInt32();
            if (b == nullptr) return BAD_VALUE;
            Parcel in, out;
            in.writeInt32(v);
            status_t err = b->transact(FIRST_CALL_TRANSACTION, in, &out);
            if (err != NO_ERROR) return err;
            return reply->writeInt32(out.readInt32());
        }
        case HOLD_BINDER: {
            std::lock_guard<std::mutex> lock(mLock);
            mHeld.push_back(data.readStrongBinder());
            return NO_ERROR;
        }
        case DROP_BINDERS: {
            std::lock_guard<std::mutex> lock(mLock);
            mHeld.clear();
            return NO_ERROR;
        }
        case MAX_OVERLAP:
            return reply->writeInt32(mMaxRunning.load());
        case REPLY_BYTES: {
            const int32_t n = data.readInt32();
            if (n < 0 || n > 512 * 1024) return BAD_VALUE;
            const std::vector<uint8_t> bytes(static_cast<size_t>(n), 0x5a);
            return reply->write(bytes.data(), bytes.size());
        }
        case WATCH_DEATH: {
            sp<IBinder> b = data.readStrongBinder();
            if (b == nullptr) return BAD_VALUE;
            const status_t linked = b->linkToDeath(mWatcher);
            std::lock_guard<std::mutex> lock(mLock);
            if (linked == NO_ERROR) mWatched.push_back(b);
            return reply->writeInt32(linked);
        }
        case DEATHS: {
            std::lock_guard<std::mutex> lock(mLock);
            reply->writeInt32(mDeaths);
            reply->writeInt32(mDeadUnlinks);
            return reply->writeInt32(static_cast<int32_t>(mWatched.size()));
        }
        case NOTIFY_HELD: {
            const int32_t bytes = data.readInt32();
            if (bytes < 0 || bytes > 64 * 1024) return BAD_VALUE;
            std::vector<sp<IBinder>> held;
            {
                std::lock_guard<std::mutex> lock(mLock);
                held = mHeld;
            }
            const std::vector<uint8_t> pad(static_cast<size_t>(bytes), 0x6e);
            for (const sp<IBinder>& b : held) {
                const int32_t n = data.readInt32();
                int32_t ok = 0, failed = 0;
                for (int32_t i = 0; i < n && b != nullptr; ++i) {
                    Parcel call;
                    call.writeInt32(i);
                    call.write(pad.data(), pad.size());
                    const status_t err = b->transact(kNotifyCode, call, nullptr, FLAG_ONEWAY);
                    ok += err == NO_ERROR;
                    failed += err == FAILED_TRANSACTION;
                }
                reply->writeInt32(ok);
                reply->writeInt32(failed);
            }
            return NO_ERROR;
        }
        case LOG_ONEWAY: {
            const int running = ++mOnewayRunning;
            const int32_t sender = data.readInt32();
            const int32_t seq = data.readInt32();
            usleep(100);  // long enough for a second call to overlap, were it let
            {
                std::lock_guard<std::mutex> lock(mLock);
                mOnewayOverlap = std::max(mOnewayOverlap, running);
                auto last = mLastSeq.find(sender);
                if (last != mLastSeq.end() && seq <= last->second) mOutOfOrder++;
                mLastSeq[sender] = seq;
                mLogged++;
            }
            mOnewayRunning--;
            return NO_ERROR;
        }
        case ONEWAY_LOG: {
            std::lock_guard<std::mutex> lock(mLock);
            reply->writeInt32(mLogged);
            reply->writeInt32(mOutOfOrder);
            return reply->writeInt32(mOnewayOverlap);
        }
        case BUFFERED:
            return reply->writeInt32(
                static_cast<int32_t>(hostbinder::HostRuntime::get()->buffered()));
        default:
            return BBinder::onTransact(code, data, reply, flags);
    }
}

tonvale_test::ChildGuard startEchoServer(const char* name, const ServerOptions& options) {
    const pid_t parent = getpid();
    const pid_t pid = tonvale_test::forkProcess();
    if (pid != 0) return tonvale_test::ChildGuard(pid);
    tonvale_test::dieWithParent(parent);
    if (options.spareFds > 0) {
        size_t open = 0;
        for (int fd = 0; fd < 4096; ++fd) open += fcntl(fd, F_GETFD) >= 0;
        const struct rlimit lim = {open + options.spareFds, open + options.spareFds};
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(4);
    }
    if (options.limits != nullptr) hostbinder::HostRuntime::get()->setLimits(*options.limits);
    sp<IServiceManager> sm = defaultServiceManager();
    if (sm->addService(String16(name), new EchoService()) != NO_ERROR) _exit(3);
    ProcessState::self()->startThreadPool();
    IPCThreadState::self()->joinThreadPool(true);
    _exit(0);
}

tonvale_test::ChildGuard inPoolChild(const std::function<void()>& body) {
    const pid_t parent = getpid();
    tonvale_test::ChildGuard child(tonvale_test::forkProcess());
    if (child.pid() == 0) {
        tonvale_test::dieWithParent(parent);
        ProcessState::self()->startThreadPool();
        body();
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    return child;
}

}  // namespace platform_test
}  // namespace android
