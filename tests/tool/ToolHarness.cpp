#include "ToolHarness.h"

#include <binder/IServiceManager.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utils/String16.h>

#include <sstream>

#include "common/TestEnv.h"

extern char** environ;

namespace tonvale_test {

namespace {

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::vector<std::string> withLauncher(const std::string& path,
                                      const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (const char* launcher = getenv("TONVALE_TEST_LAUNCHER")) {
        std::istringstream words(launcher);
        std::string w;
        while (words >> w) argv.push_back(w);
    }
    argv.push_back(path);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

constexpr uid_t kSameUid = static_cast<uid_t>(-1);

/**
 * Starts args[0] with stdin from /dev/null and the environment envp (environ when null); as
 * another uid it forks, to drop privileges.
 */
pid_t spawn(const std::vector<std::string>& args, int outFd, int errFd, uid_t uid = kSameUid,
            char** envp = nullptr) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (envp == nullptr) envp = environ;
    if (uid != kSameUid) {
        pid_t pid = forkProcess();
        if (pid != 0) return pid;
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0) _exit(126);
        if ((outFd >= 0 && dup2(outFd, 1) < 0) || (errFd >= 0 && dup2(errFd, 2) < 0)) _exit(126);
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
            setresuid(uid, uid, uid) != 0) {
            _exit(126);
        }
        execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string readProcFile(pid_t pid, const char* name) {
    return readFile("/proc/" + std::to_string(pid) + "/" + name);
}

/** The two output pipes of a child: [0] read here, [1] given to the child. */
struct Pipes {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    Pipes() {
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) closeAll();
    }
    ~Pipes() { closeAll(); }
    bool ok() const { return out[0] >= 0 && err[0] >= 0; }
    void closeAll() {
        for (int* fd : {&out[0], &out[1], &err[0], &err[1]}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }
};

/** Reads the child's output until both pipes close, then reaps it; kills it after timeoutMs. */
RunResult collect(pid_t pid, Pipes* pipes, int timeoutMs) {
    RunResult result;
    for (int* fd : {&pipes->out[1], &pipes->err[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    const long long deadline = nowMs() + timeoutMs;
    pollfd fds[2] = {{pipes->out[0], POLLIN, 0}, {pipes->err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = pid > 0 ? 2 : 0;
    while (open > 0 && nowMs() < deadline) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                sinks[i]->append(buf, n);
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    pipes->closeAll();
    if (pid > 0) {
        if (open > 0) kill(pid, SIGKILL);
        result.status = waitExit(pid);
    }
    return result;
}

/** argv[0] is tonvale itself (any directory) and argv[1] is --service. */
bool isDaemonCommandLine(const std::string& cmdline) {
    const size_t end0 = cmdline.find('\0');
    if (end0 == std::string::npos) return false;
    const std::string program = cmdline.substr(0, end0);
    const size_t slash = program.rfind('/');
    const std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    return name == "tonvale" && cmdline.compare(end0 + 1, 10, std::string("--service\0", 10)) == 0;
}

}  // namespace

std::string demoClientPath() {
    return TONVALE_DEMO_PATH;
}

RunResult runTool(const std::vector<std::string>& args, int timeoutMs) {
    return runToolAs(kSameUid, args, timeoutMs);
}

RunResult runToolAs(uid_t uid, const std::vector<std::string>& args, int timeoutMs) {
    Pipes pipes;
    if (!pipes.ok()) return RunResult();
    pid_t pid = spawn(withLauncher(TONVALE_TOOL_PATH, args), pipes.out[1], pipes.err[1], uid);
    return collect(pid, &pipes, timeoutMs);
}

RunResult runShell(const std::string& script, const std::vector<std::string>& env, int timeoutMs) {
    std::vector<std::string> entries = {std::string("TONVALE=") + TONVALE_TOOL_PATH};
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& o : env) replaced |= o.substr(0, o.find('=')) == name;
        if (!replaced) entries.push_back(entry);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : entries) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    Pipes pipes;
    if (!pipes.ok()) return RunResult();
    pid_t pid = spawn({"/bin/sh", "-c", script}, pipes.out[1], pipes.err[1], kSameUid, envp.data());
    return collect(pid, &pipes, timeoutMs);
}

std::string toolPath() {
    return TONVALE_TOOL_PATH;
}

ToolRun::ToolRun(const std::vector<std::string>& args) {
    Pipes pipes;
    if (!pipes.ok()) return;
    mPid = spawn(withLauncher(TONVALE_TOOL_PATH, args), pipes.out[1], pipes.err[1]);
    mOut = pipes.out[0];
    mErr = pipes.err[0];
    pipes.out[0] = pipes.err[0] = -1;
}

ToolRun::~ToolRun() {
    if (mPid > 0) {
        kill(mPid, SIGKILL);
        waitExit(mPid);
    }
    if (mOut >= 0) close(mOut);
    if (mErr >= 0) close(mErr);
}

RunResult ToolRun::finish(int timeoutMs) {
    Pipes pipes;
    pipes.out[0] = mOut;
    pipes.err[0] = mErr;
    const pid_t pid = mPid;
    mPid = mOut = mErr = -1;
    return collect(pid, &pipes, timeoutMs);
}

std::vector<pid_t> daemonPids() {
    return daemonPidsWith("HOSTBINDER_DIR=" + binderDir());
}

std::vector<pid_t> daemonPidsWith(const std::string& envEntry) {
    std::vector<pid_t> pids;
    const std::string entry = envEntry + std::string(1, '\0');
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* e = readdir(proc)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        if (!isDaemonCommandLine(readProcFile(pid, "cmdline"))) continue;
        const std::string env = std::string(1, '\0') + readProcFile(pid, "environ");
        if (env.find(std::string(1, '\0') + entry) == std::string::npos) continue;
        pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

void killDaemons() {
    killDaemonsWith("HOSTBINDER_DIR=" + binderDir());
}

void killDaemonsWith(const std::string& envEntry) {
    for (int round = 0; round < 100; ++round) {
        std::vector<pid_t> pids = daemonPidsWith(envEntry);
        if (pids.empty()) return;
        for (pid_t pid : pids) {
            // A pidfd tells when a process that is not a child has ended.
#ifdef SYS_pidfd_open
            const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
            const int pidfd = -1;
#endif
            kill(pid, SIGKILL);
            // Reaped here when this process is the daemon's subreaper; otherwise init reaps it.
            pid_t r;
            do {
                r = waitpid(pid, nullptr, 0);
            } while (r < 0 && errno == EINTR);
            if (r < 0 && pidfd >= 0) {
                pollfd ended = {pidfd, POLLIN, 0};
                poll(&ended, 1, 5000);
            } else if (r < 0) {
                usleep(20000);  // no pidfd (old kernel): look again
            }
            if (pidfd >= 0) close(pidfd);
        }
    }
}

bool waitExitWithin(pid_t pid, int timeoutMs, int* status) {
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        int raw = 0;
        const pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid) {
            *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            return true;
        }
        if (r < 0 && errno != EINTR) {
            *status = -1;
            return true;  // not a child (any more): nothing left to wait for
        }
        const long long left = deadline - nowMs();
        if (left <= 0) return false;
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
            usleep(20000);  // no pidfd (old kernel): look again
        }
    }
}

DaemonGuard::DaemonGuard(std::vector<std::string> envEntries) : mEntries(std::move(envEntries)) {
    if (mEntries.empty()) mEntries.push_back("HOSTBINDER_DIR=" + binderDir());
}

DaemonGuard::~DaemonGuard() {
    for (const std::string& entry : mEntries) killDaemonsWith(entry);
}

bool waitForService(int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        android::sp<android::IBinder> binder =
            android::defaultServiceManager()->checkService(android::String16("tonvale"));
        if (binder != nullptr && binder->pingBinder() == android::NO_ERROR) return true;
        usleep(20000);
    }
    return false;
}

Spawned::Spawned(const std::string& path, const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    mPid = spawn(withLauncher(path, args), out[1], -1);
    close(out[1]);
    mOut = out[0];
}

Spawned::~Spawned() {
    if (mPid > 0) stop(SIGKILL);
    if (mOut >= 0) close(mOut);
}

bool Spawned::readLine(std::string* line, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        size_t nl = mBuffer.find('\n');
        if (nl != std::string::npos) {
            *line = mBuffer.substr(0, nl);
            mBuffer.erase(0, nl + 1);
            return true;
        }
        long long left = deadline - nowMs();
        if (left <= 0 || mOut < 0) return false;
        pollfd fd = {mOut, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
        char buf[1024];
        ssize_t n = read(mOut, buf, sizeof(buf));
        if (n == 0) return false;
        if (n > 0) mBuffer.append(buf, n);
    }
}

bool Spawned::waitForLine(const std::string& want, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    std::string line;
    while (nowMs() < deadline) {
        if (!readLine(&line, static_cast<int>(deadline - nowMs()))) return false;
        if (line == want) return true;
    }
    return false;
}

int Spawned::stop(int sig) {
    if (mPid <= 0) return -1;
    kill(mPid, sig);
    int status = waitExit(mPid);
    mPid = -1;
    return status;
}

}  // namespace tonvale_test
