#include "interface/ITonvale.h"

#include "interface/BpTonvale.h"

namespace android {

IMPLEMENT_META_INTERFACE(Tonvale, "io.kestrune.tonvale");

}  // namespace android
