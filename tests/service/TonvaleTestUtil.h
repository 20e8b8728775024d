#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "service/Tonvale.h"

namespace android {

inline const char kSwitchFile[] = "tonvale_config.prof";
inline const char kProfileFile[] = "tonvale_volume_profile.prof";
inline const char kMutedFile[] = "tonvale_muted_profile.prof";
inline const char kWeakProfileFile[] = "tonvale_weakkeyed_profile.prof";
inline const char kWeakMutedFile[] = "tonvale_weakkeyed_muted.prof";

inline std::string settingsPath(const std::string& name) {
    return tonvale_test::settingsDir() + name;
}

inline std::string settingsText(const std::string& name) {
    return tonvale_test::readFile(settingsPath(name));
}

inline void putSettings(const std::string& name, const std::string& text) {
    ASSERT_TRUE(tonvale_test::writeFile(settingsPath(name), text));
}

/** Names in the settings directory. */
inline std::set<std::string> settingsFiles() {
    return tonvale_test::listDir(tonvale_test::settingsDir());
}

template <typename Table>
std::vector<std::string> keysOf(const Table& table) {
    std::vector<std::string> keys;
    for (size_t i = 0; i < table.size(); ++i) keys.push_back(table.keyAt(i));
    return keys;
}

inline void expectVolume(const tonvale_process_volume_t& v, float left, float right, float general,
                         bool split) {
    EXPECT_EQ(0, v.reserved);
    EXPECT_FLOAT_EQ(left, v.left);
    EXPECT_FLOAT_EQ(right, v.right);
    EXPECT_FLOAT_EQ(general, v.general);
    EXPECT_EQ(split, v.split_control);
}

/** Each test starts on an empty settings directory. */
class TonvaleTestBase : public testing::Test {
protected:
    void SetUp() override {
        mkdir(tonvale_test::settingsDir().c_str(), 0755);
        tonvale_test::clearSettingsDir();
    }
};

}  // namespace android
