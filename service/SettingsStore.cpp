#include "service/SettingsStore.h"

#include <android-base/unique_fd.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "service/DeviceLayout.h"

namespace android {

namespace {

// errno of the step that just failed, never a success code.
status_t lastError() {
    return errno > 0 ? -errno : -EIO;
}

// Temporary names are unique within the process; O_EXCL guards against anything else.
std::atomic<unsigned> gTempCounter{0};

const char kTempMark[] = ".tmp.";

// The writer's pid of a temporary name ".<name>.tmp.<pid>.<n>", or 0 when it is not one.
pid_t writerOfTemp(const std::string& entry) {
    if (entry.size() < 2 || entry[0] != '.') return 0;
    const size_t mark = entry.rfind(kTempMark);
    if (mark == std::string::npos || mark < 2) return 0;
    const char* digits = entry.c_str() + mark + strlen(kTempMark);
    char* end = nullptr;
    errno = 0;
    const long pid = strtol(digits, &end, 10);
    if (errno != 0 || end == digits || *end != '.' || pid <= 0 || pid > INT32_MAX) return 0;
    const char* counter = end + 1;
    if (*counter == '\0') return 0;
    for (const char* c = counter; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return 0;
    }
    return static_cast<pid_t>(pid);
}

// Whether pid may still write: it exists and has not exited. A killed process whose parent
// has not reaped it yet still answers kill(), but its /proc state says it is done.
bool processMayWrite(pid_t pid) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return false;
    char path[32];
    snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) return true;
    char buf[512];
    const size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The state follows the command name, which is in parentheses and may hold any byte.
    const char* close = strrchr(buf, ')');
    if (close == nullptr || close[1] != ' ') return true;
    return close[2] != 'Z' && close[2] != 'X';
}

}  // namespace

SettingsStore::SettingsStore(std::string directory) : mDirectory(std::move(directory)) {}

SettingsStore::~SettingsStore() {}

std::string SettingsStore::directoryFor(const char* dataRoot) {
    const std::string root = dataRoot != nullptr && dataRoot[0] != '\0' ? dataRoot : "/data";
    return root + "/misc/tonvale/";
}

const std::string& SettingsStore::defaultDirectory() {
    static const std::string directory = DeviceLayout::current().settingsDirectory();
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
        snprintf(suffix, sizeof(suffix), "%s%d.%u", kTempMark, static_cast<int>(getpid()),
                 gTempCounter.fetch_add(1));
        temp = mDirectory + "." + name + suffix;
        fd = openTemp(temp.c_str());
        if (fd < 0 && errno != EEXIST) return lastError();
    }
    if (fd < 0) return -EEXIST;

    // The file keeps what its owner set: the owner first, as a change of owner may clear mode
    // bits. Only root may give a file away, so elsewhere the owner is the writer's.
    status_t err = NO_ERROR;
    struct stat old;
    if (stat(target.c_str(), &old) == 0) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) err = lastError();
        if (err == NO_ERROR && fchmod(fd, old.st_mode & 07777) != 0) err = lastError();
    }
    if (err == NO_ERROR) err = writeAll(fd, text);
    if (err == NO_ERROR && syncFile(fd) != 0) err = lastError();
    if (close(fd) != 0 && err == NO_ERROR) err = lastError();
    if (err == NO_ERROR && renameFile(temp.c_str(), target.c_str()) != 0) err = lastError();
    if (err != NO_ERROR) {
        unlink(temp.c_str());
        return err;
    }

    // Make the rename itself durable; the new text is in place whatever this returns.
    const base::unique_fd dir(open(mDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir >= 0) fsync(dir.get());
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
    // Settings are the device owner's business: a new file is for the service alone.
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

size_t SettingsStore::removeAbandonedTemps(const std::string& directory, Writers writers) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return 0;
    size_t removed = 0;
    while (dirent* e = readdir(dir)) {
        const std::string entry = e->d_name;
        const pid_t writer = writerOfTemp(entry);
        if (writer == 0 || (writers == Writers::kGone && processMayWrite(writer))) continue;
        // Relative to the open directory, so a swapped path cannot redirect either call.
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode) && unlinkat(dirfd(dir), e->d_name, 0) == 0) ++removed;
    }
    closedir(dir);
    return removed;
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
