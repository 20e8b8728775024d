// The tool's texts and decisions that need no service.
#include <gtest/gtest.h>
#include <string.h>

#include "tool/CommandLine.h"
#include "utils/Utils.h"

namespace android {
namespace {

TEST(UsageText, HasTheDocumentedShape) {
    const std::string usage = CommandLine::kUsage;
    // The first 18 lines as they have always been, then the watch's.
    const std::string watch =
        "    --watch                           print every settings change as a JSON line\n";
    EXPECT_EQ(1091u + watch.size(), usage.size());
    EXPECT_EQ(watch, usage.substr(1091));
    std::vector<std::string> lines = Utils::StringProcess::split(usage, "\n");
    ASSERT_EQ(20u, lines.size());  // 19 lines, each ending with "\n"
    EXPECT_EQ("", lines[19]);
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

}  // namespace
}  // namespace android
