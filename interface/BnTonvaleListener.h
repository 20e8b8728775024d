#pragma once

#include <binder/IInterface.h>
#include <cutils/compiler.h>

#include "interface/ITonvaleListener.h"

namespace android {

/**
 * A listener's own side: turns each call back into onChange(). A change that does not read
 * whole is dropped with BAD_VALUE. Calls come on a binder thread of the listener's process,
 * one at a time and in order, so the process needs a thread pool.
 */
class ANDROID_API BnTonvaleListener : public BnInterface<ITonvaleListener> {
public:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                        uint32_t flags = 0) override;
};

}  // namespace android
