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

/** Pids of the daemons started with this test process's HOSTBINDER_DIR. */
std::vector<pid_t> daemonPids();

/** SIGKILLs every daemon of this test process and waits until they are gone. */
void killDaemons();

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
