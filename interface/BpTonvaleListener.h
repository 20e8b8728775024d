#pragma once

#include <binder/IInterface.h>

#include "interface/ITonvaleListener.h"

namespace android {

/** The service's side of a listener: each change is one one-way transaction. */
class BpTonvaleListener : public BpInterface<ITonvaleListener> {
public:
    explicit BpTonvaleListener(const sp<IBinder>& impl);

    status_t onChange(const TonvaleChange& change) override;
};

}  // namespace android
