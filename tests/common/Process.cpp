#include "common/Process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "common/Pipe.h"
#include "common/TestEnv.h"

extern char** environ;

namespace tonvale_test {

namespace {

/** This process's environment with the entries of env replacing or adding variables. */
std::vector<std::string> environmentWith(const std::vector<std::string>& env) {
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& o : env) replaced |= o.substr(0, o.find('=')) == name;
        if (!replaced) entries.push_back(entry);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>* words) {
    std::vector<char*> pointers;
    for (std::string& w : *words) pointers.push_back(&w[0]);
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

RunResult collectRun(pid_t pid, Pipe* out, Pipe* err, int timeoutMs) {
    RunResult result;
    ChildGuard child(pid);
    out->closeWrite();
    err->closeWrite();
    const long long deadline = nowMs() + timeoutMs;
    pollfd fds[2] = {{out->readEnd(), POLLIN, 0}, {err->readEnd(), POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = pid > 0 ? 2 : 0;
    while (open > 0 && nowMs() < deadline) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                sinks[i]->append(buf, n);
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    // Output closed: the program has ended or is about to. Still open: it is killed.
    if (open == 0) {
        int status = -1;
        if (waitExitWithin(child.pid(), timeoutMs, &status)) {
            child.release();
            result.status = status;
            return result;
        }
    }
    child.stop();
    return result;
}

namespace {

/** argv[0] is tonvale itself (any directory) and argv[1] is --service. */
bool isDaemonCommandLine(const std::string& cmdline) {
    const size_t end0 = cmdline.find('\0');
    if (end0 == std::string::npos) return false;
    const std::string program = cmdline.substr(0, end0);
    const size_t slash = program.rfind('/');
    const std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    return name == "tonvale" && cmdline.compare(end0 + 1, 10, std::string("--service\0", 10)) == 0;
}

std::string procFile(pid_t pid, const char* name) {
    return readFile("/proc/" + std::to_string(pid) + "/" + name);
}

}  // namespace

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

pid_t spawnProgram(const std::vector<std::string>& args, int outFd, int errFd,
                   const Launch& launch) {
    if (args.empty()) return -1;
    const std::string path = args[0];
    std::vector<std::string> words = args;
    if (!launch.argv0.empty()) words[0] = launch.argv0;
    std::vector<char*> argv = pointersTo(&words);
    std::vector<std::string> entries = environmentWith(launch.env);
    std::vector<char*> envp = pointersTo(&entries);

    if (launch.uid != kSameUid) {
        const pid_t parent = getpid();
        const pid_t pid = forkProcess();
        if (pid != 0) return pid;
        dieWithParent(parent);
        const uid_t uid = launch.uid;
        const int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0) _exit(126);
        if ((outFd >= 0 && dup2(outFd, 1) < 0) || (errFd >= 0 && dup2(errFd, 2) < 0)) _exit(126);
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
            setresuid(uid, uid, uid) != 0) {
            _exit(126);
        }
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

RunResult runProgram(const std::vector<std::string>& argv, int timeoutMs, const Launch& launch) {
    Pipe out, err;
    if (!out.ok() || !err.ok()) return RunResult();
    const pid_t pid = spawnProgram(argv, out.writeEnd(), err.writeEnd(), launch);
    return collectRun(pid, &out, &err, timeoutMs);
}

LineReader::~LineReader() {
    if (mFd >= 0) close(mFd);
}

LineReader::LineReader(LineReader&& other)
    : mFd(other.mFd), mBuffer(std::move(other.mBuffer)), mTranscript(std::move(other.mTranscript)) {
    other.mFd = -1;
}

LineReader& LineReader::operator=(LineReader&& other) {
    if (this != &other) {
        if (mFd >= 0) close(mFd);
        mFd = other.mFd;
        other.mFd = -1;
        mBuffer = std::move(other.mBuffer);
        mTranscript = std::move(other.mTranscript);
    }
    return *this;
}

bool LineReader::readLine(std::string* line, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        const size_t nl = mBuffer.find('\n');
        if (nl != std::string::npos) {
            *line = mBuffer.substr(0, nl);
            mBuffer.erase(0, nl + 1);
            mTranscript += *line + "\n";
            return true;
        }
        const long long left = deadline - nowMs();
        if (left <= 0 || mFd < 0) return false;
        pollfd fd = {mFd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
        char buf[1024];
        const ssize_t n = read(mFd, buf, sizeof(buf));
        if (n == 0 || (n < 0 && errno != EINTR)) return false;
        if (n > 0) mBuffer.append(buf, n);
    }
}

bool LineReader::waitForLine(const std::string& want, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    std::string line;
    while (readLine(&line, static_cast<int>(deadline - nowMs()))) {
        if (line == want) return true;
    }
    return false;
}

bool LineReader::waitForPrefix(const std::string& prefix, std::string* line, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    while (readLine(line, static_cast<int>(deadline - nowMs()))) {
        if (line->compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

Spawned::Spawned(const std::string& path, const std::vector<std::string>& args,
                 const Launch& launch) {
    Pipe out;
    if (!out.ok()) return;
    mChild = ChildGuard(spawnProgram(withLauncher(path, args), out.writeEnd(), -1, launch));
    mOut = LineReader(out.takeRead());
}

std::vector<pid_t> daemonPidsWith(const std::string& envEntry) {
    std::vector<pid_t> pids;
    const std::string entry = std::string(1, '\0') + envEntry + std::string(1, '\0');
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* e = readdir(proc)) {
        const pid_t pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        if (!isDaemonCommandLine(procFile(pid, "cmdline"))) continue;
        const std::string env = std::string(1, '\0') + procFile(pid, "environ");
        if (env.find(entry) == std::string::npos) continue;
        pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

std::string ownBinderEntry() {
    return "HOSTBINDER_DIR=" + binderDir();
}

void killDaemonsWith(const std::string& envEntry) {
    for (int round = 0; round < 100; ++round) {
        const std::vector<pid_t> pids = daemonPidsWith(envEntry);
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

DaemonGuard::DaemonGuard(std::vector<std::string> envEntries) : mEntries(std::move(envEntries)) {
    if (mEntries.empty()) mEntries.push_back(ownBinderEntry());
}

DaemonGuard::~DaemonGuard() {
    for (const std::string& entry : mEntries) killDaemonsWith(entry);
}

std::vector<std::pair<int, std::string>> fdTargets(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    std::vector<std::pair<int, std::string>> targets;
    for (const std::string& name : listDir(dir)) {
        char target[512];
        const ssize_t n = readlink((dir + name).c_str(), target, sizeof(target) - 1);
        targets.emplace_back(atoi(name.c_str()), n > 0 ? std::string(target, n) : std::string());
    }
    return targets;
}

}  // namespace tonvale_test
