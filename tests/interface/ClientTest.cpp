// The client functions' lookup without a remote service, and with one that appears during its
// retries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

#include "ServiceHarness.h"
#include "common/Child.h"
#include "common/LookupText.h"
#include "common/Pipe.h"
#include "common/Service.h"
#include "common/TestEnv.h"
#include "common/Wait.h"
#include "interface/ITonvale.h"
#include "interface/TonvaleClient.h"
#include "service/Tonvale.h"

namespace android {
namespace {

using tonvale_test::kOfflineText;
using tonvale_test::kRetryLine;

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

TEST(Lookup, OfflineServiceCostsThreeLookupsAndTwoPauses) {
    StdoutCapture capture;
    const long long start = tonvale_test::nowMs();
    sp<ITonvale> service = getTonvale();
    const long long elapsed = tonvale_test::nowMs() - start;
    EXPECT_EQ(kRetryLine + kRetryLine + kOfflineText, capture.finish());
    EXPECT_EQ(nullptr, service);
    EXPECT_GE(elapsed, 190);
}

TEST(Lookup, WrappersWithoutServiceSayNotFound) {
    StdoutCapture capture;
    EXPECT_EQ("", getStatus());
    EXPECT_EQ(NAME_NOT_FOUND, lastCallStatus());
    EXPECT_EQ(NAME_NOT_FOUND, setDefaultSilent(true));
    EXPECT_EQ(NAME_NOT_FOUND, mute("com.a", false));
    EXPECT_TRUE(getCblks().empty());
    const std::string once = kRetryLine + kRetryLine + kOfflineText;
    EXPECT_EQ(once + once + once + once, capture.finish());
}

/**
 * Standard output into a pipe of one page that holds filler and room for exactly one retry
 * line: the lookup prints its first retry line, and a second one waits until the pipe is read.
 * So the service can be started after the first lookup failed, and is registered before the
 * last one, however slow the machine.
 */
class HeldStdout {
public:
    HeldStdout() {
        const long page = sysconf(_SC_PAGESIZE);
        if (!mPipe.ok() || fcntl(mPipe.writeEnd(), F_SETPIPE_SZ, page) != page) return;
        mFiller = static_cast<size_t>(page) - kRetryLine.size();
        const std::string filler(mFiller, '#');
        if (write(mPipe.writeEnd(), filler.data(), filler.size()) !=
            static_cast<ssize_t>(filler.size())) {
            return;
        }
        fflush(stdout);
        mSaved = dup(1);
        if (mSaved < 0 || dup2(mPipe.writeEnd(), 1) < 0) return;
        mPipe.closeWrite();  // standard output holds the only writing end
        mOk = true;
    }
    ~HeldStdout() { restore(); }
    bool ok() const { return mOk; }

    /** Waits until the first retry line is in the pipe; false after timeoutMs. */
    bool waitForFirstLine(int timeoutMs) {
        return tonvale_test::waitUntil(
            [this] {
                int queued = 0;
                return ioctl(mPipe.readEnd(), FIONREAD, &queued) == 0 &&
                       static_cast<size_t>(queued) >= mFiller + kRetryLine.size();
            },
            timeoutMs);
    }
    /** Everything printed, once standard output is restored; the filler left out. */
    std::string drain() {
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = read(mPipe.readEnd(), buf, sizeof(buf))) > 0) all.append(buf, n);
        return all.substr(std::min(all.size(), mFiller));
    }
    /** Puts the old standard output back, which ends the pipe. */
    void restore() {
        if (mSaved < 0) return;
        fflush(stdout);
        dup2(mSaved, 1);
        close(mSaved);
        mSaved = -1;
    }

private:
    tonvale_test::Pipe mPipe;
    size_t mFiller = 0;
    int mSaved = -1;
    bool mOk = false;
};

TEST(Lookup, ServiceAppearingDuringTheRetriesIsFound) {
    // The server is ready to go but registers only when told.
    tonvale_test::Pipe go;
    ASSERT_TRUE(go.ok());
    const pid_t parent = getpid();
    const pid_t pid = tonvale_test::forkProcess();
    if (pid == 0) {
        tonvale_test::dieWithParent(parent);
        go.closeWrite();
        char c;
        if (read(go.readEnd(), &c, 1) != 1) _exit(1);
        tonvale_test::serveAsTonvale([] { return sp<BBinder>(new Tonvale()); });
    }
    tonvale_test::ChildGuard server(pid);
    ASSERT_TRUE(server.running());
    go.closeRead();

    bool sawFirstLine = false;
    bool registered = false;
    std::string out;
    sp<ITonvale> service;
    {
        HeldStdout held;
        ASSERT_TRUE(held.ok());
        // No assertion until standard output is back: a failure message would wait on the pipe.
        std::thread starter([&] {
            sawFirstLine = held.waitForFirstLine(tonvale_test::kLongWaitMs);
            if (sawFirstLine && write(go.writeEnd(), "g", 1) == 1) {
                registered = tonvale_test::waitForService();
            }
            out = held.drain();
        });
        service = getTonvale();
        held.restore();
        starter.join();
    }
    ASSERT_TRUE(sawFirstLine) << out;
    ASSERT_TRUE(registered);
    ASSERT_NE(nullptr, service) << out;
    EXPECT_TRUE(out == kRetryLine || out == kRetryLine + kRetryLine) << out;
    EXPECT_EQ("0;false;false", std::string(service->getSwitches().string()));
}

}  // namespace
}  // namespace android
