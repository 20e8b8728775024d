// A demo player: renders a stereo 48 kHz, 1 kHz sine at amplitude 0.5 in 10 ms buffers paced
// in real time, applies the gains of its track's control block through TrackGain, and writes
// 16-bit PCM WAV; with --play it also sends the audio to aplay. It is the example of
// docs/integration.md for a process that mixes its own audio: open at track creation through a
// TonvaleHolder (so the track follows a daemon that restarts), process each cycle, release at
// teardown. It links libtonvaleclient alone.
//
// Output lines (standard output): "track pid=P session=N", "playing from T" (T: wall-clock
// seconds of the first frame), "gain frame=F left=L right=R" whenever the target gains change
// (F: the first frame that heads for them), "frames=F" every half second, and at the end
// "wrote FILE frames=F". SIGINT or SIGTERM ends the playback early with a complete file.
// Exit status: 0; 1 when it could not write the file or found no service at its start (it
// plays at unity gain until a daemon appears, as a mixer would); 2 for a bad command line.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <sndfile.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "interface/TrackGain.h"

extern char** environ;

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBufferFrames = kRate / 100;  // 10 ms
constexpr int kPeriod = kRate / 1000;       // one period of 1 kHz, in frames
constexpr double kAmplitude = 0.5;
constexpr double kMaxSeconds = 24 * 3600;

volatile sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

struct Options {
    int session = 0;
    double seconds = 0;
    std::string out;
    bool play = false;
};

int usage(const char* self) {
    fprintf(stderr, "usage: %s --session N --seconds S --out FILE.wav [--play]\n", self);
    return 2;
}

bool parseInt(const char* text, int* value) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

bool parseSeconds(const char* text, double* value) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0) || v > kMaxSeconds) return false;
    *value = v;
    return true;
}

bool parseOptions(int argc, char** argv, Options* o) {
    bool haveSession = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--play") {
            o->play = true;
        } else if (arg == "--session" && hasValue) {
            if (!parseInt(argv[++i], &o->session)) return false;
            haveSession = true;
        } else if (arg == "--seconds" && hasValue) {
            if (!parseSeconds(argv[++i], &o->seconds)) return false;
        } else if (arg == "--out" && hasValue) {
            o->out = argv[++i];
        } else {
            return false;
        }
    }
    return haveSession && o->seconds > 0 && !o->out.empty();
}

/** aplay reading raw 16-bit stereo from a pipe; off when absent or once it stops reading. */
class Speaker {
public:
    bool start() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        const char* args[] = {"aplay", "-q", "-t", "raw",   "-f", "S16_LE",
                              "-c",    "2",  "-r", "48000", "-",  nullptr};
        int rc = posix_spawnp(&mPid, "aplay", &actions, nullptr, const_cast<char**>(args), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[0]);
        if (rc != 0) {
            close(fds[1]);
            mPid = -1;
            fprintf(stderr, "tonvale_demo_player: cannot start aplay (%s); writing the file only\n",
                    strerror(rc));
            return false;
        }
        mFd = fds[1];
        return true;
    }

    void write(const int16_t* samples, size_t bytes) {
        const char* p = reinterpret_cast<const char*>(samples);
        while (mFd >= 0 && bytes > 0) {
            ssize_t n = ::write(mFd, p, bytes);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fprintf(stderr,
                        "tonvale_demo_player: aplay stopped reading; writing the file "
                        "only\n");
                stop();
                return;
            }
            p += n;
            bytes -= n;
        }
    }

    /** Closes the pipe and reaps aplay; its exit status, or -1. */
    int stop() {
        if (mFd >= 0) close(mFd);
        mFd = -1;
        if (mPid <= 0) return -1;
        int status = 0;
        while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
        }
        mPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~Speaker() { stop(); }

private:
    pid_t mPid = -1;
    int mFd = -1;
};

const char* openFailure(android::status_t status) {
    switch (status) {
        case android::NO_INIT:
            return "no service yet";
        case android::DEAD_OBJECT:
            return "the service died";
        case android::NAME_NOT_FOUND:
            return "the service handed out none";
        case android::BAD_VALUE:
            return "the memory is not this track's block";
        default:
            return "refused";
    }
}

double wallClock() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void addNanos(timespec* t, long nanos) {
    t->tv_nsec += nanos;
    while (t->tv_nsec >= 1000000000L) {
        t->tv_nsec -= 1000000000L;
        ++t->tv_sec;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) return usage(argv[0]);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed aplay shows as EPIPE

    SF_INFO info;
    memset(&info, 0, sizeof(info));
    info.samplerate = kRate;
    info.channels = kChannels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(options.out.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        fprintf(stderr, "tonvale_demo_player: cannot write %s: %s\n", options.out.c_str(),
                sf_strerror(nullptr));
        return 1;
    }

    // Track creation: one call to the service, never on the audio path. The holder re-opens
    // the track on its own thread when a daemon restarts, or first appears.
    const int pid = getpid();
    const android::sp<android::TonvaleHolder> holder = new android::TonvaleHolder();
    const android::sp<android::TrackGain> gain = new android::TrackGain(kRate);
    const android::status_t opened = gain->open(holder, pid, options.session);
    if (opened == android::NO_ERROR) {
        printf("track pid=%d session=%d\n", pid, options.session);
    } else {
        fprintf(stderr,
                "\ntonvale_demo_player: no control block for pid %d session %d (%s); playing at "
                "unity gain\n",
                pid, options.session, openFailure(opened));
    }

    Speaker speaker;
    if (options.play) speaker.start();

    // A buffer is ten periods, so every buffer boundary, where a new gain first applies, falls
    // on the same phase. Starting at the crest puts it there: the worst case for a click.
    int16_t table[kPeriod];
    for (int k = 0; k < kPeriod; ++k) {
        const double phase = 2 * M_PI * k / kPeriod + M_PI / 2;
        table[k] = static_cast<int16_t>(lround(kAmplitude * 32767 * sin(phase)));
    }

    const long long total = llround(options.seconds * kRate);
    int16_t buffer[kBufferFrames * kChannels];
    long long frame = 0;
    bool writeFailed = false;
    android::TrackGain::Gains shown = {-1.0f, -1.0f};
    timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    printf("playing from %.6f\n", wallClock());
    gain->setActive(true);
    while (frame < total && !gStop) {
        const int n = static_cast<int>(std::min<long long>(kBufferFrames, total - frame));
        for (int i = 0; i < n; ++i) {
            const int16_t s = table[(frame + i) % kPeriod];
            buffer[2 * i] = s;
            buffer[2 * i + 1] = s;
        }
        gain->process(buffer, n, kChannels);  // the mix cycle: no call, no lock
        const android::TrackGain::Gains target = gain->target();
        if (target.left != shown.left || target.right != shown.right) {
            printf("gain frame=%lld left=%.4f right=%.4f\n", frame, target.left, target.right);
            shown = target;
        }
        if (sf_writef_short(file, buffer, n) != n) {
            fprintf(stderr, "tonvale_demo_player: writing %s failed: %s\n", options.out.c_str(),
                    sf_strerror(file));
            writeFailed = true;
            break;
        }
        speaker.write(buffer, sizeof(int16_t) * n * kChannels);
        frame += n;
        if (frame % (kRate / 2) == 0) printf("frames=%lld\n", frame);
        addNanos(&due, 10000000L);
        while (!gStop && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
    }
    gain->setActive(false);
    speaker.stop();
    if (sf_close(file) != 0) {
        fprintf(stderr, "tonvale_demo_player: closing %s failed\n", options.out.c_str());
        writeFailed = true;
    }
    if (writeFailed) return 1;
    printf("wrote %s frames=%lld\n", options.out.c_str(), frame);
    // Track teardown: the hold goes back on the control side; the mapping goes with the helper.
    (void)gain->release();
    return opened == android::NO_ERROR ? 0 : 1;
}
