#define LOG_TAG "KesService"

#include "tool/ServiceDaemon.h"

#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utils/String16.h>

#include <sstream>

#include "service/DeviceLayout.h"
#include "service/SettingsStore.h"
#include "service/Tonvale.h"

namespace android {

const char ServiceDaemon::kRunningMessage[] =
    "Tonvale native service is running, do not run multi instance";

namespace {

// What the daemon writes into the readiness pipe once it serves; anything else is the reason
// it gave up.
constexpr char kReady[] = "ready";

// Created as the host binder creates it when it registers a name.
void makeDirs(const std::string& dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
    }
}

// Where a rendezvous directory is the device, every daemon holds its own directory's lock file
// open, locked or not (--force), so a listed daemon belongs to this device exactly when it
// holds the same file.
bool holdsFile(pid_t pid, const struct stat& file) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (fds == nullptr) return false;
    bool found = false;
    while (dirent* e = readdir(fds)) {
        struct stat st;
        if (e->d_name[0] == '.' || stat((dir + "/" + e->d_name).c_str(), &st) != 0) continue;
        if (st.st_dev == file.st_dev && st.st_ino == file.st_ino) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

std::string errnoText(const std::string& what) {
    return what + ": " + strerror(errno);
}

// On stderr for a caller at a terminal, and in the log, which is all that init's daemon has.
void reportFailure(const std::string& reason) {
    fprintf(stderr, "Tonvale Service: %s\n", reason.c_str());
    ALOGE("Tonvale Service: %s", reason.c_str());
}

// Opens /dev/null on any standard descriptor that is closed, so that no file opened later
// (the lock) lands on 0, 1 or 2, which daemon() points at /dev/null.
void keepStandardDescriptorsOpen() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// The invoker's descriptors would outlive it in the daemon: a pipe it holds never sees EOF.
void closeInheritedDescriptors() {
    std::vector<int> inherited;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir)) {
            const int fd = atoi(e->d_name);
            if (fd > 2 && fd != dirfd(dir)) inherited.push_back(fd);
        }
        closedir(dir);
    } else {
        struct rlimit limit;
        const rlim_t top = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        for (rlim_t fd = 3; fd < top; ++fd) close(static_cast<int>(fd));
    }
    for (int fd : inherited) close(fd);
}

// Handlers do not survive exec, but ignored signals and the blocked mask do: a daemon started
// with SIGTERM ignored or SIGCHLD blocked would not behave as one started by init.
void resetSignals() {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0) continue;  // reserved by libc
        if ((old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_IGN) signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Relative values would be read after the daemon has moved to "/".
bool makeEnvAbsolute(const char* name, std::string* error) {
    const char* value = name != nullptr ? getenv(name) : nullptr;
    if (value == nullptr || value[0] == '\0' || value[0] == '/') return true;
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        *error = errnoText(std::string("cannot make $") + name + " absolute: getcwd");
        return false;
    }
    std::string absolute = cwd;
    free(cwd);
    if (absolute.back() != '/') absolute += '/';
    absolute += value;
    if (setenv(name, absolute.c_str(), 1) != 0) {
        *error = errnoText(std::string("cannot make $") + name + " absolute");
        return false;
    }
    return true;
}

int openLock(const DeviceLayout& layout, std::string* error) {
    const std::string path = layout.lockPath();
    const std::string rendezvous = layout.rendezvousDirectory();
    if (!rendezvous.empty()) makeDirs(rendezvous);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) *error = errnoText("cannot open the lock file " + path);
    return fd;
}

// Ids of the other daemons of this device in the process listing.
bool otherDaemons(const DeviceLayout& layout, int lockFd, std::vector<pid_t>* daemons,
                  std::string* error) {
    std::string listing;
    if (!ServiceDaemon::runcmd(layout.listingCommand, &listing, error)) return false;
    std::vector<pid_t> listed;
    if (!ServiceDaemon::parseListing(listing, getpid(), &listed, error)) return false;
    if (layout.rendezvousDirectory().empty()) {
        *daemons = listed;
        return true;
    }
    struct stat lock;
    if (fstat(lockFd, &lock) != 0) {
        *error = errnoText("cannot stat the lock file");
        return false;
    }
    for (pid_t pid : listed) {
        if (holdsFile(pid, lock)) daemons->push_back(pid);
    }
    return true;
}

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the invoker is gone; nobody is left to tell
        done += static_cast<size_t>(n);
    }
}

std::string readAll(int fd) {
    std::string text;
    char buf[256];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

std::string registrationError(status_t status) {
    std::string reason = "Tonvale Service registration error: ";
    // Most statuses are negated errno values; UNKNOWN_ERROR and its kin are not.
    reason += status < 0 && status > -4096 ? strerror(-status) : "status " + std::to_string(status);
    const std::string rendezvous = DeviceLayout::current().rendezvousDirectory();
    if (!rendezvous.empty()) reason += " (rendezvous directory " + rendezvous + ")";
    return reason;
}

// SIGTERM (init's stop and shutdown) and SIGINT stop the daemon. Blocked before any thread
// starts, so that every thread inherits the mask, they are read by the main thread from the
// returned signalfd: stopping is ordinary code there, and the wait costs no wake-up.
int blockStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) return -1;
    return signalfd(-1, &stop, SFD_CLOEXEC);
}

// The stop signal taken, or -1 (with errno) when the signalfd cannot be read.
int waitForStop(int stopFd) {
    for (;;) {
        signalfd_siginfo info;
        const ssize_t n = read(stopFd, &info, sizeof(info));
        if (n == sizeof(info)) return static_cast<int>(info.ssi_signo);
        if (n < 0 && errno == EINTR) continue;
        if (n >= 0) errno = EIO;
        return -1;
    }
}

// The kernel's ceiling for any descriptor limit (fs.nr_open); 0 when it cannot be read.
rlim_t descriptorCeiling() {
    FILE* f = fopen("/proc/sys/fs/nr_open", "re");
    if (f == nullptr) return 0;
    unsigned long long value = 0;
    if (fscanf(f, "%llu", &value) != 1) value = 0;
    fclose(f);
    return static_cast<rlim_t>(value);
}

// Every track costs the daemon a descriptor, and the registry sizes its per-uid caps from the
// limit it finds when it is made: raise it first, as far as allowed. Root may lift the hard
// limit up to the kernel's ceiling; anyone may lift the soft limit to the hard one.
void raiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t ceiling = geteuid() == 0 ? descriptorCeiling() : 0;
    if (ceiling > limit.rlim_max) {
        const struct rlimit raised = {ceiling, ceiling};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

enum class LockWait { kTaken, kStopped, kFailed };

struct LockWaiter {
    int lock;
    int done;  // receives 0, or the errno of a failed wait
};

void* takeLock(void* arg) {
    const LockWaiter waiter = *static_cast<LockWaiter*>(arg);
    delete static_cast<LockWaiter*>(arg);
    int err = 0;
    while (flock(waiter.lock, LOCK_EX) != 0) {
        if (errno != EINTR) {
            err = errno;
            break;
        }
    }
    if (write(waiter.done, &err, sizeof(err)) < 0) {
        // The reader is gone: the process is ending.
    }
    close(waiter.done);
    return nullptr;
}

// Takes the lock; while another daemon holds it, says so once and waits until it ends, unless
// a stop signal comes first. A thread of its own blocks on the lock, so that the main thread
// can take whichever event comes; it ends once it has the lock, or with the process.
LockWait waitForLock(int lock, int stopFd, const std::string& path, std::string* error) {
    if (flock(lock, LOCK_EX | LOCK_NB) == 0) return LockWait::kTaken;
    if (errno != EWOULDBLOCK) {
        *error = errnoText("cannot lock " + path);
        return LockWait::kFailed;
    }
    fprintf(stderr, "Tonvale Service: another daemon holds %s; taking over when it ends\n",
            path.c_str());
    ALOGI("Another daemon holds %s; taking over when it ends", path.c_str());
    int taken[2];
    if (pipe2(taken, O_CLOEXEC) != 0) {
        *error = errnoText("cannot wait for the lock");
        return LockWait::kFailed;
    }
    pthread_t thread;
    const int err = pthread_create(&thread, nullptr, takeLock, new LockWaiter{lock, taken[1]});
    if (err != 0) {
        close(taken[0]);
        close(taken[1]);
        *error = std::string("cannot wait for the lock: ") + strerror(err);
        return LockWait::kFailed;
    }
    pthread_detach(thread);
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {taken[0], POLLIN, 0}};
    while (poll(fds, 2, -1) < 0) {
        if (errno != EINTR) {
            *error = errnoText("cannot wait for the lock");
            return LockWait::kFailed;
        }
    }
    if (fds[0].revents != 0) return LockWait::kStopped;
    int waitErr = 0;
    const ssize_t n = read(taken[0], &waitErr, sizeof(waitErr));
    close(taken[0]);
    if (n != sizeof(waitErr) || waitErr != 0) {
        errno = n == sizeof(waitErr) ? waitErr : EIO;
        *error = errnoText("cannot lock " + path);
        return LockWait::kFailed;
    }
    return LockWait::kTaken;
}

// Tells the invoker through readyFd, or says on stderr when there is none (init's daemon).
void reportToInvoker(int readyFd, const std::string& text) {
    if (readyFd >= 0) {
        writeAll(readyFd, text);
    } else {
        fprintf(stderr, "%s\n", text.c_str());
    }
    if (text != kReady) ALOGE("%s", text.c_str());
}

// Makes the service, publishes it and serves until a stop signal; tells readyFd (when there is
// one) whether it serves. Returns only when it could not serve.
int serve(bool lockHeld, int readyFd, int stopFd) {
    // A peer that closes its end early must cost one failed write, not the daemon.
    signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    // Holding the lock, no other writer exists: whatever pid a temporary file names, often
    // this very daemon's after a reboot, its writer is gone.
    if (lockHeld) {
        SettingsStore::removeAbandonedTemps(SettingsStore::defaultDirectory(),
                                            SettingsStore::Writers::kAny);
    }

    const sp<Tonvale> service = new Tonvale();
    const status_t status =
        defaultServiceManager()->addService(String16(Tonvale::getServiceName()), service, false,
                                            IServiceManager::DUMP_FLAG_PRIORITY_DEFAULT);
    if (status != NO_ERROR) {
        reportToInvoker(readyFd, registrationError(status));
        return 1;
    }
    sp<IBinder> self = defaultServiceManager()->checkService(String16(Tonvale::getServiceName()));
    if (self == nullptr || self->pingBinder() != NO_ERROR) {
        reportToInvoker(readyFd,
                        "Tonvale Service registration error: the service manager does not "
                        "list the service");
        return 1;
    }
    self.clear();
    ProcessState::self()->startThreadPool();
    if (readyFd >= 0) {
        writeAll(readyFd, kReady);
        close(readyFd);
    }

    const int sig = waitForStop(stopFd);
    if (sig < 0) ALOGE("Cannot read the stop signals: %s; stopping", strerror(errno));
    ALOGI("Stopping on signal %d", sig);
    service->shutdown();
    fflush(nullptr);
    // The binder threads still run, so exit() would destroy statics under them. Every change
    // is saved or refused, and the lock goes with the process.
    _exit(sig < 0 ? 1 : 0);
}

// Detaches with daemon(0, 0) in a child and waits for the daemon's report.
int detachAndServe(bool lockHeld) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        perror("Tonvale Service Daemon creation error...\n");
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        perror("Tonvale Service Daemon creation error...\n");
        return 1;
    }
    if (child == 0) {
        close(ready[0]);
        if (daemon(0, 0) < 0) {
            perror("Tonvale Service Daemon creation error...\n");
            _exit(1);
        }
        const int stopFd = blockStopSignals();
        if (stopFd < 0) {
            writeAll(ready[1], errnoText("Tonvale Service: cannot take the stop signals"));
            return 1;
        }
        return serve(lockHeld, ready[1], stopFd);
    }
    close(ready[1]);
    const std::string report = readAll(ready[0]);
    close(ready[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;  // daemon() said why
    if (report == kReady) return 0;
    fprintf(stderr, "%s\n",
            report.empty() ? "Tonvale Service Daemon ended before it was ready" : report.c_str());
    return 1;
}

// init's daemon: this process serves, so that init sees it end.
int serveInForeground(const DeviceLayout& layout, int lock) {
    // As daemon() does: the daemon keeps no mount busy (the paths are absolute by now).
    if (chdir("/") != 0) {
        reportFailure(errnoText("cannot change to /"));
        return 1;
    }
    const int stopFd = blockStopSignals();
    if (stopFd < 0) {
        reportFailure(errnoText("cannot take the stop signals"));
        return 1;
    }
    std::string error;
    switch (waitForLock(lock, stopFd, layout.lockPath(), &error)) {
        case LockWait::kStopped:
            return 0;
        case LockWait::kFailed:
            reportFailure(error);
            return 1;
        case LockWait::kTaken:
            break;
    }
    return serve(true, -1, stopFd);
}

}  // namespace

bool ServiceDaemon::runcmd(const std::string& cmd, std::string* out, std::string* error) {
    out->clear();
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        *error = errnoText("popen error!");
        return false;
    }
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out->append(buf, n);
    const int status = pclose(pipe);
    if (status == -1) {
        *error = errnoText("\"" + cmd + "\": pclose");
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    *error = "\"" + cmd + "\" " +
             (WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                : "was killed by signal " + std::to_string(WTERMSIG(status)));
    return false;
}

bool ServiceDaemon::parseListing(const std::string& listing, pid_t self,
                                 std::vector<pid_t>* daemons, std::string* error) {
    std::vector<pid_t> found;
    std::istringstream lines(listing);
    std::string line;
    bool header = false;
    bool listsSelf = false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string pidText, state, program, argument;
        if (!(words >> pidText)) continue;
        if (!header) {
            if (pidText != "PID") {
                *error = "the process listing has no header line";
                return false;
            }
            header = true;
            continue;
        }
        words >> state >> program >> argument;
        char* end = nullptr;
        errno = 0;
        const long pid = strtol(pidText.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || pid <= 0 || pid != static_cast<pid_t>(pid)) {
            *error = "unexpected line in the process listing: " + line;
            return false;
        }
        if (pid == self) {
            listsSelf = true;
            continue;
        }
        // A daemon has been through daemon(), which makes it a session leader; an invocation
        // still deciding whether to start one is not (unless started so by init, as only one is).
        const size_t slash = program.rfind('/');
        const std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
        if (state.find('s') != std::string::npos && name == "tonvale" && argument == "--service") {
            found.push_back(static_cast<pid_t>(pid));
        }
    }
    if (!header || !listsSelf) {
        *error = header ? "the process listing does not show this process"
                        : "the process listing is empty";
        return false;
    }
    *daemons = std::move(found);
    return true;
}

int ServiceDaemon::run(int argc, char** argv) {
    const char* mode = argc > 2 ? argv[2] : "";
    const bool force = strcmp(mode, "--force") == 0;
    const bool foreground = strcmp(mode, "--foreground") == 0;
    keepStandardDescriptorsOpen();
    closeInheritedDescriptors();
    resetSignals();

    const DeviceLayout& layout = DeviceLayout::current();
    std::string error;
    if (!makeEnvAbsolute(layout.dataVariable, &error) ||
        !makeEnvAbsolute(layout.rendezvousVariable, &error)) {
        reportFailure(error);
        return 1;
    }
    // Kept open for the daemon's whole life, inherited across fork() and daemon().
    const int lock = openLock(layout, &error);
    if (lock < 0) {
        reportFailure(error);
        return 1;
    }
    if (foreground) return serveInForeground(layout, lock);
    if (force) {
        // Takes the lock when it is free; otherwise runs beside the daemon that holds it.
        return detachAndServe(flock(lock, LOCK_EX | LOCK_NB) == 0);
    }
    std::vector<pid_t> others;
    if (!otherDaemons(layout, lock, &others, &error)) {
        reportFailure("cannot tell whether a daemon runs: " + error);
        return 1;
    }
    if (!others.empty()) {
        puts(kRunningMessage);
        return 0;
    }
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            puts(kRunningMessage);
            return 0;
        }
        reportFailure(errnoText("cannot lock " + layout.lockPath()));
        return 1;
    }
    return detachAndServe(true);
}

}  // namespace android
