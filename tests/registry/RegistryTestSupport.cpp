#include "RegistryTestSupport.h"

#include <android/log.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <mutex>

#include "common/TestEnv.h"
#include "utils/Utils.h"

using android::MemoryHeapBase;
using android::sp;

namespace tonvale_test {

void RegistrySettings::setProfile(android::tonvale_profile_table_t& table, const std::string& name,
                                  float left, float right, float general) {
    android::tonvale_process_volume_t volume;
    volume.left = left;
    volume.right = right;
    volume.general = general;
    table.replaceValueFor(name, volume);
}

TestMemManager::TestMemManager(RegistrySettings& s)
    : MemManager(&s.defaultProfile, &s.p_profiles, &s.p_muted, &s.w_profiles, &s.w_muted,
                 &s.defaultSilent) {}

std::string TestMemManager::readCmdLine(int pid) {
    ++cmdLineReads_;
    auto it = cmdLines_.find(pid);
    return it != cmdLines_.end() ? it->second : MemManager::readCmdLine(pid);
}

sp<MemoryHeapBase> TestMemManager::createTrackHeap() {
    switch (heapMode_) {
        case HeapMode::kReal:
            return MemManager::createTrackHeap();
        case HeapMode::kNull:
            return nullptr;
        case HeapMode::kNoDescriptors:
            break;
    }
    // The real heap, made while no descriptor can be opened. One heap made beforehand lets
    // UBSan's type checks, which need descriptors on a first sight of a type, pass.
    MemManager::createTrackHeap();
    struct rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    struct rlimit none = saved;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
    sp<MemoryHeapBase> heap = MemManager::createTrackHeap();
    setrlimit(RLIMIT_NOFILE, &saved);
    return heap;
}

android::tnvl_cblk* blockOf(const sp<android::IMemory>& mem) {
    return mem == nullptr ? nullptr : static_cast<android::tnvl_cblk*>(mem->pointer());
}

namespace {

std::mutex gLogMutex;
std::vector<std::string> gLogLines;

void captureLogger(const struct __android_logger_data* data, const char* message) {
    if (data->priority != ANDROID_LOG_DEBUG || data->tag == nullptr ||
        strcmp(data->tag, "KesService") != 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(gLogMutex);
    gLogLines.push_back(message);
}

}  // namespace

LogCapture::LogCapture() {
    clear();
    __android_log_set_minimum_priority(ANDROID_LOG_DEBUG);
    __android_log_set_logger(captureLogger);
}

LogCapture::~LogCapture() {
    __android_log_set_logger(__android_log_logd_logger);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> guard(gLogMutex);
    return gLogLines;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> guard(gLogMutex);
    gLogLines.clear();
}

bool waitForCmdLine(pid_t pid, const std::string& expected) {
    for (int i = 0; i < 500; ++i) {
        if (android::Utils::ProcessControl::getCmdLine(pid) == expected) return true;
        usleep(10000);
    }
    return false;
}

pid_t startNamedChild(const std::string& argv0) {
    pid_t pid = forkProcess();
    if (pid == 0) {
        execl("/bin/sleep", argv0.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0 && !waitForCmdLine(pid, argv0)) {
        stopChild(pid);
        return -1;
    }
    return pid;
}

void stopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitExit(pid);
}

}  // namespace tonvale_test
