// Who may call what, through the stub with a stand-in for the caller: reports that name no
// process for anyone, a track's own block for its own process, settings and the other
// reports for the system and the shell, every block at once for the system only.
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
#include "registry/tnvl_cblk.h"
#include "utils/Utils.h"

namespace android {
namespace {

using tonvale_test::settingsText;

const uint32_t kOpenReports[] = {
    ITonvale::GET_VERSION,
    ITonvale::GET_SWITCHES,
    ITonvale::GET_DEFAULT_PROFILE,
    ITonvale::GET_OVR_STATUS,
};

// Every code an app is refused: what names other processes, changes settings or reaches
// other tracks' blocks. The first two are the system's alone.
const uint32_t kPrivilegedCodes[] = {
    ITonvale::EXPORT_ALL_MEM,
    ITonvale::RELEASE_ALL_BUFFER,
    ITonvale::STATUS,
    ITonvale::LIST_PROFILES,
    ITonvale::LIST_MUTED,
    ITonvale::LIST_BUFFERS,
    ITonvale::GET_PROFILE,
    ITonvale::SET_CONTROL_MODE,
    ITonvale::SET_DEFAULT_SILENT,
    ITonvale::SET_WEAK_KEY_ADJUST,
    ITonvale::SET_PROFILE,
    ITonvale::UNSET_PROFILE,
    ITonvale::MUTE,
    ITonvale::UNMUTE,
    ITonvale::CLEAR,
    ITonvale::SET_DEFAULT_PROFILE,
    ITonvale::REGISTER_LISTENER,
    ITonvale::UNREGISTER_LISTENER,
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

TEST_F(Permissions, AppsReadOnlyTheReportsThatNameNoProcess) {
    access->setCaller(getpid() + 1000, FakeAccess::kApp);
    for (uint32_t code : kOpenReports) {
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

TEST_F(Permissions, TheShellOperatesAndTheSystemDoesEverything) {
    // The shell: every setting and report, but no other process's blocks.
    access->setCaller(getppid(), FakeAccess::kShell);
    for (size_t i = 2; i < sizeof(kPrivilegedCodes) / sizeof(kPrivilegedCodes[0]); ++i) {
        SCOPED_TRACE(kPrivilegedCodes[i]);
        Parcel reply;
        EXPECT_EQ(NO_ERROR, call(kPrivilegedCodes[i], &reply));
    }
    for (uint32_t code :
         {ITonvale::EXPORT_ALL_MEM, ITonvale::RELEASE_ALL_BUFFER, ITonvale::GET_TRACK_CTL_BLK}) {
        Parcel reply;
        EXPECT_EQ(PERMISSION_DENIED, call(code, &reply)) << code;
    }
    // The audio server, from another process, for this one's tracks.
    access->setCaller(getppid(), FakeAccess::kAudioserver);
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
    EXPECT_TRUE(service->exportAllMem().empty());
}

// An app asks for the very track the mixer reads, as a hostile one would: it gets a block of
// its own, and neither its writes nor its releases reach the mixer's.
TEST_F(Permissions, NothingAnAppDoesReachesTheMixersBlock) {
    const int session = 31;
    access->setCaller(getppid(), FakeAccess::kAudioserver);
    sp<IMemory> mixer = service->getTrackCtlBlk(getpid(), session);
    ASSERT_NE(nullptr, mixer);
    access->setCaller(getpid(), FakeAccess::kRoot);
    ASSERT_EQ(0, service->mute(Utils::ProcessControl::getCmdLine(getpid()), false));

    access->setCaller(getpid(), 65534);
    Parcel reply;
    ASSERT_EQ(NO_ERROR, call(ITonvale::GET_TRACK_CTL_BLK, &reply, getpid(), session));
    ASSERT_TRUE(reply.readBool());
    sp<IMemory> own = interface_cast<IMemory>(reply.readStrongBinder());
    ASSERT_NE(nullptr, own);
    tnvl_cblk* mine = static_cast<tnvl_cblk*>(own->pointer());
    ASSERT_NE(static_cast<void*>(mine), mixer->pointer());
    EXPECT_EQ(1, mine->muted);
    mine->muted = 0;
    mine->general = 9.0f;
    for (int i = 0; i < 3; ++i) {
        Parcel released;
        ASSERT_EQ(NO_ERROR, call(ITonvale::RELEASE_BUFFER_FOR, &released, getpid(), session));
    }

    const tnvl_cblk* read = static_cast<const tnvl_cblk*>(mixer->pointer());
    EXPECT_EQ(1, read->muted);
    EXPECT_EQ(1.0f, read->general);
    access->setCaller(getppid(), FakeAccess::kAudioserver);
    ASSERT_EQ(1u, service->exportAllMem().size());
    EXPECT_EQ(mixer->pointer(), service->exportAllMem()[0]->pointer());
    // Its blocks are bounded; the audio server's requests are not.
    access->setCaller(getpid(), 65534);
    size_t granted = 0;
    for (int s = 100; s < 1100; ++s) granted += service->getTrackCtlBlk(getpid(), s) != nullptr;
    EXPECT_EQ(MemManager::kMaxTracksPerAppPid, granted);
    access->setCaller(getppid(), FakeAccess::kAudioserver);
    EXPECT_NE(nullptr, service->getTrackCtlBlk(getpid(), 2000));
}

TEST(UidRoles, AndroidsAndTheHostsTables) {
    const Access::UidRoles android = Access::UidRoles::android(0);
    for (uid_t uid : {0u, 1000u, 1041u}) EXPECT_EQ(Access::Role::SYSTEM, android.roleOf(uid));
    EXPECT_EQ(Access::Role::SHELL, android.roleOf(2000));
    for (uid_t uid : {1001u, 1013u, 10123u, 65534u}) {
        EXPECT_EQ(Access::Role::APP, android.roleOf(uid)) << uid;
    }
    EXPECT_EQ(Access::Role::SYSTEM, Access::UidRoles::android(1066).roleOf(1066));
    const Access::UidRoles host = Access::UidRoles::host(1500);
    EXPECT_EQ(Access::Role::SYSTEM, host.roleOf(0));
    EXPECT_EQ(Access::Role::SYSTEM, host.roleOf(1500));
    for (uid_t uid : {1000u, 1041u, 2000u}) EXPECT_EQ(Access::Role::APP, host.roleOf(uid)) << uid;

    // This process, outside a transaction, is the service itself.
    Access access;
    const Access::CallingContext self = access.getCallingContext();
    EXPECT_EQ(getpid(), self.pid);
    EXPECT_EQ(getuid(), self.uid);
    EXPECT_TRUE(access.isPrivileged(self));
}

}  // namespace
}  // namespace android
