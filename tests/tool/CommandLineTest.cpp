// The tool's texts and decisions that need no service.
#include <gtest/gtest.h>
#include <string.h>

#include "tool/CommandLine.h"
#include "tool/ServiceDaemon.h"
#include "utils/Utils.h"

namespace android {
namespace {

TEST(UsageText, HasTheDocumentedShape) {
    const std::string usage = CommandLine::kUsage;
    EXPECT_EQ(1091u, usage.size());
    std::vector<std::string> lines = Utils::StringProcess::split(usage, "\n");
    ASSERT_EQ(19u, lines.size());  // 18 lines, each ending with "\n"
    EXPECT_EQ("", lines[18]);
    EXPECT_EQ("Usage:(All not 'get' type Api will require root permission)", lines[0]);
    EXPECT_EQ("", lines[14]);
    EXPECT_EQ("Options:", lines[15]);
    for (int i = 1; i <= 13; ++i) {
        SCOPED_TRACE(lines[i]);
        ASSERT_GT(lines[i].size(), 38u);
        EXPECT_EQ("    ", lines[i].substr(0, 4));
        EXPECT_NE(' ', lines[i][4]);
        EXPECT_EQ(' ', lines[i][37]);  // descriptions start after 38 characters
        EXPECT_NE(' ', lines[i][38]);
    }
    EXPECT_EQ(std::string("Incomplete parameter!\n\n"), CommandLine::kIncomplete);
}

TEST(Flags, LooseIsTrueOnlyForTrue) {
    EXPECT_TRUE(CommandLine::looseFlag("true"));
    for (const char* v : {"TRUE", "1", "yes", "", "true "}) EXPECT_FALSE(CommandLine::looseFlag(v));
}

TEST(Flags, StrictAcceptsOnlyTrueAndFalse) {
    bool flag = false;
    EXPECT_TRUE(CommandLine::strictFlag("true", &flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(CommandLine::strictFlag("false", &flag));
    EXPECT_FALSE(flag);
    for (const char* v : {"TRUE", "False", "1", "", "yes"}) {
        EXPECT_FALSE(CommandLine::strictFlag(v, &flag)) << v;
    }
}

TEST(Listing, OwnLineFirstMeansNotRunning) {
    EXPECT_FALSE(ServiceDaemon::listingShowsOtherDaemon(
        "  4242 tonvale --service\n  5000 tonvale --service --force\n", 4242));
}

TEST(Listing, AnotherLineFirstMeansRunning) {
    EXPECT_TRUE(ServiceDaemon::listingShowsOtherDaemon(
        "  100 tonvale --service\n 4242 tonvale --service\n", 4242));
}

TEST(Listing, PaddedIdsCompareWholeNumbers) {
    EXPECT_FALSE(ServiceDaemon::listingShowsOtherDaemon("\t   77 /bin/tonvale --service\n", 77));
    // A prefix of the own id is another process.
    EXPECT_TRUE(ServiceDaemon::listingShowsOtherDaemon("  7 tonvale --service\n", 77));
    EXPECT_TRUE(ServiceDaemon::listingShowsOtherDaemon("  777 tonvale --service\n", 77));
}

TEST(Listing, EmptyOrFailedListingCountsAsRunning) {
    EXPECT_TRUE(ServiceDaemon::listingShowsOtherDaemon("", 1));
    EXPECT_TRUE(ServiceDaemon::listingShowsOtherDaemon("\n", 1));
    EXPECT_TRUE(ServiceDaemon::listingShowsOtherDaemon("Execute error", 1));
}

TEST(Listing, CommandIsThePlatformPipeline) {
    const std::string cmd = ServiceDaemon::kListingCommand;
#ifdef __ANDROID__
    EXPECT_EQ(88u, cmd.size());
#endif
    EXPECT_NE(std::string::npos, cmd.find("ps -A -o PID -o CMDLINE | grep -v \"PID NAME\" | grep "
                                          "\"tonvale --service\" | grep -v \"grep\""));
}

TEST(Runcmd, CollectsTheWholeOutput) {
    std::string longLine(1000, 'x');
    EXPECT_EQ("a\nb\n" + longLine + "\n",
              ServiceDaemon::runcmd("printf 'a\\nb\\n'; printf '%s\\n' " + longLine));
    EXPECT_EQ("", ServiceDaemon::runcmd("true"));
}

}  // namespace
}  // namespace android
