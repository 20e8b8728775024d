// Start-up of the daemon through the tool. Runs alone: the single-instance check sees every
// daemon on the machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include "ToolHarness.h"

namespace android {
namespace {

using tonvale_test::RunResult;
using tonvale_test::runTool;

TEST(ToolStartUp, SingleInstanceAndForce) {
    tonvale_test::killDaemons();
    RunResult first = runTool({"--service"});
    EXPECT_EQ(0, first.status);
    EXPECT_EQ("", first.out);
    ASSERT_TRUE(tonvale_test::waitForService());
    EXPECT_EQ(1u, tonvale_test::daemonPids().size());

    RunResult second = runTool({"--service"});
    EXPECT_EQ(0, second.status);
    EXPECT_EQ("Tonvale native service is running, do not run multi instance\n", second.out);
    RunResult other = runTool({"--service", "--other"});
    EXPECT_EQ("Tonvale native service is running, do not run multi instance\n", other.out);
    EXPECT_EQ(1u, tonvale_test::daemonPids().size());

    RunResult forced = runTool({"--service", "--force"});
    EXPECT_EQ(0, forced.status);
    EXPECT_EQ("", forced.out);
    for (int i = 0; i < 200 && tonvale_test::daemonPids().size() < 2; ++i) usleep(20000);
    EXPECT_EQ(2u, tonvale_test::daemonPids().size());
    tonvale_test::killDaemons();
}

}  // namespace
}  // namespace android
