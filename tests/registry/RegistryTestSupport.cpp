#include "RegistryTestSupport.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

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
    const sp<android::HolderBean> holder = holders.valueFor(pid);
    if (fake.exitFd >= 0 && ((process != nullptr && process->exitFd == fake.exitFd) ||
                             (holder != nullptr && holder->exitFd == fake.exitFd))) {
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

}  // namespace tonvale_test
