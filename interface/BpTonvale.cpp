#include "interface/BpTonvale.h"

#include "utils/Utf8.h"

namespace android {

namespace {

thread_local status_t sLastStatus = NO_ERROR;

}  // namespace

status_t BpTonvale::lastStatus() {
    return sLastStatus;
}

void BpTonvale::resetLastStatus() {
    sLastStatus = NO_ERROR;
}

class BpTonvale::Request {
public:
    Request() { keep(mData.writeInterfaceToken(ITonvale::descriptor)); }

    Request& int32(int32_t value) {
        if (mStatus == NO_ERROR) keep(mData.writeInt32(value));
        return *this;
    }
    Request& real(float value) {
        if (mStatus == NO_ERROR) keep(mData.writeFloat(value));
        return *this;
    }
    Request& flag(bool value) {
        if (mStatus == NO_ERROR) keep(mData.writeBool(value));
        return *this;
    }
    Request& binder(const sp<IBinder>& value) {
        if (mStatus == NO_ERROR) keep(mData.writeStrongBinder(value));
        return *this;
    }
    Request& name(const std::string& value) {
        if (mStatus == NO_ERROR)
            keep(isValidUtf8(value) ? mData.writeUtf8AsUtf16(value) : BAD_VALUE);
        return *this;
    }

    status_t status() const { return mStatus; }
    const Parcel& parcel() const { return mData; }

private:
    void keep(status_t status) {
        if (mStatus == NO_ERROR) mStatus = status;
    }

    Parcel mData;
    status_t mStatus = NO_ERROR;
};

BpTonvale::BpTonvale(const sp<IBinder>& impl) : BpInterface<ITonvale>(impl) {}

status_t BpTonvale::fail(status_t status) {
    sLastStatus = status;
    return status;
}

status_t BpTonvale::call(uint32_t code, const Parcel& data, Parcel* reply) {
    status_t st = remote()->transact(code, data, reply, 0);
    if (st != NO_ERROR) fail(st);
    return st;
}

String8 BpTonvale::callText(uint32_t code) {
    return callText(code, Request());
}

int BpTonvale::callInt(uint32_t code) {
    return callInt(code, Request());
}

String8 BpTonvale::callText(uint32_t code, const Request& request) {
    if (request.status() != NO_ERROR) {
        fail(request.status());
        return String8();
    }
    Parcel reply;
    if (call(code, request.parcel(), &reply) != NO_ERROR) return String8();
    String8 text;
    if (reply.readString8(&text) != NO_ERROR) fail(BAD_VALUE);
    return text;
}

int BpTonvale::callInt(uint32_t code, const Request& request) {
    if (request.status() != NO_ERROR) return fail(request.status());
    Parcel reply;
    status_t st = call(code, request.parcel(), &reply);
    if (st != NO_ERROR) return st;
    int32_t value = 0;
    st = reply.readInt32(&value);
    return st == NO_ERROR ? value : fail(st);
}

String8 BpTonvale::status() {
    return callText(STATUS);
}

sp<IMemory> BpTonvale::getTrackCtlBlk(int pid, int session) {
    Request request;
    request.int32(pid).int32(session);
    if (request.status() != NO_ERROR) {
        fail(request.status());
        return nullptr;
    }
    Parcel reply;
    if (call(GET_TRACK_CTL_BLK, request.parcel(), &reply) != NO_ERROR) return nullptr;
    if (!reply.readBool()) return nullptr;
    return interface_cast<IMemory>(reply.readStrongBinder());
}

std::vector<sp<IMemory>> BpTonvale::exportAllMem() {
    Request request;
    std::vector<sp<IMemory>> result;
    if (request.status() != NO_ERROR) {
        fail(request.status());
        return result;
    }
    Parcel reply;
    if (call(EXPORT_ALL_MEM, request.parcel(), &reply) != NO_ERROR) return result;
    std::vector<sp<IBinder>> binders;
    if (reply.readStrongBinderVector(&binders) != NO_ERROR) return result;
    for (const sp<IBinder>& binder : binders) {
        result.push_back(interface_cast<IMemory>(binder));
    }
    return result;
}

int BpTonvale::releaseBufferFor(int pid, int session) {
    return callInt(RELEASE_BUFFER_FOR, Request().int32(pid).int32(session));
}

int BpTonvale::releaseAllBuffer() {
    return callInt(RELEASE_ALL_BUFFER);
}

String8 BpTonvale::getVersion() {
    return callText(GET_VERSION);
}

String8 BpTonvale::getSwitches() {
    return callText(GET_SWITCHES);
}

String8 BpTonvale::listProfiles() {
    return callText(LIST_PROFILES);
}

String8 BpTonvale::listMuted() {
    return callText(LIST_MUTED);
}

int BpTonvale::setControlMode(int mode) {
    return callInt(SET_CONTROL_MODE, Request().int32(mode));
}

int BpTonvale::setDefaultSilent(bool silent) {
    return callInt(SET_DEFAULT_SILENT, Request().flag(silent));
}

int BpTonvale::setWeakKeyAdjust(bool adjust) {
    return callInt(SET_WEAK_KEY_ADJUST, Request().flag(adjust));
}

int BpTonvale::setProfile(std::string name, float left, float right, float general,
                          bool split_control, bool isweakkey) {
    return callInt(
        SET_PROFILE,
        Request().name(name).real(left).real(right).real(general).flag(split_control).flag(isweakkey));
}

int BpTonvale::unsetProfile(std::string name, bool isweakkey) {
    return callInt(UNSET_PROFILE, Request().name(name).flag(isweakkey));
}

int BpTonvale::mute(std::string name, bool isweakkey) {
    return callInt(MUTE, Request().name(name).flag(isweakkey));
}

int BpTonvale::unmute(std::string name, bool isweakkey) {
    return callInt(UNMUTE, Request().name(name).flag(isweakkey));
}

int BpTonvale::clear() {
    return callInt(CLEAR);
}

String8 BpTonvale::listBuffers(int form) {
    return callText(LIST_BUFFERS, Request().int32(form));
}

String8 BpTonvale::getDefaultProfile() {
    return callText(GET_DEFAULT_PROFILE);
}

int BpTonvale::setDefaultProfile(float left, float right, float general, bool split_control) {
    return callInt(SET_DEFAULT_PROFILE,
                   Request().real(left).real(right).real(general).flag(split_control));
}

String8 BpTonvale::getProfile(std::string name, bool isweakkey) {
    return callText(GET_PROFILE, Request().name(name).flag(isweakkey));
}

String8 BpTonvale::getOvrStatus() {
    return callText(GET_OVR_STATUS);
}

int BpTonvale::registerListener(const sp<ITonvaleListener>& listener) {
    if (listener == nullptr) return fail(BAD_VALUE);
    return callInt(REGISTER_LISTENER, Request().binder(IInterface::asBinder(listener)));
}

int BpTonvale::unregisterListener(const sp<ITonvaleListener>& listener) {
    if (listener == nullptr) return fail(BAD_VALUE);
    return callInt(UNREGISTER_LISTENER, Request().binder(IInterface::asBinder(listener)));
}

}  // namespace android
