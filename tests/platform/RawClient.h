// Raw clients of a service socket for the transport tests: hand-made frames, sockets read or
// left unread at will, and what the serving process holds.
#pragma once

#include <binder/Parcel.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/HostFrame.h"

namespace android {
namespace platform_test {

/** Raw sockets, closed on every path. */
class Sockets {
public:
    ~Sockets() { closeAll(); }
    int add(int fd) {
        if (fd >= 0) mFds.push_back(fd);
        return fd;
    }
    void closeAll();
    const std::vector<int>& fds() const { return mFds; }

private:
    std::vector<int> mFds;
};

/** Connects to a service socket of the test's rendezvous directory; -1 on failure. */
int connectRaw(const char* name);

/** A TRANSACTION header to node 0 (the service). */
hostbinder::FrameHeader txHeader(uint32_t dataSize, uint32_t objects = 0, uint32_t fds = 0);

/** Header and payload as one byte string. */
std::vector<uint8_t> bytesOf(const hostbinder::FrameHeader& h,
                             const std::vector<uint8_t>& payload = {});

/** A transaction frame carrying the plain data (no objects) of `data`. */
std::vector<uint8_t> callFrame(uint32_t code, const Parcel& data, uint32_t txId = 7);

/** A transaction frame: the plain data of `data`, then a binder of the sender (node 1). */
std::vector<uint8_t> objectCallFrame(uint32_t code, const Parcel& data, uint32_t txId = 7);

/** Receives one descriptor sent with SCM_RIGHTS; -1 when none came. */
int receiveFd(int sock);

/** Sends bytes in one message, the descriptors with them; false when not all went out. */
bool sendWithFds(int sock, const std::vector<uint8_t>& bytes, const std::vector<int>& fds = {});

/**
 * Reads one frame (header and payload), waiting at most `timeoutMs` for each part. False when
 * the stream ends, breaks or stays silent.
 */
bool readFrame(int sock, hostbinder::FrameHeader* h, std::vector<uint8_t>* payload,
               int timeoutMs = 10000);

/** True when the server closed the connection within ten seconds (bytes before it are read). */
bool closedByServer(int sock);

/** True when the peer has shut the connection down (seen even with unread bytes). */
bool peerHungUp(int sock);

/** Bytes waiting unread in a socket's receive queue. */
size_t unread(int sock);

/** Bytes this end sent that the peer has not read yet. */
size_t untaken(int sock);

/** Open descriptors and resident memory (KiB) of a process. */
size_t openFds(pid_t pid);
size_t residentKb(pid_t pid);

}  // namespace platform_test
}  // namespace android
