#pragma once

#include <binder/IMemory.h>
#include <binder/MemoryHeapBase.h>
#include <stdint.h>
#include <utils/KeyedVector.h>
#include <utils/RefBase.h>

#include <string>
#include <utility>
#include <vector>

#include "registry/ATrack.h"
#include "registry/PackageBean.h"
#include "registry/PidBean.h"
#include "utils/Utils.h"
#include "utils/tonvale_process_volume.h"

namespace android {

/**
 * The registry of controlled tracks: hands out one control block per (pid, session), files
 * tracks under their process and package, and keeps every block in line with the settings
 * it reads in place from its owner. Not thread-safe: the owner serialises every call.
 */
class MemManager : public RefBase {
public:
    /** The six pointers stay valid for the registry's life; it never writes through them. */
    MemManager(const tonvale_process_volume_t* defaultProfile,
               const tonvale_profile_table_t* p_profiles, const tonvale_mute_table_t* p_muted,
               const tonvale_profile_table_t* w_profiles, const tonvale_mute_table_t* w_muted,
               const bool* defaultSilent);
    virtual ~MemManager();

    /**
     * Finds or creates the track's block and fills it; an unlimited request.
     *
     * First the tracks of every registered process that has exited are released. A process
     * is its pid and its start time: a registered pid that now names a younger process is pid
     * reuse, and the old process's tracks go too. A failed read of /proc releases nothing.
     * (false, null) when no heap could be made, or when a new process cannot be identified
     * (its /proc entries cannot be read, or its command line is empty).
     */
    std::pair<bool, sp<ATrack>> requestForBuffer(int pid, int session);

    /**
     * As requestForBuffer(pid, session); a limited request (from an unprivileged caller) for
     * a new track is refused with (false, null) once the pid holds kMaxTracksPerLimitedPid
     * tracks. Requests for a track the pid already holds are always served.
     */
    std::pair<bool, sp<ATrack>> requestForBuffer(int pid, int session, bool limited);

    /** Most tracks a pid may hold through limited requests. */
    static constexpr size_t kMaxTracksPerLimitedPid = 64;

    /** (true, track) when the pair is registered, else (false, null). */
    std::pair<bool, sp<ATrack>> trackBufExist(int pid, int session);

    /** Creates a heap, its block and an unfiled track; (false, null) when the heap fails. */
    std::pair<bool, sp<ATrack>> allocNewSharedBuffer(int pid, int session);

    /** Files a freshly created track under its process and package and fills its block. */
    void updateATrackGroup(int pid, int session, const sp<ATrack>& track,
                           const std::string& processName, const std::string& packageName);

    /** Releases one track, and its process and package when they are left empty. Always 0. */
    int releaseBuffer(int pid, int session);

    /** Releases every track and empties both tables. Always 0. */
    int releaseAllBuffer();

    /** Reloads every package's and process's settings and refills every block. */
    void invalidate();

    /** Number of registered processes, after releasing those that have exited. */
    uint32_t getProcessCount();

    void loadPackageBeanProfile(const sp<PackageBean>& package, const std::string& packageName);
    /** Needs the process's package set and loaded first: it copies the package's isWeakkey. */
    void loadPidBeanProfile(const sp<PidBean>& process, const std::string& processName);

    /** Every track's memory, by pid and then session; exited processes released first. */
    std::vector<sp<IMemory>> getAllMems();

    /** Plain-text dump of the whole registry; exited processes released first. */
    std::string dumpMemManager();

    /** JSON listing of the whole registry for form 1, "" otherwise; exited ones released first. */
    std::string listBufferInline(int form);

    const tonvale_process_volume_t* defaultProfile;
    const tonvale_profile_table_t* p_profiles;
    const tonvale_mute_table_t* p_muted;
    const tonvale_profile_table_t* w_profiles;
    const tonvale_mute_table_t* w_muted;
    const bool* defaultSilent;
    DefaultKeyedVector<int, sp<PidBean>> pids;
    DefaultKeyedVector<std::string, sp<PackageBean>> packages;

protected:
    /** The name a process gives itself; Utils::ProcessControl::getCmdLine. */
    virtual std::string readCmdLine(int pid);

    /** One track's heap; a null result or a negative heap id counts as failure. */
    virtual sp<MemoryHeapBase> createTrackHeap();

    /** State and start time of a process, 0 or an errno; Utils::ProcessControl. */
    virtual int readProcessStat(int pid, Utils::ProcessControl::ProcessStat* stat);

    /** True only when the kernel says no process has this pid; Utils::ProcessControl. */
    virtual bool processGone(int pid);

    /**
     * A descriptor that becomes readable once the process has exited (a pidfd), which the
     * registry then owns; or a negative errno, -ESRCH meaning no such process.
     */
    virtual int openExitFd(int pid);

private:
    // What identifies a process that registers: its name, start time and exit descriptor.
    struct NewProcess {
        std::string name;
        unsigned long long startTime = 0;
        int exitFd = -1;
    };

    // Drops a process with all its tracks and unlinks it from its package, breaking the
    // back references so the records are freed.
    void releaseProcess(const sp<PidBean>& process);

    // Releases every registered process that has exited: those whose exit descriptor says
    // so, and those without one whose pid the kernel no longer knows.
    void reclaimExited();

    // For a registered process without an exit descriptor: true when its pid now names a
    // younger process, or an exited one. A failed read alone is never proof.
    bool processReplaced(const sp<PidBean>& process);

    // Reads what identifies a new process; false (logged) when it cannot be identified.
    bool identifyNewProcess(int pid, NewProcess* process);

    // Puts a newly filed process's exit descriptor into the registry's exit set (made on
    // first use); without one, the process is checked with processGone().
    void watchExit(const sp<PidBean>& process, int exitFd);
};

}  // namespace android
