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

/** Starts args[0] with stdin from /dev/null; as another uid it forks, to drop privileges. */
pid_t spawn(const std::vector<std::string>& args, int outFd, int errFd, uid_t uid = kSameUid) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
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
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string readProcFile(pid_t pid, const char* name) {
    return readFile("/proc/" + std::to_string(pid) + "/" + name);
}

}  // namespace

std::string demoClientPath() {
    return TONVALE_DEMO_PATH;
}

RunResult runTool(const std::vector<std::string>& args, int timeoutMs) {
    return runToolAs(kSameUid, args, timeoutMs);
}

RunResult runToolAs(uid_t uid, const std::vector<std::string>& args, int timeoutMs) {
    RunResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    pid_t pid = spawn(withLauncher(TONVALE_TOOL_PATH, args), out[1], err[1], uid);
    close(out[1]);
    close(err[1]);
    const long long deadline = nowMs() + timeoutMs;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
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
    close(out[0]);
    close(err[0]);
    if (pid > 0) {
        if (open > 0) kill(pid, SIGKILL);
        result.status = waitExit(pid);
    }
    return result;
}

std::vector<pid_t> daemonPids() {
    std::vector<pid_t> pids;
    const std::string marker = "HOSTBINDER_DIR=" + binderDir();
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* e = readdir(proc)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::string cmd = readProcFile(pid, "cmdline");
        if (cmd.find(std::string("tonvale\0--service", 17)) == std::string::npos) continue;
        std::string env = readProcFile(pid, "environ");
        std::string entry = marker + std::string(1, '\0');
        if ((env + std::string(1, '\0')).find(entry) == std::string::npos) continue;
        pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

void killDaemons() {
    for (int round = 0; round < 100; ++round) {
        std::vector<pid_t> pids = daemonPids();
        if (pids.empty()) return;
        for (pid_t pid : pids) kill(pid, SIGKILL);
        usleep(20000);
    }
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
