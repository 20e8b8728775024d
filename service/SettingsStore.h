#pragma once

#include <sys/types.h>
#include <utils/Errors.h>

#include <string>

namespace android {

/**
 * Where the settings files live and how they are replaced. A file is rewritten through a
 * temporary file in the same directory that is synced and then renamed over it, so a reader
 * or a crash sees either the old text or the new one, never a part of it.
 */
class SettingsStore {
public:
    /** A store on the given directory, which must end with "/". */
    explicit SettingsStore(std::string directory);
    virtual ~SettingsStore();

    /**
     * "/data/misc/tonvale/" on Android. On the host "$ANDROID_DATA/misc/tonvale/", with
     * ANDROID_DATA read at the first call only and "/data" when it is unset or empty.
     */
    static const std::string& defaultDirectory();

    /** The directory for a given ANDROID_DATA value (null when unset); fixed on Android. */
    static std::string directoryFor(const char* androidData);

    const std::string& directory() const { return mDirectory; }

    /** directory() followed by the file name. */
    std::string pathOf(const std::string& name) const;

    /**
     * Replaces the named file with text. On failure the old file (or its absence) stays as
     * it was, no temporary file is left behind, and a negative errno value is returned.
     */
    [[nodiscard]] status_t replace(const std::string& name, const std::string& text);

protected:
    // The steps of replace(), one system call each; tests override them to fail.
    virtual int openTemp(const char* path);
    virtual ssize_t writeSome(int fd, const void* data, size_t size);
    virtual int syncFile(int fd);
    virtual int renameFile(const char* from, const char* to);

private:
    status_t writeAll(int fd, const std::string& text);

    const std::string mDirectory;
};

}  // namespace android
