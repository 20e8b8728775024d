// The daemon as init runs it from tonvale.rc: in the foreground, in a session of its own,
// started again after a crash and stopped with SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "ToolHarness.h"
#include "common/SettingsFiles.h"
#include "common/TestEnv.h"
#include "interface/TonvaleClient.h"
#include "service/DeviceLayout.h"

namespace android {
namespace {

using tonvale_test::ChildGuard;
using tonvale_test::runTool;
using tonvale_test::settingsFiles;

/** tonvale.rc's command as init starts it, its output and errors read line by line. */
struct InitDaemon {
    tonvale_test::LineReader out;
    ChildGuard child;  // declared last: killed and reaped before its pipe closes
};

InitDaemon startAsInit() {
    InitDaemon daemon;
    tonvale_test::Pipe pipe;
    if (!pipe.ok()) return daemon;
    // setsid(1) makes the session and runs the tool in the same process, as init's child does.
    daemon.child = ChildGuard(tonvale_test::spawnProgram(
        {"/bin/sh", "-c", "exec setsid \"$0\" --service --foreground 2>&1", tonvale_test::toolPath()},
        pipe.writeEnd(), pipe.writeEnd()));
    daemon.out = tonvale_test::LineReader(pipe.takeRead());
    return daemon;
}

/**
 * Sends sig and returns the exit status once the child has ended (-1: a signal ended it, -2:
 * it still runs after the long wait).
 */
int stopWith(ChildGuard* child, int sig) {
    kill(child->pid(), sig);
    int status = -2;
    if (tonvale_test::waitExitWithin(child->pid(), tonvale_test::kLongWaitMs, &status)) {
        child->release();
    }
    return status;
}

/** Whether a new start would take the lock at once. */
bool lockIsFree() {
    const int fd = open(DeviceLayout::current().lockPath().c_str(), O_RDWR | O_CLOEXEC);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free;
}

/**
 * Holds the next open of a file in the settings directory (fanotify permission events, root
 * only) until release(): a rewrite under way, stopped in its tracks.
 */
class HeldOpen {
public:
    HeldOpen() : mFd(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC)) {
        if (mFd >= 0 && fanotify_mark(mFd, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD,
                                      AT_FDCWD, tonvale_test::settingsDir().c_str()) != 0) {
            release();
        }
    }
    ~HeldOpen() { release(); }
    bool ok() const { return mFd >= 0; }

    /** Waits until another process opens a file there; that open waits from then on. */
    bool waitForOpen() {
        pollfd ready = {mFd, POLLIN, 0};
        if (poll(&ready, 1, tonvale_test::kLongWaitMs) <= 0) return false;
        fanotify_event_metadata event;
        if (read(mFd, &event, sizeof(event)) != sizeof(event)) return false;
        mEventFd = event.fd;
        return true;
    }
    /** Lets the held open and every later one go on. */
    void release() {
        if (mEventFd >= 0) close(mEventFd);
        if (mFd >= 0) close(mFd);  // allows whatever is pending
        mEventFd = mFd = -1;
    }

private:
    int mFd;
    int mEventFd = -1;
};

/** Whether the process waits in a futex in its main thread, or has ended. */
bool waitsOrEnded(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string stat = tonvale_test::readFile(proc + "/stat");
    const size_t name = stat.rfind(')');
    if (name == std::string::npos || stat.compare(name + 2, 1, "Z") == 0) return true;
    const std::string call = tonvale_test::readFile(proc + "/syscall");
    return call.compare(0, call.find(' '), std::to_string(SYS_futex)) == 0;
}

class ServiceDaemonUnderInit : public testing::Test {
protected:
    // A daemon started by hand detaches; as its subreaper this process reaps it.
    static void SetUpTestSuite() { ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1)); }
    void SetUp() override { tonvale_test::clearSettingsDir(); }

    tonvale_test::DaemonGuard mDaemons;  // declared first, destroyed last
};

TEST_F(ServiceDaemonUnderInit, ServesAgainAfterACrashAndStopsCleanly) {
    // Rewrites cut short left these under pids that live now: init's and this process's.
    const std::set<std::string> temps = {
        std::string(".") + tonvale_test::kSwitchFile + ".tmp.1.0",
        std::string(".") + tonvale_test::kMutedFile + ".tmp." + std::to_string(getpid()) + ".4"};
    for (const std::string& name : temps) tonvale_test::putSettings(name, "x");
    tonvale_test::putSettings("notes.tmp.1.0", "x");

    InitDaemon daemon = startAsInit();
    ASSERT_TRUE(tonvale_test::waitForService()) << daemon.out.transcript();
    // The process init started is the daemon, with no fork, in its own session.
    EXPECT_EQ(std::vector<pid_t>{daemon.child.pid()}, tonvale_test::daemonPids());
    EXPECT_EQ(daemon.child.pid(), getsid(daemon.child.pid()));
    EXPECT_EQ(std::set<std::string>{"notes.tmp.1.0"}, settingsFiles());
    ASSERT_EQ(0, runTool({"--set-profile", "com.kept", "0.5", "0.5", "1", "false", "false"}).status);

    EXPECT_EQ(-1, stopWith(&daemon.child, SIGKILL));
    daemon = startAsInit();
    ASSERT_TRUE(tonvale_test::waitForService()) << daemon.out.transcript();
    EXPECT_EQ("0.5,0.5,1,0\n", runTool({"--get-profile", "com.kept", "false"}).out);

    EXPECT_EQ(0, stopWith(&daemon.child, SIGTERM));
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ServiceDaemonUnderInit, AStopDuringAChangeSavesItFirst) {
    InitDaemon daemon = startAsInit();
    ASSERT_TRUE(tonvale_test::waitForService()) << daemon.out.transcript();
    const sp<ITonvale> service = getTonvale();
    ASSERT_NE(nullptr, service);
    HeldOpen held;
    if (!held.ok()) GTEST_SKIP() << "no fanotify permission events here";
    std::thread change([&service] { service->setProfile("com.during", 0.25, 1, 1, false, false); });
    const bool underWay = held.waitForOpen();
    kill(daemon.child.pid(), SIGTERM);
    // The stop waits for the change under way rather than end the daemon in the middle of it.
    EXPECT_TRUE(underWay);
    EXPECT_TRUE(tonvale_test::waitUntil([&daemon] { return waitsOrEnded(daemon.child.pid()); }));
    held.release();
    EXPECT_EQ(0, stopWith(&daemon.child, 0));  // signal 0: it is stopping already
    change.join();
    EXPECT_TRUE(lockIsFree());
    // The file the change rewrote, and no temporary one.
    EXPECT_EQ(std::set<std::string>{tonvale_test::kProfileFile}, settingsFiles());

    daemon = startAsInit();
    ASSERT_TRUE(tonvale_test::waitForService()) << daemon.out.transcript();
    EXPECT_EQ("0.25,1,1,0\n", runTool({"--get-profile", "com.during", "false"}).out);
}

TEST_F(ServiceDaemonUnderInit, WaitsForADaemonStartedByHandThenTakesOver) {
    ASSERT_EQ(0, runTool({"--service"}).status);
    const std::vector<pid_t> byHand = tonvale_test::daemonPids();
    ASSERT_EQ(1u, byHand.size());
    const std::string waiting = "Tonvale Service: another daemon holds " +
                                DeviceLayout::current().lockPath() + "; taking over when it ends";
    {
        InitDaemon stopped = startAsInit();
        ASSERT_TRUE(stopped.out.waitForLine(waiting)) << stopped.out.transcript();
        EXPECT_EQ(0, stopWith(&stopped.child, SIGTERM));
    }

    InitDaemon daemon = startAsInit();
    ASSERT_TRUE(daemon.out.waitForLine(waiting)) << daemon.out.transcript();
    kill(byHand[0], SIGTERM);
    int status = -2;
    ASSERT_TRUE(tonvale_test::waitExitWithin(byHand[0], tonvale_test::kLongWaitMs, &status));
    EXPECT_EQ(0, status);
    EXPECT_TRUE(tonvale_test::waitUntil([&daemon] {
        return tonvale_test::daemonPids() == std::vector<pid_t>{daemon.child.pid()} &&
               tonvale_test::serviceAnswers();
    }));
}

}  // namespace
}  // namespace android
