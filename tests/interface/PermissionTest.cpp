// Who may call what, through the stub with a stand-in for the caller: reports for anyone,
// a track's own block for its own process, everything else for privileged callers only.
#include <binder/IMemory.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Requests.h"
#include "common/FakeAccess.h"
#include "common/SettingsFiles.h"
#include "common/TestEnv.h"
#include "interface/Access.h"
#include "interface/ITonvale.h"
#include "registry/MemManager.h"

namespace android {
namespace {

using tonvale_test::settingsText;

const uint32_t kReportCodes[] = {
    ITonvale::STATUS,
    ITonvale::GET_VERSION,
    ITonvale::GET_SWITCHES,
    ITonvale::LIST_PROFILES,
    ITonvale::LIST_MUTED,
    ITonvale::LIST_BUFFERS,
    ITonvale::GET_DEFAULT_PROFILE,
    ITonvale::GET_PROFILE,
    ITonvale::GET_OVR_STATUS,
};

const uint32_t kPrivilegedCodes[] = {
    ITonvale::EXPORT_ALL_MEM,
    ITonvale::RELEASE_ALL_BUFFER,
    ITonvale::SET_CONTROL_MODE,
    ITonvale::SET_DEFAULT_SILENT,
    ITonvale::SET_WEAK_KEY_ADJUST,
    ITonvale::SET_PROFILE,
    ITonvale::UNSET_PROFILE,
    ITonvale::MUTE,
    ITonvale::UNMUTE,
    ITonvale::CLEAR,
    ITonvale::SET_DEFAULT_PROFILE,
};

class Permissions : public tonvale_test::SettingsDirTest {
protected:
    void SetUp() override {
        SettingsDirTest::SetUp();
        service = makeTonvale(&access, std::make_shared<SettingsStore>(tonvale_test::settingsDir()));
    }

    /** Sends code with a well-formed request as the current fake caller. */
    status_t call(uint32_t code, Parcel* reply, int pid = getpid(), int session = 77) {
        Parcel data;
        data.writeInterfaceToken(ITonvale::descriptor);
        if (code == ITonvale::GET_TRACK_CTL_BLK || code == ITonvale::RELEASE_BUFFER_FOR) {
            data.writeInt32(pid);
            data.writeInt32(session);
        } else {
            writeRequestFields(code, &data, "com.kept");
        }
        data.setDataPosition(0);
        status_t st = service->onTransact(code, data, reply, 0);
        reply->setDataPosition(0);
        return st;
    }

    std::vector<std::string> files() {
        std::vector<std::string> texts;
        for (const std::string& f : tonvale_test::kSettingsFiles) {
            texts.push_back(tonvale_test::fileExists(tonvale_test::settingsPath(f)) ? settingsText(f)
                                                                                    : "<none>");
        }
        return texts;
    }

    FakeAccess* access = nullptr;
    sp<Tonvale> service;
};

TEST_F(Permissions, AnyoneReadsTheReports) {
    access->setCaller(getpid() + 1000, FakeAccess::kApp);
    for (uint32_t code : kReportCodes) {
        SCOPED_TRACE(code);
        Parcel reply;
        EXPECT_EQ(NO_ERROR, call(code, &reply));
        EXPECT_GT(reply.dataSize(), 4u);  // a text, never empty
    }
}

TEST_F(Permissions, ATrackMayServeItsOwnPidOnly) {
    access->setCaller(getpid(), FakeAccess::kApp);
    Parcel own;
    ASSERT_EQ(NO_ERROR, call(ITonvale::GET_TRACK_CTL_BLK, &own));
    ASSERT_TRUE(own.readBool());
    sp<IMemory> mem = interface_cast<IMemory>(own.readStrongBinder());
    ASSERT_NE(nullptr, mem);

    // Another process's tracks are not this caller's to create or release.
    Parcel other, release;
    EXPECT_EQ(PERMISSION_DENIED, call(ITonvale::GET_TRACK_CTL_BLK, &other, getppid()));
    EXPECT_EQ(0u, other.dataSize());
    EXPECT_EQ(PERMISSION_DENIED, call(ITonvale::RELEASE_BUFFER_FOR, &release, getppid()));
    EXPECT_EQ(0u, release.dataSize());
    // A caller that claims this process's pid while being another is refused too.
    access->setCaller(getppid(), FakeAccess::kApp);
    Parcel claimed;
    EXPECT_EQ(PERMISSION_DENIED, call(ITonvale::RELEASE_BUFFER_FOR, &claimed));
    EXPECT_EQ(1u, service->exportAllMem().size());

    access->setCaller(getpid(), FakeAccess::kApp);
    Parcel released;
    ASSERT_EQ(NO_ERROR, call(ITonvale::RELEASE_BUFFER_FOR, &released));
    EXPECT_EQ(0, released.readInt32());
    EXPECT_TRUE(service->exportAllMem().empty());
}

TEST_F(Permissions, EverythingElseIsRefusedAndChangesNothing) {
    // State to protect: settings in files, and a registered track of this process.
    ASSERT_EQ(0, service->setProfile("com.kept", 0.5f, 0.5f, 0.5f, false, false));
    ASSERT_EQ(0, service->mute("com.kept", true));
    ASSERT_EQ(0, service->setDefaultSilent(false));
    sp<IMemory> mine = service->getTrackCtlBlk(getpid(), 9);
    ASSERT_NE(nullptr, mine);
    const std::vector<std::string> before = files();
    const std::string listing = service->listBuffers(1).string();
    const std::string profiles = service->listProfiles().string();
    const std::string muted = service->listMuted().string();

    // An app, even one that names its own pid.
    access->setCaller(getpid(), FakeAccess::kApp);
    for (uint32_t code : kPrivilegedCodes) {
        SCOPED_TRACE(code);
        Parcel reply;
        EXPECT_EQ(PERMISSION_DENIED, call(code, &reply));
        EXPECT_EQ(0u, reply.dataSize());
    }

    EXPECT_EQ(before, files());
    EXPECT_EQ(listing, std::string(service->listBuffers(1).string()));
    EXPECT_EQ(profiles, std::string(service->listProfiles().string()));
    EXPECT_EQ(muted, std::string(service->listMuted().string()));
    EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
    EXPECT_EQ("1,1,1,0", std::string(service->getDefaultProfile().string()));
    EXPECT_EQ(1u, service->exportAllMem().size());
}

TEST_F(Permissions, PrivilegedCallersDoEverything) {
    // The audio server, from another process.
    access->setCaller(getpid() + 1000, FakeAccess::kAudioserver);
    for (uint32_t code : kPrivilegedCodes) {
        SCOPED_TRACE(code);
        Parcel reply;
        EXPECT_EQ(NO_ERROR, call(code, &reply));
    }
    Parcel block;
    ASSERT_EQ(NO_ERROR, call(ITonvale::GET_TRACK_CTL_BLK, &block, getpid(), 5));
    EXPECT_TRUE(block.readBool());
    Parcel release;
    ASSERT_EQ(NO_ERROR, call(ITonvale::RELEASE_BUFFER_FOR, &release, getpid(), 5));
    EXPECT_EQ(0, release.readInt32());
}

// Each block costs the service a descriptor and a mapping: an app gets a bounded number per
// pid, the audio server as many as it has tracks.
TEST_F(Permissions, AppsHoldABoundedNumberOfBlocksPerPid) {
    const size_t cap = MemManager::kMaxTracksPerLimitedPid;
    access->setCaller(getpid(), FakeAccess::kApp);
    size_t granted = 0;
    for (int session = 0; session < 1000; ++session) {
        Parcel reply;
        ASSERT_EQ(NO_ERROR, call(ITonvale::GET_TRACK_CTL_BLK, &reply, getpid(), session));
        if (reply.readBool()) ++granted;
    }
    EXPECT_EQ(cap, granted);

    access->setCaller(getpid() + 1000, FakeAccess::kAudioserver);
    for (int session = 1000; session < 1000 + static_cast<int>(cap) + 10; ++session) {
        Parcel reply;
        ASSERT_EQ(NO_ERROR, call(ITonvale::GET_TRACK_CTL_BLK, &reply, getpid(), session));
        EXPECT_TRUE(reply.readBool()) << session;
    }
    EXPECT_EQ(2 * cap + 10, service->exportAllMem().size());
}

TEST(RealAccess, ThisProcessOutsideATransactionAndItsOwnUidIsPrivileged) {
    Access access;
    const Access::CallingContext self = access.getCallingContext();
    EXPECT_EQ(getpid(), self.pid);
    EXPECT_EQ(getuid(), self.uid);
    EXPECT_TRUE(access.isPrivileged(self));
    EXPECT_TRUE(access.isPrivilegedUid(0));
    if (getuid() != 65534) {
        EXPECT_FALSE(access.isPrivilegedUid(65534));
    }
}

}  // namespace
}  // namespace android
