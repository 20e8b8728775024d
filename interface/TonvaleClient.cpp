#include "interface/TonvaleClient.h"

#include <binder/IServiceManager.h>
#include <stdio.h>
#include <unistd.h>
#include <utils/String16.h>

#include <mutex>

#include "interface/BpTonvale.h"

namespace android {

namespace {

constexpr int kLookupAttempts = 3;
constexpr useconds_t kRetryPauseUs = 100000;

thread_local status_t sLastCallStatus = NO_ERROR;

/** Looks the service up for one wrapper call and starts its status record. */
sp<ITonvale> serviceForCall() {
    BpTonvale::resetLastStatus();
    sp<ITonvale> service = getTonvale();
    sLastCallStatus = service == nullptr ? NAME_NOT_FOUND : NO_ERROR;
    return service;
}

/** Ends the status record of a wrapper call that reached the service. */
void endCall() {
    if (sLastCallStatus == NO_ERROR) sLastCallStatus = BpTonvale::lastStatus();
}

std::string toStdString(const String8& text) {
    return std::string(text.string());  // up to the first NUL, as a C string reads
}

template <typename Call>
std::string textCall(Call call) {
    sp<ITonvale> service = serviceForCall();
    if (service == nullptr) return std::string();
    std::string result = toStdString(call(service));
    endCall();
    return result;
}

template <typename Call>
int intCall(Call call) {
    sp<ITonvale> service = serviceForCall();
    if (service == nullptr) return NAME_NOT_FOUND;
    int result = call(service);
    endCall();
    return result;
}

/** The memory objects behind the last getCblks() result, so its addresses stay mapped. */
struct CblkHolder {
    std::mutex lock;
    std::vector<sp<IMemory>> mems;
};

CblkHolder& cblkHolder() {
    static CblkHolder* holder = new CblkHolder();  // never destroyed: callers may read late
    return *holder;
}

}  // namespace

status_t lastCallStatus() {
    return sLastCallStatus;
}

sp<ITonvale> getTonvale() {
    sp<IServiceManager> sm = defaultServiceManager();
    sp<IBinder> binder;
    for (int attempt = 1; sm != nullptr; ++attempt) {
        binder = sm->checkService(String16("tonvale"));
        if (binder != nullptr) break;
        if (attempt == kLookupAttempts) {
            printf("Tonvale is offline, check service status and selinux");
            fflush(stdout);
            break;
        }
        puts("Tonvale is not working, retry...");
        fflush(stdout);
        usleep(kRetryPauseUs);
    }
    return interface_cast<ITonvale>(binder);
}

std::string getStatus() {
    return textCall([](const sp<ITonvale>& s) { return s->status(); });
}

std::vector<tnvl_cblk*> getCblks() {
    std::vector<tnvl_cblk*> result;
    std::vector<sp<IMemory>> mems;
    sp<ITonvale> service = serviceForCall();
    if (service != nullptr) {
        mems = service->exportAllMem();
        endCall();
    }
    for (const sp<IMemory>& mem : mems) {
        result.push_back(mem == nullptr ? nullptr : static_cast<tnvl_cblk*>(mem->pointer()));
    }
    CblkHolder& holder = cblkHolder();
    std::lock_guard<std::mutex> guard(holder.lock);
    holder.mems.swap(mems);
    return result;
}

std::string getVersion() {
    return textCall([](const sp<ITonvale>& s) { return s->getVersion(); });
}

std::string getSwitches() {
    return textCall([](const sp<ITonvale>& s) { return s->getSwitches(); });
}

std::string listProfiles() {
    return textCall([](const sp<ITonvale>& s) { return s->listProfiles(); });
}

std::string listMuted() {
    return textCall([](const sp<ITonvale>& s) { return s->listMuted(); });
}

int setControlMode(int mode) {
    return intCall([&](const sp<ITonvale>& s) { return s->setControlMode(mode); });
}

int setDefaultSilent(bool silent) {
    return intCall([&](const sp<ITonvale>& s) { return s->setDefaultSilent(silent); });
}

int setWeakKeyAdjust(bool adjust) {
    return intCall([&](const sp<ITonvale>& s) { return s->setWeakKeyAdjust(adjust); });
}

int setProfile(std::string name, float left, float right, float general, bool split_control,
               bool isweakkey) {
    return intCall([&](const sp<ITonvale>& s) {
        return s->setProfile(name, left, right, general, split_control, isweakkey);
    });
}

int unsetProfile(std::string name, bool isweakkey) {
    return intCall([&](const sp<ITonvale>& s) { return s->unsetProfile(name, isweakkey); });
}

int mute(std::string name, bool isweakkey) {
    return intCall([&](const sp<ITonvale>& s) { return s->mute(name, isweakkey); });
}

int unmute(std::string name, bool isweakkey) {
    return intCall([&](const sp<ITonvale>& s) { return s->unmute(name, isweakkey); });
}

int clear() {
    return intCall([](const sp<ITonvale>& s) { return s->clear(); });
}

std::string listBuffers(int form) {
    return textCall([&](const sp<ITonvale>& s) { return s->listBuffers(form); });
}

std::string getDefaultProfile() {
    return textCall([](const sp<ITonvale>& s) { return s->getDefaultProfile(); });
}

int setDefaultProfile(float left, float right, float general, bool split_control) {
    return intCall([&](const sp<ITonvale>& s) {
        return s->setDefaultProfile(left, right, general, split_control);
    });
}

std::string getProfile(std::string name, bool isweakkey) {
    return textCall([&](const sp<ITonvale>& s) { return s->getProfile(name, isweakkey); });
}

std::string getOvrStatus() {
    return textCall([](const sp<ITonvale>& s) { return s->getOvrStatus(); });
}

}  // namespace android
