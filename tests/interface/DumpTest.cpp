// The dump hook faces a descriptor chosen by the caller: only privileged callers get it, and a
// reader that is gone or never reads costs a bounded wait, never the process.
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utils/String16.h>

#include <chrono>
#include <future>
#include <string>

#include "ServiceHarness.h"
#include "common/TestEnv.h"
#include "service/FakeAccess.h"
#include "service/TonvaleTestUtil.h"

namespace android {
namespace {

/** Both ends of a pipe or socket pair, closed on every path. */
struct Ends {
    int read = -1;
    int write = -1;

    Ends() = default;
    Ends(Ends&& other) : read(other.read), write(other.write) { other.read = other.write = -1; }
    Ends(const Ends&) = delete;
    Ends& operator=(const Ends&) = delete;

    static Ends pipe() {
        int fds[2];
        Ends e;
        if (pipe2(fds, O_CLOEXEC) == 0) e.take(fds);
        return e;
    }
    static Ends socket() {
        int fds[2];
        Ends e;
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) e.take(fds);
        return e;
    }
    void take(const int fds[2]) {
        read = fds[0];
        write = fds[1];
    }
    void closeRead() {
        if (read >= 0) close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0) close(write);
        write = -1;
    }
    /** Fills the writing end until it would block; the end stays blocking. */
    void fill() {
        const int flags = fcntl(write, F_GETFL);
        fcntl(write, F_SETFL, flags | O_NONBLOCK);
        char chunk[4096] = {};
        while (::write(write, chunk, sizeof(chunk)) > 0) {
        }
        fcntl(write, F_SETFL, flags);
    }
    /** Everything readable now, once the writing end is closed. */
    std::string drain() {
        closeWrite();
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(read, buf, sizeof(buf))) > 0) all.append(buf, n);
        return all;
    }
    ~Ends() {
        closeRead();
        closeWrite();
    }
};

bool sigpipePending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

/**
 * Runs dump on another thread and waits for it far longer than its one-second bound; on a
 * hang, unblock() frees the writer so the test can fail instead of standing still.
 */
template <typename Dump, typename Unblock>
bool returnsInBoundedTime(Dump dump, Unblock unblock, status_t* result) {
    std::future<status_t> done = std::async(std::launch::async, dump);
    if (done.wait_for(std::chrono::seconds(20)) == std::future_status::ready) {
        *result = done.get();
        return true;
    }
    unblock();
    done.wait();
    return false;
}

class DumpHook : public TonvaleTestBase {
protected:
    void SetUp() override {
        TonvaleTestBase::SetUp();
        signal(SIGPIPE, SIG_DFL);  // a stray SIGPIPE must end this test, as it would a daemon
        service = makeTonvale(&access, std::make_shared<SettingsStore>(tonvale_test::settingsDir()));
    }

    /** The DUMP transaction as the platform sends it: the descriptor, then no arguments. */
    status_t dumpTransaction(int fd) {
        Parcel data, reply;
        data.writeFileDescriptor(fd);
        data.writeInt32(0);
        data.setDataPosition(0);
        return service->onTransact(IBinder::DUMP_TRANSACTION, data, &reply, 0);
    }

    FakeAccess* access = nullptr;
    sp<Tonvale> service;
};

TEST_F(DumpHook, AppsAreRefusedAndGetNothing) {
    Ends pipe = Ends::pipe();
    access->setCaller(getpid() + 1000, FakeAccess::kApp);
    EXPECT_EQ(PERMISSION_DENIED, dumpTransaction(pipe.write));
    EXPECT_EQ("", pipe.drain());
}

TEST_F(DumpHook, PrivilegedCallersGetTheStatus) {
    Ends pipe = Ends::pipe();
    access->setCaller(getpid() + 1000, FakeAccess::kAudioserver);
    EXPECT_EQ(NO_ERROR, dumpTransaction(pipe.write));
    EXPECT_EQ(0u, pipe.drain().find("Tonvale Status\n\nSelf pid = " + std::to_string(getpid())));
}

TEST_F(DumpHook, AReaderThatIsGoneDoesNotEndTheProcess) {
    for (auto make : {&Ends::pipe, &Ends::socket}) {
        Ends ends = make();
        ASSERT_GE(ends.write, 0);
        ends.closeRead();
        EXPECT_EQ(NO_ERROR, dumpTransaction(ends.write));
        EXPECT_FALSE(sigpipePending());
    }
    EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
}

TEST_F(DumpHook, AReaderThatNeverReadsHoldsTheThreadForABoundedTime) {
    for (auto make : {&Ends::pipe, &Ends::socket}) {
        Ends ends = make();
        ASSERT_GE(ends.write, 0);
        ends.fill();
        status_t result = UNKNOWN_ERROR;
        const int fd = ends.write;
        EXPECT_TRUE(returnsInBoundedTime([&] { return dumpTransaction(fd); }, [&] { ends.drain(); },
                                         &result));
        EXPECT_EQ(NO_ERROR, result);
    }
    EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
}

// The same through the transport, against a service in another process with the platform's
// own notion of the caller (this test's uid, which is the service's and so privileged).
class DumpOverBinder : public TonvaleTestBase {
protected:
    void SetUp() override {
        TonvaleTestBase::SetUp();
        server = tonvale_test::startTonvale();
        ASSERT_GT(server, 0);
        binder = defaultServiceManager()->checkService(String16("tonvale"));
        ASSERT_NE(nullptr, binder);
    }
    void TearDown() override { tonvale_test::stopService(server); }

    pid_t server = -1;
    sp<IBinder> binder;
};

TEST_F(DumpOverBinder, ClosedAndFullPipesLeaveTheServiceAnswering) {
    Ends closed = Ends::pipe();
    closed.closeRead();
    EXPECT_EQ(NO_ERROR, binder->dump(closed.write, Vector<String16>()));
    EXPECT_EQ(NO_ERROR, binder->pingBinder());

    Ends full = Ends::pipe();
    full.fill();
    status_t result = UNKNOWN_ERROR;
    EXPECT_TRUE(returnsInBoundedTime([&] { return binder->dump(full.write, Vector<String16>()); },
                                     [&] { full.drain(); }, &result));
    EXPECT_EQ(NO_ERROR, result);
    EXPECT_EQ(NO_ERROR, binder->pingBinder());

    Ends read = Ends::pipe();
    EXPECT_EQ(NO_ERROR, binder->dump(read.write, Vector<String16>()));
    EXPECT_EQ(0u, read.drain().find("Tonvale Status\n\nSelf pid = " + std::to_string(server)));
}

}  // namespace
}  // namespace android
