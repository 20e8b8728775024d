#include "common/Service.h"

#include <binder/IServiceManager.h>
#include <utils/String16.h>

namespace tonvale_test {

bool serviceAnswers() {
    const android::sp<android::IBinder> binder =
        android::defaultServiceManager()->checkService(android::String16("tonvale"));
    return binder != nullptr && binder->pingBinder() == android::NO_ERROR;
}

bool waitForService(int timeoutMs) {
    return waitUntil(serviceAnswers, timeoutMs);
}

}  // namespace tonvale_test
