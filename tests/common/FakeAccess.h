#pragma once

#include <unistd.h>

#include <atomic>
#include <memory>

#include "interface/Access.h"
#include "service/SettingsStore.h"
#include "service/Tonvale.h"

namespace android {

/**
 * A caller chosen by the test: this process as root until setCaller() says otherwise. Roles
 * are Android's, for a service running as root, whatever uid the test itself runs as.
 */
class FakeAccess : public Access {
public:
    static constexpr uid_t kRoot = 0;
    static constexpr uid_t kAudioserver = 1041;
    static constexpr uid_t kShell = 2000;
    static constexpr uid_t kApp = 10123;

    FakeAccess() : Access(UidRoles::android(kRoot)) {}

    CallingContext getCallingContext() override { return CallingContext{mPid.load(), mUid.load()}; }

    void setCaller(pid_t pid, uid_t uid) {
        mPid = pid;
        mUid = uid;
    }

private:
    std::atomic<pid_t> mPid{getpid()};
    std::atomic<uid_t> mUid{kRoot};
};

/** A service on store with a fake caller; *access stays valid while the service lives. */
inline sp<Tonvale> makeTonvale(FakeAccess** access, std::shared_ptr<SettingsStore> store) {
    auto fake = std::make_unique<FakeAccess>();
    *access = fake.get();
    return new Tonvale(std::move(fake), std::move(store));
}

}  // namespace android
