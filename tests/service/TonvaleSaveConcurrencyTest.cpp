// While a settings file is being written, the service answers everything else: the change is
// already in the blocks, and only its own reply waits for the disk.
#include <binder/IMemory.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "common/Blocks.h"
#include "common/FakeAccess.h"
#include "common/SettingsFiles.h"
#include "common/Wait.h"
#include "service/ControlledStore.h"
#include "utils/Utils.h"

namespace android {
namespace {

constexpr auto kLongEnough = std::chrono::seconds(20);

class SaveHeld : public tonvale_test::SettingsDirTest {
protected:
    void SetUp() override {
        SettingsDirTest::SetUp();
        store = std::make_shared<ControlledStore>(tonvale_test::settingsDir());
        service = makeTonvale(&access, store);
    }
    // Never leave a change waiting on a held save.
    void TearDown() override { store->release(); }

    std::string profileOf(const std::string& name) {
        return service->getProfile(name, false).string();
    }

    FakeAccess* access = nullptr;
    std::shared_ptr<ControlledStore> store;
    sp<Tonvale> service;
};

TEST_F(SaveHeld, ReportsAndBlockRequestsDoNotWaitForTheDisk) {
    const std::string self = Utils::ProcessControl::getCmdLine(getpid());
    sp<IMemory> mem = service->getTrackCtlBlk(getpid(), 1);
    ASSERT_NE(nullptr, mem);
    tnvl_cblk* block = tonvale_test::blockOf(mem);

    store->hold();
    std::future<int> change = std::async(std::launch::async, [&] {
        return service->setProfile(self, 0.5f, 0.5f, 0.25f, false, false);
    });
    ASSERT_TRUE(store->waitUntilHeld());
    // The blocks follow before the file is written.
    EXPECT_FLOAT_EQ(0.25f, block->general);

    std::future<std::string> others = std::async(std::launch::async, [&] {
        service->status();
        service->listProfiles();
        service->listMuted();
        service->getOvrStatus();
        service->getSwitches();
        service->getVersion();
        service->getDefaultProfile();
        service->listBuffers(1);
        sp<IMemory> second = service->getTrackCtlBlk(getpid(), 2);
        const bool granted = second != nullptr;
        service->releaseBufferFor(getpid(), 2);
        service->exportAllMem();
        return (granted ? "granted " : "refused ") + profileOf(self);
    });
    const bool answered = others.wait_for(kLongEnough) == std::future_status::ready;
    // The change itself replies only once its file is written.
    const bool replied = change.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    store->release();
    EXPECT_TRUE(answered);
    EXPECT_FALSE(replied);
    EXPECT_EQ("granted 0.5,0.5,0.25,0", others.get());
    EXPECT_EQ(0, change.get());
    EXPECT_EQ(self + "|0.5,0.5,0.25,0", tonvale_test::settingsText(tonvale_test::kProfileFile));
}

TEST_F(SaveHeld, ChangesThatQueueBehindAWriteShareTheNextOne) {
    store->hold();
    std::vector<std::future<int>> changes;
    auto set = [this](const std::string& name) {
        return std::async(std::launch::async, [this, name] {
            return service->setProfile(name, 0.5f, 0.5f, 0.5f, false, false);
        });
    };
    changes.push_back(set("com.first"));
    ASSERT_TRUE(store->waitUntilHeld());
    std::vector<std::string> queued;
    for (int i = 0; i < 5; ++i) {
        queued.push_back("com.queued." + std::to_string(i));
        changes.push_back(set(queued.back()));
    }
    // Each change is in force, and so staged, before it waits for the disk.
    // Polled from another thread: a service that saved under its lock would hold this one.
    std::future<bool> staged = std::async(std::launch::async, [&] {
        return tonvale_test::waitUntil([&] {
            for (const std::string& name : queued) {
                if (profileOf(name) == "__NO_PROFILE") return false;
            }
            return true;
        });
    });
    const bool allStaged = staged.wait_for(kLongEnough) == std::future_status::ready && staged.get();
    if (!allStaged) store->release();  // end, then fail
    ASSERT_TRUE(allStaged);
    EXPECT_EQ(1, store->syncs.load());
    store->release();
    for (std::future<int>& c : changes) EXPECT_EQ(0, c.get());
    // The held write, then one write for the five that queued behind it.
    EXPECT_EQ(2, store->syncs.load());
    std::string expected = "com.first|0.5,0.5,0.5,0";
    for (const std::string& name : queued) expected += "\n" + name + "|0.5,0.5,0.5,0";
    EXPECT_EQ(expected, tonvale_test::settingsText(tonvale_test::kProfileFile));
}

}  // namespace
}  // namespace android
