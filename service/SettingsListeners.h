#pragma once

#include <binder/IBinder.h>
#include <stdint.h>
#include <sys/types.h>

#include <mutex>
#include <vector>

#include "interface/ITonvaleListener.h"

namespace android {

/**
 * Who hears of the service's settings changes: at most ITonvale::kMaxListenersPerUid
 * listeners per uid, each dropped when its process dies. A change goes to each listener as one
 * one-way call that never waits for it; a listener whose buffer is full misses it, and the next
 * change it gets is preceded by a RESYNC marker. One announcement at a time (the saver's order).
 */
class SettingsListeners : public IBinder::DeathRecipient {
public:
    /** 0, BAD_VALUE (null), ALREADY_EXISTS, or NO_MEMORY when uid has its share. */
    status_t add(const sp<ITonvaleListener>& listener, uid_t uid);
    /** 0, or NAME_NOT_FOUND when uid registered no such listener (any uid's, with anyUid). */
    status_t remove(const sp<ITonvaleListener>& listener, uid_t uid, bool anyUid);
    /** Numbers change and calls every listener with it; one caller at a time. */
    void announce(TonvaleChange change);
    size_t size();

    void binderDied(const wp<IBinder>& who) override;

private:
    struct Entry {
        sp<ITonvaleListener> listener;
        sp<IBinder> binder;
        uid_t uid;
        // A change could not be sent: the next call it gets is a RESYNC marker.
        bool lost;
    };

    std::mutex mLock;
    std::vector<Entry> mEntries;
    int64_t mSeq = 0;
};

}  // namespace android
