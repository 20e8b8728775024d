#define LOG_TAG "KesService"

#include "service/SettingsListeners.h"

#include <log/log.h>

#include <algorithm>

#include "interface/ITonvale.h"

namespace android {

status_t SettingsListeners::add(const sp<ITonvaleListener>& listener, uid_t uid) {
    if (listener == nullptr) return BAD_VALUE;
    const sp<IBinder> binder = IInterface::asBinder(listener);
    std::lock_guard<std::mutex> l(mLock);
    size_t ofUid = 0;
    for (const Entry& e : mEntries) {
        if (e.binder == binder) return ALREADY_EXISTS;
        ofUid += e.uid == uid;
    }
    if (ofUid >= ITonvale::kMaxListenersPerUid) return NO_MEMORY;
    // A listener in this process cannot die apart from it (libbinder refuses the link).
    const status_t linked = binder->remoteBinder() != nullptr ? binder->linkToDeath(this) : OK;
    if (linked != OK) return linked;
    mEntries.push_back(Entry{listener, binder, uid, false});
    return OK;
}

status_t SettingsListeners::remove(const sp<ITonvaleListener>& listener, uid_t uid, bool anyUid) {
    if (listener == nullptr) return BAD_VALUE;
    const sp<IBinder> binder = IInterface::asBinder(listener);
    std::lock_guard<std::mutex> l(mLock);
    for (auto it = mEntries.begin(); it != mEntries.end(); ++it) {
        if (it->binder != binder || (!anyUid && it->uid != uid)) continue;
        if (binder->remoteBinder() != nullptr) binder->unlinkToDeath(this);
        mEntries.erase(it);
        return OK;
    }
    return NAME_NOT_FOUND;
}

size_t SettingsListeners::size() {
    std::lock_guard<std::mutex> l(mLock);
    return mEntries.size();
}

void SettingsListeners::announce(TonvaleChange change) {
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> l(mLock);
        if (mEntries.empty()) return;
        change.seq = ++mSeq;
        entries = mEntries;
    }
    // Sent without the lock: a listener in this process may call back into the service.
    std::vector<sp<IBinder>> lost, found, dead;
    for (const Entry& e : entries) {
        status_t sent = OK;
        if (e.lost) {
            TonvaleChange marker;
            marker.seq = change.seq;
            marker.kind = TonvaleChange::RESYNC;
            sent = e.listener->onChange(marker);
        }
        if (sent == OK) sent = e.listener->onChange(change);
        if (sent == DEAD_OBJECT) {
            dead.push_back(e.binder);
        } else if (sent != OK) {
            lost.push_back(e.binder);
        } else if (e.lost) {
            found.push_back(e.binder);
        }
    }
    if (lost.empty() && found.empty() && dead.empty()) return;
    std::lock_guard<std::mutex> l(mLock);
    for (auto it = mEntries.begin(); it != mEntries.end();) {
        auto has = [&](const std::vector<sp<IBinder>>& list) {
            return std::find(list.begin(), list.end(), it->binder) != list.end();
        };
        if (has(dead)) {
            it = mEntries.erase(it);
            continue;
        }
        if (has(lost) && !it->lost) {
            ALOGW("[Server]A listener of uid %d misses changes: its buffer is full",
                  static_cast<int>(it->uid));
            it->lost = true;
        } else if (has(found)) {
            it->lost = false;
        }
        ++it;
    }
}

void SettingsListeners::binderDied(const wp<IBinder>& who) {
    std::lock_guard<std::mutex> l(mLock);
    mEntries.erase(
        std::remove_if(mEntries.begin(), mEntries.end(),
                       [&](const Entry& e) { return e.binder.get() == who.unsafe_get(); }),
        mEntries.end());
}

}  // namespace android
