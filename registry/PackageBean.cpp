#include "registry/PackageBean.h"

#include "registry/ReportText.h"

namespace android {

PackageBean::PackageBean(const std::string& packageName)
    : packageName(packageName),
      left(1.0f),
      right(1.0f),
      general(1.0f),
      hasProfile(false),
      muted(false),
      isWeakkey(false),
      processes(sp<PidBean>()) {}

PackageBean::~PackageBean() {}

uint32_t PackageBean::reloadAllCblk() {
    const size_t count = processes.size();
    for (size_t i = 0; i < count; ++i) {
        processes.valueAt(i)->reloadAllCblk();
    }
    return static_cast<uint32_t>(count);
}

std::string PackageBean::appendDump() const {
    std::string text = ReportText::format(
        "=====================================\nPackage : %s\n  Left : %f\n  Right : %f\n"
        "  General : %f\n  Muted : %s\n  isWeakkey : %s\n  Has profile : %s\n"
        "Processes below:\n",
        packageName.c_str(), left, right, general, ReportText::boolText(muted),
        ReportText::boolText(isWeakkey), ReportText::boolText(hasProfile));
    for (size_t i = 0; i < processes.size(); ++i) {
        text += processes.valueAt(i)->appendDump();
    }
    return text;
}

std::string PackageBean::toJson() {
    std::string body;
    bool anyActive = false;
    for (size_t i = 0; i < processes.size(); ++i) {
        if (i > 0) body += ",\n";
        const sp<PidBean>& process = processes.valueAt(i);
        body += process->toJson();
        anyActive = anyActive || process->hasActiveTrack;
    }
    std::string text = ReportText::format(
        "{\n    \"pkg\": \"%s\",\n    \"left\": %f,\n    \"right\": %f,\n"
        "    \"general\": %f,\n    \"muted\": %s,\n    \"isweakkey\": %s,\n"
        "    \"has_profile\": %s,\n    \"has_active_track\": %s,\n    \"processes\": [",
        ReportText::jsonEscape(packageName).c_str(), left, right, general,
        ReportText::boolText(muted), ReportText::boolText(isWeakkey),
        ReportText::boolText(hasProfile), ReportText::boolText(anyActive));
    text += body;
    text += "    ]\n}\n";
    return text;
}

}  // namespace android
