#include "interface/BpTonvaleListener.h"

#include <binder/Parcel.h>

namespace android {

BpTonvaleListener::BpTonvaleListener(const sp<IBinder>& impl)
    : BpInterface<ITonvaleListener>(impl) {}

status_t BpTonvaleListener::onChange(const TonvaleChange& change) {
    Parcel data;
    status_t err = data.writeInterfaceToken(ITonvaleListener::descriptor);
    if (err == NO_ERROR) err = change.writeToParcel(&data);
    if (err != NO_ERROR) return err;
    return remote()->transact(ON_CHANGE, data, nullptr, IBinder::FLAG_ONEWAY);
}

}  // namespace android
