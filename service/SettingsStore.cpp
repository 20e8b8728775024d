#include "service/SettingsStore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

namespace android {

namespace {

// errno of the step that just failed, never a success code.
status_t lastError() {
    return errno > 0 ? -errno : -EIO;
}

// Temporary names are unique within the process; O_EXCL guards against anything else.
std::atomic<unsigned> gTempCounter{0};

}  // namespace

SettingsStore::SettingsStore(std::string directory) : mDirectory(std::move(directory)) {}

SettingsStore::~SettingsStore() {}

std::string SettingsStore::directoryFor(const char* androidData) {
#ifdef __ANDROID__
    (void)androidData;
    return "/data/misc/tonvale/";
#else
    std::string root = (androidData != nullptr && androidData[0] != '\0') ? androidData : "/data";
    return root + "/misc/tonvale/";
#endif
}

const std::string& SettingsStore::defaultDirectory() {
    static const std::string directory = directoryFor(getenv("ANDROID_DATA"));
    return directory;
}

std::string SettingsStore::pathOf(const std::string& name) const {
    return mDirectory + name;
}

status_t SettingsStore::replace(const std::string& name, const std::string& text) {
    const std::string target = pathOf(name);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[48];
        snprintf(suffix, sizeof(suffix), ".tmp.%d.%u", static_cast<int>(getpid()),
                 gTempCounter.fetch_add(1));
        temp = mDirectory + "." + name + suffix;
        fd = openTemp(temp.c_str());
        if (fd < 0 && errno != EEXIST) return lastError();
    }
    if (fd < 0) return -EEXIST;

    status_t err = writeAll(fd, text);
    if (err == NO_ERROR && syncFile(fd) != 0) err = lastError();
    if (close(fd) != 0 && err == NO_ERROR) err = lastError();
    if (err == NO_ERROR && renameFile(temp.c_str(), target.c_str()) != 0) err = lastError();
    if (err != NO_ERROR) {
        unlink(temp.c_str());
        return err;
    }

    // Make the rename itself durable; the new text is in place whatever this returns.
    int dir = open(mDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return NO_ERROR;
}

status_t SettingsStore::writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = writeSome(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return lastError();
        }
        if (n == 0) return -EIO;
        done += static_cast<size_t>(n);
    }
    return NO_ERROR;
}

int SettingsStore::openTemp(const char* path) {
    // Same mode as fopen(path, "w+") gives a new file.
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

ssize_t SettingsStore::writeSome(int fd, const void* data, size_t size) {
    return write(fd, data, size);
}

int SettingsStore::syncFile(int fd) {
    return fsync(fd);
}

int SettingsStore::renameFile(const char* from, const char* to) {
    return rename(from, to);
}

}  // namespace android
