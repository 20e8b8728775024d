#pragma once

#include <stdint.h>
#include <utils/Errors.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace android {

class SettingsStore;

/**
 * Saves the settings files for many threads at once without holding the settings lock while
 * the disk works. A change stages the whole new text of its file under the settings lock,
 * which numbers it; then, with that lock released, it waits until that text or a later one of
 * the same file is written. Writes of one file never overlap and each takes the latest staged
 * text, so an earlier text never overwrites a later one, and changes that queue up behind a
 * write share the next one.
 */
class SettingsSaver {
public:
    explicit SettingsSaver(std::shared_ptr<SettingsStore> store);

    /** Stages text as the next content of file and returns its number; under the settings lock. */
    uint64_t stage(const std::string& file, std::string text);

    /**
     * Waits until the text numbered seq of file, or a later one, is written. 0 when it is on
     * disk, else the failure of the last write that covered it (logged once per write, and
     * never BAD_VALUE, which stands for a refused argument).
     */
    [[nodiscard]] status_t commit(const std::string& file, uint64_t seq);

private:
    struct FileState {
        std::shared_ptr<const std::string> text;
        uint64_t staged = 0;   // number of the latest staged text
        uint64_t written = 0;  // the latest text a finished write carried
        uint64_t saved = 0;    // the latest text that is on disk
        status_t lastError = NO_ERROR;
        bool writing = false;
    };

    const std::shared_ptr<SettingsStore> mStore;
    std::mutex mLock;
    std::condition_variable mWritten;
    std::map<std::string, FileState> mFiles;
};

}  // namespace android
