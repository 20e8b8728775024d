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
#include "registry/HolderBean.h"
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

    /** The process that asks for a block or gives one back. */
    struct Holder {
        int32_t pid;
        uid_t uid;
        /** Gets the mixer's block and is not counted against the caps. */
        bool privileged;
    };

    /**
     * Bounds on the blocks of unprivileged holders, so that no uid can take the descriptors
     * (each block is one) that privileged callers need.
     */
    struct Limits {
        /** Apps' blocks of one pid. */
        size_t perPid;
        /** Apps' blocks of one uid. */
        size_t perUid;
        /** Apps' blocks of all uids together. */
        size_t unprivileged;

        /**
         * Caps for a process that may open nofile descriptors: a quarter (at least 64) stays
         * for privileged callers and the service itself, and an app's process costs a block
         * and an exit descriptor, so apps together get (nofile - reserve) / 2 blocks and one
         * uid an eighth of that (between 16 and 1024).
         */
        static Limits forDescriptors(size_t nofile);
    };

    /**
     * Finds or creates the track's block and fills it, with a hold for this process as a
     * privileged holder.
     */
    std::pair<bool, sp<ATrack>> requestForBuffer(int pid, int session);

    /**
     * Finds or creates the track and holder's kind of block (ATrack::MIXER for a privileged
     * holder, ATrack::APP otherwise), fills it and adds one hold of holder on it. A second
     * request for the pair refreshes the block.
     *
     * First the tracks of every registered process that has exited are released, and the
     * holds of every holder that has exited. A process is its pid and its start time: a
     * registered pid that now names a younger process is pid reuse, and the old process's
     * tracks (or holds) go too. A failed read of /proc releases nothing.
     * (false, null) when no heap could be made, when a new process or holder cannot be
     * identified (its /proc entries cannot be read, or a new process's command line is
     * empty), or when an unprivileged holder's new block would pass a cap (limits()).
     */
    std::pair<bool, sp<ATrack>> requestForBuffer(int pid, int session, const Holder& holder);

    /** (true, track) when the pair is registered, else (false, null). */
    std::pair<bool, sp<ATrack>> trackBufExist(int pid, int session);

    /** Creates a heap, its block and an unfiled track; (false, null) when the heap fails. */
    std::pair<bool, sp<ATrack>> allocNewSharedBuffer(int pid, int session);

    /** Files a freshly created track under its process and package and fills its block. */
    void updateATrackGroup(int pid, int session, const sp<ATrack>& track,
                           const std::string& processName, const std::string& packageName);

    /** Gives back one hold of this process on the track, as releaseBuffer(.., holder). */
    int releaseBuffer(int pid, int session);

    /**
     * Gives back one hold of holder on the track. A block whose last hold goes is released,
     * then the track once no block is left, and its process and package when they are left
     * empty. Holds of other processes are never touched. Always 0.
     */
    int releaseBuffer(int pid, int session, const Holder& holder);

    /** Releases every track and hold and empties the tables. Always 0. */
    int releaseAllBuffer();

    const Limits& limits() const { return mLimits; }
    /** Caps for requests from now on; the blocks already handed out stay. */
    void setLimits(const Limits& limits) { mLimits = limits; }

    /** Most blocks one pid gets through unprivileged requests. */
    static constexpr size_t kMaxTracksPerAppPid = 64;

    /** Apps' blocks counted against uid. */
    size_t appBlocksOf(uid_t uid) const;

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
    /** Processes holding blocks of other processes' tracks, by pid. */
    DefaultKeyedVector<int, sp<HolderBean>> holders;

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

    // Drops a holder's holds on every track, and the tracks left without one.
    void releaseHolder(const sp<HolderBean>& holder);

    // Gives a block's memory back and uncounts it.
    void releaseBlock(const sp<ATrack>& track, ATrack::Kind kind);

    // A new block of kind for track, an app's counted against uid; false when none was made.
    bool giveBlock(const sp<ATrack>& track, ATrack::Kind kind, uid_t uid);

    // Counts a new app block against uid.
    void countAppBlock(const sp<ATrack>& track, uid_t uid);

    // Takes the track's hold at index: one request of it, or all. Releases the block of its
    // kind, the track and the track's process as they are left unheld; true when the
    // block went.
    bool takeHold(const sp<ATrack>& track, size_t index, bool all);

    // Gives up a track's blocks and holds (its holders' records are uncounted) and its back
    // reference; the caller unfiles it.
    void retireTrack(const sp<ATrack>& track);

    // Removes a track that no one holds from its process, and the process if left empty.
    void unfileTrack(const sp<ATrack>& track);

    // The holder record of a holder that is not the track's process, found or made and
    // identified; null (logged) when it cannot be identified.
    sp<HolderBean> holderFor(const Holder& holder);

    // Whether an unprivileged holder may have one more block for process (null: new).
    bool appBlockAllowed(const Holder& holder, const sp<PidBean>& process, int pid);

    // A new block for (pid, session) in a heap of its own; false when none could be made.
    bool allocBlock(int pid, int session, tnvl_cblk** block, sp<IMemory>* memory);

    // Adds a hold of holder on track's kind block, counting the holder's record.
    void addHold(const sp<ATrack>& track, const Holder& holder, ATrack::Kind kind,
                 const sp<HolderBean>& record);

    // Releases every registered process that has exited: those whose exit descriptor says
    // so, and those without one whose pid the kernel no longer knows.
    void reclaimExited();

    // For a registered process without an exit descriptor: true when its pid now names a
    // younger process, or an exited one. A failed read alone is never proof.
    bool processReplaced(const sp<WatchedProcess>& process);

    // Reads what identifies a new process (its name only when withName); false (logged)
    // when it cannot be identified.
    bool identifyNewProcess(int pid, NewProcess* process, bool withName = true);

    // Puts a newly filed process's exit descriptor into the registry's exit set (made on
    // first use); without one, the process is checked with processGone().
    void watchExit(const sp<WatchedProcess>& process, int exitFd);

    // The registry's exit set, if any process is watched.
    sp<ExitWatch> exitSet() const;

    // Apps' blocks of one uid, and whether a cap was logged for it.
    struct AppBlocks {
        size_t blocks;
        bool capLogged;
    };

    Limits mLimits;
    size_t mAppBlocks;
    DefaultKeyedVector<uid_t, AppBlocks> mAppBlocksByUid;
};

}  // namespace android
