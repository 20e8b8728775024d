// Layouts that other processes or the reports depend on, checked on the machine the tests
// run on (the armhf build runs this under qemu-arm).
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "common/TestEnv.h"
#include "registry/MemManager.h"
#include "registry/tnvl_cblk.h"
#include "service/Tonvale.h"

namespace android {
namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t bitsOf(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof(u));
    return u;
}

// Audio clients read the block as raw little-endian bytes at fixed offsets.
TEST(TnvlCblkWireTest, FieldsLandAtTheirOffsetsLittleEndian) {
    ASSERT_EQ(4u, alignof(tnvl_cblk));

    uint8_t bytes[sizeof(tnvl_cblk)];
    memset(bytes, 0xEE, sizeof(bytes));
    tnvl_cblk* cblk = reinterpret_cast<tnvl_cblk*>(bytes);
    cblk->valid = 1;
    cblk->pid = 0x01020304;
    cblk->session = -2;
    cblk->left = 0.25f;
    cblk->right = 0.5f;
    cblk->general = 1.0f;
    cblk->muted = 1;
    cblk->active = 0x7F;

    EXPECT_EQ(1, bytes[0]);
    EXPECT_EQ(0x01020304u, le32(bytes + 4));
    EXPECT_EQ(0xFFFFFFFEu, le32(bytes + 8));
    EXPECT_EQ(bitsOf(0.25f), le32(bytes + 12));
    EXPECT_EQ(bitsOf(0.5f), le32(bytes + 16));
    EXPECT_EQ(bitsOf(1.0f), le32(bytes + 20));
    EXPECT_EQ(1, bytes[24]);
    EXPECT_EQ(0x7F, bytes[25]);
    // Padding is never written through the fields.
    EXPECT_EQ(0xEE, bytes[1]);
    EXPECT_EQ(0xEE, bytes[3]);
    EXPECT_EQ(0xEE, bytes[26]);
    EXPECT_EQ(0xEE, bytes[27]);
}

TEST(TnvlCblkWireTest, ClientWrittenActiveByteReadsBack) {
    uint8_t bytes[sizeof(tnvl_cblk)] = {};
    bytes[25] = 1;  // what a client's audio path stores
    const tnvl_cblk* cblk = reinterpret_cast<const tnvl_cblk*>(bytes);
    EXPECT_EQ(1, cblk->active);
    EXPECT_EQ(0, cblk->muted);
}

// Tests that need a second process rely on this; under qemu-arm glibc's fork() would crash.
TEST(TargetProcessTest, ForkedChildRunsAndReportsItsStatus) {
    const std::string path = tonvale_test::testRoot() + "/child-wrote";
    unlink(path.c_str());
    const pid_t parent = getpid();
    pid_t pid = tonvale_test::forkProcess();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const bool ok = getppid() == parent && tonvale_test::writeFile(path, "from child");
        _exit(ok ? 7 : 1);
    }
    EXPECT_EQ(7, tonvale_test::waitExit(pid));
    EXPECT_EQ("from child", tonvale_test::readFile(path));
}

// The daemon detaches with daemon(), i.e. glibc's fork(), after the process has run threads.
// Under qemu-arm that only works while ld.so and libc.so.6 come from the same glibc build.
TEST(TargetProcessTest, GlibcForkAfterThreadsWorks) {
    std::thread([] {}).join();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(getppid() > 0 ? 9 : 1);
    EXPECT_EQ(9, tonvale_test::waitExit(pid));
}

// The reports print the registry object's size (148 bytes on the 32-bit target).
TEST(TargetSizeTest, ReportsPrintTheManagerSize) {
    tonvale_test::clearSettingsDir();
    sp<Tonvale> t = new Tonvale();
    const std::string size = std::to_string(sizeof(MemManager));
    const std::string status = t->status().string();
    const std::string ovr = t->getOvrStatus().string();
    EXPECT_NE(std::string::npos, status.find("\nManager Mem Usage = " + size + " bytes\n\n"))
        << status;
    EXPECT_NE(std::string::npos, ovr.find("\"membytes\": \"" + size + "\",\n")) << ovr;
}

}  // namespace
}  // namespace android
