// Cost of the registry's hot paths: invalidate() over many tracks, and block requests, also
// with 100 live processes registered, whose exits each request checks for.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "registry/MemManager.h"
#include "utils/tonvale_process_volume.h"

using android::ATrack;
using android::MemManager;
using android::MemoryHeapBase;
using android::sp;
using android::tonvale_mute_table_t;
using android::tonvale_process_volume_t;
using android::tonvale_profile_table_t;
using android::Utils::ProcessControl::ProcessStat;

extern char** environ;

namespace {

constexpr int kPackages = 100;
constexpr int kTracksPerProcess = 2;
constexpr int kFirstPid = 100000;
constexpr int kRepetitions = 5;

struct Settings {
    tonvale_process_volume_t defaultProfile;
    tonvale_profile_table_t p_profiles{tonvale_process_volume_t()};
    tonvale_mute_table_t p_muted{false};
    tonvale_profile_table_t w_profiles{tonvale_process_volume_t()};
    tonvale_mute_table_t w_muted{false};
    bool defaultSilent = false;
};

std::string packageName(int index) {
    return "com.bench.pkg" + std::to_string(index % kPackages);
}

std::string processName(int process) {
    return packageName(process) + ":p" + std::to_string(process / kPackages);
}

/** The registry as the service makes it: heaps from the platform, names from /proc. */
class PlainMemManager : public MemManager {
public:
    explicit PlainMemManager(Settings& s)
        : MemManager(&s.defaultProfile, &s.p_profiles, &s.p_muted, &s.w_profiles, &s.w_muted,
                     &s.defaultSilent) {}
};

/**
 * Heaps over a memfd: a kernel-only region like the device's ashmem. On the host, libcutils'
 * ashmem creates and unlinks a file under /tmp for every region, so the platform's heap
 * costs a filesystem create there that a device does not pay.
 */
class MemfdMemManager : public PlainMemManager {
public:
    using PlainMemManager::PlainMemManager;

protected:
    sp<MemoryHeapBase> createTrackHeap() override {
        const int fd = static_cast<int>(syscall(SYS_memfd_create, "TNV Track Heap Base", 1u));
        if (fd < 0) return nullptr;
        const size_t size = static_cast<size_t>(getpagesize());
        sp<MemoryHeapBase> heap;
        if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
            heap = new MemoryHeapBase(fd, size);  // maps a duplicate of fd
        }
        close(fd);
        return heap;
    }
};

/** Synthetic processes whose names follow their pids, for filling large registries. */
class SyntheticMemManager : public MemfdMemManager {
public:
    using MemfdMemManager::MemfdMemManager;

protected:
    std::string readCmdLine(int pid) override {
        return pid >= kFirstPid ? processName(pid - kFirstPid) : MemManager::readCmdLine(pid);
    }
    int readProcessStat(int pid, ProcessStat* stat) override {
        if (pid < kFirstPid) return MemManager::readProcessStat(pid, stat);
        stat->state = 'S';
        stat->startTime = 1;
        return 0;
    }
    bool processGone(int pid) override { return pid < kFirstPid && MemManager::processGone(pid); }
    int openExitFd(int pid) override {
        return pid < kFirstPid ? MemManager::openExitFd(pid) : -ENOSYS;
    }
};

/** How a registry learns that its processes have exited. */
enum class ExitCheck {
    kWatched,  // a pidfd per process in one epoll set: what a kernel with pidfd_open gives
    kChecked,  // kill(pid, 0) per process per request: kernels without it (Android 10)
    kBare,     // no checks and no /proc reads at all: the rest of the request, as a peer
};

template <ExitCheck check, typename Base = MemfdMemManager>
class CheckedMemManager : public Base {
public:
    using Base::Base;

protected:
    int readProcessStat(int pid, ProcessStat* stat) override {
        if (check != ExitCheck::kBare) return Base::readProcessStat(pid, stat);
        stat->state = 'S';
        stat->startTime = 1;
        return 0;
    }
    bool processGone(int pid) override {
        return check != ExitCheck::kBare && Base::processGone(pid);
    }
    int openExitFd(int pid) override {
        return check == ExitCheck::kWatched ? Base::openExitFd(pid) : -ENOSYS;
    }
};

/** Sleeping children, each under its own name, alive for the whole run. */
class LiveChildren {
public:
    static const std::vector<pid_t>& get(size_t count) {
        static LiveChildren children;
        while (children.pids_.size() < count) {
            const std::string name = "com.bench.live" + std::to_string(children.pids_.size());
            char* argv[] = {const_cast<char*>(name.c_str()), const_cast<char*>("600"), nullptr};
            pid_t pid = -1;
            if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) != 0) break;
            children.pids_.push_back(pid);
        }
        return children.pids_;
    }
    ~LiveChildren() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    }

private:
    std::vector<pid_t> pids_;
};

// A registry holding one track for each of `live` children; false when one was refused.
bool registerLive(MemManager* registry, size_t live) {
    const std::vector<pid_t>& children = LiveChildren::get(live);
    if (children.size() < live) return false;
    for (size_t i = 0; i < live; ++i) {
        if (!registry->requestForBuffer(children[i], 1).first) return false;
    }
    return registry->getProcessCount() == live;
}

// Weak-key profiles on half the packages, mutes on a tenth, exact profiles on a third of the
// processes: every kind of lookup and both block rules are exercised.
void fillSettings(Settings& settings, int processes) {
    tonvale_process_volume_t volume;
    volume.left = 0.5f;
    volume.right = 0.8f;
    volume.general = 0.9f;
    for (int i = 0; i < kPackages; ++i) {
        if (i % 2 == 0) settings.w_profiles.add(packageName(i), volume);
        if (i % 10 == 0) settings.w_muted.add(packageName(i), true);
    }
    for (int p = 0; p < processes; ++p) {
        if (p % 3 == 0) settings.p_profiles.add(processName(p), volume);
        if (p % 7 == 0) settings.p_muted.add(processName(p), true);
    }
}

void raiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Tracks spread over processes of two tracks each, the processes over 100 packages.
void BM_Invalidate(benchmark::State& state) {
    const int tracks = static_cast<int>(state.range(0));
    const int processes = (tracks + kTracksPerProcess - 1) / kTracksPerProcess;
    Settings settings;
    fillSettings(settings, processes);
    sp<MemManager> registry = new SyntheticMemManager(settings);
    for (int t = 0; t < tracks; ++t) {
        if (!registry->requestForBuffer(kFirstPid + t / kTracksPerProcess, t).first) {
            state.SkipWithError("heap creation failed; raise RLIMIT_NOFILE");
            return;
        }
    }
    for (auto _ : state) {
        registry->invalidate();
    }
    state.counters["tracks"] = tracks;
    state.counters["processes"] = registry->getProcessCount();
    state.counters["packages"] = registry->packages.size();
    registry->releaseAllBuffer();
}
BENCHMARK(BM_Invalidate)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// Times one new block for pid per iteration, released again outside the timing. False (the
// run skipped with error) when a request is refused.
bool timeNewBlocks(benchmark::State& state, MemManager* registry, int pid, const char* error) {
    int session = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::pair<bool, sp<ATrack>> made = registry->requestForBuffer(pid, ++session);
        auto end = std::chrono::steady_clock::now();
        if (!made.first) {
            state.SkipWithError(error);
            return false;
        }
        made.second.clear();
        registry->releaseBuffer(pid, session);
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    return true;
}

// A new block: heap, block, records, loads and the /proc read of our own pid. With anchor,
// a track of the process stays registered, so the request is a further track of it.
template <typename Registry, bool anchor>
void requestNewBlock(benchmark::State& state) {
    Settings settings;
    fillSettings(settings, 10);
    sp<MemManager> registry = new Registry(settings);
    const int pid = getpid();
    if (anchor) registry->requestForBuffer(pid, 0);
    if (!timeNewBlocks(state, registry.get(), pid, "heap creation failed")) return;
    registry->releaseAllBuffer();
}

void BM_NewBlockNewProcess(benchmark::State& state) {
    requestNewBlock<PlainMemManager, false>(state);
}
void BM_NewBlockNewProcessMemfd(benchmark::State& state) {
    requestNewBlock<MemfdMemManager, false>(state);
}
void BM_NewBlockKnownProcess(benchmark::State& state) {
    requestNewBlock<PlainMemManager, true>(state);
}
void BM_NewBlockKnownProcessMemfd(benchmark::State& state) {
    requestNewBlock<MemfdMemManager, true>(state);
}

// The same (pid, session) again: exit check, lookup and refresh of the block.
void BM_ExistingBlock(benchmark::State& state) {
    Settings settings;
    sp<MemManager> registry = new PlainMemManager(settings);
    const int pid = getpid();
    registry->requestForBuffer(pid, 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(registry->requestForBuffer(pid, 1));
    }
    registry->releaseAllBuffer();
}

// With range(0) live processes registered: a new block for this process, which holds one
// already (known) or none (a new process, filed and identified afresh every time).
template <ExitCheck check, bool known, typename Base = MemfdMemManager>
void requestWithLive(benchmark::State& state) {
    Settings settings;
    sp<MemManager> registry = new CheckedMemManager<check, Base>(settings);
    const size_t live = static_cast<size_t>(state.range(0));
    if (!registerLive(registry.get(), live)) {
        state.SkipWithError("could not register the live processes");
        return;
    }
    const int pid = getpid();
    if (known) registry->requestForBuffer(pid, 0);
    if (!timeNewBlocks(state, registry.get(), pid, "request refused")) return;
    state.counters["processes"] = registry->getProcessCount();
    registry->releaseAllBuffer();
}

void BM_NewBlockLiveWatched(benchmark::State& state) {
    requestWithLive<ExitCheck::kWatched, true>(state);
}
void BM_NewBlockLiveChecked(benchmark::State& state) {
    requestWithLive<ExitCheck::kChecked, true>(state);
}
void BM_NewBlockLiveBare(benchmark::State& state) {
    requestWithLive<ExitCheck::kBare, true>(state);
}
void BM_NewBlockLiveWatchedPlatformHeap(benchmark::State& state) {
    requestWithLive<ExitCheck::kWatched, true, PlainMemManager>(state);
}
void BM_NewProcessLiveWatched(benchmark::State& state) {
    requestWithLive<ExitCheck::kWatched, false>(state);
}
void BM_NewProcessLiveChecked(benchmark::State& state) {
    requestWithLive<ExitCheck::kChecked, false>(state);
}
void BM_NewProcessLiveBare(benchmark::State& state) {
    requestWithLive<ExitCheck::kBare, false>(state);
}

// The check alone: getProcessCount() is the release of exited processes and a size.
template <ExitCheck check>
void reclaimCheck(benchmark::State& state) {
    Settings settings;
    sp<MemManager> registry = new CheckedMemManager<check>(settings);
    const size_t live = static_cast<size_t>(state.range(0));
    if (!registerLive(registry.get(), live)) {
        state.SkipWithError("could not register the live processes");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(registry->getProcessCount());
    }
    registry->releaseAllBuffer();
}

void BM_ReclaimCheckLiveWatched(benchmark::State& state) {
    reclaimCheck<ExitCheck::kWatched>(state);
}
void BM_ReclaimCheckLiveChecked(benchmark::State& state) {
    reclaimCheck<ExitCheck::kChecked>(state);
}

#define REQUEST_BENCH(fn)               \
    BENCHMARK(fn)                       \
        ->UseManualTime()               \
        ->Unit(benchmark::kMicrosecond) \
        ->Repetitions(kRepetitions)     \
        ->ReportAggregatesOnly(true)
REQUEST_BENCH(BM_NewBlockNewProcess);
REQUEST_BENCH(BM_NewBlockNewProcessMemfd);
REQUEST_BENCH(BM_NewBlockKnownProcess);
REQUEST_BENCH(BM_NewBlockKnownProcessMemfd);
BENCHMARK(BM_ExistingBlock)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

constexpr int kLive = 100;
#define LIVE_BENCH(fn) REQUEST_BENCH(fn)->Arg(kLive)
LIVE_BENCH(BM_NewBlockLiveWatched);
LIVE_BENCH(BM_NewBlockLiveChecked);
LIVE_BENCH(BM_NewBlockLiveBare);
LIVE_BENCH(BM_NewBlockLiveWatchedPlatformHeap);
LIVE_BENCH(BM_NewProcessLiveWatched);
LIVE_BENCH(BM_NewProcessLiveChecked);
LIVE_BENCH(BM_NewProcessLiveBare);
BENCHMARK(BM_ReclaimCheckLiveWatched)
    ->Arg(kLive)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ReclaimCheckLiveChecked)
    ->Arg(kLive)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// Console output plus one "BENCH <name> <value> <unit>" line per benchmark: the median of
// its repetitions, so that a busy machine's outliers do not decide the figure.
class BenchLineReporter : public benchmark::ConsoleReporter {
public:
    BenchLineReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Aggregate ||
                run.aggregate_name != "median") {
                continue;
            }
            printf("BENCH %s %.3f %s\n",
                   benchName(run.run_name.function_name, run.run_name.args).c_str(),
                   run.GetAdjustedRealTime(), benchmark::GetTimeUnitString(run.time_unit));
        }
        fflush(stdout);
    }

private:
    // BM_ExistingBlock -> registry_existing_block; BM_Invalidate/1000 -> registry_invalidate_1000
    static std::string benchName(const std::string& function, const std::string& args) {
        std::string name = "registry";
        for (size_t i = 3; i < function.size(); ++i) {
            const char c = function[i];
            if (c >= 'A' && c <= 'Z') {
                name += '_';
                name += static_cast<char>(c - 'A' + 'a');
            } else {
                name += c;
            }
        }
        if (!args.empty()) name += "_" + args;
        return name;
    }
};

}  // namespace

int main(int argc, char** argv) {
    raiseDescriptorLimit();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    BenchLineReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
