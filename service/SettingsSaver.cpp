#define LOG_TAG "KesService"

#include "service/SettingsSaver.h"

#include <errno.h>
#include <log/log.h>
#include <string.h>

#include "service/SettingsStore.h"

namespace android {

SettingsSaver::SettingsSaver(std::shared_ptr<SettingsStore> store, Owner owner)
    : mStore(std::move(store)), mOwner(std::move(owner)) {}

status_t SettingsSaver::save(Change change) {
    Pending pending;
    pending.change = std::move(change);
    std::unique_lock<std::mutex> queue(mQueueLock);
    {
        // In force at once: the blocks follow before the disk is touched.
        std::lock_guard<std::mutex> l(*mOwner.lock);
        pending.change.apply();
        mOwner.changed();
    }
    // Under mQueueLock, so that the calls come in the order of the changes.
    if (pending.change.applied) pending.change.applied();
    mUnsaved.push_back(&pending);
    while (!pending.done) {
        if (mWriting) {
            mWritten.wait(queue);
            continue;
        }
        // This thread writes for everyone waiting, its own change or not.
        mWriting = true;
        writeBatch(&queue);
        mWriting = false;
        mWritten.notify_all();
    }
    return pending.result;
}

size_t SettingsSaver::waiting() {
    std::lock_guard<std::mutex> l(mQueueLock);
    size_t count = 0;
    for (const Pending* p : mUnsaved) count += !p->inWrite;
    return count;
}

void SettingsSaver::writeBatch(std::unique_lock<std::mutex>* queue) {
    const size_t count = mOwner.files.size();
    std::vector<Pending*> batch(mUnsaved.begin(), mUnsaved.end());
    uint32_t files = 0;
    std::vector<std::string> texts(count);
    {
        // The texts hold exactly the changes of the batch: none applies while mQueueLock is held.
        std::lock_guard<std::mutex> l(*mOwner.lock);
        for (Pending* p : batch) {
            p->inWrite = true;
            files |= p->change.files;
        }
        for (size_t f = 0; f < count; ++f) {
            if (files & (1u << f)) texts[f] = mOwner.text(f);
        }
    }
    queue->unlock();
    uint32_t written = 0;
    const std::vector<status_t> errors = write(files, texts, batch.size() == 1, &written);
    queue->lock();

    uint32_t failed = 0;
    for (size_t f = 0; f < count; ++f) {
        if (errors[f] != NO_ERROR) failed |= 1u << f;
    }
    uint32_t affected = 0;
    for (Pending* p : batch) {
        for (size_t f = 0; f < count && (p->change.files & failed) != 0; ++f) {
            if ((p->change.files & failed & (1u << f)) != 0) {
                p->result = errors[f];
                affected |= p->change.files;
                break;
            }
        }
    }
    uint32_t restore = 0;
    if (affected != 0) {
        // Wind back every unsaved change of the affected files, newest first; forward again
        // with the saved ones of this batch (the state its written files should hold), then
        // with the later ones.
        std::vector<Pending*> chain;
        for (Pending* p : mUnsaved) {
            if ((p->change.files & affected) != 0) chain.push_back(p);
        }
        restore = affected & written;
        std::lock_guard<std::mutex> l(*mOwner.lock);
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->change.undo();
        for (Pending* p : chain) {
            if (p->inWrite && p->result == NO_ERROR) p->change.apply();
        }
        for (size_t f = 0; f < count; ++f) {
            if (restore & (1u << f)) texts[f] = mOwner.text(f);
        }
        for (Pending* p : chain) {
            if (!p->inWrite) p->change.apply();
        }
        mOwner.changed();
    }
    for (size_t i = 0; i < batch.size(); ++i) mUnsaved.pop_front();
    if (affected != 0 && mOwner.refused) mOwner.refused();
    queue->unlock();
    if (restore != 0) {
        // A refused change reached files whose write succeeded: they go back to what is saved.
        uint32_t rewritten = 0;
        write(restore, texts, false, &rewritten);
    }
    queue->lock();
    for (Pending* p : batch) p->done = true;
}

std::vector<status_t> SettingsSaver::write(uint32_t files, const std::vector<std::string>& texts,
                                           bool stopAtFailure, uint32_t* written) {
    std::vector<status_t> errors(mOwner.files.size(), NO_ERROR);
    for (size_t f = 0; f < mOwner.files.size(); ++f) {
        if ((files & (1u << f)) == 0) continue;
        status_t err = mStore->replace(mOwner.files[f], texts[f]);
        if (err == NO_ERROR) {
            *written |= 1u << f;
            continue;
        }
        ALOGE("[Server]Settings not saved: %s: %s", mStore->pathOf(mOwner.files[f]).c_str(),
              strerror(-err));
        errors[f] = err == BAD_VALUE ? -EIO : err;
        // A change of several files alone stops at its first failure: the rest stay as they were.
        if (stopAtFailure) break;
    }
    return errors;
}

}  // namespace android
