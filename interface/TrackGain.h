#pragma once

#include <cutils/compiler.h>
#include <stddef.h>
#include <stdint.h>
#include <utils/Errors.h>
#include <utils/RefBase.h>
#include <utils/StrongPointer.h>

#include <atomic>
#include <mutex>

#include "interface/ITonvale.h"
#include "interface/TonvaleHolder.h"
#include "registry/tnvl_cblk.h"

namespace android {

class BlockMap;

/**
 * The volume of one audio track, as its control block says, for a mixer to apply.
 *
 * Gains: left = left x general, right = right x general, both 0 while muted. Each factor is
 * made safe before use (NaN counts as 1, a negative value as 0, anything larger as kMaxGain),
 * and each product is held to the limit: kMaxGain (+24 dB) with Limit::BOOST, 1 with
 * Limit::UNITY, the mode for a mixer that clamps track gains to unity itself (AudioMixer, the
 * direct output). Without a block the gains are 1: the track plays as if tonvale were not there.
 *
 * Threads:
 * - Control side (binder threads, the holder's thread; never an audio thread): open(),
 *   attach(), release(). open() makes one call to the service, plus the memory's own calls to
 *   map it, and never waits for a service that is not there.
 * - Any thread, any number at once (mixer thread, FastMixer): gains(). Lock-free, no call,
 *   no allocation, no system call.
 * - setActive(): any thread but a lock-free one (it takes a lock that is never held across a
 *   call).
 * - One audio thread that applies the gains itself: update(), process(), current(),
 *   target(). They ramp every change over rampFrames() (10 ms); a mixer that ramps volume
 *   itself (AudioMixer) reads gains() instead, so changes are not ramped twice.
 *
 * A new block (open, re-open after a daemon restart, attach) replaces the old one atomically;
 * the old mapping is unmapped only once no gains() call can still be reading it. Giving the
 * block back to the service (release(), control side) is apart from unmapping, which happens
 * with the last reference, on whatever thread drops it, with no binder call. The block stays
 * readable after release() until then.
 *
 * Keep it in an sp<>: the holder refers to it weakly to re-open it.
 */
class ANDROID_API TrackGain : public RefBase {
public:
    /** Length of a ramp towards a new target. */
    static constexpr float kRampSeconds = 0.01f;
    /** Largest factor or gain applied, so float output stays bounded whatever the block says. */
    static constexpr float kMaxGain = 16.0f;

    enum class Limit { BOOST, UNITY };

    struct Gains {
        float left;
        float right;
    };

    /** A helper for a track at sampleRate frames per second, with no block. */
    explicit TrackGain(uint32_t sampleRate, Limit limit = Limit::BOOST);

    TrackGain(const TrackGain&) = delete;
    TrackGain& operator=(const TrackGain&) = delete;

    /**
     * Control side: asks the holder's service for the block of (pid, session) and maps it; the
     * holder re-opens it after a daemon restart, or once a service appears. NO_INIT when no
     * service is registered, DEAD_OBJECT when it died in the call, NAME_NOT_FOUND or the call's
     * failure when it handed out none, BAD_VALUE when the memory is not that block (it is given
     * back). On failure the block held before, if any, stays. pid is the process that plays
     * the track (the app), not the one that asks.
     */
    [[nodiscard]] status_t open(const sp<TonvaleHolder>& holder, int pid, int session);
    /** The same with a service the caller found, with no re-opening. */
    [[nodiscard]] status_t openWith(const sp<ITonvale>& service, int pid, int session);

    /**
     * Control side: reads a block that the caller keeps mapped for this object's life; a block
     * from open() is given back. BAD_VALUE for a null or misaligned block.
     */
    [[nodiscard]] status_t attach(tnvl_cblk* block);

    /**
     * Control side: gives the block back to the service that handed it out, and ends
     * re-opening. The block stays mapped, and gains() keeps reading it, until the last
     * reference goes. NO_ERROR, or the call's failure (DEAD_OBJECT: the hold went with the
     * daemon).
     */
    status_t release();

    /** Any thread: the target gains the block asks for now. */
    Gains gains() const;
    /**
     * The same for a mixer that gives all channels of a track of channelCount channels one
     * volume when there are more than two (AudioMixer): then both are the mean of the two.
     */
    Gains gains(uint32_t channelCount) const;

    bool hasBlock() const { return mCurrent.load(std::memory_order_acquire) != nullptr; }
    uint32_t rampFrames() const { return mRampFrames; }

    /** Marks the track playing or not in its block (and in blocks to come), for reports. */
    void setActive(bool active);

    /** Audio thread: reads the gains and returns them; the ramp turns towards them. */
    Gains update();
    /**
     * Audio thread: update(), then applies the gains to frameCount interleaved frames of
     * channelCount channels in place, ramping where a ramp runs: channel 0 gets left,
     * channel 1 right, a mono track and channels past the second the mean of the two.
     */
    void process(float* frames, size_t frameCount, uint32_t channelCount);
    /** The same for 16-bit samples; results beyond the 16-bit range saturate. */
    void process(int16_t* frames, size_t frameCount, uint32_t channelCount);
    /** Audio thread: the gains given to the last frame processed. */
    Gains current() const { return {mGain[0], mGain[1]}; }
    /** Audio thread: the gains the ramp heads for, as of the last update(). */
    Gains target() const { return {mTarget[0], mTarget[1]}; }

protected:
    /** Unmaps the block; gives nothing back to the service (release() does). */
    ~TrackGain() override;

private:
    friend class TonvaleHolder;

    /** Where the track's block came from. */
    struct Hold {
        sp<ITonvale> service;  // null when there is no hold to give back
        int pid = 0;
        int session = 0;
    };

    /**
     * Holder's thread: opens again with a service of a later generation. False while the
     * service is not reachable, so the holder tries again.
     */
    bool follow(const sp<ITonvale>& service, uint32_t generation);

    /** Asks service for the block and swaps it in. Called with mControl held. */
    status_t openLocked(const sp<ITonvale>& service, int pid, int session);
    /** Gives the hold back, if any. Called with mControl held. */
    status_t giveBackLocked();
    /** Makes next the block gains() reads; the old one goes once no reader holds it. */
    void publish(BlockMap* next);

    /** One frame's gains: the ramp's next step, or the target once it is reached. */
    inline void stepRamp();

    template <typename Sample>
    void apply(Sample* frames, size_t frameCount, uint32_t channelCount);

    const uint32_t mRampFrames;
    const float mLimit;

    // Read by every thread; replaced under mPublish, read without it.
    std::atomic<BlockMap*> mCurrent{nullptr};
    mutable std::atomic<uint32_t> mReaders{0};  // gains() calls under way

    std::mutex mPublish;  // a block change, and setActive()
    bool mActive = false;

    // Control side, under mControl.
    std::mutex mControl;
    Hold mHold;
    int mPid = 0;
    int mSession = 0;
    bool mFollowing = false;   // re-opened by the holder
    uint32_t mGeneration = 0;  // of the service that last answered, when mAnswered
    bool mAnswered = false;

    // The ramping audio thread.
    float mTarget[2] = {1.0f, 1.0f};
    float mGain[2] = {1.0f, 1.0f};
    float mRampStart[2] = {1.0f, 1.0f};
    float mStep[2] = {0.0f, 0.0f};
    uint32_t mRampDone = 0;  // frames of the running ramp already given
    uint32_t mRampLeft = 0;
    bool mFirstRead = true;  // the first update() takes the gains without a ramp
};

}  // namespace android
