// Requests whose arguments are missing or malformed are refused whole: BAD_VALUE, an empty
// reply, and nothing changed or written.
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <utils/String16.h>

#include <cmath>
#include <string>

#include "Requests.h"
#include "common/FakeAccess.h"
#include "common/SettingsFiles.h"
#include "common/TestEnv.h"

namespace android {
namespace {

const uint32_t kCodesWithArguments[] = {
    ITonvale::GET_TRACK_CTL_BLK,
    ITonvale::RELEASE_BUFFER_FOR,
    ITonvale::SET_CONTROL_MODE,
    ITonvale::SET_DEFAULT_SILENT,
    ITonvale::SET_WEAK_KEY_ADJUST,
    ITonvale::SET_PROFILE,
    ITonvale::UNSET_PROFILE,
    ITonvale::MUTE,
    ITonvale::UNMUTE,
    ITonvale::LIST_BUFFERS,
    ITonvale::SET_DEFAULT_PROFILE,
    ITonvale::GET_PROFILE,
};

class MalformedRequests : public tonvale_test::SettingsDirTest {
protected:
    void SetUp() override {
        SettingsDirTest::SetUp();
        // Privileged, so that only the arguments can be the reason for a refusal.
        service = makeTonvale(&access, std::make_shared<SettingsStore>(tonvale_test::settingsDir()));
        Parcel token;
        token.writeInterfaceToken(ITonvale::descriptor);
        tokenSize = token.dataSize();
    }

    /** Sends the bytes of request, cut to size bytes. */
    status_t send(uint32_t code, const Parcel& request, size_t size, Parcel* reply) {
        Parcel data;
        data.setData(request.data(), size);
        data.setDataPosition(0);
        return service->onTransact(code, data, reply, 0);
    }

    status_t sendWhole(uint32_t code, const Parcel& request, Parcel* reply) {
        return send(code, request, request.dataSize(), reply);
    }

    /** The service as fresh as it started: no file, no setting, no block. */
    void expectUnchanged() {
        EXPECT_TRUE(tonvale_test::settingsFiles().empty());
        EXPECT_TRUE(service->profiles(false).isEmpty());
        EXPECT_TRUE(service->profiles(true).isEmpty());
        EXPECT_TRUE(service->muted(false).isEmpty());
        EXPECT_TRUE(service->muted(true).isEmpty());
        EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
        EXPECT_EQ("1,1,1,0", std::string(service->getDefaultProfile().string()));
        EXPECT_TRUE(service->exportAllMem().empty());
    }

    FakeAccess* access = nullptr;
    sp<Tonvale> service;
    size_t tokenSize = 0;
};

TEST_F(MalformedRequests, EveryTruncationOfEveryRequestIsRefused) {
    for (uint32_t code : kCodesWithArguments) {
        Parcel whole;
        writeRequest(code, &whole);
        ASSERT_GT(whole.dataSize(), tokenSize) << code;
        for (size_t size = tokenSize; size < whole.dataSize(); ++size) {
            SCOPED_TRACE(testing::Message() << "code " << code << ", " << size << " bytes");
            Parcel reply;
            EXPECT_EQ(BAD_VALUE, send(code, whole, size, &reply));
            EXPECT_EQ(0u, reply.dataSize());
        }
    }
    expectUnchanged();
}

TEST_F(MalformedRequests, NamesThatAreNotUtf16TextAreRefused) {
    const char16_t lone[] = {u'c', u'o', u'm', 0xD800, u'x'};
    const char16_t reversed[] = {u'a', 0xDC00, 0xD800};
    for (uint32_t code : {ITonvale::SET_PROFILE, ITonvale::UNSET_PROFILE, ITonvale::MUTE,
                          ITonvale::UNMUTE, ITonvale::GET_PROFILE}) {
        for (int form = 0; form < 3; ++form) {
            SCOPED_TRACE(testing::Message() << "code " << code << ", form " << form);
            Parcel data, reply;
            data.writeInterfaceToken(ITonvale::descriptor);
            if (form == 0) data.writeString16(String16(lone, 5));
            if (form == 1) data.writeString16(String16(reversed, 3));
            if (form == 2) data.writeInt32(-1);  // a null string
            // The rest of a well-formed request.
            if (code == ITonvale::SET_PROFILE) {
                for (int i = 0; i < 3; ++i) data.writeFloat(0.5f);
                data.writeBool(false);
            }
            data.writeBool(false);
            EXPECT_EQ(BAD_VALUE, sendWhole(code, data, &reply));
            EXPECT_EQ(0u, reply.dataSize());
        }
    }
    expectUnchanged();
}

TEST_F(MalformedRequests, BoolsAreZeroOrOne) {
    for (uint32_t code : {ITonvale::SET_DEFAULT_SILENT, ITonvale::SET_WEAK_KEY_ADJUST,
                          ITonvale::SET_PROFILE, ITonvale::UNSET_PROFILE, ITonvale::MUTE,
                          ITonvale::UNMUTE, ITonvale::SET_DEFAULT_PROFILE, ITonvale::GET_PROFILE}) {
        Parcel whole;
        writeRequest(code, &whole);
        // The last word of every such request is a bool; SET_PROFILE's second-last one too.
        for (size_t back : {4u, 8u}) {
            if (back == 8u && code != ITonvale::SET_PROFILE) continue;
            for (int32_t bad : {2, -1, 0x100}) {
                SCOPED_TRACE(testing::Message() << "code " << code << ", " << bad);
                Parcel data, reply;
                data.setData(whole.data(), whole.dataSize());
                data.setDataPosition(whole.dataSize() - back);
                data.writeInt32(bad);
                EXPECT_EQ(BAD_VALUE, sendWhole(code, data, &reply));
                EXPECT_EQ(0u, reply.dataSize());
            }
        }
    }
    expectUnchanged();
}

TEST_F(MalformedRequests, WellFormedRequestsStillWork) {
    for (uint32_t code : kCodesWithArguments) {
        SCOPED_TRACE(code);
        Parcel whole, reply;
        writeRequest(code, &whole);
        EXPECT_EQ(NO_ERROR, sendWhole(code, whole, &reply));
        EXPECT_GT(reply.dataSize(), 0u);
    }
    EXPECT_EQ("0.5,0.25,0.125,1", std::string(service->getDefaultProfile().string()));
}

TEST_F(MalformedRequests, VolumesThatAreNotFiniteAreRefusedByTheService) {
    for (float bad : {NAN, INFINITY, -INFINITY}) {
        Parcel data, reply;
        data.writeInterfaceToken(ITonvale::descriptor);
        data.writeUtf8AsUtf16("com.a");
        data.writeFloat(0.5f);
        data.writeFloat(bad);
        data.writeFloat(0.5f);
        data.writeBool(false);
        data.writeBool(false);
        ASSERT_EQ(NO_ERROR, sendWhole(ITonvale::SET_PROFILE, data, &reply));
        reply.setDataPosition(0);
        EXPECT_EQ(BAD_VALUE, reply.readInt32());

        Parcel def, defReply;
        def.writeInterfaceToken(ITonvale::descriptor);
        def.writeFloat(bad);
        def.writeFloat(0.5f);
        def.writeFloat(0.5f);
        def.writeBool(false);
        ASSERT_EQ(NO_ERROR, sendWhole(ITonvale::SET_DEFAULT_PROFILE, def, &defReply));
        defReply.setDataPosition(0);
        EXPECT_EQ(BAD_VALUE, defReply.readInt32());
    }
    expectUnchanged();
}

}  // namespace
}  // namespace android
