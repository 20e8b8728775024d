// The client gain helper with a block in local memory: ramps, mutes, hostile block values and
// the limits, a concurrent writer, readers while the block is swapped, and what open() and
// release() ask of a service.
#include <binder/MemoryBase.h>
#include <binder/MemoryHeapBase.h>
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "interface/TrackGain.h"

namespace android {
namespace {

constexpr uint32_t kRate = 48000;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

template <typename T>
void put(T* field, T value) {
    __atomic_store(field, &value, __ATOMIC_RELAXED);
}

void setBlock(tnvl_cblk* b, float left, float right, float general, bool muted) {
    put(&b->left, left);
    put(&b->right, right);
    put(&b->general, general);
    put<uint8_t>(&b->muted, muted ? 1 : 0);
}

/** A block in local memory, written field by field as the service does. */
struct Block {
    Block() {
        memset(&b, 0, sizeof(b));
        b.valid = 1;
        set(1.0f, 1.0f, 1.0f, false);
    }
    void set(float left, float right, float general, bool muted) {
        setBlock(&b, left, right, general, muted);
    }
    tnvl_cblk b;
};

sp<TrackGain> attached(Block* block, uint32_t rate = kRate,
                       TrackGain::Limit limit = TrackGain::Limit::BOOST) {
    sp<TrackGain> gain = new TrackGain(rate, limit);
    EXPECT_EQ(NO_ERROR, gain->attach(&block->b));
    return gain;
}

/** Runs frames of a stereo DC signal of 1.0, so each output sample is the gain it got. */
std::vector<float> gainsOver(const sp<TrackGain>& gain, size_t frames, size_t bufferFrames = 128) {
    std::vector<float> out;
    while (out.size() < 2 * frames) {
        const size_t n = std::min(bufferFrames, frames - out.size() / 2);
        std::vector<float> buf(2 * n, 1.0f);
        gain->process(buf.data(), n, 2);
        out.insert(out.end(), buf.begin(), buf.end());
    }
    return out;
}

/** Largest change from one frame to the next on one channel, starting from `from`. */
float largestStep(const std::vector<float>& stereo, int channel, float from) {
    float prev = from, largest = 0.0f;
    for (size_t i = channel; i < stereo.size(); i += 2) {
        largest = std::max(largest, fabsf(stereo[i] - prev));
        prev = stereo[i];
    }
    return largest;
}

/** Index of the first frame from which a channel stays at value. */
size_t settledAt(const std::vector<float>& stereo, int channel, float value) {
    size_t frames = stereo.size() / 2;
    size_t settled = frames;
    for (size_t f = frames; f-- > 0;) {
        if (stereo[2 * f + channel] != value) break;
        settled = f;
    }
    return settled;
}

void expectRamp(const std::vector<float>& out, float fromL, float fromR, float toL, float toR,
                uint32_t rampFrames) {
    const float slack = 1.0001f;
    EXPECT_LE(settledAt(out, 0, toL), rampFrames) << "left did not reach " << toL;
    EXPECT_LE(settledAt(out, 1, toR), rampFrames) << "right did not reach " << toR;
    EXPECT_LE(largestStep(out, 0, fromL), fabsf(toL - fromL) / rampFrames * slack + 1e-7f);
    EXPECT_LE(largestStep(out, 1, fromR), fabsf(toR - fromR) / rampFrames * slack + 1e-7f);
    // A real ramp: it does not jump there in fewer frames than it should.
    if (toL != fromL) {
        EXPECT_GE(settledAt(out, 0, toL), rampFrames - 1);
    }
    if (toR != fromR) {
        EXPECT_GE(settledAt(out, 1, toR), rampFrames - 1);
    }
}

TEST(TrackGainRamp, LengthIsTenMillisecondsAtEachRate) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {48000, 480}, {44100, 441}, {8000, 80}, {50, 1}, {0, 1}};
    for (const auto& [rate, frames] : cases) {
        EXPECT_EQ(frames, sp<TrackGain>(new TrackGain(rate))->rampFrames()) << rate;
    }
}

TEST(TrackGainRamp, WithoutBlockGainsStayAtOne) {
    sp<TrackGain> gain = new TrackGain(kRate);
    EXPECT_FALSE(gain->hasBlock());
    std::vector<float> out = gainsOver(gain, 1000);
    for (float v : out) ASSERT_EQ(1.0f, v);
    std::vector<int16_t> pcm = {1000, -1000, 32767, -32768};
    gain->process(pcm.data(), 2, 2);
    EXPECT_EQ((std::vector<int16_t>{1000, -1000, 32767, -32768}), pcm);
}

TEST(TrackGainRamp, FirstReadTakesTheBlockAtOnce) {
    Block block;
    block.set(0.5f, 0.25f, 0.8f, false);
    std::vector<float> out = gainsOver(attached(&block), 10);
    EXPECT_FLOAT_EQ(0.4f, out[0]);
    EXPECT_FLOAT_EQ(0.2f, out[1]);

    block.set(1.0f, 1.0f, 1.0f, true);  // a track created muted starts silent
    for (float v : gainsOver(attached(&block), 10)) ASSERT_EQ(0.0f, v);
}

TEST(TrackGainRamp, ReachesEachTargetWithinItsLengthInBoundedSteps) {
    for (uint32_t rate : {48000u, 44100u, 8000u}) {
        SCOPED_TRACE(rate);
        Block block;
        sp<TrackGain> gain = attached(&block, rate);
        const uint32_t n = gain->rampFrames();
        gainsOver(gain, 100);
        // Down, up with a boost, across buffers of odd sizes, then one channel only.
        block.set(0.5f, 0.25f, 0.8f, false);
        expectRamp(gainsOver(gain, 3 * n, 77), 1.0f, 1.0f, 0.4f, 0.2f, n);
        block.set(2.0f, 1.5f, 1.5f, false);
        expectRamp(gainsOver(gain, 3 * n, 1000), 0.4f, 0.2f, 3.0f, 2.25f, n);
        block.set(2.0f, 0.0f, 1.5f, false);
        expectRamp(gainsOver(gain, 2 * n, 1), 3.0f, 2.25f, 3.0f, 0.0f, n);
        EXPECT_FLOAT_EQ(3.0f, gain->current().left);
        EXPECT_EQ(0.0f, gain->current().right);
    }
}

TEST(TrackGainRamp, ChangeInMidRampTurnsWithoutAJump) {
    Block block;
    sp<TrackGain> gain = attached(&block);
    gainsOver(gain, 10);
    block.set(0.0f, 0.0f, 1.0f, false);
    std::vector<float> first = gainsOver(gain, 200, 200);  // 200 of 480 frames down
    const float reached = first.back();
    EXPECT_NEAR(1.0f - 200.0f / 480.0f, reached, 1e-4);
    block.set(1.0f, 1.0f, 1.0f, false);
    std::vector<float> back = gainsOver(gain, 1000, 100);
    expectRamp(back, reached, reached, 1.0f, 1.0f, 480);
    EXPECT_LE(largestStep(first, 0, 1.0f), 1.0f / 480 * 1.0001f);
}

TEST(TrackGainRamp, MuteAndUnmuteRamp) {
    Block block;
    block.set(0.5f, 0.5f, 1.5f, false);
    sp<TrackGain> gain = attached(&block);
    gainsOver(gain, 10);
    put<uint8_t>(&block.b.muted, 1);
    std::vector<float> muted = gainsOver(gain, 1000);
    expectRamp(muted, 0.75f, 0.75f, 0.0f, 0.0f, 480);
    EXPECT_EQ(0.0f, gain->target().left);
    put<uint8_t>(&block.b.muted, 7);  // any non-zero value is muted
    for (float v : gainsOver(gain, 500)) ASSERT_EQ(0.0f, v);
    put<uint8_t>(&block.b.muted, 0);
    expectRamp(gainsOver(gain, 1000), 0.0f, 0.0f, 0.75f, 0.75f, 480);
}

TEST(TrackGainRamp, MonoAndExtraChannelsGetTheMean) {
    Block block;
    block.set(1.0f, 0.5f, 0.5f, false);
    sp<TrackGain> gain = attached(&block);
    std::vector<float> mono(4, 1.0f);
    gain->process(mono.data(), 4, 1);
    for (float v : mono) EXPECT_FLOAT_EQ(0.375f, v);
    std::vector<float> quad(8, 1.0f);
    gain->process(quad.data(), 2, 4);
    EXPECT_EQ((std::vector<float>{0.5f, 0.25f, 0.375f, 0.375f, 0.5f, 0.25f, 0.375f, 0.375f}), quad);
    // A mixer that gives every channel of a multichannel track one volume gets the mean.
    EXPECT_FLOAT_EQ(0.25f, gain->gains(2).right);
    EXPECT_FLOAT_EQ(0.375f, gain->gains(6).left);
    EXPECT_FLOAT_EQ(0.375f, gain->gains(6).right);
}

TEST(TrackGainValues, HostileValuesAreHeldToEachLimit) {
    Block block;
    sp<TrackGain> boost = attached(&block);
    sp<TrackGain> unity = attached(&block, kRate, TrackGain::Limit::UNITY);
    gainsOver(boost, 10);
    struct Case {
        float left, right, general;
        float boostLeft, boostRight, unityLeft, unityRight;
    } cases[] = {
        {kNaN, 0.25f, 1.0f, 1.0f, 0.25f, 1.0f, 0.25f},    // NaN is the neutral factor
        {0.5f, 0.25f, kNaN, 0.5f, 0.25f, 0.5f, 0.25f},    // in general too
        {kInf, 0.25f, 1.0f, 16.0f, 0.25f, 1.0f, 0.25f},   // infinity is the largest gain
        {kInf, kInf, kInf, 16.0f, 16.0f, 1.0f, 1.0f},     // and so is its product
        {1e30f, 1e30f, 1e30f, 16.0f, 16.0f, 1.0f, 1.0f},  // huge but finite
        {-kInf, -0.5f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f},     // negative counts as silence
        {0.5f, 0.5f, -1.0f, 0.0f, 0.0f, 0.0f, 0.0f},      // a negative general too
        {-0.0f, 0.5f, 1.0f, 0.0f, 0.5f, 0.0f, 0.5f},      // and -0
        {0.8f, 0.6f, 2.0f, 1.6f, 1.2f, 1.0f, 1.0f},       // boost, or unity at most
        {0.25f, 0.5f, 1.0f, 0.25f, 0.5f, 0.25f, 0.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.left << " " << c.right << " " << c.general);
        block.set(c.left, c.right, c.general, false);
        EXPECT_FLOAT_EQ(c.unityLeft, unity->gains().left);
        EXPECT_FLOAT_EQ(c.unityRight, unity->gains().right);
        std::vector<float> out = gainsOver(boost, 1000);
        for (float v : out) ASSERT_TRUE(isfinite(v) && v >= 0.0f && v <= TrackGain::kMaxGain);
        EXPECT_FLOAT_EQ(c.boostLeft, out[out.size() - 2]);
        EXPECT_FLOAT_EQ(c.boostRight, out.back());
    }
}

TEST(TrackGainValues, TornUpdateStaysWithinBothUpdates) {
    Block block;
    sp<TrackGain> gain = attached(&block);
    gainsOver(gain, 10);
    // The service writes left, right, general, muted; the reader comes between each.
    put(&block.b.left, 0.5f);
    std::vector<float> a = gainsOver(gain, 100, 100);
    put(&block.b.right, 0.25f);
    std::vector<float> b = gainsOver(gain, 100, 100);
    put(&block.b.general, 0.8f);
    std::vector<float> c = gainsOver(gain, 1000, 100);
    for (const auto* part : {&a, &b, &c}) {
        for (float v : *part) {
            ASSERT_TRUE(isfinite(v));
            ASSERT_GE(v, 0.0f);
            ASSERT_LE(v, 1.0f);
        }
    }
    EXPECT_FLOAT_EQ(0.4f, c[c.size() - 2]);
    EXPECT_FLOAT_EQ(0.2f, c.back());
    EXPECT_LE(largestStep(c, 0, b[b.size() - 2]), 1.0f / 480 * 1.0001f);
}

// Under TSan too: a writer thread storing whole updates, half updates and garbage while the
// audio thread reads.
TEST(TrackGainValues, ConcurrentWriterNeverYieldsNonFiniteOrSteepOutput) {
    Block block;
    // One helper per sample type: each one's output is then one unbroken signal.
    sp<TrackGain> floats = attached(&block), shorts = attached(&block);
    gainsOver(floats, 10);  // the first read, which takes the block without a ramp
    std::vector<int16_t> pcm(2 * 480, 20000);
    shorts->process(pcm.data(), 480, 2);
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread writer([&] {
        const float values[] = {0.0f, 0.5f, 1.0f, 2.0f, kNaN, kInf, -kInf, -1.0f, 1e38f};
        unsigned i = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            block.set(values[i % 9], values[(i / 3) % 9], values[(i / 7) % 9], (i / 11) % 2);
            ++i;
            rounds.fetch_add(1, std::memory_order_relaxed);
        }
    });
    float prev[2] = {1.0f, 1.0f};
    int prevShort[2] = {20000, 20000};
    float largest = 0.0f;
    int largestShort = 0;
    bool finite = true;
    for (int buffer = 0; buffer < 400 || rounds.load() < 1000; ++buffer) {
        std::vector<float> out(2 * 480, 1.0f);
        floats->process(out.data(), 480, 2);
        for (size_t i = 0; i < out.size(); ++i) {
            finite = finite && isfinite(out[i]) && out[i] >= 0 && out[i] <= TrackGain::kMaxGain;
            largest = std::max(largest, fabsf(out[i] - prev[i % 2]));
            prev[i % 2] = out[i];
        }
        for (auto& s : pcm) s = 20000;
        shorts->process(pcm.data(), 480, 2);
        for (size_t i = 0; i < pcm.size(); ++i) {
            finite = finite && pcm[i] >= 0;
            largestShort = std::max(largestShort, abs(pcm[i] - prevShort[i % 2]));
            prevShort[i % 2] = pcm[i];
        }
        if (buffer > 100000) break;
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(finite);
    // No step beyond the widest ramp, from 0 to the largest gain (and rounding for 16 bits).
    EXPECT_LE(largest, TrackGain::kMaxGain / 480 * 1.0001f);
    EXPECT_LE(largestShort, static_cast<int>(20000 * TrackGain::kMaxGain / 480) + 1);
}

TEST(TrackGainValues, BoostSaturatesSixteenBitOutput) {
    Block block;
    block.set(2.0f, 1.5f, 1.0f, false);
    sp<TrackGain> gain = attached(&block);
    std::vector<int16_t> pcm = {30000, -30000, 10000, -10000, 32767, -32768, 1, -1};
    gain->process(pcm.data(), 4, 2);
    EXPECT_EQ((std::vector<int16_t>{32767, -32768, 20000, -15000, 32767, -32768, 2, -2}), pcm);
    std::vector<float> f = {0.75f, -0.75f};
    gain->process(f.data(), 1, 2);
    EXPECT_FLOAT_EQ(1.5f, f[0]);  // float output is not clipped: the mixer owns headroom
    EXPECT_FLOAT_EQ(-1.125f, f[1]);
    block.set(kInf, kInf, kInf, false);
    std::vector<int16_t> loud(2 * 2000, 3);
    gain->process(loud.data(), 2000, 2);
    EXPECT_EQ(48, loud.back());  // 3 x kMaxGain
}

TEST(TrackGainValues, AttachRefusesNullAndMisalignedBlocks) {
    sp<TrackGain> gain = new TrackGain(kRate);
    EXPECT_EQ(BAD_VALUE, gain->attach(nullptr));
    alignas(8) unsigned char raw[64] = {};
    EXPECT_EQ(BAD_VALUE, gain->attach(reinterpret_cast<tnvl_cblk*>(raw + 2)));
    EXPECT_FALSE(gain->hasBlock());
}

/**
 * A service that hands out a block in memory of its own for each request, with the values
 * and identity it is told, and records every call in order.
 */
class FakeService : public ITonvale {
public:
    sp<IMemory> getTrackCtlBlk(int pid, int session) override {
        calls.push_back("get " + std::to_string(pid) + " " + std::to_string(session));
        if (!handOut) return nullptr;
        lastHeap = new MemoryHeapBase(sizeof(tnvl_cblk), 0, "fake block");
        last = static_cast<tnvl_cblk*>(lastHeap->getBase());
        *last = tnvl_cblk{valid, {}, pid, session + sessionSkew, 1.0f, 1.0f, 1.0f, 0, 0, {}};
        setBlock(last, value, value / 2, 1.0f, false);
        return new MemoryBase(lastHeap, 0, size);
    }
    int releaseBufferFor(int pid, int session) override {
        calls.push_back("release " + std::to_string(pid) + " " + std::to_string(session));
        return 0;
    }
    String8 status() override { return String8(); }
    std::vector<sp<IMemory>> exportAllMem() override { return {}; }
    int releaseAllBuffer() override { return 0; }
    String8 getVersion() override { return String8(); }
    String8 getSwitches() override { return String8(); }
    String8 listProfiles() override { return String8(); }
    String8 listMuted() override { return String8(); }
    int setControlMode(int) override { return 0; }
    int setDefaultSilent(bool) override { return 0; }
    int setWeakKeyAdjust(bool) override { return 0; }
    int setProfile(std::string, float, float, float, bool, bool) override { return 0; }
    int unsetProfile(std::string, bool) override { return 0; }
    int mute(std::string, bool) override { return 0; }
    int unmute(std::string, bool) override { return 0; }
    int clear() override { return 0; }
    String8 listBuffers(int) override { return String8(); }
    String8 getDefaultProfile() override { return String8(); }
    int setDefaultProfile(float, float, float, bool) override { return 0; }
    String8 getProfile(std::string, bool) override { return String8(); }
    String8 getOvrStatus() override { return String8(); }
    IBinder* onAsBinder() override { return nullptr; }

    std::vector<std::string> calls;
    sp<MemoryHeapBase> lastHeap;
    tnvl_cblk* last = nullptr;  // the block handed out last, in lastHeap
    float value = 0.5f;         // its left; right is half of it
    bool handOut = true;
    uint8_t valid = 1;
    int sessionSkew = 0;
    size_t size = sizeof(tnvl_cblk);
};

using Calls = std::vector<std::string>;

TEST(TrackGainOpen, TakesTheNewHoldFirstAndGivesEachBackOnceFromTheControlSide) {
    sp<FakeService> service = new FakeService();
    sp<TrackGain> gain = new TrackGain(kRate);
    ASSERT_EQ(NO_ERROR, gain->openWith(service, 42, 7));
    EXPECT_FLOAT_EQ(0.5f, gain->gains().left);
    gain->setActive(true);
    EXPECT_EQ(1, service->last->active);
    service->value = 0.25f;
    ASSERT_EQ(NO_ERROR, gain->openWith(service, 42, 8));  // the same track again, or another
    EXPECT_EQ((Calls{"get 42 7", "get 42 8", "release 42 7"}), service->calls);
    EXPECT_FLOAT_EQ(0.25f, gain->gains().left);
    EXPECT_EQ(1, service->last->active) << "the active flag carries over to the new block";

    // The block stays readable after release(), and nothing more is said as the helper goes,
    // with or without a release.
    EXPECT_EQ(NO_ERROR, gain->release());
    EXPECT_EQ(NO_ERROR, gain->release());
    EXPECT_FLOAT_EQ(0.25f, gain->gains().left);
    gain.clear();
    sp<TrackGain> unreleased = new TrackGain(kRate);
    ASSERT_EQ(NO_ERROR, unreleased->openWith(service, 42, 9));
    unreleased.clear();
    EXPECT_EQ((Calls{"get 42 7", "get 42 8", "release 42 7", "release 42 8", "get 42 9"}),
              service->calls);
}

TEST(TrackGainOpen, RefusedMemoryIsGivenBackAndTheBlockHeldStays) {
    sp<FakeService> service = new FakeService();
    sp<TrackGain> gain = new TrackGain(kRate);
    ASSERT_EQ(NO_ERROR, gain->openWith(service, 42, 7));
    service->value = 0.125f;
    service->sessionSkew = 1;  // another track's block
    EXPECT_EQ(BAD_VALUE, gain->openWith(service, 42, 7));
    service->sessionSkew = 0;
    service->valid = 0;  // never filled
    EXPECT_EQ(BAD_VALUE, gain->openWith(service, 42, 7));
    service->valid = 1;
    service->size = 20;  // too small for a block
    EXPECT_EQ(BAD_VALUE, gain->openWith(service, 42, 7));
    service->handOut = false;
    EXPECT_EQ(NAME_NOT_FOUND, gain->openWith(service, 42, 7));
    EXPECT_EQ(NO_INIT, gain->openWith(nullptr, 42, 7));
    EXPECT_EQ((Calls{"get 42 7", "get 42 7", "release 42 7", "get 42 7", "release 42 7", "get 42 7",
                     "release 42 7", "get 42 7"}),
              service->calls);
    EXPECT_FLOAT_EQ(0.5f, gain->gains().left) << "the first block is still read";
}

// Under TSan and ASan: readers on two threads while the control side swaps blocks. A block
// freed or unmapped under a reader shows as a use after free, a race on the freed block
// object, or a crash; a read that mixed two blocks breaks the left = 2 x right rule.
TEST(TrackGainSwap, ReadersNeverTouchABlockThatIsGone) {
    sp<FakeService> service = new FakeService();
    sp<TrackGain> gain = new TrackGain(kRate);
    ASSERT_EQ(NO_ERROR, gain->openWith(service, 42, 7));
    std::atomic<bool> stop{false};
    std::atomic<bool> consistent{true};
    std::atomic<int> reads{0};
    auto reader = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const TrackGain::Gains g = gain->gains();
            if (g.left != 2 * g.right || g.left <= 0.0f) consistent = false;
            reads.fetch_add(1, std::memory_order_relaxed);
        }
    };
    std::thread mixer(reader), fastMixer(reader);
    for (int i = 0; i < 2000 || reads.load() < 20000; ++i) {
        service->value = 0.5f + (i % 50) / 100.0f;
        ASSERT_EQ(NO_ERROR, gain->openWith(service, 42, 7));
        gain->setActive(i % 2 == 0);
        if (i > 200000) break;
    }
    stop = true;
    mixer.join();
    fastMixer.join();
    EXPECT_TRUE(consistent);
}

}  // namespace
}  // namespace android
