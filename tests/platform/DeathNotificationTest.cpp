// Death notifications: a proxy's recipients hear once, on a pool thread, that the process that
// owns its object is gone, whichever side sent the object; links and unlinks follow libbinder.
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

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

// A byte through a pipe, to step a child and its parent in turn.
bool step(int fd) {
    return write(fd, "x", 1) == 1;
}

bool awaitStep(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, tonvale_test::kLongWaitMs) == 1 && read(fd, &c, 1) == 1;
}

class Recorder : public IBinder::DeathRecipient {
public:
    void binderDied(const wp<IBinder>& who) override {
        // First, as a recipient may: unlink from inside the notice.
        sp<IBinder> dead = who.promote();
        const status_t unlinked = dead != nullptr ? dead->unlinkToDeath(this) : NO_ERROR;
        std::lock_guard<std::mutex> lock(mLock);
        mTold++;
        mWho = who.unsafe_get();
        mThread = std::this_thread::get_id();
        mUnlinked = unlinked;
        mCond.notify_all();
    }
    bool waitTold() {
        std::unique_lock<std::mutex> lock(mLock);
        return mCond.wait_for(lock, std::chrono::milliseconds(tonvale_test::kLongWaitMs),
                              [this] { return mTold > 0; });
    }
    int told() {
        std::lock_guard<std::mutex> lock(mLock);
        return mTold;
    }

    std::mutex mLock;
    std::condition_variable mCond;
    int mTold = 0;
    IBinder* mWho = nullptr;
    std::thread::id mThread;
    status_t mUnlinked = NO_ERROR;
};

TEST(DeathNotification, EachRecipientOfAKilledServiceHearsOnceOnAPoolThread) {
    tonvale_test::ChildGuard server = startEchoServer("platform.dying");
    tonvale_test::Pipe ready;
    ASSERT_TRUE(ready.ok());
    tonvale_test::ChildGuard client = inPoolChild([&] {
        sp<IBinder> echo = defaultServiceManager()->getService(String16("platform.dying"));
        ASSERT_NE(echo, nullptr);
        sp<Recorder> first = new Recorder(), second = new Recorder(), unlinked = new Recorder();
        int cookie = 0;
        EXPECT_EQ(sp<IBinder>(new BBinder())->linkToDeath(first), INVALID_OPERATION);
        EXPECT_EQ(echo->unlinkToDeath(first), NAME_NOT_FOUND);
        ASSERT_EQ(echo->linkToDeath(first), NO_ERROR);
        ASSERT_EQ(echo->linkToDeath(second, &cookie, 1), NO_ERROR);
        ASSERT_EQ(echo->linkToDeath(unlinked), NO_ERROR);
        // A link is its recipient (or its cookie, given no recipient) with its flags.
        EXPECT_EQ(echo->unlinkToDeath(second), NAME_NOT_FOUND);
        wp<IBinder::DeathRecipient> out;
        EXPECT_EQ(echo->unlinkToDeath(nullptr, &cookie, 1, &out), NO_ERROR);
        EXPECT_EQ(out.promote(), second);
        ASSERT_EQ(echo->linkToDeath(second, &cookie, 1), NO_ERROR);
        EXPECT_EQ(echo->unlinkToDeath(unlinked), NO_ERROR);
        EXPECT_EQ(echo->unlinkToDeath(unlinked), NAME_NOT_FOUND);

        ASSERT_TRUE(step(ready.writeEnd()));  // the server is killed now
        ASSERT_TRUE(first->waitTold());
        ASSERT_TRUE(second->waitTold());
        EXPECT_EQ(first->mWho, echo.get());
        EXPECT_NE(first->mThread, std::this_thread::get_id());
        EXPECT_EQ(first->mUnlinked, DEAD_OBJECT);  // and it did not deadlock
        // After the notice the proxy is dead for good, and nobody is told twice.
        EXPECT_FALSE(echo->isBinderAlive());
        EXPECT_EQ(echo->pingBinder(), DEAD_OBJECT);
        EXPECT_EQ(echo->linkToDeath(unlinked), DEAD_OBJECT);
        EXPECT_EQ(echo->unlinkToDeath(second, &cookie, 1), DEAD_OBJECT);
        EXPECT_EQ(first->told(), 1);
        EXPECT_EQ(second->told(), 1);
        EXPECT_EQ(unlinked->told(), 0);
    });
    ASSERT_TRUE(awaitStep(ready.readEnd()));
    server.stop(SIGKILL);
    EXPECT_EQ(client.wait(), 0);
}

// The server links to objects its clients send; their deaths reach it by SIGKILL or hang-up,
// and its recipient unlinks and drops the proxy's last reference from inside the notice.
TEST(DeathNotification, AServiceHearsOfEachClientObjectWhoseProcessWent) {
    tonvale_test::ChildGuard server = startEchoServer("platform.watcher");
    sp<IBinder> echo = defaultServiceManager()->getService(String16("platform.watcher"));
    ASSERT_NE(echo, nullptr);
    auto deaths = [&](int32_t* unlinkedDead, int32_t* held) {
        Parcel data, reply;
        token(&data);
        if (echo->transact(DEATHS, data, &reply) != NO_ERROR) return -1;
        const int32_t told = reply.readInt32();
        *unlinkedDead = reply.readInt32();
        *held = reply.readInt32();
        return told;
    };
    tonvale_test::Pipe ready, go;
    ASSERT_TRUE(ready.ok() && go.ok());
    tonvale_test::ChildGuard client(tonvale_test::forkProcess());
    if (client.pid() == 0) {
        sp<IBinder> svc = defaultServiceManager()->checkService(String16("platform.watcher"));
        Parcel data, reply;
        token(&data);
        data.writeStrongBinder(new BBinder());
        if (svc == nullptr || svc->transact(WATCH_DEATH, data, &reply) != NO_ERROR ||
            reply.readInt32() != NO_ERROR || !step(ready.writeEnd())) {
            _exit(2);
        }
        awaitStep(go.readEnd());  // never comes: the parent kills this process
        _exit(3);
    }
    ASSERT_TRUE(awaitStep(ready.readEnd()));
    int32_t unlinkedDead = 0, held = 0;
    ASSERT_EQ(deaths(&unlinkedDead, &held), 0);
    ASSERT_EQ(held, 1);
    client.stop(SIGKILL);
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return deaths(&unlinkedDead, &held) == 1; }));
    EXPECT_EQ(unlinkedDead, 1);
    EXPECT_EQ(held, 0);

    // A raw peer that hands over an object and hangs up.
    Sockets socks;
    const int raw = socks.add(connectRaw("platform.watcher"));
    Parcel data;
    token(&data);
    hostbinder::FrameHeader h;
    std::vector<uint8_t> payload;
    ASSERT_TRUE(sendWithFds(raw, objectCallFrame(WATCH_DEATH, data)));
    ASSERT_TRUE(readFrame(raw, &h, &payload));
    ASSERT_EQ(h.code, 0u);
    socks.closeAll();
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return deaths(&unlinkedDead, &held) == 2; }));
    EXPECT_EQ(held, 0);
    EXPECT_EQ(echo->pingBinder(), NO_ERROR);
}

// As with the driver, a death is read by a pool thread only: a process without one hears of it
// once it starts one, never inside a call of its own.
TEST(DeathNotification, WithoutAPoolTheNoticeWaitsForOne) {
    tonvale_test::ChildGuard server = startEchoServer("platform.nopool");
    tonvale_test::Pipe ready, killed;
    ASSERT_TRUE(ready.ok() && killed.ok());
    tonvale_test::ChildGuard child(tonvale_test::forkProcess());
    if (child.pid() == 0) {
        // A fresh process state: no pool.
        sp<IBinder> svc = defaultServiceManager()->getService(String16("platform.nopool"));
        sp<Recorder> recorder = new Recorder();
        if (svc == nullptr || svc->linkToDeath(recorder) != NO_ERROR) _exit(2);
        if (!step(ready.writeEnd()) || !awaitStep(killed.readEnd())) _exit(3);
        if (svc->pingBinder() != DEAD_OBJECT) _exit(4);
        if (recorder->told() != 0) _exit(5);
        ProcessState::self()->startThreadPool();
        _exit(recorder->waitTold() && recorder->told() == 1 ? 0 : 6);
    }
    ASSERT_TRUE(awaitStep(ready.readEnd()));
    server.stop(SIGKILL);
    ASSERT_TRUE(step(killed.writeEnd()));
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
}  // namespace platform_test
}  // namespace android
