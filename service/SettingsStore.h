#pragma once

#include <cutils/compiler.h>
#include <sys/types.h>
#include <utils/Errors.h>

#include <string>

namespace android {

/**
 * Where the settings files live and how they are replaced. A file is rewritten through a
 * temporary file in the same directory that is synced and then renamed over it, so a reader
 * or a crash sees either the old text or the new one, never a part of it. The temporary file
 * is named ".<name>.tmp.<pid>.<n>" after the process that writes it.
 */
class SettingsStore {
public:
    /** A store on the given directory, which must end with "/". */
    explicit SettingsStore(std::string directory);
    virtual ~SettingsStore();

    /**
     * The settings directory of this device (DeviceLayout::current()), taken at the first call:
     * "/data/misc/tonvale/" on Android, "$ANDROID_DATA/misc/tonvale/" on the host.
     */
    ANDROID_API static const std::string& defaultDirectory();

    /** The settings directory of the data partition dataRoot; "/data" when null or empty. */
    static std::string directoryFor(const char* dataRoot);

    const std::string& directory() const { return mDirectory; }

    /** directory() followed by the file name. */
    std::string pathOf(const std::string& name) const;

    /**
     * Replaces the named file with text. The new file keeps the mode and, where this process
     * may set it, the owner of the file it replaces; a file that did not exist is created
     * 0600. On failure the old file (or its absence) stays as it was, no temporary file is
     * left behind, and a negative errno value is returned.
     */
    [[nodiscard]] status_t replace(const std::string& name, const std::string& text);

    /** Whose temporary files removeAbandonedTemps() takes. */
    enum class Writers {
        /** Processes that no longer exist: a live process's file may still be in use. */
        kGone,
        /**
         * Any process, for a caller that knows no other writer exists (the daemon holding its
         * lock): after a reboot a pid lives again, often as the new daemon itself.
         */
        kAny,
    };

    /**
     * Removes the temporary files that rewrites cut short by a crash left behind in directory,
     * of the given writers; returns how many. Only regular files with a temporary name go; a
     * link is never followed.
     */
    ANDROID_API static size_t removeAbandonedTemps(const std::string& directory, Writers writers);

    /** The same in this store's directory. */
    size_t removeAbandonedTemps(Writers writers = Writers::kGone) {
        return removeAbandonedTemps(mDirectory, writers);
    }

protected:
    // The steps of replace(), one system call each; tests override them to fail.
    virtual int openTemp(const char* path);
    virtual ssize_t writeSome(int fd, const void* data, size_t size);
    virtual int syncFile(int fd);
    virtual int renameFile(const char* from, const char* to);

private:
    [[nodiscard]] status_t writeAll(int fd, const std::string& text);

    const std::string mDirectory;
};

}  // namespace android
