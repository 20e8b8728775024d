// Settings operations and the reports that need no track registry.
#include <gtest/gtest.h>
#include <utils/Errors.h>

#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

#include "common/SettingsFiles.h"
#include "common/TestEnv.h"
#include "common/Volumes.h"
#include "service/Tonvale.h"

namespace android {
namespace {

using tonvale_test::expectVolume;
using tonvale_test::keysOf;
using tonvale_test::kMutedFile;
using tonvale_test::kProfileFile;
using tonvale_test::kSwitchFile;
using tonvale_test::kWeakMutedFile;
using tonvale_test::kWeakProfileFile;
using tonvale_test::putSettings;
using tonvale_test::settingsFiles;
using tonvale_test::settingsPath;
using tonvale_test::settingsText;
using Keys = std::vector<std::string>;

class TonvaleSettingsTest : public tonvale_test::SettingsDirTest {
protected:
    void SetUp() override {
        SettingsDirTest::SetUp();
        t_ = new Tonvale();
    }
    sp<Tonvale> t_;
};

TEST_F(TonvaleSettingsTest, StartsWithDefaultsAndWritesNothing) {
    EXPECT_TRUE(t_->profiles(false).isEmpty());
    EXPECT_TRUE(t_->profiles(true).isEmpty());
    EXPECT_TRUE(t_->muted(false).isEmpty());
    EXPECT_TRUE(t_->muted(true).isEmpty());
    expectVolume(t_->defaultProfileRecord(), 1.0f, 1.0f, 1.0f, false);
    EXPECT_FALSE(t_->isDefaultSilent());
    EXPECT_FALSE(t_->isWeakKeyAdjust());
    EXPECT_EQ(0u, t_->getControlMode());
    EXPECT_EQ("1,1,1,0", std::string(t_->getDefaultProfile().string()));
    EXPECT_TRUE(settingsFiles().empty());
}

TEST_F(TonvaleSettingsTest, SetProfileReplacesWithinItsTableOnly) {
    EXPECT_EQ(0, t_->setProfile("com.a", 0.5f, 0.5f, 1.0f, false, false));
    EXPECT_EQ(0, t_->setProfile("com.a", 0.2f, 0.3f, 0.4f, true, false));
    EXPECT_EQ(0, t_->setProfile("com.a", 0.9f, 0.9f, 0.9f, false, true));
    ASSERT_EQ(1u, t_->profiles(false).size());
    expectVolume(t_->profiles(false).valueFor("com.a"), 0.2f, 0.3f, 0.4f, true);
    ASSERT_EQ(1u, t_->profiles(true).size());
    expectVolume(t_->profiles(true).valueFor("com.a"), 0.9f, 0.9f, 0.9f, false);
    EXPECT_EQ("com.a|0.2,0.3,0.4,1", settingsText(kProfileFile));
    EXPECT_EQ("com.a|0.9,0.9,0.9,0", settingsText(kWeakProfileFile));
}

TEST_F(TonvaleSettingsTest, GetProfileAnswersFromTheChosenTable) {
    EXPECT_EQ("__NO_PROFILE", std::string(t_->getProfile("com.a", false).string()));
    t_->setProfile("com.a", 0.5f, 0.5f, 1.0f, false, false);
    EXPECT_EQ("0.5,0.5,1,0", std::string(t_->getProfile("com.a", false).string()));
    EXPECT_EQ("__NO_PROFILE", std::string(t_->getProfile("com.a", true).string()));
}

TEST_F(TonvaleSettingsTest, TablesAndFilesGoInAscendingByteOrder) {
    for (const char* name : {"com.b", "\xc3\xa9t\xc3\xa9", "com.a", "Zed"}) {
        t_->setProfile(name, 1.0f, 1.0f, 1.0f, false, false);
        t_->mute(name, true);
    }
    const Keys order{"Zed", "com.a", "com.b", "\xc3\xa9t\xc3\xa9"};
    EXPECT_EQ(order, keysOf(t_->profiles(false)));
    EXPECT_EQ(order, keysOf(t_->muted(true)));
    EXPECT_EQ("Zed|1,1,1,0\ncom.a|1,1,1,0\ncom.b|1,1,1,0\n\xc3\xa9t\xc3\xa9|1,1,1,0",
              settingsText(kProfileFile));
    EXPECT_EQ("Zed\ncom.a\ncom.b\n\xc3\xa9t\xc3\xa9", settingsText(kWeakMutedFile));
}

TEST_F(TonvaleSettingsTest, UnsetProfileOfMissingNameWritesNothing) {
    EXPECT_EQ(0, t_->unsetProfile("com.a", false));
    EXPECT_FALSE(tonvale_test::fileExists(settingsPath(kProfileFile)));
    t_->setProfile("com.a", 0.5f, 0.5f, 1.0f, false, false);
    putSettings(kProfileFile, "hand edited");
    EXPECT_EQ(0, t_->unsetProfile("com.b", false));
    EXPECT_EQ("hand edited", settingsText(kProfileFile));
    EXPECT_EQ(0, t_->unsetProfile("com.a", true));
    EXPECT_EQ(1u, t_->profiles(false).size());
    EXPECT_EQ(0, t_->unsetProfile("com.a", false));
    EXPECT_TRUE(t_->profiles(false).isEmpty());
    EXPECT_EQ("", settingsText(kProfileFile));
}

TEST_F(TonvaleSettingsTest, MuteOfMutedNameStillRewritesTheFile) {
    t_->mute("com.a", false);
    putSettings(kMutedFile, "hand edited");
    EXPECT_EQ(0, t_->mute("com.a", false));
    EXPECT_EQ(Keys{"com.a"}, keysOf(t_->muted(false)));
    EXPECT_TRUE(t_->muted(false).valueFor("com.a"));
    EXPECT_EQ("com.a", settingsText(kMutedFile));
}

TEST_F(TonvaleSettingsTest, MuteHolderKeepsAnUnmutedTableFromBeingEmpty) {
    t_->mute("com.a", true);
    EXPECT_EQ(0, t_->unmute("com.a", true));
    EXPECT_EQ(Keys{"NO_MUTE_HOLDER"}, keysOf(t_->muted(true)));
    EXPECT_EQ("NO_MUTE_HOLDER", settingsText(kWeakMutedFile));
    EXPECT_FALSE(t_->muted(true).valueFor("com.a"));
    t_->mute("com.b", true);
    EXPECT_EQ(Keys{"com.b"}, keysOf(t_->muted(true)));
    EXPECT_EQ("com.b", settingsText(kWeakMutedFile));
    // Unmuting one of two leaves no holder.
    t_->mute("com.c", true);
    t_->unmute("com.b", true);
    EXPECT_EQ(Keys{"com.c"}, keysOf(t_->muted(true)));
}

TEST_F(TonvaleSettingsTest, UnmuteOfMissingNameOnEmptyTableAddsHolder) {
    EXPECT_EQ(0, t_->unmute("com.x", false));
    EXPECT_EQ(Keys{"NO_MUTE_HOLDER"}, keysOf(t_->muted(false)));
    EXPECT_EQ("NO_MUTE_HOLDER", settingsText(kMutedFile));
    EXPECT_TRUE(t_->muted(true).isEmpty());
}

TEST_F(TonvaleSettingsTest, ClearEmptiesTablesAndKeepsSwitches) {
    t_->setDefaultProfile(0.2f, 0.3f, 0.4f, true);
    t_->setDefaultSilent(true);
    t_->setProfile("com.a", 0.5f, 0.5f, 1.0f, false, false);
    t_->setProfile("com.b", 0.5f, 0.5f, 1.0f, false, true);
    t_->unmute("com.c", false);
    t_->mute("com.d", true);
    EXPECT_EQ(0, t_->clear());
    EXPECT_TRUE(t_->profiles(false).isEmpty());
    EXPECT_TRUE(t_->profiles(true).isEmpty());
    EXPECT_TRUE(t_->muted(false).isEmpty());
    EXPECT_TRUE(t_->muted(true).isEmpty());
    EXPECT_TRUE(t_->isDefaultSilent());
    EXPECT_EQ("0.2,0.3,0.4,1", std::string(t_->getDefaultProfile().string()));
    EXPECT_EQ("1;0.2,0.3,0.4,1;MODE_UNDER_SYSTEM;true;false", settingsText(kSwitchFile));
    for (const char* f : {kProfileFile, kMutedFile, kWeakProfileFile, kWeakMutedFile}) {
        EXPECT_TRUE(tonvale_test::fileExists(settingsPath(f))) << f;
        EXPECT_EQ("", settingsText(f)) << f;
    }
}

TEST_F(TonvaleSettingsTest, DefaultProfileIsSavedAndComesBack) {
    EXPECT_EQ(0, t_->setDefaultProfile(0.2f, 0.3f, 0.4f, true));
    EXPECT_EQ("0.2,0.3,0.4,1", std::string(t_->getDefaultProfile().string()));
    EXPECT_EQ("1;0.2,0.3,0.4,1;MODE_UNDER_SYSTEM;false;false", settingsText(kSwitchFile));
    sp<Tonvale> again = new Tonvale();
    EXPECT_EQ("0.2,0.3,0.4,1", std::string(again->getDefaultProfile().string()));
}

TEST_F(TonvaleSettingsTest, ControlModeStaysUnderSystem) {
    EXPECT_EQ(0, t_->setControlMode(5));
    EXPECT_EQ(0u, t_->getControlMode());
    t_->setDefaultSilent(false);
    EXPECT_EQ("1;1,1,1,0;MODE_UNDER_SYSTEM;false;false", settingsText(kSwitchFile));
}

// Names whose key would come back as another key, or cut the file short, are refused.
TEST_F(TonvaleSettingsTest, UnstorableNamesAreRefusedAndChangeNothing) {
    t_->setProfile("com.keep", 0.5f, 0.5f, 1.0f, false, false);
    t_->mute("com.keep", false);
    const std::set<std::string> filesBefore = settingsFiles();
    const std::string profileText = settingsText(kProfileFile);
    const std::string nul("com\0x", 5);
    for (bool weak : {false, true}) {
        // Short names too: the files have always dropped keys under 3 bytes.
        for (const std::string& bad :
             {std::string("a\nbc"), nul, std::string("ab|c"), std::string("\n"), std::string("|"),
              std::string(""), std::string("ab")}) {
            EXPECT_EQ(BAD_VALUE, t_->setProfile(bad, 0.1f, 0.1f, 0.1f, true, weak));
            EXPECT_EQ(BAD_VALUE, t_->unsetProfile(bad, weak));
        }
        for (const std::string& bad : {std::string("a\nbc"), nul, std::string("xyz\n"),
                                       std::string(""), std::string("ab")}) {
            EXPECT_EQ(BAD_VALUE, t_->mute(bad, weak));
            EXPECT_EQ(BAD_VALUE, t_->unmute(bad, weak));
        }
    }
    EXPECT_EQ(Keys{"com.keep"}, keysOf(t_->profiles(false)));
    EXPECT_TRUE(t_->profiles(true).isEmpty());
    EXPECT_EQ(Keys{"com.keep"}, keysOf(t_->muted(false)));
    // No holder either: a refused unmute is no unmute.
    EXPECT_TRUE(t_->muted(true).isEmpty());
    EXPECT_EQ(filesBefore, settingsFiles());
    EXPECT_EQ(profileText, settingsText(kProfileFile));
    EXPECT_EQ("com.keep", settingsText(kMutedFile));
}

// Mute lines are trimmed when read, so a mute name with white space at either end would come
// back as another name; profile keys are read verbatim and may keep theirs.
TEST_F(TonvaleSettingsTest, MuteNamesWithWhiteSpaceAtAnEndAreRefused) {
    for (bool weak : {false, true}) {
        for (const char* bad : {"  sp  ", " sp", "sp ", "sp\t", "\rsp", "sp\r"}) {
            SCOPED_TRACE(bad);
            EXPECT_EQ(BAD_VALUE, t_->mute(bad, weak));
            EXPECT_EQ(BAD_VALUE, t_->unmute(bad, weak));
        }
    }
    EXPECT_TRUE(t_->muted(false).isEmpty());
    EXPECT_TRUE(t_->muted(true).isEmpty());
    EXPECT_TRUE(settingsFiles().empty());

    EXPECT_EQ(0, t_->mute("s p\tx", false));  // inside a name, white space stays
    EXPECT_EQ(0, t_->setProfile("  sp  ", 0.5f, 0.5f, 0.5f, false, false));
    sp<Tonvale> again = new Tonvale();
    EXPECT_EQ(Keys{"s p\tx"}, keysOf(again->muted(false)));
    EXPECT_EQ(Keys{"  sp  "}, keysOf(again->profiles(false)));
}

TEST_F(TonvaleSettingsTest, NamesThatAreNotUtf8AreRefused) {
    for (const std::string& bad :
         {std::string("caf\xe9"), std::string("\xff\xfe"), std::string("\xc0\x80x"),
          std::string("\xed\xa0\x80"
                      "ab"),
          std::string("ab\xf4\x90\x80\x80")}) {
        for (bool weak : {false, true}) {
            EXPECT_EQ(BAD_VALUE, t_->setProfile(bad, 0.5f, 0.5f, 0.5f, false, weak));
            EXPECT_EQ(BAD_VALUE, t_->unsetProfile(bad, weak));
            EXPECT_EQ(BAD_VALUE, t_->mute(bad, weak));
            EXPECT_EQ(BAD_VALUE, t_->unmute(bad, weak));
        }
    }
    EXPECT_TRUE(t_->profiles(false).isEmpty());
    EXPECT_TRUE(t_->muted(true).isEmpty());
    EXPECT_TRUE(settingsFiles().empty());
}

TEST_F(TonvaleSettingsTest, VolumesOutsideZeroToSixteenAreRefused) {
    for (float bad : {NAN, INFINITY, -INFINITY, -7.0f, -0.001f, 16.001f, 100.0f, FLT_MAX}) {
        EXPECT_EQ(BAD_VALUE, t_->setProfile("com.a", bad, 1.0f, 1.0f, false, false));
        EXPECT_EQ(BAD_VALUE, t_->setProfile("com.a", 1.0f, 1.0f, bad, false, true));
        EXPECT_EQ(BAD_VALUE, t_->setDefaultProfile(1.0f, bad, 1.0f, false));
    }
    EXPECT_TRUE(t_->profiles(false).isEmpty());
    EXPECT_TRUE(t_->profiles(true).isEmpty());
    EXPECT_EQ("1,1,1,0", std::string(t_->getDefaultProfile().string()));
    EXPECT_TRUE(settingsFiles().empty());
    // The ends of the range are volumes, and come back from their file.
    EXPECT_EQ(0, t_->setProfile("com.big", 16.0f, 0.0f, 16.0f, false, false));
    sp<Tonvale> again = new Tonvale();
    EXPECT_EQ("16,0,16,0", std::string(again->getProfile("com.big", false).string()));
}

TEST_F(TonvaleSettingsTest, BarIsAnOrdinaryCharacterInMuteNames) {
    EXPECT_EQ(0, t_->mute("a|b", false));
    EXPECT_EQ("a|b", settingsText(kMutedFile));
    sp<Tonvale> again = new Tonvale();
    EXPECT_EQ(Keys{"a|b"}, keysOf(again->muted(false)));
    EXPECT_EQ(0, t_->unmute("a|b", false));
}

// The one place that holds the version text, which peers parse; the transaction and tool tests
// compare with the service's.
TEST_F(TonvaleSettingsTest, VersionText) {
    EXPECT_EQ(
        "Tonvale native service - version [1][0.91]\nAuthor: Kestrune\n"
        "Api: Android [10][aosp_arm64]\n;Build id: QQ3A.200705.002 \n"
        "Build time: 2020.8.6.20.12(GMT +8)",
        std::string(t_->getVersion().string()));
}

TEST_F(TonvaleSettingsTest, SwitchesText) {
    EXPECT_EQ("0;false;false", std::string(t_->getSwitches().string()));
    t_->setWeakKeyAdjust(true);
    EXPECT_EQ("0;false;true", std::string(t_->getSwitches().string()));
    t_->setDefaultSilent(true);
    EXPECT_EQ("0;true;true", std::string(t_->getSwitches().string()));
}

TEST_F(TonvaleSettingsTest, ListProfilesInTableOrder) {
    EXPECT_EQ("{\n    \"p_profiles\":\"\",\n\"w_profiles\":\"\"}",
              std::string(t_->listProfiles().string()));
    t_->setProfile("com.b", 1.0f, 1.0f, 1.0f, false, false);
    t_->setProfile("com.a", 1.0f, 1.0f, 1.0f, false, false);
    t_->setProfile("abc", 1.0f, 1.0f, 1.0f, false, true);
    EXPECT_EQ("{\n    \"p_profiles\":\"com.a;com.b\",\n\"w_profiles\":\"abc\"}",
              std::string(t_->listProfiles().string()));
}

TEST_F(TonvaleSettingsTest, ListMutedLeavesTheHolderOut) {
    EXPECT_EQ("{\n    \"p_muted\":\"\",\n\"w_muted\":\"\"}", std::string(t_->listMuted().string()));
    t_->mute("com.a", false);
    t_->unmute("com.a", false);
    t_->mute("com.b", true);
    t_->mute("com.c", true);
    EXPECT_EQ("{\n    \"p_muted\":\"\",\n\"w_muted\":\"com.b;com.c\"}",
              std::string(t_->listMuted().string()));
    // A hand-edited file may hold the holder beside other keys.
    putSettings(kMutedFile, "NO_MUTE_HOLDER\ncom.z");
    t_->initData();
    EXPECT_EQ(2u, t_->muted(false).size());
    EXPECT_EQ("{\n    \"p_muted\":\"com.z\",\n\"w_muted\":\"com.b;com.c\"}",
              std::string(t_->listMuted().string()));
}

TEST_F(TonvaleSettingsTest, ListsEscapeNamesForJson) {
    t_->setProfile("say \"hi\"", 1.0f, 1.0f, 1.0f, false, false);
    t_->setProfile("back\\slash", 1.0f, 1.0f, 1.0f, false, true);
    t_->mute("t\tab\r\x01\x1f", false);
    t_->mute("caf\xc3\xa9 \x7f", true);
    EXPECT_EQ("{\n    \"p_profiles\":\"say \\\"hi\\\"\",\n\"w_profiles\":\"back\\\\slash\"}",
              std::string(t_->listProfiles().string()));
    EXPECT_EQ("{\n    \"p_muted\":\"t\\tab\\r\\u0001\\u001f\",\n\"w_muted\":\"caf\xc3\xa9 \x7f\"}",
              std::string(t_->listMuted().string()));
}

}  // namespace
}  // namespace android
