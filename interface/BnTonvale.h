#pragma once

#include <binder/IInterface.h>
#include <binder/Parcel.h>
#include <sys/types.h>

#include "interface/ITonvale.h"

namespace android {

/**
 * Service-side stub: turns a transaction back into a call on the implementation.
 * Codes outside 1..22 go to BBinder::onTransact, so the platform's own codes work.
 */
class BnTonvale : public BnInterface<ITonvale> {
public:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                        uint32_t flags = 0) override;

    /** Who may call a code; the calling pid matters for the per-track codes only. */
    enum class Access { ANYONE, OWN_PID, PRIVILEGED };
    static Access accessFor(uint32_t code);

    /** Whether a caller with this uid may do everything (root, the service's own uid, ...). */
    static bool isPrivilegedUid(uid_t uid);

private:
    /** Checks the caller of a call, after the interface token; logs a refusal. */
    bool callerAllowed(uint32_t code, const Parcel& data) const;
};

}  // namespace android
