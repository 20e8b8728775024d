// Times change notifications beside PulseAudio's, in interleaved rounds: from a command's start
// until `tonvale --watch` prints the change, against `pactl set-sink-input-volume` until
// `pactl subscribe` prints its event. Then what listeners cost a change: a long-lived client's
// setProfile with 0, 1 and 16 watches attached, one of the 16 stopped (it never reads).
//
// The servers and the playing PulseAudio client are started by bench/peers/peers.sh.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "bench/common/BenchStats.h"
#include "bench/peers/PeerLine.h"
#include "interface/TonvaleClient.h"

extern char** environ;

namespace {

using peers::monotonicNs;

constexpr int64_t kTimeoutNs = 10000000000;

[[noreturn]] void die(const std::string& what) {
    fprintf(stderr, "watch bench: %s\n", what.c_str());
    exit(1);
}

/**
 * A program whose standard output is read line by line; its input stays open (the playing
 * client leaves at the end of it). Stopped and reaped at the end.
 */
class Reader {
public:
    explicit Reader(const std::vector<std::string>& args) : mName(args[0]) {
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) die("pipe");
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        if (posix_spawnp(&mPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            die("cannot start " + args[0]);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(in[0]);
        mFd = out[0];
        mIn = in[1];
    }
    ~Reader() {
        kill(mPid, SIGKILL);
        waitpid(mPid, nullptr, 0);
        close(mFd);
        close(mIn);
    }
    pid_t pid() const { return mPid; }
    void send(const std::string& line) {
        const std::string text = line + "\n";
        if (write(mIn, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            die(mName + ": cannot write");
        }
    }

    /** The next line holding part; dies after kTimeoutNs. */
    std::string waitFor(const std::string& part) {
        const int64_t deadline = monotonicNs() + kTimeoutNs;
        for (;;) {
            const size_t end = mBuffer.find('\n');
            if (end != std::string::npos) {
                std::string line = mBuffer.substr(0, end);
                mBuffer.erase(0, end + 1);
                if (line.find(part) != std::string::npos) return line;
                continue;
            }
            pollfd p = {mFd, POLLIN, 0};
            const int64_t left = deadline - monotonicNs();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left / 1000000) + 1) <= 0) {
                die(mName + " printed no line with " + part);
            }
            char buf[4096];
            const ssize_t n = read(mFd, buf, sizeof(buf));
            if (n <= 0) die(mName + " ended");
            mBuffer.append(buf, static_cast<size_t>(n));
        }
    }

private:
    const std::string mName;
    pid_t mPid = -1;
    int mFd = -1;
    int mIn = -1;
    std::string mBuffer;
};

void run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        die("cannot start " + args[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die(args[0] + " " + args[1] + " failed");
}

void bench(const std::string& name, double value, const char* unit) {
    printf("BENCH %s %.3f %s\n", name.c_str(), value, unit);
    fflush(stdout);
}

double p50(const std::vector<double>& v) {
    return tonvale_bench::percentile(v, 0.5);
}

}  // namespace

int main(int argc, char** argv) {
    std::string tool, pulseClient;
    int rounds = 200, warmup = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--tool") tool = argv[i + 1];
        if (flag == "--pulse-client") pulseClient = argv[i + 1];
        if (flag == "--rounds") rounds = atoi(argv[i + 1]);
        if (flag == "--warmup") warmup = atoi(argv[i + 1]);
    }
    if (tool.empty() || pulseClient.empty()) die("--tool and --pulse-client are needed");

    // A stream to change, and both watchers.
    Reader player({pulseClient});
    const std::string ready = player.waitFor("READY ");
    const std::string input = ready.substr(6);
    Reader subscribe({"pactl", "subscribe"});
    auto watcher = std::make_unique<Reader>(std::vector<std::string>{tool, "--watch"});
    Reader& watch = *watcher;
    watch.waitFor("\"watching\"");

    std::vector<double> tonvale, pulse;
    for (int round = 0; round < warmup + rounds; ++round) {
        // Each round's value differs from the one before (7 and 89 are coprime).
        const int step = (round * 7) % 89 + 10;
        char general[16], printed[16], percent[16];
        snprintf(general, sizeof(general), "0.%02d", step);
        snprintf(printed, sizeof(printed), "%g", static_cast<double>(step / 100.0f));
        snprintf(percent, sizeof(percent), "%d%%", step);
        for (int peer = 0; peer < 2; ++peer) {
            const bool first = (round + peer) % 2 == 0;  // interleaved, alternating the order
            int64_t start = monotonicNs();
            if (first) {
                run({tool, "--set-profile", "com.bench.watch", "1", "1", general, "false", "false"});
                watch.waitFor(std::string("\"general\": ") + printed + ",");
            } else {
                run({"pactl", "set-sink-input-volume", input, percent});
                subscribe.waitFor("'change' on sink-input #" + input);
            }
            const double ms = (monotonicNs() - start) / 1e6;
            if (round >= warmup) (first ? tonvale : pulse).push_back(ms);
        }
    }
    // The same from long-lived clients, with no process start: the service's own path.
    android::sp<android::ITonvale> service = android::getTonvale();
    if (service == nullptr) die("no service");
    std::vector<double> tonvaleLive, pulseLive;
    for (int round = 0; round < warmup + rounds; ++round) {
        const int step = (round * 7) % 89 + 10;
        char printed[16];
        snprintf(printed, sizeof(printed), "%g", static_cast<double>(step / 100.0f));
        for (int peer = 0; peer < 2; ++peer) {
            const bool first = (round + peer) % 2 == 0;
            const int64_t start = monotonicNs();
            if (first) {
                // The call returns once the change is on disk; the watch hears before that.
                std::future<int> call = std::async(std::launch::async, [&] {
                    return service->setProfile("com.bench.watch", 1, 1, step / 100.0f, false, false);
                });
                watch.waitFor(std::string("\"general\": ") + printed + ",");
                const double us = (monotonicNs() - start) / 1e3;
                if (call.get() != 0) die("setProfile failed");
                if (round >= warmup) tonvaleLive.push_back(us);
                continue;
            } else {
                player.send("SELF " + std::to_string(20000 + step * 500));
                subscribe.waitFor("'change' on sink-input #" + input);
                player.waitFor("SELFDONE");
            }
            const double us = (monotonicNs() - start) / 1e3;
            if (round >= warmup) (first ? tonvaleLive : pulseLive).push_back(us);
        }
    }
    bench("watch_longlived_tonvale_p50", p50(tonvaleLive), "us");
    bench("watch_longlived_pulseaudio_subscribe_p50", p50(pulseLive), "us");
    bench("watch_longlived_tonvale_over_pulseaudio", p50(tonvaleLive) / p50(pulseLive), "ratio");

    bench("watch_tonvale_p50", p50(tonvale), "ms");
    bench("watch_pulseaudio_subscribe_p50", p50(pulse), "ms");
    bench("watch_tonvale_over_pulseaudio", p50(tonvale) / p50(pulse), "ratio");
    bench("watch_tonvale_p90", tonvale_bench::percentile(tonvale, 0.9), "ms");
    bench("watch_pulseaudio_subscribe_p90", tonvale_bench::percentile(pulse, 0.9), "ms");

    // What a change costs with listeners attached (the call, which waits for the disk).
    watcher.reset();
    std::vector<std::unique_ptr<Reader>> watches;
    for (int attached : {1, 16, 0}) {
        watches.clear();
        for (int i = 0; i < attached; ++i) {
            watches.push_back(std::make_unique<Reader>(std::vector<std::string>{tool, "--watch"}));
            watches.back()->waitFor("\"watching\"");
        }
        // One of the sixteen never reads again.
        if (attached == 16) kill(watches.front()->pid(), SIGSTOP);
        std::vector<double> calls;
        for (int i = 0; i < warmup + rounds; ++i) {
            const int64_t start = monotonicNs();
            if (service->setProfile("com.bench.cost", 1, 1, (i % 89 + 10) / 100.0f, false, false) !=
                0) {
                die("setProfile failed");
            }
            if (i >= warmup) calls.push_back((monotonicNs() - start) / 1e3);
        }
        if (attached == 16) kill(watches.front()->pid(), SIGCONT);
        const std::string name = "watch_change_cost_" + std::to_string(attached) + "_listeners";
        bench(name + (attached == 16 ? "_one_stuck" : ""), p50(calls), "us");
    }
    return 0;
}
