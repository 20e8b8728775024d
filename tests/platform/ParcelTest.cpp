// Parcel encoding and decoding inside one process: libbinder's layout, bounds on every read,
// UTF-8/UTF-16 conversion and the object table.
#include <binder/Binder.h>
#include <binder/Parcel.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utils/String8.h>

namespace android {
namespace {

class Counted : public BBinder {
public:
    explicit Counted(int* alive) : mAlive(alive) { ++*mAlive; }
    ~Counted() override { --*mAlive; }

private:
    int* mAlive;
};

TEST(ParcelEncoding, PlainValuesUseLibbinderLayout) {
    Parcel p;
    p.writeInt32(-7);
    p.writeBool(true);
    p.writeFloat(0.5f);
    p.writeString16(String16("ab"));
    ASSERT_EQ(p.dataSize(), 4u + 4u + 4u + 4u + 8u);  // "ab" + NUL in UTF-16 padded to 8
    const uint8_t* d = p.data();
    int32_t v;
    memcpy(&v, d, 4);
    EXPECT_EQ(v, -7);
    memcpy(&v, d + 4, 4);
    EXPECT_EQ(v, 1);
    memcpy(&v, d + 12, 4);
    EXPECT_EQ(v, 2);
    char16_t text[3];
    memcpy(text, d + 16, sizeof(text));
    EXPECT_EQ(text[0], u'a');
    EXPECT_EQ(text[1], u'b');
    EXPECT_EQ(text[2], u'\0');
}

TEST(ParcelEncoding, RoundTripOfEveryValueType) {
    Parcel p;
    p.writeInt32(INT32_MIN);
    p.writeBool(false);
    p.writeBool(true);
    p.writeFloat(-1.25f);
    p.writeString8(String8("plain"));
    p.writeString8(String8(""));
    p.writeString16(String16("wide"));
    p.writeUtf8AsUtf16("Grüße 🎵 ok");
    p.writeUtf8AsUtf16("");
    p.setDataPosition(0);
    EXPECT_EQ(p.readInt32(), INT32_MIN);
    EXPECT_FALSE(p.readBool());
    EXPECT_TRUE(p.readBool());
    EXPECT_EQ(p.readFloat(), -1.25f);
    EXPECT_EQ(p.readString8(), String8("plain"));
    EXPECT_EQ(p.readString8(), String8(""));
    EXPECT_EQ(p.readString16(), String16("wide"));
    std::string s;
    EXPECT_EQ(p.readUtf8FromUtf16(&s), NO_ERROR);
    EXPECT_EQ(s, "Grüße 🎵 ok");
    s = "x";
    EXPECT_EQ(p.readUtf8FromUtf16(&s), NO_ERROR);
    EXPECT_EQ(s, "");
    EXPECT_EQ(p.dataAvail(), 0u);
}

TEST(ParcelEncoding, Utf8TravelsAsUtf16WithSurrogatePairs) {
    Parcel p;
    ASSERT_EQ(p.writeUtf8AsUtf16("é🎵"), NO_ERROR);
    p.setDataPosition(0);
    String16 wide = p.readString16();
    ASSERT_EQ(wide.size(), 3u);  // é, then the pair of U+1F3B5
    EXPECT_EQ(wide.string()[0], u'\u00e9');
    EXPECT_EQ(wide.string()[1], 0xd83c);
    EXPECT_EQ(wide.string()[2], 0xdfb5);
}

TEST(ParcelEncoding, InvalidUtfIsRefused) {
    Parcel p;
    EXPECT_EQ(p.writeUtf8AsUtf16(std::string("\xc3", 1)), BAD_VALUE);          // truncated
    EXPECT_EQ(p.writeUtf8AsUtf16(std::string("\xc0\xaf", 2)), BAD_VALUE);      // overlong
    EXPECT_EQ(p.writeUtf8AsUtf16(std::string("\xed\xa0\x80", 3)), BAD_VALUE);  // surrogate
    EXPECT_EQ(p.dataSize(), 0u);
    const char16_t lone[] = {u'a', 0xd800};
    p.writeString16(lone, 2);
    p.setDataPosition(0);
    std::string s = "keep";
    EXPECT_EQ(p.readUtf8FromUtf16(&s), BAD_VALUE);
}

TEST(ParcelDecoding, ReadsPastTheEndYieldDefaultsAndErrors) {
    Parcel p;
    p.writeInt32(5);
    p.setDataPosition(0);
    EXPECT_EQ(p.readInt32(), 5);
    EXPECT_EQ(p.readInt32(), 0);
    int32_t v = 9;
    EXPECT_EQ(p.readInt32(&v), NOT_ENOUGH_DATA);
    EXPECT_FALSE(p.readBool());
    EXPECT_EQ(p.readFloat(), 0.0f);
    EXPECT_EQ(p.readString8(), String8());
    String8 s8("x");
    EXPECT_NE(p.readString8(&s8), NO_ERROR);
    EXPECT_EQ(p.readString16(), String16());
    std::string s;
    EXPECT_EQ(p.readUtf8FromUtf16(&s), UNEXPECTED_NULL);
    EXPECT_EQ(p.readStrongBinder(), nullptr);
    EXPECT_LT(p.readFileDescriptor(), 0);
    std::vector<sp<IBinder>> binders;
    EXPECT_NE(p.readStrongBinderVector(&binders), NO_ERROR);
}

TEST(ParcelDecoding, LengthsBeyondTheDataAreRejected) {
    const int32_t lengths[] = {INT32_MAX, INT32_MAX - 1, 1000, -2};
    for (int32_t len : lengths) {
        Parcel p;
        p.writeInt32(len);
        p.writeInt32(0x00410041);
        p.setDataPosition(0);
        EXPECT_EQ(p.readString16(), String16()) << len;
        p.setDataPosition(0);
        EXPECT_EQ(p.readString8(), String8()) << len;
        p.setDataPosition(0);
        std::vector<sp<IBinder>> v;
        EXPECT_NE(p.readStrongBinderVector(&v), NO_ERROR) << len;
        EXPECT_TRUE(v.empty());
    }
}

TEST(ParcelDecoding, String16WithoutTerminatorIsRejected) {
    Parcel p;
    p.writeInt32(2);
    p.writeInt32(0x00420041);  // "AB"
    p.writeInt32(0x00430043);  // no NUL where one belongs
    p.setDataPosition(0);
    EXPECT_EQ(p.readString16(), String16());
}

TEST(ParcelDecoding, ForgedObjectsInPlainDataAreNotObjects) {
    Parcel src;
    sp<BBinder> b = new BBinder();
    src.writeStrongBinder(b);
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    src.writeFileDescriptor(fd, true);
    Parcel copy;
    ASSERT_EQ(copy.setData(src.data(), src.dataSize()), NO_ERROR);
    EXPECT_EQ(copy.objectsCount(), 0u);
    EXPECT_EQ(copy.readStrongBinder(), nullptr);
    EXPECT_LT(copy.readFileDescriptor(), 0);
}

TEST(ParcelDecoding, PlainReadsCannotOverlapAnObject) {
    Parcel p;
    p.writeStrongBinder(new BBinder());
    p.setDataPosition(0);
    int32_t v = 0;
    EXPECT_NE(p.readInt32(&v), NO_ERROR);
    p.setDataPosition(0);
    EXPECT_EQ(p.readInplace(8), nullptr);
}

TEST(ParcelObjects, BinderReferencesFollowTheParcel) {
    int alive = 0;
    {
        Parcel p;
        p.writeStrongBinder(new Counted(&alive));
        EXPECT_EQ(alive, 1);
        p.setDataPosition(0);
        sp<IBinder> got = p.readStrongBinder();
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->localBinder(), got.get());
    }
    EXPECT_EQ(alive, 0);
}

TEST(ParcelObjects, BinderVectorsRoundTripAndNullElementsFail) {
    std::vector<sp<IBinder>> in = {new BBinder(), new BBinder()};
    Parcel p;
    p.writeStrongBinderVector(in);
    p.writeStrongBinderVector(std::vector<sp<IBinder>>{nullptr});
    p.setDataPosition(0);
    std::vector<sp<IBinder>> out;
    ASSERT_EQ(p.readStrongBinderVector(&out), NO_ERROR);
    EXPECT_EQ(out, in);
    std::vector<sp<IBinder>> withNull;
    EXPECT_EQ(p.readStrongBinderVector(&withNull), UNEXPECTED_NULL);
}

TEST(ParcelObjects, OwnedDescriptorsAreClosedWithTheParcel) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int dupFd;
    {
        Parcel p;
        ASSERT_EQ(p.writeDupFileDescriptor(fd), NO_ERROR);
        p.setDataPosition(0);
        dupFd = p.readFileDescriptor();
        ASSERT_GE(dupFd, 0);
        EXPECT_NE(dupFd, fd);
        EXPECT_TRUE(p.hasFileDescriptors());
    }
    EXPECT_EQ(fcntl(dupFd, F_GETFD), -1);  // closed with the parcel
    EXPECT_NE(fcntl(fd, F_GETFD), -1);     // the caller's own stays open
    {
        Parcel p;
        ASSERT_EQ(p.writeFileDescriptor(fd, false), NO_ERROR);
    }
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    close(fd);
}

TEST(ParcelObjects, DescriptorsRefusedWhenNotAllowed) {
    Parcel p;
    p.pushAllowFds(false);
    EXPECT_EQ(p.writeFileDescriptor(0, false), FDS_NOT_ALLOWED);
    EXPECT_EQ(p.objectsCount(), 0u);
}

TEST(ParcelInterface, TokenMatchesOnlyItsOwnDescriptor) {
    Parcel p;
    p.writeInterfaceToken(String16("a.b.IFoo"));
    p.writeInt32(42);
    p.setDataPosition(0);
    EXPECT_TRUE(p.enforceInterface(String16("a.b.IFoo")));
    EXPECT_EQ(p.readInt32(), 42);
    p.setDataPosition(0);
    EXPECT_FALSE(p.enforceInterface(String16("a.b.IFo")));
    p.setDataPosition(0);
    EXPECT_FALSE(p.enforceInterface(String16("a.b.IFoox")));
    Parcel empty;
    EXPECT_FALSE(empty.enforceInterface(String16("a.b.IFoo")));
}

TEST(ParcelSize, PositionAndSizeFollowWrites) {
    Parcel p;
    p.writeInt32(1);
    p.writeInt32(2);
    EXPECT_EQ(p.dataPosition(), 8u);
    p.setDataPosition(4);
    EXPECT_EQ(p.dataAvail(), 4u);
    p.writeInt32(3);
    EXPECT_EQ(p.dataSize(), 8u);
    p.setDataPosition(100);
    EXPECT_EQ(p.dataAvail(), 0u);
    EXPECT_EQ(p.readInt32(), 0);
    ASSERT_EQ(p.setDataSize(4), NO_ERROR);
    p.setDataPosition(0);
    EXPECT_EQ(p.readInt32(), 1);
    EXPECT_EQ(p.readInt32(), 0);
}

}  // namespace
}  // namespace android
