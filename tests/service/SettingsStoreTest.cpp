#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "common/Child.h"
#include "common/TestEnv.h"
#include "service/ControlledStore.h"
#include "service/DeviceLayout.h"
#include "service/SettingsStore.h"

namespace android {
namespace {

using tonvale_test::fileExists;
using tonvale_test::listDir;
using tonvale_test::readFile;
using tonvale_test::writeFile;

using Step = ControlledStore::Step;

/** Fails the chosen step with ENOSPC (or EIO for the others) and writes 3 bytes at a time. */
class FailingStore : public ControlledStore {
public:
    FailingStore(std::string dir, Step step) : ControlledStore(std::move(dir)) {
        failAt(step, step == Step::kWrite || step == Step::kWriteAfterPart ? ENOSPC : EIO);
        limitWrites(3);
    }
};

class SettingsStoreTest : public testing::Test {
protected:
    void SetUp() override { dir_ = tonvale_test::emptyDir("store"); }
    std::string dir_;
};

TEST_F(SettingsStoreTest, DefaultDirectoryIsTheDevicesReadOnce) {
    const std::string first = DeviceLayout::current().settingsDirectory();
    EXPECT_EQ(first, SettingsStore::defaultDirectory());
    const std::string before = getenv("ANDROID_DATA");
    setenv("ANDROID_DATA", "/elsewhere", 1);
    const std::string after = SettingsStore::defaultDirectory();
    setenv("ANDROID_DATA", before.c_str(), 1);
    EXPECT_EQ(first, after);
}

TEST_F(SettingsStoreTest, DirectoryDefaultsToDataWithoutADataRoot) {
    EXPECT_EQ("/data/misc/tonvale/", SettingsStore::directoryFor(nullptr));
    EXPECT_EQ("/data/misc/tonvale/", SettingsStore::directoryFor(""));
    EXPECT_EQ("/mnt/x/misc/tonvale/", SettingsStore::directoryFor("/mnt/x"));
}

TEST_F(SettingsStoreTest, ReplaceCreatesAndReplacesWithExactText) {
    SettingsStore store(dir_);
    EXPECT_EQ(dir_ + "a.prof", store.pathOf("a.prof"));
    ASSERT_EQ(NO_ERROR, store.replace("a.prof", "first\nline"));
    EXPECT_EQ("first\nline", readFile(dir_ + "a.prof"));
    ASSERT_EQ(NO_ERROR, store.replace("a.prof", ""));
    EXPECT_TRUE(fileExists(dir_ + "a.prof"));
    EXPECT_EQ("", readFile(dir_ + "a.prof"));
    const std::string binary("x\0y\xff", 4);
    ASSERT_EQ(NO_ERROR, store.replace("a.prof", binary));
    EXPECT_EQ(binary, readFile(dir_ + "a.prof"));
    EXPECT_EQ(std::set<std::string>{"a.prof"}, listDir(dir_));
}

TEST_F(SettingsStoreTest, ShortWritesStillWriteEverything) {
    FailingStore store(dir_, Step::kNone);
    std::string text;
    for (int i = 0; i < 10000; ++i) text += static_cast<char>('a' + i % 26);
    ASSERT_EQ(NO_ERROR, store.replace("big.prof", text));
    EXPECT_EQ(text, readFile(dir_ + "big.prof"));
    EXPECT_GT(store.writes, 1000);
}

class SettingsStoreFailureTest : public SettingsStoreTest,
                                 public testing::WithParamInterface<Step> {};

TEST_P(SettingsStoreFailureTest, OldFileStaysAndNoTempIsLeft) {
    ASSERT_TRUE(writeFile(dir_ + "a.prof", "old text"));
    FailingStore store(dir_, GetParam());
    status_t err = store.replace("a.prof", "new text that is longer");
    EXPECT_LT(err, 0);
    EXPECT_EQ("old text", readFile(dir_ + "a.prof"));
    EXPECT_EQ(std::set<std::string>{"a.prof"}, listDir(dir_));

    // A file that did not exist still does not.
    EXPECT_LT(store.replace("b.prof", "text"), 0);
    EXPECT_FALSE(fileExists(dir_ + "b.prof"));
    EXPECT_EQ(std::set<std::string>{"a.prof"}, listDir(dir_));
}

INSTANTIATE_TEST_SUITE_P(EachStep, SettingsStoreFailureTest,
                         testing::Values(Step::kOpen, Step::kWrite, Step::kWriteAfterPart,
                                         Step::kWriteZero, Step::kSync, Step::kRename));

TEST_F(SettingsStoreTest, DirectoryThatIsAFileOrMissingFails) {
    ASSERT_TRUE(writeFile(dir_ + "plain", "not a directory"));
    SettingsStore onFile(dir_ + "plain/");
    EXPECT_EQ(-ENOTDIR, onFile.replace("a.prof", "x"));
    EXPECT_EQ("not a directory", readFile(dir_ + "plain"));

    SettingsStore missing(dir_ + "gone/");
    EXPECT_EQ(-ENOENT, missing.replace("a.prof", "x"));
    EXPECT_EQ(std::set<std::string>{"plain"}, listDir(dir_));
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(SettingsStoreTest, NewFilesAreForTheOwnerAloneWhateverTheUmask) {
    SettingsStore store(dir_);
    const mode_t old = umask(0);
    const status_t written = store.replace("a.prof", "x");
    umask(old);
    ASSERT_EQ(NO_ERROR, written);
    EXPECT_EQ(0600u, modeOf(dir_ + "a.prof"));
}

TEST_F(SettingsStoreTest, ARewriteKeepsTheModeOfTheFileItReplaces) {
    SettingsStore store(dir_);
    for (mode_t mode : {0600, 0640, 0644, 0400, 0604}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(NO_ERROR, store.replace("a.prof", "first"));
        ASSERT_EQ(0, chmod((dir_ + "a.prof").c_str(), mode));
        ASSERT_EQ(NO_ERROR, store.replace("a.prof", "second"));
        EXPECT_EQ(mode, modeOf(dir_ + "a.prof"));
        EXPECT_EQ("second", readFile(dir_ + "a.prof"));
    }
}

TEST_F(SettingsStoreTest, ARewriteKeepsTheOwnerWhereItMaySetIt) {
    SettingsStore store(dir_);
    ASSERT_EQ(NO_ERROR, store.replace("a.prof", "first"));
    const std::string path = dir_ + "a.prof";
    // Only root may give a file away; as any other user the owner stays the writer.
    const bool root = geteuid() == 0;
    const uid_t uid = root ? 1234 : geteuid();
    const gid_t gid = root ? 1234 : getegid();
    ASSERT_EQ(0, chown(path.c_str(), uid, gid));
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    ASSERT_EQ(NO_ERROR, store.replace("a.prof", "second"));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(uid, st.st_uid);
    EXPECT_EQ(gid, st.st_gid);
    EXPECT_EQ(0640u, st.st_mode & 07777);
}

TEST_F(SettingsStoreTest, AbandonedTemporaryFilesGoByWriterAndNothingElseDoes) {
    const pid_t dead = tonvale_test::endedPid();
    ASSERT_GT(dead, 0);
    // A child that has exited but is not reaped yet still answers kill(); it writes no more.
    const pid_t zombie = tonvale_test::forkProcess();
    if (zombie == 0) _exit(0);
    tonvale_test::ChildGuard reaper(zombie);
    ASSERT_GT(zombie, 0);
    ASSERT_TRUE(tonvale_test::waitEndedUnreaped(zombie));
    const std::string gone = std::to_string(dead);
    const std::set<std::string> ofGone = {".a.prof.tmp." + gone + ".0",
                                          ".tonvale_config.prof.tmp." + gone + ".17",
                                          ".a.prof.tmp." + std::to_string(zombie) + ".2"};
    // This process may be writing one right now, and so may another live one (init).
    const std::set<std::string> ofLive = {".a.prof.tmp." + std::to_string(getpid()) + ".3",
                                          ".a.prof.tmp.1.0"};
    const std::set<std::string> others = {
        "a.prof",
        "a.prof.tmp." + gone + ".0",    // not a name the store makes
        ".a.prof.tmp." + gone,          // nor this
        ".a.prof.tmp." + gone + ".x",   // nor this
        ".a.prof.tmp.-" + gone + ".0",  // nor this
        ".a.prof.tmp.0.0",              // nor this
    };
    for (const auto& names : {ofGone, ofLive, others}) {
        for (const std::string& name : names) ASSERT_TRUE(writeFile(dir_ + name, "t"));
    }
    // Only regular files are the store's: not a directory, nor a link or what it points to.
    const std::string folder = ".b.prof.tmp." + gone + ".1";
    const std::string link = ".c.prof.tmp." + gone + ".1";
    ASSERT_EQ(0, mkdir((dir_ + folder).c_str(), 0700));
    ASSERT_EQ(0, symlink((dir_ + "a.prof").c_str(), (dir_ + link).c_str()));
    std::set<std::string> left = {folder, link};
    left.insert(others.begin(), others.end());

    SettingsStore store(dir_);
    EXPECT_EQ(ofGone.size(), store.removeAbandonedTemps());
    std::set<std::string> withLive = left;
    withLive.insert(ofLive.begin(), ofLive.end());
    EXPECT_EQ(withLive, listDir(dir_));
    // Under the daemon's lock any writer's file is abandoned, whoever lives under its pid now.
    EXPECT_EQ(ofLive.size(),
              SettingsStore::removeAbandonedTemps(dir_, SettingsStore::Writers::kAny));
    EXPECT_EQ(left, listDir(dir_));
    EXPECT_EQ("t", readFile(dir_ + "a.prof"));
    rmdir((dir_ + folder).c_str());

    EXPECT_EQ(0u, SettingsStore::removeAbandonedTemps(dir_ + "gone/", SettingsStore::Writers::kAny));
}

}  // namespace
}  // namespace android
