#pragma once

#include <binder/IMemory.h>
#include <stdint.h>
#include <sys/types.h>
#include <utils/RefBase.h>

#include <string>
#include <vector>

#include "registry/tnvl_cblk.h"

namespace android {

class PidBean;

/**
 * The service's record of one track: its control blocks, the memory handles that keep the
 * blocks' heaps alive and are handed to clients, the holds clients have on them, and the
 * process the track is filed under.
 *
 * A track has up to two blocks with the same values: the mixer's, handed to privileged
 * callers (the audio server), and the app's, handed to the track's own unprivileged process.
 * So nothing an app writes into its block reaches what the mixer reads.
 */
class ATrack : public RefBase {
public:
    /** Which of the two blocks a holder gets. */
    enum Kind { MIXER = 0, APP = 1 };

    /** count requests of the process holder not given back yet, on the kind's block. */
    struct Hold {
        int32_t holder;
        Kind kind;
        uint32_t count;
    };

    /** A track whose mixer block is cblk in mem. */
    ATrack(int32_t pid, int32_t session, tnvl_cblk* cblk, const sp<IMemory>& mem);
    virtual ~ATrack();

    /**
     * Writes left, right, general and muted into each block from the process (and, for a
     * weak-key process, its package), one aligned store per field. Does nothing once
     * released or unfiled.
     */
    void reloadCblk();

    /** The blocks' active bytes as the clients last wrote them (either counts); 0 once released. */
    uint8_t activeFlag() const;

    /** Gives every block up: drops the memory, the holds and the back reference to the process. */
    void release();

    /** The kind's block in the service's mapping and its memory; null when it has none. */
    tnvl_cblk* blockOf(Kind kind) const { return kind == MIXER ? cblk : appCblk; }
    const sp<IMemory>& memOf(Kind kind) const { return kind == MIXER ? mem : appMem; }
    /** Installs the kind's block (or, with nulls, drops it). */
    void setBlock(Kind kind, tnvl_cblk* block, const sp<IMemory>& memory);

    /** The hold of holder on the kind's block, or null. */
    Hold* findHold(int32_t holder, Kind kind);
    /** Whether any hold of the kind remains. */
    bool isHeld(Kind kind) const;

    /** Plain-text form for the registry dump. */
    std::string appendDump() const;
    /** JSON form for the buffer listing. */
    std::string toJson() const;

    int32_t pid;
    int32_t session;
    /** The mixer's block in the service's mapping; valid while mem holds the heap. */
    tnvl_cblk* cblk;
    sp<IMemory> mem;
    sp<PidBean> pidBean;
    /** The app's block, and the uid its blocks are counted against. */
    tnvl_cblk* appCblk;
    sp<IMemory> appMem;
    uid_t appUid;
    std::vector<Hold> holds;
};

}  // namespace android
