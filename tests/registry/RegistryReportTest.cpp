#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "RegistryTestSupport.h"
#include "registry/ReportText.h"

using android::ATrack;
using android::IMemory;
using android::sp;
using nlohmann::json;

namespace tonvale_test {
namespace {

class RegistryReportTest : public testing::Test {
protected:
    void SetUp() override { registry = new TestMemManager(settings); }

    sp<IMemory> add(int pid, const std::string& cmdLine, int session, uint8_t active) {
        registry->setCmdLine(pid, cmdLine);
        std::pair<bool, sp<ATrack>> made = registry->requestForBuffer(pid, session);
        EXPECT_TRUE(made.first);
        if (!made.first) return nullptr;
        blockOf(made.second->mem)->active = active;  // as the track's process would
        return made.second->mem;
    }

    // Two packages; com.a:remote has three tracks of which two are active.
    void populate() {
        RegistrySettings::setProfile(settings.w_profiles, "com.a", 0.5f, 1.0f, 0.2f);
        RegistrySettings::setProfile(settings.p_profiles, "com.a:remote", 0.5f, 0.5f, 0.25f);
        settings.p_muted.add("com.a", true);
        add(1002, "com.a:remote", 12, 1);
        add(1002, "com.a:remote", 3, 1);
        add(1002, "com.a:remote", 9, 0);
        add(2001, "com.b", 1, 0);
        add(1001, "com.a", 4, 0);
    }

    RegistrySettings settings;
    sp<TestMemManager> registry;
};

TEST_F(RegistryReportTest, EmptyRegistryTexts) {
    EXPECT_EQ(registry->dumpMemManager(), "Dump for MemManager\n");
    EXPECT_EQ(registry->listBufferInline(1), "{\n    \"pkgs\": [    ]\n}");
    EXPECT_EQ(registry->listBufferInline(0), "");
    EXPECT_EQ(registry->listBufferInline(2), "");
    EXPECT_EQ(registry->listBufferInline(-1), "");
}

TEST_F(RegistryReportTest, PopulatedDump) {
    populate();
    const std::string expected =
        "Dump for MemManager\n"
        "=====================================\n"
        "Package : com.a\n"
        "  Left : 0.500000\n"
        "  Right : 1.000000\n"
        "  General : 0.200000\n"
        "  Muted : false\n"
        "  isWeakkey : true\n"
        "  Has profile : true\n"
        "Processes below:\n"
        "    >>>Process : com.a pid = 1001\n"
        "      Left : 1.000000\n"
        "      Right : 1.000000\n"
        "      General : 1.000000\n"
        "      Muted : true\n"
        "      isWeakkey : true\n"
        "      Has profile : false\n"
        "      Track count : 1\n"
        "      Active count : 0\n"
        "    Buffers below:\n"
        "        Buffer [#4]\n"
        "            Pid : 1001\n"
        "            isActive : no\n"
        "    >>>Process : com.a:remote pid = 1002\n"
        "      Left : 0.500000\n"
        "      Right : 0.500000\n"
        "      General : 0.250000\n"
        "      Muted : false\n"
        "      isWeakkey : true\n"
        "      Has profile : true\n"
        "      Track count : 3\n"
        "      Active count : 2\n"
        "    Buffers below:\n"
        "        Buffer [#3]\n"
        "            Pid : 1002\n"
        "            isActive : yes\n"
        "        Buffer [#9]\n"
        "            Pid : 1002\n"
        "            isActive : no\n"
        "        Buffer [#12]\n"
        "            Pid : 1002\n"
        "            isActive : yes\n"
        "=====================================\n"
        "Package : com.b\n"
        "  Left : 1.000000\n"
        "  Right : 1.000000\n"
        "  General : 1.000000\n"
        "  Muted : false\n"
        "  isWeakkey : false\n"
        "  Has profile : false\n"
        "Processes below:\n"
        "    >>>Process : com.b pid = 2001\n"
        "      Left : 1.000000\n"
        "      Right : 1.000000\n"
        "      General : 1.000000\n"
        "      Muted : false\n"
        "      isWeakkey : false\n"
        "      Has profile : false\n"
        "      Track count : 1\n"
        "      Active count : 0\n"
        "    Buffers below:\n"
        "        Buffer [#1]\n"
        "            Pid : 2001\n"
        "            isActive : no\n";
    EXPECT_EQ(registry->dumpMemManager(), expected);
}

TEST_F(RegistryReportTest, PopulatedListing) {
    populate();
    const std::string expected =
        "{\n"
        "    \"pkgs\": [{\n"
        "    \"pkg\": \"com.a\",\n"
        "    \"left\": 0.500000,\n"
        "    \"right\": 1.000000,\n"
        "    \"general\": 0.200000,\n"
        "    \"muted\": false,\n"
        "    \"isweakkey\": true,\n"
        "    \"has_profile\": true,\n"
        "    \"has_active_track\": true,\n"
        "    \"processes\": [{\n"
        "    \"pid\": \"1001\",\n"
        "    \"process\": \"com.a\",\n"
        "    \"left\": 1.000000,\n"
        "    \"right\": 1.000000,\n"
        "    \"general\": 1.000000,\n"
        "    \"muted\": true,\n"
        "    \"isweakkey\": true,\n"
        "    \"has_profile\": false,\n"
        "    \"track_count\": 1,\n"
        "    \"active_count\": 0,\n"
        "    \"buffers\": [        {\n"
        "            \"session\": \"4\",\n"
        "            \"pid\": \"1001\",\n"
        "            \"isactive\": false\n"
        "        }\n"
        "    ]\n"
        "}\n"
        ",\n"
        "{\n"
        "    \"pid\": \"1002\",\n"
        "    \"process\": \"com.a:remote\",\n"
        "    \"left\": 0.500000,\n"
        "    \"right\": 0.500000,\n"
        "    \"general\": 0.250000,\n"
        "    \"muted\": false,\n"
        "    \"isweakkey\": true,\n"
        "    \"has_profile\": true,\n"
        "    \"track_count\": 3,\n"
        "    \"active_count\": 2,\n"
        "    \"buffers\": [        {\n"
        "            \"session\": \"3\",\n"
        "            \"pid\": \"1002\",\n"
        "            \"isactive\": true\n"
        "        }\n"
        ",\n"
        "        {\n"
        "            \"session\": \"9\",\n"
        "            \"pid\": \"1002\",\n"
        "            \"isactive\": false\n"
        "        }\n"
        ",\n"
        "        {\n"
        "            \"session\": \"12\",\n"
        "            \"pid\": \"1002\",\n"
        "            \"isactive\": true\n"
        "        }\n"
        "    ]\n"
        "}\n"
        "    ]\n"
        "}\n"
        ",\n"
        "{\n"
        "    \"pkg\": \"com.b\",\n"
        "    \"left\": 1.000000,\n"
        "    \"right\": 1.000000,\n"
        "    \"general\": 1.000000,\n"
        "    \"muted\": false,\n"
        "    \"isweakkey\": false,\n"
        "    \"has_profile\": false,\n"
        "    \"has_active_track\": false,\n"
        "    \"processes\": [{\n"
        "    \"pid\": \"2001\",\n"
        "    \"process\": \"com.b\",\n"
        "    \"left\": 1.000000,\n"
        "    \"right\": 1.000000,\n"
        "    \"general\": 1.000000,\n"
        "    \"muted\": false,\n"
        "    \"isweakkey\": false,\n"
        "    \"has_profile\": false,\n"
        "    \"track_count\": 1,\n"
        "    \"active_count\": 0,\n"
        "    \"buffers\": [        {\n"
        "            \"session\": \"1\",\n"
        "            \"pid\": \"2001\",\n"
        "            \"isactive\": false\n"
        "        }\n"
        "    ]\n"
        "}\n"
        "    ]\n"
        "}\n"
        "    ]\n"
        "}";
    EXPECT_EQ(registry->listBufferInline(1), expected);
    EXPECT_TRUE(registry->pids.valueFor(1002)->hasActiveTrack);
    EXPECT_FALSE(registry->pids.valueFor(1001)->hasActiveTrack);
}

TEST_F(RegistryReportTest, ActivityFollowsTheClientsFlag) {
    sp<IMemory> mem = add(1001, "com.a", 1, 0);
    json before = json::parse(registry->listBufferInline(1));
    EXPECT_EQ(before["pkgs"][0]["has_active_track"], false);
    blockOf(mem)->active = 1;
    json after = json::parse(registry->listBufferInline(1));
    EXPECT_EQ(after["pkgs"][0]["has_active_track"], true);
    EXPECT_EQ(after["pkgs"][0]["processes"][0]["active_count"], 1);
    EXPECT_EQ(after["pkgs"][0]["processes"][0]["buffers"][0]["isactive"], true);
    EXPECT_NE(registry->dumpMemManager().find("isActive : yes\n"), std::string::npos);
}

TEST_F(RegistryReportTest, AwkwardNamesStillGiveValidJson) {
    const std::string longName = "com.long:" + std::string(3000, 'x');
    const std::string names[] = {
        "com.q\"uote:a",     "com.back\\slash", "com.ctl\n\t\x01\x1f:z",
        "com.utf8.\xc3\xbc", longName,          ":svc",  // package ""
    };
    int pid = 100;
    for (const std::string& name : names) add(pid++, name, 1, 0);
    add(pid, "com.bad\xff\xc3", 1, 0);  // not UTF-8

    json listing;
    ASSERT_NO_THROW(listing = json::parse(registry->listBufferInline(1)));
    std::vector<std::string> processes;
    std::vector<std::string> packages;
    for (const json& pkg : listing["pkgs"]) {
        packages.push_back(pkg["pkg"]);
        for (const json& process : pkg["processes"]) processes.push_back(process["process"]);
    }
    for (const std::string& name : names) {
        EXPECT_NE(std::find(processes.begin(), processes.end(), name), processes.end()) << name;
    }
    EXPECT_NE(std::find(processes.begin(), processes.end(), "com.bad\xef\xbf\xbd\xef\xbf\xbd"),
              processes.end());
    EXPECT_NE(std::find(packages.begin(), packages.end(), "com.q\"uote"), packages.end());
    EXPECT_NE(std::find(packages.begin(), packages.end(), "com.long"), packages.end());
    EXPECT_NE(std::find(packages.begin(), packages.end(), ""), packages.end());

    // The plain dump prints names as they are and in full.
    const std::string dump = registry->dumpMemManager();
    EXPECT_NE(dump.find("    >>>Process : " + longName + " pid = 104\n"), std::string::npos);
    EXPECT_NE(dump.find("Package : com.q\"uote\n"), std::string::npos);
}

TEST(ReportTextTest, JsonEscape) {
    using android::ReportText::jsonEscape;
    EXPECT_EQ(jsonEscape("com.plain:name_1 x/y"), "com.plain:name_1 x/y");
    EXPECT_EQ(jsonEscape("\xe4\xb8\xad\xf0\x9f\x8e\xb5"), "\xe4\xb8\xad\xf0\x9f\x8e\xb5");
    EXPECT_EQ(jsonEscape("a\"b\\c"), "a\\\"b\\\\c");
    EXPECT_EQ(jsonEscape("\b\f\n\r\t\x01\x7f"), "\\b\\f\\n\\r\\t\\u0001\x7f");
    // Overlong, surrogate, truncated and out-of-range sequences are not UTF-8.
    EXPECT_EQ(jsonEscape("\xc0\xaf"), "\\ufffd\\ufffd");
    EXPECT_EQ(jsonEscape("\xed\xa0\x80"), "\\ufffd\\ufffd\\ufffd");
    EXPECT_EQ(jsonEscape("x\xe4\xb8"), "x\\ufffd\\ufffd");
    EXPECT_EQ(jsonEscape("\xf4\x90\x80\x80"), "\\ufffd\\ufffd\\ufffd\\ufffd");
}

TEST(ReportTextTest, FormatGrowsPastItsBuffer) {
    const std::string name(5000, 'n');
    const std::string text = android::ReportText::format("<%s|%d>", name.c_str(), 42);
    EXPECT_EQ(text, "<" + name + "|42>");
    EXPECT_EQ(android::ReportText::format("%s", ""), "");
}

}  // namespace
}  // namespace tonvale_test
