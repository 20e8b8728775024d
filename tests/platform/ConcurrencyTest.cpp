// Many callers at once: threads of this process and forked processes, each checking that it
// gets its own answers.
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "EchoService.h"
#include "common/TestEnv.h"

namespace android {
namespace platform_test {
namespace {

bool echoOnce(const sp<IBinder>& echo, int32_t value, uint32_t code) {
    Parcel data, reply;
    data.writeInterfaceToken(String16(kEchoDescriptor));
    data.writeInt32(value);
    if (code == ECHO) {
        data.writeBool(value & 1);
        data.writeFloat(static_cast<float>(value));
        data.writeString8(String8::format("v%d", value));
        data.writeString16(String16("x"));
        data.writeUtf8AsUtf16("ü");
    }
    if (echo->transact(code, data, &reply) != NO_ERROR) return false;
    if (reply.readInt32() != value) return false;
    if (code != ECHO) return true;
    return reply.readBool() == static_cast<bool>(value & 1) &&
           reply.readFloat() == static_cast<float>(value) &&
           reply.readString8() == String8::format("v%d", value);
}

TEST(TransportConcurrency, ManyThreadsAndProcessesGetTheirOwnReplies) {
    tonvale_test::ChildGuard server = startEchoServer();
    sp<IBinder> echo = defaultServiceManager()->getService(String16(kEchoName));
    ASSERT_NE(echo, nullptr);

    constexpr int kProcesses = 4;
    constexpr int kThreads = 8;
    constexpr int kCalls = 200;
    std::vector<tonvale_test::ChildGuard> children;
    for (int p = 0; p < kProcesses; ++p) {
        tonvale_test::ChildGuard child(tonvale_test::forkProcess());
        if (child.pid() == 0) {
            sp<IBinder> own = defaultServiceManager()->checkService(String16(kEchoName));
            if (own == nullptr) _exit(2);
            for (int i = 0; i < kCalls; ++i) {
                if (!echoOnce(own, (p + 1) * 100000 + i, i % 8 == 0 ? DELAYED_ECHO : ECHO)) {
                    _exit(3);
                }
            }
            _exit(0);
        }
        children.push_back(std::move(child));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                if (!echoOnce(echo, -(t + 1) * 100000 - i, i % 8 == 0 ? DELAYED_ECHO : ECHO)) {
                    failures++;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (tonvale_test::ChildGuard& c : children) EXPECT_EQ(c.wait(), 0);
    echo.clear();
    server.stop();
}

TEST(TransportConcurrency, CallsFromDifferentClientsRunAtTheSameTime) {
    tonvale_test::ChildGuard server = startEchoServer();
    sp<IBinder> echo = defaultServiceManager()->getService(String16(kEchoName));
    ASSERT_NE(echo, nullptr);
    constexpr int kChildren = 6;
    std::vector<tonvale_test::ChildGuard> children;
    for (int p = 0; p < kChildren; ++p) {
        tonvale_test::ChildGuard child(tonvale_test::forkProcess());
        if (child.pid() == 0) {
            sp<IBinder> own = defaultServiceManager()->checkService(String16(kEchoName));
            for (int i = 0; own != nullptr && i < 50; ++i) {
                if (!echoOnce(own, i, DELAYED_ECHO)) _exit(3);
            }
            _exit(own == nullptr ? 2 : 0);
        }
        children.push_back(std::move(child));
    }
    for (tonvale_test::ChildGuard& c : children) EXPECT_EQ(c.wait(), 0);
    Parcel data, reply;
    data.writeInterfaceToken(String16(kEchoDescriptor));
    ASSERT_EQ(echo->transact(MAX_OVERLAP, data, &reply), NO_ERROR);
    const int overlap = reply.readInt32();
    EXPECT_GT(overlap, 1) << "transactions of different clients ran one at a time";
    EXPECT_LE(overlap, 16);  // pool threads: at most 15 plus the main one
    echo.clear();
    server.stop();
}

}  // namespace
}  // namespace platform_test
}  // namespace android
