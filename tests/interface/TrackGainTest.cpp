// The client gain helper with a block in local memory: ramps, mutes, hostile block values, a
// concurrent writer, and what open() accepts from a service.
#include <binder/MemoryBase.h>
#include <binder/MemoryHeapBase.h>
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <atomic>
#include <limits>
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

/** A block in local memory, written field by field as the service does. */
struct Block {
    Block() {
        memset(&b, 0, sizeof(b));
        b.valid = 1;
        set(1.0f, 1.0f, 1.0f, false);
    }
    void set(float left, float right, float general, bool muted) {
        put(&b.left, left);
        put(&b.right, right);
        put(&b.general, general);
        put<uint8_t>(&b.muted, muted ? 1 : 0);
    }
    tnvl_cblk b;
};

/** Runs frames of a stereo DC signal of 1.0, so each output sample is the gain it got. */
std::vector<float> gainsOver(TrackGain* gain, size_t frames, size_t bufferFrames = 128) {
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
    EXPECT_EQ(480u, TrackGain(48000).rampFrames());
    EXPECT_EQ(441u, TrackGain(44100).rampFrames());
    EXPECT_EQ(80u, TrackGain(8000).rampFrames());
    EXPECT_EQ(1u, TrackGain(50).rampFrames());
    EXPECT_EQ(1u, TrackGain(0).rampFrames());
}

TEST(TrackGainRamp, WithoutBlockGainsStayAtOne) {
    TrackGain gain(kRate);
    EXPECT_FALSE(gain.hasBlock());
    std::vector<float> out = gainsOver(&gain, 1000);
    for (float v : out) ASSERT_EQ(1.0f, v);
    std::vector<int16_t> pcm = {1000, -1000, 32767, -32768};
    gain.process(pcm.data(), 2, 2);
    EXPECT_EQ((std::vector<int16_t>{1000, -1000, 32767, -32768}), pcm);
}

TEST(TrackGainRamp, FirstReadTakesTheBlockAtOnce) {
    Block block;
    block.set(0.5f, 0.25f, 0.8f, false);
    TrackGain gain(kRate);
    ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
    std::vector<float> out = gainsOver(&gain, 10);
    EXPECT_FLOAT_EQ(0.4f, out[0]);
    EXPECT_FLOAT_EQ(0.2f, out[1]);

    block.set(1.0f, 1.0f, 1.0f, true);  // a track created muted starts silent
    TrackGain muted(kRate);
    ASSERT_EQ(NO_ERROR, muted.attach(&block.b));
    for (float v : gainsOver(&muted, 10)) ASSERT_EQ(0.0f, v);
}

TEST(TrackGainRamp, ReachesEachTargetWithinItsLengthInBoundedSteps) {
    for (uint32_t rate : {48000u, 44100u, 8000u}) {
        SCOPED_TRACE(rate);
        Block block;
        TrackGain gain(rate);
        ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
        const uint32_t n = gain.rampFrames();
        gainsOver(&gain, 100);
        // Down, up with a boost, across buffers of odd sizes, then one channel only.
        block.set(0.5f, 0.25f, 0.8f, false);
        expectRamp(gainsOver(&gain, 3 * n, 77), 1.0f, 1.0f, 0.4f, 0.2f, n);
        block.set(2.0f, 1.5f, 1.5f, false);
        expectRamp(gainsOver(&gain, 3 * n, 1000), 0.4f, 0.2f, 3.0f, 2.25f, n);
        block.set(2.0f, 0.0f, 1.5f, false);
        expectRamp(gainsOver(&gain, 2 * n, 1), 3.0f, 2.25f, 3.0f, 0.0f, n);
        EXPECT_FLOAT_EQ(3.0f, gain.current().left);
        EXPECT_EQ(0.0f, gain.current().right);
    }
}

TEST(TrackGainRamp, ChangeInMidRampTurnsWithoutAJump) {
    Block block;
    TrackGain gain(kRate);
    ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
    gainsOver(&gain, 10);
    block.set(0.0f, 0.0f, 1.0f, false);
    std::vector<float> first = gainsOver(&gain, 200, 200);  // 200 of 480 frames down
    const float reached = first.back();
    EXPECT_NEAR(1.0f - 200.0f / 480.0f, reached, 1e-4);
    block.set(1.0f, 1.0f, 1.0f, false);
    std::vector<float> back = gainsOver(&gain, 1000, 100);
    expectRamp(back, reached, reached, 1.0f, 1.0f, 480);
    EXPECT_LE(largestStep(first, 0, 1.0f), 1.0f / 480 * 1.0001f);
}

TEST(TrackGainRamp, MuteAndUnmuteRamp) {
    Block block;
    block.set(0.5f, 0.5f, 1.5f, false);
    TrackGain gain(kRate);
    ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
    gainsOver(&gain, 10);
    put<uint8_t>(&block.b.muted, 1);
    std::vector<float> muted = gainsOver(&gain, 1000);
    expectRamp(muted, 0.75f, 0.75f, 0.0f, 0.0f, 480);
    EXPECT_EQ(0.0f, gain.target().left);
    put<uint8_t>(&block.b.muted, 7);  // any non-zero value is muted
    for (float v : gainsOver(&gain, 500)) ASSERT_EQ(0.0f, v);
    put<uint8_t>(&block.b.muted, 0);
    expectRamp(gainsOver(&gain, 1000), 0.0f, 0.0f, 0.75f, 0.75f, 480);
}

TEST(TrackGainRamp, MonoGetsTheMeanAndExtraChannelsToo) {
    Block block;
    block.set(1.0f, 0.5f, 0.5f, false);
    TrackGain gain(kRate);
    ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
    std::vector<float> mono(4, 1.0f);
    gain.process(mono.data(), 4, 1);
    for (float v : mono) EXPECT_FLOAT_EQ(0.375f, v);
    std::vector<float> quad(8, 1.0f);
    gain.process(quad.data(), 2, 4);
    EXPECT_EQ((std::vector<float>{0.5f, 0.25f, 0.375f, 0.375f, 0.5f, 0.25f, 0.375f, 0.375f}), quad);
}

TEST(TrackGainValues, NonFiniteAndNegativeValuesGiveFiniteOutput) {
    Block block;
    block.set(0.5f, 0.5f, 1.0f, false);
    TrackGain gain(kRate);
    ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
    gainsOver(&gain, 10);
    struct Case {
        float left, right, general;
        float wantLeft, wantRight;
    } cases[] = {
        {kNaN, 0.25f, 1.0f, 0.5f, 0.25f},     // NaN keeps the last good left
        {kNaN, kNaN, kNaN, 0.5f, 0.25f},      // all three
        {kInf, 0.25f, 1.0f, 16.0f, 0.25f},    // infinity is the largest gain
        {kInf, kInf, kInf, 16.0f, 16.0f},     // and so is its product
        {1e30f, 1e30f, 1e30f, 16.0f, 16.0f},  // huge but finite
        {-kInf, -0.5f, 1.0f, 0.0f, 0.0f},     // negative counts as silence
        {0.5f, 0.5f, -1.0f, 0.0f, 0.0f},      // a negative general too
        {-0.0f, 0.5f, 1.0f, 0.0f, 0.5f},      // and -0
        {0.5f, 0.25f, kNaN, 0.5f, 0.25f},     // NaN general keeps its last good, 1
        {0.5f, 0.25f, 2.0f, 1.0f, 0.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.left << " " << c.right << " " << c.general);
        block.set(c.left, c.right, c.general, false);
        std::vector<float> out = gainsOver(&gain, 1000);
        for (float v : out) ASSERT_TRUE(isfinite(v));
        EXPECT_EQ(c.wantLeft, out[out.size() - 2]);
        EXPECT_EQ(c.wantRight, out.back());
        for (float v : out) ASSERT_LE(v, TrackGain::kMaxGain);
        for (float v : out) ASSERT_GE(v, 0.0f);
    }
    // A block whose first values are NaN plays at the neutral 1.
    Block fresh;
    fresh.set(kNaN, kNaN, kNaN, false);
    TrackGain first(kRate);
    ASSERT_EQ(NO_ERROR, first.attach(&fresh.b));
    for (float v : gainsOver(&first, 10)) ASSERT_EQ(1.0f, v);
}

TEST(TrackGainValues, TornUpdateStaysWithinBothUpdates) {
    Block block;
    block.set(1.0f, 1.0f, 1.0f, false);
    TrackGain gain(kRate);
    ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
    gainsOver(&gain, 10);
    // The service writes left, right, general, muted; the reader comes between each.
    put(&block.b.left, 0.5f);
    std::vector<float> a = gainsOver(&gain, 100, 100);
    put(&block.b.right, 0.25f);
    std::vector<float> b = gainsOver(&gain, 100, 100);
    put(&block.b.general, 0.8f);
    std::vector<float> c = gainsOver(&gain, 1000, 100);
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
    TrackGain floats(kRate), shorts(kRate);
    ASSERT_EQ(NO_ERROR, floats.attach(&block.b));
    ASSERT_EQ(NO_ERROR, shorts.attach(&block.b));
    gainsOver(&floats, 10);  // the first read, which takes the block without a ramp
    std::vector<int16_t> pcm(2 * 480, 20000);
    shorts.process(pcm.data(), 480, 2);
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread writer([&] {
        const float values[] = {0.0f, 0.5f, 1.0f, 2.0f, kNaN, kInf, -kInf, -1.0f, 1e38f};
        unsigned i = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            put(&block.b.left, values[i % 9]);
            put(&block.b.right, values[(i / 3) % 9]);
            put(&block.b.general, values[(i / 7) % 9]);
            put<uint8_t>(&block.b.muted, (i / 11) % 2);
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
        floats.process(out.data(), 480, 2);
        for (size_t i = 0; i < out.size(); ++i) {
            finite = finite && isfinite(out[i]) && out[i] >= 0 && out[i] <= TrackGain::kMaxGain;
            largest = std::max(largest, fabsf(out[i] - prev[i % 2]));
            prev[i % 2] = out[i];
        }
        for (auto& s : pcm) s = 20000;
        shorts.process(pcm.data(), 480, 2);
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
    TrackGain gain(kRate);
    ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
    std::vector<int16_t> pcm = {30000, -30000, 10000, -10000, 32767, -32768, 1, -1};
    gain.process(pcm.data(), 4, 2);
    EXPECT_EQ((std::vector<int16_t>{32767, -32768, 20000, -15000, 32767, -32768, 2, -2}), pcm);
    std::vector<float> f = {0.75f, -0.75f};
    gain.process(f.data(), 1, 2);
    EXPECT_FLOAT_EQ(1.5f, f[0]);  // float output is not clipped: the mixer owns headroom
    EXPECT_FLOAT_EQ(-1.125f, f[1]);
    block.set(kInf, kInf, kInf, false);
    std::vector<int16_t> loud(2 * 2000, 3);
    gain.process(loud.data(), 2000, 2);
    EXPECT_EQ(48, loud.back());  // 3 x kMaxGain
}

TEST(TrackGainValues, AttachRefusesNullAndMisalignedBlocks) {
    TrackGain gain(kRate);
    EXPECT_EQ(BAD_VALUE, gain.attach(nullptr));
    alignas(8) unsigned char raw[64] = {};
    EXPECT_EQ(BAD_VALUE, gain.attach(reinterpret_cast<tnvl_cblk*>(raw + 2)));
    EXPECT_FALSE(gain.hasBlock());
}

TEST(TrackGainValues, SetActiveWritesTheFlagOnly) {
    Block block;
    TrackGain gain(kRate);
    gain.setActive(true);  // no block: nothing to write
    ASSERT_EQ(NO_ERROR, gain.attach(&block.b));
    gain.setActive(true);
    EXPECT_EQ(1, block.b.active);
    EXPECT_EQ(0, block.b.muted);
    gain.setActive(false);
    EXPECT_EQ(0, block.b.active);
}

/** A service that hands out one block of local memory and records releases. */
class FakeService : public ITonvale {
public:
    FakeService() {
        heap = new MemoryHeapBase(sizeof(tnvl_cblk), 0, "fake block");
        block = static_cast<tnvl_cblk*>(heap->getBase());
        memset(block, 0, sizeof(*block));
    }
    sp<IMemory> getTrackCtlBlk(int pid, int session) override {
        requests.push_back({pid, session});
        if (!handOut) return nullptr;
        return new MemoryBase(heap, 0, size);
    }
    int releaseBufferFor(int pid, int session) override {
        releases.push_back({pid, session});
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

    sp<MemoryHeapBase> heap;
    tnvl_cblk* block;
    bool handOut = true;
    size_t size = sizeof(tnvl_cblk);
    std::vector<std::pair<int, int>> requests, releases;
};

TEST(TrackGainOpen, KeepsAGoodBlockAndGivesItBackOnce) {
    sp<FakeService> service = new FakeService();
    service->block->valid = 1;
    service->block->pid = 42;
    service->block->session = 7;
    service->block->left = 0.5f;
    service->block->right = 0.5f;
    service->block->general = 1.0f;
    {
        TrackGain gain(kRate);
        ASSERT_EQ(NO_ERROR, gain.open(service, 42, 7));
        EXPECT_TRUE(gain.hasBlock());
        EXPECT_FLOAT_EQ(0.5f, gain.update().left);
        EXPECT_TRUE(service->releases.empty());
    }
    EXPECT_EQ((std::vector<std::pair<int, int>>{{42, 7}}), service->releases);
}

TEST(TrackGainOpen, RefusesMemoryThatIsNotTheRequestedBlock) {
    sp<FakeService> service = new FakeService();
    service->block->valid = 1;
    service->block->pid = 42;
    service->block->session = 8;  // another session's block
    TrackGain gain(kRate);
    EXPECT_EQ(BAD_VALUE, gain.open(service, 42, 7));
    EXPECT_FALSE(gain.hasBlock());
    EXPECT_EQ(1u, service->releases.size()) << "a refused block is given back";
    for (float v : gainsOver(&gain, 10)) ASSERT_EQ(1.0f, v);

    service->block->session = 7;
    service->block->valid = 0;  // never filled
    EXPECT_EQ(BAD_VALUE, gain.open(service, 42, 7));
    service->block->valid = 1;
    service->size = 20;  // too small for a block
    EXPECT_EQ(BAD_VALUE, gain.open(service, 42, 7));
    service->handOut = false;
    EXPECT_EQ(NAME_NOT_FOUND, gain.open(service, 42, 7));
    EXPECT_EQ(NO_INIT, gain.open(nullptr, 42, 7));
    EXPECT_EQ(3u, service->releases.size());
    EXPECT_FALSE(gain.hasBlock());
}

TEST(TrackGainOpen, ReopeningGivesTheOldBlockBack) {
    sp<FakeService> service = new FakeService();
    *service->block = tnvl_cblk{1, {}, 42, 7, 1.0f, 1.0f, 1.0f, 0, 0, {}};
    TrackGain gain(kRate);
    ASSERT_EQ(NO_ERROR, gain.open(service, 42, 7));
    ASSERT_EQ(NO_ERROR, gain.open(service, 42, 7));
    EXPECT_EQ(1u, service->releases.size());
}

}  // namespace
}  // namespace android
