// Start-up of the daemon through the tool. On the host a device is its rendezvous directory,
// so each test process (its own HOSTBINDER_DIR) runs beside the others.
#include <binder/IServiceManager.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utils/String16.h>

#include <algorithm>

#include "ToolHarness.h"
#include "common/SettingsFileNames.h"
#include "common/TestEnv.h"

namespace android {
namespace {

using tonvale_test::DaemonGuard;
using tonvale_test::RunResult;
using tonvale_test::runShell;
using tonvale_test::runTool;
using tonvale_test::ToolRun;

const std::string kRunning = "Tonvale native service is running, do not run multi instance\n";

bool serviceAnswers() {
    sp<IBinder> binder = defaultServiceManager()->checkService(String16("tonvale"));
    return binder != nullptr && binder->pingBinder() == NO_ERROR;
}

std::string procStatusField(pid_t pid, const std::string& field) {
    const std::string status = tonvale_test::readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\n" + field + ":");
    if (at == std::string::npos) return "";
    const size_t begin = status.find_first_not_of(" \t", at + field.size() + 2);
    return status.substr(begin, status.find('\n', begin) - begin);
}

class ToolStartUp : public testing::Test {
protected:
    // Daemons detach from the tool that started them; as their subreaper this process gets
    // them back as children, so that every one is reaped.
    static void SetUpTestSuite() { ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1)); }

    // Declared first, destroyed last: whatever a test leaves running is killed and reaped.
    DaemonGuard mDaemons;
};

TEST_F(ToolStartUp, SingleInstanceAndForce) {
    RunResult first = runTool({"--service"});
    EXPECT_EQ(0, first.status) << first.err;
    EXPECT_EQ("", first.out);
    // Exit status 0 means the daemon already serves: no waiting for it.
    EXPECT_TRUE(serviceAnswers());
    EXPECT_EQ(1u, tonvale_test::daemonPids().size());

    RunResult second = runTool({"--service"});
    EXPECT_EQ(0, second.status);
    EXPECT_EQ(kRunning, second.out);
    RunResult other = runTool({"--service", "--other"});
    EXPECT_EQ(kRunning, other.out);
    EXPECT_EQ(1u, tonvale_test::daemonPids().size());

    RunResult forced = runTool({"--service", "--force"});
    EXPECT_EQ(0, forced.status) << forced.err;
    EXPECT_EQ("", forced.out);
    EXPECT_TRUE(serviceAnswers());
    EXPECT_EQ(2u, tonvale_test::daemonPids().size());
}

TEST_F(ToolStartUp, ListingStillSeesADaemonStartedWithForce) {
    ASSERT_EQ(0, runTool({"--service"}).status);
    const std::vector<pid_t> locked = tonvale_test::daemonPids();
    ASSERT_EQ(1u, locked.size());
    ASSERT_EQ(0, runTool({"--service", "--force"}).status);
    ASSERT_EQ(2u, tonvale_test::daemonPids().size());

    // The lock holder goes; the forced daemon serves on without the lock.
    kill(locked[0], SIGKILL);
    EXPECT_EQ(-1, tonvale_test::waitExit(locked[0]));
    RunResult again = runTool({"--service"});
    EXPECT_EQ(0, again.status);
    EXPECT_EQ(kRunning, again.out);
    EXPECT_EQ(1u, tonvale_test::daemonPids().size());
}

TEST_F(ToolStartUp, ConcurrentStartsLeaveExactlyOneDaemon) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        RunResult a, b;
        {
            ToolRun first({"--service"});
            // The second start lands at a different point of the first one's start each round
            // (0 to 27 ms later): the listing, the detaching and the registration.
            usleep(3000 * round);
            ToolRun second({"--service"});
            a = first.finish();
            b = second.finish();
        }
        EXPECT_EQ(0, a.status) << a.err;
        EXPECT_EQ(0, b.status) << b.err;
        // One started the daemon, the other saw it.
        EXPECT_EQ(kRunning, a.out + b.out);
        EXPECT_EQ(1u, tonvale_test::daemonPids().size());
        EXPECT_TRUE(serviceAnswers());
        tonvale_test::killDaemons();
    }
}

TEST_F(ToolStartUp, RendezvousDirectoriesAreSeparateDevices) {
    const std::string other = tonvale_test::testRoot() + "/binder2";
    mDaemons.add("HOSTBINDER_DIR=" + other);
    RunResult first = runTool({"--service"});
    EXPECT_EQ(0, first.status) << first.err;
    EXPECT_EQ("", first.out);

    const std::vector<std::string> env = {"HOSTBINDER_DIR=" + other};
    RunResult second = runShell("exec \"$TONVALE\" --service", env);
    EXPECT_EQ(0, second.status) << second.err;
    EXPECT_EQ("", second.out);
    EXPECT_EQ(1u, tonvale_test::daemonPids().size());
    EXPECT_EQ(1u, tonvale_test::daemonPidsWith(env[0]).size());

    // Each answers in its own directory.
    EXPECT_TRUE(serviceAnswers());
    RunResult status = runShell("exec \"$TONVALE\" --status", env);
    EXPECT_EQ(0, status.status) << status.err;
    EXPECT_NE(std::string::npos, status.out.find("Tonvale")) << status.out;
    RunResult again = runShell("exec \"$TONVALE\" --service", env);
    EXPECT_EQ(kRunning, again.out);
}

TEST_F(ToolStartUp, AStartThroughAWrapperIsNotRefused) {
    // The wrapper stays (the shell runs a second command) and carries the words
    // "tonvale --service" on its command line, listed before the tool itself.
    const std::string tool = tonvale_test::toolPath();
    RunResult viaShell = runShell(tool + " --service; exit $?");
    EXPECT_EQ(0, viaShell.status) << viaShell.err;
    EXPECT_EQ("", viaShell.out);
    EXPECT_EQ(1u, tonvale_test::daemonPids().size());
    EXPECT_TRUE(serviceAnswers());
    tonvale_test::killDaemons();

    RunResult viaTimeout = runShell("timeout 60 " + tool + " --service");
    EXPECT_EQ(0, viaTimeout.status) << viaTimeout.err;
    EXPECT_EQ("", viaTimeout.out);
    EXPECT_EQ(1u, tonvale_test::daemonPids().size());
    EXPECT_TRUE(serviceAnswers());
}

TEST_F(ToolStartUp, AFailedRegistrationIsReportedAndLeavesNoDaemon) {
    // A socket path over 107 bytes cannot be bound.
    const std::string longDir = tonvale_test::testRoot() + "/" + std::string(110, 'd');
    // A rendezvous directory that cannot be made: its parent is a file.
    const std::string blocked = tonvale_test::testRoot() + "/file";
    ASSERT_TRUE(tonvale_test::writeFile(blocked, "x"));
    for (const std::string& dir : {longDir, blocked + "/binder"}) {
        for (const char* force : {"", " --force"}) {
            SCOPED_TRACE(dir + force);
            const std::string entry = "HOSTBINDER_DIR=" + dir;
            DaemonGuard guard({entry});
            RunResult r = runShell("exec \"$TONVALE\" --service" + std::string(force), {entry});
            EXPECT_EQ(1, r.status);
            EXPECT_EQ("", r.out);
            EXPECT_NE(std::string::npos, r.err.find("Tonvale Service")) << r.err;
            EXPECT_NE(std::string::npos, r.err.find(dir)) << r.err;
            // Nothing stays behind, at once.
            EXPECT_TRUE(tonvale_test::daemonPidsWith(entry).empty());
        }
    }
}

TEST_F(ToolStartUp, RelativePathsAreTakenFromTheStartingDirectory) {
    const std::string cwd = tonvale_test::testRoot() + "/cwd";
    // Unique, since the old behaviour put it at the root of the file system.
    const std::string binder = "hb-relative-" + std::to_string(getpid());
    for (const char* dir : {"", "/data", "/data/misc", "/data/misc/tonvale"}) {
        ASSERT_EQ(0, mkdir((cwd + dir).c_str(), 0755)) << dir;
    }
    ASSERT_TRUE(tonvale_test::writeFile(cwd + "/data/misc/tonvale/" + tonvale_test::kMutedFile,
                                        "com.relative"));
    const std::vector<std::string> env = {"ANDROID_DATA=data", "HOSTBINDER_DIR=" + binder};
    mDaemons.add(env[1]);
    struct RootCleanup {
        std::string dir;
        ~RootCleanup() {
            for (const std::string& name : tonvale_test::listDir(dir))
                unlink((dir + "/" + name).c_str());
            rmdir(dir.c_str());
        }
    } rootCleanup{"/" + binder};

    RunResult start = runShell("cd " + cwd + " && exec \"$TONVALE\" --service", env);
    EXPECT_EQ(0, start.status) << start.err;
    EXPECT_TRUE(tonvale_test::fileExists(cwd + "/" + binder + "/tonvale"));
    EXPECT_FALSE(tonvale_test::fileExists("/" + binder));

    // The daemon read its settings where the relative path pointed when it started.
    RunResult muted = runShell("cd " + cwd + " && exec \"$TONVALE\" --list-muted", env);
    EXPECT_EQ(0, muted.status) << muted.err;
    EXPECT_NE(std::string::npos, muted.out.find("com.relative")) << muted.out;
}

TEST_F(ToolStartUp, InheritedDescriptorsAreNotKept) {
    // The daemon would hold the pipe to cat open through descriptor 7, and cat never end.
    RunResult r = runShell("( \"$TONVALE\" --service 7>&1 ) | cat", {}, 20000);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    const std::vector<pid_t> daemons = tonvale_test::daemonPids();
    ASSERT_EQ(1u, daemons.size());
    // Nothing above 2 that the daemon did not open itself: no pipe, no terminal.
    const std::string fdDir = "/proc/" + std::to_string(daemons[0]) + "/fd/";
    for (const std::string& fd : tonvale_test::listDir(fdDir)) {
        char target[256] = {};
        if (readlink((fdDir + fd).c_str(), target, sizeof(target) - 1) < 0) continue;
        if (atoi(fd.c_str()) <= 2) continue;
        EXPECT_NE(0, strncmp(target, "pipe:", 5)) << fd << " " << target;
    }
}

TEST_F(ToolStartUp, AMissingListingIsAFailure) {
    RunResult r = runShell("PATH=/nonexistent exec \"$TONVALE\" --service");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("cannot tell whether a daemon runs")) << r.err;
    EXPECT_TRUE(tonvale_test::daemonPids().empty());
    EXPECT_FALSE(serviceAnswers());
}

TEST_F(ToolStartUp, DaemonResetsInheritedSignalsAndRaisesItsDescriptorLimit) {
    // What the daemon inherits through exec: ignored signals, the blocked mask, the limits.
    struct Inherited {
        struct sigaction term, hup;
        sigset_t mask;
        struct rlimit files;
        Inherited() {
            struct sigaction ignore = {};
            ignore.sa_handler = SIG_IGN;
            sigaction(SIGTERM, &ignore, &term);
            sigaction(SIGHUP, &ignore, &hup);
            sigset_t block;
            sigemptyset(&block);
            sigaddset(&block, SIGUSR1);
            sigaddset(&block, SIGCHLD);
            sigprocmask(SIG_BLOCK, &block, &mask);
            getrlimit(RLIMIT_NOFILE, &files);
            struct rlimit low = files;
            low.rlim_cur = 256;
            setrlimit(RLIMIT_NOFILE, &low);
        }
        ~Inherited() {
            sigaction(SIGTERM, &term, nullptr);
            sigaction(SIGHUP, &hup, nullptr);
            sigprocmask(SIG_SETMASK, &mask, nullptr);
            setrlimit(RLIMIT_NOFILE, &files);
        }
    };
    rlim_t hard = 0;
    {
        Inherited inherited;
        hard = inherited.files.rlim_max;
        ASSERT_GT(hard, 256u);
        RunResult r = runTool({"--service"});
        ASSERT_EQ(0, r.status) << r.err;
    }
    const std::vector<pid_t> daemons = tonvale_test::daemonPids();
    ASSERT_EQ(1u, daemons.size());
    // Signals 1 to 31 only: libc reserves real-time ones (glibc refuses to change 32 and 33,
    // which its posix_spawn leaves ignored).
    const unsigned long long standard = (1ULL << 31) - 1;
    const unsigned long long ignored =
        strtoull(procStatusField(daemons[0], "SigIgn").c_str(), nullptr, 16) & standard;
    EXPECT_EQ(1ULL << (SIGPIPE - 1), ignored) << std::hex << ignored;
    // Only the stop signals are blocked: the daemon takes them itself.
    const unsigned long long blocked =
        strtoull(procStatusField(daemons[0], "SigBlk").c_str(), nullptr, 16) & standard;
    EXPECT_EQ((1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1)), blocked) << std::hex << blocked;
    // Up to the kernel's ceiling where this user may lift the hard limit (root with
    // CAP_SYS_RESOURCE, which a sandbox may withhold), else up to the hard limit.
    const rlim_t ceiling =
        strtoull(tonvale_test::readFile("/proc/sys/fs/nr_open").c_str(), nullptr, 10);
    auto lift = [ceiling] {
        const struct rlimit lifted = {ceiling, ceiling};
        return setrlimit(RLIMIT_NOFILE, &lifted) == 0 ? 0 : 1;
    };
    const bool mayLift = geteuid() == 0 && tonvale_test::inChild(lift) == 0;
    const rlim_t expected = mayLift ? std::max(hard, ceiling) : hard;
    struct rlimit files;
    ASSERT_EQ(0, prlimit(daemons[0], RLIMIT_NOFILE, nullptr, &files));
    EXPECT_EQ(expected, files.rlim_cur);
    EXPECT_EQ(expected, files.rlim_max);
    // SIGTERM stops it cleanly, as init stops its own.
    kill(daemons[0], SIGTERM);
    int status = -2;
    EXPECT_TRUE(tonvale_test::waitExitWithin(daemons[0], tonvale_test::kLongWaitMs, &status));
    EXPECT_EQ(0, status);
}

}  // namespace
}  // namespace android
