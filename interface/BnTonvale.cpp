#include "interface/BnTonvale.h"

#include <android/log.h>

namespace android {

namespace {

const char kLogTag[] = "KesService";

}  // namespace

BnTonvale::BnTonvale(std::unique_ptr<Access> access) : mAccess(std::move(access)) {}

BnTonvale::Permission BnTonvale::permissionFor(uint32_t code) {
    switch (code) {
        case STATUS:
        case GET_VERSION:
        case GET_SWITCHES:
        case LIST_PROFILES:
        case LIST_MUTED:
        case LIST_BUFFERS:
        case GET_DEFAULT_PROFILE:
        case GET_PROFILE:
        case GET_OVR_STATUS:
            return Permission::ANYONE;
        case GET_TRACK_CTL_BLK:
        case RELEASE_BUFFER_FOR:
            return Permission::OWN_PID;
        default:
            return Permission::PRIVILEGED;
    }
}

bool BnTonvale::callerAllowed(uint32_t code, const Parcel& data) const {
    const Access::CallingContext caller = mAccess->getCallingContext();
    const uid_t uid = caller.uid;
    const pid_t pid = caller.pid;
    const Permission permission = permissionFor(code);
    if (permission == Permission::ANYONE || mAccess->isPrivileged(caller)) return true;
    if (permission == Permission::OWN_PID) {
        // Peek at the request's pid without consuming it.
        const size_t pos = data.dataPosition();
        int32_t requested = 0;
        const bool read = data.readInt32(&requested) == NO_ERROR;
        data.setDataPosition(pos);
        if (read && requested == pid) return true;
    }
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag,
                        "[Server]Permission denied for uid %d pid %d code %u",
                        static_cast<int>(uid), static_cast<int>(pid), code);
    return false;
}

status_t BnTonvale::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    if (code < FIRST_CALL_TRANSACTION || code > LAST_TRANSACTION) {
        return BBinder::onTransact(code, data, reply, flags);
    }
    if (!data.checkInterface(this)) return PERMISSION_DENIED;
    if (!callerAllowed(code, data)) return PERMISSION_DENIED;

    switch (code) {
        case STATUS:
            reply->writeString8(status());
            break;
        case GET_TRACK_CTL_BLK: {
            int32_t pid = data.readInt32();
            int32_t session = data.readInt32();
            sp<IMemory> mem = getTrackCtlBlk(pid, session);
            if (mem == nullptr) {
                reply->writeBool(false);
            } else {
                reply->writeBool(true);
                reply->writeStrongBinder(IInterface::asBinder(mem));
            }
            break;
        }
        case EXPORT_ALL_MEM: {
            std::vector<sp<IMemory>> mems = exportAllMem();
            std::vector<sp<IBinder>> binders;
            binders.reserve(mems.size());
            for (const sp<IMemory>& mem : mems) binders.push_back(IInterface::asBinder(mem));
            reply->writeStrongBinderVector(binders);
            break;
        }
        case RELEASE_BUFFER_FOR: {
            int32_t pid = data.readInt32();
            int32_t session = data.readInt32();
            reply->writeInt32(releaseBufferFor(pid, session));
            break;
        }
        case RELEASE_ALL_BUFFER:
            reply->writeInt32(releaseAllBuffer());
            break;
        case GET_VERSION:
            reply->writeString8(getVersion());
            break;
        case GET_SWITCHES:
            reply->writeString8(getSwitches());
            break;
        case LIST_PROFILES:
            reply->writeString8(listProfiles());
            break;
        case LIST_MUTED:
            reply->writeString8(listMuted());
            break;
        case SET_CONTROL_MODE:
            reply->writeInt32(setControlMode(data.readInt32()));
            break;
        case SET_DEFAULT_SILENT:
            reply->writeInt32(setDefaultSilent(data.readBool()));
            break;
        case SET_WEAK_KEY_ADJUST:
            reply->writeInt32(setWeakKeyAdjust(data.readBool()));
            break;
        case SET_PROFILE: {
            std::string name;
            data.readUtf8FromUtf16(&name);
            float left = data.readFloat();
            float right = data.readFloat();
            float general = data.readFloat();
            bool split = data.readBool();
            bool weak = data.readBool();
            reply->writeInt32(setProfile(name, left, right, general, split, weak));
            break;
        }
        case UNSET_PROFILE:
        case MUTE:
        case UNMUTE:
        case GET_PROFILE: {
            std::string name;
            data.readUtf8FromUtf16(&name);
            bool weak = data.readBool();
            if (code == UNSET_PROFILE) {
                reply->writeInt32(unsetProfile(name, weak));
            } else if (code == MUTE) {
                reply->writeInt32(mute(name, weak));
            } else if (code == UNMUTE) {
                reply->writeInt32(unmute(name, weak));
            } else {
                reply->writeString8(getProfile(name, weak));
            }
            break;
        }
        case CLEAR:
            reply->writeInt32(clear());
            break;
        case LIST_BUFFERS:
            reply->writeString8(listBuffers(data.readInt32()));
            break;
        case GET_DEFAULT_PROFILE:
            reply->writeString8(getDefaultProfile());
            break;
        case SET_DEFAULT_PROFILE: {
            float left = data.readFloat();
            float right = data.readFloat();
            float general = data.readFloat();
            bool split = data.readBool();
            reply->writeInt32(setDefaultProfile(left, right, general, split));
            break;
        }
        case GET_OVR_STATUS:
            reply->writeString8(getOvrStatus());
            break;
    }
    return NO_ERROR;
}

}  // namespace android
