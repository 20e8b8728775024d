// Saving through the service: a change is written or the caller is told, and a failed write
// leaves the old file whole.
#include <binder/IMemory.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/Blocks.h"
#include "common/Child.h"
#include "common/FakeAccess.h"
#include "common/LogCapture.h"
#include "common/SettingsFiles.h"
#include "common/Volumes.h"
#include "interface/BnTonvaleListener.h"
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

/** Keeps what it hears, as a panel would. */
class Heard : public BnTonvaleListener {
public:
    status_t onChange(const TonvaleChange& change) override {
        std::lock_guard<std::mutex> l(mLock);
        mEvents.push_back(change.toJson());
        return NO_ERROR;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> l(mLock);
        return mEvents;
    }

private:
    std::mutex mLock;
    std::vector<std::string> mEvents;
};

struct Fault {
    Step step;
    int err;
};

class DiskFaults : public TonvaleSaving, public testing::WithParamInterface<Fault> {
protected:
    /** What a refused change must not touch: every answer, this process's block, the files. */
    std::vector<std::string> everything(const std::string& self, const tnvl_cblk* block) {
        std::vector<std::string> all = fileTexts();
        for (const String8& text :
             {service->listProfiles(), service->listMuted(), service->getSwitches(),
              service->getDefaultProfile(), service->getProfile(self, false),
              service->getProfile("com.old", true)}) {
            all.push_back(text.string());
        }
        all.push_back(std::to_string(block->left) + " " + std::to_string(block->right) + " " +
                      std::to_string(block->general) + " " + std::to_string(block->muted));
        return all;
    }
};

// Every operation against a full disk (at each step of a save) and a read-only directory: it
// fails with the disk's error, and leaves no trace in memory, in the blocks, in the files or
// in a later save.
TEST_P(DiskFaults, ARefusedChangeLeavesNoTrace) {
    const std::string self = Utils::ProcessControl::getCmdLine(getpid());
    ASSERT_EQ(0, service->setProfile("com.old", 0.5f, 0.5f, 0.5f, false, false));
    ASSERT_EQ(0, service->setProfile("com.old", 0.5f, 0.5f, 0.5f, false, true));
    // Not empty once com.old is unset: an empty text needs no write, and so never fails one.
    ASSERT_EQ(0, service->setProfile("com.old2", 0.5f, 0.5f, 0.5f, false, true));
    ASSERT_EQ(0, service->mute("com.old", false));
    ASSERT_EQ(0, service->setDefaultProfile(0.5f, 0.5f, 0.5f, false));
    const std::set<std::string> files = settingsFiles();
    sp<IMemory> mem = service->getTrackCtlBlk(getpid(), 3);
    ASSERT_NE(nullptr, mem);
    const tnvl_cblk* block = tonvale_test::blockOf(mem);
    const std::vector<std::string> before = everything(self, block);

    const sp<Heard> listener = new Heard();
    ASSERT_EQ(NO_ERROR, service->registerListener(listener));
    tonvale_test::LogCapture log(ANDROID_LOG_ERROR);
    store->failAt(GetParam().step, GetParam().err);
    const std::vector<std::pair<const char*, std::function<int()>>> operations = {
        {"set", [&] { return service->setProfile(self, 0.25f, 0.25f, 0.25f, false, false); }},
        {"replace", [&] { return service->setProfile("com.old", 1, 1, 1, true, true); }},
        {"unset", [&] { return service->unsetProfile("com.old", true); }},
        {"mute", [&] { return service->mute(self, false); }},
        {"mute new table", [&] { return service->mute("com.new", true); }},
        {"unmute", [&] { return service->unmute("com.old", false); }},
        {"clear", [&] { return service->clear(); }},
        {"silent", [&] { return service->setDefaultSilent(true); }},
        {"weak key", [&] { return service->setWeakKeyAdjust(true); }},
        {"default", [&] { return service->setDefaultProfile(0.1f, 0.1f, 0.1f, true); }},
    };
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        EXPECT_EQ(-GetParam().err, operation());
        EXPECT_EQ(before, everything(self, block));
        // Listeners heard of it while it was in force, then that it was taken back.
        ASSERT_FALSE(listener->events().empty());
        EXPECT_EQ(0u, listener->events().back().find("{\"event\": \"resync\""));
    }
    EXPECT_EQ(files, settingsFiles());
    // One error line per failed save, naming the file.
    EXPECT_EQ(operations.size(), log.lines().size());
    EXPECT_EQ(1u, log.count("[Server]Settings not saved: " + settingsPath(kProfileFile) + ": " +
                            strerror(GetParam().err)));

    EXPECT_EQ(2 * operations.size(), listener->events().size());

    // Once the disk works again, a save carries nothing of what was refused.
    store->failAt(Step::kNone);
    EXPECT_EQ(0, service->mute("com.after", true));
    EXPECT_EQ(
        "{\"event\": \"muted\", \"seq\": 21, \"table\": \"package\", \"key\": "
        "\"com.after\"}",
        listener->events().back());
    EXPECT_EQ(0, service->saveAllData());
    sp<Tonvale> reloaded = new Tonvale(std::make_unique<FakeAccess>(), store);
    EXPECT_EQ(Keys{"com.old"}, keysOf(reloaded->muted(false)));
    EXPECT_EQ(Keys{"com.after"}, keysOf(reloaded->muted(true)));
    EXPECT_EQ(Keys{"com.old"}, keysOf(reloaded->profiles(false)));
    EXPECT_EQ((Keys{"com.old", "com.old2"}), keysOf(reloaded->profiles(true)));
    EXPECT_EQ("0.5,0.5,0.5,0", std::string(reloaded->getProfile("com.old", true).string()));
    EXPECT_EQ("0;false;false", std::string(reloaded->getSwitches().string()));
    EXPECT_EQ("0.5,0.5,0.5,0", std::string(reloaded->getDefaultProfile().string()));
}

INSTANTIATE_TEST_SUITE_P(FullAndReadOnly, DiskFaults,
                         testing::Values(Fault{Step::kOpen, ENOSPC}, Fault{Step::kWrite, ENOSPC},
                                         Fault{Step::kWriteAfterPart, ENOSPC},
                                         Fault{Step::kSync, ENOSPC}, Fault{Step::kRename, ENOSPC},
                                         Fault{Step::kOpen, EROFS}));

TEST_F(TonvaleSaving, SettingsThatWriteNoFileDoNotFail) {
    store->failAt(Step::kOpen, EROFS);
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
