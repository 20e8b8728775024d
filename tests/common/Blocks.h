#pragma once

#include <binder/IMemory.h>

#include "registry/tnvl_cblk.h"

namespace tonvale_test {

/** The block as a client sees it, through IMemory::pointer(); null for a null handle. */
inline android::tnvl_cblk* blockOf(const android::sp<android::IMemory>& mem) {
    return mem == nullptr ? nullptr : static_cast<android::tnvl_cblk*>(mem->pointer());
}

}  // namespace tonvale_test
