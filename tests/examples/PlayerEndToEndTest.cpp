// The demo player as the app com.example.music against a real daemon: a weak-key profile set
// while it plays, then a mute. The WAV it writes must show each channel's level change by the
// expected factor, then silence, and no step sharper than the sine's own plus the ramp's.
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>
#include <sndfile.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/Process.h"
#include "common/Service.h"
#include "common/TestEnv.h"

namespace {

using tonvale_test::readFile;

constexpr int kRate = 48000;
constexpr int kRamp = kRate / 100;
constexpr int kPeriod = kRate / 1000;
const char kApp[] = "com.example.music";

/** Runs the tool to its end and returns its exit status, -1 if it did not exit. */
int runTool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TONVALE_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return tonvale_test::runProgram(argv).status;
}

/** Starts a daemon for this test process; the daemons of its own are killed at the end. */
class Daemon {
public:
    bool start() {
        return runTool({"--service", "--force"}) == 0 && tonvale_test::waitForService();
    }

private:
    tonvale_test::DaemonGuard mGuard;
};

/** The player as a child with its standard output read line by line; killed if still there. */
class Player {
public:
    Player(const std::string& argv0, const std::vector<std::string>& args)
        : mRun(TONVALE_PLAYER_PATH, args, launchAs(argv0)) {}
    pid_t pid() const { return mRun.pid(); }

    /** The next line starting with prefix; false on timeout. */
    bool waitFor(const std::string& prefix, std::string* line) {
        return mRun.out().waitForPrefix(prefix, line);
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
    int stop(int sig) { return mRun.stop(sig); }

    /** Every line read so far, for failure messages. */
    const std::string& log() { return mRun.out().transcript(); }

private:
    static tonvale_test::Launch launchAs(const std::string& argv0) {
        tonvale_test::Launch launch;
        launch.argv0 = argv0;
        return launch;
    }

    tonvale_test::Spawned mRun;
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
    ASSERT_TRUE(player.waitFor("track ", &line)) << player.log();
    EXPECT_EQ("track pid=" + std::to_string(player.pid()) + " session=7", line);
    ASSERT_TRUE(player.waitFor("gain ", &line)) << player.log();
    EXPECT_EQ("gain frame=0 left=1.0000 right=1.0000", line);
    ASSERT_TRUE(player.waitForFrames(kRate / 2)) << player.log();

    // The package's weak-key profile reaches its process: left 0.5 x 0.8, right 0.25 x 0.8.
    ASSERT_EQ(0, runTool({"--set-profile", kApp, "0.5", "0.25", "0.8", "false", "true"}));
    ASSERT_TRUE(player.waitFor("gain ", &line)) << player.log();
    const long long changed = gainFrame(line);
    EXPECT_EQ(" left=0.4000 right=0.2000", line.substr(line.find(' ', 11))) << line;
    ASSERT_TRUE(player.waitForFrames(changed + kRate / 2)) << player.log();

    ASSERT_EQ(0, runTool({"--mute", kApp, "false"}));
    ASSERT_TRUE(player.waitFor("gain ", &line)) << player.log();
    const long long muted = gainFrame(line);
    EXPECT_EQ(" left=0.0000 right=0.0000", line.substr(line.find(' ', 11))) << line;
    ASSERT_TRUE(player.waitForFrames(muted + kRate / 2)) << player.log();
    EXPECT_EQ(0, player.stop(SIGTERM)) << player.log();

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
