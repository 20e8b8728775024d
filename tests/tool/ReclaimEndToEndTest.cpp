// What clients make the real daemon hold, and that it gives it back: tracks of clients that
// die without releasing, the cap on an unprivileged caller's blocks, and a repeated request
// while the daemon has no descriptor left. Each test has its own ANDROID_DATA and
// HOSTBINDER_DIR and kills the daemons it started.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ToolHarness.h"
#include "common/Pipe.h"
#include "common/TestEnv.h"
#include "interface/ITonvale.h"
#include "registry/MemManager.h"

namespace android {
namespace {

using tonvale_test::RunResult;
using tonvale_test::runTool;
using tonvale_test::Spawned;

using tonvale_test::kSameUid;
using tonvale_test::waitUntil;

constexpr uid_t kNobody = 65534;

/** Descriptors of track heaps: ashmem regions (files under /tmp on the host) or memfds. */
size_t heapFds(pid_t pid) {
    size_t n = 0;
    for (const auto& [fd, link] : tonvale_test::fdTargets(pid)) {
        if (link.find("ashmem") != std::string::npos ||
            link.find("memfd:TNV Track Heap Base") != std::string::npos) {
            ++n;
        }
    }
    return n;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

/** playingcount from --ovr-status; -1 when the tool fails. */
int playingCount() {
    RunResult r = runTool({"--ovr-status"});
    const std::string key = "\"playingcount\": \"";
    const size_t at = r.out.find(key);
    if (r.status != 0 || at == std::string::npos) return -1;
    return atoi(r.out.c_str() + at + key.size());
}

/**
 * The scriptable client (BlockClient.cpp) on pipes, under the process name (argv[0]) given,
 * started as uid or as this process's.
 */
class CommandClient {
public:
    explicit CommandClient(const std::string& name, uid_t uid = kSameUid) {
        tonvale_test::Pipe in, out;
        if (!in.ok() || !out.ok()) return;
        const pid_t parent = getpid();
        const pid_t pid = tonvale_test::forkProcess();
        if (pid == 0) {
            tonvale_test::dieWithParent(parent);
            if (dup2(in.readEnd(), 0) < 0 || dup2(out.writeEnd(), 1) < 0) _exit(126);
            if (uid != kSameUid && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                                    setresuid(uid, uid, uid) != 0)) {
                _exit(126);
            }
            execl(TONVALE_BLOCK_CLIENT_PATH, name.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        mChild = tonvale_test::ChildGuard(pid);
        in.closeRead();
        out.closeWrite();
        mIn = std::move(in);
        mOut = tonvale_test::LineReader(out.takeRead());
        if (pid < 0) return;
        // Lines before "ready" are the client lookup's own messages.
        mReady = mOut.waitForLine("ready");
    }

    bool ready() const { return mReady; }
    pid_t pid() const { return mChild.pid(); }

    /** Sends one command and returns its answer; "" when none came. */
    std::string call(const std::string& command, int timeoutMs = 60000) {
        const std::string text = command + "\n";
        if (!mReady ||
            write(mIn.writeEnd(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            return "";
        }
        std::string line;
        return mOut.readLine(&line, timeoutMs) ? line : "";
    }

    /** Kills the client and returns its exit status (127: it could not be started). */
    int stop() { return mChild.stop(); }

    /** The exit status once it has ended by itself (as when exec failed), else -1. */
    int endedStatus() { return mChild.endedStatus(); }

private:
    tonvale_test::Pipe mIn;
    tonvale_test::LineReader mOut;
    bool mReady = false;
    tonvale_test::ChildGuard mChild;  // declared last: killed before its pipes close
};

class ReclaimEndToEnd : public tonvale_test::DaemonTest {
protected:
    size_t daemonFds() {
        return tonvale_test::listDir("/proc/" + std::to_string(daemon) + "/fd").size();
    }
};

TEST_F(ReclaimEndToEnd, ClientsKilledHoldingBlocksGiveThemBack) {
    constexpr int kDead = 500;
    constexpr int kBatch = 25;
    // Two clients stay, each under its own name (links to the demo client); their blocks
    // must live on and keep being updated.
    const std::string live1Name = tonvale_test::testRoot() + "/com.live.one";
    const std::string live2Name = tonvale_test::testRoot() + "/com.live.two";
    ASSERT_EQ(0, symlink(tonvale_test::demoClientPath().c_str(), live1Name.c_str()));
    ASSERT_EQ(0, symlink(tonvale_test::demoClientPath().c_str(), live2Name.c_str()));
    Spawned live1(live1Name, {"1", "1000"});
    Spawned live2(live2Name, {"2", "1000"});
    std::string line;
    ASSERT_TRUE(live1.readLine(&line)) << "no first live client";
    ASSERT_EQ(0u, line.find("track pid=")) << line;
    ASSERT_TRUE(live2.readLine(&line)) << "no second live client";
    ASSERT_EQ(0u, line.find("track pid=")) << line;
    ASSERT_EQ(2, playingCount());
    ASSERT_TRUE(waitUntil([&] { return heapFds(daemon) == 2; })) << heapFds(daemon);
    const size_t liveFds = daemonFds();

    for (int first = 0; first < kDead; first += kBatch) {
        std::vector<std::unique_ptr<Spawned>> batch;
        for (int i = first; i < first + kBatch; ++i) {
            batch.emplace_back(
                new Spawned(tonvale_test::demoClientPath(), {std::to_string(100 + i), "1000"}));
        }
        for (std::unique_ptr<Spawned>& client : batch) {
            ASSERT_TRUE(client->readLine(&line)) << "client " << client->pid() << " got no block";
            ASSERT_EQ(0u, line.find("track pid=")) << line;
        }
        for (std::unique_ptr<Spawned>& client : batch) client->stop(SIGKILL);  // never released
    }

    // The report counts only what lives, and the daemon closes what the dead ones held.
    EXPECT_EQ(2, playingCount());
    RunResult listing = runTool({"--list-buffers", "1"});
    EXPECT_NE(std::string::npos,
              listing.out.find("\"pid\": \"" + std::to_string(live1.pid()) + "\""));
    EXPECT_NE(std::string::npos,
              listing.out.find("\"pid\": \"" + std::to_string(live2.pid()) + "\""));
    EXPECT_EQ(2u, occurrences(listing.out, "\"session\"")) << listing.out;
    EXPECT_TRUE(waitUntil([&] { return heapFds(daemon) == 2; })) << heapFds(daemon);
    EXPECT_TRUE(waitUntil([&] { return daemonFds() <= liveFds + 2; }))
        << daemonFds() << " descriptors, " << liveFds << " with the live clients alone";

    // The live clients' blocks are still written.
    for (const std::string& name : {live1Name, live2Name}) {
        ASSERT_EQ(0, runTool({"--set-profile", name, "0.5", "0.5", "1", "false", "false"}).status);
    }
    const std::string want = "left=0.500000 right=0.500000 general=1.000000 muted=0";
    EXPECT_TRUE(live1.waitForLine(want));
    EXPECT_TRUE(live2.waitForLine(want));
}

TEST_F(ReclaimEndToEnd, UnprivilegedCallerGetsAtMostTheCap) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as uid 65534";
    chmod(tonvale_test::testRoot().c_str(), 0755);  // let the other uid reach the transport
    CommandClient nobody("com.greedy", kNobody);
    if (!nobody.ready()) {
        const int status = nobody.endedStatus();
        if (status == 126 || status == 127) {
            GTEST_SKIP() << "uid 65534 cannot run the client from this build directory";
        }
        FAIL() << "the unprivileged client did not start (status " << status << ")";
    }
    const std::string cap = std::to_string(MemManager::kMaxTracksPerAppPid);
    EXPECT_EQ("granted " + cap + " same 0", nobody.call("take 0 1000"));
    // Sessions it holds are not new tracks.
    EXPECT_EQ("granted " + cap + " same " + cap, nobody.call("take 0 " + cap));
    EXPECT_EQ("granted 0 same 0", nobody.call("take 5000 1"));
    // Each request is a hold: giving both back makes room for one.
    EXPECT_EQ("released 0", nobody.call("release 0"));
    EXPECT_EQ("granted 0 same 0", nobody.call("take 6000 3"));
    EXPECT_EQ("released 0", nobody.call("release 0"));
    EXPECT_EQ("granted 1 same 0", nobody.call("take 6000 3"));

    // A privileged caller is not capped.
    CommandClient root("com.audioserver");
    ASSERT_TRUE(root.ready());
    EXPECT_EQ("granted 100 same 0", root.call("take 0 100"));
    EXPECT_EQ("playing 2", root.call("ovr"));
    RunResult listing = runTool({"--list-buffers", "1"});
    EXPECT_NE(std::string::npos, listing.out.find("\"track_count\": " + cap + ",")) << listing.out;
    EXPECT_NE(std::string::npos, listing.out.find("\"track_count\": 100,")) << listing.out;
}

TEST_F(ReclaimEndToEnd, RepeatRequestWithoutDescriptorsReleasesNothing) {
    CommandClient a("com.a");
    CommandClient b("com.b");
    ASSERT_TRUE(a.ready());
    ASSERT_TRUE(b.ready());
    ASSERT_EQ("granted 1 same 0", a.call("take 1 1"));
    ASSERT_EQ("granted 1 same 0", b.call("take 1 1"));
    // Every path below runs once while descriptors are there, a heap's end included: UBSan's
    // type checks need one the first time they meet a type, and would end a sanitized daemon.
    ASSERT_EQ("granted 1 same 1", a.call("take 1 1"));
    ASSERT_EQ("granted 1 same 0", b.call("take 2 1"));
    ASSERT_EQ("released 0", b.call("release 2"));
    ASSERT_EQ("playing 2", a.call("ovr"));
    ASSERT_EQ("playing 2", b.call("ovr"));
    // The heap closes once B's handle to it is gone too.
    ASSERT_TRUE(waitUntil([&] { return heapFds(daemon) == 2; })) << heapFds(daemon);

    // No descriptor can be opened: the limit sits at the lowest free number.
    std::set<int> open;
    for (const std::string& name :
         tonvale_test::listDir("/proc/" + std::to_string(daemon) + "/fd")) {
        open.insert(atoi(name.c_str()));
    }
    int lowestFree = 0;
    while (open.count(lowestFree) != 0) ++lowestFree;
    struct rlimit saved;
    ASSERT_EQ(0, prlimit(daemon, RLIMIT_NOFILE, nullptr, &saved)) << strerror(errno);
    struct rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(0, prlimit(daemon, RLIMIT_NOFILE, &none, nullptr)) << strerror(errno);

    EXPECT_EQ("granted 1 same 1", a.call("take 1 1"));  // the same block, still its own
    EXPECT_EQ("granted 0 same 0", b.call("take 3 1"));  // needs a descriptor: fails alone
    EXPECT_EQ("playing 2", a.call("ovr"));
    EXPECT_EQ("playing 2", b.call("ovr"));

    ASSERT_EQ(0, prlimit(daemon, RLIMIT_NOFILE, &saved, nullptr)) << strerror(errno);
    EXPECT_EQ("granted 1 same 1", a.call("take 1 1"));
    EXPECT_EQ("granted 1 same 1", b.call("take 1 1"));
    EXPECT_EQ("granted 1 same 0", b.call("take 3 1"));
    EXPECT_EQ(2, playingCount());
    // Both registrations are intact: the service still writes their blocks.
    for (const char* name : {"com.a", "com.b"}) {
        ASSERT_EQ(0, runTool({"--set-profile", name, "0.25", "1", "1", "false", "false"}).status);
    }
    EXPECT_EQ("left=0.250000 muted=0", a.call("show 1"));
    EXPECT_EQ("left=0.250000 muted=0", b.call("show 3"));
}

// Listeners are a resource too: bounded per uid, and given back when their process dies.
TEST_F(ReclaimEndToEnd, ListenersAreBoundedPerUidAndGoWithTheirProcess) {
    CommandClient many("com.listens");
    CommandClient more("com.listens.more");
    ASSERT_TRUE(many.ready());
    ASSERT_TRUE(more.ready());
    const std::string all = std::to_string(ITonvale::kMaxListenersPerUid);
    EXPECT_EQ("listening 0", many.call("listen " + all));
    EXPECT_EQ("listening " + std::to_string(NO_MEMORY), more.call("listen 1"));
    ASSERT_EQ(-1, many.stop());
    EXPECT_TRUE(tonvale_test::waitUntil([&] { return more.call("listen 1") == "listening 0"; }));
}

}  // namespace
}  // namespace android
