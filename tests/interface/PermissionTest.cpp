// Who may change what: a forked child drops to another uid and calls the service.
#include <binder/IMemory.h>
#include <binder/IServiceManager.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utils/String16.h>

#include "ServiceHarness.h"
#include "common/TestEnv.h"
#include "interface/BnTonvale.h"
#include "interface/ITonvale.h"

namespace android {
namespace {

constexpr uid_t kNobody = 65534;

/** Runs checks as uid 65534 in a child; returns how many failed. */
int asNobody(const std::function<int(const sp<ITonvale>&)>& checks) {
    return tonvale_test::inChild([&] {
        if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0) {
            perror("drop privileges");
            return 100;
        }
        sp<IBinder> binder = defaultServiceManager()->checkService(String16("tonvale"));
        if (binder == nullptr) return 101;
        return checks(interface_cast<ITonvale>(binder));
    });
}

#define CHILD_EXPECT(cond)                                                     \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

class Permissions : public testing::Test {
protected:
    void SetUp() override {
        if (getuid() != 0) GTEST_SKIP() << "needs root to drop to another uid";
        // The other uid must reach the rendezvous directory.
        chmod(tonvale_test::testRoot().c_str(), 0755);
        tonvale_test::clearSettingsDir();
        server = tonvale_test::startTonvale();
        ASSERT_GT(server, 0);
        service =
            interface_cast<ITonvale>(defaultServiceManager()->checkService(String16("tonvale")));
        ASSERT_NE(nullptr, service);
    }
    void TearDown() override { tonvale_test::stopService(server); }

    pid_t server = -1;
    sp<ITonvale> service;
};

TEST(AccessTable, CodesAsBuilt) {
    using A = BnTonvale::Access;
    for (uint32_t code : {1, 6, 7, 8, 9, 18, 19, 21, 22}) {
        EXPECT_EQ(A::ANYONE, BnTonvale::accessFor(code)) << code;
    }
    for (uint32_t code : {2, 4}) EXPECT_EQ(A::OWN_PID, BnTonvale::accessFor(code)) << code;
    for (uint32_t code : {3, 5, 10, 11, 12, 13, 14, 15, 16, 17, 20}) {
        EXPECT_EQ(A::PRIVILEGED, BnTonvale::accessFor(code)) << code;
    }
    EXPECT_TRUE(BnTonvale::isPrivilegedUid(0));
    EXPECT_TRUE(BnTonvale::isPrivilegedUid(getuid()));
    EXPECT_FALSE(BnTonvale::isPrivilegedUid(kNobody));
}

TEST_F(Permissions, AnyoneReadsTheReports) {
    const std::string switches = service->getSwitches().string();
    EXPECT_EQ(
        0, asNobody([&](const sp<ITonvale>& s) {
            int failures = 0;
            CHILD_EXPECT(std::string(s->getSwitches().string()) == switches);
            CHILD_EXPECT(std::string(s->status().string()).find("Tonvale Status") == 0);
            CHILD_EXPECT(s->getVersion().length() > 0);
            CHILD_EXPECT(s->listProfiles().length() > 0);
            CHILD_EXPECT(s->listMuted().length() > 0);
            CHILD_EXPECT(s->listBuffers(1).length() > 0);
            CHILD_EXPECT(std::string(s->getDefaultProfile().string()) == "1,1,1,0");
            CHILD_EXPECT(std::string(s->getProfile("com.a", false).string()) == "__NO_PROFILE");
            CHILD_EXPECT(s->getOvrStatus().length() > 0);
            return failures;
        }));
}

TEST_F(Permissions, ATrackMayServeItsOwnPidOnly) {
    EXPECT_EQ(0, asNobody([&](const sp<ITonvale>& s) {
                  int failures = 0;
                  sp<IMemory> own = s->getTrackCtlBlk(getpid(), 5);
                  CHILD_EXPECT(own != nullptr && own->pointer() != nullptr);
                  CHILD_EXPECT(s->releaseBufferFor(getpid(), 5) == 0);
                  CHILD_EXPECT(s->getTrackCtlBlk(getppid(), 5) == nullptr);
                  CHILD_EXPECT(s->releaseBufferFor(getppid(), 5) == PERMISSION_DENIED);
                  return failures;
              }));
    EXPECT_TRUE(service->exportAllMem().empty());
}

TEST_F(Permissions, EverythingElseIsRefusedAndChangesNothing) {
    // State to protect: settings in files, and a registered track of this process.
    ASSERT_EQ(0, service->setProfile("com.kept", 0.5f, 0.5f, 0.5f, false, false));
    ASSERT_EQ(0, service->mute("com.kept", true));
    ASSERT_EQ(0, service->setDefaultSilent(false));
    sp<IMemory> mine = service->getTrackCtlBlk(getpid(), 9);
    ASSERT_NE(nullptr, mine);
    const std::string dir = tonvale_test::settingsDir();
    const char* files[] = {"tonvale_config.prof", "tonvale_volume_profile.prof",
                           "tonvale_muted_profile.prof", "tonvale_weakkeyed_profile.prof",
                           "tonvale_weakkeyed_muted.prof"};
    std::vector<std::string> before;
    for (const char* f : files) before.push_back(tonvale_test::readFile(dir + f));
    const std::string listing = service->listBuffers(1).string();
    const std::string profiles = service->listProfiles().string();

    EXPECT_EQ(0, asNobody([&](const sp<ITonvale>& s) {
                  int failures = 0;
                  const int denied = PERMISSION_DENIED;
                  CHILD_EXPECT(s->exportAllMem().empty());
                  CHILD_EXPECT(s->releaseAllBuffer() == denied);
                  CHILD_EXPECT(s->setControlMode(1) == denied);
                  CHILD_EXPECT(s->setDefaultSilent(true) == denied);
                  CHILD_EXPECT(s->setWeakKeyAdjust(true) == denied);
                  CHILD_EXPECT(s->setProfile("com.kept", 0, 0, 0, false, false) == denied);
                  CHILD_EXPECT(s->unsetProfile("com.kept", false) == denied);
                  CHILD_EXPECT(s->mute("com.evil", false) == denied);
                  CHILD_EXPECT(s->unmute("com.kept", true) == denied);
                  CHILD_EXPECT(s->clear() == denied);
                  CHILD_EXPECT(s->setDefaultProfile(0, 0, 0, true) == denied);
                  return failures;
              }));

    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i], tonvale_test::readFile(dir + files[i])) << files[i];
    }
    EXPECT_EQ(listing, std::string(service->listBuffers(1).string()));
    EXPECT_EQ(profiles, std::string(service->listProfiles().string()));
    EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
    EXPECT_EQ("1,1,1,0", std::string(service->getDefaultProfile().string()));

    // Root still does everything.
    EXPECT_EQ(1u, service->exportAllMem().size());
    EXPECT_EQ(0, service->clear());
    EXPECT_EQ(0, service->releaseAllBuffer());
    EXPECT_TRUE(service->exportAllMem().empty());
}

}  // namespace
}  // namespace android
