#pragma once

#include <binder/IInterface.h>
#include <binder/IMemory.h>
#include <cutils/compiler.h>
#include <utils/String8.h>

#include <string>
#include <vector>

#include "interface/ITonvaleListener.h"

namespace android {

/**
 * The service's one binder interface, descriptor "io.kestrune.tonvale".
 * The 22 operations are in slot order; their transaction codes are 1 to 22.
 */
class ANDROID_API ITonvale : public IInterface {
public:
    DECLARE_META_INTERFACE(Tonvale)

    enum {
        STATUS = IBinder::FIRST_CALL_TRANSACTION,  // 1
        GET_TRACK_CTL_BLK,
        EXPORT_ALL_MEM,
        RELEASE_BUFFER_FOR,
        RELEASE_ALL_BUFFER,
        GET_VERSION,
        GET_SWITCHES,
        LIST_PROFILES,
        LIST_MUTED,
        SET_CONTROL_MODE,
        SET_DEFAULT_SILENT,
        SET_WEAK_KEY_ADJUST,
        SET_PROFILE,
        UNSET_PROFILE,
        MUTE,
        UNMUTE,
        CLEAR,
        LIST_BUFFERS,
        GET_DEFAULT_PROFILE,
        SET_DEFAULT_PROFILE,
        GET_PROFILE,
        GET_OVR_STATUS,  // 22
        // Appended: the codes above keep their numbers, layouts and behaviour.
        REGISTER_LISTENER,    // 23
        UNREGISTER_LISTENER,  // 24
        LAST_TRANSACTION = UNREGISTER_LISTENER,
    };

    /**
     * Longest text a reply carries: what fits the binder buffer (1 MiB less two pages) with
     * room to spare. The stub refuses a longer one with -EMSGSIZE and an empty reply, rather
     * than let the transport fail it.
     */
    static constexpr size_t kMaxReplyText = 1000 * 1024;

    virtual String8 status() = 0;
    virtual sp<IMemory> getTrackCtlBlk(int pid, int session) = 0;
    virtual std::vector<sp<IMemory>> exportAllMem() = 0;
    virtual int releaseBufferFor(int pid, int session) = 0;
    virtual int releaseAllBuffer() = 0;
    virtual String8 getVersion() = 0;
    virtual String8 getSwitches() = 0;
    virtual String8 listProfiles() = 0;
    virtual String8 listMuted() = 0;
    virtual int setControlMode(int mode) = 0;
    virtual int setDefaultSilent(bool silent) = 0;
    virtual int setWeakKeyAdjust(bool adjust) = 0;
    virtual int setProfile(std::string name, float left, float right, float general,
                           bool split_control, bool isweakkey) = 0;
    virtual int unsetProfile(std::string name, bool isweakkey) = 0;
    virtual int mute(std::string name, bool isweakkey) = 0;
    virtual int unmute(std::string name, bool isweakkey) = 0;
    virtual int clear() = 0;
    virtual String8 listBuffers(int form) = 0;
    virtual String8 getDefaultProfile() = 0;
    virtual int setDefaultProfile(float left, float right, float general, bool split_control) = 0;
    virtual String8 getProfile(std::string name, bool isweakkey) = 0;
    virtual String8 getOvrStatus() = 0;

    /**
     * Calls listener after every settings change from now on, until it is unregistered or its
     * process dies. 0; BAD_VALUE for a null listener; ALREADY_EXISTS when it is registered;
     * NO_MEMORY when the caller's uid has kMaxListenersPerUid. An implementation that takes no
     * listeners (the default) answers INVALID_OPERATION.
     */
    virtual int registerListener(const sp<ITonvaleListener>& listener);
    /** 0; NAME_NOT_FOUND when this caller registered no such listener. */
    virtual int unregisterListener(const sp<ITonvaleListener>& listener);

    /** Most listeners one uid may register. */
    static constexpr size_t kMaxListenersPerUid = 16;
};

}  // namespace android
