// Broken and hostile clients write raw frames to the service socket: each gets its
// connection closed, the server keeps its descriptors and goes on serving everyone else.
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "EchoService.h"
#include "RawClient.h"
#include "common/TestEnv.h"
#include "common/Wait.h"
#include "platform/HostFrame.h"
#include "platform/HostObjects.h"

namespace android {
namespace platform_test {
namespace {

using hostbinder::FrameHeader;
using hostbinder::paddedDataSize;

// A payload of `dataSize` bytes of data with object records at the given offsets, and the
// offset table behind it.
std::vector<uint8_t> withRecords(uint32_t dataSize,
                                 const std::vector<std::pair<uint32_t, flat_binder_object>>& recs) {
    std::vector<uint8_t> p(paddedDataSize(dataSize) + recs.size() * sizeof(uint32_t), 0);
    for (size_t i = 0; i < recs.size(); ++i) {
        memcpy(p.data() + recs[i].first, &recs[i].second, sizeof(flat_binder_object));
    }
    for (size_t i = 0; i < recs.size(); ++i) {
        memcpy(p.data() + paddedDataSize(dataSize) + i * sizeof(uint32_t), &recs[i].first,
               sizeof(uint32_t));
    }
    return p;
}

flat_binder_object record(uint32_t type, uint64_t binder = 0) {
    flat_binder_object o{};
    o.hdr_type = type;
    o.binder = binder;
    return o;
}

class HostileClientTest : public testing::Test {
protected:
    void SetUp() override {
        mServer = startEchoServer();
        mEcho = defaultServiceManager()->getService(String16(kEchoName));
        ASSERT_NE(mEcho, nullptr);
        ASSERT_EQ(mEcho->pingBinder(), NO_ERROR);
        mBaseFds = openFds(mServer.pid());
    }
    void TearDown() override {
        mEcho.clear();
        mServer.stop();
    }

    // Sends the frame on a fresh connection, expects it closed and the server still serving
    // this process's own connection and another raw one that was open all along.
    void expectRejected(const std::vector<uint8_t>& bytes, const std::vector<int>& fds = {},
                        bool closeWriteSide = false) {
        const int bystander = connectRaw(kEchoName);
        ASSERT_GE(bystander, 0);
        const int sock = connectRaw(kEchoName);
        ASSERT_GE(sock, 0);
        sendWithFds(sock, bytes, fds);
        if (closeWriteSide) shutdown(sock, SHUT_WR);
        EXPECT_TRUE(closedByServer(sock));
        close(sock);
        EXPECT_EQ(mEcho->pingBinder(), NO_ERROR);
        Parcel data, reply;
        data.writeInterfaceToken(String16(kEchoDescriptor));
        EXPECT_EQ(mEcho->transact(CALLER, data, &reply), NO_ERROR);
        EXPECT_EQ(reply.readInt32(), getpid());
        EXPECT_TRUE(answered(bystander, bytesOf(txHeader(0))));
        close(bystander);
    }

    // True when the frame, sent on `sock`, gets a successful reply.
    static bool answered(int sock, const std::vector<uint8_t>& bytes,
                         const std::vector<int>& fds = {}) {
        FrameHeader h;
        std::vector<uint8_t> payload;
        return sendWithFds(sock, bytes, fds) && readFrame(sock, &h, &payload) &&
               h.type == hostbinder::FRAME_REPLY && h.code == 0 && h.txId == 7;
    }

    // Sends the frame on a fresh connection and expects a successful reply.
    void expectAccepted(const std::vector<uint8_t>& bytes, const std::vector<int>& fds = {}) {
        const int sock = connectRaw(kEchoName);
        ASSERT_GE(sock, 0);
        EXPECT_TRUE(answered(sock, bytes, fds));
        close(sock);
    }

    tonvale_test::ChildGuard mServer;
    sp<IBinder> mEcho;
    size_t mBaseFds = 0;
};

TEST_F(HostileClientTest, MalformedFramesCloseOnlyTheirConnection) {
    FrameHeader bad = txHeader(0);
    bad.magic = 0x12345678;
    expectRejected(bytesOf(bad));

    FrameHeader type = txHeader(0);
    type.type = 99;
    expectRejected(bytesOf(type));

    // Over the 1 MiB cap, announced in the header.
    expectRejected(bytesOf(txHeader(2 * 1024 * 1024)));

    // Truncated: the header promises 64 bytes, 10 arrive, then the client goes away.
    expectRejected(bytesOf(txHeader(64), std::vector<uint8_t>(10, 0xab)), {}, true);
    // Half a header.
    std::vector<uint8_t> half = bytesOf(txHeader(0));
    half.resize(20);
    expectRejected(half, {}, true);
}

TEST_F(HostileClientTest, BogusObjectsAndHandlesCloseTheConnection) {
    flat_binder_object obj{};
    std::vector<uint8_t> payload(32, 0);
    // An offset outside the data.
    uint32_t off = 28;
    obj.hdr_type = hostbinder::WIRE_NULL;
    memcpy(payload.data(), &obj, sizeof(obj));
    std::vector<uint8_t> p1 = payload;
    p1.resize(36);
    memcpy(p1.data() + 32, &off, 4);
    expectRejected(bytesOf(txHeader(32, 1), p1));

    // A handle this server never gave out.
    obj.hdr_type = hostbinder::WIRE_HANDLE;
    obj.binder = 999;
    std::vector<uint8_t> p2 = payload;
    memcpy(p2.data(), &obj, sizeof(obj));
    p2.resize(36);
    off = 0;
    memcpy(p2.data() + 32, &off, 4);
    FrameHeader h2 = txHeader(32, 1);
    h2.code = IBinder::FIRST_CALL_TRANSACTION;
    expectRejected(bytesOf(h2, p2));

    // A target node that does not exist.
    FrameHeader h3 = txHeader(0);
    h3.target = 12345;
    expectRejected(bytesOf(h3));

    // An unknown object type, and a raw pointer posing as an in-process record.
    obj.hdr_type = HOST_OBJ_BINDER;
    obj.binder = 0x1000;
    std::vector<uint8_t> p4 = payload;
    memcpy(p4.data(), &obj, sizeof(obj));
    p4.resize(36);
    memcpy(p4.data() + 32, &off, 4);
    expectRejected(bytesOf(txHeader(32, 1), p4));
}

// Each bad frame below breaks one rule and passes every other check, and beside it goes the
// same frame with that one rule kept, which the server answers: so each check is shown to
// matter on its own.
TEST_F(HostileClientTest, EachFrameCheckClosesTheConnectionOnItsOwn) {
    const flat_binder_object null = record(hostbinder::WIRE_NULL);
    // Overlapping object records.
    expectRejected(bytesOf(txHeader(48, 2), withRecords(48, {{0, null}, {12, null}})));
    expectAccepted(bytesOf(txHeader(48, 2), withRecords(48, {{0, null}, {24, null}})));
    // A misaligned offset.
    expectRejected(bytesOf(txHeader(32, 1), withRecords(32, {{2, null}})));
    expectAccepted(bytesOf(txHeader(32, 1), withRecords(32, {{4, null}})));
    // A record that runs past the data (into the offset table).
    expectRejected(bytesOf(txHeader(32, 1), withRecords(32, {{12, null}})));
    expectAccepted(bytesOf(txHeader(32, 1), withRecords(32, {{8, null}})));
    // A non-zero reserved word.
    FrameHeader reserved = txHeader(0);
    reserved.reserved = 1;
    expectRejected(bytesOf(reserved));
    expectAccepted(bytesOf(txHeader(0)));
    // One descriptor index used twice (and so every index is used).
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    const flat_binder_object fd0 = record(hostbinder::WIRE_FD, 0);
    expectRejected(bytesOf(txHeader(48, 2, 1), withRecords(48, {{0, fd0}, {24, fd0}})), {devnull});
    expectAccepted(bytesOf(txHeader(48, 2, 1), withRecords(48, {{0, fd0}, {24, null}})), {devnull});
    close(devnull);
}

TEST_F(HostileClientTest, DescriptorAbuseClosesTheConnectionAndLeaksNothing) {
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    // Descriptors that no object names.
    expectRejected(bytesOf(txHeader(0, 0, 2)), {devnull, devnull});
    // More descriptors than a frame may carry.
    std::vector<int> many(100, devnull);
    expectRejected(bytesOf(txHeader(0, 0, 0)), many);
    close(devnull);
    // The server closed every descriptor it was sent and every connection it dropped.
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return openFds(mServer.pid()) == mBaseFds; }))
        << openFds(mServer.pid()) << " open, " << mBaseFds << " before";
}

// A peer that sends several calls and an unfinished frame, then closes its end, is always
// seen to go, however its end of stream falls among the reads and hand-offs of the calls.
TEST_F(HostileClientTest, APeerThatClosesAfterSeveralCallsIsAlwaysSeenToGo) {
    std::vector<uint8_t> burst;
    for (int i = 0; i < 8; ++i) {
        const std::vector<uint8_t> ping = bytesOf(txHeader(0));
        burst.insert(burst.end(), ping.begin(), ping.end());
    }
    burst.push_back(0x48);
    burst.push_back(0x42);  // the first bytes of another frame
    for (int round = 0; round < 2000; ++round) {
        const int sock = connectRaw(kEchoName);
        ASSERT_GE(sock, 0);
        sendWithFds(sock, burst);
        // The end comes once the server has read the calls, while it hands them round.
        for (int spin = 0; spin < 100000 && untaken(sock) != 0; ++spin) {
        }
        shutdown(sock, SHUT_WR);
        const bool closed = closedByServer(sock);
        close(sock);
        ASSERT_TRUE(closed) << "round " << round;
    }
    EXPECT_EQ(mEcho->pingBinder(), NO_ERROR);
}

TEST_F(HostileClientTest, GarbageFromManyClientsAtOnce) {
    std::vector<int> socks;
    for (int i = 0; i < 20; ++i) {
        const int s = connectRaw(kEchoName);
        ASSERT_GE(s, 0);
        std::vector<uint8_t> junk(64 + i * 13);
        for (size_t k = 0; k < junk.size(); ++k) junk[k] = static_cast<uint8_t>(k * 31 + i);
        sendWithFds(s, junk, {});
        socks.push_back(s);
    }
    for (int s : socks) {
        EXPECT_TRUE(closedByServer(s));
        close(s);
    }
    EXPECT_EQ(mEcho->pingBinder(), NO_ERROR);
}

}  // namespace
}  // namespace platform_test
}  // namespace android
