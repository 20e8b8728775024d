#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>

namespace tonvale_test {

/** Sends sig to a child and reaps it; its exit status, or -1 when a signal ended it. */
int stopChild(pid_t pid, int sig = SIGKILL);

/**
 * Waits up to timeoutMs for the child pid to end and reaps it. True with its exit status (-1
 * when a signal ended it, or when pid is not a child to wait for); false while it still runs.
 */
bool waitExitWithin(pid_t pid, int timeoutMs, int* status);

/** Waits until the child pid has ended, leaving it unreaped (a zombie); false on error. */
bool waitEndedUnreaped(pid_t pid);

/**
 * In a forked child: have the kernel kill it when the test process ends, crash included, so
 * that it never holds the test's output open. The forking thread must outlive the child.
 */
void dieWithParent(pid_t parent);

/** Runs fn in a forked child and returns its exit status (fn's return value). */
int inChild(const std::function<int()>& fn);

/** The pid of a process that has ended and been reaped. */
pid_t endedPid();

/** Owns a child process: kills and reaps it when it goes out of scope, on every path. */
class ChildGuard {
public:
    explicit ChildGuard(pid_t pid = -1) : mPid(pid) {}
    ~ChildGuard() { stop(); }
    ChildGuard(ChildGuard&& other) noexcept : mPid(other.mPid) { other.mPid = -1; }
    ChildGuard& operator=(ChildGuard&& other);
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;

    pid_t pid() const { return mPid; }
    bool running() const { return mPid > 0; }
    /** Sends sig, reaps the child and returns its exit status (-1 when none ran). */
    int stop(int sig = SIGKILL);
    /** Gives the child up without stopping it (it was reaped elsewhere); returns its pid. */
    pid_t release() {
        const pid_t pid = mPid;
        mPid = -1;
        return pid;
    }
    /** Waits for the child to end by itself and reaps it; its exit status (-1: a signal). */
    int wait();
    /** The exit status once the child has ended by itself (it is reaped), else -1. */
    int endedStatus();

private:
    pid_t mPid;
};

/**
 * A child running program (/bin/sleep by default) with argv[0] argv0 for a minute, once /proc
 * shows that name; not running() when it could not be started.
 */
ChildGuard startNamedChild(const std::string& argv0, const std::string& program = "/bin/sleep");

/** Polls /proc/<pid>/cmdline until its first argument reads expected; false on timeout. */
bool waitForCmdLine(pid_t pid, const std::string& expected);

}  // namespace tonvale_test
