#include "RawClient.h"

#include <dirent.h>
#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/TestEnv.h"
#include "platform/HostObjects.h"

namespace android {
namespace platform_test {

using hostbinder::FrameHeader;

void Sockets::closeAll() {
    for (int fd : mFds) close(fd);
    mFds.clear();
}

int connectRaw(const char* name) {
    const std::string path = tonvale_test::binderDir() + "/" + name;
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

FrameHeader txHeader(uint32_t dataSize, uint32_t objects, uint32_t fds) {
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

std::vector<uint8_t> bytesOf(const FrameHeader& h, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(sizeof(h) + payload.size());
    memcpy(out.data(), &h, sizeof(h));
    if (!payload.empty()) memcpy(out.data() + sizeof(h), payload.data(), payload.size());
    return out;
}

std::vector<uint8_t> callFrame(uint32_t code, const Parcel& data, uint32_t txId) {
    FrameHeader h = txHeader(static_cast<uint32_t>(data.dataSize()));
    h.code = code;
    h.txId = txId;
    std::vector<uint8_t> payload(hostbinder::paddedDataSize(h.dataSize), 0);
    memcpy(payload.data(), data.data(), data.dataSize());
    return bytesOf(h, payload);
}

std::vector<uint8_t> objectCallFrame(uint32_t code, const Parcel& data, uint32_t txId) {
    const uint32_t at = static_cast<uint32_t>(hostbinder::paddedDataSize(data.dataSize()));
    flat_binder_object object{};
    object.hdr_type = hostbinder::WIRE_BINDER;
    object.binder = 1;
    // The object, its stability word, and the offset table.
    const uint32_t size = at + sizeof(object) + sizeof(int32_t);
    std::vector<uint8_t> payload(size + sizeof(uint32_t), 0);
    memcpy(payload.data(), data.data(), data.dataSize());
    memcpy(payload.data() + at, &object, sizeof(object));
    memcpy(payload.data() + size, &at, sizeof(at));
    FrameHeader h = txHeader(size, 1);
    h.code = code;
    h.txId = txId;
    return bytesOf(h, payload);
}

bool sendWithFds(int sock, const std::vector<uint8_t>& bytes, const std::vector<int>& fds) {
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
    ssize_t n;
    do {
        n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(bytes.size())) return true;
    if (n <= 0) return false;
    // The rest, without the descriptors (they went with the first byte).
    size_t sent = static_cast<size_t>(n);
    while (sent < bytes.size()) {
        n = send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int receiveFd(int sock) {
    char byte;
    struct iovec iov = {&byte, 1};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    struct cmsghdr* c = n > 0 ? CMSG_FIRSTHDR(&msg) : nullptr;
    if (c == nullptr || c->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    memcpy(&fd, CMSG_DATA(c), sizeof(fd));
    return fd;
}

namespace {

bool readExactly(int sock, void* buf, size_t len, int timeoutMs) {
    size_t got = 0;
    while (got < len) {
        struct pollfd p = {sock, POLLIN, 0};
        const int r = poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = recv(sock, static_cast<uint8_t*>(buf) + got, len - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool readFrame(int sock, FrameHeader* h, std::vector<uint8_t>* payload, int timeoutMs) {
    if (!readExactly(sock, h, sizeof(*h), timeoutMs)) return false;
    if (hostbinder::validateFrameHeader(*h) != NO_ERROR) return false;
    payload->assign(hostbinder::framePayloadSize(*h), 0);
    return payload->empty() || readExactly(sock, payload->data(), payload->size(), timeoutMs);
}

bool closedByServer(int sock) {
    char buf[4096];
    for (;;) {
        struct pollfd p = {sock, POLLIN, 0};
        const int r = poll(&p, 1, 10000);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = recv(sock, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool peerHungUp(int sock) {
    struct pollfd p = {sock, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

size_t unread(int sock) {
    int n = 0;
    return ioctl(sock, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

size_t untaken(int sock) {
    int n = 0;
    return ioctl(sock, SIOCOUTQ, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

size_t openFds(pid_t pid) {
    size_t n = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return 0;
    while (struct dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

size_t residentKb(pid_t pid) {
    const std::string status = tonvale_test::readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    if (at == std::string::npos) return 0;
    return static_cast<size_t>(strtoul(status.c_str() + at + 6, nullptr, 10));
}

}  // namespace platform_test
}  // namespace android
