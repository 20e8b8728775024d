// What clients that die holding blocks cost the real daemon: its descriptors and resident
// memory before, and after 1,000 demo clients each took a block and were killed.
#include <binder/IServiceManager.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utils/String16.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "interface/TonvaleClient.h"

extern char** environ;

using namespace android;

namespace {

constexpr int kClients = 1000;
constexpr int kBatch = 50;

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

pid_t spawn(const std::vector<std::string>& args, int outFd) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

size_t openFds(pid_t pid) {
    size_t n = 0;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}

long rssKb(pid_t pid) {
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, "VmRSS:", 6) == 0) kb = atol(line + 6);
    }
    fclose(f);
    return kb;
}

int playingCount(const sp<ITonvale>& service) {
    const std::string text = service->getOvrStatus().string();
    const std::string key = "\"playingcount\": \"";
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : atoi(text.c_str() + at + key.size());
}

/** A demo client that has taken its block; killed without releasing it. */
struct Client {
    pid_t pid = -1;
    int out = -1;
};

bool startClient(int session, Client* client) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    client->pid = spawn({TONVALE_DEMO_PATH, std::to_string(session), "1000"}, fds[1]);
    close(fds[1]);
    client->out = fds[0];
    return client->pid > 0;
}

// True once the client printed its "track" line (it holds its block).
bool awaitBlock(const Client& client) {
    std::string text;
    const long long deadline = nowMs() + 20000;
    while (text.find('\n') == std::string::npos && nowMs() < deadline) {
        pollfd p = {client.out, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) continue;
        char buf[256];
        const ssize_t n = read(client.out, buf, sizeof(buf));
        if (n <= 0) break;
        text.append(buf, n);
    }
    return text.compare(0, 10, "track pid=") == 0;
}

void killClient(Client* client) {
    if (client->pid > 0) {
        kill(client->pid, SIGKILL);
        waitExit(client->pid);
    }
    if (client->out >= 0) close(client->out);
    *client = Client();
}

// Waits until value() stops falling for quietMs (connections of dead clients close on the
// daemon's own time); returns the last value.
size_t settle(const std::function<size_t()>& value, int quietMs = 500, int timeoutMs = 20000) {
    const long long deadline = nowMs() + timeoutMs;
    size_t last = value();
    long long since = nowMs();
    while (nowMs() < deadline && nowMs() - since < quietMs) {
        usleep(20000);
        const size_t now = value();
        if (now != last) {
            last = now;
            since = nowMs();
        }
    }
    return last;
}

}  // namespace

int main() {
    // 1,000 pipes and clients at once at most kBatch: the default limit is enough, but be safe.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    const pid_t starter = spawn({TONVALE_TOOL_PATH, "--service", "--force"}, -1);
    if (starter < 0 || waitExit(starter) != 0) {
        fprintf(stderr, "the daemon did not start\n");
        return 1;
    }
    sp<IBinder> binder;
    for (int i = 0; i < 500 && binder == nullptr; ++i) {
        binder = defaultServiceManager()->checkService(String16("tonvale"));
        if (binder == nullptr) usleep(10000);
    }
    if (binder == nullptr) {
        fprintf(stderr, "no service\n");
        return 1;
    }
    sp<ITonvale> service = interface_cast<ITonvale>(binder);
    std::string status = service->status().string();
    const pid_t daemon = atoi(status.substr(status.find("Self pid = ") + 11).c_str());
    if (daemon <= 0) return 1;

    // The baseline after one client came and went, so that what the first one sets up once
    // (threads, buffers) counts in both figures.
    Client warm;
    if (!startClient(0, &warm) || !awaitBlock(warm)) {
        fprintf(stderr, "the first client got no block\n");
        killClient(&warm);
        kill(daemon, SIGKILL);
        return 1;
    }
    killClient(&warm);
    playingCount(service);
    const size_t fdsBefore = settle([&] { return openFds(daemon); });
    const long rssBefore = rssKb(daemon);

    const long long start = nowMs();
    int granted = 0;
    for (int first = 1; first <= kClients; first += kBatch) {
        std::vector<Client> batch(kBatch);
        for (int i = 0; i < kBatch; ++i) startClient(first + i, &batch[i]);
        for (Client& client : batch) granted += awaitBlock(client) ? 1 : 0;
        for (Client& client : batch) killClient(&client);
    }
    const double seconds = static_cast<double>(nowMs() - start) / 1000.0;

    const int playing = playingCount(service);  // a report: releases what the dead held
    const size_t fdsAfter = settle([&] { return openFds(daemon); });
    const long rssAfter = rssKb(daemon);
    kill(daemon, SIGKILL);

    printf("clients that took a block: %d of %d in %.1f s\n", granted, kClients, seconds);
    printf("BENCH reclaim_daemon_fds_before %zu fds\n", fdsBefore);
    printf("BENCH reclaim_daemon_fds_after_%d_dead %zu fds\n", kClients, fdsAfter);
    printf("BENCH reclaim_daemon_rss_before %ld kB\n", rssBefore);
    printf("BENCH reclaim_daemon_rss_after_%d_dead %ld kB\n", kClients, rssAfter);
    printf("BENCH reclaim_playingcount_after_%d_dead %d tracks\n", kClients, playing);
    return granted == kClients ? 0 : 1;
}
