// Binder threads call the service at the same time; every entry point is serialised.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/SettingsFiles.h"
#include "common/Volumes.h"
#include "service/Tonvale.h"

namespace android {
namespace {

using tonvale_test::keysOf;

class TonvaleConcurrencyTest : public tonvale_test::SettingsDirTest {};

TEST_F(TonvaleConcurrencyTest, ParallelChangesAllLandInTablesAndFiles) {
    sp<Tonvale> t = new Tonvale();
    const int kThreads = 4;
    const int kNames = 25;
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([t, n] {
            for (int i = 0; i < kNames; ++i) {
                const std::string name = "com.t" + std::to_string(n) + "." + std::to_string(i);
                t->setProfile(name, 0.5f, 0.5f, 1.0f, (i & 1) != 0, n % 2 == 0);
                t->mute(name, false);
                t->unmute("gone." + name, true);
                t->getProfile(name, n % 2 == 0);
                t->listProfiles();
                t->listMuted();
                t->getSwitches();
                t->setDefaultSilent(i % 3 == 0);
                t->getDefaultProfile();
            }
        });
    }
    for (std::thread& th : threads) th.join();

    EXPECT_EQ(size_t(kThreads / 2 * kNames), t->profiles(false).size());
    EXPECT_EQ(size_t(kThreads / 2 * kNames), t->profiles(true).size());
    EXPECT_EQ(size_t(kThreads * kNames), t->muted(false).size());
    EXPECT_EQ(std::vector<std::string>{"NO_MUTE_HOLDER"}, keysOf(t->muted(true)));

    // The files hold the final tables, not a mix of two writers.
    sp<Tonvale> reloaded = new Tonvale();
    EXPECT_EQ(keysOf(t->profiles(false)), keysOf(reloaded->profiles(false)));
    EXPECT_EQ(keysOf(t->profiles(true)), keysOf(reloaded->profiles(true)));
    EXPECT_EQ(keysOf(t->muted(false)), keysOf(reloaded->muted(false)));
    EXPECT_EQ(std::string(t->listProfiles().string()),
              std::string(reloaded->listProfiles().string()));
    EXPECT_EQ(std::string(t->getSwitches().string()), std::string(reloaded->getSwitches().string()));
    EXPECT_EQ(tonvale_test::kSettingsFiles, tonvale_test::settingsFiles());
}

}  // namespace
}  // namespace android
