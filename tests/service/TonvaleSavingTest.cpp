// Saving through the service: a change is written or the caller is told, and a failed write
// leaves the old file whole.
#include <binder/IMemory.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "common/Blocks.h"
#include "common/Child.h"
#include "common/FakeAccess.h"
#include "common/LogCapture.h"
#include "common/SettingsFiles.h"
#include "common/Volumes.h"
#include "service/ControlledStore.h"
#include "utils/Utils.h"

namespace android {
namespace {

using tonvale_test::keysOf;
using tonvale_test::kMutedFile;
using tonvale_test::kProfileFile;
using tonvale_test::kSettingsFiles;
using tonvale_test::kSwitchFile;
using tonvale_test::putSettings;
using tonvale_test::settingsFiles;
using tonvale_test::settingsPath;
using tonvale_test::settingsText;
using Step = ControlledStore::Step;
using Keys = std::vector<std::string>;

class TonvaleSaving : public tonvale_test::SettingsDirTest {
protected:
    void SetUp() override {
        SettingsDirTest::SetUp();
        store = std::make_shared<ControlledStore>(tonvale_test::settingsDir());
        service = makeTonvale(&access, store);
    }

    std::vector<std::string> fileTexts() {
        std::vector<std::string> texts;
        for (const std::string& f : kSettingsFiles) texts.push_back(settingsText(f));
        return texts;
    }

    FakeAccess* access = nullptr;
    std::shared_ptr<ControlledStore> store;
    sp<Tonvale> service;
};

class SaveFailsAtEachStep : public TonvaleSaving, public testing::WithParamInterface<Step> {};

TEST_P(SaveFailsAtEachStep, OldFilesStayTheChangeHoldsAndTheCallerIsTold) {
    const std::string self = Utils::ProcessControl::getCmdLine(getpid());
    ASSERT_EQ(0, service->setProfile("com.old", 0.5f, 0.5f, 0.5f, false, false));
    ASSERT_EQ(0, service->setProfile("com.old", 0.5f, 0.5f, 0.5f, false, true));
    ASSERT_EQ(0, service->setProfile("com.old2", 0.5f, 0.5f, 0.5f, false, true));
    ASSERT_EQ(0, service->mute("com.old", false));
    ASSERT_EQ(0, service->mute("com.old", true));
    ASSERT_EQ(0, service->setDefaultSilent(false));
    ASSERT_EQ(kSettingsFiles, settingsFiles());
    const std::vector<std::string> before = fileTexts();
    sp<IMemory> mem = service->getTrackCtlBlk(getpid(), 3);
    ASSERT_NE(nullptr, mem);
    tnvl_cblk* block = tonvale_test::blockOf(mem);

    tonvale_test::LogCapture log(ANDROID_LOG_ERROR);
    store->failAt(GetParam(), EIO);
    EXPECT_EQ(-EIO, service->setProfile(self, 0.25f, 0.25f, 0.25f, false, false));
    EXPECT_FLOAT_EQ(0.25f, block->general);  // the block follows all the same
    EXPECT_EQ(-EIO, service->mute(self, false));
    EXPECT_EQ(1, block->muted);
    EXPECT_EQ(-EIO, service->unmute("com.old", true));
    EXPECT_EQ(-EIO, service->unsetProfile("com.old", true));
    EXPECT_EQ(-EIO, service->setDefaultSilent(true));
    EXPECT_EQ(-EIO, service->setWeakKeyAdjust(true));

    // The old files are whole and nothing else was left in the directory.
    EXPECT_EQ(before, fileTexts());
    EXPECT_EQ(kSettingsFiles, settingsFiles());
    // One error line per failed save, naming the file.
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("[Server]Settings not saved: " + settingsPath(kProfileFile) + ": " + strerror(EIO),
              lines[0]);
    EXPECT_NE(std::string::npos, lines[5].find(settingsPath(kSwitchFile)));

    // The service goes on with what it was told.
    EXPECT_EQ("0.25,0.25,0.25,0", std::string(service->getProfile(self, false).string()));
    Keys muted{"com.old", self};
    std::sort(muted.begin(), muted.end());
    EXPECT_EQ(muted, keysOf(service->muted(false)));
    EXPECT_EQ(Keys{"NO_MUTE_HOLDER"}, keysOf(service->muted(true)));
    EXPECT_EQ(Keys{"com.old2"}, keysOf(service->profiles(true)));
    EXPECT_EQ("0;true;true", std::string(service->getSwitches().string()));

    // Clear tries all five files and reports the failure; an empty table file needs no write,
    // so it may have been emptied, but no file holds anything but its old or its new text.
    EXPECT_EQ(-EIO, service->clear());
    const std::vector<std::string> after = fileTexts();
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i] != before[i]) {
            EXPECT_EQ("", after[i]);
        }
    }
    EXPECT_EQ(settingsText(kSwitchFile), before[0]);
    EXPECT_EQ(kSettingsFiles, settingsFiles());
    EXPECT_TRUE(service->profiles(false).isEmpty());

    // Once the disk works again the next save writes what the service holds.
    store->failAt(Step::kNone);
    EXPECT_EQ(0, service->mute("com.after", false));
    EXPECT_EQ(0, service->saveAllData());
    sp<Tonvale> reloaded = new Tonvale(std::make_unique<FakeAccess>(), store);
    EXPECT_EQ(Keys{"com.after"}, keysOf(reloaded->muted(false)));
    EXPECT_TRUE(reloaded->profiles(false).isEmpty());
    EXPECT_EQ("0;true;true", std::string(reloaded->getSwitches().string()));
}

INSTANTIATE_TEST_SUITE_P(EachStep, SaveFailsAtEachStep,
                         testing::Values(Step::kOpen, Step::kWrite, Step::kWriteAfterPart,
                                         Step::kSync, Step::kRename));

TEST_F(TonvaleSaving, AFailedWriteIsNeverTakenForARefusedArgument) {
    store->failAt(Step::kRename, EINVAL);
    const status_t saved = service->mute("com.a", false);
    EXPECT_LT(saved, 0);
    EXPECT_NE(BAD_VALUE, saved);
    EXPECT_EQ(Keys{"com.a"}, keysOf(service->muted(false)));
}

TEST_F(TonvaleSaving, SettingsThatWriteNoFileDoNotFail) {
    store->failAt(Step::kOpen, EROFS);
    EXPECT_EQ(0, service->setDefaultProfile(0.5f, 0.5f, 0.5f, false));
    EXPECT_EQ(0, service->setControlMode(0));
    EXPECT_EQ(0, service->unsetProfile("com.none", false));
    EXPECT_TRUE(settingsFiles().empty());
}

TEST_F(TonvaleSaving, StartRemovesWhatAnInterruptedRewriteLeftAndNothingElse) {
    const pid_t dead = tonvale_test::endedPid();
    ASSERT_GT(dead, 0);
    putSettings(kProfileFile, "com.a|0.5,0.5,0.5,0");
    const std::string abandoned =
        std::string(".") + kProfileFile + ".tmp." + std::to_string(dead) + ".4";
    const std::string live =
        std::string(".") + kMutedFile + ".tmp." + std::to_string(getpid()) + ".9";
    putSettings(abandoned, "com.half|0.1,0.1");
    putSettings(live, "com.live");

    sp<Tonvale> started = new Tonvale(std::make_unique<FakeAccess>(), store);
    EXPECT_EQ((std::set<std::string>{kProfileFile, live}), settingsFiles());
    EXPECT_EQ(Keys{"com.a"}, keysOf(started->profiles(false)));
    EXPECT_TRUE(started->muted(false).isEmpty());
}

}  // namespace
}  // namespace android
