#pragma once

#include <binder/IInterface.h>
#include <cutils/compiler.h>

#include "interface/TonvaleChange.h"

namespace android {

/**
 * What a client implements to hear of settings changes, descriptor
 * "io.kestrune.tonvale.ITonvaleListener". The service calls it once per change, in order, as
 * the change takes effect (when the blocks carry it, before it is on disk), with one-way
 * transactions: a listener that is slow never holds the service up. A change the disk then
 * refuses is taken back, and the listener hears RESYNC: read the settings again.
 */
class ANDROID_API ITonvaleListener : public IInterface {
public:
    DECLARE_META_INTERFACE(TonvaleListener)

    enum {
        ON_CHANGE = IBinder::FIRST_CALL_TRANSACTION,
    };

    /**
     * One change. Across a process the call is one-way, and the status only says whether it
     * could be sent: FAILED_TRANSACTION when the listener's buffer is full, DEAD_OBJECT when
     * it is gone.
     */
    virtual status_t onChange(const TonvaleChange& change) = 0;
};

}  // namespace android
