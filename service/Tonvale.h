#pragma once

#include <binder/IMemory.h>
#include <cutils/compiler.h>
#include <utils/RefBase.h>
#include <utils/String16.h>
#include <utils/String8.h>
#include <utils/Vector.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interface/Access.h"
#include "interface/BnTonvale.h"
#include "registry/MemManager.h"
#include "service/SettingsListeners.h"
#include "service/SettingsSaver.h"
#include "utils/tonvale_process_volume.h"

namespace android {

class SettingsStore;

/** "true" gives true, "false" gives false (whole text, case-sensitive), anything else fallback. */
bool convertStrPrefBool(std::string text, bool fallback);

/**
 * The service object: owns the profiles, mute marks, default profile and switches, keeps them
 * in the settings files and answers every request. All public entry points are serialised by
 * one non-recursive mutex, except the disk work of a save: a settings operation changes the
 * tables and the control blocks under the mutex, then waits for its file without it, so
 * reports and block requests never wait for the disk. It replies once the file is written.
 *
 * Settings operations return 0, or BAD_VALUE for an argument that cannot be stored faithfully:
 * a name shorter than 3 bytes, not valid UTF-8, or holding "\n" or a NUL byte, "|" in a profile
 * name, white space at either end of a mute name, or a volume that is not a number in
 * [0, kMaxVolume]. Such a call changes nothing.
 * A change is all or nothing: when its settings file cannot be written it is undone, in memory
 * and in the blocks, and the operation returns the negative errno of the failed step (never
 * BAD_VALUE). The settings files are read by the same rules: a line the operations would
 * refuse is skipped and logged.
 *
 * The track registry reads the settings in place; every change (profiles, mute marks, the
 * default profile and default silent) is written into every control block before the call
 * returns, and taken back out before a refusal returns.
 */
class ANDROID_API Tonvale : public BnTonvale {
public:
    typedef android::control_mode_flags_t control_mode_flags_t;

    /** The service as the daemon runs it: the platform's callers, the default directory. */
    Tonvale();
    /** access tells who is calling; store keeps the settings files. */
    Tonvale(std::unique_ptr<Access> access, std::shared_ptr<SettingsStore> store);
    ~Tonvale() override;

    /** Name under which the daemon registers the service. */
    static const char* getServiceName() { return "tonvale"; }

    String8 getVersion() override;
    String8 getSwitches() override;
    String8 listProfiles() override;
    String8 listMuted() override;
    /** Accepted and ignored: only the system-controlled mode exists. */
    int setControlMode(int mode) override;
    /** Stores the switch and rewrites the switch file. */
    int setDefaultSilent(bool silent) override;
    /** Stores the switch and rewrites the switch file. */
    int setWeakKeyAdjust(bool adjust) override;
    /** Replaces the profile of name in the process (or, isweakkey, package) table. */
    int setProfile(std::string name, float left, float right, float general, bool split_control,
                   bool isweakkey) override;
    int unsetProfile(std::string name, bool isweakkey) override;
    /** Marks name muted; takes the mute holder out of that table. */
    int mute(std::string name, bool isweakkey) override;
    /** Takes the mark away; a table left empty gets the mute holder. */
    int unmute(std::string name, bool isweakkey) override;
    /** Empties all four tables and rewrites all five files; switches stay. */
    int clear() override;
    String8 getDefaultProfile() override;
    /** Stores the default profile and rewrites the switch file. */
    int setDefaultProfile(float left, float right, float general, bool split_control) override;
    /** The profile line of name's entry, or "__NO_PROFILE". */
    String8 getProfile(std::string name, bool isweakkey) override;

    /** Status text: own pid, the registry's size and its dump. */
    String8 status() override;
    /**
     * The track's control block, created and filled on the first request; null on failure.
     * Each request is a hold of the calling process (MemManager::requestForBuffer): a
     * privileged caller gets the mixer's block, another its own, within the apps' caps.
     */
    sp<IMemory> getTrackCtlBlk(int pid, int session) override;
    /** Every registered block, by pid and then session. */
    std::vector<sp<IMemory>> exportAllMem() override;
    /** Gives back one of the calling process's holds on the track; never another's. */
    int releaseBufferFor(int pid, int session) override;
    int releaseAllBuffer() override;
    /** The registry's JSON listing for form 1, "" otherwise. */
    String8 listBuffers(int form) override;
    /** JSON overview with the counts. */
    String8 getOvrStatus() override;

    /** Listeners are for the system and the shell (the stub checks), bounded per uid. */
    int registerListener(const sp<ITonvaleListener>& listener) override;
    int unregisterListener(const sp<ITonvaleListener>& listener) override;

    /**
     * Binder dump hook: the status text, written to fd. PERMISSION_DENIED for a caller that is
     * not privileged; otherwise 0, even when the reader took less than all within a second.
     */
    status_t dump(int fd, const Vector<String16>& args) override;
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                        uint32_t flags = 0) override;

    bool isSettingAllowed();

    /** Reloads all five settings files. */
    void initData();
    /** Rewrites all five settings files; the first failure, or 0. */
    [[nodiscard]] status_t saveAllData();

    /**
     * For a clean stop: refuses settings changes from now on (INVALID_OPERATION, nothing
     * changed) and returns once every change under way has been saved or refused. Reports and
     * block requests go on.
     */
    void shutdown();

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

    /** Largest volume factor a profile may hold (+24 dB), the gain helper's ceiling. */
    static constexpr float kMaxVolume = 16.0f;

    /** Key that keeps an unmuted table from being empty. */
    static const char* const kMuteHolder;

    /** The settings files, by name in the settings directory: switches and default profile, */
    static const char* const kSwitchFile;
    /** the profile table that isweakkey selects, */
    static const char* profileFile(bool isweakkey);
    /** and the mute table that isweakkey selects. */
    static const char* muteFile(bool isweakkey);

private:
    // Loaders of the settings files; the caller holds lock (or is constructing).
    void initSwitchConfiguations();
    void initGeneralCtlSettings();
    void initMuted();
    void initWeakGeneralCtlSettings();
    void initWeakMuted();
    /** The settings files by index, as the saver numbers them. */
    enum SettingsFile { SWITCH_FILE, PROFILE_FILE, MUTED_FILE, WEAK_PROFILE_FILE, WEAK_MUTED_FILE };
    static uint32_t fileBit(SettingsFile file) { return 1u << file; }
    static uint32_t profileFileBit(bool isweakkey) {
        return fileBit(isweakkey ? WEAK_PROFILE_FILE : PROFILE_FILE);
    }
    static uint32_t muteFileBit(bool isweakkey) {
        return fileBit(isweakkey ? WEAK_MUTED_FILE : MUTED_FILE);
    }

    /** Stores a switch of the switch file, as one settings change announced as kind. */
    int setSwitch(bool* field, bool value, int32_t kind);

    /** The text of a settings file from the tables; the caller holds lock. */
    std::string fileText(size_t file);
    /**
     * Applies change and saves it all or nothing (SettingsSaver), as one settings change;
     * the listeners hear of announced once it is in force, and of a RESYNC if it is refused.
     */
    [[nodiscard]] status_t saveChange(SettingsSaver::Change change, const TonvaleChange& announced);

    void loadAll();
    void readProfileTable(const char* file, tonvale_profile_table_t* table);
    void readMuteTable(const char* file, tonvale_mute_table_t* table);

    /** Hands changed profiles and mute marks on to the tracks; called with lock held. */
    void applySettings();

    /** The caller of this request as a holder of blocks. */
    MemManager::Holder callingHolder();

    /** Status text with the given header format (status and dump differ in one conversion). */
    std::string statusText(const char* header);

    /** Counts one settings change under way for shutdown(); !ok() once shutdown has begun. */
    class ChangeScope {
    public:
        explicit ChangeScope(Tonvale* service);
        ~ChangeScope();
        bool ok() const { return mOk; }

    private:
        Tonvale* const mService;
        bool mOk;
    };

    const std::shared_ptr<SettingsStore> mStore;
    const sp<SettingsListeners> mListeners;
    std::mutex mChangesLock;
    std::condition_variable mChangesDone;
    int mChanges = 0;
    bool mShutdown = false;
    SettingsSaver mSaver;
    sp<MemManager> memManager;
    std::mutex lock;
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
