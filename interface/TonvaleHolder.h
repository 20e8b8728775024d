#pragma once

#include <binder/IBinder.h>
#include <cutils/compiler.h>
#include <pthread.h>
#include <stdint.h>
#include <utils/StrongPointer.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "interface/ITonvale.h"

namespace android {

class TrackGain;

/**
 * A mixer's one link to the service, shared by all its tracks.
 *
 * get() returns the service it keeps, or looks it up once with checkService(): no waiting, no
 * retry, nothing printed. A service found is kept while a death notification can tell that it
 * died (linkToDeath; the holder then starts the process's binder thread pool, through which
 * deaths arrive); binderDied() forgets it, and the next get() looks it up again, when a new
 * daemon may be there.
 *
 * Tracks opened through the holder follow the service: after a death, and after an open that
 * found no service, the holder's thread (started on first need) looks the service up every
 * kFirstRetryMs, slowing to kMaxRetryMs, and re-opens those tracks once it answers. That thread
 * is the tracks' control side: it makes binder calls, never on an audio thread's behalf.
 *
 * Keep it in an sp<> for as long as the mixer lives: tracks do not keep it, and it refers to
 * them weakly.
 */
class ANDROID_API TonvaleHolder : public IBinder::DeathRecipient {
public:
    static constexpr int kFirstRetryMs = 50;
    static constexpr int kMaxRetryMs = 500;

    TonvaleHolder() = default;

    /**
     * The service, or null when none is registered. *generation, when given, counts the deaths
     * seen so far: a track's block belongs to the generation of the service that handed it out.
     */
    sp<ITonvale> get(uint32_t* generation = nullptr);

    /** One checkService() lookup of "tonvale", with nothing kept; null when absent. */
    static sp<ITonvale> find();

    void binderDied(const wp<IBinder>& who) override;

protected:
    /** Stops the holder's thread. */
    ~TonvaleHolder() override;

private:
    friend class TrackGain;

    /**
     * Keeps a track to re-open after a death. It is re-opened soon when waiting (it found no
     * service) or when a death came after the generation it opened with.
     */
    void follow(const wp<TrackGain>& track, bool waiting, uint32_t generation);

    /** The holder's thread: re-opens the tracks while a pass is wanted. */
    void watch();
    /** Asks the thread for a pass, starting it on first need. Called with mLock held. */
    void wantPassLocked();
    /** Forgets the tracks that are gone and adds the others to live. Called with mLock held. */
    void liveTracksLocked(std::vector<sp<TrackGain>>* live);

    std::mutex mLock;
    std::condition_variable mWake;
    sp<ITonvale> mService;
    uint32_t mGeneration = 0;
    std::vector<wp<TrackGain>> mTracks;  // dead entries are dropped as new ones come
    uint64_t mWanted = 0;                // passes asked for
    uint64_t mServed = 0;                // the last request a finished pass answered
    bool mStopping = false;
    // A pthread rather than std::thread: a failed start must not abort the mixer.
    pthread_t mWatcher;
    bool mWatcherStarted = false;
};

}  // namespace android
