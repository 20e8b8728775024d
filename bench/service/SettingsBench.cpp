// What large settings files cost the start, beside reading the same bytes raw; and what one
// uid can take of the service's descriptors, beside what a root client still gets.
#include <android-base/file.h>
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/common/BenchStats.h"
#include "interface/Access.h"
#include "service/SettingsStore.h"
#include "service/Tonvale.h"

extern char** environ;

using namespace android;
using Clock = std::chrono::steady_clock;

namespace {

void bench(const char* name, double value, const char* unit) {
    printf("BENCH %s %.2f %s\n", name, value, unit);
    fflush(stdout);
}

// Writes count profiles and count mute marks, in the order a hand edit might leave them.
void writeFiles(const std::string& dir, int count) {
    std::string profiles, muted;
    for (int i = count; i-- > 0;) {
        const std::string name = "com.bench.app" + std::to_string(i * 7919 % count);
        profiles += name + "|0.5,0.25,1,0\n";
        muted += name + "\n";
    }
    base::WriteStringToFile(profiles, dir + Tonvale::profileFile(false));
    base::WriteStringToFile(muted, dir + Tonvale::muteFile(false));
}

void loading(const std::string& dir) {
    for (int count : {20000, 100000}) {
        writeFiles(dir, count);
        const auto start = Clock::now();
        sp<Tonvale> service =
            new Tonvale(std::make_unique<Access>(), std::make_shared<SettingsStore>(dir));
        const double load = tonvale_bench::micros(Clock::now() - start) / 1000;
        if (service->profiles(false).size() != static_cast<size_t>(count)) abort();
        // The floor: the same two files read and split into lines, nothing parsed.
        const auto rawStart = Clock::now();
        size_t lines = 0;
        for (const char* file : {Tonvale::profileFile(false), Tonvale::muteFile(false)}) {
            std::string bytes;
            base::ReadFileToString(dir + file, &bytes);
            for (char c : bytes) lines += c == '\n';
        }
        const double raw = tonvale_bench::micros(Clock::now() - rawStart) / 1000;
        if (lines != 2u * count) abort();
        const std::string n = std::to_string(count / 1000) + "k";
        bench(("settings_load_" + n).c_str(), load, "ms");
        bench(("settings_read_raw_" + n).c_str(), raw, "ms");
    }
}

/** Callers as the bench says: the calling pid and uid are set before each call. */
class BenchAccess : public Access {
public:
    BenchAccess() : Access(UidRoles::android(0)) {}
    CallingContext getCallingContext() override { return mCaller; }
    CallingContext mCaller{getpid(), 0};
};

size_t openDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count - 2;  // "." and ".."
}

pid_t sleeper() {
    char sleep[] = "sleep";
    char forever[] = "3600";
    char* argv[] = {sleep, forever, nullptr};
    pid_t pid = -1;
    posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ);
    return pid;
}

// One app uid runs 40 processes, each asking for 64 blocks of its own pid; then root asks.
void perUidCap(const std::string& dir) {
    auto owned = std::make_unique<BenchAccess>();
    BenchAccess* access = owned.get();
    sp<Tonvale> service = new Tonvale(std::move(owned), std::make_shared<SettingsStore>(dir));
    auto rootRequest = [&](int session) {
        access->mCaller = {getpid(), 0};
        const auto start = Clock::now();
        const bool granted = service->getTrackCtlBlk(getpid(), session) != nullptr;
        const double us = tonvale_bench::micros(Clock::now() - start);
        return granted ? us : -1.0;
    };
    const double idle = rootRequest(1);
    const size_t before = openDescriptors();
    std::vector<pid_t> apps;
    size_t granted = 0;
    for (int p = 0; p < 40; ++p) {
        const pid_t pid = sleeper();
        if (pid < 0) abort();
        apps.push_back(pid);
        access->mCaller = {pid, 65534};
        for (int s = 0; s < 64; ++s) granted += service->getTrackCtlBlk(pid, s) != nullptr;
    }
    const size_t after = openDescriptors();
    const double loaded = rootRequest(2);
    for (pid_t pid : apps) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    bench("percap_descriptor_limit", static_cast<double>(limit.rlim_cur), "fds");
    bench("percap_one_uid_granted", static_cast<double>(granted), "blocks");
    bench("percap_one_uid_descriptors", static_cast<double>(after - before), "fds");
    bench("percap_root_block_idle", idle, "us");
    bench("percap_root_block_after_cap", loaded, "us");
}

}  // namespace

int main() {
    const char* data = getenv("ANDROID_DATA");
    const std::string dir = std::string(data != nullptr ? data : "/var/tmp") + "/misc/tonvale/";
    loading(dir);
    base::WriteStringToFile("", dir + Tonvale::profileFile(false));
    base::WriteStringToFile("", dir + Tonvale::muteFile(false));
    perUidCap(dir);
    return 0;
}
