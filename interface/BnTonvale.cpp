#define LOG_TAG "KesService"

#include "interface/BnTonvale.h"

#include <errno.h>
#include <log/log.h>

#include "utils/Utf8.h"

namespace android {

namespace {

/** Reads a request's fields in order; once one is missing or malformed, ok() stays false. */
class Arguments {
public:
    explicit Arguments(const Parcel& data) : mData(data) {}

    bool ok() const { return mOk; }

    int32_t int32() {
        int32_t value = 0;
        if (mOk && mData.readInt32(&value) != NO_ERROR) mOk = false;
        return value;
    }
    float real() {
        float value = 0;
        if (mOk && mData.readFloat(&value) != NO_ERROR) mOk = false;
        return value;
    }
    /** writeBool writes 0 or 1; anything else is not a bool that was sent. */
    bool flag() {
        const int32_t value = int32();
        if (value != 0 && value != 1) mOk = false;
        return value == 1;
    }
    /** A name in UTF-16; a null string or a lone surrogate is malformed. */
    std::string name() {
        std::string value;
        if (mOk && (mData.readUtf8FromUtf16(&value) != NO_ERROR || !isValidUtf8(value))) {
            mOk = false;
        }
        return value;
    }

private:
    const Parcel& mData;
    bool mOk = true;
};

// A text reply, or -EMSGSIZE (and nothing written) when it would not fit a transaction.
status_t writeText(Parcel* reply, const String8& text) {
    if (text.length() > ITonvale::kMaxReplyText) {
        ALOGW("[Server]A reply of %zu bytes is too large for a transaction, refused", text.length());
        return -EMSGSIZE;
    }
    return reply->writeString8(text);
}

}  // namespace

BnTonvale::BnTonvale(std::unique_ptr<Access> access) : mAccess(std::move(access)) {}

BnTonvale::Permission BnTonvale::permissionFor(uint32_t code) {
    switch (code) {
        // Names no process: an app learns nothing of other apps from these.
        case GET_VERSION:
        case GET_SWITCHES:
        case GET_DEFAULT_PROFILE:
        case GET_OVR_STATUS:
            return Permission::ANYONE;
        case GET_TRACK_CTL_BLK:
        case RELEASE_BUFFER_FOR:
            return Permission::OWN_PID;
        // Writable blocks of every track: the mixer's business alone.
        case EXPORT_ALL_MEM:
        case RELEASE_ALL_BUFFER:
            return Permission::SYSTEM;
        default:
            return Permission::OPERATOR;
    }
}

bool BnTonvale::callerAllowed(uint32_t code, const Parcel& data) const {
    const Access::CallingContext caller = mAccess->getCallingContext();
    const uid_t uid = caller.uid;
    const pid_t pid = caller.pid;
    const Permission permission = permissionFor(code);
    if (permission == Permission::ANYONE || mAccess->isPrivileged(caller)) return true;
    if (permission == Permission::OPERATOR && mAccess->mayOperate(caller)) return true;
    if (permission == Permission::OWN_PID) {
        // Peek at the request's pid without consuming it.
        const size_t pos = data.dataPosition();
        int32_t requested = 0;
        const bool read = data.readInt32(&requested) == NO_ERROR;
        data.setDataPosition(pos);
        if (read && requested == pid) return true;
    }
    ALOGD("[Server]Permission denied for uid %d pid %d code %u", static_cast<int>(uid),
          static_cast<int>(pid), code);
    return false;
}

status_t BnTonvale::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    if (code < FIRST_CALL_TRANSACTION || code > LAST_TRANSACTION) {
        return BBinder::onTransact(code, data, reply, flags);
    }
    if (!data.checkInterface(this)) return PERMISSION_DENIED;
    if (!callerAllowed(code, data)) return PERMISSION_DENIED;
    if (reply == nullptr) return BAD_VALUE;

    // Every argument is read before anything runs: a request with a missing or malformed one
    // is refused whole, with an empty reply.
    Arguments in(data);
    switch (code) {
        case STATUS:
            return writeText(reply, status());
        case GET_TRACK_CTL_BLK: {
            const int32_t pid = in.int32();
            const int32_t session = in.int32();
            if (!in.ok()) return BAD_VALUE;
            sp<IMemory> mem = getTrackCtlBlk(pid, session);
            if (mem == nullptr) return reply->writeBool(false);
            status_t err = reply->writeBool(true);
            return err != NO_ERROR ? err : reply->writeStrongBinder(IInterface::asBinder(mem));
        }
        case EXPORT_ALL_MEM: {
            std::vector<sp<IMemory>> mems = exportAllMem();
            std::vector<sp<IBinder>> binders;
            binders.reserve(mems.size());
            for (const sp<IMemory>& mem : mems) binders.push_back(IInterface::asBinder(mem));
            return reply->writeStrongBinderVector(binders);
        }
        case RELEASE_BUFFER_FOR: {
            const int32_t pid = in.int32();
            const int32_t session = in.int32();
            if (!in.ok()) return BAD_VALUE;
            return reply->writeInt32(releaseBufferFor(pid, session));
        }
        case RELEASE_ALL_BUFFER:
            return reply->writeInt32(releaseAllBuffer());
        case GET_VERSION:
            return writeText(reply, getVersion());
        case GET_SWITCHES:
            return writeText(reply, getSwitches());
        case LIST_PROFILES:
            return writeText(reply, listProfiles());
        case LIST_MUTED:
            return writeText(reply, listMuted());
        case SET_CONTROL_MODE: {
            const int32_t mode = in.int32();
            if (!in.ok()) return BAD_VALUE;
            return reply->writeInt32(setControlMode(mode));
        }
        case SET_DEFAULT_SILENT:
        case SET_WEAK_KEY_ADJUST: {
            const bool value = in.flag();
            if (!in.ok()) return BAD_VALUE;
            return reply->writeInt32(code == SET_DEFAULT_SILENT ? setDefaultSilent(value)
                                                                : setWeakKeyAdjust(value));
        }
        case SET_PROFILE: {
            std::string name = in.name();
            const float left = in.real();
            const float right = in.real();
            const float general = in.real();
            const bool split = in.flag();
            const bool weak = in.flag();
            if (!in.ok()) return BAD_VALUE;
            return reply->writeInt32(setProfile(name, left, right, general, split, weak));
        }
        case UNSET_PROFILE:
        case MUTE:
        case UNMUTE:
        case GET_PROFILE: {
            std::string name = in.name();
            const bool weak = in.flag();
            if (!in.ok()) return BAD_VALUE;
            if (code == GET_PROFILE) return writeText(reply, getProfile(name, weak));
            int result;
            if (code == UNSET_PROFILE) {
                result = unsetProfile(name, weak);
            } else if (code == MUTE) {
                result = mute(name, weak);
            } else {
                result = unmute(name, weak);
            }
            return reply->writeInt32(result);
        }
        case CLEAR:
            return reply->writeInt32(clear());
        case LIST_BUFFERS: {
            const int32_t form = in.int32();
            if (!in.ok()) return BAD_VALUE;
            return writeText(reply, listBuffers(form));
        }
        case GET_DEFAULT_PROFILE:
            return writeText(reply, getDefaultProfile());
        case SET_DEFAULT_PROFILE: {
            const float left = in.real();
            const float right = in.real();
            const float general = in.real();
            const bool split = in.flag();
            if (!in.ok()) return BAD_VALUE;
            return reply->writeInt32(setDefaultProfile(left, right, general, split));
        }
        case GET_OVR_STATUS:
            return writeText(reply, getOvrStatus());
    }
    return UNKNOWN_TRANSACTION;
}

}  // namespace android
