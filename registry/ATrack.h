#pragma once

#include <binder/IMemory.h>
#include <stdint.h>
#include <utils/RefBase.h>

#include <string>

#include "registry/tnvl_cblk.h"

namespace android {

class PidBean;

/**
 * The service's record of one track: its control block, the memory handle that keeps the
 * block's heap alive and is handed to the client, and the process the track is filed under.
 */
class ATrack : public RefBase {
public:
    ATrack(int32_t pid, int32_t session, tnvl_cblk* cblk, const sp<IMemory>& mem);
    virtual ~ATrack();

    /**
     * Writes left, right, general and muted from the process (and, for a weak-key process,
     * its package), one aligned store per field. Does nothing once released or unfiled.
     */
    void reloadCblk();

    /** The block's active byte as the client last wrote it; 0 once released. */
    uint8_t activeFlag() const;

    /** Gives the block up: drops mem and the back reference to the process. */
    void release();

    /** Plain-text form for the registry dump. */
    std::string appendDump() const;
    /** JSON form for the buffer listing. */
    std::string toJson() const;

    int32_t pid;
    int32_t session;
    /** The block in the service's mapping; valid while mem holds the heap. */
    tnvl_cblk* cblk;
    sp<IMemory> mem;
    sp<PidBean> pidBean;
};

}  // namespace android
