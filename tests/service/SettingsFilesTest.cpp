// The five settings files: what is read, what is written, and what survives a restart.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "common/LogCapture.h"
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

class SettingsFilesTest : public tonvale_test::SettingsDirTest {};

TEST_F(SettingsFilesTest, ConvertStrPrefBoolIsWholeAndCaseSensitive) {
    EXPECT_TRUE(convertStrPrefBool("true", false));
    EXPECT_FALSE(convertStrPrefBool("false", true));
    EXPECT_TRUE(convertStrPrefBool("TRUE", true));
    EXPECT_FALSE(convertStrPrefBool("TRUE", false));
    EXPECT_FALSE(convertStrPrefBool("true ", false));
    EXPECT_TRUE(convertStrPrefBool("", true));
}

TEST_F(SettingsFilesTest, ProfileFileLoadsAndWritesBackTheSameText) {
    const std::string text = "com.a|0.5,0.5,1,0\ncom.b|1,1,0.2,1";
    putSettings(kProfileFile, text);
    putSettings(kWeakProfileFile, text);
    sp<Tonvale> t = new Tonvale();
    for (bool weak : {false, true}) {
        ASSERT_EQ((Keys{"com.a", "com.b"}), keysOf(t->profiles(weak)));
        expectVolume(t->profiles(weak).valueFor("com.a"), 0.5f, 0.5f, 1.0f, false);
        expectVolume(t->profiles(weak).valueFor("com.b"), 1.0f, 1.0f, 0.2f, true);
    }
    tonvale_test::clearSettingsDir();
    ASSERT_EQ(OK, t->saveAllData());
    EXPECT_EQ(text, settingsText(kProfileFile));
    EXPECT_EQ(text, settingsText(kWeakProfileFile));
    EXPECT_EQ("1;1,1,1,0;MODE_UNDER_SYSTEM;false;false", settingsText(kSwitchFile));
}

// A file may hold what the service never writes (a hand edit, another version, a bad disk):
// the reader takes only what the operations would take, logs each line it skips, and keeps
// the rest, so a later save never stores what it could not read back.
TEST_F(SettingsFilesTest, LinesTheOperationsWouldRefuseAreSkippedAndLogged) {
    using namespace std::string_literals;
    putSettings(kProfileFile,
                "ab|1,1,1,1\ncom.a|1,1,1,0\ncom.neg|-7,1,1,0\ncom.big|1e39,1,1,0\n"
                "com.over|1,1,16.5,0\ncaf\xe9|1,1,1,0\ncom.nobar 1,1,1,1\ncom.short|0.5,0.5\n"
                "com\0x|1,1,1,0\ncom.c|0.1,0.2,0.3,1\r\ncom.d|,,,\ncom.e|16,0,16,0|junk\n"s);
    putSettings(kMutedFile, "  com.a  \nxy\ncom.b\r\n\n \t\n \t \n\xff\xfe\xfd\n");
    putSettings(kSwitchFile, "1;-1,1,1,0;MODE_UNDER_SYSTEM;true;false");
    tonvale_test::LogCapture log(ANDROID_LOG_WARN);
    sp<Tonvale> t = new Tonvale();
    EXPECT_EQ((Keys{"com.a", "com.c", "com.d", "com.e"}), keysOf(t->profiles(false)));
    expectVolume(t->profiles(false).valueFor("com.c"), 0.1f, 0.2f, 0.3f, true);
    expectVolume(t->profiles(false).valueFor("com.d"), 0.0f, 0.0f, 0.0f, false);
    EXPECT_EQ((Keys{"com.a", "com.b"}), keysOf(t->muted(false)));
    EXPECT_EQ("1,1,1,0", std::string(t->getDefaultProfile().string()));
    EXPECT_EQ("0;true;false", std::string(t->getSwitches().string()));
    EXPECT_EQ(13u, log.count(" skipped: "));
    EXPECT_EQ(1u, log.count(settingsPath(kProfileFile) + ":9 skipped: a NUL byte"));

    ASSERT_EQ(OK, t->saveAllData());
    EXPECT_EQ("com.a|1,1,1,0\ncom.c|0.1,0.2,0.3,1\ncom.d|0,0,0,0\ncom.e|16,0,16,0",
              settingsText(kProfileFile));
    EXPECT_EQ("com.a\ncom.b", settingsText(kMutedFile));
}

TEST_F(SettingsFilesTest, LaterLineWithTheSameKeyWins) {
    putSettings(kWeakProfileFile, "com.a|0.1,0.1,0.1,0\ncom.a|0.2,0.2,0.2,1");
    putSettings(kWeakMutedFile, "com.a\ncom.a ");
    sp<Tonvale> t = new Tonvale();
    ASSERT_EQ(1u, t->profiles(true).size());
    expectVolume(t->profiles(true).valueFor("com.a"), 0.2f, 0.2f, 0.2f, true);
    EXPECT_EQ(Keys{"com.a"}, keysOf(t->muted(true)));
}

TEST_F(SettingsFilesTest, ProfileKeyIsVerbatimAndExtraPartsAreIgnored) {
    putSettings(kProfileFile, " com.a |0.5,0.5,1,1\r\ncom.b|0.3,0.3,0.3,0|junk");
    sp<Tonvale> t = new Tonvale();
    ASSERT_EQ((Keys{" com.a ", "com.b"}), keysOf(t->profiles(false)));
    expectVolume(t->profiles(false).valueFor(" com.a "), 0.5f, 0.5f, 1.0f, true);
    expectVolume(t->profiles(false).valueFor("com.b"), 0.3f, 0.3f, 0.3f, false);
}

TEST_F(SettingsFilesTest, FloatsRoundTripToSixDigits) {
    {
        sp<Tonvale> t = new Tonvale();
        ASSERT_EQ(0, t->setProfile("com.a", 0.123456789f, 1e-7f, 12.3456789f, true, false));
    }
    EXPECT_EQ("com.a|0.123457,1e-07,12.3457,1", settingsText(kProfileFile));
    sp<Tonvale> t = new Tonvale();
    EXPECT_EQ("0.123457,1e-07,12.3457,1", std::string(t->getProfile("com.a", false).string()));
}

TEST_F(SettingsFilesTest, SwitchFileWithHolderResetsTheDefaultProfile) {
    sp<Tonvale> t = new Tonvale();
    t->setDefaultProfile(0.2f, 0.2f, 0.2f, true);
    putSettings(kSwitchFile, "ordinary;holder;MODE_UNDER_SYSTEM;true;false");
    t->initData();
    EXPECT_TRUE(t->isDefaultSilent());
    EXPECT_FALSE(t->isWeakKeyAdjust());
    expectVolume(t->defaultProfileRecord(), 1.0f, 1.0f, 1.0f, false);
}

TEST_F(SettingsFilesTest, SwitchFileBoolsAreExactWords) {
    putSettings(kSwitchFile, "ordinary;0.5,0.5,0.5,1;X;TRUE;yes");
    sp<Tonvale> t = new Tonvale();
    expectVolume(t->defaultProfileRecord(), 0.5f, 0.5f, 0.5f, true);
    EXPECT_FALSE(t->isDefaultSilent());
    EXPECT_FALSE(t->isWeakKeyAdjust());
    EXPECT_EQ(0u, t->getControlMode());
}

TEST_F(SettingsFilesTest, SwitchFileWithTooFewFieldsOrAnotherMarkerIsIgnored) {
    for (const char* text : {"ordinary;0.5,0.5,0.5,1;X;true", "11;0.5,0.5,0.5,1;X;true;true",
                             "01;0.5,0.5,0.5,1;X;true;true", ";0.5,0.5,0.5,1;X;true;true",
                             "Ordinary;0.5,0.5,0.5,1;X;true;true", ""}) {
        putSettings(kSwitchFile, text);
        sp<Tonvale> t = new Tonvale();
        expectVolume(t->defaultProfileRecord(), 1.0f, 1.0f, 1.0f, false);
        EXPECT_FALSE(t->isDefaultSilent()) << text;
        EXPECT_FALSE(t->isWeakKeyAdjust()) << text;
    }
}

TEST_F(SettingsFilesTest, SwitchFileMarkersThatAreAccepted) {
    for (const char* text :
         {"1;0.5,0.5,0.5,1;X;true;true", "extraordinary;0.5,0.5,0.5,1;X;true;true",
          " \n1;0.5,0.5,0.5,1;X;true;true\n", "1;0.5,0.5,0.5,1;X;true;true;more"}) {
        putSettings(kSwitchFile, text);
        sp<Tonvale> t = new Tonvale();
        expectVolume(t->defaultProfileRecord(), 0.5f, 0.5f, 0.5f, true);
        EXPECT_TRUE(t->isDefaultSilent()) << text;
        EXPECT_TRUE(t->isWeakKeyAdjust()) << text;
    }
}

TEST_F(SettingsFilesTest, ShortDefaultProfileFieldKeepsTheCurrentOne) {
    sp<Tonvale> t = new Tonvale();
    t->setDefaultProfile(0.2f, 0.3f, 0.4f, true);
    putSettings(kSwitchFile, "1;0.5,0.5;MODE_UNDER_SYSTEM;true;false");
    t->initData();
    expectVolume(t->defaultProfileRecord(), 0.2f, 0.3f, 0.4f, true);
    EXPECT_TRUE(t->isDefaultSilent());
}

// The service must take up the switch file it wrote itself.
TEST_F(SettingsFilesTest, SwitchesAndDefaultProfileSurviveARestart) {
    {
        sp<Tonvale> t = new Tonvale();
        t->setDefaultProfile(0.2f, 0.3f, 0.4f, true);
        t->setDefaultSilent(true);
        t->setWeakKeyAdjust(true);
    }
    EXPECT_EQ("1;0.2,0.3,0.4,1;MODE_UNDER_SYSTEM;true;true", settingsText(kSwitchFile));
    sp<Tonvale> t = new Tonvale();
    expectVolume(t->defaultProfileRecord(), 0.2f, 0.3f, 0.4f, true);
    EXPECT_TRUE(t->isDefaultSilent());
    EXPECT_TRUE(t->isWeakKeyAdjust());
    EXPECT_EQ("0;true;true", std::string(t->getSwitches().string()));
}

TEST_F(SettingsFilesTest, EverySettingSurvivesARestart) {
    {
        sp<Tonvale> t = new Tonvale();
        t->setProfile("com.a", 0.5f, 0.25f, 1.0f, true, false);
        t->setProfile("com.pkg", 0.1f, 0.2f, 0.3f, false, true);
        t->mute("com.m", false);
        t->unmute("com.w", true);
        t->setDefaultSilent(true);
    }
    sp<Tonvale> t = new Tonvale();
    EXPECT_EQ("0.5,0.25,1,1", std::string(t->getProfile("com.a", false).string()));
    EXPECT_EQ("0.1,0.2,0.3,0", std::string(t->getProfile("com.pkg", true).string()));
    EXPECT_EQ(Keys{"com.m"}, keysOf(t->muted(false)));
    EXPECT_EQ(Keys{"NO_MUTE_HOLDER"}, keysOf(t->muted(true)));
    EXPECT_TRUE(t->isDefaultSilent());
}

TEST_F(SettingsFilesTest, InitDataReloadsFromTheFiles) {
    sp<Tonvale> t = new Tonvale();
    t->setProfile("com.a", 0.5f, 0.5f, 1.0f, false, false);
    t->mute("com.a", false);
    t->setDefaultSilent(true);
    putSettings(kProfileFile, "com.z|0.1,0.1,0.1,0");
    unlink(settingsPath(kMutedFile).c_str());
    unlink(settingsPath(kSwitchFile).c_str());
    t->initData();
    EXPECT_EQ(Keys{"com.z"}, keysOf(t->profiles(false)));
    EXPECT_TRUE(t->muted(false).isEmpty());
    // Without a switch file the switches keep what they had.
    EXPECT_TRUE(t->isDefaultSilent());
}

TEST_F(SettingsFilesTest, RewritesLeaveOnlyTheSettingsFiles) {
    sp<Tonvale> t = new Tonvale();
    t->setProfile("com.a", 0.5f, 0.5f, 1.0f, false, false);
    t->mute("com.a", true);
    t->clear();
    ASSERT_EQ(OK, t->saveAllData());
    EXPECT_EQ(tonvale_test::kSettingsFiles, settingsFiles());
}

}  // namespace
}  // namespace android
