// What a peer can make a server hold, and the edges of it: frames announced but never sent,
// clients that never read their replies, a uid opening connection after connection, a server
// out of descriptors. In each case the server bounds what it holds and goes on serving
// everyone else.
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utils/String8.h>

#include <string>
#include <vector>

#include "EchoService.h"
#include "RawClient.h"
#include "common/Pipe.h"
#include "common/TestEnv.h"
#include "common/Wait.h"

namespace android {
namespace platform_test {
namespace {

using hostbinder::FrameHeader;
using hostbinder::Limits;

void token(Parcel* p) {
    p->writeInterfaceToken(String16(kEchoDescriptor));
}

// A raw PING: true when answered.
bool pinged(int sock) {
    FrameHeader h;
    std::vector<uint8_t> payload;
    return sock >= 0 && sendWithFds(sock, bytesOf(txHeader(0))) && readFrame(sock, &h, &payload) &&
           h.type == hostbinder::FRAME_REPLY && h.code == 0;
}

std::vector<uint8_t> replyBytesRequest(int32_t n) {
    Parcel data;
    token(&data);
    data.writeInt32(n);
    return callFrame(REPLY_BYTES, data);
}

class ResourceLimitTest : public testing::Test {
protected:
    void start(const ServerOptions& options = {}) {
        mServer = startEchoServer(kEchoName, options);
        ASSERT_TRUE(mServer.running());
        mEcho = defaultServiceManager()->getService(String16(kEchoName));
        ASSERT_NE(mEcho, nullptr);
        ASSERT_EQ(mEcho->pingBinder(), NO_ERROR);
    }

    void TearDown() override {
        mEcho.clear();
        mServer.stop();
    }

    bool callerAnswers() {
        Parcel data, reply;
        token(&data);
        return mEcho->transact(CALLER, data, &reply) == NO_ERROR && reply.readInt32() == getpid();
    }

    int32_t call32(uint32_t code) {
        Parcel data, reply;
        token(&data);
        return mEcho->transact(code, data, &reply) == NO_ERROR ? reply.readInt32() : -1;
    }

    bool serverAlive() {
        int status;
        return waitpid(mServer.pid(), &status, WNOHANG) == 0;
    }

    // Connects raw clients until the server refuses one for want of descriptors; every other
    // one is served. Returns false when a connection neither gets an answer nor is closed.
    bool fillDescriptorTable(Sockets* socks, int* accepted) {
        for (*accepted = 0; *accepted < 200; ++*accepted) {
            const int s = socks->add(connectRaw(kEchoName));
            if (s < 0) return false;
            if (pinged(s)) continue;
            return peerHungUp(s) || closedByServer(s);
        }
        return false;
    }

    tonvale_test::ChildGuard mServer;
    sp<IBinder> mEcho;
};

TEST_F(ResourceLimitTest, HugeFramesAnnouncedButNotSentCostNothingUpFront) {
    Limits limits;
    limits.frameDeadlineMs = 120 * 1000;  // none is dropped while the test runs
    ServerOptions options;
    options.limits = &limits;
    start(options);
    const size_t before = residentKb(mServer.pid());
    // Each announces a frame just under the 1 MiB cap and sends its first kilobyte.
    const uint32_t announced = hostbinder::kMaxFrameSize - sizeof(FrameHeader) - 64;
    const std::vector<uint8_t> head = bytesOf(txHeader(announced), std::vector<uint8_t>(1024, 0x5a));
    Sockets socks;
    for (int i = 0; i < 200; ++i) {
        const int s = socks.add(connectRaw(kEchoName));
        ASSERT_GE(s, 0);
        ASSERT_TRUE(sendWithFds(s, head));
    }
    // The server has read every byte sent...
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        for (int s : socks.fds()) {
            if (untaken(s) != 0) return false;
        }
        return true;
    }));
    // ...and holds about what came (200 KiB), nowhere near the 200 MiB announced: far under
    // its whole buffer budget.
    const size_t after = residentKb(mServer.pid());
    RecordProperty("rss_before_kib", static_cast<int>(before));
    RecordProperty("rss_after_kib", static_cast<int>(after));
    EXPECT_LT(after, before + Limits().bufferBudget / 1024)
        << before << " KiB before, " << after << " KiB after";
    for (int s : socks.fds()) EXPECT_FALSE(peerHungUp(s));  // still waiting, not dropped
    EXPECT_TRUE(callerAnswers());
}

TEST_F(ResourceLimitTest, BufferBudgetDropsWhoWouldOverrunItAndComesBack) {
    Limits limits;
    limits.bufferBudget = 256 * 1024;
    limits.uidShare = 64 * 1024;
    ServerOptions options;
    options.limits = &limits;
    start(options);
    // Eight frames of 200 KiB under way, 100 KiB of each sent: more than this uid's share and
    // the budget.
    const std::vector<uint8_t> part =
        bytesOf(txHeader(200 * 1024), std::vector<uint8_t>(100 * 1024, 0x11));
    Sockets socks;
    for (int i = 0; i < 8; ++i) {
        const int s = socks.add(connectRaw(kEchoName));
        ASSERT_GE(s, 0);
        sendWithFds(s, part);  // may fail: the server can drop it meanwhile
    }
    // Each is either read to its last byte, or dropped.
    int dropped = 0;
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        dropped = 0;
        for (int s : socks.fds()) {
            if (peerHungUp(s)) {
                dropped++;
            } else if (untaken(s) != 0) {
                return false;
            }
        }
        return true;
    }));
    EXPECT_GT(dropped, 0);
    EXPECT_TRUE(callerAnswers());
    // When they go, what they held comes back: a large call fits again.
    socks.closeAll();
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        Parcel data, reply;
        token(&data);
        data.writeInt32(150 * 1024);
        return mEcho->transact(REPLY_BYTES, data, &reply) == NO_ERROR &&
               reply.dataSize() == 150 * 1024;
    }));
}

// Two other uids stop in the middle of large frames: at the deadline their connections close
// and the memory goes back, and meanwhile a large call of root's is served from its own share.
TEST_F(ResourceLimitTest, UnfinishedFramesGoAtTheirDeadlineAndStarveNoOtherUid) {
    if (getuid() != 0) GTEST_SKIP() << "other uids need root";
    Limits limits;
    limits.bufferBudget = 4 * 1024 * 1024;
    limits.frameDeadlineMs = 3000;
    ServerOptions options;
    options.limits = &limits;
    start(options);
    ASSERT_EQ(chmod(tonvale_test::testRoot().c_str(), 0755), 0);
    const size_t before = residentKb(mServer.pid());
    // Eight connections of each uid stop 900 KiB into a frame of 1000 KiB; the sockets come
    // back here. Those over the uid's share and the budget are dropped at once.
    const std::vector<uint8_t> part =
        bytesOf(txHeader(1000 * 1024), std::vector<uint8_t>(900 * 1024, 0x33));
    Sockets hostile;
    for (uid_t uid : {10001u, 10002u}) {
        tonvale_test::Pipe pair = tonvale_test::Pipe::socketPair();
        ASSERT_TRUE(pair.ok());
        tonvale_test::ChildGuard child(tonvale_test::forkProcess());
        if (child.pid() == 0) {
            if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(2);
            for (int i = 0; i < 8; ++i) {
                const int s = connectRaw(kEchoName);
                if (s < 0) _exit(3);
                sendWithFds(s, part);
                if (!sendWithFds(pair.writeEnd(), {1}, {s})) _exit(4);
            }
            _exit(0);
        }
        for (int i = 0; i < 8; ++i) ASSERT_GE(hostile.add(receiveFd(pair.readEnd())), 0);
        ASSERT_EQ(child.wait(), 0);
    }
    ASSERT_TRUE(tonvale_test::waitUntil([&] {
        for (int s : hostile.fds()) {
            if (untaken(s) != 0 && !peerHungUp(s)) return false;
        }
        return true;
    }));
    int held = 0;
    for (int s : hostile.fds()) held += !peerHungUp(s);
    EXPECT_GT(held, 0);
    EXPECT_GE(call32(BUFFERED), held * 800 * 1024);
    const size_t during = residentKb(mServer.pid());
    EXPECT_GT(during, before + held * 800);
    // The budget is taken; root's own share is not.
    Parcel big, reply;
    token(&big);
    const std::vector<uint8_t> blob(300 * 1024, 0x44);
    big.write(blob.data(), blob.size());
    EXPECT_EQ(mEcho->transact(CALLER, big, &reply), NO_ERROR);
    EXPECT_EQ(reply.readInt32(), getpid());
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        for (int s : hostile.fds()) {
            if (!peerHungUp(s)) return false;
        }
        return true;
    }));
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return call32(BUFFERED) == 0; }));
    // Most of it leaves the process too (the allocator may keep some of what passed through).
    EXPECT_LT(residentKb(mServer.pid()), during - (during - before) / 2)
        << before << " KiB before, " << during << " KiB during";
}

TEST_F(ResourceLimitTest, ClientsThatNeverReadHoldNoServerThread) {
    Limits limits;
    limits.stuckWriteMs = 120 * 1000;  // none is dropped while the test runs
    ServerOptions options;
    options.limits = &limits;
    start(options);
    // Eight clients ask for ten 60 KiB replies each and read none: about 600 KiB each, more
    // than a socket takes.
    const std::vector<uint8_t> request = replyBytesRequest(60 * 1024);
    Sockets stuck;
    for (int i = 0; i < 8; ++i) {
        const int s = stuck.add(connectRaw(kEchoName));
        ASSERT_GE(s, 0);
        for (int k = 0; k < 10; ++k) ASSERT_TRUE(sendWithFds(s, request));
    }
    // The server wrote to each of them all its socket takes.
    ASSERT_TRUE(tonvale_test::waitUntil([&] {
        for (int s : stuck.fds()) {
            if (unread(s) < 100 * 1024) return false;
        }
        return true;
    }));
    // Another client's call is answered while every one of them is still connected: a server
    // that waits for its readers with its pool threads could only answer after dropping one.
    EXPECT_TRUE(callerAnswers());
    for (int s : stuck.fds()) EXPECT_FALSE(peerHungUp(s)) << "a reader was dropped first";
    // The replies waited in the server: a client that reads at last gets all ten, whole.
    const int reader = stuck.fds()[0];
    for (int k = 0; k < 10; ++k) {
        FrameHeader h;
        std::vector<uint8_t> payload;
        ASSERT_TRUE(readFrame(reader, &h, &payload)) << "reply " << k;
        EXPECT_EQ(h.type, hostbinder::FRAME_REPLY);
        EXPECT_EQ(h.code, 0u);
        EXPECT_EQ(h.dataSize, 60u * 1024);
    }
    // The others leave with replies still queued; the server's writes into their closed
    // sockets raise no SIGPIPE.
    stuck.closeAll();
    EXPECT_TRUE(callerAnswers());
    EXPECT_TRUE(serverAlive());
}

TEST_F(ResourceLimitTest, AReaderStuckPastTheBoundIsDropped) {
    Limits limits;
    limits.stuckWriteMs = 200;
    ServerOptions options;
    options.limits = &limits;
    start(options);
    Sockets socks;
    const int slow = socks.add(connectRaw(kEchoName));
    ASSERT_GE(slow, 0);
    const std::vector<uint8_t> request = replyBytesRequest(60 * 1024);
    for (int k = 0; k < 8; ++k) ASSERT_TRUE(sendWithFds(slow, request));
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return peerHungUp(slow); }));
    EXPECT_TRUE(callerAnswers());
}

TEST_F(ResourceLimitTest, AReplyQueueOverItsCapIsDropped) {
    Limits limits;
    limits.stuckWriteMs = 120 * 1000;
    limits.maxQueuedPerConnection = 256 * 1024;
    ServerOptions options;
    options.limits = &limits;
    start(options);
    Sockets socks;
    const int greedy = socks.add(connectRaw(kEchoName));
    ASSERT_GE(greedy, 0);
    const std::vector<uint8_t> request = replyBytesRequest(60 * 1024);
    for (int k = 0; k < 20; ++k) ASSERT_TRUE(sendWithFds(greedy, request));
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return peerHungUp(greedy); }));
    EXPECT_TRUE(callerAnswers());
}

TEST_F(ResourceLimitTest, ConnectionsPerUidAreCappedButNotRootsOrTheServersOwn) {
    Limits limits;
    limits.maxConnectionsPerUid = 4;
    ServerOptions options;
    options.limits = &limits;
    start(options);
    // This process runs as root or as the server's own uid: not counted.
    Sockets mine;
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(pinged(mine.add(connectRaw(kEchoName)))) << i;
    if (getuid() != 0) GTEST_SKIP() << "another uid needs root";
    // The private test root is 0700; on a device only the socket directory's 0755 counts.
    ASSERT_EQ(chmod(tonvale_test::testRoot().c_str(), 0755), 0);
    tonvale_test::ChildGuard child(tonvale_test::forkProcess());
    if (child.pid() == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
        std::vector<int> own;
        for (int i = 0; i < 4; ++i) {
            own.push_back(connectRaw(kEchoName));
            if (!pinged(own.back())) _exit(3);
        }
        const int over = connectRaw(kEchoName);
        if (over < 0) _exit(4);
        if (!closedByServer(over)) _exit(5);  // refused, at once
        // One given back makes room for one more, once the server has seen it go.
        close(own[0]);
        if (!tonvale_test::waitUntil([] {
                const int again = connectRaw(kEchoName);
                const bool served = pinged(again);
                close(again);
                return served;
            })) {
            _exit(6);
        }
        _exit(0);
    }
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(callerAnswers());
}

TEST_F(ResourceLimitTest, OutOfDescriptorsNewClientsAreRefusedAtOnce) {
    ServerOptions options;
    options.spareFds = 16;
    start(options);
    Sockets socks;
    int accepted = 0;
    // Each connection is served, until one is closed at once; none is left hanging.
    ASSERT_TRUE(fillDescriptorTable(&socks, &accepted)) << "connection " << accepted << " hangs";
    EXPECT_GT(accepted, 0);
    EXPECT_TRUE(callerAnswers());
    // Once clients go, new ones are accepted again.
    socks.closeAll();
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        const int s = connectRaw(kEchoName);
        const bool served = pinged(s);
        if (s >= 0) close(s);
        return served;
    }));
}

TEST_F(ResourceLimitTest, DescriptorsLostAtTheLimitFailOnlyTheirCall) {
    ServerOptions options;
    options.spareFds = 16;
    start(options);
    Sockets socks;
    int accepted = 0;
    ASSERT_TRUE(fillDescriptorTable(&socks, &accepted));
    // The server has no slot for the descriptor this call carries: the call fails...
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    {
        Parcel data, reply;
        token(&data);
        data.writeFileDescriptor(p[1]);
        EXPECT_EQ(mEcho->transact(FD_EXCHANGE, data, &reply), FAILED_TRANSACTION);
    }
    // ...and the connection it came on goes on.
    EXPECT_EQ(mEcho->pingBinder(), NO_ERROR);
    EXPECT_TRUE(callerAnswers());
    // With descriptors free again, the same call goes through.
    socks.closeAll();
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        Parcel data, reply;
        token(&data);
        data.writeFileDescriptor(p[1]);
        return mEcho->transact(FD_EXCHANGE, data, &reply) == NO_ERROR;
    }));
    close(p[0]);
    close(p[1]);
}

}  // namespace
}  // namespace platform_test
}  // namespace android
