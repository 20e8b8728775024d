// The dump hook faces a descriptor chosen by the caller: only privileged callers get it, and a
// reader that is gone or never reads costs a bounded wait, never the process.
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <utils/String16.h>

#include <chrono>
#include <future>
#include <string>

#include "ServiceHarness.h"
#include "common/Child.h"
#include "common/FakeAccess.h"
#include "common/Pipe.h"
#include "common/SettingsFiles.h"
#include "common/TestEnv.h"

namespace android {
namespace {

using tonvale_test::Pipe;

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

class DumpHook : public tonvale_test::SettingsDirTest {
protected:
    void SetUp() override {
        SettingsDirTest::SetUp();
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
    Pipe pipe;
    access->setCaller(getpid() + 1000, FakeAccess::kApp);
    EXPECT_EQ(PERMISSION_DENIED, dumpTransaction(pipe.writeEnd()));
    EXPECT_EQ("", pipe.drain());
}

TEST_F(DumpHook, PrivilegedCallersGetTheStatus) {
    Pipe pipe;
    access->setCaller(getpid() + 1000, FakeAccess::kAudioserver);
    EXPECT_EQ(NO_ERROR, dumpTransaction(pipe.writeEnd()));
    EXPECT_EQ(0u, pipe.drain().find("Tonvale Status\n\nSelf pid = " + std::to_string(getpid())));
}

TEST_F(DumpHook, AReaderThatIsGoneDoesNotEndTheProcess) {
    for (bool socket : {false, true}) {
        Pipe ends = socket ? Pipe::socketPair() : Pipe();
        ASSERT_TRUE(ends.ok());
        ends.closeRead();
        EXPECT_EQ(NO_ERROR, dumpTransaction(ends.writeEnd()));
        EXPECT_FALSE(sigpipePending());
    }
    EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
}

TEST_F(DumpHook, AReaderThatNeverReadsHoldsTheThreadForABoundedTime) {
    for (bool socket : {false, true}) {
        Pipe ends = socket ? Pipe::socketPair() : Pipe();
        ASSERT_TRUE(ends.ok());
        ends.fill();
        status_t result = UNKNOWN_ERROR;
        const int fd = ends.writeEnd();
        EXPECT_TRUE(returnsInBoundedTime([&] { return dumpTransaction(fd); }, [&] { ends.drain(); },
                                         &result));
        EXPECT_EQ(NO_ERROR, result);
    }
    EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
}

// The same through the transport, against a service in another process with the platform's
// own notion of the caller (this test's uid, which is the service's and so privileged).
class DumpOverBinder : public tonvale_test::SettingsDirTest {
protected:
    void SetUp() override {
        SettingsDirTest::SetUp();
        server = tonvale_test::startTonvale();
        ASSERT_TRUE(server.running());
        binder = defaultServiceManager()->checkService(String16("tonvale"));
        ASSERT_NE(nullptr, binder);
    }

    tonvale_test::ChildGuard server;
    sp<IBinder> binder;
};

TEST_F(DumpOverBinder, ClosedAndFullPipesLeaveTheServiceAnswering) {
    Pipe closed;
    closed.closeRead();
    EXPECT_EQ(NO_ERROR, binder->dump(closed.writeEnd(), Vector<String16>()));
    EXPECT_EQ(NO_ERROR, binder->pingBinder());

    Pipe full;
    full.fill();
    status_t result = UNKNOWN_ERROR;
    EXPECT_TRUE(
        returnsInBoundedTime([&] { return binder->dump(full.writeEnd(), Vector<String16>()); },
                             [&] { full.drain(); }, &result));
    EXPECT_EQ(NO_ERROR, result);
    EXPECT_EQ(NO_ERROR, binder->pingBinder());

    Pipe read;
    EXPECT_EQ(NO_ERROR, binder->dump(read.writeEnd(), Vector<String16>()));
    EXPECT_EQ(0u, read.drain().find("Tonvale Status\n\nSelf pid = " + std::to_string(server.pid())));
}

}  // namespace
}  // namespace android
