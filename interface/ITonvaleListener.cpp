#include "interface/ITonvaleListener.h"

#include "interface/BpTonvaleListener.h"

namespace android {

IMPLEMENT_META_INTERFACE(TonvaleListener, "io.kestrune.tonvale.ITonvaleListener");

}  // namespace android
