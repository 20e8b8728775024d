// Staged texts and their commits: the latest text goes to disk, once for all who wait on it.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <set>
#include <string>

#include "common/TestEnv.h"
#include "service/ControlledStore.h"
#include "service/SettingsSaver.h"

namespace android {
namespace {

using Step = ControlledStore::Step;

class SettingsSaverTest : public testing::Test {
protected:
    void SetUp() override {
        dir = tonvale_test::emptyDir("saver");
        store = std::make_shared<ControlledStore>(dir);
    }
    std::string text(const char* file) { return tonvale_test::readFile(dir + file); }

    std::string dir;
    std::shared_ptr<ControlledStore> store;
};

TEST_F(SettingsSaverTest, ACommitWritesTheLatestTextAndLaterCommitsFindItDone) {
    SettingsSaver saver(store);
    const uint64_t first = saver.stage("a.prof", "first");
    const uint64_t second = saver.stage("a.prof", "second");
    EXPECT_LT(first, second);
    EXPECT_EQ(NO_ERROR, saver.commit("a.prof", first));
    EXPECT_EQ("second", text("a.prof"));
    EXPECT_EQ(1, store->syncs.load());
    // The earlier text never comes back over the later one.
    EXPECT_EQ(NO_ERROR, saver.commit("a.prof", second));
    EXPECT_EQ(NO_ERROR, saver.commit("a.prof", first));
    EXPECT_EQ("second", text("a.prof"));
    EXPECT_EQ(1, store->syncs.load());
}

TEST_F(SettingsSaverTest, FilesAreNumberedAndWrittenApart) {
    SettingsSaver saver(store);
    const uint64_t a = saver.stage("a.prof", "a");
    const uint64_t b = saver.stage("b.prof", "b");
    EXPECT_EQ(NO_ERROR, saver.commit("b.prof", b));
    EXPECT_EQ("b", text("b.prof"));
    EXPECT_FALSE(tonvale_test::fileExists(dir + "a.prof"));
    EXPECT_EQ(NO_ERROR, saver.commit("a.prof", a));
    EXPECT_EQ("a", text("a.prof"));
}

TEST_F(SettingsSaverTest, AFailedWriteIsReportedToEveryChangeItCarried) {
    SettingsSaver saver(store);
    store->failAt(Step::kSync, ENOSPC);
    const uint64_t first = saver.stage("a.prof", "first");
    const uint64_t second = saver.stage("a.prof", "second");
    EXPECT_EQ(-ENOSPC, saver.commit("a.prof", first));
    EXPECT_EQ(-ENOSPC, saver.commit("a.prof", second));
    EXPECT_EQ(1, store->syncs.load());
    EXPECT_FALSE(tonvale_test::fileExists(dir + "a.prof"));

    // A later text that is written carries the earlier changes too.
    store->failAt(Step::kNone);
    const uint64_t third = saver.stage("a.prof", "third");
    EXPECT_EQ(NO_ERROR, saver.commit("a.prof", third));
    EXPECT_EQ("third", text("a.prof"));
}

TEST_F(SettingsSaverTest, AStoreFailingWithEinvalIsNotARefusedArgument) {
    SettingsSaver saver(store);
    store->failAt(Step::kRename, EINVAL);
    EXPECT_EQ(-EIO, saver.commit("a.prof", saver.stage("a.prof", "x")));
}

}  // namespace
}  // namespace android
