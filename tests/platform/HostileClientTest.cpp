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

    // Sends bytes[0, at) and waits until the server has read them, then the rest with fds:
    // the server sees the frame in two reads.
    static bool sendInTwoReads(int sock, const std::vector<uint8_t>& bytes, size_t at,
                               const std::vector<int>& fds = {}) {
        const std::vector<uint8_t> first(bytes.begin(), bytes.begin() + at);
        const std::vector<uint8_t> rest(bytes.begin() + at, bytes.end());
        return sendWithFds(sock, first, {}) &&
               tonvale_test::waitUntil([sock] { return untaken(sock) == 0; }) &&
               sendWithFds(sock, rest, fds);
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

// Sizes announced in a header, each over its own cap while the others hold. A header alone
// is sent: a server that let one through would wait for the rest instead of closing.
TEST_F(HostileClientTest, EachSizeCapOfTheHeaderHoldsOnItsOwn) {
    // Data and offset table together over the frame cap, each under its own.
    expectRejected(bytesOf(txHeader(hostbinder::kMaxFrameSize - sizeof(FrameHeader), 1024)));
    // Sizes that wrap to nothing in 32-bit arithmetic (the target's size_t).
    expectRejected(bytesOf(txHeader(0xfffffffe)));
    expectRejected(bytesOf(txHeader(0, 0x40000000)));
    // More descriptors than a frame may carry, each one named by an object.
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    auto withFds = [&](uint32_t n) {
        std::vector<std::pair<uint32_t, flat_binder_object>> recs;
        for (uint32_t i = 0; i < n; ++i) {
            recs.push_back({i * sizeof(flat_binder_object), record(hostbinder::WIRE_FD, i)});
        }
        const uint32_t size = n * sizeof(flat_binder_object);
        return bytesOf(txHeader(size, n, n), withRecords(size, recs));
    };
    const size_t cap = hostbinder::kMaxFrameFds;
    expectRejected(withFds(cap + 1), std::vector<int>(cap + 1, devnull));
    expectAccepted(withFds(cap), std::vector<int>(cap, devnull));
    close(devnull);
}

// Release and error frames carry only what they may; beside each bad one goes a sound one,
// followed by a ping on the same connection, which the server answers.
TEST_F(HostileClientTest, ReleaseAndErrorFramesCarryNothingElse) {
    auto release = [](uint32_t dataSize, uint32_t objects = 0, uint32_t fds = 0) {
        FrameHeader h = txHeader(dataSize, objects, fds);
        h.type = hostbinder::FRAME_RELEASE;
        h.code = 0;
        return h;
    };
    auto thenPing = [](std::vector<uint8_t> bytes) {
        const std::vector<uint8_t> ping = bytesOf(txHeader(0));
        bytes.insert(bytes.end(), ping.begin(), ping.end());
        return bytes;
    };
    const flat_binder_object null = record(hostbinder::WIRE_NULL);
    // Releases come as (node, count) pairs of 8 bytes, for nodes this server never exported.
    expectRejected(bytesOf(release(12), std::vector<uint8_t>(12, 0)));
    expectAccepted(thenPing(bytesOf(release(16), std::vector<uint8_t>(16, 0))));
    expectRejected(bytesOf(release(24, 1), withRecords(24, {{0, null}})));
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    const flat_binder_object fd0 = record(hostbinder::WIRE_FD, 0);
    expectRejected(bytesOf(release(24, 1, 1), withRecords(24, {{0, fd0}})), {devnull});
    close(devnull);
    // A failed reply carries its status alone.
    FrameHeader failed = txHeader(8);
    failed.type = hostbinder::FRAME_REPLY;
    failed.code = static_cast<uint32_t>(FAILED_TRANSACTION);
    expectRejected(bytesOf(failed, std::vector<uint8_t>(8, 0)));
    failed.dataSize = 0;
    expectAccepted(thenPing(bytesOf(failed)));
}

// Object records and descriptors that no other check stops, each beside its sound twin.
TEST_F(HostileClientTest, EachObjectCheckClosesTheConnectionOnItsOwn) {
    // An offset past the end of the data: the record would be read beyond the frame.
    std::vector<uint8_t> past(36, 0);
    const uint32_t pastOffset = 36;
    memcpy(past.data() + 32, &pastOffset, sizeof(pastOffset));
    expectRejected(bytesOf(txHeader(32, 1), past));
    // A node number over 32 bits, and the same node within them.
    expectRejected(bytesOf(
        txHeader(32, 1), withRecords(32, {{0, record(hostbinder::WIRE_BINDER, 1ull << 32 | 5)}})));
    expectAccepted(
        bytesOf(txHeader(32, 1), withRecords(32, {{0, record(hostbinder::WIRE_BINDER, 5)}})));
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    const flat_binder_object fd0 = record(hostbinder::WIRE_FD, 0);
    // A descriptor record with no descriptor sent.
    expectRejected(bytesOf(txHeader(32, 1, 0), withRecords(32, {{0, fd0}})));
    // Fewer descriptors than the header announces, each one named.
    expectRejected(bytesOf(txHeader(32, 1, 2), withRecords(32, {{0, fd0}})), {devnull});
    expectAccepted(bytesOf(txHeader(32, 1, 1), withRecords(32, {{0, fd0}})), {devnull});
    close(devnull);
}

// A frame split over two reads: the header is checked as soon as it is whole, descriptors
// come with the first byte of a frame, and one process may not finish another's frame.
TEST_F(HostileClientTest, AFrameSplitOverReadsIsCheckedAsAWhole) {
    const std::vector<uint8_t> ping = bytesOf(txHeader(0));
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    {
        // The sound twin: split after ten bytes, still answered.
        const int sock = connectRaw(kEchoName);
        ASSERT_GE(sock, 0);
        EXPECT_TRUE(sendInTwoReads(sock, ping, 10));
        FrameHeader h;
        std::vector<uint8_t> payload;
        EXPECT_TRUE(readFrame(sock, &h, &payload) && h.code == 0 && h.txId == 7);
        close(sock);
    }
    {
        // A header that announces more than the cap, sent in two parts: dropped at once.
        const int sock = connectRaw(kEchoName);
        ASSERT_GE(sock, 0);
        EXPECT_TRUE(sendInTwoReads(sock, bytesOf(txHeader(2 * 1024 * 1024)), 10));
        EXPECT_TRUE(closedByServer(sock));
        close(sock);
    }
    {
        // Descriptors that arrive with the middle of a frame.
        const int sock = connectRaw(kEchoName);
        ASSERT_GE(sock, 0);
        EXPECT_TRUE(sendInTwoReads(sock, ping, 10, {devnull}));
        EXPECT_TRUE(closedByServer(sock));
        close(sock);
    }
    close(devnull);
    {
        // A child begins the frame on the connection it shares, the parent ends it.
        const int sock = connectRaw(kEchoName);
        ASSERT_GE(sock, 0);
        const std::vector<uint8_t> first(ping.begin(), ping.begin() + 10);
        const std::vector<uint8_t> rest(ping.begin() + 10, ping.end());
        tonvale_test::ChildGuard child(tonvale_test::forkProcess());
        if (child.pid() == 0) _exit(sendWithFds(sock, first, {}) ? 0 : 1);
        ASSERT_EQ(child.wait(), 0);
        EXPECT_TRUE(tonvale_test::waitUntil([sock] { return untaken(sock) == 0; }));
        EXPECT_TRUE(sendWithFds(sock, rest, {}));
        EXPECT_TRUE(closedByServer(sock));
        close(sock);
    }
    EXPECT_EQ(mEcho->pingBinder(), NO_ERROR);
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

// What a stream cannot show: the frame check alone, on a frame whose buffer goes on with a
// sound record and whose length or header says more than it may.
TEST(FrameCheckTest, NothingBeyondTheFrameIsRead) {
    const flat_binder_object null = record(hostbinder::WIRE_NULL);
    // A record offset past the data, where the buffer happens to hold a sound record.
    std::vector<uint8_t> frame = bytesOf(txHeader(32, 1), std::vector<uint8_t>(36, 0));
    const uint32_t off = 36;
    memcpy(frame.data() + sizeof(FrameHeader) + 32, &off, sizeof(off));
    const size_t len = frame.size();
    frame.resize(len + sizeof(null));
    memcpy(frame.data() + len, &null, sizeof(null));
    EXPECT_EQ(BAD_VALUE, hostbinder::validateFrame(frame.data(), len, 0));
    // A length that does not match the header's sizes.
    const std::vector<uint8_t> ping = bytesOf(txHeader(8), std::vector<uint8_t>(12, 0));
    EXPECT_EQ(NO_ERROR, hostbinder::validateFrame(ping.data(), ping.size() - 4, 0));
    EXPECT_EQ(BAD_VALUE, hostbinder::validateFrame(ping.data(), ping.size(), 0));
    // A release that announces descriptors, though no record could name them.
    FrameHeader release = txHeader(8, 0, 1);
    release.type = hostbinder::FRAME_RELEASE;
    release.code = 0;
    EXPECT_EQ(BAD_VALUE, hostbinder::validateFrameHeader(release));
    release.fdCount = 0;
    EXPECT_EQ(NO_ERROR, hostbinder::validateFrameHeader(release));
}

}  // namespace
}  // namespace platform_test
}  // namespace android
