#pragma once

#include <stdint.h>
#include <utils/Errors.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace android {

class SettingsStore;

/**
 * Saves settings changes all or nothing, for many threads at once, without holding the
 * settings lock while the disk works.
 *
 * A change is applied to the tables (and so to the blocks) at once, under the settings lock;
 * its files are written without that lock; if a write fails, the change is undone under the
 * lock before its caller hears of the failure. A refused change leaves no trace in memory, in
 * the blocks or in a later save.
 *
 * Changes applied while a write is under way share the next one. When a file of a write
 * fails, every change that write carried for that file is refused with the error. The tables
 * are wound back over every unsaved change of the files concerned, newest first, and wound
 * forward again without the refused ones, so that later changes stay in force however they
 * interleave. A refused change that also rewrote files whose write succeeded has those files
 * written again as the saved changes leave them.
 */
class SettingsSaver {
public:
    /** A settings change: the files it rewrites (bits by index) and how to make and unmake it. */
    struct Change {
        uint32_t files;
        /** Under the settings lock; records what undo needs. It may run again after undo. */
        std::function<void()> apply;
        /** Under the settings lock; only right after apply, or after the undo of every later change. */
        std::function<void()> undo;
        /**
         * Once the change is in force (after apply, without the settings lock): the changes'
         * calls come one at a time, in the order they were applied.
         */
        std::function<void()> applied = nullptr;
    };

    /** What the saver needs of the settings' owner. */
    struct Owner {
        /** The settings lock. */
        std::mutex* lock;
        /** The settings files by index, at most 32. */
        std::vector<std::string> files;
        /** The text of file (by index) from the tables; under the lock. */
        std::function<std::string(size_t file)> text;
        /** The tables changed (or were changed back): under the lock. */
        std::function<void()> changed;
        /**
         * Changes that were in force have been taken back (after changed, without the lock),
         * in order with the applied calls.
         */
        std::function<void()> refused;
    };

    SettingsSaver(std::shared_ptr<SettingsStore> store, Owner owner);

    /**
     * Applies change, writes its files and returns 0 once they are on disk; or undoes it and
     * returns the failure of its first failed file (a negative errno, logged once per write,
     * never BAD_VALUE, which stands for a refused argument).
     */
    [[nodiscard]] status_t save(Change change);

    /** Changes in force that wait for a write (not the one under way). */
    size_t waiting();

private:
    struct Pending {
        Change change;
        status_t result = NO_ERROR;
        bool inWrite = false;
        bool done = false;
    };

    // Writes the changes applied so far, and refuses those whose file failed; the caller
    // holds mQueueLock (released while the disk works) and mWriting.
    void writeBatch(std::unique_lock<std::mutex>* queue);
    // Writes each file whose bit is set (up to the first failure, with stopAtFailure); the
    // failures by index, and the bits of the files written into *written.
    std::vector<status_t> write(uint32_t files, const std::vector<std::string>& texts,
                                bool stopAtFailure, uint32_t* written);

    const std::shared_ptr<SettingsStore> mStore;
    const Owner mOwner;
    std::mutex mQueueLock;
    std::condition_variable mWritten;
    // Changes in force and not yet saved, in the order they were applied.
    std::deque<Pending*> mUnsaved;
    bool mWriting = false;
};

}  // namespace android
