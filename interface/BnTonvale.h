#pragma once

#include <binder/IInterface.h>
#include <binder/Parcel.h>
#include <sys/types.h>

#include <memory>

#include "interface/Access.h"
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
    enum class Permission { ANYONE, OWN_PID, PRIVILEGED };
    static Permission permissionFor(uint32_t code);

protected:
    /** access answers who is calling and whether they are privileged. */
    explicit BnTonvale(std::unique_ptr<Access> access);

    Access& access() const { return *mAccess; }

private:
    /** Checks the caller of a call, after the interface token; logs a refusal. */
    bool callerAllowed(uint32_t code, const Parcel& data) const;

    const std::unique_ptr<Access> mAccess;
};

}  // namespace android
