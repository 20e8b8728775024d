// Oneway calls: one object runs them one at a time, in the order they were sent, whoever sent
// them; and a sender with a pool is never held by a peer that does not read.
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "EchoService.h"
#include "RawClient.h"
#include "common/Pipe.h"
#include "common/TestEnv.h"
#include "common/Wait.h"

namespace android {
namespace platform_test {
namespace {

void token(Parcel* p) {
    p->writeInterfaceToken(String16(kEchoDescriptor));
}

// Sends `count` LOG_ONEWAY calls as `sender`; how many were taken.
int logOneway(const sp<IBinder>& echo, int32_t sender, int count) {
    int sent = 0;
    for (int32_t seq = 0; seq < count; ++seq) {
        Parcel data;
        token(&data);
        data.writeInt32(sender);
        data.writeInt32(seq);
        sent += echo->transact(LOG_ONEWAY, data, nullptr, IBinder::FLAG_ONEWAY) == NO_ERROR;
    }
    return sent;
}

TEST(OnewayCalls, OneObjectRunsThemOneAtATimeInTheOrderSent) {
    tonvale_test::ChildGuard server = startEchoServer("platform.oneway");
    sp<IBinder> echo = defaultServiceManager()->getService(String16("platform.oneway"));
    ASSERT_NE(echo, nullptr);
    constexpr int kThreads = 4;
    constexpr int kCalls = 150;
    // Four threads of one process, and another process on its own connection, all at once.
    tonvale_test::ChildGuard other(tonvale_test::forkProcess());
    if (other.pid() == 0) {
        sp<IBinder> svc = defaultServiceManager()->getService(String16("platform.oneway"));
        _exit(svc != nullptr && logOneway(svc, kThreads, kCalls) == kCalls ? 0 : 2);
    }
    tonvale_test::ChildGuard threaded = inPoolChild([&] {
        sp<IBinder> svc = defaultServiceManager()->getService(String16("platform.oneway"));
        ASSERT_NE(svc, nullptr);
        std::atomic<int> sent{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] { sent += logOneway(svc, t, kCalls); });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(sent.load(), kThreads * kCalls);
    });
    ASSERT_EQ(other.wait(), 0);
    ASSERT_EQ(threaded.wait(), 0);
    int32_t logged = 0, outOfOrder = -1, overlap = -1;
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        Parcel data, reply;
        token(&data);
        if (echo->transact(ONEWAY_LOG, data, &reply) != NO_ERROR) return false;
        logged = reply.readInt32();
        outOfOrder = reply.readInt32();
        overlap = reply.readInt32();
        return logged == (kThreads + 1) * kCalls;
    })) << logged;
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(overlap, 1);
}

class Listener : public BBinder {
public:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code != kNotifyCode) return BBinder::onTransact(code, data, reply, flags);
        const int32_t seq = data.readInt32();
        std::lock_guard<std::mutex> lock(mLock);
        mOutOfOrder += seq != mCount;
        mCount++;
        mCond.notify_all();
        return NO_ERROR;
    }
    bool waitCount(int n) {
        std::unique_lock<std::mutex> lock(mLock);
        return mCond.wait_for(lock, std::chrono::milliseconds(tonvale_test::kLongWaitMs),
                              [&] { return mCount >= n; });
    }

    std::mutex mLock;
    std::condition_variable mCond;
    int mCount = 0;
    int mOutOfOrder = 0;
};

TEST(OnewayCalls, APeerThatNeverReadsHoldsNeitherTheSenderNorOthers) {
    tonvale_test::ChildGuard server = startEchoServer("platform.notify");
    sp<IBinder> echo = defaultServiceManager()->getService(String16("platform.notify"));
    ASSERT_NE(echo, nullptr);
    // The server holds first an object of a raw peer that never reads again...
    Sockets socks;
    const int raw = socks.add(connectRaw("platform.notify"));
    Parcel hold;
    token(&hold);
    hostbinder::FrameHeader h;
    std::vector<uint8_t> payload;
    ASSERT_TRUE(sendWithFds(raw, objectCallFrame(HOLD_BINDER, hold)));
    ASSERT_TRUE(readFrame(raw, &h, &payload));
    ASSERT_EQ(h.code, 0u);
    // ...then a listener of another process, which checks that it gets every call, in order.
    // Oneway calls of 8 KiB: for the raw peer far more than its socket and queue take, for the
    // listener what they take even should it not read before all are sent.
    constexpr int32_t kRawCalls = 100;
    constexpr int32_t kCalls = 20;
    constexpr int32_t kBytes = 8192;
    tonvale_test::Pipe ready;
    ASSERT_TRUE(ready.ok());
    tonvale_test::ChildGuard listening = inPoolChild([&] {
        sp<IBinder> svc = defaultServiceManager()->getService(String16("platform.notify"));
        ASSERT_NE(svc, nullptr);
        sp<Listener> listener = new Listener();
        Parcel data, reply;
        token(&data);
        data.writeStrongBinder(listener);
        ASSERT_EQ(svc->transact(HOLD_BINDER, data, &reply), NO_ERROR);
        ASSERT_EQ(write(ready.writeEnd(), "x", 1), 1);
        EXPECT_TRUE(listener->waitCount(kCalls));
        std::lock_guard<std::mutex> lock(listener->mLock);
        EXPECT_EQ(listener->mOutOfOrder, 0);
    });
    char c;
    ASSERT_EQ(read(ready.readEnd(), &c, 1), 1);
    Parcel data, reply;
    token(&data);
    data.writeInt32(kBytes);
    data.writeInt32(kRawCalls);
    data.writeInt32(kCalls);
    ASSERT_EQ(echo->transact(NOTIFY_HELD, data, &reply), NO_ERROR);
    const int32_t rawOk = reply.readInt32(), rawFailed = reply.readInt32();
    const int32_t listenerOk = reply.readInt32(), listenerFailed = reply.readInt32();
    // The raw peer's calls failed at once past its bound, and its connection stays.
    EXPECT_GT(rawFailed, 0);
    EXPECT_EQ(rawOk + rawFailed, kRawCalls);
    EXPECT_FALSE(peerHungUp(raw));
    // What the server holds for it is that bound and one frame at most.
    const size_t frame = sizeof(h) + hostbinder::paddedDataSize(sizeof(int32_t) + kBytes);
    EXPECT_LE(rawOk * frame, unread(raw) + hostbinder::Limits().maxAsyncQueued + frame);
    // Everything to the listener went out, and it got all of it.
    EXPECT_EQ(listenerOk, kCalls);
    EXPECT_EQ(listenerFailed, 0);
    EXPECT_EQ(listening.wait(), 0);
    EXPECT_EQ(echo->pingBinder(), NO_ERROR);
}

}  // namespace
}  // namespace platform_test
}  // namespace android
