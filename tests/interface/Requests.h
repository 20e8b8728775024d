#pragma once

#include <binder/Parcel.h>
#include <unistd.h>

#include <string>

#include "interface/BnTonvaleListener.h"
#include "interface/ITonvale.h"

namespace android {

/** A listener that ignores what it hears. */
class DeafListener : public BnTonvaleListener {
public:
    status_t onChange(const TonvaleChange& /*change*/) override { return NO_ERROR; }
};

/** Writes the fields of a well-formed request for code after the token (pid: this process). */
inline void writeRequestFields(uint32_t code, Parcel* p, const std::string& name = "com.req") {
    switch (code) {
        case ITonvale::GET_TRACK_CTL_BLK:
        case ITonvale::RELEASE_BUFFER_FOR:
            p->writeInt32(getpid());
            p->writeInt32(77);
            break;
        case ITonvale::SET_CONTROL_MODE:
        case ITonvale::LIST_BUFFERS:
            p->writeInt32(1);
            break;
        case ITonvale::SET_DEFAULT_SILENT:
        case ITonvale::SET_WEAK_KEY_ADJUST:
            p->writeBool(true);
            break;
        case ITonvale::SET_PROFILE:
            p->writeUtf8AsUtf16(name);
            p->writeFloat(0.5f);
            p->writeFloat(0.25f);
            p->writeFloat(0.125f);
            p->writeBool(true);
            p->writeBool(false);
            break;
        case ITonvale::UNSET_PROFILE:
        case ITonvale::MUTE:
        case ITonvale::UNMUTE:
        case ITonvale::GET_PROFILE:
            p->writeUtf8AsUtf16(name);
            p->writeBool(false);
            break;
        case ITonvale::SET_DEFAULT_PROFILE:
            p->writeFloat(0.5f);
            p->writeFloat(0.25f);
            p->writeFloat(0.125f);
            p->writeBool(true);
            break;
        case ITonvale::REGISTER_LISTENER:
        case ITonvale::UNREGISTER_LISTENER:
            p->writeStrongBinder(IInterface::asBinder(sp<ITonvaleListener>(new DeafListener())));
            break;
        default:
            break;
    }
}

/** A whole request: the interface token, then the fields. */
inline void writeRequest(uint32_t code, Parcel* p, const std::string& name = "com.req") {
    p->writeInterfaceToken(ITonvale::descriptor);
    writeRequestFields(code, p, name);
}

/** Whether code names a process or package. */
inline bool hasName(uint32_t code) {
    return code == ITonvale::SET_PROFILE || code == ITonvale::UNSET_PROFILE ||
           code == ITonvale::MUTE || code == ITonvale::UNMUTE || code == ITonvale::GET_PROFILE;
}

}  // namespace android
