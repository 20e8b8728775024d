// Feeds arbitrary bytes to the settings-file readers: five files, then construction and
// reload. Whatever was loaded must survive its own rewrite: saving, loading the saved files
// and saving again gives the same files.
#include <fuzzer/FuzzedDataProvider.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "service/Tonvale.h"
// From the top of the tree: fuzz targets do not get the tests' include folder.
#include "common/SettingsFileNames.h"

namespace {

using tonvale_test::kSettingsFileNames;

std::string gRoot;
std::string gDir;

void removeDataDir() {
    for (const char* name : kSettingsFileNames) unlink((gDir + name).c_str());
    rmdir(gDir.c_str());
    rmdir((gRoot + "/misc").c_str());
    rmdir(gRoot.c_str());
}

void writeAll(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) abort();
    if (!text.empty() && fwrite(text.data(), 1, text.size(), f) != text.size()) abort();
    fclose(f);
}

std::string readAll(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

std::string snapshot() {
    std::string all;
    for (const char* name : kSettingsFileNames) all += readAll(gDir + name) + '\0';
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private data directory, chosen before the service first asks for it; tmpfs when
    // there is one, since every rewrite syncs.
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    gRoot = std::string(base) + "/tonvale-fuzz-XXXXXX";
    if (mkdtemp(&gRoot[0]) == nullptr) abort();
    setenv("ANDROID_DATA", gRoot.c_str(), 1);
    mkdir((gRoot + "/misc").c_str(), 0755);
    gDir = gRoot + "/misc/tonvale/";
    mkdir(gDir.c_str(), 0755);
    atexit(removeDataDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    for (const char* name : kSettingsFileNames) {
        std::string text = input.ConsumeRandomLengthString(4096);
        writeAll(gDir + name, text);
    }

    android::sp<android::Tonvale> service = new android::Tonvale();
    service->listProfiles();
    service->listMuted();
    service->getSwitches();
    service->getDefaultProfile();
    service->initData();

    // The data directory is the fuzzer's own and writable: a failed save is a fault.
    if (service->saveAllData() != android::OK) abort();
    const std::string first = snapshot();
    android::sp<android::Tonvale> reloaded = new android::Tonvale();
    if (reloaded->saveAllData() != android::OK) abort();
    if (snapshot() != first) abort();
    return 0;
}
