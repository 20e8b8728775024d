#include "RegistryTestSupport.h"

#include <android/log.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
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

void TestMemManager::setCmdLine(int pid, const std::string& cmdLine) {
    fakes_[pid].cmdLine = cmdLine;
}

void TestMemManager::setStartTime(int pid, unsigned long long startTime) {
    fakes_[pid].startTime = startTime;
}

void TestMemManager::setProcError(int pid, int error) {
    fakes_[pid].procError = error;
}

void TestMemManager::setState(int pid, char state) {
    fakes_[pid].state = state;
}

void TestMemManager::exitProcess(int pid) {
    Fake& fake = fakes_[pid];
    fake.gone = true;
    // Fires the exit descriptor if the registry still holds the one it was given.
    const sp<android::PidBean> process = pids.valueFor(pid);
    if (fake.exitFd >= 0 && process != nullptr && process->exitFd == fake.exitFd) {
        const uint64_t one = 1;
        if (write(fake.exitFd, &one, sizeof(one)) != sizeof(one)) abort();
    }
}

void TestMemManager::startProcess(int pid, const std::string& cmdLine,
                                  unsigned long long startTime) {
    Fake fake;
    fake.cmdLine = cmdLine;
    fake.startTime = startTime;
    fakes_[pid] = fake;
}

std::string TestMemManager::readCmdLine(int pid) {
    ++cmdLineReads_;
    auto it = fakes_.find(pid);
    if (it == fakes_.end()) return MemManager::readCmdLine(pid);
    return it->second.gone || it->second.procError != 0 ? "" : it->second.cmdLine;
}

int TestMemManager::readProcessStat(int pid, android::Utils::ProcessControl::ProcessStat* stat) {
    ++statReads_;
    auto it = fakes_.find(pid);
    if (it == fakes_.end()) return MemManager::readProcessStat(pid, stat);
    if (it->second.gone) return ENOENT;
    if (it->second.procError != 0) return it->second.procError;
    stat->state = it->second.state;
    stat->startTime = it->second.startTime;
    return 0;
}

bool TestMemManager::processGone(int pid) {
    ++goneChecks_;
    auto it = fakes_.find(pid);
    return it == fakes_.end() ? MemManager::processGone(pid) : it->second.gone;
}

int TestMemManager::openExitFd(int pid) {
    auto it = fakes_.find(pid);
    if (it == fakes_.end()) return MemManager::openExitFd(pid);
    if (it->second.gone) return -ESRCH;
    if (!watchFakes_) return -ENOSYS;
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return -errno;
    it->second.exitFd = fd;
    return fd;
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
