#pragma once

#include <binder/IMemory.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "registry/MemManager.h"
#include "registry/tnvl_cblk.h"
#include "service/tonvale_process_volume.h"

namespace tonvale_test {

/** The settings a Tonvale object would own, built in the test. */
struct RegistrySettings {
    android::tonvale_process_volume_t defaultProfile;
    android::tonvale_profile_table_t p_profiles{android::tonvale_process_volume_t()};
    android::tonvale_mute_table_t p_muted{false};
    android::tonvale_profile_table_t w_profiles{android::tonvale_process_volume_t()};
    android::tonvale_mute_table_t w_muted{false};
    bool defaultSilent = false;

    static void setProfile(android::tonvale_profile_table_t& table, const std::string& name,
                           float left, float right, float general);
};

/** A registry with seams: fixed command lines per pid and injectable heap failure. */
class TestMemManager : public android::MemManager {
public:
    enum class HeapMode { kReal, kNoDescriptors, kNull };

    explicit TestMemManager(RegistrySettings& settings);

    /** Command line reported for pid instead of /proc's. */
    void setCmdLine(int pid, const std::string& cmdLine) { cmdLines_[pid] = cmdLine; }
    void setHeapMode(HeapMode mode) { heapMode_ = mode; }
    int cmdLineReads() const { return cmdLineReads_; }

protected:
    std::string readCmdLine(int pid) override;
    android::sp<android::MemoryHeapBase> createTrackHeap() override;

private:
    std::map<int, std::string> cmdLines_;
    HeapMode heapMode_ = HeapMode::kReal;
    int cmdLineReads_ = 0;
};

/** The block as a client sees it, through IMemory::pointer(). */
android::tnvl_cblk* blockOf(const android::sp<android::IMemory>& mem);

/** Collects the registry's debug lines for its lifetime. */
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    void clear();
};

/** A child started as argv0 running /bin/sleep; waits until /proc shows the name. */
pid_t startNamedChild(const std::string& argv0);

/** Kills and reaps a child. */
void stopChild(pid_t pid);

/** Polls /proc/<pid>/cmdline until it reads expected; false after about 5 s. */
bool waitForCmdLine(pid_t pid, const std::string& expected);

}  // namespace tonvale_test
