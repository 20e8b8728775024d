// ITonvale over the host transport: a real Tonvale in a forked process, driven through raw
// parcels and through the proxy.
#include <binder/IMemory.h>
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <utils/String16.h>

#include "ServiceHarness.h"
#include "common/Blocks.h"
#include "common/Child.h"
#include "common/SettingsFiles.h"
#include "common/TestEnv.h"
#include "interface/BnTonvale.h"
#include "interface/BpTonvale.h"
#include "interface/ITonvale.h"
#include "interface/TonvaleClient.h"
#include "registry/tnvl_cblk.h"
#include "service/Tonvale.h"
#include "utils/Utils.h"

namespace android {
namespace {

/** A Tonvale that cannot serve the track of pid -7. */
class PickyTonvale : public Tonvale {
public:
    sp<IMemory> getTrackCtlBlk(int pid, int session) override {
        if (pid == -7) return nullptr;
        return Tonvale::getTrackCtlBlk(pid, session);
    }
};

class Transactions : public testing::Test {
protected:
    void SetUp() override {
        tonvale_test::clearSettingsDir();
        server = tonvale_test::startService([] { return sp<BBinder>(new PickyTonvale()); });
        ASSERT_TRUE(server.running());
        binder = defaultServiceManager()->checkService(String16("tonvale"));
        ASSERT_NE(nullptr, binder);
    }

    status_t call(uint32_t code, Parcel* data, Parcel* reply) {
        data->setDataPosition(0);
        return binder->transact(code, *data, reply, 0);
    }
    static void begin(Parcel* p) { p->writeInterfaceToken(ITonvale::descriptor); }
    std::string text(uint32_t code) {
        Parcel data, reply;
        begin(&data);
        EXPECT_EQ(NO_ERROR, call(code, &data, &reply));
        return reply.readString8().string();
    }

    tonvale_test::ChildGuard server;
    sp<IBinder> binder;
};

TEST_F(Transactions, DescriptorAndPing) {
    EXPECT_EQ(NO_ERROR, binder->pingBinder());
    // The interface token every client sends: renaming it would refuse them all.
    EXPECT_EQ(String16("io.kestrune.tonvale"), binder->getInterfaceDescriptor());
}

TEST_F(Transactions, WrongTokenIsRefusedForEveryCode) {
    for (uint32_t code = 1; code <= 22; ++code) {
        SCOPED_TRACE(code);
        Parcel data, reply;
        data.writeInterfaceToken(String16("io.kestrune.other"));
        data.writeInt32(getpid());
        data.writeInt32(1);
        EXPECT_EQ(PERMISSION_DENIED, call(code, &data, &reply));
        EXPECT_EQ(0u, reply.dataSize());
    }
    // Nothing was changed or registered.
    sp<ITonvale> service = interface_cast<ITonvale>(binder);
    EXPECT_EQ("{\n    \"pkgs\": [    ]\n}", std::string(service->listBuffers(1).string()));
    EXPECT_TRUE(tonvale_test::settingsFiles().empty());
}

TEST_F(Transactions, CodesOutsideTheInterfaceGoToTheBinder) {
    for (uint32_t code : {0u, 23u}) {
        Parcel data, reply;
        begin(&data);
        EXPECT_EQ(UNKNOWN_TRANSACTION, call(code, &data, &reply)) << code;
        EXPECT_EQ(0u, reply.dataSize());
    }
    // The service still answers its own codes.
    EXPECT_EQ("0;false;false", text(ITonvale::GET_SWITCHES));
}

TEST_F(Transactions, TextCodesReplyWithOneString8) {
    EXPECT_EQ("0;false;false", text(ITonvale::GET_SWITCHES));
    EXPECT_EQ("1,1,1,0", text(ITonvale::GET_DEFAULT_PROFILE));
    EXPECT_EQ("{\n    \"p_profiles\":\"\",\n\"w_profiles\":\"\"}", text(ITonvale::LIST_PROFILES));
    EXPECT_EQ("{\n    \"p_muted\":\"\",\n\"w_muted\":\"\"}", text(ITonvale::LIST_MUTED));
    EXPECT_EQ(std::string(sp<Tonvale>(new Tonvale())->getVersion().string()),
              text(ITonvale::GET_VERSION));
    EXPECT_EQ(0u, text(ITonvale::STATUS)
                      .find("Tonvale Status\n\nSelf pid = " + std::to_string(server.pid()) + "\n"));
    EXPECT_NE(std::string::npos, text(ITonvale::GET_OVR_STATUS).find("\"version_code\": \"1\""));
}

TEST_F(Transactions, IntCodesReplyWithTheResult) {
    struct Case {
        uint32_t code;
        std::function<void(Parcel*)> args;
    };
    const Case cases[] = {
        {ITonvale::SET_CONTROL_MODE, [](Parcel* p) { p->writeInt32(5); }},
        {ITonvale::SET_DEFAULT_SILENT, [](Parcel* p) { p->writeBool(true); }},
        {ITonvale::SET_WEAK_KEY_ADJUST, [](Parcel* p) { p->writeBool(true); }},
        {ITonvale::SET_DEFAULT_PROFILE,
         [](Parcel* p) {
             p->writeFloat(0.2f);
             p->writeFloat(0.3f);
             p->writeFloat(0.4f);
             p->writeBool(true);
         }},
        {ITonvale::MUTE,
         [](Parcel* p) {
             p->writeUtf8AsUtf16("com.m");
             p->writeBool(true);
         }},
        {ITonvale::UNMUTE,
         [](Parcel* p) {
             p->writeUtf8AsUtf16("com.n");
             p->writeBool(false);
         }},
        {ITonvale::UNSET_PROFILE,
         [](Parcel* p) {
             p->writeUtf8AsUtf16("com.none");
             p->writeBool(false);
         }},
        {ITonvale::RELEASE_BUFFER_FOR,
         [](Parcel* p) {
             p->writeInt32(999999);
             p->writeInt32(1);
         }},
        {ITonvale::RELEASE_ALL_BUFFER, [](Parcel*) {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        Parcel data, reply;
        begin(&data);
        c.args(&data);
        ASSERT_EQ(NO_ERROR, call(c.code, &data, &reply));
        EXPECT_EQ(4u, reply.dataSize());
        EXPECT_EQ(0, reply.readInt32());
    }
    EXPECT_EQ("0;true;true", text(ITonvale::GET_SWITCHES));
    EXPECT_EQ("0.2,0.3,0.4,1", text(ITonvale::GET_DEFAULT_PROFILE));
    EXPECT_EQ("{\n    \"p_muted\":\"\",\n\"w_muted\":\"com.m\"}", text(ITonvale::LIST_MUTED));
    EXPECT_EQ("1;0.2,0.3,0.4,1;MODE_UNDER_SYSTEM;true;true",
              tonvale_test::settingsText(tonvale_test::kSwitchFile));

    Parcel data, reply;
    begin(&data);
    ASSERT_EQ(NO_ERROR, call(ITonvale::CLEAR, &data, &reply));
    EXPECT_EQ(0, reply.readInt32());
    EXPECT_EQ("{\n    \"p_muted\":\"\",\n\"w_muted\":\"\"}", text(ITonvale::LIST_MUTED));
    EXPECT_EQ("1;0.2,0.3,0.4,1;MODE_UNDER_SYSTEM;true;true",
              tonvale_test::settingsText(tonvale_test::kSwitchFile));
}

TEST_F(Transactions, SetProfileKeepsItsArgumentOrder) {
    Parcel data, reply;
    begin(&data);
    data.writeUtf8AsUtf16("com.order");
    data.writeFloat(0.1f);
    data.writeFloat(0.2f);
    data.writeFloat(0.3f);
    data.writeBool(true);   // split_control
    data.writeBool(false);  // isweakkey
    ASSERT_EQ(NO_ERROR, call(ITonvale::SET_PROFILE, &data, &reply));
    EXPECT_EQ(0, reply.readInt32());
    sp<ITonvale> service = interface_cast<ITonvale>(binder);
    EXPECT_EQ("0.1,0.2,0.3,1", std::string(service->getProfile("com.order", false).string()));
    EXPECT_EQ("__NO_PROFILE", std::string(service->getProfile("com.order", true).string()));
}

TEST_F(Transactions, NonAsciiNameArrivesUnchanged) {
    const std::string name = "com.b\xC3\xA4r.\xE4\xBE\x8B:\xF0\x9F\x8E\xB5";  // ä, 例, 🎵
    sp<ITonvale> service = interface_cast<ITonvale>(binder);
    EXPECT_EQ(0, service->setProfile(name, 0.5f, 0.5f, 1.0f, false, false));
    EXPECT_EQ("0.5,0.5,1,0", std::string(service->getProfile(name, false).string()));
    EXPECT_EQ("{\n    \"p_profiles\":\"" + name + "\",\n\"w_profiles\":\"\"}",
              std::string(service->listProfiles().string()));
    EXPECT_EQ(name + "|0.5,0.5,1,0", tonvale_test::settingsText(tonvale_test::kProfileFile));
}

// Such a name cannot travel as UTF-16: the proxy refuses it rather than send another name.
TEST_F(Transactions, NamesThatAreNotUtf8AreNotSent) {
    sp<ITonvale> service = interface_cast<ITonvale>(binder);
    for (const std::string& bad : {std::string("caf\xe9"), std::string("\xff\xfe")}) {
        BpTonvale::resetLastStatus();
        EXPECT_EQ(BAD_VALUE, service->setProfile(bad, 0.5f, 0.25f, 1.0f, true, false));
        EXPECT_EQ(BAD_VALUE, service->unsetProfile(bad, false));
        EXPECT_EQ(BAD_VALUE, service->mute(bad, true));
        EXPECT_EQ(BAD_VALUE, service->unmute(bad, false));
        EXPECT_EQ("", std::string(service->getProfile(bad, false).string()));
        EXPECT_EQ(BAD_VALUE, BpTonvale::lastStatus());

        EXPECT_EQ(BAD_VALUE, mute(bad, false));
        EXPECT_EQ(BAD_VALUE, lastCallStatus());
        EXPECT_EQ("", getProfile(bad, false));
        EXPECT_EQ(BAD_VALUE, lastCallStatus());
    }
    EXPECT_EQ("{\n    \"p_profiles\":\"\",\n\"w_profiles\":\"\"}", text(ITonvale::LIST_PROFILES));
    EXPECT_EQ("{\n    \"p_muted\":\"\",\n\"w_muted\":\"\"}", text(ITonvale::LIST_MUTED));
    EXPECT_TRUE(tonvale_test::settingsFiles().empty());
}

TEST_F(Transactions, TrackThatCannotBeServedRepliesFalseAlone) {
    Parcel data, reply;
    begin(&data);
    data.writeInt32(-7);
    data.writeInt32(1);
    ASSERT_EQ(NO_ERROR, call(ITonvale::GET_TRACK_CTL_BLK, &data, &reply));
    EXPECT_EQ(4u, reply.dataSize());
    EXPECT_FALSE(reply.readBool());
    EXPECT_EQ(nullptr, interface_cast<ITonvale>(binder)->getTrackCtlBlk(-7, 1));
}

TEST_F(Transactions, ExportWithNoBlocksIsAnEmptyVector) {
    Parcel data, reply;
    begin(&data);
    ASSERT_EQ(NO_ERROR, call(ITonvale::EXPORT_ALL_MEM, &data, &reply));
    std::vector<sp<IBinder>> binders{nullptr};
    EXPECT_EQ(NO_ERROR, reply.readStrongBinderVector(&binders));
    EXPECT_TRUE(binders.empty());
    EXPECT_TRUE(interface_cast<ITonvale>(binder)->exportAllMem().empty());
    EXPECT_TRUE(getCblks().empty());
}

TEST_F(Transactions, BlockIsSharedBothWays) {
    sp<ITonvale> service = interface_cast<ITonvale>(binder);
    const int pid = getpid();
    sp<IMemory> mem = service->getTrackCtlBlk(pid, 42);
    ASSERT_NE(nullptr, mem);
    tnvl_cblk* cblk = tonvale_test::blockOf(mem);
    ASSERT_NE(nullptr, cblk);
    EXPECT_EQ(1, cblk->valid);
    EXPECT_EQ(pid, cblk->pid);
    EXPECT_EQ(42, cblk->session);
    EXPECT_FLOAT_EQ(1.0f, cblk->general);

    // A setting made by another process reaches the block by the time its call returns.
    const std::string name = Utils::ProcessControl::getCmdLine(getpid());
    ASSERT_EQ(0, tonvale_test::inChild([&] {
                  return setProfile(name, 0.5f, 0.25f, 0.125f, false, false) == 0 ? 0 : 1;
              }));
    EXPECT_FLOAT_EQ(0.5f, cblk->left);
    EXPECT_FLOAT_EQ(0.25f, cblk->right);
    EXPECT_FLOAT_EQ(0.125f, cblk->general);
    EXPECT_EQ(0, cblk->muted);
    ASSERT_EQ(0, mute(name, false));
    EXPECT_EQ(1, cblk->muted);

    // The service sees what the client writes.
    std::string listing = listBuffers(1);
    EXPECT_NE(std::string::npos, listing.find("\"isactive\": false"));
    cblk->active = 1;
    listing = listBuffers(1);
    EXPECT_NE(std::string::npos, listing.find("\"isactive\": true")) << listing;

    // getCblks() addresses stay mapped after the call and see the same block.
    std::vector<tnvl_cblk*> blocks = getCblks();
    ASSERT_EQ(1u, blocks.size());
    ASSERT_NE(nullptr, blocks[0]);
    EXPECT_EQ(42, blocks[0]->session);
    EXPECT_EQ(1, blocks[0]->active);
    EXPECT_EQ(1, blocks[0]->muted);

    EXPECT_EQ(0, service->releaseBufferFor(pid, 42));
    EXPECT_TRUE(service->exportAllMem().empty());
}

TEST_F(Transactions, WrappersReturnTheServiceResult) {
    EXPECT_EQ("0;false;false", getSwitches());
    EXPECT_EQ(NO_ERROR, lastCallStatus());
    EXPECT_EQ(0, setDefaultSilent(true));
    EXPECT_EQ(BAD_VALUE, mute(std::string("a\nb"), false));
    EXPECT_EQ(NO_ERROR, lastCallStatus());  // the service answered: a refusal, not a failure
    EXPECT_EQ("0;true;false", getSwitches());
}

TEST_F(Transactions, DeadServiceIsNotASuccess) {
    sp<ITonvale> service = interface_cast<ITonvale>(binder);
    EXPECT_EQ(0, service->setDefaultSilent(true));
    server.stop();
    EXPECT_EQ(DEAD_OBJECT, service->setDefaultSilent(false));
    EXPECT_EQ("", std::string(service->getSwitches().string()));
    EXPECT_EQ(nullptr, service->getTrackCtlBlk(getpid(), 1));
    EXPECT_TRUE(service->exportAllMem().empty());
}

}  // namespace
}  // namespace android
