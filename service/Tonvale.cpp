#define LOG_TAG "KesService"

#include "service/Tonvale.h"

#include <errno.h>
#include <log/log.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <utils/Errors.h>

#include <cmath>
#include <vector>

#include "registry/MemManager.h"
#include "registry/ReportText.h"
#include "service/BoundedWrite.h"
#include "service/SettingsStore.h"
#include "utils/Utf8.h"
#include "utils/Utils.h"

namespace android {

using Utils::Caster::controlModeFlagsToString;
using Utils::Caster::paramToVolumeSingleFile;
using Utils::Caster::volumeToProfileLineStr;
using Utils::StringProcess::contains;
using Utils::StringProcess::getPreset;
using Utils::StringProcess::split;
using Utils::StringProcess::trimStr;

namespace {

const char kProfileFile[] = "tonvale_volume_profile.prof";
const char kMutedFile[] = "tonvale_muted_profile.prof";
const char kWeakProfileFile[] = "tonvale_weakkeyed_profile.prof";
const char kWeakMutedFile[] = "tonvale_weakkeyed_muted.prof";

const char kNoProfile[] = "__NO_PROFILE";

const int kVersionCode = 1;
const char kVersionName[] = "0.91";
const char kAuthor[] = "Kestrune";
const int kAndroidRelease = 10;
const char kBuildProduct[] = "aosp_arm64";
const char kBuildId[] = "QQ3A.200705.002";
const char kBuildTime[] = "2020.8.6.20.12(GMT +8)";

// Longest a dump may keep a binder thread waiting for its reader.
const int kDumpTimeoutMs = 1000;

// What the mute-file reader trims from both ends of a line.
const char kTrimmed[] = " \r\n\t";

// Keys shorter than this are kept in memory but never written.
const size_t kMinStoredKey = 3;

using AutoLock = std::lock_guard<std::mutex>;

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// A name must come back from its file, and over binder, as it went: valid UTF-8 (it travels
// as UTF-16), no line break or NUL (the files are lines of text), no "|" in a profile key (it
// ends the key), and no white space at either end of a mute key (the reader trims it).
bool isStorableName(const std::string& name, bool profileTable) {
    if (!isValidUtf8(name)) return false;
    if (name.find('\n') != std::string::npos) return false;
    if (name.find('\0') != std::string::npos) return false;
    if (profileTable) return name.find('|') == std::string::npos;
    return name.empty() ||
           (strchr(kTrimmed, name.front()) == nullptr && strchr(kTrimmed, name.back()) == nullptr);
}

// NaN and the infinities do not survive their file: the reader takes them for 0.
bool areStorableVolumes(float left, float right, float general) {
    return std::isfinite(left) && std::isfinite(right) && std::isfinite(general);
}

// A profile text the writer could have made has at least the four fields.
bool isFullProfileText(const std::string& text) {
    return split(text, ",").size() >= 4;
}

template <typename Table>
void appendKeys(std::string* out, const Table& table, const char* skipped) {
    bool first = true;
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string& key = table.keyAt(i);
        if (skipped != nullptr && key == skipped) continue;
        if (!first) *out += ";";
        *out += ReportText::jsonEscape(key);
        first = false;
    }
}

String8 toString8(const std::string& text) {
    return String8(text.c_str(), text.size());
}

std::string profileTableText(const tonvale_profile_table_t& table) {
    std::string text;
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string& key = table.keyAt(i);
        if (key.size() < kMinStoredKey) continue;
        if (!text.empty()) text += "\n";
        text += key + "|" + volumeToProfileLineStr(table.valueAt(i));
    }
    return text;
}

std::string muteTableText(const tonvale_mute_table_t& table) {
    std::string text;
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string& key = table.keyAt(i);
        if (key.size() < kMinStoredKey) continue;
        if (!text.empty()) text += "\n";
        text += key;
    }
    return text;
}

// The first failure of several, or 0.
status_t firstError(status_t current, status_t next) {
    return current != NO_ERROR ? current : next;
}

}  // namespace

const char* const Tonvale::kMuteHolder = "NO_MUTE_HOLDER";
const char* const Tonvale::kSwitchFile = "tonvale_config.prof";

const char* Tonvale::profileFile(bool isweakkey) {
    return isweakkey ? kWeakProfileFile : kProfileFile;
}

const char* Tonvale::muteFile(bool isweakkey) {
    return isweakkey ? kWeakMutedFile : kMutedFile;
}

bool convertStrPrefBool(std::string text, bool fallback) {
    if (text == "true") return true;
    if (text == "false") return false;
    return fallback;
}

Tonvale::Tonvale()
    : Tonvale(std::make_unique<Access>(),
              std::make_shared<SettingsStore>(SettingsStore::defaultDirectory())) {}

Tonvale::Tonvale(std::unique_ptr<Access> access, std::shared_ptr<SettingsStore> store)
    : BnTonvale(std::move(access)),
      mStore(std::move(store)),
      mSaver(mStore),
      memManager(nullptr),
      controlMode(0),
      defaultSilent(false),
      weakKeyAdjust(false),
      p_profiles(tonvale_process_volume_t()),
      p_muted(false),
      w_profiles(tonvale_process_volume_t()),
      w_muted(false),
      defaultProfile() {
    // Rewrites that a crash cut short left their temporary files; no live writer's goes.
    mStore->removeAbandonedTemps();
    loadAll();
    memManager = new MemManager(&defaultProfile, &p_profiles, &p_muted, &w_profiles, &w_muted,
                                &defaultSilent);
}

Tonvale::~Tonvale() {
    memManager->releaseAllBuffer();
    // memManager is declared first, so it is dropped last: its pointers stay valid until then.
}

std::string Tonvale::statusText(const char* header) {
    char buf[256];
    snprintf(buf, sizeof(buf), header, static_cast<int>(getpid()),
             static_cast<unsigned>(sizeof(MemManager)));
    return buf + memManager->dumpMemManager();
}

String8 Tonvale::status() {
    AutoLock l(lock);
    return toString8(
        statusText("Tonvale Status\n\nSelf pid = %d\nManager Mem Usage = %u bytes\n\n"));
}

status_t Tonvale::dump(int fd, const Vector<String16>& /*args*/) {
    // The status names every track of every process: not for apps, as the platform's own
    // dump needs a permission (which its shell holds).
    if (!access().mayOperate(access().getCallingContext())) return PERMISSION_DENIED;
    std::string text;
    {
        AutoLock l(lock);
        text = statusText("Tonvale Status\n\nSelf pid = %d\nManager Mem Usage = %d bytes\n\n");
    }
    // The descriptor is the caller's: a slow or vanished reader costs this thread a bounded
    // wait, after which the rest of the text is dropped. Only a refusal is an error.
    status_t written = writeBounded(fd, text, kDumpTimeoutMs);
    if (written != NO_ERROR) {
        ALOGW("[Server]Dump cut short: %s", strerror(written == TIMED_OUT ? ETIMEDOUT : -written));
    }
    return NO_ERROR;
}

MemManager::Holder Tonvale::callingHolder() {
    const Access::CallingContext caller = access().getCallingContext();
    return MemManager::Holder{caller.pid, caller.uid, access().isPrivileged(caller)};
}

sp<IMemory> Tonvale::getTrackCtlBlk(int pid, int session) {
    // The audio server gets the mixer's block, apps a block of their own within the caps.
    const MemManager::Holder holder = callingHolder();
    AutoLock l(lock);
    std::pair<bool, sp<ATrack>> result = memManager->requestForBuffer(pid, session, holder);
    if (!result.first || result.second == nullptr) return nullptr;
    return result.second->memOf(holder.privileged ? ATrack::MIXER : ATrack::APP);
}

std::vector<sp<IMemory>> Tonvale::exportAllMem() {
    AutoLock l(lock);
    return memManager->getAllMems();
}

int Tonvale::releaseBufferFor(int pid, int session) {
    const MemManager::Holder holder = callingHolder();
    AutoLock l(lock);
    return memManager->releaseBuffer(pid, session, holder);
}

int Tonvale::releaseAllBuffer() {
    AutoLock l(lock);
    return memManager->releaseAllBuffer();
}

String8 Tonvale::listBuffers(int form) {
    AutoLock l(lock);
    return toString8(memManager->listBufferInline(form));
}

String8 Tonvale::getOvrStatus() {
    AutoLock l(lock);
    // A mute table holding only the holder counts as empty.
    auto mutedCount = [](const tonvale_mute_table_t& table) -> unsigned {
        if (table.size() == 1 && table.keyAt(0) == kMuteHolder) return 0;
        return static_cast<unsigned>(table.size());
    };
    char buf[512];
    snprintf(buf, sizeof(buf),
             "{\n    \"membytes\": \"%d\",\n    \"playingcount\": \"%u\",\n    \"pp_count\": "
             "\"%u\",\n    \"pm_count\": \"%u\",\n    \"wp_count\": \"%u\",\n    "
             "\"wm_count\": \"%u\",\n    \"version_code\": \"%u\"\n}\n",
             static_cast<int>(sizeof(MemManager)), memManager->getProcessCount(),
             static_cast<unsigned>(p_profiles.size()), mutedCount(p_muted),
             static_cast<unsigned>(w_profiles.size()), mutedCount(w_muted),
             static_cast<unsigned>(kVersionCode));
    return String8(buf);
}

status_t Tonvale::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    return BnTonvale::onTransact(code, data, reply, flags);
}

String8 Tonvale::getVersion() {
    AutoLock l(lock);
    char buf[512];
    snprintf(buf, sizeof(buf),
             "Tonvale native service - version [%d][%s]\nAuthor: %s\nApi: Android [%d][%s]\n"
             ";Build id: %s \nBuild time: %s",
             kVersionCode, kVersionName, kAuthor, kAndroidRelease, kBuildProduct, kBuildId,
             kBuildTime);
    return String8(buf);
}

String8 Tonvale::getSwitches() {
    AutoLock l(lock);
    char buf[256];
    snprintf(buf, sizeof(buf), "0;%s;%s", boolText(defaultSilent), boolText(weakKeyAdjust));
    return String8(buf);
}

String8 Tonvale::listProfiles() {
    AutoLock l(lock);
    std::string out = "{\n    \"p_profiles\":\"";
    appendKeys(&out, p_profiles, nullptr);
    out += "\",\n\"w_profiles\":\"";
    appendKeys(&out, w_profiles, nullptr);
    out += "\"}";
    return toString8(out);
}

String8 Tonvale::listMuted() {
    AutoLock l(lock);
    std::string out = "{\n    \"p_muted\":\"";
    appendKeys(&out, p_muted, kMuteHolder);
    out += "\",\n\"w_muted\":\"";
    appendKeys(&out, w_muted, kMuteHolder);
    out += "\"}";
    return toString8(out);
}

int Tonvale::setControlMode(int /*mode*/) {
    AutoLock l(lock);
    return 0;
}

int Tonvale::setDefaultSilent(bool silent) {
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    Saves saves;
    {
        AutoLock l(lock);
        defaultSilent = silent;
        saves.push_back(stageSwitchFile());
    }
    return commit(saves);
}

int Tonvale::setWeakKeyAdjust(bool adjust) {
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    Saves saves;
    {
        AutoLock l(lock);
        weakKeyAdjust = adjust;
        saves.push_back(stageSwitchFile());
    }
    return commit(saves);
}

int Tonvale::setProfile(std::string name, float left, float right, float general,
                        bool split_control, bool isweakkey) {
    if (!isStorableName(name, true) || !areStorableVolumes(left, right, general)) {
        return BAD_VALUE;
    }
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    tonvale_process_volume_t volume;
    volume.reserved = 0;
    volume.left = left;
    volume.right = right;
    volume.general = general;
    volume.split_control = split_control;
    Saves saves;
    {
        AutoLock l(lock);
        tonvale_profile_table_t& table = isweakkey ? w_profiles : p_profiles;
        table.removeItem(name);
        table.add(name, volume);
        applySettings();
        saves.push_back(stageProfileFile(isweakkey));
    }
    return commit(saves);
}

int Tonvale::unsetProfile(std::string name, bool isweakkey) {
    if (!isStorableName(name, true)) return BAD_VALUE;
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    Saves saves;
    {
        AutoLock l(lock);
        tonvale_profile_table_t& table = isweakkey ? w_profiles : p_profiles;
        const bool found = table.indexOfKey(name) >= 0;
        if (found) table.removeItem(name);
        applySettings();
        if (found) saves.push_back(stageProfileFile(isweakkey));
    }
    return commit(saves);
}

int Tonvale::mute(std::string name, bool isweakkey) {
    if (!isStorableName(name, false)) return BAD_VALUE;
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    Saves saves;
    {
        AutoLock l(lock);
        tonvale_mute_table_t& table = isweakkey ? w_muted : p_muted;
        table.removeItem(std::string(kMuteHolder));
        if (table.indexOfKey(name) < 0) table.add(name, true);
        applySettings();
        saves.push_back(stageMuteFile(isweakkey));
    }
    return commit(saves);
}

int Tonvale::unmute(std::string name, bool isweakkey) {
    if (!isStorableName(name, false)) return BAD_VALUE;
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    Saves saves;
    {
        AutoLock l(lock);
        tonvale_mute_table_t& table = isweakkey ? w_muted : p_muted;
        table.removeItem(name);
        if (table.isEmpty()) table.add(std::string(kMuteHolder), true);
        applySettings();
        saves.push_back(stageMuteFile(isweakkey));
    }
    return commit(saves);
}

int Tonvale::clear() {
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    Saves saves;
    {
        AutoLock l(lock);
        p_profiles.clear();
        p_muted.clear();
        w_profiles.clear();
        w_muted.clear();
        applySettings();
        saves = stageAll();
    }
    return commit(saves);
}

String8 Tonvale::getDefaultProfile() {
    AutoLock l(lock);
    return toString8(volumeToProfileLineStr(defaultProfile));
}

int Tonvale::setDefaultProfile(float left, float right, float general, bool split_control) {
    if (!areStorableVolumes(left, right, general)) return BAD_VALUE;
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    AutoLock l(lock);
    defaultProfile.left = left;
    defaultProfile.right = right;
    defaultProfile.general = general;
    defaultProfile.split_control = split_control;
    return 0;
}

String8 Tonvale::getProfile(std::string name, bool isweakkey) {
    AutoLock l(lock);
    const tonvale_profile_table_t& table = isweakkey ? w_profiles : p_profiles;
    ssize_t index = table.indexOfKey(name);
    if (index < 0) return String8(kNoProfile);
    return toString8(volumeToProfileLineStr(table.valueAt(index)));
}

bool Tonvale::isSettingAllowed() {
    return true;
}

void Tonvale::initData() {
    AutoLock l(lock);
    loadAll();
}

status_t Tonvale::saveAllData() {
    Saves saves;
    {
        AutoLock l(lock);
        saves = stageAll();
    }
    return commit(saves);
}

Tonvale::ChangeScope::ChangeScope(Tonvale* service) : mService(service) {
    std::lock_guard<std::mutex> l(service->mChangesLock);
    mOk = !service->mShutdown;
    if (mOk) ++service->mChanges;
}

Tonvale::ChangeScope::~ChangeScope() {
    if (!mOk) return;
    std::lock_guard<std::mutex> l(mService->mChangesLock);
    if (--mService->mChanges == 0) mService->mChangesDone.notify_all();
}

void Tonvale::shutdown() {
    std::unique_lock<std::mutex> l(mChangesLock);
    mShutdown = true;
    mChangesDone.wait(l, [this] { return mChanges == 0; });
}

void Tonvale::loadAll() {
    initSwitchConfiguations();
    initGeneralCtlSettings();
    initMuted();
    initWeakGeneralCtlSettings();
    initWeakMuted();
}

Tonvale::Saves Tonvale::stageAll() {
    // In the order of the files: a failure of one does not keep the others from their change.
    return Saves{stageSwitchFile(), stageProfileFile(false), stageMuteFile(false),
                 stageProfileFile(true), stageMuteFile(true)};
}

status_t Tonvale::commit(const Saves& saves) {
    status_t result = NO_ERROR;
    for (const Save& save : saves) result = firstError(result, mSaver.commit(save.file, save.seq));
    return result;
}

void Tonvale::readProfileTable(const char* file, tonvale_profile_table_t* table) {
    table->clear();
    for (const std::string& line : getPreset(mStore->pathOf(file))) {
        if (line.size() < kMinStoredKey) continue;
        // Lines the writer never makes are skipped rather than loaded as made-up profiles.
        if (!contains(line, "|")) continue;
        std::vector<std::string> parts = split(line, "|");
        if (!isFullProfileText(parts[1])) continue;
        table->replaceValueFor(parts[0], paramToVolumeSingleFile(parts[1]));
    }
}

void Tonvale::readMuteTable(const char* file, tonvale_mute_table_t* table) {
    table->clear();
    for (const std::string& line : getPreset(mStore->pathOf(file))) {
        if (line.size() < kMinStoredKey) continue;
        table->replaceValueFor(trimStr(line), true);
    }
}

void Tonvale::initSwitchConfiguations() {
    const std::string text = trimStr(Utils::IO::readFromFile(mStore->pathOf(kSwitchFile)));
    std::vector<std::string> fields = split(text, ";");
    if (fields.size() < 5) return;
    // The writer marks the file with "1"; "ordinary" is the older marker.
    if (!contains(fields[0], "ordinary") && fields[0] != "1") return;
    if (fields[1] == "holder") {
        defaultProfile = tonvale_process_volume_t();
    } else if (isFullProfileText(fields[1])) {
        defaultProfile = paramToVolumeSingleFile(fields[1]);
    }
    controlMode = 0;
    defaultSilent = convertStrPrefBool(fields[3], false);
    weakKeyAdjust = convertStrPrefBool(fields[4], false);
}

void Tonvale::initGeneralCtlSettings() {
    readProfileTable(kProfileFile, &p_profiles);
}

void Tonvale::initMuted() {
    readMuteTable(kMutedFile, &p_muted);
}

void Tonvale::initWeakGeneralCtlSettings() {
    readProfileTable(kWeakProfileFile, &w_profiles);
}

void Tonvale::initWeakMuted() {
    readMuteTable(kWeakMutedFile, &w_muted);
}

Tonvale::Save Tonvale::stageSwitchFile() {
    const std::string text = Utils::Caster::numToString<int>(1) + ";" +
                             volumeToProfileLineStr(defaultProfile) + ";" +
                             controlModeFlagsToString(controlMode) + ";" + boolText(defaultSilent) +
                             ";" + boolText(weakKeyAdjust);
    return Save{kSwitchFile, mSaver.stage(kSwitchFile, text)};
}

Tonvale::Save Tonvale::stageProfileFile(bool isweakkey) {
    const char* file = profileFile(isweakkey);
    return Save{file, mSaver.stage(file, profileTableText(isweakkey ? w_profiles : p_profiles))};
}

Tonvale::Save Tonvale::stageMuteFile(bool isweakkey) {
    const char* file = muteFile(isweakkey);
    return Save{file, mSaver.stage(file, muteTableText(isweakkey ? w_muted : p_muted))};
}

void Tonvale::applySettings() {
    if (memManager != nullptr) memManager->invalidate();
}

}  // namespace android
