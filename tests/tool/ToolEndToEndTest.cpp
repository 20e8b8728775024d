// The tool and the daemon as real processes; each test has its own ANDROID_DATA and
// HOSTBINDER_DIR, and kills the daemons it started.
#include <binder/IMemory.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ToolHarness.h"
#include "common/LookupText.h"
#include "common/SettingsFiles.h"
#include "common/TestEnv.h"
#include "interface/TonvaleClient.h"
#include "registry/MemManager.h"
#include "tool/CommandLine.h"
#include "utils/Utils.h"

namespace android {
namespace {

using tonvale_test::RunResult;
using tonvale_test::runTool;
using tonvale_test::Spawned;

const std::string kUsage = CommandLine::kUsage;
const std::string kIncomplete = std::string(CommandLine::kIncomplete) + kUsage;
using tonvale_test::kOfflineText;
using tonvale_test::kRetryLine;
using tonvale_test::settingsFiles;
using tonvale_test::settingsText;

std::string blockLine(float left, float right, float general, int muted) {
    char buf[128];
    snprintf(buf, sizeof(buf), "left=%f right=%f general=%f muted=%d", left, right, general, muted);
    return buf;
}

class ToolEndToEnd : public tonvale_test::DaemonTest {
protected:
    void expectRun(const std::vector<std::string>& args, int status, const std::string& out) {
        RunResult r = runTool(args);
        EXPECT_EQ(status, r.status) << args[0] << "\n" << r.err;
        EXPECT_EQ(out, r.out) << args[0];
    }
};

TEST_F(ToolEndToEnd, ArgumentErrorsAndUsage) {
    expectRun({}, 10, kIncomplete);
    expectRun({"-h"}, 0, kUsage);
    expectRun({"-?"}, 0, kUsage);
    expectRun({"--help"}, 0, kUsage);
    expectRun({"--STATUS"}, 0, kUsage);
    expectRun({"--weak-key"}, 10, kIncomplete);
    expectRun({"--weak-key", "yes"}, 10, kIncomplete);
    expectRun({"--def-silent", "TRUE"}, 10, kIncomplete);
    expectRun({"--set-profile", "com.a", "0.5", "0.5", "1", "true"}, 10, kIncomplete);
    expectRun({"--unset-profile", "com.a"}, 10, kIncomplete);
    expectRun({"--mute", "com.a"}, 10, kIncomplete);
    expectRun({"--unmute", "com.a"}, 10, kIncomplete);
    expectRun({"--get-profile", "com.a"}, 10, kIncomplete);
    expectRun({"--def-profile", "0.5", "0.5", "1"}, 10, kIncomplete);
    expectRun({"--list-buffers"}, 10, kIncomplete);
    // None of these reached the service.
    EXPECT_TRUE(settingsFiles().empty());
}

TEST_F(ToolEndToEnd, ReportsOfAFreshService) {
    expectRun({"--switches"}, 0, "0;false;false\n");
    expectRun({"--def-profile"}, 0, "1,1,1,0\n");
    expectRun({"--list-profile"}, 0, "{\n    \"p_profiles\":\"\",\n\"w_profiles\":\"\"}\n");
    expectRun({"--list-muted"}, 0, "{\n    \"p_muted\":\"\",\n\"w_muted\":\"\"}\n");
    expectRun({"--list-buffers", "1"}, 0, "{\n    \"pkgs\": [    ]\n}\n");
    expectRun({"--list-buffers", "2"}, 0, "\n");
    expectRun({"--get-profile", "com.a", "false"}, 0, "__NO_PROFILE\n");
    // The version text itself is checked once, at the service; the tool prints it as is.
    sp<ITonvale> service = getTonvale();
    ASSERT_NE(nullptr, service);
    expectRun({"--elf-info"}, 0, std::string(service->getVersion().string()) + "\n");
    char ovr[512];
    snprintf(ovr, sizeof(ovr),
             "{\n    \"membytes\": \"%zu\",\n    \"playingcount\": \"0\",\n    \"pp_count\": "
             "\"0\",\n    \"pm_count\": \"0\",\n    \"wp_count\": \"0\",\n    \"wm_count\": "
             "\"0\",\n    \"version_code\": \"1\"\n}\n\n",
             sizeof(MemManager));
    expectRun({"--ovr-status"}, 0, ovr);

    RunResult status = runTool({"--status"});
    EXPECT_EQ(0, status.status);
    std::vector<pid_t> daemons = tonvale_test::daemonPids();
    ASSERT_EQ(1u, daemons.size());
    EXPECT_EQ("Tonvale Status\n\nSelf pid = " + std::to_string(daemons[0]) +
                  "\nManager Mem Usage = " + std::to_string(sizeof(MemManager)) +
                  " bytes\n\nDump for MemManager\n\n",
              status.out);
    // Words after the option are ignored.
    expectRun({"--status", "extra", "words"}, 0, status.out);
}

TEST_F(ToolEndToEnd, SettingsThroughTheTool) {
    expectRun({"--set-profile", "com.a", "0.01", "0.01", "0.01", "true", "false"}, 0, "");
    expectRun({"--get-profile", "com.a", "false"}, 0, "0.01,0.01,0.01,1\n");
    expectRun({"--get-profile", "com.a", "true"}, 0, "__NO_PROFILE\n");
    // Loose values: a word reads as 0, "yes" as false.
    expectRun({"--set-profile", "com.a", "x", "0.5", "1", "yes", "true"}, 0, "");
    expectRun({"--get-profile", "com.a", "true"}, 0, "0,0.5,1,0\n");
    expectRun({"--list-profile"}, 0,
              "{\n    \"p_profiles\":\"com.a\",\n\"w_profiles\":\"com.a\"}\n");
    EXPECT_EQ("com.a|0.01,0.01,0.01,1", settingsText(tonvale_test::kProfileFile));
    EXPECT_EQ("com.a|0,0.5,1,0", settingsText(tonvale_test::kWeakProfileFile));

    expectRun({"--unset-profile", "com.a", "true"}, 0, "");
    expectRun({"--get-profile", "com.a", "true"}, 0, "__NO_PROFILE\n");

    expectRun({"--mute", "com.a", "1"}, 0, "");  // "1" is not "true": the exact-name table
    expectRun({"--mute", "com.b", "true"}, 0, "");
    expectRun({"--list-muted"}, 0, "{\n    \"p_muted\":\"com.a\",\n\"w_muted\":\"com.b\"}\n");
    expectRun({"--unmute", "com.a", "false"}, 0, "");
    expectRun({"--list-muted"}, 0, "{\n    \"p_muted\":\"\",\n\"w_muted\":\"com.b\"}\n");
    EXPECT_EQ("NO_MUTE_HOLDER", settingsText(tonvale_test::kMutedFile));

    expectRun({"--def-silent"}, 0, "");
    EXPECT_EQ("", settingsText(tonvale_test::kSwitchFile));
    expectRun({"--def-profile", "0.2", "0.3", "0.4", "true"}, 0, "");
    expectRun({"--def-profile"}, 0, "0.2,0.3,0.4,1\n");
    expectRun({"--def-silent", "true"}, 0, "");
    expectRun({"--weak-key", "true"}, 0, "");
    expectRun({"--switches"}, 0, "0;true;true\n");
    EXPECT_EQ("1;0.2,0.3,0.4,1;MODE_UNDER_SYSTEM;true;true",
              settingsText(tonvale_test::kSwitchFile));

    expectRun({"--clear"}, 0, "");
    expectRun({"--list-profile"}, 0, "{\n    \"p_profiles\":\"\",\n\"w_profiles\":\"\"}\n");
    expectRun({"--list-muted"}, 0, "{\n    \"p_muted\":\"\",\n\"w_muted\":\"\"}\n");
    expectRun({"--switches"}, 0, "0;true;true\n");
}

// Names the files or the transport would not give back as written: refused with the reason,
// never acknowledged.
TEST_F(ToolEndToEnd, NamesThatCannotBeStoredAreRefusedWithTheReason) {
    const std::string mute =
        "tonvale: refused: a name to mute must have at least 3 bytes and no line break or NUL, nor "
        "start or end with white space\n";
    const std::string profile =
        "tonvale: refused: a profile name must have at least 3 bytes and no line break, NUL or "
        "'|', and the volumes must be numbers from 0 to 16\n";
    const std::string utf8 = "tonvale: the name is not valid UTF-8\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--mute", "caf\xe9", "true"}, utf8},
        {{"--unmute", "caf\xe9", "false"}, utf8},
        {{"--set-profile", "\xff\xfe", "0.5", "0.25", "1", "true", "false"}, utf8},
        {{"--unset-profile", "\xff\xfe", "false"}, utf8},
        {{"--get-profile", "\xc0\x80", "false"}, utf8},
        {{"--mute", "  sp  ", "false"}, mute},
        {{"--mute", "ab", "true"}, mute},
        {{"--mute", "two\nlines", "false"}, mute},
        {{"--set-profile", "a|b", "1", "1", "1", "false", "false"}, profile},
        {{"--set-profile", "ab", "1", "1", "1", "false", "false"}, profile},
        {{"--set-profile", "", "1", "1", "1", "false", "true"}, profile},
        {{"--set-profile", "com.a", "1", "-7", "1", "false", "false"}, profile},
        {{"--set-profile", "com.a", "100", "1", "1", "false", "false"}, profile},
    };
    for (const auto& [args, reason] : refused) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        RunResult r = runTool(args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(reason, r.err);
    }
    expectRun({"--list-profile"}, 0, "{\n    \"p_profiles\":\"\",\n\"w_profiles\":\"\"}\n");
    EXPECT_TRUE(settingsFiles().empty());
    expectRun({"--mute", "s p", "false"}, 0, "");
    expectRun({"--list-muted"}, 0, "{\n    \"p_muted\":\"s p\",\n\"w_muted\":\"\"}\n");
}

/** Runs args and expects exit 1 with the one line that names the file not saved. */
void expectNotSaved(const std::vector<std::string>& args, const std::string& file,
                    const std::string& reason) {
    SCOPED_TRACE(args[0]);
    RunResult r = runTool(args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Settings not saved: " + file + ": " + reason + "\n", r.err);
}

/** Puts the settings directory back as an empty directory, whatever a test made of it. */
struct SettingsDirRestorer {
    ~SettingsDirRestorer() {
        const std::string dir = tonvale_test::settingsDir();
        unlink(dir.substr(0, dir.size() - 1).c_str());
        mkdir(dir.c_str(), 0755);
        tonvale_test::clearSettingsDir();
    }
};

// A settings "directory" that is a regular file fails every write, even for root.
TEST_F(ToolEndToEnd, SettingsThatCannotBeSavedAreReportedAndRefused) {
    expectRun({"--mute", "com.kept", "false"}, 0, "");
    SettingsDirRestorer restorer;
    const std::string dir = tonvale_test::settingsDir();
    tonvale_test::clearSettingsDir();
    ASSERT_EQ(0, rmdir(dir.c_str()));
    ASSERT_TRUE(tonvale_test::writeFile(dir.substr(0, dir.size() - 1), "not a directory"));
    const std::string reason = "Not a directory";

    expectNotSaved({"--set-profile", "com.a", "0.5", "0.5", "1", "false", "false"},
                   dir + tonvale_test::kProfileFile, reason);
    expectNotSaved({"--mute", "com.a", "false"}, dir + tonvale_test::kMutedFile, reason);
    expectNotSaved({"--unmute", "com.kept", "false"}, dir + tonvale_test::kMutedFile, reason);
    expectNotSaved({"--def-silent", "true"}, dir + tonvale_test::kSwitchFile, reason);
    expectNotSaved({"--def-profile", "0.2", "0.3", "0.4", "true"}, dir + tonvale_test::kSwitchFile,
                   reason);
    // Clear rewrites all five files: the failure names their directory.
    expectNotSaved({"--clear"}, dir, reason);
    // A setting that writes no file does not fail.
    expectRun({"--unset-profile", "com.none", "false"}, 0, "");

    // None of the refused changes holds.
    expectRun({"--get-profile", "com.a", "false"}, 0, "__NO_PROFILE\n");
    expectRun({"--list-muted"}, 0, "{\n    \"p_muted\":\"com.kept\",\n\"w_muted\":\"\"}\n");
    expectRun({"--switches"}, 0, "0;false;false\n");
    expectRun({"--def-profile"}, 0, "1,1,1,0\n");
}

TEST_F(ToolEndToEnd, AMissingSettingsDirectoryIsReported) {
    SettingsDirRestorer restorer;
    const std::string dir = tonvale_test::settingsDir();
    ASSERT_EQ(0, rmdir(dir.c_str()));
    expectNotSaved({"--mute", "com.a", "true"}, dir + tonvale_test::kWeakMutedFile,
                   "No such file or directory");
    EXPECT_FALSE(tonvale_test::fileExists(dir));
}

TEST_F(ToolEndToEnd, RewritesKeepTheModeAndNewFilesAreForTheServiceAlone) {
    const std::string profiles = tonvale_test::settingsPath(tonvale_test::kProfileFile);
    auto modeOf = [](const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    };
    expectRun({"--set-profile", "com.a", "0.5", "0.5", "1", "false", "false"}, 0, "");
    EXPECT_EQ(0600u, modeOf(profiles));
    ASSERT_EQ(0, chmod(profiles.c_str(), 0644));
    expectRun({"--set-profile", "com.b", "0.5", "0.5", "1", "false", "false"}, 0, "");
    EXPECT_EQ(0644u, modeOf(profiles));
    EXPECT_EQ("com.a|0.5,0.5,1,0\ncom.b|0.5,0.5,1,0", settingsText(tonvale_test::kProfileFile));
}

// A report too large for one transaction is refused by the service: the tool says so.
TEST_F(ToolEndToEnd, ATextOptionThatFailsSaysWhyAndPrintsNoResult) {
    sp<ITonvale> service = getTonvale();
    ASSERT_NE(nullptr, service);
    for (char c = 'a'; c < 'g'; ++c) {
        ASSERT_EQ(0, service->setProfile(std::string(200000, c), 1, 1, 1, false, false));
    }
    RunResult r = runTool({"--list-profile"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(
        "tonvale: the call to the service failed (the report is larger than one transaction "
        "carries)\n",
        r.err);
    // Smaller texts still come through.
    expectRun({"--get-profile", std::string(1000, 'a'), "false"}, 0, "__NO_PROFILE\n");
}

// SIGKILL in the middle of a stream of changes: at the restart no temporary file is left and
// every acknowledged change is there (the one in flight may or may not be).
TEST_F(ToolEndToEnd, ADaemonKilledWhileSavingLosesNothingAcknowledged) {
    // Enough entries that each rewrite takes a while, so kills land inside some of them.
    sp<ITonvale> service = getTonvale();
    ASSERT_NE(nullptr, service);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(0, service->setProfile("com.filler." + std::to_string(i), 1, 1, 1, false, false));
    }
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        std::atomic<int> acknowledged{0};
        std::thread writer([&acknowledged] {
            sp<ITonvale> s = getTonvale();
            for (int i = 1; s != nullptr; ++i) {
                // i / 64 is exact in the file, and within the volume range for 1024 changes.
                if (s->setProfile("com.loop", 1, 1, i / 64.0f, false, false) != 0) {
                    return;
                }
                acknowledged = i;
            }
        });
        const int target = 10 + round * 7;
        tonvale_test::waitUntil([&] { return acknowledged >= target; });
        tonvale_test::killDaemons();
        writer.join();
        ASSERT_GE(acknowledged.load(), target);

        startDaemon();
        for (const std::string& name : settingsFiles()) {
            EXPECT_EQ(std::string::npos, name.find(".tmp.")) << name;
        }
        RunResult r = runTool({"--get-profile", "com.loop", "false"});
        ASSERT_EQ(0, r.status);
        const std::vector<std::string> fields = Utils::StringProcess::split(r.out, ",");
        ASSERT_EQ(4u, fields.size()) << r.out;
        const int saved = static_cast<int>(Utils::Caster::stringToNum<float>(fields[2]) * 64);
        EXPECT_GE(saved, acknowledged.load());
        EXPECT_LE(saved, acknowledged.load() + 1);
        service = getTonvale();
        EXPECT_EQ(0, service->setProfile("com.loop", 1, 1, 0, false, false));
    }
}

TEST_F(ToolEndToEnd, SettingsNeedRoot) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
    chmod(tonvale_test::testRoot().c_str(), 0755);  // let the other uid reach the transport
    if (tonvale_test::runToolAs(65534, {"-h"}).status != 0) {
        GTEST_SKIP() << "uid 65534 cannot run the tool from this build directory";
    }
    expectRun({"--mute", "com.kept", "false"}, 0, "");
    const std::string before = settingsText(tonvale_test::kMutedFile);

    RunResult refused = tonvale_test::runToolAs(65534, {"--mute", "com.a", "false"});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("", refused.out);
    EXPECT_EQ("Permission denied: this operation needs root\n", refused.err);
    EXPECT_EQ(1, tonvale_test::runToolAs(65534, {"--clear"}).status);
    // An app reads no list that names other apps, but what names none.
    EXPECT_EQ(1, tonvale_test::runToolAs(65534, {"--list-muted"}).status);
    RunResult reading = tonvale_test::runToolAs(65534, {"--switches"});
    EXPECT_EQ(0, reading.status);
    EXPECT_EQ("0;false;false\n", reading.out);
    EXPECT_EQ(before, settingsText(tonvale_test::kMutedFile));
}

TEST_F(ToolEndToEnd, DemoClientSeesEveryChangeInItsBlock) {
    Spawned client(tonvale_test::demoClientPath(), {"7", "2"});
    const std::string name = tonvale_test::demoClientPath();  // its /proc cmdline
    std::string line;
    ASSERT_TRUE(client.readLine(&line));
    EXPECT_EQ("track pid=" + std::to_string(client.pid()) + " session=7", line);
    ASSERT_TRUE(client.waitForLine(blockLine(1, 1, 1, 0)));

    expectRun({"--set-profile", name, "0.5", "0.5", "0.5", "false", "false"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0.5, 0.5, 0.5, 0)));
    expectRun({"--set-profile", name, "0.5", "1", "0.2", "false", "true"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0.25, 0.5, 0.1, 0)));
    expectRun({"--mute", name, "true"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0.25, 0.5, 0.1, 1)));
    expectRun({"--unmute", name, "true"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0.25, 0.5, 0.1, 0)));
    expectRun({"--unset-profile", name, "true"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0.5, 0.5, 0.5, 0)));
    expectRun({"--mute", name, "false"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0.5, 0.5, 0.5, 1)));
    expectRun({"--unmute", name, "false"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0.5, 0.5, 0.5, 0)));
    expectRun({"--unset-profile", name, "false"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(1, 1, 1, 0)));

    // Default silent reaches the block at the next change that re-applies the settings.
    expectRun({"--def-silent", "true"}, 0, "");
    expectRun({"--mute", "com.other", "false"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0, 0, 0, 0)));
    expectRun({"--set-profile", name, "0.3", "0.3", "0.3", "false", "false"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0.3, 0.3, 0.3, 0)));
    expectRun({"--clear"}, 0, "");
    ASSERT_TRUE(client.waitForLine(blockLine(0, 0, 0, 0)));

    // The listing shows the client's track, active.
    RunResult listing = runTool({"--list-buffers", "1"});
    EXPECT_EQ(0, listing.status);
    EXPECT_NE(std::string::npos, listing.out.find("\"pid\": \"" + std::to_string(client.pid())))
        << listing.out;
    EXPECT_NE(std::string::npos, listing.out.find("\"session\": \"7\""));
    EXPECT_NE(std::string::npos, listing.out.find("\"isactive\": true"));
    std::string json = listing.out;
    tonvale_test::writeFile(tonvale_test::testRoot() + "/listing.json", json);
    EXPECT_EQ(0, system(("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " +
                         tonvale_test::testRoot() + "/listing.json")
                            .c_str()));

    EXPECT_EQ(0, client.stop(SIGTERM));
    expectRun({"--list-buffers", "1"}, 0, "{\n    \"pkgs\": [    ]\n}\n");
}

TEST_F(ToolEndToEnd, SettingsSurviveADaemonKilledWithSigkill) {
    expectRun({"--set-profile", "com.a", "0.5", "0.5", "1", "false", "false"}, 0, "");
    expectRun({"--set-profile", "com.pkg", "0.25", "1", "1", "true", "true"}, 0, "");
    expectRun({"--mute", "com.b", "false"}, 0, "");
    expectRun({"--mute", "com.pkg", "true"}, 0, "");
    expectRun({"--def-profile", "0.2", "0.3", "0.4", "true"}, 0, "");
    expectRun({"--weak-key", "true"}, 0, "");
    expectRun({"--def-silent", "true"}, 0, "");

    tonvale_test::killDaemons();
    startDaemon();

    expectRun({"--get-profile", "com.a", "false"}, 0, "0.5,0.5,1,0\n");
    expectRun({"--get-profile", "com.pkg", "true"}, 0, "0.25,1,1,1\n");
    expectRun({"--list-muted"}, 0, "{\n    \"p_muted\":\"com.b\",\n\"w_muted\":\"com.pkg\"}\n");
    expectRun({"--switches"}, 0, "0;true;true\n");
    expectRun({"--def-profile"}, 0, "0.2,0.3,0.4,1\n");

    EXPECT_EQ("1;0.2,0.3,0.4,1;MODE_UNDER_SYSTEM;true;true",
              settingsText(tonvale_test::kSwitchFile));
    EXPECT_EQ("com.a|0.5,0.5,1,0", settingsText(tonvale_test::kProfileFile));
    EXPECT_EQ("com.b", settingsText(tonvale_test::kMutedFile));
    EXPECT_EQ("com.pkg|0.25,1,1,1", settingsText(tonvale_test::kWeakProfileFile));
    EXPECT_EQ("com.pkg", settingsText(tonvale_test::kWeakMutedFile));
}

TEST_F(ToolEndToEnd, DaemonDownIsAFailureAndWritesNothing) {
    expectRun({"--mute", "com.a", "false"}, 0, "");
    const std::string before = settingsText(tonvale_test::kMutedFile);
    const std::set<std::string> filesBefore = settingsFiles();
    tonvale_test::killDaemons();

    RunResult status = runTool({"--status"});
    EXPECT_EQ(1, status.status);
    EXPECT_EQ(kRetryLine + kRetryLine + kOfflineText + "\n", status.out);

    RunResult mute = runTool({"--mute", "com.z", "false"});
    EXPECT_EQ(1, mute.status);
    EXPECT_EQ(kRetryLine + kRetryLine + kOfflineText, mute.out);
    EXPECT_EQ(1, runTool({"--clear"}).status);

    EXPECT_EQ(filesBefore, settingsFiles());
    EXPECT_EQ(before, settingsText(tonvale_test::kMutedFile));
}

TEST_F(ToolEndToEnd, ConcurrentToolsAndTracks) {
    // Few enough tool runs to stay quick under the sanitizers; each loop's last value must win.
    constexpr int kLoops = 4;
    constexpr int kChanges = 20;
    constexpr int kTracks = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kLoops; ++t) {
        threads.emplace_back([t, &failures] {
            const std::string name = "com.load.t" + std::to_string(t);
            for (int i = 0; i < kChanges; ++i) {
                const std::string general = std::to_string(i + 1) + "e-2";
                if (runTool({"--set-profile", name, "1", "1", general, "false", "false"}).status !=
                    0) {
                    ++failures;
                }
            }
        });
    }
    std::thread tracks([&failures] {
        sp<ITonvale> service = getTonvale();
        for (int s = 0; s < kTracks; ++s) {
            sp<IMemory> mem = service->getTrackCtlBlk(getpid(), 1000 + s);
            if (mem == nullptr || mem->pointer() == nullptr) ++failures;
            if (s % 2 == 1 && service->releaseBufferFor(getpid(), 1000 + s - 1) != 0) {
                ++failures;
            }
        }
    });
    for (std::thread& th : threads) th.join();
    tracks.join();
    EXPECT_EQ(0, failures.load());

    for (int t = 0; t < kLoops; ++t) {
        expectRun({"--get-profile", "com.load.t" + std::to_string(t), "false"}, 0, "1,1,0.2,0\n");
    }
    RunResult ovr = runTool({"--ovr-status"});
    EXPECT_EQ(0, ovr.status);
    EXPECT_NE(std::string::npos, ovr.out.find("\"playingcount\": \"1\""));  // this process
    EXPECT_NE(std::string::npos, ovr.out.find("\"pp_count\": \"" + std::to_string(kLoops) + "\""));
    RunResult listing = runTool({"--list-buffers", "1"});
    EXPECT_NE(std::string::npos, listing.out.find("\"track_count\": 25")) << listing.out;
}

}  // namespace
}  // namespace android
