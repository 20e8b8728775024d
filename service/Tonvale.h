#pragma once

#include <pthread.h>
#include <utils/RefBase.h>
#include <utils/String8.h>

#include <string>

#include "service/tonvale_process_volume.h"

namespace android {

/** "true" gives true, "false" gives false (whole text, case-sensitive), anything else fallback. */
bool convertStrPrefBool(std::string text, bool fallback);

/**
 * The service object: owns the profiles, mute marks, default profile and switches, keeps them
 * in the settings files and answers every request. All public entry points are serialised by
 * the one non-recursive mutex `lock`.
 *
 * Settings operations return 0, or BAD_VALUE for a name that cannot be stored faithfully:
 * one containing "\n" or a NUL byte, or "|" for a profile table. Such a call changes nothing.
 */
class Tonvale : public virtual RefBase {
public:
    typedef android::control_mode_flags_t control_mode_flags_t;

    Tonvale();
    virtual ~Tonvale();

    /** Name under which the daemon registers the service. */
    static const char* getServiceName() { return "tonvale"; }

    virtual String8 getVersion();
    virtual String8 getSwitches();
    virtual String8 listProfiles();
    virtual String8 listMuted();
    /** Accepted and ignored: only the system-controlled mode exists. */
    virtual int setControlMode(int mode);
    /** Stores the switch and rewrites the switch file. */
    virtual int setDefaultSilent(bool silent);
    /** Stores the switch and rewrites the switch file. */
    virtual int setWeakKeyAdjust(bool adjust);
    /** Replaces the profile of name in the process (or, isweakkey, package) table. */
    virtual int setProfile(std::string name, float left, float right, float general,
                           bool split_control, bool isweakkey);
    virtual int unsetProfile(std::string name, bool isweakkey);
    /** Marks name muted; takes the mute holder out of that table. */
    virtual int mute(std::string name, bool isweakkey);
    /** Takes the mark away; a table left empty gets the mute holder. */
    virtual int unmute(std::string name, bool isweakkey);
    /** Empties all four tables and rewrites all five files; switches stay. */
    virtual int clear();
    virtual String8 getDefaultProfile();
    /** Changes the default profile in memory only; the next switch-file write stores it. */
    virtual int setDefaultProfile(float left, float right, float general, bool split_control);
    /** The profile line of name's entry, or "__NO_PROFILE". */
    virtual String8 getProfile(std::string name, bool isweakkey);

    bool isSettingAllowed();

    /** Reloads all five settings files. */
    void initData();
    /** Rewrites all five settings files. */
    void saveAllData();

    /**
     * Read-only views of the settings, unlocked: valid for the object's life, but a caller
     * must not read them while another thread may change them.
     */
    const tonvale_profile_table_t& profiles(bool isweakkey) const {
        return isweakkey ? w_profiles : p_profiles;
    }
    const tonvale_mute_table_t& muted(bool isweakkey) const {
        return isweakkey ? w_muted : p_muted;
    }
    const tonvale_process_volume_t& defaultProfileRecord() const { return defaultProfile; }
    bool isDefaultSilent() const { return defaultSilent; }
    bool isWeakKeyAdjust() const { return weakKeyAdjust; }
    control_mode_flags_t getControlMode() const { return controlMode; }

    /** Key that keeps an unmuted table from being empty. */
    static const char* const kMuteHolder;

private:
    // Loaders and writers of the settings files; the caller holds lock (or is constructing).
    void initSwitchConfiguations();
    void initGeneralCtlSettings();
    void initMuted();
    void initWeakGeneralCtlSettings();
    void initWeakMuted();
    void saveSwitchConfiguations();
    void saveGeneralCtlSettings();
    void saveMuted();
    void saveWeakGeneralCtlSettings();
    void saveWeakMuted();
    void loadAll();
    void saveAll();

    /** Hands changed profiles and mute marks on to the tracks; called with lock held. */
    void applySettings();

    pthread_mutex_t lock;
    control_mode_flags_t controlMode;
    bool defaultSilent;
    bool weakKeyAdjust;
    tonvale_profile_table_t p_profiles;
    tonvale_mute_table_t p_muted;
    tonvale_profile_table_t w_profiles;
    tonvale_mute_table_t w_muted;
    tonvale_process_volume_t defaultProfile;
};

}  // namespace android
