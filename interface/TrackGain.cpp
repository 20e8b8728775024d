#include "interface/TrackGain.h"

#include <math.h>

#include "interface/TonvaleClient.h"

namespace android {

namespace {

// The block's fields are plain members written by another process. C++17 has no
// std::atomic_ref, and a cast to std::atomic<T>* would name an object that does not exist, so
// the fields are read and written with the compiler's __atomic builtins, which work on
// ordinary objects (C++20's atomic_ref is built on them). Each field sits at its natural
// alignment (tnvl_cblk.h checks the offsets, attach() the base), and the builtins are always
// lock-free at these sizes, so each access is one single-copy-atomic load or store: no torn
// field, no libatomic lock, no system call. The service stores with the same builtins.
template <typename T>
T loadField(const T* field) {
    static_assert(__atomic_always_lock_free(sizeof(T), 0), "a block field must be lock-free");
    T value;
    __atomic_load(field, &value, __ATOMIC_RELAXED);
    return value;
}

template <typename T>
void storeField(T* field, T value) {
    static_assert(__atomic_always_lock_free(sizeof(T), 0), "a block field must be lock-free");
    __atomic_store(field, &value, __ATOMIC_RELAXED);
}

/** A usable factor: NaN keeps the last good one, the rest is held to [0, kMaxGain]. */
float safeFactor(float value, float lastGood) {
    if (isnan(value)) return lastGood;
    if (!(value > 0.0f)) return 0.0f;  // negative, -0 and -inf
    return value < TrackGain::kMaxGain ? value : TrackGain::kMaxGain;
}

float safeProduct(float a, float b) {
    const float product = a * b;  // both in [0, kMaxGain], so finite
    return product < TrackGain::kMaxGain ? product : TrackGain::kMaxGain;
}

inline float scaled(float sample, float gain) {
    return sample * gain;
}

// Saturates, then rounds half away from zero; written without branches so it vectorises.
inline int16_t scaled(int16_t sample, float gain) {
    float v = static_cast<float>(sample) * gain;
    v = v < 32767.0f ? v : 32767.0f;
    v = v > -32768.0f ? v : -32768.0f;
    return static_cast<int16_t>(static_cast<int32_t>(v + copysignf(0.5f, v)));
}

}  // namespace

TrackGain::TrackGain(uint32_t sampleRate)
    : mRampFrames(sampleRate * kRampSeconds >= 1.0f
                      ? static_cast<uint32_t>(sampleRate * kRampSeconds + 0.5f)
                      : 1) {}

TrackGain::~TrackGain() {
    releaseBlock();
}

status_t TrackGain::open(int pid, int session) {
    sp<ITonvale> service = getTonvale();
    if (service == nullptr) {
        releaseBlock();
        return NO_INIT;
    }
    return open(service, pid, session);
}

status_t TrackGain::open(const sp<ITonvale>& service, int pid, int session) {
    releaseBlock();
    if (service == nullptr) return NO_INIT;
    sp<IMemory> memory = service->getTrackCtlBlk(pid, session);
    if (memory == nullptr) return NAME_NOT_FOUND;
    // Mapping the memory may take a call; it is done here, never on the audio thread.
    tnvl_cblk* block = static_cast<tnvl_cblk*>(memory->pointer());
    const bool usable = block != nullptr && memory->size() >= sizeof(tnvl_cblk) &&
                        attach(block) == NO_ERROR && loadField(&block->valid) == 1 &&
                        loadField(&block->pid) == pid && loadField(&block->session) == session;
    mService = service;
    mMemory = memory;
    mPid = pid;
    mSession = session;
    if (!usable) {
        releaseBlock();
        return BAD_VALUE;
    }
    return NO_ERROR;
}

status_t TrackGain::attach(tnvl_cblk* block) {
    if (block == nullptr || reinterpret_cast<uintptr_t>(block) % alignof(tnvl_cblk) != 0) {
        return BAD_VALUE;
    }
    mBlock = block;
    mFirstRead = true;
    return NO_ERROR;
}

void TrackGain::releaseBlock() {
    if (mService != nullptr && mMemory != nullptr) {
        // A dead service fails the call at once; the new daemon does not know the block.
        mService->releaseBufferFor(mPid, mSession);
    }
    mBlock = nullptr;
    mMemory.clear();
    mService.clear();
}

TrackGain::Gains TrackGain::update() {
    if (mBlock == nullptr) return target();
    // One load per field. The service writes the factors first and muted last.
    const float left = safeFactor(loadField(&mBlock->left), mLastGood[0]);
    const float right = safeFactor(loadField(&mBlock->right), mLastGood[1]);
    const float general = safeFactor(loadField(&mBlock->general), mLastGood[2]);
    const bool muted = loadField(&mBlock->muted) != 0;
    mLastGood[0] = left;
    mLastGood[1] = right;
    mLastGood[2] = general;

    Gains next = {0.0f, 0.0f};
    if (!muted) next = {safeProduct(left, general), safeProduct(right, general)};
    if (mFirstRead) {
        mFirstRead = false;
        mTarget[0] = mGain[0] = next.left;
        mTarget[1] = mGain[1] = next.right;
        mRampLeft = 0;
    } else if (next.left != mTarget[0] || next.right != mTarget[1]) {
        mTarget[0] = next.left;
        mTarget[1] = next.right;
        // From wherever the gains are now, so a change in mid-ramp never jumps.
        for (int c = 0; c < 2; ++c) {
            mRampStart[c] = mGain[c];
            mStep[c] = (mTarget[c] - mGain[c]) / mRampFrames;
        }
        mRampDone = 0;
        mRampLeft = mRampFrames;
    }
    return next;
}

inline void TrackGain::stepRamp() {
    if (mRampLeft == 0) return;
    if (--mRampLeft == 0) {
        mGain[0] = mTarget[0];
        mGain[1] = mTarget[1];
    } else {
        // From the start each time: summed steps would drift from the line.
        ++mRampDone;
        mGain[0] = mRampStart[0] + mStep[0] * mRampDone;
        mGain[1] = mRampStart[1] + mStep[1] * mRampDone;
    }
}

template <typename Sample>
void TrackGain::apply(Sample* frames, size_t frameCount, uint32_t channelCount) {
    if (frames == nullptr || channelCount == 0) return;
    size_t i = 0;
    for (; i < frameCount && mRampLeft > 0; ++i) {
        stepRamp();
        Sample* frame = frames + i * channelCount;
        if (channelCount == 1) {
            frame[0] = scaled(frame[0], 0.5f * (mGain[0] + mGain[1]));
            continue;
        }
        frame[0] = scaled(frame[0], mGain[0]);
        frame[1] = scaled(frame[1], mGain[1]);
        for (uint32_t c = 2; c < channelCount; ++c) {
            frame[c] = scaled(frame[c], 0.5f * (mGain[0] + mGain[1]));
        }
    }
    // Steady gains: plain loops the compiler can vectorise.
    const float left = mGain[0];
    const float right = mGain[1];
    const float mean = 0.5f * (left + right);
    if (channelCount == 1) {
        for (; i < frameCount; ++i) frames[i] = scaled(frames[i], mean);
    } else if (channelCount == 2) {
        for (; i < frameCount; ++i) {
            frames[2 * i] = scaled(frames[2 * i], left);
            frames[2 * i + 1] = scaled(frames[2 * i + 1], right);
        }
    } else {
        for (; i < frameCount; ++i) {
            Sample* frame = frames + i * channelCount;
            frame[0] = scaled(frame[0], left);
            frame[1] = scaled(frame[1], right);
            for (uint32_t c = 2; c < channelCount; ++c) frame[c] = scaled(frame[c], mean);
        }
    }
}

void TrackGain::process(float* frames, size_t frameCount, uint32_t channelCount) {
    update();
    apply(frames, frameCount, channelCount);
}

void TrackGain::process(int16_t* frames, size_t frameCount, uint32_t channelCount) {
    update();
    apply(frames, frameCount, channelCount);
}

void TrackGain::setActive(bool active) {
    if (mBlock != nullptr) storeField<uint8_t>(&mBlock->active, active ? 1 : 0);
}

}  // namespace android
