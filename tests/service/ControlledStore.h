#pragma once

#include <errno.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "service/SettingsStore.h"

namespace android {

/**
 * A settings store whose steps a test controls: one step can fail with a chosen errno, writes
 * can be cut short, and a save can be held in its sync until the test lets it go.
 */
class ControlledStore : public SettingsStore {
public:
    enum class Step { kNone, kOpen, kWrite, kWriteAfterPart, kWriteZero, kSync, kRename };

    explicit ControlledStore(std::string dir) : SettingsStore(std::move(dir)) {}

    /** Fails step with err from now on (kNone: nothing fails), for files named file or all. */
    void failAt(Step step, int err = EIO, const std::string& file = "") {
        std::lock_guard<std::mutex> l(mLock);
        mErr = err;
        mStep = step;
        mFailingFile = file;
    }
    /** Hands the file system at most this many bytes per write (0: no limit). */
    void limitWrites(size_t bytes) { mWriteLimit = bytes; }

    /** Makes the next saves wait in their sync until release(). */
    void hold() {
        std::lock_guard<std::mutex> l(mLock);
        mHeld = true;
    }
    /** Waits until a save is held; false after timeoutMs. */
    bool waitUntilHeld(int timeoutMs = 10000) {
        std::unique_lock<std::mutex> l(mLock);
        return mCond.wait_for(l, std::chrono::milliseconds(timeoutMs),
                              [this] { return mWaiting > 0; });
    }
    void release() {
        std::lock_guard<std::mutex> l(mLock);
        mHeld = false;
        mCond.notify_all();
    }

    std::atomic<int> writes{0};
    std::atomic<int> syncs{0};

protected:
    int openTemp(const char* path) override {
        mWritesThisSave = 0;
        {
            std::lock_guard<std::mutex> l(mLock);
            mCurrent = path;
        }
        if (failing(Step::kOpen)) return failWith(mErr);
        return SettingsStore::openTemp(path);
    }
    ssize_t writeSome(int fd, const void* data, size_t size) override {
        ++writes;
        const int n = ++mWritesThisSave;
        if (failing(Step::kWrite)) return failWith(mErr);
        if (failing(Step::kWriteZero)) return 0;
        if (failing(Step::kWriteAfterPart) && n > 1) return failWith(mErr);
        const size_t limit = mStep == Step::kWriteAfterPart ? 1 : mWriteLimit.load();
        return SettingsStore::writeSome(fd, data, limit != 0 && size > limit ? limit : size);
    }
    int syncFile(int fd) override {
        ++syncs;
        {
            std::unique_lock<std::mutex> l(mLock);
            ++mWaiting;
            mCond.notify_all();
            mCond.wait(l, [this] { return !mHeld; });
            --mWaiting;
        }
        if (failing(Step::kSync)) return failWith(mErr);
        return SettingsStore::syncFile(fd);
    }
    int renameFile(const char* from, const char* to) override {
        if (failing(Step::kRename)) return failWith(mErr);
        return SettingsStore::renameFile(from, to);
    }

private:
    // One save at a time: the file being saved is the one openTemp() saw last. Temporary
    // names start with "." and the file's name.
    bool failing(Step step) {
        std::lock_guard<std::mutex> l(mLock);
        return mStep == step && (mFailingFile.empty() ||
                                 mCurrent.find("/." + mFailingFile + ".") != std::string::npos);
    }

    static int failWith(int err) {
        errno = err;
        return -1;
    }

    std::string mFailingFile;
    std::string mCurrent;
    std::atomic<Step> mStep{Step::kNone};
    std::atomic<int> mErr{EIO};
    std::atomic<size_t> mWriteLimit{0};
    std::atomic<int> mWritesThisSave{0};
    std::mutex mLock;
    std::condition_variable mCond;
    bool mHeld = false;
    int mWaiting = 0;
};

}  // namespace android
