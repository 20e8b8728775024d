// Whole tonvale invocations against a running daemon, and how long a setting takes to reach
// a spinning client's block: from the tool, and from a long-lived client with no process start.
#include <benchmark/benchmark.h>
#include <binder/IMemory.h>
#include <binder/IServiceManager.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utils/String16.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/BenchStats.h"
#include "interface/TonvaleClient.h"
#include "registry/tnvl_cblk.h"
#include "utils/Utils.h"

extern char** environ;

using namespace android;

using tonvale_bench::micros;
using tonvale_bench::percentile;

namespace {

std::vector<double> gSetProfile, gOvrStatus, gReach;
// From a long-lived client: until the block changes, and until the call returns.
std::vector<double> gClientBlock, gClientReply, gHeldBlock, gHeldReply;

int runTool(const std::vector<std::string>& args, bool quiet = true) {
    std::vector<char*> argv;
    std::string tool = TONVALE_TOOL_PATH;
    argv.push_back(tool.data());
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_SetProfileInvocation(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        std::string general = std::to_string(++i % 100) + "e-2";
        auto start = std::chrono::steady_clock::now();
        runTool({"--set-profile", "com.bench.tool", "1", "1", general, "false", "false"});
        gSetProfile.push_back(micros(std::chrono::steady_clock::now() - start));
    }
}
BENCHMARK(BM_SetProfileInvocation)->Unit(benchmark::kMillisecond);

void BM_OvrStatusInvocation(benchmark::State& state) {
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        runTool({"--ovr-status"});
        gOvrStatus.push_back(micros(std::chrono::steady_clock::now() - start));
    }
}
BENCHMARK(BM_OvrStatusInvocation)->Unit(benchmark::kMillisecond);

// From the start of the invocation until this process's block holds the new value.
void BM_SetProfileToBlock(benchmark::State& state) {
    sp<ITonvale> service = getTonvale();
    sp<IMemory> mem = service->getTrackCtlBlk(getpid(), 1);
    volatile tnvl_cblk* cblk = static_cast<tnvl_cblk*>(mem->pointer());
    const std::string self = Utils::ProcessControl::getCmdLine(getpid());
    int i = 0;
    for (auto _ : state) {
        const float want = static_cast<float>(++i % 90 + 1) / 100.0f;
        auto start = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point reached;
        std::thread spinner([&] {
            // Yield while spinning: on two cores a hard spin would slow the tool and daemon.
            while (cblk->general != want) sched_yield();
            reached = std::chrono::steady_clock::now();
        });
        runTool(
            {"--set-profile", self, "1", "1", Utils::Caster::numToString(want), "false", "false"});
        spinner.join();
        gReach.push_back(micros(reached - start));
    }
    service->releaseBufferFor(getpid(), 1);
}
BENCHMARK(BM_SetProfileToBlock)->Unit(benchmark::kMillisecond);

/**
 * One change this process makes to its own profile from a long-lived client: a watching
 * thread spins on the block while this one calls, so a block rewritten before the reply is
 * seen when it happens.
 */
template <typename Call>
void timeOwnChange(benchmark::State& state, std::vector<double>* block, std::vector<double>* reply,
                   Call call) {
    sp<ITonvale> service = getTonvale();
    sp<IMemory> mem = service->getTrackCtlBlk(getpid(), 2);
    volatile tnvl_cblk* cblk = static_cast<tnvl_cblk*>(mem->pointer());
    const std::string self = Utils::ProcessControl::getCmdLine(getpid());
    int i = 0;
    for (auto _ : state) {
        const float want = static_cast<float>(++i % 90 + 1) / 100.0f;
        std::atomic<bool> watching{false};
        std::chrono::steady_clock::time_point reached;
        std::thread watcher([&] {
            watching = true;
            while (cblk->general != want) sched_yield();
            reached = std::chrono::steady_clock::now();
        });
        while (!watching) sched_yield();
        auto start = std::chrono::steady_clock::now();
        if (call(service, self, want) != 0) state.SkipWithError("setProfile failed");
        auto returned = std::chrono::steady_clock::now();
        watcher.join();
        // The service rewrites the blocks before it replies, so the block changed by the
        // reply at the latest, however late the watcher ran.
        block->push_back(micros(std::min(reached, returned) - start));
        reply->push_back(micros(returned - start));
    }
    service->releaseBufferFor(getpid(), 2);
}

// The client function: a lookup and the transaction.
void BM_ClientSetProfileToBlock(benchmark::State& state) {
    timeOwnChange(state, &gClientBlock, &gClientReply,
                  [](const sp<ITonvale>&, const std::string& self, float want) {
                      return setProfile(self, 1, 1, want, false, false);
                  });
}
BENCHMARK(BM_ClientSetProfileToBlock)->Unit(benchmark::kMicrosecond);

// The transaction alone, on an interface the client already holds.
void BM_HeldInterfaceSetProfileToBlock(benchmark::State& state) {
    timeOwnChange(state, &gHeldBlock, &gHeldReply,
                  [](const sp<ITonvale>& service, const std::string& self, float want) {
                      return service->setProfile(self, 1, 1, want, false, false);
                  });
}
BENCHMARK(BM_HeldInterfaceSetProfileToBlock)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (runTool({"--service", "--force"}) != 0) return 1;
    sp<IBinder> binder;
    for (int i = 0; i < 500 && binder == nullptr; ++i) {
        binder = defaultServiceManager()->checkService(String16("tonvale"));
        if (binder == nullptr) usleep(10000);
    }
    if (binder == nullptr) return 1;
    std::string status = interface_cast<ITonvale>(binder)->status().string();
    const int daemon = atoi(status.substr(status.find("Self pid = ") + 11).c_str());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (daemon > 0) kill(daemon, SIGKILL);
    printf("BENCH tool_set_profile_p50 %.2f ms\n", percentile(gSetProfile, 0.5) / 1000);
    printf("BENCH tool_ovr_status_p50 %.2f ms\n", percentile(gOvrStatus, 0.5) / 1000);
    printf("BENCH tool_set_profile_to_block_p50 %.2f ms\n", percentile(gReach, 0.5) / 1000);
    printf("BENCH tool_set_profile_to_block_p99 %.2f ms\n", percentile(gReach, 0.99) / 1000);
    const struct {
        const char* name;
        const std::vector<double>& samples;
    } longLived[] = {{"client_set_profile_to_block", gClientBlock},
                     {"client_set_profile_reply", gClientReply},
                     {"held_interface_set_profile_to_block", gHeldBlock},
                     {"held_interface_set_profile_reply", gHeldReply}};
    for (const auto& l : longLived) {
        printf("BENCH %s_p50 %.1f us\n", l.name, percentile(l.samples, 0.5));
        printf("BENCH %s_p99 %.1f us\n", l.name, percentile(l.samples, 0.99));
    }
    return 0;
}
