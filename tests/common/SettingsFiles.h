#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "common/SettingsFileNames.h"
#include "common/TestEnv.h"

namespace tonvale_test {

inline std::string settingsPath(const std::string& name) {
    return settingsDir() + name;
}

inline std::string settingsText(const std::string& name) {
    return readFile(settingsPath(name));
}

inline void putSettings(const std::string& name, const std::string& text) {
    ASSERT_TRUE(writeFile(settingsPath(name), text));
}

/** Names in the settings directory. */
inline std::set<std::string> settingsFiles() {
    return listDir(settingsDir());
}

/** Each test starts on an empty settings directory. */
class SettingsDirTest : public testing::Test {
protected:
    void SetUp() override {
        mkdir(settingsDir().c_str(), 0755);
        clearSettingsDir();
    }
};

}  // namespace tonvale_test
