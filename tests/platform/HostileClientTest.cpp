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
#include "common/TestEnv.h"
#include "platform/HostFrame.h"
#include "platform/HostObjects.h"

namespace android {
namespace platform_test {
namespace {

using hostbinder::FrameHeader;

int connectRaw() {
    const std::string path = tonvale_test::binderDir() + "/" + kEchoName;
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

FrameHeader txHeader(uint32_t dataSize, uint32_t objects = 0, uint32_t fds = 0) {
    FrameHeader h{};
    h.magic = hostbinder::kFrameMagic;
    h.type = hostbinder::FRAME_TRANSACTION;
    h.txId = 7;
    h.code = IBinder::PING_TRANSACTION;
    h.dataSize = dataSize;
    h.objectCount = objects;
    h.fdCount = fds;
    return h;
}

std::vector<uint8_t> bytesOf(const FrameHeader& h, const std::vector<uint8_t>& payload = {}) {
    std::vector<uint8_t> out(sizeof(h) + payload.size());
    memcpy(out.data(), &h, sizeof(h));
    if (!payload.empty()) memcpy(out.data() + sizeof(h), payload.data(), payload.size());
    return out;
}

void sendWithFds(int sock, const std::vector<uint8_t>& bytes, const std::vector<int>& fds) {
    struct iovec iov = {const_cast<uint8_t*>(bytes.data()), bytes.size()};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<uint8_t> control(CMSG_SPACE(fds.size() * sizeof(int)));
    if (!fds.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
        memcpy(CMSG_DATA(c), fds.data(), fds.size() * sizeof(int));
    }
    sendmsg(sock, &msg, MSG_NOSIGNAL);
}

// True when the server closed the connection within five seconds.
bool closedByServer(int sock) {
    char buf[256];
    for (;;) {
        struct pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        const ssize_t n = recv(sock, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0) return false;
    }
}

size_t openFds(pid_t pid) {
    size_t n = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return 0;
    while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

class HostileClientTest : public testing::Test {
protected:
    void SetUp() override {
        mServer = startEchoServer();
        mEcho = defaultServiceManager()->getService(String16(kEchoName));
        ASSERT_NE(mEcho, nullptr);
        ASSERT_EQ(mEcho->pingBinder(), NO_ERROR);
        mBaseFds = openFds(mServer);
    }
    void TearDown() override {
        mEcho.clear();
        stopServer(mServer);
    }

    // Sends the frame on a fresh connection, expects it closed and the server still serving.
    void expectRejected(const std::vector<uint8_t>& bytes, const std::vector<int>& fds = {},
                        bool closeWriteSide = false) {
        const int sock = connectRaw();
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
    }

    pid_t mServer = -1;
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
    EXPECT_TRUE([&] {
        for (int i = 0; i < 500; ++i) {
            if (openFds(mServer) == mBaseFds) return true;
            usleep(10000);
        }
        return false;
    }()) << openFds(mServer)
         << " open, " << mBaseFds << " before";
}

TEST_F(HostileClientTest, GarbageFromManyClientsAtOnce) {
    std::vector<int> socks;
    for (int i = 0; i < 20; ++i) {
        const int s = connectRaw();
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
