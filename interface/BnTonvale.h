#pragma once

#include <binder/IInterface.h>
#include <binder/Parcel.h>
#include <cutils/compiler.h>
#include <sys/types.h>

#include <memory>

#include "interface/Access.h"
#include "interface/ITonvale.h"

namespace android {

/**
 * Service-side stub: turns a transaction back into a call on the implementation.
 * Codes outside 1..22 go to BBinder::onTransact, so the platform's own codes work.
 * A caller the code is not for gets PERMISSION_DENIED. Every argument is read and checked
 * before the call: a request with one missing or malformed (a truncated parcel, a name that
 * is not UTF-16 text, a bool other than 0 or 1) gets BAD_VALUE and an empty reply.
 */
class ANDROID_API BnTonvale : public BnInterface<ITonvale> {
public:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                        uint32_t flags = 0) override;

    /**
     * Who may call a code: anyone (reports that name no process); a block's own process
     * (the per-track codes; SYSTEM callers for any pid); SYSTEM and SHELL callers (settings
     * and the reports that name processes); SYSTEM callers alone (every block at once).
     */
    enum class Permission { ANYONE, OWN_PID, OPERATOR, SYSTEM };
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
