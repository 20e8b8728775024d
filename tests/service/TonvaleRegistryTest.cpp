// The service object with its track registry: reports, blocks kept in line with the
// settings, and every entry point at once.
#include <binder/IMemory.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/TestEnv.h"
#include "registry/MemManager.h"
#include "registry/tnvl_cblk.h"
#include "service/Tonvale.h"
#include "utils/Utils.h"

namespace android {
namespace {

std::string str(const String8& s) {
    return std::string(s.string(), s.length());
}

std::string header() {
    return "Tonvale Status\n\nSelf pid = " + std::to_string(getpid()) +
           "\nManager Mem Usage = " + std::to_string(sizeof(MemManager)) + " bytes\n\n";
}

std::string ovr(unsigned playing, unsigned pp, unsigned pm, unsigned wp, unsigned wm) {
    char buf[512];
    snprintf(buf, sizeof(buf),
             "{\n    \"membytes\": \"%zu\",\n    \"playingcount\": \"%u\",\n    \"pp_count\": "
             "\"%u\",\n    \"pm_count\": \"%u\",\n    \"wp_count\": \"%u\",\n    \"wm_count\": "
             "\"%u\",\n    \"version_code\": \"1\"\n}\n",
             sizeof(MemManager), playing, pp, pm, wp, wm);
    return buf;
}

class TonvaleRegistry : public testing::Test {
protected:
    void SetUp() override {
        tonvale_test::clearSettingsDir();
        service = new Tonvale();
        self = Utils::ProcessControl::getCmdLine(getpid());
    }
    tnvl_cblk* block(int session) {
        sp<IMemory> mem = service->getTrackCtlBlk(getpid(), session);
        held.push_back(mem);
        return mem == nullptr ? nullptr : static_cast<tnvl_cblk*>(mem->pointer());
    }

    sp<Tonvale> service;
    std::string self;
    std::vector<sp<IMemory>> held;
};

TEST_F(TonvaleRegistry, ReportsOfAnEmptyService) {
    EXPECT_EQ(header() + "Dump for MemManager\n", str(service->status()));
    EXPECT_EQ(ovr(0, 0, 0, 0, 0), str(service->getOvrStatus()));
    EXPECT_EQ("{\n    \"pkgs\": [    ]\n}", str(service->listBuffers(1)));
    EXPECT_EQ("", str(service->listBuffers(0)));

    const std::string path = tonvale_test::testRoot() + "/dump.txt";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(NO_ERROR, service->dump(fd, Vector<String16>()));
    close(fd);
    EXPECT_EQ(str(service->status()), tonvale_test::readFile(path));
}

TEST_F(TonvaleRegistry, OverviewCountsTheMuteHolderAsEmpty) {
    service->mute("com.a", false);
    service->unmute("com.a", false);
    service->setProfile("com.p", 1, 1, 1, false, false);
    service->setProfile("com.w", 1, 1, 1, false, true);
    service->mute("com.w", true);
    EXPECT_EQ(ovr(0, 1, 0, 1, 1), str(service->getOvrStatus()));

    // A hand-edited file can hold the holder beside another key: both count.
    tonvale_test::writeFile(tonvale_test::settingsDir() + "tonvale_muted_profile.prof",
                            "NO_MUTE_HOLDER\ncom.x");
    sp<Tonvale> reloaded = new Tonvale();
    EXPECT_EQ(ovr(0, 1, 2, 1, 1), str(reloaded->getOvrStatus()));
    EXPECT_EQ("{\n    \"p_muted\":\"com.x\",\n\"w_muted\":\"com.w\"}", str(reloaded->listMuted()));
}

TEST_F(TonvaleRegistry, BlocksFollowEveryChangeBeforeTheCallReturns) {
    tnvl_cblk* cblk = block(3);
    ASSERT_NE(nullptr, cblk);
    EXPECT_EQ(1, cblk->valid);
    EXPECT_EQ(getpid(), cblk->pid);
    EXPECT_EQ(3, cblk->session);
    EXPECT_FLOAT_EQ(1.0f, cblk->left);

    service->setProfile(self, 0.5f, 0.5f, 0.5f, false, false);
    EXPECT_FLOAT_EQ(0.5f, cblk->general);
    service->setProfile(self, 0.5f, 1.0f, 0.2f, false, true);  // package == name here
    EXPECT_FLOAT_EQ(0.25f, cblk->left);
    EXPECT_FLOAT_EQ(0.5f, cblk->right);
    EXPECT_FLOAT_EQ(0.1f, cblk->general);
    service->mute(self, true);
    EXPECT_EQ(1, cblk->muted);
    service->unmute(self, true);
    EXPECT_EQ(0, cblk->muted);
    service->unsetProfile(self, true);
    EXPECT_FLOAT_EQ(0.5f, cblk->left);

    // The defaults reach a process without a profile at once, and its further tracks.
    service->unsetProfile(self, false);
    service->setDefaultSilent(true);
    EXPECT_FLOAT_EQ(0.0f, cblk->general);
    tnvl_cblk* second = block(4);
    ASSERT_NE(nullptr, second);
    EXPECT_FLOAT_EQ(0.0f, second->general);
    service->setDefaultSilent(false);
    EXPECT_FLOAT_EQ(1.0f, cblk->general);
    service->setDefaultProfile(0.7f, 0.6f, 0.5f, false);
    EXPECT_FLOAT_EQ(0.6f, cblk->right);
    EXPECT_FLOAT_EQ(0.5f, second->general);

    // A refused name changes no block.
    EXPECT_EQ(BAD_VALUE, service->mute(self + "\n", false));
    EXPECT_EQ(0, cblk->muted);

    EXPECT_EQ(2u, service->exportAllMem().size());
    EXPECT_EQ(0, service->releaseBufferFor(getpid(), 3));
    EXPECT_EQ(1u, service->exportAllMem().size());
    EXPECT_EQ(0, service->releaseAllBuffer());
    EXPECT_TRUE(service->exportAllMem().empty());
    EXPECT_EQ(ovr(0, 0, 0, 0, 0), str(service->getOvrStatus()));
}

TEST_F(TonvaleRegistry, EveryEntryPointAtOnce) {
    constexpr int kRounds = 150;
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    auto spawn = [&](std::function<void(int)> body) {
        threads.emplace_back([&, body] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) body(i);
        });
    };
    const int devnull = open("/dev/null", O_WRONLY);
    spawn([&](int i) {
        if (service->setProfile(self, 0.5f, 0.5f, i / 1000.0f, false, i % 2) != 0) ++failures;
    });
    spawn([&](int i) {
        (i % 2 ? service->mute(self, i % 4 == 1) : service->unmute(self, i % 4 == 0));
    });
    spawn([&](int i) {
        sp<IMemory> mem = service->getTrackCtlBlk(getpid(), i % 7);
        if (mem == nullptr) ++failures;
        service->releaseBufferFor(getpid(), (i + 3) % 7);
    });
    spawn([&](int i) {
        if (i % 10 == 0) service->releaseAllBuffer();
        for (const sp<IMemory>& mem : service->exportAllMem()) {
            if (mem == nullptr || mem->pointer() == nullptr) ++failures;
        }
    });
    spawn([&](int) {
        if (service->listBuffers(1).length() == 0) ++failures;
        if (service->status().length() == 0) ++failures;
        service->dump(devnull, Vector<String16>());
        if (service->getOvrStatus().length() == 0) ++failures;
    });
    spawn([&](int i) {
        if (i % 25 == 0) service->clear();
        service->setDefaultSilent(i % 3 == 0);
        service->listProfiles();
        service->listMuted();
    });
    go = true;
    for (std::thread& t : threads) t.join();
    close(devnull);
    EXPECT_EQ(0, failures.load());

    // Still consistent: a fresh change reaches a fresh block.
    service->clear();
    service->setDefaultSilent(false);
    tnvl_cblk* cblk = block(100);
    ASSERT_NE(nullptr, cblk);
    service->setProfile(self, 0.3f, 0.3f, 0.3f, false, false);
    EXPECT_FLOAT_EQ(0.3f, cblk->general);
    EXPECT_EQ(0, cblk->muted);
}

}  // namespace
}  // namespace android
