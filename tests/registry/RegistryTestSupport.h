#pragma once

#include <sys/types.h>

#include <map>
#include <string>

#include "common/Blocks.h"
#include "common/LogCapture.h"
#include "registry/MemManager.h"
#include "registry/tnvl_cblk.h"
#include "utils/tonvale_process_volume.h"

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

/**
 * A registry with seams: fake processes and injectable heap failure. A pid given a command
 * line is a fake process, alive with start time kFakeStartTime until told otherwise; other
 * pids are looked up in the real /proc.
 */
class TestMemManager : public android::MemManager {
public:
    enum class HeapMode { kReal, kNoDescriptors, kNull };
    static constexpr unsigned long long kFakeStartTime = 4242;

    explicit TestMemManager(RegistrySettings& settings);

    /** Command line reported for pid instead of /proc's ("" reads as unreadable). */
    void setCmdLine(int pid, const std::string& cmdLine);
    /** The fake's start time: a new value is another process with the same pid. */
    void setStartTime(int pid, unsigned long long startTime);
    /** Reads of the fake's /proc entries fail with error (EMFILE, EACCES); 0 lets them work. */
    void setProcError(int pid, int error);
    /** The fake's state letter in /proc/<pid>/stat ('S' by default, 'Z' once exited). */
    void setState(int pid, char state);
    /** The fake exits and is reaped: the kernel no longer knows the pid. */
    void exitProcess(int pid);
    /** A new fake under pid, alive, with its own name and start time. */
    void startProcess(int pid, const std::string& cmdLine, unsigned long long startTime);
    /** Fakes registered from now on get exit descriptors (eventfds) the registry watches. */
    void setWatchFakes(bool watch) { watchFakes_ = watch; }
    void setHeapMode(HeapMode mode) { heapMode_ = mode; }

    int cmdLineReads() const { return cmdLineReads_; }
    int statReads() const { return statReads_; }
    int goneChecks() const { return goneChecks_; }

protected:
    std::string readCmdLine(int pid) override;
    android::sp<android::MemoryHeapBase> createTrackHeap() override;
    int readProcessStat(int pid, android::Utils::ProcessControl::ProcessStat* stat) override;
    bool processGone(int pid) override;
    int openExitFd(int pid) override;

private:
    struct Fake {
        std::string cmdLine;
        unsigned long long startTime = kFakeStartTime;
        int procError = 0;
        char state = 'S';
        bool gone = false;
        int exitFd = -1;  // the registry's once handed over
    };

    std::map<int, Fake> fakes_;
    HeapMode heapMode_ = HeapMode::kReal;
    bool watchFakes_ = false;
    int cmdLineReads_ = 0;
    int statReads_ = 0;
    int goneChecks_ = 0;
};

}  // namespace tonvale_test
