#pragma once

#include "common/Wait.h"

namespace tonvale_test {

/** True when the service manager finds "tonvale" and it answers a ping. */
bool serviceAnswers();

/** Waits until "tonvale" answers a ping; false after timeoutMs. */
bool waitForService(int timeoutMs = kLongWaitMs);

}  // namespace tonvale_test
