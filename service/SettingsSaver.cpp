#define LOG_TAG "KesService"

#include "service/SettingsSaver.h"

#include <errno.h>
#include <log/log.h>
#include <string.h>

#include "service/SettingsStore.h"

namespace android {

SettingsSaver::SettingsSaver(std::shared_ptr<SettingsStore> store) : mStore(std::move(store)) {}

uint64_t SettingsSaver::stage(const std::string& file, std::string text) {
    std::lock_guard<std::mutex> l(mLock);
    FileState& state = mFiles[file];
    state.text = std::make_shared<const std::string>(std::move(text));
    return ++state.staged;
}

status_t SettingsSaver::commit(const std::string& file, uint64_t seq) {
    std::unique_lock<std::mutex> l(mLock);
    FileState& state = mFiles[file];
    for (;;) {
        if (state.saved >= seq) return NO_ERROR;
        if (state.written >= seq) return state.lastError;
        if (state.writing) {
            mWritten.wait(l);
            continue;
        }
        // This thread writes the latest text for everyone waiting on the file.
        state.writing = true;
        const std::shared_ptr<const std::string> text = state.text;
        const uint64_t carried = state.staged;
        l.unlock();
        status_t err = mStore->replace(file, *text);
        if (err != NO_ERROR) {
            ALOGE("[Server]Settings not saved: %s: %s", mStore->pathOf(file).c_str(),
                  strerror(-err));
            if (err == BAD_VALUE) err = -EIO;
        }
        l.lock();
        state.writing = false;
        state.written = carried;
        if (err == NO_ERROR) {
            state.saved = carried;
        } else {
            state.lastError = err;
        }
        mWritten.notify_all();
    }
}

}  // namespace android
