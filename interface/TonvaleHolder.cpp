#define LOG_TAG "TonvaleHolder"

#include "interface/TonvaleHolder.h"

#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>
#include <log/log.h>
#include <utils/String16.h>

#include <algorithm>
#include <chrono>

#include "interface/TrackGain.h"

namespace android {

TonvaleHolder::~TonvaleHolder() {
    {
        std::lock_guard<std::mutex> l(mLock);
        mStopping = true;
    }
    mWake.notify_all();
    if (mWatcherStarted) pthread_join(mWatcher, nullptr);
}

sp<ITonvale> TonvaleHolder::find() {
    const sp<IServiceManager> sm = defaultServiceManager();
    if (sm == nullptr) return nullptr;
    return interface_cast<ITonvale>(sm->checkService(String16("tonvale")));
}

sp<ITonvale> TonvaleHolder::get(uint32_t* generation) {
    {
        std::lock_guard<std::mutex> l(mLock);
        if (generation != nullptr) *generation = mGeneration;
        if (mService != nullptr) return mService;
    }
    const sp<ITonvale> found = find();
    if (found == nullptr) return nullptr;
    {
        std::lock_guard<std::mutex> l(mLock);
        if (generation != nullptr) *generation = mGeneration;
        if (mService != nullptr) return mService;  // another thread found it first
        mService = found;
    }
    // Linked outside the lock, which binderDied() takes. A service that died before it was
    // linked refuses the link, and so does a transport without death notifications: it is not
    // kept then, since nothing would say when it goes.
    if (IInterface::asBinder(found)->linkToDeath(this) != NO_ERROR) {
        std::lock_guard<std::mutex> l(mLock);
        if (mService == found) mService.clear();
    } else {
        // Deaths reach a process through its binder threads only; a mixer's process has them
        // (audioserver), one that mixes its own audio may not.
        ProcessState::self()->startThreadPool();
    }
    return found;
}

void TonvaleHolder::binderDied(const wp<IBinder>& who) {
    sp<ITonvale> dead;  // let go of after the lock
    std::lock_guard<std::mutex> l(mLock);
    if (mService == nullptr || who != IInterface::asBinder(mService)) return;
    ALOGW("tonvale died; its tracks follow the next daemon that answers");
    dead = std::move(mService);
    ++mGeneration;
    if (!mTracks.empty()) wantPassLocked();
}

void TonvaleHolder::follow(const wp<TrackGain>& track, bool waiting, uint32_t generation) {
    std::vector<sp<TrackGain>> live;  // dropped after the lock
    std::lock_guard<std::mutex> l(mLock);
    liveTracksLocked(&live);
    mTracks.push_back(track);
    if (waiting || generation != mGeneration) wantPassLocked();
}

void TonvaleHolder::liveTracksLocked(std::vector<sp<TrackGain>>* live) {
    for (size_t i = 0; i < mTracks.size();) {
        sp<TrackGain> track = mTracks[i].promote();
        if (track == nullptr) {
            mTracks[i] = mTracks.back();
            mTracks.pop_back();
            continue;
        }
        live->push_back(std::move(track));
        ++i;
    }
}

void TonvaleHolder::wantPassLocked() {
    ++mWanted;
    if (!mWatcherStarted) {
        auto run = [](void* self) -> void* {
            static_cast<TonvaleHolder*>(self)->watch();
            return nullptr;
        };
        // Without the thread, tracks keep the gains they have; nothing else fails.
        mWatcherStarted = pthread_create(&mWatcher, nullptr, run, this) == 0;
        if (!mWatcherStarted) ALOGE("cannot start the thread that re-opens tracks");
    }
    mWake.notify_all();
}

void TonvaleHolder::watch() {
    int pauseMs = kFirstRetryMs;
    std::unique_lock<std::mutex> l(mLock);
    while (!mStopping) {
        if (mServed == mWanted) {
            pauseMs = kFirstRetryMs;
            mWake.wait(l);
            continue;
        }
        const uint64_t pass = mWanted;
        std::vector<sp<TrackGain>> tracks;
        liveTracksLocked(&tracks);
        l.unlock();
        bool done = true;
        if (!tracks.empty()) {
            uint32_t generation = 0;
            const sp<ITonvale> service = get(&generation);
            done = service != nullptr;
            for (const sp<TrackGain>& track : tracks) {
                if (service != nullptr && !track->follow(service, generation)) done = false;
            }
        }
        tracks.clear();  // a track its mixer let go of meanwhile ends here, with no call
        l.lock();
        if (done) {
            mServed = pass;
        } else if (!mStopping) {
            mWake.wait_for(l, std::chrono::milliseconds(pauseMs),
                           [&] { return mStopping || mWanted != pass; });
            pauseMs = std::min(2 * pauseMs, kMaxRetryMs);
        }
    }
}

}  // namespace android
