#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "common/Pipe.h"
#include "common/Process.h"
#include "common/Service.h"

namespace tonvale_test {

/** Runs the tonvale tool with args (after $TONVALE_TEST_LAUNCHER) and collects it. */
RunResult runTool(const std::vector<std::string>& args, int timeoutMs = kLongWaitMs);

/** Runs the tool as another user (root only). */
RunResult runToolAs(uid_t uid, const std::vector<std::string>& args, int timeoutMs = kLongWaitMs);

/**
 * Runs `/bin/sh -c script` with env entries ("NAME=VALUE") replacing or adding variables;
 * $TONVALE is the tool's path.
 */
RunResult runShell(const std::string& script, const std::vector<std::string>& env = {},
                   int timeoutMs = kLongWaitMs);

/** Path of the tonvale tool. */
std::string toolPath();

/** Path of the demo audio client. */
std::string demoClientPath();

/** The tool started without waiting for it: several can run at once. */
class ToolRun {
public:
    explicit ToolRun(const std::vector<std::string>& args);
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    /** Collects the output and exit status (killing the tool after timeoutMs). */
    RunResult finish(int timeoutMs = kLongWaitMs);

private:
    ChildGuard mChild;  // killed and reaped when finish() was not called
    Pipe mOut;
    Pipe mErr;
};

/** Pids of the daemons started with this test process's rendezvous directory. */
std::vector<pid_t> daemonPids();

/** Kills those daemons and waits until they are gone. */
void killDaemons();

/**
 * A daemon of this test process's own, started fresh for each test on an empty settings
 * directory and killed after it, on every path.
 */
class DaemonTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { killDaemons(); }

    /** Starts the daemon with --force and waits until it answers; sets daemon. */
    void startDaemon();

    pid_t daemon = -1;
};

}  // namespace tonvale_test
