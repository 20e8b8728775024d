#include "ToolHarness.h"

#include "common/Pipe.h"
#include "common/Service.h"
#include "common/TestEnv.h"

namespace tonvale_test {

std::string demoClientPath() {
    return TONVALE_DEMO_PATH;
}

std::string toolPath() {
    return TONVALE_TOOL_PATH;
}

RunResult runTool(const std::vector<std::string>& args, int timeoutMs) {
    return runProgram(withLauncher(TONVALE_TOOL_PATH, args), timeoutMs);
}

RunResult runToolAs(uid_t uid, const std::vector<std::string>& args, int timeoutMs) {
    Launch launch;
    launch.uid = uid;
    return runProgram(withLauncher(TONVALE_TOOL_PATH, args), timeoutMs, launch);
}

RunResult runShell(const std::string& script, const std::vector<std::string>& env, int timeoutMs) {
    Launch launch;
    launch.env = {std::string("TONVALE=") + TONVALE_TOOL_PATH};
    launch.env.insert(launch.env.end(), env.begin(), env.end());
    return runProgram({"/bin/sh", "-c", script}, timeoutMs, launch);
}

ToolRun::ToolRun(const std::vector<std::string>& args) {
    Pipe out, err;
    if (!out.ok() || !err.ok()) return;
    mChild = ChildGuard(
        spawnProgram(withLauncher(TONVALE_TOOL_PATH, args), out.writeEnd(), err.writeEnd()));
    mOut = std::move(out);
    mErr = std::move(err);
}

RunResult ToolRun::finish(int timeoutMs) {
    return collectRun(mChild.release(), &mOut, &mErr, timeoutMs);
}

std::vector<pid_t> daemonPids() {
    return daemonPidsWith(ownBinderEntry());
}

void killDaemons() {
    killDaemonsWith(ownBinderEntry());
}

void DaemonTest::SetUp() {
    killDaemons();
    clearSettingsDir();
    startDaemon();
}

void DaemonTest::startDaemon() {
    const RunResult r = runTool({"--service", "--force"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    ASSERT_TRUE(waitForService());
    const std::vector<pid_t> daemons = daemonPids();
    ASSERT_EQ(1u, daemons.size());
    daemon = daemons[0];
}

}  // namespace tonvale_test
