#include "interface/TrackGain.h"

#include <math.h>
#include <sched.h>

#include "interface/BlockMap.h"
#include "interface/BpTonvale.h"

namespace android {

namespace {

// The block's fields are plain members written by another process. C++17 has no
// std::atomic_ref, and a cast to std::atomic<T>* would name an object that does not exist, so
// the fields are read and written with the compiler's __atomic builtins, which work on
// ordinary objects (C++20's atomic_ref is built on them). Each field sits at its natural
// alignment (tnvl_cblk.h checks the offsets, BlockMap and attach() the base), and the builtins
// are always lock-free at these sizes, so each access is one single-copy-atomic load or store:
// no torn field, no libatomic lock, no system call. The service stores with the same builtins.
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

/** A usable factor: NaN is neutral, the rest is held to [0, kMaxGain]. */
float safeFactor(float value) {
    if (isnan(value)) return 1.0f;
    if (!(value > 0.0f)) return 0.0f;  // negative, -0 and -inf
    return value < TrackGain::kMaxGain ? value : TrackGain::kMaxGain;
}

float heldTo(float product, float limit) {
    return product < limit ? product : limit;  // both factors in [0, kMaxGain]: finite
}

bool isBlockOf(const tnvl_cblk* block, int pid, int session) {
    return loadField(&block->valid) == 1 && loadField(&block->pid) == pid &&
           loadField(&block->session) == session;
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

TrackGain::TrackGain(uint32_t sampleRate, Limit limit)
    : mRampFrames(sampleRate * kRampSeconds >= 1.0f
                      ? static_cast<uint32_t>(sampleRate * kRampSeconds + 0.5f)
                      : 1),
      mLimit(limit == Limit::UNITY ? 1.0f : kMaxGain) {}

TrackGain::~TrackGain() {
    // The last reference: no reader is left. Nothing is given back from here, so this may run
    // on an audio thread.
    delete mCurrent.load(std::memory_order_acquire);
}

status_t TrackGain::open(const sp<TonvaleHolder>& holder, int pid, int session) {
    if (holder == nullptr) return NO_INIT;
    uint32_t generation = 0;
    status_t status;
    bool answered;
    {
        std::lock_guard<std::mutex> control(mControl);
        mPid = pid;
        mSession = session;
        mFollowing = true;
        const sp<ITonvale> service = holder->get(&generation);
        status = service == nullptr ? NO_INIT : openLocked(service, pid, session);
        // A refusal is the service's answer; no service, or a dead one, is worth another try.
        answered = status != NO_INIT && status != DEAD_OBJECT;
        mAnswered = answered;
        mGeneration = generation;
    }
    holder->follow(this, !answered, generation);
    return status;
}

status_t TrackGain::openWith(const sp<ITonvale>& service, int pid, int session) {
    std::lock_guard<std::mutex> control(mControl);
    mFollowing = false;
    if (service == nullptr) return NO_INIT;
    return openLocked(service, pid, session);
}

status_t TrackGain::attach(tnvl_cblk* block) {
    if (block == nullptr || reinterpret_cast<uintptr_t>(block) % alignof(tnvl_cblk) != 0) {
        return BAD_VALUE;
    }
    std::lock_guard<std::mutex> control(mControl);
    mFollowing = false;
    giveBackLocked();
    publish(new BlockMap(block));
    return NO_ERROR;
}

status_t TrackGain::release() {
    std::lock_guard<std::mutex> control(mControl);
    mFollowing = false;
    return giveBackLocked();
}

bool TrackGain::follow(const sp<ITonvale>& service, uint32_t generation) {
    std::lock_guard<std::mutex> control(mControl);
    if (!mFollowing || (mAnswered && mGeneration == generation)) return true;
    const status_t status = openLocked(service, mPid, mSession);
    if (status == DEAD_OBJECT) return false;
    mAnswered = true;
    mGeneration = generation;
    return true;
}

status_t TrackGain::openLocked(const sp<ITonvale>& service, int pid, int session) {
    BpTonvale::resetLastStatus();
    sp<IMemory> memory = service->getTrackCtlBlk(pid, session);
    if (memory == nullptr) {
        const status_t failed = BpTonvale::lastStatus();
        return failed != NO_ERROR ? failed : NAME_NOT_FOUND;
    }
    std::unique_ptr<BlockMap> map;
    status_t status = BlockMap::map(memory, &map);
    memory.clear();  // the mapping is this process's own: no reference to the service's stays
    if (status == NO_ERROR && !isBlockOf(map->block(), pid, session)) status = BAD_VALUE;
    if (status != NO_ERROR) {
        (void)service->releaseBufferFor(pid, session);  // the hold just taken
        return status;
    }
    // The new hold is taken before the old one goes back, so a block that both name (the same
    // track opened again) never loses its last holder in between.
    giveBackLocked();
    mHold = {service, pid, session};
    publish(map.release());
    return NO_ERROR;
}

status_t TrackGain::giveBackLocked() {
    if (mHold.service == nullptr) return NO_ERROR;
    // A dead service fails at once: its holds died with it.
    const int result = mHold.service->releaseBufferFor(mHold.pid, mHold.session);
    mHold = Hold();
    return result == 0 ? NO_ERROR : static_cast<status_t>(result);
}

void TrackGain::publish(BlockMap* next) {
    BlockMap* old;
    {
        std::lock_guard<std::mutex> lock(mPublish);
        if (next->writable()) storeField<uint8_t>(&next->block()->active, mActive ? 1 : 0);
        old = mCurrent.exchange(next, std::memory_order_seq_cst);
    }
    // A reader counts itself before it loads mCurrent, both in the single total order, so once
    // the count reads 0 after the exchange, every reader that could have loaded the old block
    // has finished with it. Readers hold it for a few loads: waiting is short, and it is the
    // control side's, never the reader's.
    while (mReaders.load(std::memory_order_seq_cst) != 0) sched_yield();
    delete old;
}

TrackGain::Gains TrackGain::gains() const {
    mReaders.fetch_add(1, std::memory_order_seq_cst);
    const BlockMap* map = mCurrent.load(std::memory_order_seq_cst);
    float left = 1.0f, right = 1.0f, general = 1.0f;
    bool muted = false;
    if (map != nullptr) {
        // One load per field. The service writes the factors first and muted last.
        const tnvl_cblk* block = map->block();
        left = loadField(&block->left);
        right = loadField(&block->right);
        general = loadField(&block->general);
        muted = loadField(&block->muted) != 0;
    }
    mReaders.fetch_sub(1, std::memory_order_release);
    if (muted) return {0.0f, 0.0f};
    const float g = safeFactor(general);
    return {heldTo(safeFactor(left) * g, mLimit), heldTo(safeFactor(right) * g, mLimit)};
}

TrackGain::Gains TrackGain::gains(uint32_t channelCount) const {
    Gains g = gains();
    if (channelCount > 2) g.left = g.right = 0.5f * (g.left + g.right);
    return g;
}

void TrackGain::setActive(bool active) {
    std::lock_guard<std::mutex> lock(mPublish);
    mActive = active;
    BlockMap* map = mCurrent.load(std::memory_order_relaxed);  // only replaced under mPublish
    if (map != nullptr && map->writable()) {
        storeField<uint8_t>(&map->block()->active, active ? 1 : 0);
    }
}

TrackGain::Gains TrackGain::update() {
    const Gains next = gains();
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

}  // namespace android
