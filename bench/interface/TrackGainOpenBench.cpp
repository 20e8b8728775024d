// Opening a track's block as a mixer does (TrackGain::open through a TonvaleHolder, on
// libtonvaleclient alone): with no daemon, beside the bare checkService lookup it makes, and
// with the daemon up, beside the bare getTrackCtlBlk transaction. Then the time from a daemon
// restart (SIGKILL, started again as init would) until a playing track's gains() follow a
// setting made through the new daemon, counted from the moment it answers.
#include <binder/IServiceManager.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utils/String16.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/BenchStats.h"
#include "interface/TrackGain.h"

extern char** environ;

using namespace android;

using tonvale_bench::micros;
using tonvale_bench::percentile;

namespace {

constexpr int kOpens = 300;
constexpr int kRestarts = 5;

using Clock = std::chrono::steady_clock;

/** Starts the daemon as the tool does; true once it answers. */
bool startDaemon() {
    char tool[] = TONVALE_TOOL_PATH;
    char service[] = "--service";
    char force[] = "--force";
    char* argv[] = {tool, service, force, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int rc = posix_spawn(&pid, tool, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0 && TonvaleHolder::find() != nullptr;
}

/** The daemon's pid, from its status text. */
int daemonPid() {
    const sp<ITonvale> service = TonvaleHolder::find();
    if (service == nullptr) return -1;
    const std::string status = service->status().string();
    const size_t at = status.find("Self pid = ");
    return at == std::string::npos ? -1 : atoi(status.c_str() + at + 11);
}

void print(const char* name, const std::vector<double>& us) {
    printf("BENCH %s_p50 %.1f us\n", name, percentile(us, 0.5));
    printf("BENCH %s_p99 %.1f us\n", name, percentile(us, 0.99));
}

}  // namespace

int main() {
    const int pid = getpid();
    const sp<TonvaleHolder> holder = new TonvaleHolder();
    if (TonvaleHolder::find() != nullptr) {
        fprintf(stderr, "a daemon already serves this rendezvous directory\n");
        return 1;
    }

    std::vector<double> absent, lookup;
    for (int i = 0; i < kOpens; ++i) {
        const sp<TrackGain> gain = new TrackGain(48000, TrackGain::Limit::UNITY);
        auto start = Clock::now();
        const status_t status = gain->open(holder, pid, i);
        absent.push_back(micros(Clock::now() - start));
        if (status != NO_INIT) return 1;
        start = Clock::now();
        const sp<IBinder> none = defaultServiceManager()->checkService(String16("tonvale"));
        lookup.push_back(micros(Clock::now() - start));
    }

    if (!startDaemon()) return 1;
    const sp<ITonvale> service = TonvaleHolder::find();
    std::vector<double> up, bare;
    for (int i = 0; i < kOpens; ++i) {
        const sp<TrackGain> gain = new TrackGain(48000, TrackGain::Limit::UNITY);
        auto start = Clock::now();
        const status_t status = gain->open(holder, pid, 10000 + i);
        up.push_back(micros(Clock::now() - start));
        if (status != NO_ERROR || gain->release() != NO_ERROR) return 1;
        start = Clock::now();
        const sp<IMemory> block = service->getTrackCtlBlk(pid, 20000 + i);
        bare.push_back(micros(Clock::now() - start));
        if (block == nullptr || service->releaseBufferFor(pid, 20000 + i) != 0) return 1;
    }

    // A playing track: the mixer reads it every 5 ms; each round sets a new default profile
    // through the restarted daemon and waits for the track to show it.
    const sp<TrackGain> track = new TrackGain(48000, TrackGain::Limit::UNITY);
    if (track->open(holder, pid, 1) != NO_ERROR) return 1;
    std::atomic<float> heard{-1.0f};
    std::atomic<bool> stop{false};
    std::thread mixer([&] {
        while (!stop) {
            heard = track->gains().left;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::vector<double> follow;
    for (int round = 1; round <= kRestarts; ++round) {
        const int daemon = daemonPid();
        if (daemon <= 0 || kill(daemon, SIGKILL) != 0 || !startDaemon()) break;
        const auto answered = Clock::now();
        const float value = 0.1f * round;
        const sp<ITonvale> fresh = TonvaleHolder::find();
        if (fresh == nullptr || fresh->setDefaultProfile(value, value, 1.0f, false) != 0) break;
        while (heard != value && Clock::now() - answered < std::chrono::seconds(10)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (heard != value) break;
        follow.push_back(micros(Clock::now() - answered));
    }
    stop = true;
    mixer.join();
    (void)track->release();
    const int daemon = daemonPid();
    if (daemon > 0) kill(daemon, SIGKILL);

    print("track_gain_open_daemon_absent", absent);
    print("track_gain_open_absent_bare_check_service", lookup);
    print("track_gain_open_daemon_up", up);
    print("track_gain_open_up_bare_get_track_ctl_blk", bare);
    if (follow.size() != kRestarts) {
        fprintf(stderr, "a playing track did not follow the restarted daemon (%zu of %d)\n",
                follow.size(), kRestarts);
        return 1;
    }
    printf("BENCH track_gain_restart_to_follow_p50 %.1f ms\n", percentile(follow, 0.5) / 1000);
    printf("BENCH track_gain_restart_to_follow_max %.1f ms\n", percentile(follow, 1.0) / 1000);
    return 0;
}
