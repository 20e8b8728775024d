#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/Child.h"
#include "common/Wait.h"

namespace tonvale_test {

/** What a program that ran to its end left. */
struct RunResult {
    int status = -1;  // exit status, -1 when killed or not started
    std::string out;
    std::string err;
};

/** Runs this uid's own programs (not another user's). */
constexpr uid_t kSameUid = static_cast<uid_t>(-1);

/** How to start a program: argv[0] (the path when empty), user and environment. */
struct Launch {
    std::string argv0;
    uid_t uid = kSameUid;
    /** "NAME=VALUE" entries that replace or add to this process's environment. */
    std::vector<std::string> env;
};

/** The words of $TONVALE_TEST_LAUNCHER (qemu-arm under the cross build), then path and args. */
std::vector<std::string> withLauncher(const std::string& path, const std::vector<std::string>& args);

/**
 * Starts argv[0] (a path) with the rest as arguments, standard input from /dev/null and its
 * output to outFd and errFd (-1: this process's own); -1 when it could not be started. As
 * another uid it forks, to drop privileges, and exits 126 when it cannot.
 */
pid_t spawnProgram(const std::vector<std::string>& argv, int outFd, int errFd,
                   const Launch& launch = Launch());

class Pipe;

/**
 * Reads a started child's output pipes until both close, then reaps it; kills it after
 * timeoutMs. Takes the child over whatever happens.
 */
RunResult collectRun(pid_t pid, Pipe* out, Pipe* err, int timeoutMs);

/** Runs argv to its end and collects its output; kills it after timeoutMs. */
RunResult runProgram(const std::vector<std::string>& argv, int timeoutMs = kLongWaitMs,
                     const Launch& launch = Launch());

/** Reads a descriptor line by line, with a deadline on each wait. */
class LineReader {
public:
    explicit LineReader(int fd = -1) : mFd(fd) {}
    ~LineReader();
    LineReader(LineReader&& other);
    LineReader& operator=(LineReader&& other);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    /** The next line, without its newline; false when none came within timeoutMs or at EOF. */
    bool readLine(std::string* line, int timeoutMs = kLongWaitMs);
    /** Reads lines until one equals want; false on timeout or EOF. */
    bool waitForLine(const std::string& want, int timeoutMs = kLongWaitMs);
    /** Reads lines until one starts with prefix and returns it; false on timeout or EOF. */
    bool waitForPrefix(const std::string& prefix, std::string* line, int timeoutMs = kLongWaitMs);
    /** Every line read so far, for failure messages. */
    const std::string& transcript() const { return mTranscript; }

private:
    int mFd;
    std::string mBuffer;
    std::string mTranscript;
};

/** A program started in the background with its standard output read line by line. */
class Spawned {
public:
    Spawned(const std::string& path, const std::vector<std::string>& args,
            const Launch& launch = Launch());

    pid_t pid() const { return mChild.pid(); }
    LineReader& out() { return mOut; }
    bool readLine(std::string* line, int timeoutMs = kLongWaitMs) {
        return mOut.readLine(line, timeoutMs);
    }
    bool waitForLine(const std::string& want, int timeoutMs = kLongWaitMs) {
        return mOut.waitForLine(want, timeoutMs);
    }
    /** Sends sig and returns the exit status (-1 when a signal ended it). */
    int stop(int sig) { return mChild.stop(sig); }

private:
    LineReader mOut;
    ChildGuard mChild;  // declared last: the child goes before its pipe closes
};

/**
 * Pids of the tonvale daemons (processes running tonvale itself with --service, not a wrapper)
 * whose environment holds envEntry, e.g. "HOSTBINDER_DIR=/x".
 */
std::vector<pid_t> daemonPidsWith(const std::string& envEntry);

/** The entry naming this test process's rendezvous directory. */
std::string ownBinderEntry();

/**
 * SIGKILLs those daemons and waits until they are gone; daemons that are children of this
 * process (it made itself their subreaper) are reaped.
 */
void killDaemonsWith(const std::string& envEntry);

/** Kills the daemons of its environment entries when it goes out of scope, on every path. */
class DaemonGuard {
public:
    /** Without entries: the daemons of this test process's rendezvous directory. */
    explicit DaemonGuard(std::vector<std::string> envEntries = {});
    ~DaemonGuard();
    DaemonGuard(const DaemonGuard&) = delete;
    DaemonGuard& operator=(const DaemonGuard&) = delete;

    void add(const std::string& envEntry) { mEntries.push_back(envEntry); }

private:
    std::vector<std::string> mEntries;
};

/** The targets of a process's open descriptors, by descriptor number. */
std::vector<std::pair<int, std::string>> fdTargets(pid_t pid);

}  // namespace tonvale_test
