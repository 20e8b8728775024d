#include "registry/PidBean.h"

#include "registry/PackageBean.h"
#include "registry/ReportText.h"

namespace android {

PidBean::PidBean(int32_t pid, const std::string& processName)
    : WatchedProcess(pid),
      processName(processName),
      left(1.0f),
      right(1.0f),
      general(1.0f),
      hasProfile(false),
      muted(false),
      isWeakkey(false),
      hasActiveTrack(false),
      tracks(sp<ATrack>()),
      capLogged(false) {}

PidBean::~PidBean() {}

uint32_t PidBean::reloadAllCblk() {
    const size_t count = tracks.size();
    for (size_t i = 0; i < count; ++i) {
        tracks.valueAt(i)->reloadCblk();
    }
    return static_cast<uint32_t>(count);
}

uint32_t PidBean::activeCount() const {
    uint32_t active = 0;
    for (size_t i = 0; i < tracks.size(); ++i) {
        active += tracks.valueAt(i)->activeFlag();
    }
    return active;
}

std::string PidBean::appendDump() const {
    std::string text = ReportText::format(
        "    >>>Process : %s pid = %d\n      Left : %f\n      Right : %f\n"
        "      General : %f\n      Muted : %s\n      isWeakkey : %s\n"
        "      Has profile : %s\n      Track count : %u\n      Active count : %u\n"
        "    Buffers below:\n",
        processName.c_str(), pid, left, right, general, ReportText::boolText(muted),
        ReportText::boolText(isWeakkey), ReportText::boolText(hasProfile),
        static_cast<unsigned>(tracks.size()), activeCount());
    for (size_t i = 0; i < tracks.size(); ++i) {
        text += tracks.valueAt(i)->appendDump();
    }
    return text;
}

std::string PidBean::toJson() {
    const uint32_t active = activeCount();
    hasActiveTrack = active != 0;
    std::string text = ReportText::format(
        "{\n    \"pid\": \"%d\",\n    \"process\": \"%s\",\n    \"left\": %f,\n"
        "    \"right\": %f,\n    \"general\": %f,\n    \"muted\": %s,\n"
        "    \"isweakkey\": %s,\n    \"has_profile\": %s,\n    \"track_count\": %u,\n"
        "    \"active_count\": %u,\n    \"buffers\": [",
        pid, ReportText::jsonEscape(processName).c_str(), left, right, general,
        ReportText::boolText(muted), ReportText::boolText(isWeakkey),
        ReportText::boolText(hasProfile), static_cast<unsigned>(tracks.size()), active);
    for (size_t i = 0; i < tracks.size(); ++i) {
        if (i > 0) text += ",\n";
        text += tracks.valueAt(i)->toJson();
    }
    text += "    ]\n}\n";
    return text;
}

}  // namespace android
