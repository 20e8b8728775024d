#include "utils/Utils.h"

#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace android {
namespace Utils {

namespace {

const char kWhiteSpace[] = " \r\n\t";

// pidfd_open is 434 on every ABI; older libcs do not name it.
constexpr long kSysPidfdOpen = 434;

// Set once the kernel has answered ENOSYS: it will not learn pidfd_open later.
std::atomic<bool> gNoPidfd{false};

}  // namespace

namespace StringProcess {

std::string trimStr(std::string text) {
    size_t last = text.find_last_not_of(kWhiteSpace);
    if (last != std::string::npos) text.erase(last + 1);
    size_t first = text.find_first_not_of(kWhiteSpace);
    if (first != std::string::npos) text.erase(0, first);
    return text;
}

std::vector<std::string> split(std::string text, std::string delimiter) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    text += delimiter;
    size_t i = 0;
    while (i < text.size()) {
        size_t p = text.find(delimiter, i);
        if (p == std::string::npos) break;
        pieces.push_back(text.substr(i, p - i));
        i = p + delimiter.size();
    }
    return pieces;
}

bool contains(std::string text, std::string part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> getPreset(std::string path) {
    return split(IO::readFromFile(path), "\n");
}

}  // namespace StringProcess

namespace Caster {

std::string int_16toString(int value) {
    char buf[20];
    snprintf(buf, sizeof(buf), "%X", static_cast<unsigned>(value));
    return buf;
}

std::string addressToString(const void* address) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << address;
    return out.str();
}

std::string volumeToProfileLineStr(tonvale_process_volume_t volume) {
    return numToString<float>(volume.left) + "," + numToString<float>(volume.right) + "," +
           numToString<float>(volume.general) + "," +
           numToString<float>(volume.split_control ? 1.0f : 0.0f);
}

tonvale_process_volume_t paramToVolumeSingleFile(std::string text) {
    tonvale_process_volume_t volume;
    std::vector<std::string> f = StringProcess::split(text, ",");
    if (f.size() > 0) volume.left = stringToNum<float>(f[0]);
    if (f.size() > 1) volume.right = stringToNum<float>(f[1]);
    if (f.size() > 2) volume.general = stringToNum<float>(f[2]);
    if (f.size() > 3) volume.split_control = stringToNum<int>(f[3]) == 1;
    volume.reserved = 0;
    return volume;
}

tonvale_process_volume_t paramToVolumeControlCmd(std::string text) {
    tonvale_process_volume_t volume;
    std::vector<std::string> f = StringProcess::split(text, ",");
    if (f.size() > 0) volume.reserved = stringToNum<int>(f[0]);
    if (f.size() > 1) volume.left = stringToNum<float>(f[1]);
    if (f.size() > 2) volume.right = stringToNum<float>(f[2]);
    if (f.size() > 3) volume.general = stringToNum<float>(f[3]);
    if (f.size() > 4) volume.split_control = stringToNum<int>(f[4]) == 1;
    return volume;
}

std::string controlModeFlagsToString(control_mode_flags_t mode) {
    return mode == 0 ? "MODE_UNDER_SYSTEM" : "UNKNOWN CTL FLAG!!!";
}

}  // namespace Caster

namespace IO {

std::string readFromFile(std::string path) {
    std::string result;
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return result;
    char buf[1024];
    while (fgets(buf, sizeof(buf), file) != nullptr) {
        result.append(buf, strlen(buf));
    }
    fclose(file);
    return result;
}

void writeFile(std::string path, std::string content) {
    FILE* file = fopen(path.c_str(), "w+");
    if (file == nullptr) return;
    fputs(content.c_str(), file);
    fclose(file);
}

}  // namespace IO

namespace ProcessControl {

std::string getCmdLine(int pid) {
    char path[32];
    snprintf(path, sizeof(path), "/proc/%d/cmdline", pid);
    return IO::readFromFile(path);
}

std::string extractPackageName(std::string name) {
    if (!StringProcess::contains(name, ":")) return name;
    return StringProcess::split(name, ":")[0];
}

int readProcessStat(int pid, ProcessStat* stat) {
    if (pid <= 0) return ENOENT;
    char path[32];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    const base::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd < 0) return errno;
    // The line is a few hundred bytes; the name in field 2 is at most 15 characters.
    char buf[1024];
    size_t size = 0;
    int error = 0;
    while (size < sizeof(buf) - 1) {
        const ssize_t n = read(fd.get(), buf + size, sizeof(buf) - 1 - size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        size += static_cast<size_t>(n);
        // The kernel hands the one line over in one piece; its end saves a read for EOF.
        if (buf[size - 1] == '\n') break;
    }
    if (error != 0) return error;
    buf[size] = '\0';

    // The name may hold spaces and parentheses; the fields after it start past the last ')'.
    const char* end = strrchr(buf, ')');
    if (end == nullptr || end[1] != ' ' || end[2] == '\0') return EINVAL;
    const char* p = end + 2;
    const char state = *p;
    // From the state (field 3), field 22 is 19 fields further.
    for (int field = 3; field < 22; ++field) {
        p = strchr(p, ' ');
        if (p == nullptr) return EINVAL;
        ++p;
    }
    if (*p < '0' || *p > '9') return EINVAL;
    char* after = nullptr;
    errno = 0;
    const unsigned long long startTime = strtoull(p, &after, 10);
    if (errno != 0 || (*after != ' ' && *after != '\n' && *after != '\0')) return EINVAL;
    stat->state = state;
    stat->startTime = startTime;
    return 0;
}

bool processGone(int pid) {
    // kill() with a pid below 1 names process groups; never ask about those.
    if (pid <= 0) return false;
    return kill(pid, 0) != 0 && errno == ESRCH;
}

int openPidFd(int pid) {
    if (pid <= 0) return -EINVAL;
    if (gNoPidfd.load(std::memory_order_relaxed)) return -ENOSYS;
    const long fd = syscall(kSysPidfdOpen, pid, 0);
    if (fd >= 0) return static_cast<int>(fd);
    const int error = errno;
    if (error == ENOSYS) gNoPidfd.store(true, std::memory_order_relaxed);
    return -error;
}

}  // namespace ProcessControl

std::string getTime() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char buf[65];
    size_t n = strftime(buf, 64, "[%Y-%m-%d %H:%M:%S]", &local);
    return std::string(buf, n);
}

}  // namespace Utils
}  // namespace android
