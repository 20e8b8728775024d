#include "utils/Utils.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

namespace android {
namespace Utils {

namespace {

const char kWhiteSpace[] = " \r\n\t";

}  // namespace

namespace StringProcess {

std::string trimStr(std::string text) {
    size_t last = text.find_last_not_of(kWhiteSpace);
    if (last != std::string::npos) text.erase(last + 1);
    size_t first = text.find_first_not_of(kWhiteSpace);
    if (first != std::string::npos) text.erase(0, first);
    return text;
}

std::vector<std::string> split(std::string text, std::string delimiter) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    text += delimiter;
    size_t i = 0;
    while (i < text.size()) {
        size_t p = text.find(delimiter, i);
        if (p == std::string::npos) break;
        pieces.push_back(text.substr(i, p - i));
        i = p + delimiter.size();
    }
    return pieces;
}

bool contains(std::string text, std::string part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> getPreset(std::string path) {
    return split(IO::readFromFile(path), "\n");
}

}  // namespace StringProcess

namespace Caster {

std::string int_16toString(int value) {
    char buf[20];
    snprintf(buf, sizeof(buf), "%X", static_cast<unsigned>(value));
    return buf;
}

std::string addressToString(const void* address) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << address;
    return out.str();
}

std::string volumeToProfileLineStr(tonvale_process_volume_t volume) {
    return numToString<float>(volume.left) + "," + numToString<float>(volume.right) + "," +
           numToString<float>(volume.general) + "," +
           numToString<float>(volume.split_control ? 1.0f : 0.0f);
}

tonvale_process_volume_t paramToVolumeSingleFile(std::string text) {
    tonvale_process_volume_t volume;
    std::vector<std::string> f = StringProcess::split(text, ",");
    if (f.size() > 0) volume.left = stringToNum<float>(f[0]);
    if (f.size() > 1) volume.right = stringToNum<float>(f[1]);
    if (f.size() > 2) volume.general = stringToNum<float>(f[2]);
    if (f.size() > 3) volume.split_control = stringToNum<int>(f[3]) == 1;
    volume.reserved = 0;
    return volume;
}

tonvale_process_volume_t paramToVolumeControlCmd(std::string text) {
    tonvale_process_volume_t volume;
    std::vector<std::string> f = StringProcess::split(text, ",");
    if (f.size() > 0) volume.reserved = stringToNum<int>(f[0]);
    if (f.size() > 1) volume.left = stringToNum<float>(f[1]);
    if (f.size() > 2) volume.right = stringToNum<float>(f[2]);
    if (f.size() > 3) volume.general = stringToNum<float>(f[3]);
    if (f.size() > 4) volume.split_control = stringToNum<int>(f[4]) == 1;
    return volume;
}

std::string controlModeFlagsToString(control_mode_flags_t mode) {
    return mode == 0 ? "MODE_UNDER_SYSTEM" : "UNKNOWN CTL FLAG!!!";
}

}  // namespace Caster

namespace IO {

std::string readFromFile(std::string path) {
    std::string result;
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return result;
    char buf[1024];
    while (fgets(buf, sizeof(buf), file) != nullptr) {
        result.append(buf, strlen(buf));
    }
    fclose(file);
    return result;
}

void writeFile(std::string path, std::string content) {
    FILE* file = fopen(path.c_str(), "w+");
    if (file == nullptr) return;
    fputs(content.c_str(), file);
    fclose(file);
}

}  // namespace IO

namespace ProcessControl {

std::string getCmdLine(int pid) {
    char path[32];
    snprintf(path, sizeof(path), "/proc/%d/cmdline", pid);
    return IO::readFromFile(path);
}

std::string extractPackageName(std::string name) {
    if (!StringProcess::contains(name, ":")) return name;
    return StringProcess::split(name, ":")[0];
}

}  // namespace ProcessControl

std::string getTime() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char buf[65];
    size_t n = strftime(buf, 64, "[%Y-%m-%d %H:%M:%S]", &local);
    return std::string(buf, n);
}

}  // namespace Utils
}  // namespace android
