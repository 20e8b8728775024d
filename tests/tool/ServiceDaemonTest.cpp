// The daemon's decisions that need no daemon: running the process listing and reading it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/TestEnv.h"
#include "service/DeviceLayout.h"
#include "tool/ServiceDaemon.h"

namespace android {
namespace {

const std::string kHeader = "  PID STAT  CMDLINE\n";

std::vector<pid_t> daemonsIn(const std::string& listing, pid_t self) {
    std::vector<pid_t> daemons;
    std::string error;
    EXPECT_TRUE(ServiceDaemon::parseListing(listing, self, &daemons, &error)) << error;
    return daemons;
}

std::string refusal(const std::string& listing, pid_t self) {
    std::vector<pid_t> daemons;
    std::string error;
    EXPECT_FALSE(ServiceDaemon::parseListing(listing, self, &daemons, &error)) << listing;
    EXPECT_TRUE(daemons.empty());
    return error;
}

TEST(ServiceDaemonListing, CountsDetachedTonvaleServicesOtherThanSelf) {
    const std::string listing = kHeader +
                                "    1 Ss    /init\n"
                                "  100 Ss    /system/bin/tonvale --service\n"
                                "  200 S     tonvale --service\n"
                                "  300 Ssl   tonvale --service --force\n"
                                "  400 S     /system/bin/tonvale --status\n"
                                " 4242 S     tonvale --service\n";
    EXPECT_EQ((std::vector<pid_t>{100, 300}), daemonsIn(listing, 4242));
    // The order of the lines plays no part: self first or last, the others still count.
    EXPECT_EQ((std::vector<pid_t>{100}),
              daemonsIn(kHeader + " 4242 Ss tonvale --service\n  100 Ss tonvale --service\n", 4242));
}

TEST(ServiceDaemonListing, WrappersCarryingTheWordsAreNotDaemons) {
    // A session leader wrapper (su and sh as started from a device shell) with the words in it.
    const std::string listing = kHeader +
                                "  10 Ss  su root -c tonvale --service\n"
                                "  11 Ss  sh -c tonvale --service\n"
                                "  12 Ss  timeout 10 tonvale --service\n"
                                "  13 Ss  strace -f /system/bin/tonvale --service\n"
                                "  14 Ss  /bin/sudo tonvale --service\n"
                                "  15 Ss  /bin/tonvale-old --service\n"
                                "  16 Ss  tonvale\n"
                                "  17 Ss  [tonvale]\n"
                                "  77 S   tonvale --service\n";
    EXPECT_TRUE(daemonsIn(listing, 77).empty());
}

TEST(ServiceDaemonListing, AnInvocationStillDecidingIsNotADaemon) {
    // Two starts at once see each other before either has detached: neither may refuse.
    EXPECT_TRUE(
        daemonsIn(kHeader + "  50 S+ tonvale --service\n  51 S+ tonvale --service\n", 51).empty());
}

TEST(ServiceDaemonListing, IdsCompareAsWholeNumbers) {
    EXPECT_EQ((std::vector<pid_t>{7, 777}),
              daemonsIn(kHeader + "  7 Ss tonvale --service\n 77 S tonvale --service\n"
                                  "777 Ss tonvale --service\n",
                        77));
}

TEST(ServiceDaemonListing, AListingThatCannotTellIsRefused) {
    EXPECT_NE("", refusal("", 1));
    EXPECT_NE("", refusal("\n\n", 1));
    // No header: not the output of the listing command.
    EXPECT_NE("", refusal("  1 Ss tonvale --service\n", 1));
    // The own process is always listed; a listing without it missed processes.
    EXPECT_NE("", refusal(kHeader + "  100 Ss tonvale --service\n", 4242));
    EXPECT_NE("", refusal(kHeader, 4242));
    EXPECT_NE("", refusal(kHeader + " 4242 S tonvale --service\n  x1 Ss tonvale --service\n", 4242));
    EXPECT_NE("", refusal(kHeader + " 4242 S tonvale --service\n  -5 Ss tonvale --service\n", 4242));
}

TEST(ServiceDaemonListing, EachLayoutsCommandListsThisProcess) {
    // A device's ps is toybox's; toybox stands in for it here under that name.
    const char toybox[] = "/bin/toybox";
    if (access(toybox, X_OK) != 0) GTEST_SKIP() << "no toybox here";
    const std::string bin = tonvale_test::emptyDir("bin");
    ASSERT_EQ(0, symlink(toybox, (bin + "ps").c_str()));
    for (const DeviceLayout* layout : {&DeviceLayout::kHost, &DeviceLayout::kAndroid}) {
        SCOPED_TRACE(layout->listingCommand);
        std::string out, error;
        ASSERT_TRUE(ServiceDaemon::runcmd("PATH=" + bin + ":$PATH; " + layout->listingCommand, &out,
                                          &error))
            << error;
        std::vector<pid_t> daemons;
        EXPECT_TRUE(ServiceDaemon::parseListing(out, getpid(), &daemons, &error)) << error;
    }
}

TEST(ServiceDaemonRuncmd, CollectsTheWholeOutputOrSaysWhyNot) {
    std::string out, error;
    const std::string longLine(1000, 'x');
    ASSERT_TRUE(ServiceDaemon::runcmd("printf 'a\\nb\\n'; printf '%s\\n' " + longLine, &out, &error))
        << error;
    EXPECT_EQ("a\nb\n" + longLine + "\n", out);
    ASSERT_TRUE(ServiceDaemon::runcmd("true", &out, &error));
    EXPECT_EQ("", out);

    // A missing program (toybox not on the PATH) is a failed listing, not an empty one.
    EXPECT_FALSE(ServiceDaemon::runcmd("tonvale-no-such-program 2>/dev/null", &out, &error));
    EXPECT_NE(std::string::npos, error.find("exited with status 127")) << error;
    EXPECT_FALSE(ServiceDaemon::runcmd("echo partial; exit 3", &out, &error));
    EXPECT_NE(std::string::npos, error.find("exited with status 3")) << error;
    EXPECT_FALSE(ServiceDaemon::runcmd("kill -9 $$", &out, &error));
    EXPECT_NE(std::string::npos, error.find("killed by signal 9")) << error;
}

}  // namespace
}  // namespace android
