#include "interface/BnTonvaleListener.h"

#include <binder/Parcel.h>

namespace android {

status_t BnTonvaleListener::onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                       uint32_t flags) {
    if (code != ON_CHANGE) return BBinder::onTransact(code, data, reply, flags);
    if (!data.checkInterface(this)) return PERMISSION_DENIED;
    TonvaleChange change;
    const status_t err = change.readFromParcel(data);
    if (err != NO_ERROR) return err;
    return onChange(change);
}

}  // namespace android
