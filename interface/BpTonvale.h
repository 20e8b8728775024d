#pragma once

#include <binder/IInterface.h>
#include <binder/Parcel.h>

#include "interface/ITonvale.h"

namespace android {

/**
 * Client-side proxy: each operation is one synchronous transaction.
 * Internal to the library; only ITonvale::asInterface creates it.
 *
 * A failed transaction is not mistaken for a result: int operations return the transport's
 * status (for example DEAD_OBJECT, or PERMISSION_DENIED for a refused call), text operations
 * return an empty text, and the memory operations return nothing. A name that is not valid
 * UTF-8 cannot travel as UTF-16: such a call is not sent and fails with BAD_VALUE.
 */
class BpTonvale : public BpInterface<ITonvale> {
public:
    explicit BpTonvale(const sp<IBinder>& impl);

    String8 status() override;
    sp<IMemory> getTrackCtlBlk(int pid, int session) override;
    std::vector<sp<IMemory>> exportAllMem() override;
    int releaseBufferFor(int pid, int session) override;
    int releaseAllBuffer() override;
    String8 getVersion() override;
    String8 getSwitches() override;
    String8 listProfiles() override;
    String8 listMuted() override;
    int setControlMode(int mode) override;
    int setDefaultSilent(bool silent) override;
    int setWeakKeyAdjust(bool adjust) override;
    int setProfile(std::string name, float left, float right, float general, bool split_control,
                   bool isweakkey) override;
    int unsetProfile(std::string name, bool isweakkey) override;
    int mute(std::string name, bool isweakkey) override;
    int unmute(std::string name, bool isweakkey) override;
    int clear() override;
    String8 listBuffers(int form) override;
    String8 getDefaultProfile() override;
    int setDefaultProfile(float left, float right, float general, bool split_control) override;
    String8 getProfile(std::string name, bool isweakkey) override;
    String8 getOvrStatus() override;
    int registerListener(const sp<ITonvaleListener>& listener) override;
    int unregisterListener(const sp<ITonvaleListener>& listener) override;

    /** Status of the last failed transaction on this thread since resetLastStatus(). */
    static status_t lastStatus();
    static void resetLastStatus();

private:
    /** A request under construction; the first failed write (or refused name) is kept. */
    class Request;

    /** Sends data as transaction code; the transport's status. */
    [[nodiscard]] status_t call(uint32_t code, const Parcel& data, Parcel* reply);
    /** A transaction whose reply is a text; a request that could not be built is not sent. */
    String8 callText(uint32_t code, const Request& request);
    /** A transaction whose reply is an int; a failed or unsent transaction yields its status. */
    int callInt(uint32_t code, const Request& request);
    /** The same with a request of the interface token alone. */
    String8 callText(uint32_t code);
    int callInt(uint32_t code);
    /** Records a status as the last failure of this thread and returns it. */
    static status_t fail(status_t status);
};

}  // namespace android
