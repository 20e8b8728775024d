#pragma once

#include <binder/IMemory.h>
#include <cutils/compiler.h>
#include <stddef.h>
#include <stdint.h>
#include <utils/Errors.h>
#include <utils/StrongPointer.h>

#include "interface/ITonvale.h"
#include "registry/tnvl_cblk.h"

namespace android {

/**
 * The volume of one audio track, as its control block says, for a mixer to apply.
 *
 * A mixer makes one per track when it creates the track and opens it (one call to the
 * service), calls process() (or update()) on its audio thread once per mix cycle, and
 * destroys it when the track ends, which gives the block back to the service.
 *
 * Channel gains: left = left x general, right = right x general, both 0 while muted. A mono
 * track gets the mean of the two, (left + right) / 2 x general; in frames of more than two
 * channels, channel 0 gets left, channel 1 right and the others the mean.
 *
 * When the target changes, the gains move to it on a straight line over rampFrames() frames
 * (10 ms), so neither a change nor a mute clicks. The first read after open() or attach()
 * takes the block's gains at once, so a track created muted or quiet never starts loud. The block
 * is written by another process without a lock, so one read may mix fields of two updates; the next
 * read sees the settled values and the ramp turns towards them. Values are made safe before use:
 * NaN keeps the field's last good value (1 at first), a negative value counts as 0, and anything
 * above kMaxGain (infinity too) as kMaxGain, for each field and for each product. Boost above 1 is
 * allowed; 16-bit output saturates.
 *
 * Without a block (no service, or it handed out none) the gains stay at 1. When the service
 * dies, the block keeps the values last written and so do the gains; a track created after a
 * restart gets a block from the new daemon.
 *
 * Threads: open(), attach() and the destructor belong to the track's control thread and must
 * not run while the audio thread is in this object. update(), process() and setActive() are
 * the audio thread's: one relaxed atomic load or store per block field, no lock, no
 * allocation, no system call.
 */
class ANDROID_API TrackGain {
public:
    /** Length of a ramp towards a new target. */
    static constexpr float kRampSeconds = 0.01f;
    /** Largest gain applied (+24 dB), so float output stays bounded whatever the block says. */
    static constexpr float kMaxGain = 16.0f;

    struct Gains {
        float left;
        float right;
    };

    /** A helper for a track at sampleRate frames per second (at least 1), with no block. */
    explicit TrackGain(uint32_t sampleRate);
    /** Gives the block back to the service when it came from open(). */
    ~TrackGain();

    TrackGain(const TrackGain&) = delete;
    TrackGain& operator=(const TrackGain&) = delete;

    /**
     * Asks the service (getTonvale()) for the block of (pid, session) and keeps its memory.
     * NO_INIT when no service was found, NAME_NOT_FOUND when it handed out no block,
     * BAD_VALUE when the memory is not a block for that pid and session (it is given back).
     * A block held before is given back first.
     */
    [[nodiscard]] status_t open(int pid, int session);
    /** The same with a service the caller found itself. */
    [[nodiscard]] status_t open(const sp<ITonvale>& service, int pid, int session);

    /**
     * Reads a block that the caller keeps mapped for this object's life (nothing is given
     * back at the end). BAD_VALUE for a null or misaligned block.
     */
    [[nodiscard]] status_t attach(tnvl_cblk* block);

    bool hasBlock() const { return mBlock != nullptr; }
    uint32_t rampFrames() const { return mRampFrames; }

    /** Audio thread: reads the block and returns the target gains; the ramp turns to them. */
    Gains update();

    /**
     * Audio thread: update(), then applies the gains to frameCount interleaved frames of
     * channelCount channels in place, ramping where a ramp runs.
     */
    void process(float* frames, size_t frameCount, uint32_t channelCount);
    /** The same for 16-bit samples; results beyond the 16-bit range saturate. */
    void process(int16_t* frames, size_t frameCount, uint32_t channelCount);

    /** Audio thread: the gains given to the last frame processed. */
    Gains current() const { return {mGain[0], mGain[1]}; }
    /** Audio thread: the gains the ramp heads for, as of the last update(). */
    Gains target() const { return {mTarget[0], mTarget[1]}; }

    /** Audio thread: marks the track active or not in its block, for the service's reports. */
    void setActive(bool active);

private:
    /** Gives back the block taken by open(), if any, and forgets the block. */
    void releaseBlock();

    /** One frame's gains: the ramp's next step, or the target once it is reached. */
    inline void stepRamp();

    template <typename Sample>
    void apply(Sample* frames, size_t frameCount, uint32_t channelCount);

    const uint32_t mRampFrames;

    // Control thread.
    sp<ITonvale> mService;
    sp<IMemory> mMemory;
    int mPid = 0;
    int mSession = 0;
    tnvl_cblk* mBlock = nullptr;

    // Audio thread.
    float mLastGood[3] = {1.0f, 1.0f, 1.0f};  // left, right, general
    float mTarget[2] = {1.0f, 1.0f};
    float mGain[2] = {1.0f, 1.0f};
    float mRampStart[2] = {1.0f, 1.0f};
    float mStep[2] = {0.0f, 0.0f};
    uint32_t mRampDone = 0;  // frames of the running ramp already given
    uint32_t mRampLeft = 0;
    bool mFirstRead = true;  // the first read after attach() sets the gains without a ramp
};

}  // namespace android
