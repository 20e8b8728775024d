// The client functions' lookup, and the meta-interface members, without a remote service.
#include <binder/IServiceManager.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <stdio.h>
#include <time.h>
#include <unistd.h>
#include <utils/String16.h>

#include "ServiceHarness.h"
#include "common/TestEnv.h"
#include "interface/ITonvale.h"
#include "interface/TonvaleClient.h"
#include "service/Tonvale.h"

namespace android {
namespace {

const std::string kRetry = "Tonvale is not working, retry...\n";
const std::string kOffline = "Tonvale is offline, check service status and selinux";

/** Captures what this process writes to standard output while it lives. */
class StdoutCapture {
public:
    StdoutCapture() : mPath(tonvale_test::testRoot() + "/stdout.txt") {
        fflush(stdout);
        mSaved = dup(1);
        int fd = open(mPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
    }
    std::string finish() {
        fflush(stdout);
        dup2(mSaved, 1);
        close(mSaved);
        return tonvale_test::readFile(mPath);
    }

private:
    std::string mPath;
    int mSaved;
};

#if defined(__SANITIZE_ADDRESS__)
using LeakDisabler = __lsan::ScopedDisabler;
#else
struct LeakDisabler {
    LeakDisabler() {}  // user-provided, so an unused instance is not a warning
};
#endif

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

TEST(Lookup, OfflineServiceCostsThreeLookupsAndTwoPauses) {
    StdoutCapture capture;
    const double start = nowSeconds();
    sp<ITonvale> service = getTonvale();
    const double elapsed = nowSeconds() - start;
    EXPECT_EQ(kRetry + kRetry + kOffline, capture.finish());
    EXPECT_EQ(nullptr, service);
    EXPECT_GE(elapsed, 0.19);
}

TEST(Lookup, WrappersWithoutServiceSayNotFound) {
    StdoutCapture capture;
    EXPECT_EQ("", getStatus());
    EXPECT_EQ(NAME_NOT_FOUND, lastCallStatus());
    EXPECT_EQ(NAME_NOT_FOUND, setDefaultSilent(true));
    EXPECT_EQ(NAME_NOT_FOUND, mute("com.a", false));
    EXPECT_TRUE(getCblks().empty());
    const std::string once = kRetry + kRetry + kOffline;
    EXPECT_EQ(once + once + once + once, capture.finish());
}

TEST(Lookup, ServiceAppearingDuringTheRetriesIsFound) {
    pid_t late = tonvale_test::forkProcess();
    if (late == 0) {
        usleep(120000);
        _exit(tonvale_test::startTonvale() > 0 ? 0 : 1);  // serves from a grandchild
    }
    StdoutCapture capture;
    sp<ITonvale> service = getTonvale();
    std::string out = capture.finish();
    ASSERT_EQ(0, tonvale_test::waitExit(late));
    ASSERT_NE(nullptr, service);
    EXPECT_TRUE(out == kRetry || out == kRetry + kRetry) << out;
    EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
    // The server is the grandchild; kill it through its registration.
    std::string status = service->status().string();
    int pid = atoi(status.substr(status.find("Self pid = ") + 11).c_str());
    tonvale_test::stopService(pid);
}

TEST(MetaInterface, LocalServiceIsReturnedItself) {
    sp<Tonvale> local = new Tonvale();
    sp<ITonvale> viaBinder = ITonvale::asInterface(IInterface::asBinder(local));
    EXPECT_EQ(static_cast<ITonvale*>(local.get()), viaBinder.get());
    EXPECT_EQ(nullptr, ITonvale::asInterface(nullptr));
    EXPECT_EQ(ITonvale::descriptor, local->getInterfaceDescriptor());
}

TEST(MetaInterface, DefaultImplIsSetOnceAndNeverEmpty) {
    EXPECT_FALSE(ITonvale::setDefaultImpl(nullptr));
    EXPECT_EQ(nullptr, ITonvale::getDefaultImpl());

    // Never held by sp<>, so the holder may own and delete them. libutils keeps the
    // reference record of an object deleted that way; that is libutils' business.
    [[maybe_unused]] LeakDisabler keepLibutilsRecords;
    Tonvale* first = new Tonvale();
    EXPECT_TRUE(ITonvale::setDefaultImpl(std::unique_ptr<ITonvale>(first)));
    EXPECT_FALSE(ITonvale::setDefaultImpl(std::unique_ptr<ITonvale>(new Tonvale())));
    EXPECT_EQ(first, ITonvale::getDefaultImpl().get());
    EXPECT_FALSE(ITonvale::setDefaultImpl(nullptr));
    EXPECT_EQ(first, ITonvale::getDefaultImpl().get());
}

}  // namespace
}  // namespace android
