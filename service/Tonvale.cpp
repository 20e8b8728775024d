#define LOG_TAG "KesService"

#include "service/Tonvale.h"

#include <android-base/file.h>
#include <android-base/strings.h>
#include <errno.h>
#include <log/log.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <utils/Errors.h>

#include <algorithm>
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

// The files have always dropped keys shorter than this; such names are refused.
const size_t kMinStoredKey = 3;

// Skipped lines logged one by one per file; the rest are counted in one line.
const size_t kLoggedSkips = 20;

using AutoLock = std::lock_guard<std::mutex>;

// What the listeners hear of a change.
TonvaleChange announce(int32_t kind, bool isweakkey = false, const std::string& key = "",
                       const tonvale_process_volume_t& profile = tonvale_process_volume_t(),
                       bool value = false) {
    TonvaleChange change;
    change.kind = kind;
    change.isweakkey = isweakkey;
    change.key = key;
    change.profile = profile;
    change.value = value;
    return change;
}

// Changes the listeners heard of were taken back: they read the settings again.
TonvaleChange resync() {
    TonvaleChange change;
    change.kind = TonvaleChange::RESYNC;
    return change;
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// A name must come back from its file, and over binder, as it went: at least kMinStoredKey
// bytes (the files skip shorter keys), valid UTF-8 (it travels as UTF-16), no line break or
// NUL (the files are lines of text), no "|" in a profile key (it ends the key), and no white
// space at either end of a mute key (the reader trims it).
bool isStorableName(const std::string& name, bool profileTable) {
    if (name.size() < kMinStoredKey || !isValidUtf8(name)) return false;
    if (name.find('\n') != std::string::npos) return false;
    if (name.find('\0') != std::string::npos) return false;
    if (profileTable) return name.find('|') == std::string::npos;
    return strchr(kTrimmed, name.front()) == nullptr && strchr(kTrimmed, name.back()) == nullptr;
}

// A factor in [0, kMaxVolume]; NaN fails both comparisons.
bool isStorableVolume(float volume) {
    return volume >= 0.0f && volume <= Tonvale::kMaxVolume;
}

bool areStorableVolumes(float left, float right, float general) {
    return isStorableVolume(left) && isStorableVolume(right) && isStorableVolume(general);
}

// A profile text the writer could have made: the four fields, with volumes it would store.
bool readProfileText(const std::string& text, tonvale_process_volume_t* volume) {
    if (split(text, ",").size() < 4) return false;
    *volume = paramToVolumeSingleFile(text);
    return areStorableVolumes(volume->left, volume->right, volume->general);
}

// Counts the lines a reader skips and logs them, the first few one by one.
class SkipLog {
public:
    explicit SkipLog(const std::string& path) : mPath(path) {}
    ~SkipLog() {
        if (mSkipped > kLoggedSkips) {
            ALOGW("[Server]%s: %zu more lines skipped", mPath.c_str(), mSkipped - kLoggedSkips);
        }
    }
    void skip(size_t line, const char* why) {
        if (++mSkipped <= kLoggedSkips)
            ALOGW("[Server]%s:%zu skipped: %s", mPath.c_str(), line, why);
    }

private:
    const std::string mPath;
    size_t mSkipped = 0;
};

// The lines of a settings file as stored, NUL bytes included (so that a line holding one is
// seen, not cut short); none when it cannot be read.
std::vector<std::string> fileLines(const std::string& path) {
    std::string bytes;
    if (!base::ReadFileToString(path, &bytes)) return {};
    return base::Split(bytes, "\n");
}

// Fills table with entries, the later of equal keys winning. Sorted once and appended in
// order: adding them one by one would move the table for each line.
template <typename Table, typename Value>
void fillTable(Table* table, std::vector<std::pair<std::string, Value>>* entries) {
    std::stable_sort(entries->begin(), entries->end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    table->clear();
    table->setCapacity(entries->size());
    for (size_t i = 0; i < entries->size(); ++i) {
        if (i + 1 < entries->size() && (*entries)[i + 1].first == (*entries)[i].first) continue;
        table->add((*entries)[i].first, (*entries)[i].second);
    }
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
      mListeners(new SettingsListeners()),
      mSaver(mStore, SettingsSaver::Owner{
                         &lock,
                         {kSwitchFile, kProfileFile, kMutedFile, kWeakProfileFile, kWeakMutedFile},
                         [this](size_t file) { return fileText(file); },
                         [this] { applySettings(); },
                         [this] { mListeners->announce(resync()); }}),
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
    // The registry points into the tables, which as members die before the registry's
    // reference would: it goes first.
    memManager.clear();
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
    return setSwitch(&defaultSilent, silent, TonvaleChange::DEFAULT_SILENT);
}

int Tonvale::setWeakKeyAdjust(bool adjust) {
    return setSwitch(&weakKeyAdjust, adjust, TonvaleChange::WEAK_KEY_ADJUST);
}

int Tonvale::setSwitch(bool* field, bool value, int32_t kind) {
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    auto old = std::make_shared<bool>();
    return saveChange({fileBit(SWITCH_FILE),
                       [=] {
                           *old = *field;
                           *field = value;
                       },
                       [=] { *field = *old; }},
                      announce(kind, false, "", {}, value));
}

namespace {

// What a table held under one key before a change, for its undo.
template <typename Table>
struct Entry {
    bool present = false;
    typename Table::value_type value{};

    void take(const Table& table, const std::string& key) {
        const ssize_t index = table.indexOfKey(key);
        present = index >= 0;
        if (present) value = table.valueAt(index);
    }
    void putBack(Table* table, const std::string& key) const {
        if (present) {
            table->replaceValueFor(key, value);
        } else {
            table->removeItem(key);
        }
    }
};

}  // namespace

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
    tonvale_profile_table_t* table = isweakkey ? &w_profiles : &p_profiles;
    auto old = std::make_shared<Entry<tonvale_profile_table_t>>();
    return saveChange({profileFileBit(isweakkey),
                       [=] {
                           old->take(*table, name);
                           table->replaceValueFor(name, volume);
                       },
                       [=] { old->putBack(table, name); }},
                      announce(TonvaleChange::PROFILE_SET, isweakkey, name, volume));
}

int Tonvale::unsetProfile(std::string name, bool isweakkey) {
    if (!isStorableName(name, true)) return BAD_VALUE;
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    tonvale_profile_table_t* table = isweakkey ? &w_profiles : &p_profiles;
    {
        // A name without a profile: nothing to write.
        AutoLock l(lock);
        if (table->indexOfKey(name) < 0) {
            applySettings();
            return 0;
        }
    }
    auto old = std::make_shared<Entry<tonvale_profile_table_t>>();
    return saveChange({profileFileBit(isweakkey),
                       [=] {
                           old->take(*table, name);
                           table->removeItem(name);
                       },
                       [=] { old->putBack(table, name); }},
                      announce(TonvaleChange::PROFILE_UNSET, isweakkey, name));
}

int Tonvale::mute(std::string name, bool isweakkey) {
    if (!isStorableName(name, false)) return BAD_VALUE;
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    tonvale_mute_table_t* table = isweakkey ? &w_muted : &p_muted;
    auto name_ = std::make_shared<Entry<tonvale_mute_table_t>>();
    auto holder = std::make_shared<Entry<tonvale_mute_table_t>>();
    return saveChange({muteFileBit(isweakkey),
                       [=] {
                           holder->take(*table, kMuteHolder);
                           name_->take(*table, name);
                           table->removeItem(std::string(kMuteHolder));
                           table->replaceValueFor(name, true);
                       },
                       [=] {
                           name_->putBack(table, name);
                           holder->putBack(table, kMuteHolder);
                       }},
                      announce(TonvaleChange::MUTED, isweakkey, name, {}, true));
}

int Tonvale::unmute(std::string name, bool isweakkey) {
    if (!isStorableName(name, false)) return BAD_VALUE;
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    tonvale_mute_table_t* table = isweakkey ? &w_muted : &p_muted;
    auto name_ = std::make_shared<Entry<tonvale_mute_table_t>>();
    auto holder = std::make_shared<Entry<tonvale_mute_table_t>>();
    return saveChange({muteFileBit(isweakkey),
                       [=] {
                           name_->take(*table, name);
                           table->removeItem(name);
                           holder->take(*table, kMuteHolder);
                           if (table->isEmpty()) table->add(std::string(kMuteHolder), true);
                       },
                       [=] {
                           holder->putBack(table, kMuteHolder);
                           name_->putBack(table, name);
                       }},
                      announce(TonvaleChange::UNMUTED, isweakkey, name));
}

int Tonvale::clear() {
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    struct Tables {
        tonvale_profile_table_t p_profiles{tonvale_process_volume_t()};
        tonvale_mute_table_t p_muted{false};
        tonvale_profile_table_t w_profiles{tonvale_process_volume_t()};
        tonvale_mute_table_t w_muted{false};
    };
    auto old = std::make_shared<Tables>();
    // All five files, as a clear has always rewritten them.
    const uint32_t all = (1u << (WEAK_MUTED_FILE + 1)) - 1;
    return saveChange({all,
                       [=] {
                           old->p_profiles = p_profiles;
                           old->p_muted = p_muted;
                           old->w_profiles = w_profiles;
                           old->w_muted = w_muted;
                           p_profiles.clear();
                           p_muted.clear();
                           w_profiles.clear();
                           w_muted.clear();
                       },
                       [=] {
                           p_profiles = old->p_profiles;
                           p_muted = old->p_muted;
                           w_profiles = old->w_profiles;
                           w_muted = old->w_muted;
                       }},
                      announce(TonvaleChange::CLEARED));
}

String8 Tonvale::getDefaultProfile() {
    AutoLock l(lock);
    return toString8(volumeToProfileLineStr(defaultProfile));
}

int Tonvale::setDefaultProfile(float left, float right, float general, bool split_control) {
    if (!areStorableVolumes(left, right, general)) return BAD_VALUE;
    ChangeScope change(this);
    if (!change.ok()) return INVALID_OPERATION;
    tonvale_process_volume_t profile;
    profile.left = left;
    profile.right = right;
    profile.general = general;
    profile.split_control = split_control;
    auto old = std::make_shared<tonvale_process_volume_t>();
    return saveChange({fileBit(SWITCH_FILE),
                       [=] {
                           *old = defaultProfile;
                           defaultProfile.left = left;
                           defaultProfile.right = right;
                           defaultProfile.general = general;
                           defaultProfile.split_control = split_control;
                       },
                       [=] { defaultProfile = *old; }},
                      announce(TonvaleChange::DEFAULT_PROFILE, false, "", profile));
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
    const uint32_t all = (1u << (WEAK_MUTED_FILE + 1)) - 1;
    return saveChange({all, [] {}, [] {}}, TonvaleChange());
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

status_t Tonvale::saveChange(SettingsSaver::Change change, const TonvaleChange& announced) {
    change.applied = [this, announced] { mListeners->announce(announced); };
    return mSaver.save(std::move(change));
}

int Tonvale::registerListener(const sp<ITonvaleListener>& listener) {
    const status_t added = mListeners->add(listener, access().getCallingContext().uid);
    if (added == NO_ERROR) ALOGD("[Server]Listener registered, %zu now", mListeners->size());
    return added;
}

int Tonvale::unregisterListener(const sp<ITonvaleListener>& listener) {
    const Access::CallingContext caller = access().getCallingContext();
    return mListeners->remove(listener, caller.uid, access().isPrivileged(caller));
}

void Tonvale::readProfileTable(const char* file, tonvale_profile_table_t* table) {
    const std::string path = mStore->pathOf(file);
    SkipLog skips(path);
    std::vector<std::pair<std::string, tonvale_process_volume_t>> entries;
    size_t number = 0;
    for (const std::string& line : fileLines(path)) {
        ++number;
        if (line.empty()) continue;
        // Only lines the service could have written: what the operations refuse stays out.
        const size_t bar = line.find('|');
        tonvale_process_volume_t volume;
        if (line.find('\0') != std::string::npos) {
            skips.skip(number, "a NUL byte");
        } else if (bar == std::string::npos) {
            skips.skip(number, "no \"|\"");
        } else if (!isStorableName(line.substr(0, bar), true)) {
            skips.skip(number, "a name the service does not store");
        } else if (!readProfileText(split(line, "|")[1], &volume)) {
            skips.skip(number, "not four fields with volumes from 0 to 16");
        } else {
            entries.emplace_back(line.substr(0, bar), volume);
        }
    }
    fillTable(table, &entries);
}

void Tonvale::readMuteTable(const char* file, tonvale_mute_table_t* table) {
    const std::string path = mStore->pathOf(file);
    SkipLog skips(path);
    std::vector<std::pair<std::string, bool>> entries;
    size_t number = 0;
    for (const std::string& line : fileLines(path)) {
        ++number;
        if (line.empty()) continue;
        const std::string name = trimStr(line);
        if (isStorableName(name, false)) {
            entries.emplace_back(name, true);
        } else {
            skips.skip(number, "a name the service does not store");
        }
    }
    fillTable(table, &entries);
}

void Tonvale::initSwitchConfiguations() {
    const std::string text = trimStr(Utils::IO::readFromFile(mStore->pathOf(kSwitchFile)));
    std::vector<std::string> fields = split(text, ";");
    if (fields.size() < 5) return;
    // The writer marks the file with "1"; "ordinary" is the older marker.
    if (!contains(fields[0], "ordinary") && fields[0] != "1") return;
    tonvale_process_volume_t volume;
    if (fields[1] == "holder") {
        defaultProfile = tonvale_process_volume_t();
    } else if (readProfileText(fields[1], &volume)) {
        defaultProfile = volume;
    } else {
        SkipLog(mStore->pathOf(kSwitchFile)).skip(1, "a default profile the service does not store");
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

std::string Tonvale::fileText(size_t file) {
    switch (file) {
        case SWITCH_FILE:
            return Utils::Caster::numToString<int>(1) + ";" +
                   volumeToProfileLineStr(defaultProfile) + ";" +
                   controlModeFlagsToString(controlMode) + ";" + boolText(defaultSilent) + ";" +
                   boolText(weakKeyAdjust);
        case PROFILE_FILE:
            return profileTableText(p_profiles);
        case MUTED_FILE:
            return muteTableText(p_muted);
        case WEAK_PROFILE_FILE:
            return profileTableText(w_profiles);
        default:
            return muteTableText(w_muted);
    }
}

void Tonvale::applySettings() {
    if (memManager != nullptr) memManager->invalidate();
}

}  // namespace android
