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
#include "service/tonvale_process_volume.h"

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
     * Finds or creates the track's block and fills it. (false, null) when no heap could be
     * made. A registered pid whose command line changed is a new process: its old records go
     * first.
     */
    std::pair<bool, sp<ATrack>> requestForBuffer(int pid, int session);

    /**
     * As requestForBuffer(pid, session); a limited request (from an unprivileged caller) is
     * refused with (false, null) once the pid holds kMaxTracksPerLimitedPid tracks.
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

    /** Number of registered processes. */
    uint32_t getProcessCount();

    void loadPackageBeanProfile(const sp<PackageBean>& package, const std::string& packageName);
    /** Needs the process's package set and loaded first: it copies the package's isWeakkey. */
    void loadPidBeanProfile(const sp<PidBean>& process, const std::string& processName);

    /** Every track's memory, by pid and then session. */
    std::vector<sp<IMemory>> getAllMems();

    /** Plain-text dump of the whole registry. */
    std::string dumpMemManager();

    /** JSON listing of the whole registry for form 1; "" for any other form. */
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

private:
    // Drops a process with all its tracks and unlinks it from its package, breaking the
    // back references so the records are freed.
    void releaseProcess(const sp<PidBean>& process);
};

}  // namespace android
