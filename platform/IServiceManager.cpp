/*
 * Service manager of the host binder, in-process: a name is a listening socket in
 * $HOSTBINDER_DIR (default /run/hostbinder). addService binds a new socket and renames it
 * over the old one; checkService connects at once (null when nothing listens); getService
 * retries for five seconds, as Android's does.
 */
#include <binder/IServiceManager.h>
#include <time.h>
#include <unistd.h>
#include <utils/String8.h>

#include "platform/HostRuntime.h"

namespace android {

using hostbinder::HostRuntime;

namespace {

constexpr int64_t kGetServiceWaitMs = 5000;
constexpr useconds_t kRetryUs = 50 * 1000;

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string toName(const String16& name) {
    const String8 n(name);
    return std::string(n.string(), n.size());
}

class HostServiceManager : public IServiceManager {
public:
    sp<IBinder> getService(const String16& name) const override {
        sp<IBinder> svc = checkService(name);
        const int64_t deadline = nowMs() + kGetServiceWaitMs;
        while (svc == nullptr && nowMs() < deadline) {
            usleep(kRetryUs);
            svc = checkService(name);
        }
        return svc;
    }

    sp<IBinder> checkService(const String16& name) const override {
        return HostRuntime::get()->checkService(toName(name));
    }

    status_t addService(const String16& name, const sp<IBinder>& service, bool /*allowIsolated*/,
                        int /*dumpsysFlags*/) override {
        return HostRuntime::get()->addService(toName(name), service);
    }

    Vector<String16> listServices(int /*dumpsysFlags*/) override {
        Vector<String16> out;
        for (const std::string& n : HostRuntime::get()->listServices()) {
            out.add(String16(n.c_str(), n.size()));
        }
        return out;
    }

    // Waits as getService does; the host has no service declarations to wait on forever.
    sp<IBinder> waitForService(const String16& name) override { return getService(name); }

    bool isDeclared(const String16& /*name*/) override { return false; }

protected:
    IBinder* onAsBinder() override { return nullptr; }
};

}  // namespace

IServiceManager::IServiceManager() {}

IServiceManager::~IServiceManager() {}

const String16& IServiceManager::getInterfaceDescriptor() const {
    static const String16* const sDescriptor = new String16("android.os.IServiceManager");
    return *sDescriptor;
}

sp<IServiceManager> defaultServiceManager() {
    return HostRuntime::get()->serviceManager(
        []() -> IServiceManager* { return new HostServiceManager(); });
}

void setDefaultServiceManager(const sp<IServiceManager>& sm) {
    HostRuntime::get()->setServiceManager(sm);
}

}  // namespace android
