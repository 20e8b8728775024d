#define LOG_TAG "KesService"

#include "registry/MemManager.h"

#include <binder/MemoryBase.h>
#include <errno.h>
#include <log/log.h>
#include <poll.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "registry/ReportText.h"
#include "utils/Utils.h"

namespace android {

#if defined(__arm__) && !defined(__aarch64__)
// The reports print this size: 80 bytes of the first layout, and 68 for the holders and the
// apps' caps. A change shows in every report, so it is made on purpose.
static_assert(sizeof(MemManager) == 148, "MemManager layout changed");
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

// The soft limit on open descriptors; 1024 when it cannot be read or is unlimited.
size_t descriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
    return static_cast<size_t>(limit.rlim_cur);
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
      packages(sp<PackageBean>()),
      holders(sp<HolderBean>()),
      mLimits(Limits::forDescriptors(descriptorLimit())),
      mAppBlocks(0),
      mAppBlocksByUid(AppBlocks{0, false}) {}

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
    // In the service's own process: a privileged hold on behalf of the track's process.
    return requestForBuffer(pid, session, Holder{pid, getuid(), true});
}

std::pair<bool, sp<ATrack>> MemManager::requestForBuffer(int pid, int session,
                                                         const Holder& holder) {
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

    // A holder other than the track's own process is watched on its own account.
    sp<HolderBean> record;
    if (holder.pid != pid) {
        record = holderFor(holder);
        if (record == nullptr) return {false, nullptr};
    }
    // A new holder record that ends up holding nothing goes again.
    auto refuse = [this, &record]() -> std::pair<bool, sp<ATrack>> {
        if (record != nullptr && record->holdCount == 0) {
            record->stopWatching();
            holders.removeItem(record->pid);
        }
        return {false, nullptr};
    };
    const ATrack::Kind kind = holder.privileged ? ATrack::MIXER : ATrack::APP;

    std::pair<bool, sp<ATrack>> found = trackBufExist(pid, session);
    if (found.first) {
        const sp<ATrack>& track = found.second;
        if (track->memOf(kind) != nullptr) {
            ALOGD("[Server]Request buffer exsits, retreiving");
        } else {
            // The track is held, but not yet by this kind of holder: a block of its own.
            if (!holder.privileged && !appBlockAllowed(holder, process, pid)) return refuse();
            if (!giveBlock(track, kind, holder.uid)) return refuse();
        }
        addHold(track, holder, kind, record);
        track->reloadCblk();
        return found;
    }

    if (!holder.privileged && !appBlockAllowed(holder, process, pid)) return refuse();

    ALOGD("[Server]Request buffer doesn't exsit, allocating");
    NewProcess identity;
    if (process == nullptr && !identifyNewProcess(pid, &identity)) return refuse();

    sp<ATrack> track = new ATrack(pid, session, nullptr, nullptr);
    if (!giveBlock(track, kind, holder.uid)) {
        if (identity.exitFd >= 0) close(identity.exitFd);
        return refuse();
    }

    ALOGD("[Server]Buffer allocated, joining queue");
    if (process != nullptr) {
        // A further track: the names are not used.
        updateATrackGroup(pid, session, track, process->processName, std::string());
    } else {
        const std::string packageName = Utils::ProcessControl::extractPackageName(identity.name);
        updateATrackGroup(pid, session, track, identity.name, packageName);
        const sp<PidBean> filed = pids.valueFor(pid);
        filed->startTime = identity.startTime;
        watchExit(filed, identity.exitFd);
    }
    addHold(track, holder, kind, record);
    return {true, track};
}

sp<HolderBean> MemManager::holderFor(const Holder& holder) {
    sp<HolderBean> record = holders.valueFor(holder.pid);
    if (record != nullptr && record->exitFd < 0 && processReplaced(record)) {
        ALOGD("[Server]Pid %d no longer names the holder that registered, releasing its holds",
              holder.pid);
        releaseHolder(record);
        record.clear();
    }
    if (record != nullptr) return record;
    NewProcess identity;
    if (!identifyNewProcess(holder.pid, &identity, false)) return nullptr;
    record = new HolderBean(holder.pid, holder.uid);
    record->startTime = identity.startTime;
    holders.add(holder.pid, record);
    watchExit(record, identity.exitFd);
    return record;
}

MemManager::Limits MemManager::Limits::forDescriptors(size_t nofile) {
    const size_t reserve = std::max<size_t>(64, nofile / 4);
    Limits limits;
    limits.perPid = kMaxTracksPerAppPid;
    limits.unprivileged = nofile > reserve ? (nofile - reserve) / 2 : 0;
    limits.perUid = std::min<size_t>(1024, std::max<size_t>(16, limits.unprivileged / 8));
    limits.perUid = std::min(limits.perUid, limits.unprivileged);
    return limits;
}

size_t MemManager::appBlocksOf(uid_t uid) const {
    return mAppBlocksByUid.valueFor(uid).blocks;
}

bool MemManager::appBlockAllowed(const Holder& holder, const sp<PidBean>& process, int pid) {
    size_t ofPid = 0;
    if (process != nullptr) {
        for (size_t i = 0; i < process->tracks.size(); ++i) {
            if (process->tracks.valueAt(i)->appMem != nullptr) ++ofPid;
        }
    }
    const char* cap = nullptr;
    size_t count = 0;
    if (ofPid >= mLimits.perPid) {
        cap = "pid";
        count = ofPid;
    } else if (appBlocksOf(holder.uid) >= mLimits.perUid) {
        cap = "uid";
        count = appBlocksOf(holder.uid);
    } else if (mAppBlocks >= mLimits.unprivileged) {
        cap = "all apps";
        count = mAppBlocks;
    }
    if (cap == nullptr) return true;
    // Once per process and once per uid, so that a caller cannot flood the log.
    const ssize_t uidIndex = mAppBlocksByUid.indexOfKey(holder.uid);
    bool* logged = process != nullptr ? &process->capLogged
                   : uidIndex >= 0    ? &mAppBlocksByUid.editValueAt(uidIndex).capLogged
                                      : nullptr;
    if (logged == nullptr || !*logged) {
        if (logged != nullptr) *logged = true;
        ALOGD("[Server]Uid %d pid %d: the %s cap of %zu blocks is reached, refusing it more",
              static_cast<int>(holder.uid), pid, cap, count);
    }
    return false;
}

bool MemManager::giveBlock(const sp<ATrack>& track, ATrack::Kind kind, uid_t uid) {
    tnvl_cblk* block = nullptr;
    sp<IMemory> memory;
    if (!allocBlock(track->pid, track->session, &block, &memory)) return false;
    track->setBlock(kind, block, memory);
    if (kind == ATrack::APP) countAppBlock(track, uid);
    return true;
}

void MemManager::countAppBlock(const sp<ATrack>& track, uid_t uid) {
    track->appUid = uid;
    ++mAppBlocks;
    const ssize_t index = mAppBlocksByUid.indexOfKey(uid);
    if (index >= 0) {
        ++mAppBlocksByUid.editValueAt(index).blocks;
    } else {
        mAppBlocksByUid.add(uid, AppBlocks{1, false});
    }
}

void MemManager::releaseBlock(const sp<ATrack>& track, ATrack::Kind kind) {
    if (track->memOf(kind) == nullptr) return;
    if (kind == ATrack::APP) {
        --mAppBlocks;
        const ssize_t index = mAppBlocksByUid.indexOfKey(track->appUid);
        if (index >= 0 && --mAppBlocksByUid.editValueAt(index).blocks == 0) {
            mAppBlocksByUid.removeItemsAt(index);
        }
    }
    track->setBlock(kind, nullptr, nullptr);
}

void MemManager::addHold(const sp<ATrack>& track, const Holder& holder, ATrack::Kind kind,
                         const sp<HolderBean>& record) {
    ATrack::Hold* hold = track->findHold(holder.pid, kind);
    if (hold != nullptr) {
        if (hold->count < UINT32_MAX) ++hold->count;
        return;
    }
    track->holds.push_back(ATrack::Hold{holder.pid, kind, 1});
    if (record != nullptr) ++record->holdCount;
}

bool MemManager::takeHold(const sp<ATrack>& track, size_t index, bool all) {
    ATrack::Hold& hold = track->holds[index];
    if (!all && --hold.count > 0) return false;
    const ATrack::Kind kind = hold.kind;
    const int32_t holder = hold.holder;
    track->holds.erase(track->holds.begin() + static_cast<ptrdiff_t>(index));
    if (holder != track->pid) {
        const sp<HolderBean> record = holders.valueFor(holder);
        if (record != nullptr && --record->holdCount == 0) {
            record->stopWatching();
            holders.removeItem(holder);
        }
    }
    if (track->isHeld(kind)) return false;
    releaseBlock(track, kind);
    if (track->holds.empty()) unfileTrack(track);
    return true;
}

void MemManager::unfileTrack(const sp<ATrack>& track) {
    const sp<PidBean> process = track->pidBean;
    retireTrack(track);
    if (process == nullptr) return;
    const ssize_t index = process->tracks.indexOfKey(track->session);
    if (index >= 0 && process->tracks.valueAt(index) == track) {
        process->tracks.removeItemsAt(index);
    }
    if (process->tracks.isEmpty()) releaseProcess(process);
}

void MemManager::retireTrack(const sp<ATrack>& track) {
    for (const ATrack::Hold& hold : track->holds) {
        if (hold.holder == track->pid) continue;
        const sp<HolderBean> record = holders.valueFor(hold.holder);
        if (record != nullptr && --record->holdCount == 0) {
            record->stopWatching();
            holders.removeItem(hold.holder);
        }
    }
    track->holds.clear();
    releaseBlock(track, ATrack::MIXER);
    releaseBlock(track, ATrack::APP);
    track->release();
}

void MemManager::releaseHolder(const sp<HolderBean>& holder) {
    std::vector<sp<ATrack>> held;
    for (size_t i = 0; i < pids.size(); ++i) {
        const sp<PidBean>& process = pids.valueAt(i);
        if (process->pid == holder->pid) continue;  // its own tracks go with the process
        for (size_t k = 0; k < process->tracks.size(); ++k) {
            const sp<ATrack>& track = process->tracks.valueAt(k);
            for (const ATrack::Hold& hold : track->holds) {
                if (hold.holder == holder->pid) {
                    held.push_back(track);
                    break;
                }
            }
        }
    }
    for (const sp<ATrack>& track : held) {
        for (size_t i = track->holds.size(); i-- > 0;) {
            if (i < track->holds.size() && track->holds[i].holder == holder->pid) {
                takeHold(track, i, true);
            }
        }
    }
    holder->stopWatching();
    const ssize_t index = holders.indexOfKey(holder->pid);
    if (index >= 0 && holders.valueAt(index) == holder) holders.removeItemsAt(index);
}

bool MemManager::allocBlock(int pid, int session, tnvl_cblk** block, sp<IMemory>* memory) {
    sp<MemoryHeapBase> heap = createTrackHeap();
    if (heap == nullptr || heap->getHeapID() < 0) return false;
    void* base = heap->getBase();
    if (base == nullptr || base == MAP_FAILED || heap->getSize() < kCblkSize) return false;

    tnvl_cblk* cblk = static_cast<tnvl_cblk*>(base);
    cblk->valid = 1;
    cblk->pid = pid;
    cblk->session = session;
    *block = cblk;
    *memory = new MemoryBase(heap, 0, kCblkSize);
    return true;
}

bool MemManager::identifyNewProcess(int pid, NewProcess* process, bool withName) {
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
        if (withName) process->name = readCmdLine(pid);
        if (!withName || !process->name.empty()) {
            process->startTime = stat.startTime;
            process->exitFd = exitFd;
            return true;
        }
        ALOGD("[Server]Cannot read the command line of pid %d, refusing the request", pid);
    }
    if (exitFd >= 0) close(exitFd);
    return false;
}

sp<ExitWatch> MemManager::exitSet() const {
    for (size_t i = 0; i < pids.size(); ++i) {
        if (pids.valueAt(i)->exitWatch != nullptr) return pids.valueAt(i)->exitWatch;
    }
    for (size_t i = 0; i < holders.size(); ++i) {
        if (holders.valueAt(i)->exitWatch != nullptr) return holders.valueAt(i)->exitWatch;
    }
    return nullptr;
}

void MemManager::watchExit(const sp<WatchedProcess>& process, int exitFd) {
    if (exitFd < 0) return;
    // One set per registry: every watched process holds the same one.
    sp<ExitWatch> watch = exitSet();
    if (watch == nullptr) watch = ExitWatch::create();
    if (watch == nullptr || !watch->add(exitFd, process->pid)) {
        close(exitFd);
        return;
    }
    process->exitFd.reset(exitFd);
    process->exitWatch = watch;
}

bool MemManager::processReplaced(const sp<WatchedProcess>& process) {
    Utils::ProcessControl::ProcessStat stat;
    if (readProcessStat(process->pid, &stat) == 0) {
        return stat.startTime != process->startTime || hasExited(stat);
    }
    // EMFILE, EACCES, ...: only the kernel's word that the pid is free counts.
    return processGone(process->pid);
}

void MemManager::reclaimExited() {
    std::vector<sp<PidBean>> exited;
    std::vector<sp<HolderBean>> gone;
    for (size_t i = 0; i < pids.size(); ++i) {
        const sp<PidBean>& process = pids.valueAt(i);
        if (process->exitWatch == nullptr && processGone(process->pid)) exited.push_back(process);
    }
    for (size_t i = 0; i < holders.size(); ++i) {
        const sp<HolderBean>& holder = holders.valueAt(i);
        if (holder->exitWatch == nullptr && processGone(holder->pid)) gone.push_back(holder);
    }
    const sp<ExitWatch> watch = exitSet();
    if (watch != nullptr) {
        std::vector<ExitWatch::Exit> exits;
        watch->collect(&exits);
        for (const ExitWatch::Exit& exit : exits) {
            const sp<PidBean> process = pids.valueFor(exit.pid);
            if (process != nullptr && process->exitFd.get() == exit.fd) exited.push_back(process);
            const sp<HolderBean> holder = holders.valueFor(exit.pid);
            if (holder != nullptr && holder->exitFd.get() == exit.fd) gone.push_back(holder);
        }
    }
    for (const sp<PidBean>& process : exited) {
        ALOGD("[Server]Pid %d has exited, releasing its %zu tracks", process->pid,
              process->tracks.size());
        releaseProcess(process);
    }
    for (const sp<HolderBean>& holder : gone) {
        // Its holds may have gone with the tracks just released.
        if (holders.valueFor(holder->pid) != holder) continue;
        ALOGD("[Server]Holder pid %d has exited, giving back its holds", holder->pid);
        releaseHolder(holder);
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
    tnvl_cblk* block = nullptr;
    sp<IMemory> memory;
    if (!allocBlock(pid, session, &block, &memory)) return {false, nullptr};
    return {true, new ATrack(pid, session, block, memory)};
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
            retireTrack(process->tracks.valueAt(old));
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
    // Emptied first: retiring a track must not come back here for its process.
    const DefaultKeyedVector<int, sp<ATrack>> tracks = process->tracks;
    process->tracks.clear();
    for (size_t i = 0; i < tracks.size(); ++i) retireTrack(tracks.valueAt(i));

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
    return releaseBuffer(pid, session, Holder{pid, getuid(), true});
}

int MemManager::releaseBuffer(int pid, int session, const Holder& holder) {
    ALOGD("[Server]Try release buffer for pid = %d, session = %d", pid, session);
    const ssize_t index = pids.indexOfKey(pid);
    if (index < 0) return 0;

    ALOGD("[Server]Target exist, start working");
    const sp<PidBean> process = pids.valueAt(index);
    const sp<ATrack> track = process->tracks.valueFor(session);
    if (track != nullptr) {
        // The holder's own kind first: a holder whose privilege changed still gives back
        // what it holds, but never another's hold.
        const ATrack::Kind kind = holder.privileged ? ATrack::MIXER : ATrack::APP;
        const ATrack::Kind other = holder.privileged ? ATrack::APP : ATrack::MIXER;
        ATrack::Hold* hold = track->findHold(holder.pid, kind);
        if (hold == nullptr) hold = track->findHold(holder.pid, other);
        if (hold == nullptr) {
            ALOGD("[Server]Pid %d holds no block of it, nothing released", holder.pid);
        } else if (takeHold(track, static_cast<size_t>(hold - track->holds.data()), false)) {
            ALOGD("[Server]Target buffer cleared");
        }
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
    for (size_t i = 0; i < holders.size(); ++i) holders.valueAt(i)->stopWatching();
    pids.clear();
    packages.clear();
    holders.clear();
    mAppBlocks = 0;
    mAppBlocksByUid.clear();
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
            // The mixer's block where there is one, else the app's.
            const sp<ATrack>& track = process->tracks.valueAt(k);
            const sp<IMemory>& mem = track->mem != nullptr ? track->mem : track->appMem;
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
