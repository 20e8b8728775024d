// Fuzzes the decoders of the host binder: Parcel readers over arbitrary data, the frame
// validator, and whole frames sent to a live service socket of this process.
#include <binder/Binder.h>
#include <binder/IMemory.h>
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utils/String8.h>

#include <string>
#include <vector>

#include "platform/HostFrame.h"

namespace android {
namespace {

constexpr const char* kName = "fuzz.target";

void readEverything(const Parcel& p) {
    const size_t n = p.dataSize();
    for (int round = 0; round < 2; ++round) {
        p.setDataPosition(round == 0 ? 0 : (n > 4 ? 4 : 0));
        while (p.dataAvail() > 0) {
            const size_t before = p.dataPosition();
            switch (p.readInt32() & 15) {
                case 0:
                    p.readString8();
                    break;
                case 1:
                    p.readString16();
                    break;
                case 2: {
                    std::string s;
                    p.readUtf8FromUtf16(&s);
                    break;
                }
                case 3:
                    p.readStrongBinder();
                    break;
                case 4: {
                    std::vector<sp<IBinder>> v;
                    p.readStrongBinderVector(&v);
                    break;
                }
                case 5:
                    p.readFileDescriptor();
                    break;
                case 6:
                    p.enforceInterface(String16("fuzz.IFace"));
                    break;
                case 7:
                    p.readFloat();
                    p.readBool();
                    break;
                case 8:
                    p.readCString();
                    break;
                case 9:
                    p.readInplace(static_cast<size_t>(p.readInt32()));
                    break;
                default:
                    p.readInt64();
                    break;
            }
            if (p.dataPosition() <= before) break;
        }
    }
}

class Target : public BBinder {
protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        if (code == 1) {
            readEverything(data);
            sp<IBinder> b = data.readStrongBinder();
            if (b != nullptr) reply->writeStrongBinder(b);
            reply->writeInt32(static_cast<int32_t>(data.dataSize()));
            return NO_ERROR;
        }
        return BBinder::onTransact(code, data, reply, flags);
    }
};

std::string gPath;

void sendToService(const uint8_t* data, size_t size) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, gPath.c_str(), sizeof(addr.sun_path) - 1);
    int fd;
    for (;;) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) abort();
        if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) break;
        if (errno != EINTR) abort();
        close(fd);  // an interrupted connect may still complete; start over on a new socket
    }
    // A descriptor rides along with the first byte, for frames that announce one.
    const int spare = dup(STDERR_FILENO);
    struct iovec iov = {const_cast<uint8_t*>(data), size};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (size > 0 && (data[0] & 1)) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &spare, sizeof(int));
    }
    while (size > 0 && sendmsg(fd, &msg, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
    close(spare);
    shutdown(fd, SHUT_WR);
    char buf[4096];
    // libFuzzer's SIGALRM (every -timeout/2 + 1 s, so 601 s by default) interrupts these
    // calls; an interrupted wait is not a server that stopped answering.
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        const int r = poll(&p, 1, 10000);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) abort();  // the server must answer or hang up
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    close(fd);
}

}  // namespace
}  // namespace android

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fuzz-hostbinder-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    setenv("HOSTBINDER_DIR", dir, 1);
    android::gPath = std::string(dir) + "/" + android::kName;
    android::defaultServiceManager()->addService(android::String16(android::kName),
                                                 new android::Target());
    android::ProcessState::self()->startThreadPool();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0] % 3;
    data++;
    size--;
    if (mode == 0) {
        android::Parcel p;
        p.setData(data, size);
        android::readEverything(p);
    } else if (mode == 1) {
        android::hostbinder::validateFrame(data, size, size > 0 ? data[0] % 3 : 0);
    } else {
        android::sendToService(data, size);
    }
    return 0;
}
