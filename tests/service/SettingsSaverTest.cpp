// Changes saved all or nothing: in force at once, written together behind a write, and undone
// where their file fails.
#include <errno.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "common/Wait.h"
#include "service/ControlledStore.h"
#include "service/SettingsSaver.h"

namespace android {
namespace {

using Step = ControlledStore::Step;

// Three files, each holding one value: an owner as small as a saver's can be.
class SettingsSaverTest : public testing::Test {
protected:
    void SetUp() override {
        dir = tonvale_test::emptyDir("saver");
        store = std::make_shared<ControlledStore>(dir);
        saver = std::make_unique<SettingsSaver>(
            store, SettingsSaver::Owner{&lock,
                                        {"a.prof", "b.prof", "c.prof"},
                                        [this](size_t file) { return values[file]; },
                                        [this] { ++changes; },
                                        [this] { ++refusals; }});
    }
    void TearDown() override { store->release(); }

    /** Sets the files' values (bits) to value. */
    status_t set(uint32_t files, const std::string& value) {
        auto old = std::make_shared<std::vector<std::string>>();
        return saver->save({files,
                            [=] {
                                *old = values;
                                for (size_t f = 0; f < 3; ++f) {
                                    if (files & (1u << f)) values[f] = value;
                                }
                            },
                            [=] {
                                for (size_t f = 0; f < 3; ++f) {
                                    if (files & (1u << f)) values[f] = (*old)[f];
                                }
                            }});
    }
    std::future<status_t> setLater(uint32_t files, const std::string& value) {
        return std::async(std::launch::async, [=] { return set(files, value); });
    }
    std::string text(const char* file) { return tonvale_test::readFile(dir + file); }

    std::string dir;
    std::shared_ptr<ControlledStore> store;
    std::mutex lock;
    std::vector<std::string> values{"", "", ""};
    int changes = 0;
    int refusals = 0;
    std::unique_ptr<SettingsSaver> saver;
};

TEST_F(SettingsSaverTest, ChangesQueuedBehindAWriteShareOneAndAFailedFileRefusesItsOwnOnly) {
    store->hold();
    std::future<status_t> first = setLater(4, "z");
    ASSERT_TRUE(store->waitUntilHeld());
    // One after another, so that they apply in this order.
    std::vector<std::future<status_t>> queued;
    for (const auto& [files, value] :
         {std::pair<uint32_t, const char*>{1, "a1"}, {2, "b"}, {1, "a2"}}) {
        queued.push_back(setLater(files, value));
        ASSERT_TRUE(tonvale_test::waitUntil([&] { return saver->waiting() == queued.size(); }));
    }
    // In force before their write.
    EXPECT_EQ((std::vector<std::string>{"a2", "b", "z"}), values);
    store->failAt(Step::kRename, ENOSPC, "a.prof");
    store->release();

    EXPECT_EQ(NO_ERROR, first.get());
    EXPECT_EQ(-ENOSPC, queued[0].get());
    EXPECT_EQ(NO_ERROR, queued[1].get());
    EXPECT_EQ(-ENOSPC, queued[2].get());
    // One write each for c, then a (failed) and b together; a's changes undone in reverse.
    EXPECT_EQ(3, store->syncs.load());
    EXPECT_EQ((std::vector<std::string>{"", "b", "z"}), values);
    EXPECT_FALSE(tonvale_test::fileExists(dir + "a.prof"));
    EXPECT_EQ("b", text("b.prof"));
    // The owner heard of each change, and of the undoing once.
    EXPECT_EQ(5, changes);
    EXPECT_EQ(1, refusals);

    // A later change of a carries nothing of the refused ones.
    store->failAt(Step::kNone);
    EXPECT_EQ(NO_ERROR, set(2, "b2"));
    EXPECT_FALSE(tonvale_test::fileExists(dir + "a.prof"));
}

TEST_F(SettingsSaverTest, AChangeOfSeveralFilesIsPutBackWhereItWasWritten) {
    ASSERT_EQ(NO_ERROR, set(3, "old"));
    store->failAt(Step::kSync, EROFS, "b.prof");
    EXPECT_EQ(-EROFS, set(7, "new"));
    EXPECT_EQ((std::vector<std::string>{"old", "old", ""}), values);
    EXPECT_EQ("old", text("a.prof"));
    EXPECT_EQ("old", text("b.prof"));
    // It stopped at its first failure: c was never written.
    EXPECT_FALSE(tonvale_test::fileExists(dir + "c.prof"));

    // A store that fails with EINVAL is not taken for a refused argument.
    store->failAt(Step::kRename, EINVAL);
    EXPECT_EQ(-EIO, set(1, "x"));
}

}  // namespace
}  // namespace android
