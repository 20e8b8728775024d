#include "common/Child.h"

#include <errno.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/TestEnv.h"
#include "common/Wait.h"

namespace tonvale_test {

namespace {

int exitStatus(int raw) {
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

/** The first argument of /proc/<pid>/cmdline. */
std::string firstArgument(pid_t pid) {
    const std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    return cmdline.substr(0, cmdline.find('\0'));
}

}  // namespace

int stopChild(pid_t pid, int sig) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    return waitExit(pid);
}

bool waitExitWithin(pid_t pid, int timeoutMs, int* status) {
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        int raw = 0;
        const pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid) {
            *status = exitStatus(raw);
            return true;
        }
        if (r < 0 && errno != EINTR) {
            *status = -1;
            return true;  // not a child (any more): nothing left to wait for
        }
        const long long left = deadline - nowMs();
        if (left <= 0) return false;
            // A pidfd tells when the child ends; without one (old kernel) look again shortly.
#ifdef SYS_pidfd_open
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
        const int pidfd = -1;
#endif
        if (pidfd >= 0) {
            pollfd ended = {pidfd, POLLIN, 0};
            poll(&ended, 1, static_cast<int>(left));
            close(pidfd);
        } else {
            usleep(5000);
        }
    }
}

bool waitEndedUnreaped(pid_t pid) {
    siginfo_t info;
    int r;
    do {
        r = waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    return r == 0;
}

void dieWithParent(pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(125);
}

int inChild(const std::function<int()>& fn) {
    const pid_t parent = getpid();
    const pid_t pid = forkProcess();
    if (pid == 0) {
        dieWithParent(parent);
        _exit(fn());
    }
    ChildGuard child(pid);
    int status = -1;
    return waitExitWithin(pid, kLongWaitMs, &status) ? status : -1;
}

pid_t endedPid() {
    const pid_t pid = forkProcess();
    if (pid == 0) _exit(0);
    waitExit(pid);
    return pid;
}

ChildGuard& ChildGuard::operator=(ChildGuard&& other) {
    if (this != &other) {
        stop();
        mPid = other.mPid;
        other.mPid = -1;
    }
    return *this;
}

int ChildGuard::stop(int sig) {
    const int status = stopChild(mPid, sig);
    mPid = -1;
    return status;
}

int ChildGuard::wait() {
    if (mPid <= 0) return -1;
    const int status = waitExit(mPid);
    mPid = -1;
    return status;
}

int ChildGuard::endedStatus() {
    if (mPid <= 0) return -1;
    int raw = 0;
    if (waitpid(mPid, &raw, WNOHANG) != mPid) return -1;
    mPid = -1;
    return exitStatus(raw);
}

ChildGuard startNamedChild(const std::string& argv0, const std::string& program) {
    const pid_t parent = getpid();
    const pid_t pid = forkProcess();
    if (pid == 0) {
        dieWithParent(parent);
        execl(program.c_str(), argv0.c_str(), "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    ChildGuard child(pid);
    if (pid < 0 || !waitForCmdLine(pid, argv0)) child.stop();
    return child;
}

bool waitForCmdLine(pid_t pid, const std::string& expected) {
    return waitUntil([&] { return firstArgument(pid) == expected; });
}

}  // namespace tonvale_test
