#include "interface/BpTonvale.h"

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

BpTonvale::BpTonvale(const sp<IBinder>& impl) : BpInterface<ITonvale>(impl) {}

void BpTonvale::begin(Parcel* data) {
    data->writeInterfaceToken(ITonvale::descriptor);
}

status_t BpTonvale::call(uint32_t code, const Parcel& data, Parcel* reply) {
    status_t st = remote()->transact(code, data, reply, 0);
    if (st != NO_ERROR) sLastStatus = st;
    return st;
}

void BpTonvale::nameRequest(Parcel* data, const std::string& name, bool isweakkey) {
    begin(data);
    data->writeUtf8AsUtf16(name);
    data->writeBool(isweakkey);
}

String8 BpTonvale::callText(uint32_t code) {
    Parcel data;
    begin(&data);
    return callText(code, data);
}

int BpTonvale::callInt(uint32_t code) {
    Parcel data;
    begin(&data);
    return callInt(code, data);
}

String8 BpTonvale::callText(uint32_t code, const Parcel& data) {
    Parcel reply;
    if (call(code, data, &reply) != NO_ERROR) return String8();
    return reply.readString8();
}

int BpTonvale::callInt(uint32_t code, const Parcel& data) {
    Parcel reply;
    status_t st = call(code, data, &reply);
    if (st != NO_ERROR) return st;
    int32_t value = 0;
    st = reply.readInt32(&value);
    return st == NO_ERROR ? value : st;
}

String8 BpTonvale::status() {
    return callText(STATUS);
}

sp<IMemory> BpTonvale::getTrackCtlBlk(int pid, int session) {
    Parcel data, reply;
    begin(&data);
    data.writeInt32(pid);
    data.writeInt32(session);
    if (call(GET_TRACK_CTL_BLK, data, &reply) != NO_ERROR) return nullptr;
    if (!reply.readBool()) return nullptr;
    return interface_cast<IMemory>(reply.readStrongBinder());
}

std::vector<sp<IMemory>> BpTonvale::exportAllMem() {
    Parcel data, reply;
    begin(&data);
    std::vector<sp<IMemory>> result;
    if (call(EXPORT_ALL_MEM, data, &reply) != NO_ERROR) return result;
    std::vector<sp<IBinder>> binders;
    if (reply.readStrongBinderVector(&binders) != NO_ERROR) return result;
    for (const sp<IBinder>& binder : binders) {
        result.push_back(interface_cast<IMemory>(binder));
    }
    return result;
}

int BpTonvale::releaseBufferFor(int pid, int session) {
    Parcel data;
    begin(&data);
    data.writeInt32(pid);
    data.writeInt32(session);
    return callInt(RELEASE_BUFFER_FOR, data);
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
    Parcel data;
    begin(&data);
    data.writeInt32(mode);
    return callInt(SET_CONTROL_MODE, data);
}

int BpTonvale::setDefaultSilent(bool silent) {
    Parcel data;
    begin(&data);
    data.writeBool(silent);
    return callInt(SET_DEFAULT_SILENT, data);
}

int BpTonvale::setWeakKeyAdjust(bool adjust) {
    Parcel data;
    begin(&data);
    data.writeBool(adjust);
    return callInt(SET_WEAK_KEY_ADJUST, data);
}

int BpTonvale::setProfile(std::string name, float left, float right, float general,
                          bool split_control, bool isweakkey) {
    Parcel data;
    begin(&data);
    data.writeUtf8AsUtf16(name);
    data.writeFloat(left);
    data.writeFloat(right);
    data.writeFloat(general);
    data.writeBool(split_control);
    data.writeBool(isweakkey);
    return callInt(SET_PROFILE, data);
}

int BpTonvale::unsetProfile(std::string name, bool isweakkey) {
    Parcel data;
    nameRequest(&data, name, isweakkey);
    return callInt(UNSET_PROFILE, data);
}

int BpTonvale::mute(std::string name, bool isweakkey) {
    Parcel data;
    nameRequest(&data, name, isweakkey);
    return callInt(MUTE, data);
}

int BpTonvale::unmute(std::string name, bool isweakkey) {
    Parcel data;
    nameRequest(&data, name, isweakkey);
    return callInt(UNMUTE, data);
}

int BpTonvale::clear() {
    return callInt(CLEAR);
}

String8 BpTonvale::listBuffers(int form) {
    Parcel data;
    begin(&data);
    data.writeInt32(form);
    return callText(LIST_BUFFERS, data);
}

String8 BpTonvale::getDefaultProfile() {
    return callText(GET_DEFAULT_PROFILE);
}

int BpTonvale::setDefaultProfile(float left, float right, float general, bool split_control) {
    Parcel data;
    begin(&data);
    data.writeFloat(left);
    data.writeFloat(right);
    data.writeFloat(general);
    data.writeBool(split_control);
    return callInt(SET_DEFAULT_PROFILE, data);
}

String8 BpTonvale::getProfile(std::string name, bool isweakkey) {
    Parcel data;
    nameRequest(&data, name, isweakkey);
    return callText(GET_PROFILE, data);
}

String8 BpTonvale::getOvrStatus() {
    return callText(GET_OVR_STATUS);
}

}  // namespace android
