// tonvale --watch against a real daemon: every change once, in order, across a restart; a
// stuck watch holds up neither the service nor another watch; apps may not watch.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ToolHarness.h"
#include "common/TestEnv.h"
#include "interface/TonvaleClient.h"

namespace android {
namespace {

using tonvale_test::runTool;
using tonvale_test::Spawned;

const std::string kWatching = "{\"event\": \"watching\"}";

class WatchEndToEnd : public tonvale_test::DaemonTest {
protected:
    void expectLine(Spawned* watch, const std::string& want) {
        std::string line;
        ASSERT_TRUE(watch->readLine(&line)) << watch->out().transcript();
        EXPECT_EQ(want, line);
    }
};

TEST_F(WatchEndToEnd, EveryChangeOnceInOrderAcrossARestart) {
    Spawned watch(tonvale_test::toolPath(), {"--watch"});
    ASSERT_TRUE(watch.waitForLine(kWatching)) << watch.out().transcript();
    const std::vector<std::pair<std::vector<std::string>, std::string>> changes = {
        {{"--set-profile", "com.a", "0.5", "0.25", "1", "true", "false"},
         "\"profile_set\", \"seq\": 1, \"table\": \"process\", \"key\": \"com.a\", \"left\": 0.5, "
         "\"right\": 0.25, \"general\": 1, \"split_control\": true"},
        // Refused: no event, and no gap in the numbers.
        {{"--set-profile", "ab", "1", "1", "1", "false", "false"}, ""},
        {{"--unset-profile", "com.a", "false"},
         "\"profile_unset\", \"seq\": 2, \"table\": \"process\", \"key\": \"com.a\""},
        {{"--mute", "com.b", "true"},
         "\"muted\", \"seq\": 3, \"table\": \"package\", \"key\": \"com.b\""},
        {{"--unmute", "com.b", "true"},
         "\"unmuted\", \"seq\": 4, \"table\": \"package\", \"key\": \"com.b\""},
        {{"--def-silent", "true"}, "\"default_silent\", \"seq\": 5, \"value\": true"},
        {{"--weak-key", "true"}, "\"weak_key_adjust\", \"seq\": 6, \"value\": true"},
        {{"--def-profile", "0.2", "0.3", "0.4", "false"},
         "\"default_profile\", \"seq\": 7, \"left\": 0.2, \"right\": 0.3, \"general\": 0.4, "
         "\"split_control\": false"},
        {{"--clear"}, "\"cleared\", \"seq\": 8"},
    };
    for (const auto& [args, event] : changes) {
        SCOPED_TRACE(args[0]);
        runTool(args);
        if (!event.empty()) expectLine(&watch, "{\"event\": " + event + "}");
    }

    tonvale_test::killDaemons();
    expectLine(&watch, "{\"event\": \"daemon_died\"}");
    expectLine(&watch, "{\"event\": \"waiting\"}");
    startDaemon();
    expectLine(&watch, kWatching);
    runTool({"--mute", "com.c", "false"});
    expectLine(&watch,
               "{\"event\": \"muted\", \"seq\": 1, \"table\": \"process\", \"key\": \"com.c\"}");
    EXPECT_EQ(0, watch.stop(SIGINT));
}

TEST_F(WatchEndToEnd, AStuckWatchHoldsUpNoOneAndIsToldToResync) {
    Spawned stuck(tonvale_test::toolPath(), {"--watch"});
    Spawned live(tonvale_test::toolPath(), {"--watch"});
    ASSERT_TRUE(stuck.waitForLine(kWatching));
    ASSERT_TRUE(live.waitForLine(kWatching));
    ASSERT_EQ(0, kill(stuck.pid(), SIGSTOP));
    // Large changes (8 KiB as UTF-16 each): far more than a stuck listener is let queue.
    sp<ITonvale> service = getTonvale();
    ASSERT_NE(nullptr, service);
    const int kChanges = 120;
    for (int i = 1; i <= kChanges; ++i) {
        ASSERT_EQ(0, service->mute("com.big." + std::to_string(i) + std::string(4000, 'x'), true));
        std::string line;
        ASSERT_TRUE(live.readLine(&line)) << i;
        EXPECT_NE(std::string::npos, line.find("\"seq\": " + std::to_string(i) + ",")) << line;
    }

    // Once going again it drains what was let wait; the first change it can then take comes
    // after the marker. Changes go on until that happens (a drained pipe is not an event).
    ASSERT_EQ(0, kill(stuck.pid(), SIGCONT));
    int heard = 0;
    std::string line, marker;
    for (int i = kChanges + 1; marker.empty() && i <= kChanges + 50; ++i) {
        ASSERT_EQ(0, service->mute("com.after" + std::to_string(i), false));
        std::string seen;
        ASSERT_TRUE(live.readLine(&seen));
        while (marker.empty() && stuck.readLine(&line, 200)) {
            if (line.find("\"resync\"") != std::string::npos) {
                marker = line;
                ASSERT_TRUE(stuck.readLine(&line));
                EXPECT_EQ(seen, line);
            } else {
                ++heard;
            }
        }
    }
    EXPECT_EQ(0u, marker.find("{\"event\": \"resync\", \"seq\": ")) << marker;
    EXPECT_GT(heard, 0);
    EXPECT_LT(heard, kChanges);  // what waited for it was bounded
}

TEST_F(WatchEndToEnd, AppsMayNotWatch) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
    chmod(tonvale_test::testRoot().c_str(), 0755);  // let the other uid reach the transport
    tonvale_test::RunResult r = tonvale_test::runToolAs(65534, {"--watch"});
    if (r.status == 126) GTEST_SKIP() << "uid 65534 cannot run the tool from this build directory";
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("tonvale: watching needs root, system or the shell (Permission denied)\n", r.err);
}

}  // namespace
}  // namespace android
