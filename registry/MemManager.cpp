#define LOG_TAG "KesService"

#include "registry/MemManager.h"

#include <binder/MemoryBase.h>
#include <errno.h>
#include <log/log.h>
#include <poll.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "registry/ReportText.h"
#include "utils/Utils.h"

namespace android {

#if defined(__arm__) && !defined(__aarch64__)
// The reports print this size; the 32-bit target's layout is fixed at 80 bytes.
static_assert(sizeof(MemManager) == 80, "MemManager layout changed");
#endif

namespace {

constexpr size_t kCblkSize = sizeof(tnvl_cblk);

// Binary search by name in one of the owner's tables. KeyedVector::indexOfKey would copy
// the name (and a default value) into a temporary pair for every lookup; invalidate() makes
// four lookups per process, so this keeps it allocation-free. std::string::compare gives
// the byte order the tables are sorted in.
template <typename V>
ssize_t findName(const DefaultKeyedVector<std::string, V>& table, const std::string& name) {
    ssize_t low = 0;
    ssize_t high = static_cast<ssize_t>(table.size()) - 1;
    while (low <= high) {
        const ssize_t mid = low + (high - low) / 2;
        const int order = table.keyAt(mid).compare(name);
        if (order == 0) return mid;
        if (order < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
        }
    }
    return NAME_NOT_FOUND;
}

// Z: exited, waiting for its parent; X: being reaped.
bool hasExited(const Utils::ProcessControl::ProcessStat& stat) {
    return stat.state == 'Z' || stat.state == 'X';
}

// True when the exit descriptor already reports an exit.
bool exitReported(int fd) {
    pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

}  // namespace

MemManager::MemManager(const tonvale_process_volume_t* defaultProfile,
                       const tonvale_profile_table_t* p_profiles,
                       const tonvale_mute_table_t* p_muted,
                       const tonvale_profile_table_t* w_profiles,
                       const tonvale_mute_table_t* w_muted, const bool* defaultSilent)
    : defaultProfile(defaultProfile),
      p_profiles(p_profiles),
      p_muted(p_muted),
      w_profiles(w_profiles),
      w_muted(w_muted),
      defaultSilent(defaultSilent),
      pids(sp<PidBean>()),
      packages(sp<PackageBean>()) {}

MemManager::~MemManager() {
    // Breaks the record cycles even when the owner forgot to release.
    releaseAllBuffer();
}

std::string MemManager::readCmdLine(int pid) {
    return Utils::ProcessControl::getCmdLine(pid);
}

sp<MemoryHeapBase> MemManager::createTrackHeap() {
    return new MemoryHeapBase(kCblkSize, 0, "TNV Track Heap Base");
}

int MemManager::readProcessStat(int pid, Utils::ProcessControl::ProcessStat* stat) {
    return Utils::ProcessControl::readProcessStat(pid, stat);
}

bool MemManager::processGone(int pid) {
    return Utils::ProcessControl::processGone(pid);
}

int MemManager::openExitFd(int pid) {
    return Utils::ProcessControl::openPidFd(pid);
}

std::pair<bool, sp<ATrack>> MemManager::requestForBuffer(int pid, int session) {
    return requestForBuffer(pid, session, false);
}

std::pair<bool, sp<ATrack>> MemManager::requestForBuffer(int pid, int session, bool limited) {
    ALOGD("[Server]Received buffer request for pid:[%d], session:[%d]", pid, session);
    reclaimExited();

    // A watched process's exit would have been reported just now; only an unwatched one
    // needs its identity checked.
    sp<PidBean> process = pids.valueFor(pid);
    if (process != nullptr && process->exitFd < 0 && processReplaced(process)) {
        ALOGD("[Server]Pid %d no longer names the process that registered, releasing it", pid);
        releaseProcess(process);
        process.clear();
    }

    std::pair<bool, sp<ATrack>> found = trackBufExist(pid, session);
    if (found.first) {
        ALOGD("[Server]Request buffer exsits, retreiving");
        found.second->reloadCblk();
        return found;
    }

    if (limited && process != nullptr && process->tracks.size() >= kMaxTracksPerLimitedPid) {
        // Once per process, so that a caller cannot flood the log.
        if (!process->capLogged) {
            process->capLogged = true;
            ALOGD("[Server]Pid %d holds %zu tracks, refusing it more", pid, process->tracks.size());
        }
        return {false, nullptr};
    }

    ALOGD("[Server]Request buffer doesn't exsit, allocating");
    NewProcess identity;
    if (process == nullptr && !identifyNewProcess(pid, &identity)) return {false, nullptr};

    std::pair<bool, sp<ATrack>> created = allocNewSharedBuffer(pid, session);
    if (!created.first) {
        if (identity.exitFd >= 0) close(identity.exitFd);
        return created;
    }

    ALOGD("[Server]Buffer allocated, joining queue");
    if (process != nullptr) {
        // A further track: the names are not used.
        updateATrackGroup(pid, session, created.second, process->processName, std::string());
        return created;
    }
    const std::string packageName = Utils::ProcessControl::extractPackageName(identity.name);
    updateATrackGroup(pid, session, created.second, identity.name, packageName);
    const sp<PidBean> filed = pids.valueFor(pid);
    filed->startTime = identity.startTime;
    watchExit(filed, identity.exitFd);
    return created;
}

bool MemManager::identifyNewProcess(int pid, NewProcess* process) {
    // The descriptor first: it stays with the process alive now, and reads below that meet
    // another process are caught by its exit report.
    const int exitFd = openExitFd(pid);
    if (exitFd == -ESRCH) {
        ALOGD("[Server]No process has pid %d, refusing the request", pid);
        return false;
    }
    Utils::ProcessControl::ProcessStat stat;
    const int error = readProcessStat(pid, &stat);
    if (error != 0) {
        ALOGD("[Server]Cannot read /proc/%d/stat (%s), refusing the request", pid, strerror(error));
    } else if (hasExited(stat) || (exitFd >= 0 && exitReported(exitFd))) {
        ALOGD("[Server]Pid %d has exited, refusing the request", pid);
    } else {
        process->name = readCmdLine(pid);
        if (!process->name.empty()) {
            process->startTime = stat.startTime;
            process->exitFd = exitFd;
            return true;
        }
        ALOGD("[Server]Cannot read the command line of pid %d, refusing the request", pid);
    }
    if (exitFd >= 0) close(exitFd);
    return false;
}

void MemManager::watchExit(const sp<PidBean>& process, int exitFd) {
    if (exitFd < 0) return;
    // One set per registry: every watched process holds the same one.
    sp<ExitWatch> watch;
    for (size_t i = 0; i < pids.size() && watch == nullptr; ++i) {
        watch = pids.valueAt(i)->exitWatch;
    }
    if (watch == nullptr) watch = ExitWatch::create();
    if (watch == nullptr || !watch->add(exitFd, process->pid)) {
        close(exitFd);
        return;
    }
    process->exitFd.reset(exitFd);
    process->exitWatch = watch;
}

bool MemManager::processReplaced(const sp<PidBean>& process) {
    Utils::ProcessControl::ProcessStat stat;
    if (readProcessStat(process->pid, &stat) == 0) {
        return stat.startTime != process->startTime || hasExited(stat);
    }
    // EMFILE, EACCES, ...: only the kernel's word that the pid is free counts.
    return processGone(process->pid);
}

void MemManager::reclaimExited() {
    std::vector<sp<PidBean>> exited;
    ExitWatch* watch = nullptr;
    for (size_t i = 0; i < pids.size(); ++i) {
        const sp<PidBean>& process = pids.valueAt(i);
        if (process->exitWatch != nullptr) {
            watch = process->exitWatch.get();
        } else if (processGone(process->pid)) {
            exited.push_back(process);
        }
    }
    if (watch != nullptr) {
        std::vector<ExitWatch::Exit> exits;
        watch->collect(&exits);
        for (const ExitWatch::Exit& exit : exits) {
            const sp<PidBean> process = pids.valueFor(exit.pid);
            if (process != nullptr && process->exitFd.get() == exit.fd) exited.push_back(process);
        }
    }
    for (const sp<PidBean>& process : exited) {
        ALOGD("[Server]Pid %d has exited, releasing its %zu tracks", process->pid,
              process->tracks.size());
        releaseProcess(process);
    }
}

std::pair<bool, sp<ATrack>> MemManager::trackBufExist(int pid, int session) {
    const ssize_t index = pids.indexOfKey(pid);
    if (index < 0) return {false, nullptr};
    const sp<PidBean>& process = pids.valueAt(index);
    const ssize_t trackIndex = process->tracks.indexOfKey(session);
    if (trackIndex < 0) return {false, nullptr};
    return {true, process->tracks.valueAt(trackIndex)};
}

std::pair<bool, sp<ATrack>> MemManager::allocNewSharedBuffer(int pid, int session) {
    sp<MemoryHeapBase> heap = createTrackHeap();
    if (heap == nullptr || heap->getHeapID() < 0) return {false, nullptr};
    void* base = heap->getBase();
    if (base == nullptr || base == MAP_FAILED || heap->getSize() < kCblkSize) {
        return {false, nullptr};
    }

    tnvl_cblk* cblk = static_cast<tnvl_cblk*>(base);
    cblk->valid = 1;
    cblk->pid = pid;
    cblk->session = session;

    sp<IMemory> mem = new MemoryBase(heap, 0, kCblkSize);
    sp<ATrack> track = new ATrack(pid, session, cblk, mem);
    return {true, track};
}

void MemManager::updateATrackGroup(int pid, int session, const sp<ATrack>& track,
                                   const std::string& processName, const std::string& packageName) {
    if (track == nullptr) return;

    const ssize_t index = pids.indexOfKey(pid);
    if (index >= 0) {
        // A further track takes the process's values as last loaded.
        const sp<PidBean>& process = pids.valueAt(index);
        track->pidBean = process;
        const ssize_t old = process->tracks.indexOfKey(session);
        if (old >= 0 && process->tracks.valueAt(old) != track) {
            process->tracks.valueAt(old)->release();
        }
        process->tracks.replaceValueFor(session, track);
        track->reloadCblk();
        return;
    }

    sp<PidBean> process = new PidBean(pid, processName);
    pids.add(pid, process);
    track->pidBean = process;
    process->tracks.add(session, track);

    sp<PackageBean> package = packages.valueFor(packageName);
    if (package == nullptr) {
        package = new PackageBean(packageName);
        packages.add(packageName, package);
    }
    package->processes.replaceValueFor(processName, process);
    process->package = package;

    loadPackageBeanProfile(package, packageName);
    loadPidBeanProfile(process, processName);
    track->reloadCblk();
}

void MemManager::releaseProcess(const sp<PidBean>& process) {
    process->stopWatching();
    for (size_t i = 0; i < process->tracks.size(); ++i) {
        process->tracks.valueAt(i)->release();
    }
    process->tracks.clear();

    const sp<PackageBean> package = process->package;
    if (package != nullptr) {
        // A same-named process that registered later may have taken this one's place in the
        // package; it and its package stay.
        const ssize_t index = findName(package->processes, process->processName);
        if (index >= 0 && package->processes.valueAt(index) == process) {
            package->processes.removeItemsAt(index);
            // One it had displaced takes the name back, so the package goes on listing it.
            for (size_t i = 0; i < pids.size(); ++i) {
                const sp<PidBean>& other = pids.valueAt(i);
                if (other != process && other->package == package &&
                    other->processName == process->processName) {
                    package->processes.add(other->processName, other);
                    break;
                }
            }
        }
        if (package->processes.isEmpty()) {
            const ssize_t pkgIndex = packages.indexOfKey(package->packageName);
            if (pkgIndex >= 0 && packages.valueAt(pkgIndex) == package) {
                packages.removeItemsAt(pkgIndex);
            }
        }
        process->package.clear();
    }

    const ssize_t pidIndex = pids.indexOfKey(process->pid);
    if (pidIndex >= 0 && pids.valueAt(pidIndex) == process) pids.removeItemsAt(pidIndex);
}

int MemManager::releaseBuffer(int pid, int session) {
    ALOGD("[Server]Try release buffer for pid = %d, session = %d", pid, session);
    const ssize_t index = pids.indexOfKey(pid);
    if (index < 0) return 0;

    ALOGD("[Server]Target exist, start working");
    const sp<PidBean> process = pids.valueAt(index);
    const ssize_t trackIndex = process->tracks.indexOfKey(session);
    if (trackIndex >= 0) {
        process->tracks.valueAt(trackIndex)->release();
        ALOGD("[Server]Target buffer cleared");
        process->tracks.removeItemsAt(trackIndex);
        if (process->tracks.isEmpty()) releaseProcess(process);
    }
    ALOGD("[Server]Release successful");
    return 0;
}

int MemManager::releaseAllBuffer() {
    for (size_t i = 0; i < pids.size(); ++i) {
        const sp<PidBean>& process = pids.valueAt(i);
        for (size_t k = 0; k < process->tracks.size(); ++k) {
            process->tracks.valueAt(k)->release();
        }
        process->tracks.clear();
        process->package.clear();
        process->stopWatching();
    }
    for (size_t i = 0; i < packages.size(); ++i) {
        packages.valueAt(i)->processes.clear();
    }
    pids.clear();
    packages.clear();
    return 0;
}

void MemManager::invalidate() {
    size_t listed = 0;
    for (size_t i = 0; i < packages.size(); ++i) {
        const sp<PackageBean>& package = packages.valueAt(i);
        loadPackageBeanProfile(package, package->packageName);
        for (size_t k = 0; k < package->processes.size(); ++k) {
            const sp<PidBean>& process = package->processes.valueAt(k);
            loadPidBeanProfile(process, process->processName);
        }
        package->reloadAllCblk();
        listed += package->processes.size();
    }
    if (listed == pids.size()) return;
    // Processes displaced from their package's list by a same-named one are still running:
    // their blocks follow the settings too.
    for (size_t i = 0; i < pids.size(); ++i) {
        const sp<PidBean>& process = pids.valueAt(i);
        const sp<PackageBean>& package = process->package;
        if (package == nullptr) continue;
        const ssize_t index = findName(package->processes, process->processName);
        if (index >= 0 && package->processes.valueAt(index) == process) continue;
        loadPidBeanProfile(process, process->processName);
        process->reloadAllCblk();
    }
}

uint32_t MemManager::getProcessCount() {
    reclaimExited();
    return static_cast<uint32_t>(pids.size());
}

void MemManager::loadPackageBeanProfile(const sp<PackageBean>& package,
                                        const std::string& packageName) {
    if (package == nullptr) return;
    const ssize_t profile = findName(*w_profiles, packageName);
    const bool muted = findName(*w_muted, packageName) >= 0;
    package->isWeakkey = profile >= 0 || muted;
    package->hasProfile = profile >= 0;
    if (profile >= 0) {
        const tonvale_process_volume_t& volume = w_profiles->valueAt(profile);
        package->left = volume.left;
        package->right = volume.right;
        package->general = volume.general;
    } else {
        package->left = 1.0f;
        package->right = 1.0f;
        package->general = 1.0f;
    }
    package->muted = muted;
}

void MemManager::loadPidBeanProfile(const sp<PidBean>& process, const std::string& processName) {
    if (process == nullptr) return;
    const ssize_t profile = findName(*p_profiles, processName);
    process->hasProfile = profile >= 0;
    if (profile >= 0) {
        const tonvale_process_volume_t& volume = p_profiles->valueAt(profile);
        process->left = volume.left;
        process->right = volume.right;
        process->general = volume.general;
    } else if (*defaultSilent) {
        process->left = 0.0f;
        process->right = 0.0f;
        process->general = 0.0f;
    } else {
        process->left = defaultProfile->left;
        process->right = defaultProfile->right;
        process->general = defaultProfile->general;
    }
    process->muted = findName(*p_muted, processName) >= 0;
    process->isWeakkey = process->package != nullptr && process->package->isWeakkey;
}

std::vector<sp<IMemory>> MemManager::getAllMems() {
    reclaimExited();
    std::vector<sp<IMemory>> mems;
    for (size_t i = 0; i < pids.size(); ++i) {
        const sp<PidBean>& process = pids.valueAt(i);
        for (size_t k = 0; k < process->tracks.size(); ++k) {
            const sp<IMemory>& mem = process->tracks.valueAt(k)->mem;
            if (mem != nullptr) mems.push_back(mem);
        }
    }
    return mems;
}

std::string MemManager::dumpMemManager() {
    reclaimExited();
    std::string text = "Dump for MemManager\n";
    for (size_t i = 0; i < packages.size(); ++i) {
        text += packages.valueAt(i)->appendDump();
    }
    return text;
}

std::string MemManager::listBufferInline(int form) {
    reclaimExited();
    if (form != 1) return std::string();
    std::string text = "{\n    \"pkgs\": [";
    for (size_t i = 0; i < packages.size(); ++i) {
        if (i > 0) text += ",\n";
        text += packages.valueAt(i)->toJson();
    }
    text += "    ]\n}";
    return text;
}

}  // namespace android
