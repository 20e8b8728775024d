#include "interface/TonvaleChange.h"

#include "registry/ReportText.h"
#include "utils/Utf8.h"

namespace android {

status_t TonvaleChange::writeToParcel(Parcel* parcel) const {
    status_t err = parcel->writeInt32(kind);
    if (err == NO_ERROR) err = parcel->writeInt64(seq);
    if (err == NO_ERROR) err = parcel->writeBool(isweakkey);
    if (err == NO_ERROR) err = parcel->writeUtf8AsUtf16(key);
    if (err == NO_ERROR) err = parcel->writeFloat(profile.left);
    if (err == NO_ERROR) err = parcel->writeFloat(profile.right);
    if (err == NO_ERROR) err = parcel->writeFloat(profile.general);
    if (err == NO_ERROR) err = parcel->writeBool(profile.split_control);
    if (err == NO_ERROR) err = parcel->writeBool(value);
    return err;
}

status_t TonvaleChange::readFromParcel(const Parcel& parcel) {
    bool ok =
        parcel.readInt32(&kind) == NO_ERROR && parcel.readInt64(&seq) == NO_ERROR &&
        parcel.readBool(&isweakkey) == NO_ERROR && parcel.readUtf8FromUtf16(&key) == NO_ERROR &&
        isValidUtf8(key) && parcel.readFloat(&profile.left) == NO_ERROR &&
        parcel.readFloat(&profile.right) == NO_ERROR &&
        parcel.readFloat(&profile.general) == NO_ERROR &&
        parcel.readBool(&profile.split_control) == NO_ERROR && parcel.readBool(&value) == NO_ERROR;
    return ok && kind >= PROFILE_SET && kind <= RESYNC ? NO_ERROR : BAD_VALUE;
}

const char* TonvaleChange::kindName(int32_t kind) {
    switch (kind) {
        case PROFILE_SET:
            return "profile_set";
        case PROFILE_UNSET:
            return "profile_unset";
        case MUTED:
            return "muted";
        case UNMUTED:
            return "unmuted";
        case DEFAULT_SILENT:
            return "default_silent";
        case WEAK_KEY_ADJUST:
            return "weak_key_adjust";
        case DEFAULT_PROFILE:
            return "default_profile";
        case CLEARED:
            return "cleared";
        case RESYNC:
            return "resync";
        default:
            return "unknown";
    }
}

std::string TonvaleChange::toJson() const {
    std::string text = ReportText::format("{\"event\": \"%s\", \"seq\": %lld", kindName(kind),
                                          static_cast<long long>(seq));
    const std::string table = isweakkey ? "package" : "process";
    switch (kind) {
        case PROFILE_SET:
        case PROFILE_UNSET:
        case MUTED:
        case UNMUTED:
            text +=
                ", \"table\": \"" + table + "\", \"key\": \"" + ReportText::jsonEscape(key) + "\"";
            break;
        case DEFAULT_SILENT:
        case WEAK_KEY_ADJUST:
            text += std::string(", \"value\": ") + ReportText::boolText(value);
            break;
        default:
            break;
    }
    if (kind == PROFILE_SET || kind == DEFAULT_PROFILE) {
        text += ReportText::format(
            ", \"left\": %g, \"right\": %g, \"general\": %g, \"split_control\": %s", profile.left,
            profile.right, profile.general, ReportText::boolText(profile.split_control));
    }
    return text + "}";
}

}  // namespace android
