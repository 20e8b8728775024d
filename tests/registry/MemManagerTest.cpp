#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RegistryTestSupport.h"
#include "common/Child.h"
#include "common/TestEnv.h"
#include "utils/Utils.h"

using android::ATrack;
using android::IMemory;
using android::PackageBean;
using android::PidBean;
using android::sp;
using android::tnvl_cblk;
using android::wp;
using testing::ElementsAre;

namespace tonvale_test {
namespace {

constexpr int kPidA = 1001;        // "com.a"
constexpr int kPidARemote = 1002;  // "com.a:remote"
constexpr int kPidB = 2001;        // "com.b"

class MemManagerTest : public testing::Test {
protected:
    void SetUp() override {
        registry = new TestMemManager(settings);
        registry->setCmdLine(kPidA, "com.a");
        registry->setCmdLine(kPidARemote, "com.a:remote");
        registry->setCmdLine(kPidB, "com.b");
        log.clear();
    }

    // Requests a block and returns what the client would map.
    sp<IMemory> request(int pid, int session) {
        std::pair<bool, sp<ATrack>> result = registry->requestForBuffer(pid, session);
        EXPECT_EQ(result.first, result.second != nullptr);
        return result.first ? result.second->mem : nullptr;
    }

    sp<PidBean> process(int pid) { return registry->pids.valueFor(pid); }
    sp<PackageBean> package(const std::string& name) { return registry->packages.valueFor(name); }

    RegistrySettings settings;
    sp<TestMemManager> registry;
    LogCapture log;
};

void expectBlock(const sp<IMemory>& mem, float left, float right, float general, int muted) {
    ASSERT_NE(mem, nullptr);
    const tnvl_cblk* cblk = blockOf(mem);
    ASSERT_NE(cblk, nullptr);
    EXPECT_FLOAT_EQ(cblk->left, left);
    EXPECT_FLOAT_EQ(cblk->right, right);
    EXPECT_FLOAT_EQ(cblk->general, general);
    EXPECT_EQ(cblk->muted, muted);
}

// ---- Requests and blocks ----

TEST_F(MemManagerTest, FirstRequestFilesTrackAndSecondReturnsSameBlock) {
    sp<IMemory> mem = request(kPidARemote, 7);
    ASSERT_NE(mem, nullptr);
    const tnvl_cblk* cblk = blockOf(mem);
    EXPECT_EQ(cblk->valid, 1);
    EXPECT_EQ(cblk->pid, kPidARemote);
    EXPECT_EQ(cblk->session, 7);
    EXPECT_EQ(mem->size(), sizeof(tnvl_cblk));
    expectBlock(mem, 1.0f, 1.0f, 1.0f, 0);
    EXPECT_THAT(log.lines(),
                ElementsAre("[Server]Received buffer request for pid:[1002], session:[7]",
                            "[Server]Request buffer doesn't exsit, allocating",
                            "[Server]Buffer allocated, joining queue"));

    ASSERT_NE(process(kPidARemote), nullptr);
    EXPECT_EQ(process(kPidARemote)->processName, "com.a:remote");
    ASSERT_NE(package("com.a"), nullptr);
    EXPECT_EQ(process(kPidARemote)->package, package("com.a"));
    EXPECT_EQ(package("com.a")->processes.valueFor("com.a:remote"), process(kPidARemote));

    // The client scribbles over the volumes; the repeated request refreshes them.
    blockOf(mem)->left = 9.0f;
    blockOf(mem)->muted = 1;
    log.clear();
    sp<IMemory> again = request(kPidARemote, 7);
    EXPECT_EQ(again, mem);
    EXPECT_EQ(blockOf(again), cblk);
    expectBlock(again, 1.0f, 1.0f, 1.0f, 0);
    EXPECT_THAT(log.lines(),
                ElementsAre("[Server]Received buffer request for pid:[1002], session:[7]",
                            "[Server]Request buffer exsits, retreiving"));
    EXPECT_EQ(registry->getProcessCount(), 1u);
    EXPECT_EQ(registry->packages.size(), 1u);
}

TEST_F(MemManagerTest, TwoSessionsOfOneProcessGetSeparateHeaps) {
    sp<IMemory> first = request(kPidA, 1);
    sp<IMemory> second = request(kPidA, 2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(first->getMemory()->getHeapID(), second->getMemory()->getHeapID());
    EXPECT_EQ(blockOf(second)->session, 2);
    EXPECT_EQ(registry->getProcessCount(), 1u);
    EXPECT_EQ(process(kPidA)->tracks.size(), 2u);
    EXPECT_TRUE(registry->trackBufExist(kPidA, 2).first);
    EXPECT_FALSE(registry->trackBufExist(kPidA, 3).first);
    EXPECT_FALSE(registry->trackBufExist(kPidB, 1).first);
}

// ---- Which volumes apply ----

TEST_F(MemManagerTest, WeakKeyFactorsMultiplyProcessFactors) {
    RegistrySettings::setProfile(settings.p_profiles, "com.a:remote", 0.5f, 0.5f, 0.5f);
    RegistrySettings::setProfile(settings.w_profiles, "com.a", 0.5f, 1.0f, 0.2f);
    RegistrySettings::setProfile(settings.p_profiles, "com.b", 0.3f, 0.6f, 0.9f);
    sp<IMemory> remote = request(kPidARemote, 1);
    sp<IMemory> main = request(kPidA, 1);
    sp<IMemory> other = request(kPidB, 1);

    expectBlock(remote, 0.25f, 0.5f, 0.1f, 0);
    // No exact profile: the default profile times the package's.
    expectBlock(main, 0.5f, 1.0f, 0.2f, 0);
    // No weak-key setting: the process's own values alone.
    expectBlock(other, 0.3f, 0.6f, 0.9f, 0);
    EXPECT_TRUE(process(kPidARemote)->isWeakkey);
    EXPECT_TRUE(process(kPidARemote)->hasProfile);
    EXPECT_FALSE(process(kPidB)->isWeakkey);
    EXPECT_FLOAT_EQ(process(kPidARemote)->left, 0.5f);
    EXPECT_FLOAT_EQ(package("com.a")->general, 0.2f);
}

TEST_F(MemManagerTest, LookupsFindEveryNameInByteOrderedTables) {
    // Prefixes, high bytes and the empty name all in one table, looked up one by one.
    const std::vector<std::string> names = {"",
                                            "com.a",
                                            "com.a:x",
                                            "com.a\xff",
                                            "com.\xc3"
                                            "b",
                                            "com.ab",
                                            "Com.a",
                                            "com.a:",
                                            "z",
                                            "com.a:x:y:z"};
    for (size_t i = 0; i < names.size(); ++i) {
        const float factor = 0.05f * static_cast<float>(i + 1);
        RegistrySettings::setProfile(settings.p_profiles, names[i], factor, factor, factor);
        if (i % 2 == 0) settings.p_muted.add(names[i], true);
    }
    // The empty name stays in the tables; no process registers under it.
    for (size_t i = 1; i < names.size(); ++i) {
        SCOPED_TRACE(i);
        const int pid = 5000 + static_cast<int>(i);
        registry->setCmdLine(pid, names[i]);
        const float factor = 0.05f * static_cast<float>(i + 1);
        expectBlock(request(pid, 1), factor, factor, factor, i % 2 == 0 ? 1 : 0);
    }
    registry->setCmdLine(6000, "com.a:y");
    expectBlock(request(6000, 1), 1.0f, 1.0f, 1.0f, 0);
}

TEST_F(MemManagerTest, MuteOnEitherLevelSilencesTrack) {
    RegistrySettings::setProfile(settings.p_profiles, "com.a:remote", 0.5f, 0.4f, 0.3f);
    settings.w_muted.add("com.a", true);  // package only muted, no weak-key profile
    settings.p_muted.add("com.b", true);  // process muted, package without weak-key setting
    sp<IMemory> remote = request(kPidARemote, 1);
    sp<IMemory> other = request(kPidB, 1);

    expectBlock(remote, 0.5f, 0.4f, 0.3f, 1);
    EXPECT_TRUE(package("com.a")->isWeakkey);
    EXPECT_FALSE(package("com.a")->hasProfile);
    expectBlock(other, 1.0f, 1.0f, 1.0f, 1);

    // A process mute counts under a weak-key package too, and lifting both plays again.
    settings.w_muted.removeItem("com.a");
    RegistrySettings::setProfile(settings.w_profiles, "com.a", 1.0f, 1.0f, 0.5f);
    settings.p_muted.add("com.a:remote", true);
    settings.p_muted.removeItem("com.b");
    registry->invalidate();
    expectBlock(remote, 0.5f, 0.4f, 0.15f, 1);
    expectBlock(other, 1.0f, 1.0f, 1.0f, 0);
}

TEST_F(MemManagerTest, DefaultProfileAndDefaultSilent) {
    settings.defaultProfile.left = 0.7f;
    settings.defaultProfile.general = 0.8f;
    sp<IMemory> a = request(kPidA, 1);
    expectBlock(a, 0.7f, 1.0f, 0.8f, 0);

    settings.defaultSilent = true;
    RegistrySettings::setProfile(settings.p_profiles, "com.b", 0.3f, 0.3f, 0.3f);
    sp<IMemory> b = request(kPidB, 1);
    sp<IMemory> remote = request(kPidARemote, 1);
    expectBlock(b, 0.3f, 0.3f, 0.3f, 0);
    expectBlock(remote, 0.0f, 0.0f, 0.0f, 0);
    EXPECT_FALSE(process(kPidARemote)->hasProfile);
    EXPECT_FALSE(process(kPidARemote)->muted);
    // Registered before the switch: unchanged until the next invalidate().
    expectBlock(a, 0.7f, 1.0f, 0.8f, 0);
    registry->invalidate();
    expectBlock(a, 0.0f, 0.0f, 0.0f, 0);
}

TEST_F(MemManagerTest, RemovingLastWeakKeySettingRestoresProcessValues) {
    RegistrySettings::setProfile(settings.p_profiles, "com.a", 0.8f, 0.6f, 0.4f);
    RegistrySettings::setProfile(settings.w_profiles, "com.a", 0.5f, 0.5f, 0.5f);
    settings.w_muted.add("com.a", true);
    sp<IMemory> first = request(kPidA, 1);
    sp<IMemory> second = request(kPidA, 2);
    expectBlock(first, 0.4f, 0.3f, 0.2f, 1);

    settings.w_profiles.removeItem("com.a");
    registry->invalidate();
    expectBlock(first, 0.8f, 0.6f, 0.4f, 1);  // still weak-key muted
    EXPECT_TRUE(package("com.a")->isWeakkey);

    settings.w_muted.removeItem("com.a");
    // Nothing changes in the blocks until the registry is told.
    expectBlock(second, 0.8f, 0.6f, 0.4f, 1);
    registry->invalidate();
    expectBlock(first, 0.8f, 0.6f, 0.4f, 0);
    expectBlock(second, 0.8f, 0.6f, 0.4f, 0);
    EXPECT_FALSE(package("com.a")->hasProfile);
    EXPECT_FALSE(package("com.a")->muted);
    EXPECT_FALSE(package("com.a")->isWeakkey);
    EXPECT_FALSE(process(kPidA)->isWeakkey);
    EXPECT_FLOAT_EQ(package("com.a")->left, 1.0f);
}

TEST_F(MemManagerTest, SecondTrackTakesProcessValuesWithoutReload) {
    RegistrySettings::setProfile(settings.p_profiles, "com.a", 0.6f, 0.6f, 0.6f);
    sp<IMemory> first = request(kPidA, 1);
    settings.p_profiles.removeItem("com.a");
    settings.defaultSilent = true;
    sp<IMemory> second = request(kPidA, 2);
    expectBlock(second, 0.6f, 0.6f, 0.6f, 0);
    EXPECT_TRUE(process(kPidA)->hasProfile);

    registry->invalidate();
    expectBlock(first, 0.0f, 0.0f, 0.0f, 0);
    expectBlock(second, 0.0f, 0.0f, 0.0f, 0);
}

TEST_F(MemManagerTest, InvalidateWithEmptyRegistryAndUnknownReleasesChangeNothing) {
    registry->invalidate();
    EXPECT_EQ(registry->releaseBuffer(kPidA, 1), 0);
    EXPECT_THAT(log.lines(), ElementsAre("[Server]Try release buffer for pid = 1001, session = 1"));
    EXPECT_EQ(registry->getProcessCount(), 0u);
    EXPECT_TRUE(registry->getAllMems().empty());
}

// ---- Release ----

TEST_F(MemManagerTest, ReleaseOrderTrackProcessPackage) {
    sp<IMemory> a1 = request(kPidA, 1);
    sp<IMemory> a2 = request(kPidA, 2);
    sp<IMemory> remote = request(kPidARemote, 5);
    ASSERT_EQ(registry->getProcessCount(), 2u);

    log.clear();
    EXPECT_EQ(registry->releaseBuffer(kPidA, 99), 0);
    EXPECT_THAT(log.lines(),
                ElementsAre("[Server]Try release buffer for pid = 1001, session = 99",
                            "[Server]Target exist, start working", "[Server]Release successful"));
    EXPECT_EQ(process(kPidA)->tracks.size(), 2u);

    log.clear();
    EXPECT_EQ(registry->releaseBuffer(kPidA, 1), 0);
    EXPECT_THAT(log.lines(),
                ElementsAre("[Server]Try release buffer for pid = 1001, session = 1",
                            "[Server]Target exist, start working", "[Server]Target buffer cleared",
                            "[Server]Release successful"));
    EXPECT_EQ(registry->getProcessCount(), 2u);
    EXPECT_FALSE(registry->trackBufExist(kPidA, 1).first);

    EXPECT_EQ(registry->releaseBuffer(kPidA, 2), 0);
    EXPECT_EQ(registry->getProcessCount(), 1u);
    EXPECT_EQ(process(kPidA), nullptr);
    ASSERT_NE(package("com.a"), nullptr);
    EXPECT_EQ(package("com.a")->processes.size(), 1u);
    EXPECT_EQ(package("com.a")->processes.indexOfKey("com.a"), android::NAME_NOT_FOUND);

    EXPECT_EQ(registry->releaseBuffer(kPidARemote, 5), 0);
    EXPECT_EQ(registry->getProcessCount(), 0u);
    EXPECT_TRUE(registry->packages.isEmpty());

    // The clients' handles still map their blocks; the service no longer writes them.
    RegistrySettings::setProfile(settings.p_profiles, "com.a", 0.1f, 0.1f, 0.1f);
    registry->invalidate();
    expectBlock(a1, 1.0f, 1.0f, 1.0f, 0);
    EXPECT_NE(request(kPidA, 1), a1);
}

TEST_F(MemManagerTest, ReleasedRecordsAreFreed) {
    std::pair<bool, sp<ATrack>> made = registry->requestForBuffer(kPidA, 1);
    ASSERT_TRUE(made.first);
    wp<ATrack> track = made.second;
    wp<PidBean> proc = process(kPidA);
    wp<PackageBean> pkg = package("com.a");
    made.second.clear();
    EXPECT_EQ(registry->releaseBuffer(kPidA, 1), 0);
    EXPECT_EQ(track.promote(), nullptr);
    EXPECT_EQ(proc.promote(), nullptr);
    EXPECT_EQ(pkg.promote(), nullptr);
}

TEST_F(MemManagerTest, ReleaseAllFreesEverythingAndStartsOver) {
    sp<IMemory> a = request(kPidA, 1);
    request(kPidA, 2);
    request(kPidARemote, 1);
    request(kPidB, 3);
    wp<PidBean> proc = process(kPidA);
    wp<PackageBean> pkg = package("com.a");
    wp<ATrack> track = registry->trackBufExist(kPidB, 3).second;
    log.clear();

    EXPECT_EQ(registry->releaseAllBuffer(), 0);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(registry->getProcessCount(), 0u);
    EXPECT_TRUE(registry->packages.isEmpty());
    EXPECT_TRUE(registry->getAllMems().empty());
    EXPECT_EQ(proc.promote(), nullptr);
    EXPECT_EQ(pkg.promote(), nullptr);
    EXPECT_EQ(track.promote(), nullptr);

    sp<IMemory> fresh = request(kPidA, 1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, a);
    EXPECT_EQ(registry->getProcessCount(), 1u);
}

TEST_F(MemManagerTest, DestroyingRegistryFreesRecords) {
    request(kPidA, 1);
    wp<PidBean> proc = process(kPidA);
    wp<PackageBean> pkg = package("com.a");
    registry.clear();
    EXPECT_EQ(proc.promote(), nullptr);
    EXPECT_EQ(pkg.promote(), nullptr);
}

// ---- Failure and odd cases ----

TEST_F(MemManagerTest, HeapFailureLeavesNothingRegistered) {
    for (TestMemManager::HeapMode mode :
         {TestMemManager::HeapMode::kNoDescriptors, TestMemManager::HeapMode::kNull}) {
        SCOPED_TRACE(static_cast<int>(mode));
        registry->setHeapMode(mode);
        log.clear();
        std::pair<bool, sp<ATrack>> result = registry->requestForBuffer(kPidA, 1);
        EXPECT_FALSE(result.first);
        EXPECT_EQ(result.second, nullptr);
        EXPECT_THAT(log.lines(),
                    ElementsAre("[Server]Received buffer request for pid:[1001], session:[1]",
                                "[Server]Request buffer doesn't exsit, allocating"));
        EXPECT_EQ(registry->getProcessCount(), 0u);
        EXPECT_TRUE(registry->packages.isEmpty());
        EXPECT_TRUE(registry->getAllMems().empty());
    }

    // A registered process keeps what it has when a further heap fails.
    registry->setHeapMode(TestMemManager::HeapMode::kReal);
    ASSERT_NE(request(kPidA, 1), nullptr);
    registry->setHeapMode(TestMemManager::HeapMode::kNoDescriptors);
    EXPECT_FALSE(registry->requestForBuffer(kPidA, 2).first);
    EXPECT_EQ(process(kPidA)->tracks.size(), 1u);
    EXPECT_FALSE(registry->trackBufExist(kPidA, 2).first);
    registry->setHeapMode(TestMemManager::HeapMode::kReal);
    EXPECT_NE(request(kPidA, 2), nullptr);
}

TEST_F(MemManagerTest, ExportIsOrderedByPidThenSession) {
    registry->setCmdLine(3000, "com.c");
    registry->setCmdLine(1000, "com.z");
    sp<IMemory> c9 = request(3000, 9);
    sp<IMemory> c2 = request(3000, 2);
    sp<IMemory> z5 = request(1000, 5);
    sp<IMemory> b1 = request(kPidB, 1);
    sp<IMemory> z4 = request(1000, 4);
    std::vector<sp<IMemory>> mems = registry->getAllMems();
    ASSERT_EQ(mems.size(), 5u);
    EXPECT_EQ(mems[0], z4);
    EXPECT_EQ(mems[1], z5);
    EXPECT_EQ(mems[2], b1);
    EXPECT_EQ(mems[3], c2);
    EXPECT_EQ(mems[4], c9);
}

TEST_F(MemManagerTest, ReusedPidGetsItsOwnRecord) {
    settings.p_muted.add("com.a", true);
    RegistrySettings::setProfile(settings.p_profiles, "com.a", 0.5f, 0.5f, 0.5f);
    std::pair<bool, sp<ATrack>> oldTrack = registry->requestForBuffer(kPidA, 1);
    ASSERT_TRUE(oldTrack.first);
    request(kPidA, 2);
    sp<IMemory> oldMem = oldTrack.second->mem;
    wp<PidBean> oldProcess = process(kPidA);
    wp<PackageBean> oldPackage = package("com.a");
    oldTrack.second.clear();

    // The id now belongs to a younger process, asking with the old session id.
    registry->setCmdLine(kPidA, "org.other");
    registry->setStartTime(kPidA, TestMemManager::kFakeStartTime + 1);
    sp<IMemory> mem = request(kPidA, 1);
    ASSERT_NE(mem, nullptr);
    EXPECT_NE(mem, oldMem);
    expectBlock(mem, 1.0f, 1.0f, 1.0f, 0);
    EXPECT_EQ(process(kPidA)->processName, "org.other");
    EXPECT_EQ(process(kPidA)->tracks.size(), 1u);
    EXPECT_EQ(package("com.a"), nullptr);
    EXPECT_NE(package("org.other"), nullptr);
    EXPECT_EQ(registry->getAllMems().size(), 1u);
    EXPECT_EQ(oldProcess.promote(), nullptr);
    EXPECT_EQ(oldPackage.promote(), nullptr);

    // The old block is no longer written.
    settings.p_muted.clear();
    registry->invalidate();
    EXPECT_EQ(blockOf(oldMem)->muted, 1);
}

TEST_F(MemManagerTest, NewProcessThatCannotBeIdentifiedIsRefused) {
    struct Case {
        const char* what;
        std::function<void(int)> setUp;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"empty command line", [this](int pid) { registry->setCmdLine(pid, ""); },
         "[Server]Cannot read the command line of pid 4242, refusing the request"},
        {"stat unreadable", [this](int pid) { registry->setProcError(pid, EMFILE); },
         std::string("[Server]Cannot read /proc/4242/stat (") + strerror(EMFILE) +
             "), refusing the request"},
        {"stat forbidden", [this](int pid) { registry->setProcError(pid, EACCES); },
         std::string("[Server]Cannot read /proc/4242/stat (") + strerror(EACCES) +
             "), refusing the request"},
        {"exited, not reaped", [this](int pid) { registry->setState(pid, 'Z'); },
         "[Server]Pid 4242 has exited, refusing the request"},
        {"no such process", [this](int pid) { registry->exitProcess(pid); },
         "[Server]No process has pid 4242, refusing the request"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        registry = new TestMemManager(settings);
        registry->setCmdLine(4242, "com.named");
        c.setUp(4242);
        log.clear();
        std::pair<bool, sp<ATrack>> result = registry->requestForBuffer(4242, 1);
        EXPECT_FALSE(result.first);
        EXPECT_EQ(result.second, nullptr);
        EXPECT_THAT(log.lines(),
                    ElementsAre("[Server]Received buffer request for pid:[4242], session:[1]",
                                "[Server]Request buffer doesn't exsit, allocating", c.line));
        EXPECT_EQ(registry->pids.size(), 0u);
        EXPECT_TRUE(registry->packages.isEmpty());
    }
    // The same fake, nothing set up to fail, registers.
    registry = new TestMemManager(settings);
    registry->setCmdLine(4242, "com.named");
    EXPECT_NE(request(4242, 1), nullptr);
    EXPECT_EQ(registry->pids.size(), 1u);
}

TEST_F(MemManagerTest, DisplacedSameNamedProcessDoesNotUnfileItsSuccessor) {
    registry->setCmdLine(3001, "com.a");  // a second process of the same name
    sp<IMemory> first = request(kPidA, 1);
    sp<IMemory> second = request(3001, 1);
    EXPECT_EQ(package("com.a")->processes.valueFor("com.a"), process(3001));
    EXPECT_EQ(registry->getProcessCount(), 2u);

    EXPECT_EQ(registry->releaseBuffer(kPidA, 1), 0);
    ASSERT_NE(package("com.a"), nullptr);
    EXPECT_EQ(package("com.a")->processes.valueFor("com.a"), process(3001));
    RegistrySettings::setProfile(settings.p_profiles, "com.a", 0.2f, 0.2f, 0.2f);
    registry->invalidate();
    expectBlock(second, 0.2f, 0.2f, 0.2f, 0);

    EXPECT_EQ(registry->releaseBuffer(3001, 1), 0);
    EXPECT_TRUE(registry->packages.isEmpty());
    EXPECT_EQ(registry->getProcessCount(), 0u);
}

TEST_F(MemManagerTest, DisplacedSameNamedProcessKeepsFollowingTheSettings) {
    registry->setCmdLine(3001, "com.a");
    registry->setCmdLine(3002, "com.a");
    sp<IMemory> first = request(kPidA, 1);
    sp<IMemory> second = request(3001, 1);
    sp<IMemory> third = request(3002, 1);
    EXPECT_EQ(package("com.a")->processes.valueFor("com.a"), process(3002));

    // Only one is listed under the name; all three blocks follow a change.
    RegistrySettings::setProfile(settings.p_profiles, "com.a", 0.2f, 0.3f, 0.4f);
    registry->invalidate();
    for (const sp<IMemory>& mem : {first, second, third}) expectBlock(mem, 0.2f, 0.3f, 0.4f, 0);

    // When the listed one goes, one it displaced takes the name back: the package and its
    // reports go on showing the processes that live.
    registry->exitProcess(3002);
    EXPECT_EQ(registry->getProcessCount(), 2u);
    ASSERT_NE(package("com.a"), nullptr);
    const sp<PidBean> listed = package("com.a")->processes.valueFor("com.a");
    EXPECT_TRUE(listed == process(kPidA) || listed == process(3001));
    EXPECT_NE(registry->dumpMemManager().find("pid = " + std::to_string(listed->pid)),
              std::string::npos);
    settings.p_muted.add("com.a", true);
    registry->invalidate();
    expectBlock(first, 0.2f, 0.3f, 0.4f, 1);
    expectBlock(second, 0.2f, 0.3f, 0.4f, 1);
    expectBlock(third, 0.2f, 0.3f, 0.4f, 0);  // released: no longer written

    EXPECT_EQ(registry->releaseBuffer(listed->pid, 1), 0);
    ASSERT_NE(package("com.a"), nullptr);
    EXPECT_EQ(package("com.a")->processes.size(), 1u);
    EXPECT_EQ(registry->releaseBuffer(package("com.a")->processes.valueAt(0)->pid, 1), 0);
    EXPECT_TRUE(registry->packages.isEmpty());
    EXPECT_EQ(registry->getProcessCount(), 0u);
}

TEST_F(MemManagerTest, ReleasedTrackRecordIgnoresLaterReloads) {
    std::pair<bool, sp<ATrack>> made = registry->requestForBuffer(kPidA, 1);
    ASSERT_TRUE(made.first);
    sp<IMemory> mem = made.second->mem;
    registry->releaseBuffer(kPidA, 1);
    blockOf(mem)->left = 3.0f;
    made.second->reloadCblk();
    EXPECT_EQ(made.second->mem, nullptr);
    EXPECT_EQ(made.second->activeFlag(), 0);
    EXPECT_FLOAT_EQ(blockOf(mem)->left, 3.0f);
}

// ---- Processes that end, and processes that come back ----

// Requests, in both ways of learning of an exit: the kernel's liveness check (no exit
// descriptor, as on kernels without pidfd_open) and watched exit descriptors.
class ReclaimTest : public MemManagerTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        MemManagerTest::SetUp();
        registry->setWatchFakes(GetParam());
    }
};

TEST_P(ReclaimTest, ExitedProcessesAreReleasedAtTheNextRequest) {
    sp<IMemory> a1 = request(kPidA, 1);
    request(kPidA, 2);
    request(kPidARemote, 1);
    sp<IMemory> b = request(kPidB, 1);
    ASSERT_EQ(registry->pids.size(), 3u);
    EXPECT_EQ(process(kPidA)->exitFd >= 0, GetParam());
    wp<PidBean> exitedProcess = process(kPidA);
    wp<PackageBean> exitedPackage = package("com.a");
    wp<ATrack> exitedTrack = registry->trackBufExist(kPidA, 1).second;

    registry->exitProcess(kPidA);
    registry->exitProcess(kPidARemote);
    // Nothing watches in the background: the registry learns of it at its next request.
    EXPECT_EQ(registry->pids.size(), 3u);
    log.clear();
    const int statReads = registry->statReads();
    const int goneChecks = registry->goneChecks();
    EXPECT_EQ(request(kPidB, 1), b);  // a repeated request of another process

    EXPECT_EQ(registry->pids.size(), 1u);
    EXPECT_EQ(registry->packages.size(), 1u);
    EXPECT_EQ(package("com.a"), nullptr);
    EXPECT_EQ(exitedProcess.promote(), nullptr);
    EXPECT_EQ(exitedPackage.promote(), nullptr);
    EXPECT_EQ(exitedTrack.promote(), nullptr);
    EXPECT_THAT(log.lines(),
                ElementsAre("[Server]Received buffer request for pid:[2001], session:[1]",
                            "[Server]Pid 1001 has exited, releasing its 2 tracks",
                            "[Server]Pid 1002 has exited, releasing its 1 tracks",
                            "[Server]Request buffer exsits, retreiving"));
    if (GetParam()) {
        // Watched: no per-process check, and no /proc read for the asking process.
        EXPECT_EQ(registry->goneChecks(), goneChecks);
        EXPECT_EQ(registry->statReads(), statReads);
    } else {
        // Two checks before the release, one for the process left, one read of its start.
        EXPECT_EQ(registry->goneChecks(), goneChecks + 3);
        EXPECT_EQ(registry->statReads(), statReads + 1);
    }

    // The released block is no longer written.
    settings.p_muted.add("com.a", true);
    registry->invalidate();
    EXPECT_EQ(blockOf(a1)->muted, 0);
    EXPECT_EQ(registry->getProcessCount(), 1u);
}

TEST_P(ReclaimTest, ReportsCountOnlyLiveProcesses) {
    const std::vector<std::pair<const char*, std::function<void()>>> reports = {
        {"count", [this] { EXPECT_EQ(registry->getProcessCount(), 1u); }},
        {"export", [this] { EXPECT_EQ(registry->getAllMems().size(), 1u); }},
        {"dump",
         [this] {
             const std::string dump = registry->dumpMemManager();
             EXPECT_EQ(dump.find("com.a"), std::string::npos) << dump;
             EXPECT_NE(dump.find("pid = 2001"), std::string::npos) << dump;
         }},
        {"listing",
         [this] {
             const std::string listing = registry->listBufferInline(1);
             EXPECT_EQ(listing.find("com.a"), std::string::npos) << listing;
             EXPECT_NE(listing.find("\"pid\": \"2001\""), std::string::npos) << listing;
         }},
    };
    for (const auto& report : reports) {
        SCOPED_TRACE(report.first);
        registry = new TestMemManager(settings);
        registry->setWatchFakes(GetParam());
        registry->setCmdLine(kPidA, "com.a");
        registry->setCmdLine(kPidB, "com.b");
        request(kPidA, 1);
        request(kPidA, 2);
        request(kPidB, 1);
        registry->exitProcess(kPidA);
        report.second();
        EXPECT_EQ(registry->pids.size(), 1u);
    }
}

TEST_P(ReclaimTest, ReusedPidIsANewProcess) {
    settings.p_muted.add("com.a", true);
    sp<IMemory> old = request(kPidA, 1);
    wp<PidBean> oldProcess = process(kPidA);
    // Between two requests the process exits, is reaped, and its pid goes to a younger
    // process of the same name (the app started again).
    registry->exitProcess(kPidA);
    registry->startProcess(kPidA, "com.a", TestMemManager::kFakeStartTime + 100);
    settings.p_muted.clear();

    sp<IMemory> fresh = request(kPidA, 1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(blockOf(fresh)->muted, 0);  // loaded afresh
    EXPECT_EQ(oldProcess.promote(), nullptr);
    EXPECT_EQ(process(kPidA)->startTime, TestMemManager::kFakeStartTime + 100);
    EXPECT_EQ(process(kPidA)->tracks.size(), 1u);
    EXPECT_EQ(registry->getAllMems().size(), 1u);
    // The old block is no longer written.
    settings.p_muted.add("com.a", true);
    registry->invalidate();
    EXPECT_EQ(blockOf(fresh)->muted, 1);
    settings.p_muted.clear();
    registry->invalidate();
    EXPECT_EQ(blockOf(old)->muted, 1);
}

INSTANTIATE_TEST_SUITE_P(ByExitDescriptor, ReclaimTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Watched" : "Checked";
                         });

TEST_F(MemManagerTest, FailedProcReadReleasesNothing) {
    for (int error : {EMFILE, EACCES, EIO}) {
        SCOPED_TRACE(strerror(error));
        registry = new TestMemManager(settings);
        registry->setCmdLine(kPidA, "com.a");
        sp<IMemory> mem = request(kPidA, 1);
        sp<PidBean> before = process(kPidA);
        registry->setProcError(kPidA, error);
        log.clear();

        EXPECT_EQ(request(kPidA, 1), mem);
        EXPECT_THAT(log.lines(),
                    ElementsAre("[Server]Received buffer request for pid:[1001], session:[1]",
                                "[Server]Request buffer exsits, retreiving"));
        // A further track of the registered process needs no /proc read.
        EXPECT_NE(request(kPidA, 2), nullptr);
        EXPECT_EQ(process(kPidA), before);
        EXPECT_EQ(before->tracks.size(), 2u);
        EXPECT_EQ(registry->getProcessCount(), 1u);
        EXPECT_EQ(registry->getAllMems().size(), 2u);

        // The kernel's word that the pid is free still counts.
        registry->exitProcess(kPidA);
        EXPECT_EQ(registry->getProcessCount(), 0u);
    }
}

TEST_F(MemManagerTest, ProcessThatRewritesItsArgvKeepsItsTracks) {
    settings.p_muted.add("com.a", true);
    sp<IMemory> mem = request(kPidA, 1);
    const int reads = registry->cmdLineReads();
    registry->setCmdLine(kPidA, "renamed:by.itself");
    EXPECT_EQ(request(kPidA, 1), mem);
    sp<IMemory> second = request(kPidA, 2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(registry->cmdLineReads(), reads);
    EXPECT_EQ(process(kPidA)->processName, "com.a");
    EXPECT_EQ(process(kPidA)->tracks.size(), 2u);
    EXPECT_EQ(blockOf(second)->muted, 1);
    EXPECT_EQ(package("renamed"), nullptr);
    EXPECT_EQ(registry->getProcessCount(), 1u);
}

TEST_F(MemManagerTest, ExitedButUnreapedProcessGoesAtItsOwnRequest) {
    // Without an exit descriptor a zombie still counts as alive for the kernel's check; its
    // state letter shows it when its pid is asked about.
    sp<IMemory> mem = request(kPidA, 1);
    registry->setState(kPidA, 'Z');
    EXPECT_EQ(registry->getProcessCount(), 1u);
    EXPECT_FALSE(registry->requestForBuffer(kPidA, 1).first);
    EXPECT_EQ(registry->pids.size(), 0u);
}

// ---- Holds and the caps on apps' blocks ----

constexpr int kMixerPid = 3001;  // a privileged holder of other processes' tracks
constexpr uid_t kUidA = 10001;   // com.a's processes
constexpr uid_t kUidB = 10002;

android::MemManager::Holder app(int pid, uid_t uid) {
    return {pid, uid, false};
}

const android::MemManager::Holder kMixer = {kMixerPid, 1041, true};

TEST_F(MemManagerTest, EachRequestIsAHoldAndEachKindOfHolderItsOwnBlock) {
    registry->setCmdLine(kMixerPid, "/system/bin/audioserver");
    auto mem = [this](const android::MemManager::Holder& holder, int pid, int session) {
        std::pair<bool, sp<ATrack>> r = registry->requestForBuffer(pid, session, holder);
        EXPECT_EQ(r.first, r.second != nullptr);
        return r.first ? r.second->memOf(holder.privileged ? ATrack::MIXER : ATrack::APP) : nullptr;
    };
    // A track restored under the same session before the old one is released.
    const sp<IMemory> mixer = mem(kMixer, kPidA, 7);
    ASSERT_EQ(mixer, mem(kMixer, kPidA, 7));
    registry->releaseBuffer(kPidA, 7, kMixer);
    RegistrySettings::setProfile(settings.p_profiles, "com.a", 0.5f, 0.5f, 0.5f);
    registry->invalidate();
    expectBlock(mixer, 0.5f, 0.5f, 0.5f, 0);

    // The app's own block: the same values, but nothing it writes reaches the mixer's, and
    // its releases give back only its own holds.
    const sp<IMemory> own = mem(app(kPidA, kUidA), kPidA, 7);
    ASSERT_NE(nullptr, own);
    ASSERT_NE(blockOf(own), blockOf(mixer));
    expectBlock(own, 0.5f, 0.5f, 0.5f, 0);
    blockOf(own)->general = 9.0f;
    blockOf(own)->muted = 0;
    settings.p_muted.add("com.a", true);
    registry->invalidate();
    expectBlock(mixer, 0.5f, 0.5f, 0.5f, 1);
    for (int i = 0; i < 3; ++i) registry->releaseBuffer(kPidA, 7, app(kPidA, kUidA));
    EXPECT_EQ(nullptr, registry->trackBufExist(kPidA, 7).second->appMem);
    EXPECT_EQ(0u, registry->appBlocksOf(kUidA));
    settings.p_muted.clear();
    registry->invalidate();
    expectBlock(mixer, 0.5f, 0.5f, 0.5f, 0);

    // The last hold takes the track, and the process with it.
    registry->releaseBuffer(kPidA, 7, kMixer);
    EXPECT_FALSE(registry->trackBufExist(kPidA, 7).first);
    EXPECT_EQ(nullptr, process(kPidA));
    EXPECT_EQ(0u, registry->holders.size());

    // A holder that exits gives back its holds: what only it held goes, the rest stays.
    ASSERT_NE(nullptr, mem(kMixer, kPidA, 1));
    ASSERT_NE(nullptr, mem(kMixer, kPidB, 2));
    ASSERT_NE(nullptr, mem(app(kPidB, kUidB), kPidB, 2));
    registry->exitProcess(kMixerPid);
    EXPECT_EQ(1u, registry->getProcessCount());
    std::pair<bool, sp<ATrack>> left = registry->trackBufExist(kPidB, 2);
    ASSERT_TRUE(left.first);
    EXPECT_EQ(nullptr, left.second->mem);
    EXPECT_NE(nullptr, left.second->appMem);
    EXPECT_EQ(0u, registry->holders.size());
    // A holder that cannot be identified holds nothing.
    EXPECT_FALSE(registry->requestForBuffer(kPidB, 3, kMixer).first);
}

TEST_F(MemManagerTest, AppsBlocksAreCappedPerPidPerUidAndInAll) {
    registry->setCmdLine(kMixerPid, "/system/bin/audioserver");
    registry->setLimits({4, 6, 8});
    auto grant = [this](const android::MemManager::Holder& holder, int pid, int from, int to) {
        size_t n = 0;
        for (int s = from; s < to; ++s) n += registry->requestForBuffer(pid, s, holder).first;
        return n;
    };
    EXPECT_EQ(4u, grant(app(kPidA, kUidA), kPidA, 0, 10));              // per pid
    EXPECT_EQ(2u, grant(app(kPidARemote, kUidA), kPidARemote, 0, 10));  // per uid
    EXPECT_EQ(2u, grant(app(kPidB, kUidB), kPidB, 0, 10));              // in all
    EXPECT_EQ(6u, registry->appBlocksOf(kUidA));
    // Repeats of held sessions are served; the mixer is never counted.
    EXPECT_EQ(4u, grant(app(kPidA, kUidA), kPidA, 0, 4));
    EXPECT_EQ(20u, grant(kMixer, kPidB, 0, 20));
    const size_t capLines = log.count("cap of");
    EXPECT_EQ(3u, capLines);  // once per process refused
    EXPECT_EQ(0u, grant(app(kPidA, kUidA), kPidA, 10, 20));
    EXPECT_EQ(capLines, log.count("cap of"));

    // Releases make room again; Limits for a real descriptor limit keep a reserve.
    registry->releaseBuffer(kPidB, 0, app(kPidB, kUidB));
    EXPECT_EQ(1u, grant(app(kPidB, kUidB), kPidB, 100, 110));
    const android::MemManager::Limits real = android::MemManager::Limits::forDescriptors(1024);
    EXPECT_LE(2 * real.unprivileged, 1024u - 256u);
    EXPECT_LT(real.perUid, real.unprivileged);
    EXPECT_EQ(64u, real.perPid);
}

// ---- Real processes ----

TEST(MemManagerProcessTest, NamesComeFromProcCmdline) {
    RegistrySettings settings;
    sp<android::MemManager> registry =
        new android::MemManager(&settings.defaultProfile, &settings.p_profiles, &settings.p_muted,
                                &settings.w_profiles, &settings.w_muted, &settings.defaultSilent);
    ChildGuard guard = startNamedChild("com.tonvale.child:svc");
    ASSERT_TRUE(guard.running());
    const pid_t child = guard.pid();
    RegistrySettings::setProfile(settings.w_profiles, "com.tonvale.child", 0.5f, 0.5f, 0.5f);

    std::pair<bool, sp<ATrack>> own = registry->requestForBuffer(getpid(), 1);
    std::pair<bool, sp<ATrack>> other = registry->requestForBuffer(child, 1);
    ASSERT_TRUE(own.first);
    ASSERT_TRUE(other.first);
    EXPECT_EQ(registry->pids.valueFor(getpid())->processName,
              android::Utils::ProcessControl::getCmdLine(getpid()));
    sp<PidBean> childProcess = registry->pids.valueFor(child);
    EXPECT_EQ(childProcess->processName, "com.tonvale.child:svc");
    EXPECT_EQ(childProcess->package->packageName, "com.tonvale.child");
    EXPECT_FLOAT_EQ(blockOf(other.second->mem)->left, 0.5f);
}

// The registry as the service makes it, on a kernel without pidfd_open.
class UnwatchedMemManager : public android::MemManager {
public:
    explicit UnwatchedMemManager(RegistrySettings& s)
        : MemManager(&s.defaultProfile, &s.p_profiles, &s.p_muted, &s.w_profiles, &s.w_muted,
                     &s.defaultSilent) {}

protected:
    int openExitFd(int) override { return -ENOSYS; }
};

size_t openFdCount() {
    return tonvale_test::listDir("/proc/self/fd").size();
}

bool kernelHasPidfd() {
    const int fd = android::Utils::ProcessControl::openPidFd(getpid());
    if (fd >= 0) close(fd);
    return fd != -ENOSYS;
}

// true: the kernel's exit descriptors; false: the liveness check alone.
class RealProcessReclaimTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam() && !kernelHasPidfd()) GTEST_SKIP() << "this kernel has no pidfd_open";
        fdsBefore = openFdCount();
        if (GetParam()) {
            registry = new android::MemManager(&settings.defaultProfile, &settings.p_profiles,
                                               &settings.p_muted, &settings.w_profiles,
                                               &settings.w_muted, &settings.defaultSilent);
        } else {
            registry = new UnwatchedMemManager(settings);
        }
    }

    RegistrySettings settings;
    sp<android::MemManager> registry;
    size_t fdsBefore = 0;
};

TEST_P(RealProcessReclaimTest, KilledChildrenAreReleasedWithTheirDescriptors) {
    std::vector<ChildGuard> guards;
    std::vector<pid_t> children;
    for (int i = 0; i < 3; ++i) {
        guards.push_back(startNamedChild("com.reclaim.c" + std::to_string(i)));
        ASSERT_TRUE(guards.back().running());
        const pid_t child = guards.back().pid();
        children.push_back(child);
        ASSERT_TRUE(registry->requestForBuffer(child, 1).first);
        ASSERT_TRUE(registry->requestForBuffer(child, 2).first);
        EXPECT_EQ(registry->pids.valueFor(child)->exitFd >= 0, GetParam());
    }
    ASSERT_TRUE(registry->requestForBuffer(getpid(), 1).first);
    EXPECT_EQ(registry->getProcessCount(), 4u);
    EXPECT_GT(openFdCount(), fdsBefore);

    guards[0].stop();
    guards[2].stop();
    EXPECT_EQ(registry->getProcessCount(), 2u);
    EXPECT_EQ(registry->pids.valueFor(children[0]), nullptr);
    EXPECT_NE(registry->pids.valueFor(children[1]), nullptr);
    EXPECT_EQ(registry->getAllMems().size(), 3u);
    // A pid that no process has now is refused.
    EXPECT_FALSE(registry->requestForBuffer(children[2], 1).first);
    EXPECT_EQ(registry->pids.size(), 2u);

    guards[1].stop();
    EXPECT_EQ(registry->releaseBuffer(getpid(), 1), 0);
    EXPECT_EQ(registry->getProcessCount(), 0u);
    // Heaps, exit descriptors and the exit set are all closed again.
    EXPECT_EQ(openFdCount(), fdsBefore);
}

TEST_P(RealProcessReclaimTest, ExitedChildNotYetReapedIsReleasedWhenWatched) {
    ChildGuard guard = startNamedChild("com.reclaim.zombie");
    ASSERT_TRUE(guard.running());
    const pid_t child = guard.pid();
    ASSERT_TRUE(registry->requestForBuffer(child, 1).first);
    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_TRUE(waitEndedUnreaped(child));  // exited, not reaped
    // Only its exit descriptor tells; the liveness check waits for the reaping.
    EXPECT_EQ(registry->getProcessCount(), GetParam() ? 0u : 1u);
    guard.stop();
    EXPECT_EQ(registry->getProcessCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ByExitDescriptor, RealProcessReclaimTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Watched" : "Checked";
                         });

TEST(MemManagerProcessTest, ProcessThatRenamesItselfKeepsItsTracks) {
    RegistrySettings settings;
    settings.p_muted.add("com.first", true);
    sp<android::MemManager> registry =
        new android::MemManager(&settings.defaultProfile, &settings.p_profiles, &settings.p_muted,
                                &settings.w_profiles, &settings.w_muted, &settings.defaultSilent);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t parent = getpid();
    const pid_t child = forkProcess();
    if (child == 0) {
        dieWithParent(parent);
        dup2(fds[0], 0);
        close(fds[1]);
        execl("/bin/bash", "com.first", "-c", "read line; exec -a com.second /bin/sleep 30",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    ASSERT_GT(child, 0);
    ChildGuard guard(child);
    ASSERT_TRUE(waitForCmdLine(child, "com.first"));
    std::pair<bool, sp<ATrack>> firstTrack = registry->requestForBuffer(child, 1);
    ASSERT_TRUE(firstTrack.first);
    sp<IMemory> first = firstTrack.second->mem;
    EXPECT_EQ(blockOf(first)->muted, 1);

    // Same pid, same start time: the same process under a new command line.
    ASSERT_EQ(write(fds[1], "\n", 1), 1);
    close(fds[1]);
    ASSERT_TRUE(waitForCmdLine(child, "com.second"));
    std::pair<bool, sp<ATrack>> again = registry->requestForBuffer(child, 1);
    ASSERT_TRUE(again.first);
    EXPECT_EQ(again.second->mem, first);
    std::pair<bool, sp<ATrack>> second = registry->requestForBuffer(child, 2);
    ASSERT_TRUE(second.first);
    EXPECT_EQ(blockOf(second.second->mem)->muted, 1);
    sp<PidBean> process = registry->pids.valueFor(child);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->processName, "com.first");
    EXPECT_EQ(process->tracks.size(), 2u);
    EXPECT_EQ(registry->getProcessCount(), 1u);
}

}  // namespace
}  // namespace tonvale_test
