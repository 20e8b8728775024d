#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "common/TestEnv.h"
#include "service/ControlledStore.h"
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
    void SetUp() override {
        dir_ = tonvale_test::testRoot() + "/store/";
        mkdir(dir_.c_str(), 0755);
        for (const std::string& name : listDir(dir_)) unlink((dir_ + name).c_str());
    }
    std::string dir_;
};

TEST_F(SettingsStoreTest, DefaultDirectoryFollowsAndroidDataReadOnce) {
    EXPECT_EQ(tonvale_test::settingsDir(), SettingsStore::defaultDirectory());
    const std::string before = getenv("ANDROID_DATA");
    setenv("ANDROID_DATA", "/elsewhere", 1);
    const std::string after = SettingsStore::defaultDirectory();
    setenv("ANDROID_DATA", before.c_str(), 1);
    EXPECT_EQ(tonvale_test::settingsDir(), after);
}

TEST_F(SettingsStoreTest, DirectoryDefaultsToDataWithoutAndroidData) {
#ifdef __ANDROID__
    EXPECT_EQ("/data/misc/tonvale/", SettingsStore::directoryFor("/elsewhere"));
#else
    EXPECT_EQ("/data/misc/tonvale/", SettingsStore::directoryFor(nullptr));
    EXPECT_EQ("/data/misc/tonvale/", SettingsStore::directoryFor(""));
    EXPECT_EQ("/mnt/x/misc/tonvale/", SettingsStore::directoryFor("/mnt/x"));
#endif
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

}  // namespace
}  // namespace android
