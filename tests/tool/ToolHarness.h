#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tonvale_test {

struct RunResult {
    int status = -1;  // exit status, -1 when killed or not started
    std::string out;
    std::string err;
};

/** Runs the tonvale tool with args (prefixed with $TONVALE_TEST_LAUNCHER) and collects it. */
RunResult runTool(const std::vector<std::string>& args, int timeoutMs = 30000);

/** Runs the tool as another user (root only; -1 keeps the current uid). */
RunResult runToolAs(uid_t uid, const std::vector<std::string>& args, int timeoutMs = 30000);

/**
 * Runs `/bin/sh -c script` with env entries ("NAME=VALUE") replacing or adding variables;
 * $TONVALE is the tool's path.
 */
RunResult runShell(const std::string& script, const std::vector<std::string>& env = {},
                   int timeoutMs = 30000);

/** Path of the tonvale tool. */
std::string toolPath();

/** The tool started without waiting for it: several can run at once. */
class ToolRun {
public:
    explicit ToolRun(const std::vector<std::string>& args);
    /** Kills and reaps the tool when finish() was not called. */
    ~ToolRun();
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    /** Collects the output and exit status (killing the tool after timeoutMs). */
    RunResult finish(int timeoutMs = 30000);

private:
    pid_t mPid = -1;
    int mOut = -1;
    int mErr = -1;
};

/**
 * Pids of the daemons (processes running tonvale itself with --service, not a wrapper) whose
 * environment holds envEntry, e.g. "HOSTBINDER_DIR=/x". Without an entry, those started with
 * this test process's HOSTBINDER_DIR.
 */
std::vector<pid_t> daemonPids();
std::vector<pid_t> daemonPidsWith(const std::string& envEntry);

/**
 * SIGKILLs those daemons and waits until they are gone; daemons that are children of this
 * process (it made itself their subreaper) are reaped.
 */
void killDaemons();
void killDaemonsWith(const std::string& envEntry);

/**
 * Waits up to timeoutMs for the child pid to end and reaps it. True with its exit status (-1
 * when killed by a signal); false when it still runs.
 */
bool waitExitWithin(pid_t pid, int timeoutMs, int* status);

/** Kills the daemons of its environment entries when it goes out of scope, on every path. */
class DaemonGuard {
public:
    /** Without entries: the daemons of this test process's HOSTBINDER_DIR. */
    explicit DaemonGuard(std::vector<std::string> envEntries = {});
    ~DaemonGuard();
    DaemonGuard(const DaemonGuard&) = delete;
    DaemonGuard& operator=(const DaemonGuard&) = delete;

    void add(const std::string& envEntry) { mEntries.push_back(envEntry); }

private:
    std::vector<std::string> mEntries;
};

/** Polls the service manager until "tonvale" answers a ping; false after timeoutMs. */
bool waitForService(int timeoutMs = 10000);

/** A child process whose standard output is read line by line. */
class Spawned {
public:
    Spawned(const std::string& path, const std::vector<std::string>& args);
    ~Spawned();
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    pid_t pid() const { return mPid; }
    /** The next output line, without its newline; false when none came within timeoutMs. */
    bool readLine(std::string* line, int timeoutMs = 10000);
    /** Reads lines until one equals want; false on timeout. */
    bool waitForLine(const std::string& want, int timeoutMs = 10000);
    /** Sends sig and waits for the exit status (-1 when killed). */
    int stop(int sig);

private:
    pid_t mPid = -1;
    int mOut = -1;
    std::string mBuffer;
};

/** Path of the demo audio client. */
std::string demoClientPath();

}  // namespace tonvale_test
