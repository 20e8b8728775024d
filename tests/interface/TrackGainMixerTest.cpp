// The gain helper as AudioFlinger uses it, against a real daemon: binder-like threads make and
// destroy tracks, opening outside any lock; a mixer thread reads every started track's gains
// each 5 ms cycle under its lock, and a fast-mixer thread reads some of them at the same time
// with none; a track is restored (a new track for its session before the old one's release);
// the daemon is SIGKILLed and started again, as init would. Under TSan and ASan.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Child.h"
#include "common/Process.h"
#include "common/Service.h"
#include "common/Wait.h"
#include "interface/TrackGain.h"

namespace android {
namespace {

using tonvale_test::waitUntil;

enum Reader { MIXER, FAST_MIXER };

struct Track {
    Track(int pid, int session)
        : pid(pid), session(session), gain(new TrackGain(48000, TrackGain::Limit::UNITY)) {}
    const int pid;
    const int session;
    const sp<TrackGain> gain;
    // What each reader saw in its last cycle that read this track, and that cycle's number.
    struct Seen {
        std::atomic<uint64_t> cycle{0};
        std::atomic<float> left{-1.0f}, right{-1.0f};
    } seen[2];
};

using TrackPtr = std::shared_ptr<Track>;

/** A thread that runs body(cycle) every periodMs until it goes, counting the cycles ended. */
class Cycler {
public:
    template <typename Body>
    Cycler(int periodMs, Body body)
        : mThread([this, periodMs, body] {
              auto due = std::chrono::steady_clock::now();
              while (!mStop) {
                  body(mCycles + 1);
                  {
                      std::lock_guard<std::mutex> l(mLock);
                      ++mCycles;
                  }
                  mCycled.notify_all();
                  std::this_thread::sleep_until(due += std::chrono::milliseconds(periodMs));
              }
          }) {}
    ~Cycler() {
        mStop = true;
        mThread.join();
    }
    uint64_t cycles() const { return mCycles; }
    /** Waits until n cycles have ended; false on timeout. */
    bool waitFor(uint64_t n) {
        std::unique_lock<std::mutex> l(mLock);
        return mCycled.wait_for(l, std::chrono::milliseconds(tonvale_test::kLongWaitMs),
                                [&] { return mCycles >= n; });
    }

private:
    std::atomic<bool> mStop{false};
    std::atomic<uint64_t> mCycles{0};
    std::mutex mLock;
    std::condition_variable mCycled;
    std::thread mThread;  // last: it starts once the rest is made
};

void read(Track* t, Reader reader, uint64_t cycle) {
    const TrackGain::Gains g = t->gain->gains(2);
    t->seen[reader].left = g.left;
    t->seen[reader].right = g.right;
    t->seen[reader].cycle = cycle;  // last, and read first: the values are at least this new
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class TrackGainMixer : public testing::Test {
protected:
    void SetUp() override {
        appA = tonvale_test::startNamedChild("com.example.alpha");
        appB = tonvale_test::startNamedChild("com.example.beta");
        ASSERT_TRUE(appA.running() && appB.running());
        ASSERT_TRUE(startDaemon());
    }
    void TearDown() override { stopChurning(); }

    /** tonvale.rc's command, as init starts it and starts it again after a crash. */
    bool startDaemon() {
        const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        daemon = tonvale_test::ChildGuard(tonvale_test::spawnProgram(
            {TONVALE_TOOL_PATH, "--service", "--foreground"}, devnull, -1));
        close(devnull);
        return daemon.running() && tonvale_test::waitForService();
    }

    /** Sets a package's left and right through the service, and expects them of its tracks. */
    void set(pid_t app, float left, float right) {
        const sp<ITonvale> service = TonvaleHolder::find();
        ASSERT_NE(nullptr, service);
        const char* name = app == appA.pid() ? "com.example.alpha" : "com.example.beta";
        ASSERT_EQ(0, service->setProfile(name, left, right, 1.0f, false, true));
        expected[app] = {left, right};
    }

    /**
     * A track as AudioFlinger makes and starts it: made under the thread lock, opened outside
     * any lock, then started, which puts it among the tracks the mixer reads.
     */
    TrackPtr create(int pid, int session) {
        TrackPtr track;
        {
            std::lock_guard<std::mutex> l(threadLock);
            track = std::make_shared<Track>(pid, session);
        }
        (void)track->gain->open(holder, pid, session);
        {
            std::lock_guard<std::mutex> l(threadLock);
            tracks.push_back(track);
        }
        track->gain->setActive(true);
        return track;
    }

    /** As Track::destroy(): off the list under the lock, the hold given back after it. */
    void destroy(TrackPtr track) {
        {
            std::lock_guard<std::mutex> l(threadLock);
            tracks.erase(std::find(tracks.begin(), tracks.end(), track));
        }
        (void)track->gain->release();
    }  // the mixer may hold the last reference, and unmap there

    /** Binder-like threads that keep making tracks that play three cycles and go. */
    void churn() {
        for (int i = 0; i < 2; ++i) {
            churners.emplace_back([this, i] {
                const int pid = i == 0 ? appA.pid() : appB.pid();
                for (int session = 1000 * (i + 1); !stopChurn; ++session) {
                    TrackPtr t = create(pid, session);
                    ++made;
                    mixer->waitFor(mixer->cycles() + 3);
                    destroy(t);
                }
            });
        }
    }
    void stopChurning() {
        stopChurn = true;
        for (std::thread& t : churners) t.join();
        churners.clear();
    }

    std::vector<TrackPtr> started() {
        std::lock_guard<std::mutex> l(threadLock);
        return tracks;
    }

    /** The tracks a reader read from cycle `from` on that do not show what is expected. */
    std::vector<std::string> laggards(const std::vector<TrackPtr>& list, Reader reader,
                                      uint64_t from) {
        std::vector<std::string> late;
        for (const TrackPtr& t : list) {
            const Track::Seen& seen = t->seen[reader];
            const std::pair<float, float> want = expected[t->pid];
            if (seen.cycle >= from && (seen.left != want.first || seen.right != want.second)) {
                late.push_back("session " + std::to_string(t->session) + " read " +
                               std::to_string(seen.left) + " " + std::to_string(seen.right));
            }
        }
        return late;
    }

    /** Every track shows the last change by the second cycle of each reader that follows. */
    void expectFollowedWithinTwoCycles() {
        const uint64_t mixed = mixer->cycles(), fastMixed = fastMixer->cycles();
        ASSERT_TRUE(mixer->waitFor(mixed + 2) && fastMixer->waitFor(fastMixed + 2));
        for (const std::string& late : laggards(started(), MIXER, mixed + 2)) {
            ADD_FAILURE() << late;
        }
        for (const std::string& late : laggards(fast, FAST_MIXER, fastMixed + 2)) {
            ADD_FAILURE() << "fast " << late;
        }
    }

    tonvale_test::ChildGuard daemon, appA, appB;
    std::map<int, std::pair<float, float>> expected;
    const sp<TonvaleHolder> holder = new TonvaleHolder();
    std::mutex threadLock;         // the playback thread's lock
    std::vector<TrackPtr> tracks;  // the started tracks
    std::vector<TrackPtr> fast;    // fixed before the fast mixer starts, as its state is
    std::unique_ptr<Cycler> mixer, fastMixer;
    std::atomic<bool> stopChurn{false};
    std::atomic<int> made{0};           // tracks the churners made
    std::vector<std::thread> churners;  // joined before the mixer goes
};

TEST_F(TrackGainMixer, TracksFollowEveryChangeAndADaemonRestartedByInit) {
    const int a = appA.pid(), b = appB.pid();
    expected = {{a, {1.0f, 1.0f}}, {b, {1.0f, 1.0f}}};
    fast = {create(a, 1), create(b, 2)};
    TrackPtr restored = create(a, 3);
    create(b, 4);
    mixer.reset(new Cycler(5, [this](uint64_t cycle) {
        std::vector<TrackPtr> snapshot;
        {
            std::lock_guard<std::mutex> l(threadLock);  // prepareTracks_l's lock
            snapshot = tracks;
            for (const TrackPtr& t : snapshot) read(t.get(), MIXER, cycle);
        }
    }));  // the snapshot goes after the lock: a last reference may be dropped here
    fastMixer.reset(new Cycler(2, [this](uint64_t cycle) {
        for (const TrackPtr& t : fast) read(t.get(), FAST_MIXER, cycle);  // no lock
    }));
    churn();

    set(a, 0.5f, 0.25f);
    set(b, 0.75f, 0.5f);
    expectFollowedWithinTwoCycles();

    // The restore sequence: the new track for session 3 is opened before the old one goes.
    TrackPtr replacement = create(a, 3);
    destroy(restored);
    restored.reset();
    set(a, 0.25f, 0.125f);
    expectFollowedWithinTwoCycles();

    // The daemon dies: every track keeps its last gains, and nothing waits for it or prints.
    testing::internal::CaptureStdout();
    daemon.stop(SIGKILL);
    const int madeBefore = made;
    ASSERT_TRUE(mixer->waitFor(mixer->cycles() + 20) &&
                fastMixer->waitFor(fastMixer->cycles() + 50));
    EXPECT_TRUE(waitUntil([&] { return made > madeBefore + 4; })) << "track creation froze";
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(laggards(fast, FAST_MIXER, 0).empty());
    EXPECT_TRUE(laggards({fast[0], fast[1], replacement}, MIXER, 0).empty());

    // init starts it again: the tracks follow it, those made while it was away included.
    ASSERT_TRUE(startDaemon());
    const long long answered = tonvale_test::nowMs();
    set(a, 0.625f, 0.375f);
    set(b, 0.5f, 1.0f);
    ASSERT_TRUE(waitUntil([&] {
        const uint64_t now = mixer->cycles(), fastNow = fastMixer->cycles();
        return mixer->waitFor(now + 1) && fastMixer->waitFor(fastNow + 1) &&
               laggards(started(), MIXER, now + 1).empty() &&
               laggards(fast, FAST_MIXER, fastNow + 1).empty();
    })) << "tracks still on the dead daemon's blocks";
    printf("tracks followed the restarted daemon %lld ms after it answered\n",
           tonvale_test::nowMs() - answered);
    set(a, 1.0f, 0.5f);
    expectFollowedWithinTwoCycles();

    // The new daemon holds the four tracks left, active, and each release gives one back.
    stopChurning();
    const sp<ITonvale> service = TonvaleHolder::find();
    ASSERT_NE(nullptr, service);
    const std::string listed = service->listBuffers(1).string();
    EXPECT_EQ(4u, count(listed, "\"session\"")) << listed;
    EXPECT_EQ(4u, count(listed, "\"isactive\": true")) << listed;
    for (const TrackPtr& t : started()) destroy(t);
    EXPECT_EQ(0u, count(service->listBuffers(1).string(), "\"session\""));
}

}  // namespace
}  // namespace android
