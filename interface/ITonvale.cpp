#include "interface/ITonvale.h"

#include "interface/BpTonvale.h"

namespace android {

IMPLEMENT_META_INTERFACE(Tonvale, "io.kestrune.tonvale");

int ITonvale::registerListener(const sp<ITonvaleListener>& /*listener*/) {
    return INVALID_OPERATION;
}

int ITonvale::unregisterListener(const sp<ITonvaleListener>& /*listener*/) {
    return INVALID_OPERATION;
}

}  // namespace android
