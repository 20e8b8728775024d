#include "registry/ATrack.h"

#include "registry/PackageBean.h"
#include "registry/PidBean.h"
#include "registry/ReportText.h"

namespace android {

namespace {

// Clients read the block without a lock, so each field goes out as one aligned store.
template <typename T>
void storeField(T* field, T value) {
    __atomic_store(field, &value, __ATOMIC_RELAXED);
}

}  // namespace

ATrack::ATrack(int32_t pid, int32_t session, tnvl_cblk* cblk, const sp<IMemory>& mem)
    : pid(pid), session(session), cblk(cblk), mem(mem) {}

ATrack::~ATrack() {}

void ATrack::reloadCblk() {
    if (cblk == nullptr || mem == nullptr || pidBean == nullptr) return;
    const PidBean* process = pidBean.get();
    const PackageBean* package = process->package.get();
    float left = process->left;
    float right = process->right;
    float general = process->general;
    bool muted = process->muted;
    if (process->isWeakkey && package != nullptr) {
        left = package->left * left;
        right = package->right * right;
        general = package->general * general;
        muted = package->muted || muted;
    }
    storeField(&cblk->left, left);
    storeField(&cblk->right, right);
    storeField(&cblk->general, general);
    storeField<uint8_t>(&cblk->muted, muted ? 1 : 0);
}

uint8_t ATrack::activeFlag() const {
    if (cblk == nullptr || mem == nullptr) return 0;
    return __atomic_load_n(&cblk->active, __ATOMIC_RELAXED);
}

void ATrack::release() {
    mem.clear();
    cblk = nullptr;
    pidBean.clear();
}

std::string ATrack::appendDump() const {
    return ReportText::format(
        "        Buffer [#%d]\n            Pid : %d\n            isActive : %s\n", session, pid,
        activeFlag() != 0 ? "yes" : "no");
}

std::string ATrack::toJson() const {
    return ReportText::format(
        "        {\n            \"session\": \"%d\",\n            \"pid\": \"%d\",\n"
        "            \"isactive\": %s\n        }\n",
        session, pid, ReportText::boolText(activeFlag() != 0));
}

}  // namespace android
