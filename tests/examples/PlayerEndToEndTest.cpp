// The demo player as the app com.example.music against a real daemon: a weak-key profile set
// while it plays, then a mute. The WAV it writes must show each channel's level change by the
// expected factor, then silence, and no step sharper than the sine's own plus the ramp's.
#include <binder/IServiceManager.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utils/String16.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/TestEnv.h"

extern char** environ;

namespace {

using tonvale_test::readFile;

constexpr int kRate = 48000;
constexpr int kRamp = kRate / 100;
constexpr int kPeriod = kRate / 1000;
const char kApp[] = "com.example.music";

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

/** Starts path with the given argv[0]; stdout to outFd when it is not -1. */
pid_t spawnAs(const std::string& path, const std::string& argv0,
              const std::vector<std::string>& args, int outFd) {
    std::vector<std::string> words = {argv0};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

/** Runs the tool to its end (at most 30 s) and returns its exit status, -1 if it did not exit. */
int runTool(const std::vector<std::string>& args) {
    pid_t pid = spawnAs(TONVALE_TOOL_PATH, TONVALE_TOOL_PATH, args, -1);
    if (pid < 0) return -1;
    const long long deadline = nowMs() + 30000;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (nowMs() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/** The daemons serving this test process's HOSTBINDER_DIR (and so started by it). */
std::vector<pid_t> ownDaemons() {
    std::vector<pid_t> pids;
    const std::string marker = "HOSTBINDER_DIR=" + tonvale_test::binderDir() + '\0';
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    while (dirent* e = readdir(proc)) {
        const pid_t pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        const std::string dir = "/proc/" + std::to_string(pid);
        const std::string cmd = readFile(dir + "/cmdline");
        if (cmd.find(std::string("tonvale\0--service", 17)) == std::string::npos) continue;
        if ((readFile(dir + "/environ") + '\0').find(marker) == std::string::npos) continue;
        pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

/** Starts a daemon for this test process and kills it (and any other of its own) at the end. */
class Daemon {
public:
    ~Daemon() {
        for (int round = 0; round < 200; ++round) {
            std::vector<pid_t> pids = ownDaemons();
            if (pids.empty()) return;
            for (pid_t pid : pids) kill(pid, SIGKILL);
            usleep(10000);
        }
    }
    bool start() {
        if (runTool({"--service", "--force"}) != 0) return false;
        const long long deadline = nowMs() + 20000;
        while (nowMs() < deadline) {
            android::sp<android::IBinder> b =
                android::defaultServiceManager()->checkService(android::String16("tonvale"));
            if (b != nullptr && b->pingBinder() == android::NO_ERROR) return true;
            usleep(10000);
        }
        return false;
    }
};

/** The player as a child with its standard output read line by line; killed if still there. */
class Player {
public:
    Player(const std::string& argv0, const std::vector<std::string>& args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        mPid = spawnAs(TONVALE_PLAYER_PATH, argv0, args, out[1]);
        close(out[1]);
        mOut = out[0];
    }
    ~Player() {
        if (mPid > 0) stop(SIGKILL);
        if (mOut >= 0) close(mOut);
    }
    pid_t pid() const { return mPid; }

    /** The next line starting with prefix (others are kept in the log); false on timeout. */
    bool waitFor(const std::string& prefix, std::string* line, int timeoutMs = 30000) {
        const long long deadline = nowMs() + timeoutMs;
        for (;;) {
            size_t nl;
            while ((nl = mBuffer.find('\n')) != std::string::npos) {
                std::string next = mBuffer.substr(0, nl);
                mBuffer.erase(0, nl + 1);
                log += next + "\n";
                if (next.compare(0, prefix.size(), prefix) == 0) {
                    *line = next;
                    return true;
                }
            }
            const long long left = deadline - nowMs();
            if (left <= 0 || mOut < 0) return false;
            pollfd fd = {mOut, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
            char buf[1024];
            ssize_t n = read(mOut, buf, sizeof(buf));
            if (n <= 0) return false;
            mBuffer.append(buf, n);
        }
    }

    /** Waits for a "frames=N" line with N at least frames. */
    bool waitForFrames(long long frames) {
        std::string line;
        while (waitFor("frames=", &line)) {
            if (atoll(line.c_str() + 7) >= frames) return true;
        }
        return false;
    }

    /** Sends sig and returns the exit status, -1 when it did not exit normally. */
    int stop(int sig) {
        if (mPid <= 0) return -1;
        kill(mPid, sig);
        const int status = tonvale_test::waitExit(mPid);
        mPid = -1;
        return status;
    }

    std::string log;

private:
    pid_t mPid = -1;
    int mOut = -1;
    std::string mBuffer;
};

/** The frame number of a "gain frame=F left=L right=R" line. */
long long gainFrame(const std::string& line) {
    return atoll(line.c_str() + strlen("gain frame="));
}

struct Wav {
    int rate = 0;
    int channels = 0;
    std::vector<int16_t> samples;
    size_t frames() const { return channels > 0 ? samples.size() / channels : 0; }
};

Wav readWav(const std::string& path) {
    Wav wav;
    SF_INFO info;
    memset(&info, 0, sizeof(info));
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return wav;
    wav.rate = info.samplerate;
    wav.channels = info.channels;
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV &&
        (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
        wav.samples.resize(info.frames * info.channels);
        wav.samples.resize(sf_readf_short(file, wav.samples.data(), info.frames) * info.channels);
    }
    sf_close(file);
    return wav;
}

/** Largest |sample| of a channel over frames [from, to). */
int peak(const Wav& wav, int channel, size_t from, size_t to) {
    int largest = 0;
    for (size_t f = from; f < to && f < wav.frames(); ++f) {
        largest = std::max(largest, abs(static_cast<int>(wav.samples[f * 2 + channel])));
    }
    return largest;
}

/** Largest sample-to-sample step of a channel over the whole file. */
int largestStep(const Wav& wav, int channel) {
    int largest = 0;
    for (size_t f = 1; f < wav.frames(); ++f) {
        largest = std::max(largest,
                           abs(wav.samples[f * 2 + channel] - wav.samples[(f - 1) * 2 + channel]));
    }
    return largest;
}

TEST(PlayerEndToEnd, ProfileThenMuteAsTheAppHears) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start());
    const std::string wavPath = tonvale_test::testRoot() + "/music.wav";
    Player player(kApp, {"--session", "7", "--seconds", "120", "--out", wavPath});
    ASSERT_GT(player.pid(), 0);
    std::string line;
    ASSERT_TRUE(player.waitFor("track ", &line)) << player.log;
    EXPECT_EQ("track pid=" + std::to_string(player.pid()) + " session=7", line);
    ASSERT_TRUE(player.waitFor("gain ", &line)) << player.log;
    EXPECT_EQ("gain frame=0 left=1.0000 right=1.0000", line);
    ASSERT_TRUE(player.waitForFrames(kRate / 2)) << player.log;

    // The package's weak-key profile reaches its process: left 0.5 x 0.8, right 0.25 x 0.8.
    ASSERT_EQ(0, runTool({"--set-profile", kApp, "0.5", "0.25", "0.8", "false", "true"}));
    ASSERT_TRUE(player.waitFor("gain ", &line)) << player.log;
    const long long changed = gainFrame(line);
    EXPECT_EQ(" left=0.4000 right=0.2000", line.substr(line.find(' ', 11))) << line;
    ASSERT_TRUE(player.waitForFrames(changed + kRate / 2)) << player.log;

    ASSERT_EQ(0, runTool({"--mute", kApp, "false"}));
    ASSERT_TRUE(player.waitFor("gain ", &line)) << player.log;
    const long long muted = gainFrame(line);
    EXPECT_EQ(" left=0.0000 right=0.0000", line.substr(line.find(' ', 11))) << line;
    ASSERT_TRUE(player.waitForFrames(muted + kRate / 2)) << player.log;
    EXPECT_EQ(0, player.stop(SIGTERM)) << player.log;

    const Wav wav = readWav(wavPath);
    ASSERT_EQ(kRate, wav.rate);
    ASSERT_EQ(2, wav.channels);
    ASSERT_GE(wav.frames(), static_cast<size_t>(muted + kRate / 2));
    ASSERT_GT(changed, kRate / 2 - 1);
    ASSERT_GT(muted, changed + kRate / 2 - 1);

    // The sine as rendered (from its crest, so each gain change meets a peak): peak and
    // largest step at full level.
    int sinePeak = 0, sineStep = 0;
    for (int k = 0; k < kPeriod; ++k) {
        const long s = lround(0.5 * 32767 * sin(2 * M_PI * k / kPeriod + M_PI / 2));
        const long n = lround(0.5 * 32767 * sin(2 * M_PI * (k + 1) / kPeriod + M_PI / 2));
        sinePeak = std::max<int>(sinePeak, labs(s));
        sineStep = std::max<int>(sineStep, labs(n - s));
    }
    const double factor[2] = {0.4, 0.2};
    for (int c = 0; c < 2; ++c) {
        SCOPED_TRACE(c == 0 ? "left" : "right");
        // Full level up to the printed frame, the new level from one ramp after it on.
        for (size_t w = 0; w + kPeriod <= static_cast<size_t>(changed); w += kPeriod) {
            ASSERT_EQ(sinePeak, peak(wav, c, w, w + kPeriod)) << "frame " << w;
        }
        for (size_t w = changed + kRamp; w + kPeriod <= static_cast<size_t>(muted); w += kPeriod) {
            ASSERT_NEAR(sinePeak * factor[c], peak(wav, c, w, w + kPeriod), 1.0) << "frame " << w;
        }
        EXPECT_EQ(0, peak(wav, c, muted + kRamp, wav.frames())) << "silence after the mute";
        // The ramps do not end early either: one ramp period past the change is still moving.
        EXPECT_GT(peak(wav, c, changed, changed + kPeriod), sinePeak * factor[c] + 2);
        EXPECT_GT(peak(wav, c, muted, muted + kPeriod), 2);

        // No click: a step exceeds the sine's own by at most what one ramp step adds.
        const double gainStep = std::max(1.0 - factor[c], factor[c]) / kRamp;
        const int allowed = static_cast<int>(sineStep + sinePeak * gainStep + 2);
        EXPECT_LE(largestStep(wav, c), allowed);
    }
}

}  // namespace
