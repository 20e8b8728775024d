#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "RegistryTestSupport.h"
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
    for (size_t i = 0; i < names.size(); ++i) {
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

    // The id now belongs to another program, asking with the old session id.
    registry->setCmdLine(kPidA, "org.other");
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

TEST_F(MemManagerTest, SameCommandLineKeepsRecordEmptyIncluded) {
    registry->setCmdLine(4242, "");
    sp<IMemory> mem = request(4242, 1);
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(process(4242)->processName, "");
    ASSERT_NE(package(""), nullptr);
    sp<PidBean> before = process(4242);
    EXPECT_EQ(request(4242, 1), mem);
    EXPECT_NE(request(4242, 2), nullptr);
    EXPECT_EQ(process(4242), before);
    EXPECT_EQ(before->tracks.size(), 2u);
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

// ---- Real processes ----

TEST(MemManagerProcessTest, NamesComeFromProcCmdline) {
    RegistrySettings settings;
    sp<android::MemManager> registry =
        new android::MemManager(&settings.defaultProfile, &settings.p_profiles, &settings.p_muted,
                                &settings.w_profiles, &settings.w_muted, &settings.defaultSilent);
    pid_t child = startNamedChild("com.tonvale.child:svc");
    ASSERT_GT(child, 0);
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
    stopChild(child);
}

TEST(MemManagerProcessTest, ProcessThatExecsAnotherProgramIsNewProcess) {
    RegistrySettings settings;
    settings.p_muted.add("com.first", true);
    sp<android::MemManager> registry =
        new android::MemManager(&settings.defaultProfile, &settings.p_profiles, &settings.p_muted,
                                &settings.w_profiles, &settings.w_muted, &settings.defaultSilent);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = forkProcess();
    if (child == 0) {
        dup2(fds[0], 0);
        close(fds[1]);
        execl("/bin/bash", "com.first", "-c", "read line; exec -a com.second /bin/sleep 30",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    ASSERT_GT(child, 0);
    ASSERT_TRUE(waitForCmdLine(child, "com.first"));
    std::pair<bool, sp<ATrack>> firstTrack = registry->requestForBuffer(child, 1);
    ASSERT_TRUE(firstTrack.first);
    sp<IMemory> first = firstTrack.second->mem;
    EXPECT_EQ(blockOf(first)->muted, 1);

    ASSERT_EQ(write(fds[1], "\n", 1), 1);
    close(fds[1]);
    ASSERT_TRUE(waitForCmdLine(child, "com.second"));
    std::pair<bool, sp<ATrack>> secondTrack = registry->requestForBuffer(child, 1);
    ASSERT_TRUE(secondTrack.first);
    sp<IMemory> second = secondTrack.second->mem;
    EXPECT_NE(second, first);
    EXPECT_EQ(blockOf(second)->muted, 0);
    EXPECT_EQ(registry->pids.valueFor(child)->processName, "com.second");
    EXPECT_EQ(registry->packages.size(), 1u);
    stopChild(child);
}

}  // namespace
}  // namespace tonvale_test
