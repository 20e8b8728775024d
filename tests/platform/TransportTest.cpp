// The transport between processes: every test forks an EchoService server.
#include <binder/IMemory.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <utils/String8.h>

#include <string>
#include <thread>
#include <vector>

#include "EchoService.h"
#include "RawClient.h"
#include "common/TestEnv.h"
#include "common/Wait.h"

namespace android {
namespace platform_test {
namespace {

class TransportTest : public testing::Test {
protected:
    void SetUp() override {
        mServer = startEchoServer();
        ASSERT_TRUE(mServer.running());
        mEcho = defaultServiceManager()->getService(String16(kEchoName));
        ASSERT_NE(mEcho, nullptr);
    }

    void TearDown() override {
        mEcho.clear();
        mServer.stop();
    }

    static void token(Parcel* p) { p->writeInterfaceToken(String16(kEchoDescriptor)); }

    int32_t call32(uint32_t code) {
        Parcel data, reply;
        token(&data);
        if (mEcho->transact(code, data, &reply) != NO_ERROR) return -1;
        return reply.readInt32();
    }

    tonvale_test::ChildGuard mServer;
    sp<IBinder> mEcho;
};

TEST_F(TransportTest, PingAndInterfaceDescriptor) {
    EXPECT_EQ(mEcho->pingBinder(), NO_ERROR);
    EXPECT_EQ(mEcho->localBinder(), nullptr);
    ASSERT_NE(mEcho->remoteBinder(), nullptr);
    EXPECT_EQ(mEcho->getInterfaceDescriptor(), String16(kEchoDescriptor));
    EXPECT_TRUE(mEcho->isBinderAlive());
    Parcel data, reply;
    EXPECT_EQ(mEcho->transact(0x00fffff0, data, &reply), UNKNOWN_TRANSACTION);
}

TEST_F(TransportTest, EveryValueTypeRoundTrips) {
    Parcel data, reply;
    token(&data);
    data.writeInt32(-123456);
    data.writeBool(true);
    data.writeFloat(0.75f);
    data.writeString8(String8("eight"));
    data.writeString16(String16("sixteen"));
    data.writeUtf8AsUtf16("com.exämple.日本語.🎵");
    ASSERT_EQ(mEcho->transact(ECHO, data, &reply), NO_ERROR);
    EXPECT_EQ(reply.readInt32(), -123456);
    EXPECT_TRUE(reply.readBool());
    EXPECT_EQ(reply.readFloat(), 0.75f);
    EXPECT_EQ(reply.readString8(), String8("eight"));
    EXPECT_EQ(reply.readString16(), String16("sixteen"));
    std::string s;
    EXPECT_EQ(reply.readUtf8FromUtf16(&s), NO_ERROR);
    EXPECT_EQ(s, "com.exämple.日本語.🎵");
    EXPECT_EQ(reply.dataAvail(), 0u);
}

TEST_F(TransportTest, WrongTokenIsRefusedWithEmptyReply) {
    Parcel data, reply;
    data.writeInterfaceToken(String16("tonvale.test.IOther"));
    data.writeInt32(1);
    EXPECT_EQ(mEcho->transact(ECHO, data, &reply), PERMISSION_DENIED);
    EXPECT_EQ(reply.dataSize(), 0u);
}

TEST_F(TransportTest, ServerObjectIsReleasedWhenTheProxyGoes) {
    {
        Parcel data, reply;
        token(&data);
        ASSERT_EQ(mEcho->transact(MAKE_OBJECT, data, &reply), NO_ERROR);
        sp<IBinder> obj = reply.readStrongBinder();
        ASSERT_NE(obj, nullptr);
        EXPECT_EQ(obj->pingBinder(), NO_ERROR);
        EXPECT_EQ(call32(ALIVE_OBJECTS), 1);
    }
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return call32(ALIVE_OBJECTS) == 0; }));
}

TEST_F(TransportTest, ServerObjectIsReleasedWhenTheClientExits) {
    tonvale_test::ChildGuard child(tonvale_test::forkProcess());
    if (child.pid() == 0) {
        sp<IBinder> echo = defaultServiceManager()->checkService(String16(kEchoName));
        if (echo == nullptr) _exit(2);
        Parcel data, reply;
        data.writeInterfaceToken(String16(kEchoDescriptor));
        if (echo->transact(MAKE_OBJECT, data, &reply) != NO_ERROR) _exit(3);
        sp<IBinder> obj = reply.readStrongBinder();
        if (obj == nullptr) _exit(4);
        _exit(obj->pingBinder() == NO_ERROR ? 0 : 5);  // exits still holding the proxy
    }
    ASSERT_EQ(child.wait(), 0);
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return call32(ALIVE_OBJECTS) == 0; }));
}

TEST_F(TransportTest, OwnObjectComesBackAsItself) {
    sp<BBinder> mine = new BBinder();
    Parcel data, reply;
    token(&data);
    data.writeStrongBinder(mine);
    ASSERT_EQ(mEcho->transact(RETURN_BINDER, data, &reply), NO_ERROR);
    EXPECT_EQ(reply.readStrongBinder(), sp<IBinder>(mine));
    // The server also hands back its own objects as the same proxy.
    Parcel d1, r1;
    token(&d1);
    ASSERT_EQ(mEcho->transact(MAKE_OBJECT, d1, &r1), NO_ERROR);
    sp<IBinder> obj = r1.readStrongBinder();
    Parcel d2, r2;
    token(&d2);
    d2.writeStrongBinder(obj);
    ASSERT_EQ(mEcho->transact(RETURN_BINDER, d2, &r2), NO_ERROR);
    EXPECT_EQ(r2.readStrongBinder(), obj);
}

class Doubler : public BBinder {
protected:
    status_t onTransact(uint32_t, const Parcel& data, Parcel* reply, uint32_t) override {
        return reply->writeInt32(data.readInt32() * 2);
    }
};

TEST_F(TransportTest, CallBackIntoTheWaitingCaller) {
    Parcel data, reply;
    token(&data);
    data.writeStrongBinder(new Doubler());
    data.writeInt32(21);
    ASSERT_EQ(mEcho->transact(CALL_BACK, data, &reply), NO_ERROR);
    EXPECT_EQ(reply.readInt32(), 42);
}

TEST_F(TransportTest, ClientObjectHeldByTheServerIsReleasedLater) {
    int alive = 0;
    class Watched : public BBinder {
    public:
        explicit Watched(int* a) : mA(a) { ++*mA; }
        ~Watched() override { --*mA; }
        int* mA;
    };
    {
        Parcel data, reply;
        token(&data);
        data.writeStrongBinder(new Watched(&alive));
        ASSERT_EQ(mEcho->transact(HOLD_BINDER, data, &reply), NO_ERROR);
    }
    EXPECT_EQ(alive, 1);  // the server holds it
    Parcel data, reply;
    token(&data);
    ASSERT_EQ(mEcho->transact(DROP_BINDERS, data, &reply), NO_ERROR);
    // The release frame is read by the next call on the connection.
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        call32(ALIVE_OBJECTS);
        return alive == 0;
    }));
}

TEST_F(TransportTest, FileDescriptorsTravelBothWays) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Parcel data, reply;
    token(&data);
    data.writeFileDescriptor(p[1]);
    ASSERT_EQ(mEcho->transact(FD_EXCHANGE, data, &reply), NO_ERROR);
    close(p[1]);
    char buf[32] = {};
    ASSERT_EQ(read(p[0], buf, sizeof(buf)), 12);
    EXPECT_STREQ(buf, "from server");
    close(p[0]);
    const int fd = reply.readFileDescriptor();
    ASSERT_GE(fd, 0);
    memset(buf, 0, sizeof(buf));
    ASSERT_EQ(read(fd, buf, sizeof(buf)), 12);
    EXPECT_STREQ(buf, "server pipe");
}

TEST_F(TransportTest, ClosedDescriptorFailsOnlyItsCall) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Parcel data, reply;
    token(&data);
    data.writeFileDescriptor(p[1]);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(mEcho->transact(FD_EXCHANGE, data, &reply), BAD_VALUE);
    EXPECT_EQ(mEcho->pingBinder(), NO_ERROR);
}

TEST_F(TransportTest, DumpWritesToTheDescriptorSent) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Vector<String16> args;
    args.add(String16("-a"));
    args.add(String16("x"));
    EXPECT_EQ(mEcho->dump(p[1], args), NO_ERROR);
    close(p[1]);
    char buf[64] = {};
    ASSERT_GT(read(p[0], buf, sizeof(buf) - 1), 0);
    EXPECT_STREQ(buf, "dump -a x\n");
    close(p[0]);
}

TEST_F(TransportTest, SharedMemoryIsVisibleBothWays) {
    Parcel data, reply;
    token(&data);
    ASSERT_EQ(mEcho->transact(GET_MEMORY, data, &reply), NO_ERROR);
    sp<IMemory> mem = interface_cast<IMemory>(reply.readStrongBinder());
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(mem->size(), 28u);
    uint8_t* p = static_cast<uint8_t*>(mem->pointer());
    ASSERT_NE(p, nullptr);
    p[25] = 0x5a;  // client -> server
    Parcel peek, peekReply;
    token(&peek);
    peek.writeInt32(25);
    ASSERT_EQ(mEcho->transact(PEEK, peek, &peekReply), NO_ERROR);
    EXPECT_EQ(peekReply.readInt32(), 0x5a);
    Parcel poke, pokeReply;
    token(&poke);
    poke.writeInt32(12);
    poke.writeInt32(0xa5);
    ASSERT_EQ(mEcho->transact(POKE, poke, &pokeReply), NO_ERROR);
    EXPECT_EQ(p[12], 0xa5);  // server -> client, read straight from the mapping
}

TEST_F(TransportTest, CallingPidAndUidAreTheCallers) {
    Parcel data, reply;
    token(&data);
    ASSERT_EQ(mEcho->transact(CALLER, data, &reply), NO_ERROR);
    EXPECT_EQ(reply.readInt32(), getpid());
    EXPECT_EQ(static_cast<uid_t>(reply.readInt32()), getuid());
    if (getuid() != 0) GTEST_SKIP() << "switching to another uid needs root";
    // The private test root is 0700; on a device only the socket directory's 0755 counts.
    ASSERT_EQ(chmod(tonvale_test::testRoot().c_str(), 0755), 0);
    tonvale_test::ChildGuard child(tonvale_test::forkProcess());
    if (child.pid() == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
        sp<IBinder> echo = defaultServiceManager()->checkService(String16(kEchoName));
        if (echo == nullptr) _exit(3);
        Parcel d, r;
        d.writeInterfaceToken(String16(kEchoDescriptor));
        if (echo->transact(CALLER, d, &r) != NO_ERROR) _exit(4);
        if (r.readInt32() != getpid()) _exit(5);
        _exit(r.readInt32() == 65534 ? 0 : 6);
    }
    EXPECT_EQ(child.wait(), 0);
}

// The identity of a call is that of the process that wrote it, frame by frame: a connection
// handed to another process (here with SCM_RIGHTS) speaks for that process, then for the
// first again when it writes.
TEST_F(TransportTest, AConnectionHandedToAnotherProcessSpeaksForIt) {
    Sockets socks;
    const int sock = socks.add(connectRaw(kEchoName));
    ASSERT_GE(sock, 0);
    Parcel data;
    token(&data);
    const std::vector<uint8_t> call = callFrame(CALLER, data);
    auto caller = [&call](int s, int32_t* pid, int32_t* uid) {
        hostbinder::FrameHeader h;
        std::vector<uint8_t> payload;
        if (!sendWithFds(s, call) || !readFrame(s, &h, &payload) || h.code != 0 ||
            payload.size() < 8) {
            return false;
        }
        memcpy(pid, payload.data(), 4);
        memcpy(uid, payload.data() + 4, 4);
        return true;
    };
    int32_t pid = 0, uid = 0;
    ASSERT_TRUE(caller(sock, &pid, &uid));
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(static_cast<uid_t>(uid), getuid());

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    socks.add(pair[0]);
    tonvale_test::ChildGuard child(tonvale_test::forkProcess());
    if (child.pid() == 0) {
        // Another uid too, where the test may switch.
        if (getuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
            _exit(2);
        }
        const int handed = receiveFd(pair[1]);
        if (handed < 0) _exit(3);
        int32_t p = 0, u = 0;
        if (!caller(handed, &p, &u)) _exit(4);
        _exit(p == getpid() && static_cast<uid_t>(u) == getuid() ? 0 : 5);
    }
    close(pair[1]);
    ASSERT_TRUE(sendWithFds(pair[0], {1}, {sock}));
    EXPECT_EQ(child.wait(), 0);
    ASSERT_TRUE(caller(sock, &pid, &uid));
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(static_cast<uid_t>(uid), getuid());
}

TEST_F(TransportTest, DeadServerGivesDeadObject) {
    mServer.stop();
    Parcel data, reply;
    token(&data);
    EXPECT_EQ(mEcho->transact(ECHO, data, &reply), DEAD_OBJECT);
    EXPECT_FALSE(mEcho->isBinderAlive());
    EXPECT_EQ(mEcho->pingBinder(), DEAD_OBJECT);
    // The socket it left behind answers null at once, and a new server takes the name.
    EXPECT_EQ(defaultServiceManager()->checkService(String16(kEchoName)), nullptr);
    mServer = startEchoServer();
    sp<IBinder> fresh = defaultServiceManager()->getService(String16(kEchoName));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->pingBinder(), NO_ERROR);
}

TEST_F(TransportTest, OversizedParcelFailsAndTheServerGoesOn) {
    Parcel data, reply;
    token(&data);
    std::vector<uint8_t> big(1024 * 1024 + 1, 0x11);
    data.write(big.data(), big.size());
    EXPECT_EQ(mEcho->transact(ECHO, data, &reply), FAILED_TRANSACTION);
    EXPECT_EQ(mEcho->pingBinder(), NO_ERROR);
}

TEST_F(TransportTest, ObjectOfAThirdProcessIsNotPassedOn) {
    tonvale_test::ChildGuard other = startEchoServer("platform.other");
    sp<IBinder> second = defaultServiceManager()->getService(String16("platform.other"));
    ASSERT_NE(second, nullptr);
    Parcel d1, r1;
    token(&d1);
    ASSERT_EQ(mEcho->transact(MAKE_OBJECT, d1, &r1), NO_ERROR);
    sp<IBinder> obj = r1.readStrongBinder();
    ASSERT_NE(obj, nullptr);
    Parcel d2, r2;
    token(&d2);
    d2.writeStrongBinder(obj);
    EXPECT_EQ(second->transact(RETURN_BINDER, d2, &r2), INVALID_OPERATION);
    EXPECT_EQ(second->pingBinder(), NO_ERROR);
    second.clear();
    other.stop();
}

TEST(ServiceManagerTest, NewRegistrationReplacesTheOldAndListsOnce) {
    tonvale_test::ChildGuard first = startEchoServer("platform.replace");
    sp<IBinder> a = defaultServiceManager()->getService(String16("platform.replace"));
    ASSERT_NE(a, nullptr);
    tonvale_test::ChildGuard second = startEchoServer("platform.replace");
    // The second server takes over the name; the first keeps serving who holds it.
    EXPECT_TRUE(tonvale_test::waitUntil([&] {
        sp<IBinder> b = defaultServiceManager()->checkService(String16("platform.replace"));
        Parcel d, r;
        d.writeInterfaceToken(String16(kEchoDescriptor));
        return b != nullptr && b->transact(CALLER, d, &r) == NO_ERROR && b != a;
    }));
    EXPECT_EQ(a->pingBinder(), NO_ERROR);
    Vector<String16> names = defaultServiceManager()->listServices();
    size_t count = 0;
    for (const auto& n : names) count += n == String16("platform.replace");
    EXPECT_EQ(count, 1u);
    first.stop();
    second.stop();
}

TEST(ServiceManagerTest, LocalRegistrationAnswersWithTheObjectItself) {
    sp<BBinder> local = new BBinder();
    ASSERT_EQ(defaultServiceManager()->addService(String16("platform.local"), local), NO_ERROR);
    EXPECT_EQ(defaultServiceManager()->checkService(String16("platform.local")), sp<IBinder>(local));
    struct stat st;
    const std::string path = tonvale_test::binderDir() + "/platform.local";
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(defaultServiceManager()->addService(String16("../x"), local), BAD_VALUE);
    EXPECT_EQ(defaultServiceManager()->addService(String16("x"), nullptr), UNEXPECTED_NULL);
}

TEST(ServiceManagerTest, MissingServiceAnswersNull) {
    EXPECT_EQ(defaultServiceManager()->checkService(String16("platform.none")), nullptr);
    const long long start = tonvale_test::nowMs();
    EXPECT_EQ(defaultServiceManager()->getService(String16("platform.none")), nullptr);
    EXPECT_GE(tonvale_test::nowMs() - start, 4000);  // getService waits, as on Android
}

TEST(ServiceManagerTest, ChildAfterForkStartsFresh) {
    // The parent uses binder first; the child must not reuse its connections or services.
    tonvale_test::ChildGuard server = startEchoServer("platform.forked");
    sp<IBinder> echo = defaultServiceManager()->getService(String16("platform.forked"));
    ASSERT_NE(echo, nullptr);
    ASSERT_EQ(echo->pingBinder(), NO_ERROR);
    tonvale_test::ChildGuard child(tonvale_test::forkProcess());
    if (child.pid() == 0) {
        // The inherited proxy belongs to the parent's state.
        if (echo->pingBinder() != DEAD_OBJECT) _exit(2);
        sp<IBinder> own = defaultServiceManager()->checkService(String16("platform.forked"));
        if (own == nullptr || own == echo) _exit(3);
        Parcel d, r;
        d.writeInterfaceToken(String16(kEchoDescriptor));
        if (own->transact(CALLER, d, &r) != NO_ERROR || r.readInt32() != getpid()) _exit(4);
        _exit(0);
    }
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(echo->pingBinder(), NO_ERROR);  // the parent's connection is untouched
    echo.clear();
    server.stop();
}

// A long-lived process stops asking the kernel for its pid on every call once it trusts a
// cheaper check; a child made by a raw clone (no atfork handlers run) must still start afresh.
TEST(ServiceManagerTest, ARawCloneChildOfABusyProcessStartsFresh) {
    tonvale_test::ChildGuard server = startEchoServer("platform.cloned");
    sp<IBinder> echo = defaultServiceManager()->getService(String16("platform.cloned"));
    ASSERT_NE(echo, nullptr);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(echo->pingBinder(), NO_ERROR);
    tonvale_test::ChildGuard child(static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0)));
    if (child.pid() == 0) {
        if (echo->pingBinder() != DEAD_OBJECT) _exit(2);
        sp<IBinder> own = defaultServiceManager()->checkService(String16("platform.cloned"));
        if (own == nullptr || own == echo) _exit(3);
        Parcel d, r;
        d.writeInterfaceToken(String16(kEchoDescriptor));
        if (own->transact(CALLER, d, &r) != NO_ERROR || r.readInt32() != getpid()) _exit(4);
        _exit(0);
    }
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(echo->pingBinder(), NO_ERROR);  // the parent's connection is untouched
    echo.clear();
    server.stop();
}

}  // namespace
}  // namespace platform_test
}  // namespace android
