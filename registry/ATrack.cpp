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

// Writes the values into one block, factors first and muted last.
void fill(tnvl_cblk* block, float left, float right, float general, bool muted) {
    storeField(&block->left, left);
    storeField(&block->right, right);
    storeField(&block->general, general);
    storeField<uint8_t>(&block->muted, muted ? 1 : 0);
}

uint8_t activeOf(const tnvl_cblk* block) {
    return block != nullptr ? __atomic_load_n(&block->active, __ATOMIC_RELAXED) : 0;
}

}  // namespace

ATrack::ATrack(int32_t pid, int32_t session, tnvl_cblk* cblk, const sp<IMemory>& mem)
    : pid(pid),
      session(session),
      cblk(mem != nullptr ? cblk : nullptr),
      mem(mem),
      appCblk(nullptr),
      appUid(0) {}

ATrack::~ATrack() {}

void ATrack::setBlock(Kind kind, tnvl_cblk* block, const sp<IMemory>& memory) {
    if (memory == nullptr) block = nullptr;
    if (kind == MIXER) {
        cblk = block;
        mem = memory;
    } else {
        appCblk = block;
        appMem = memory;
    }
}

ATrack::Hold* ATrack::findHold(int32_t holder, Kind kind) {
    for (Hold& hold : holds) {
        if (hold.holder == holder && hold.kind == kind) return &hold;
    }
    return nullptr;
}

bool ATrack::isHeld(Kind kind) const {
    for (const Hold& hold : holds) {
        if (hold.kind == kind) return true;
    }
    return false;
}

void ATrack::reloadCblk() {
    if ((cblk == nullptr && appCblk == nullptr) || pidBean == nullptr) return;
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
    if (cblk != nullptr) fill(cblk, left, right, general, muted);
    if (appCblk != nullptr) fill(appCblk, left, right, general, muted);
}

uint8_t ATrack::activeFlag() const {
    return activeOf(cblk) | activeOf(appCblk);
}

void ATrack::release() {
    setBlock(MIXER, nullptr, nullptr);
    setBlock(APP, nullptr, nullptr);
    holds.clear();
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
