// One client-function call (lookup plus transaction) against the bare transport round trip,
// both to a real Tonvale served from a forked process.
#include <benchmark/benchmark.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utils/String16.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench/common/BenchStats.h"
#include "interface/TonvaleClient.h"
#include "service/Tonvale.h"

using namespace android;

using tonvale_bench::micros;
using tonvale_bench::percentile;

namespace {

std::vector<double> gPing, gTx, gWrapper;

template <typename F>
void sampled(benchmark::State& state, std::vector<double>* samples, F f) {
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        f();
        samples->push_back(micros(std::chrono::steady_clock::now() - start));
    }
}

sp<IBinder> service() {
    static sp<IBinder> binder;
    if (binder == nullptr) binder = defaultServiceManager()->checkService(String16("tonvale"));
    return binder;
}

void BM_BarePing(benchmark::State& state) {
    sampled(state, &gPing, [] { service()->pingBinder(); });
}
BENCHMARK(BM_BarePing)->Unit(benchmark::kMicrosecond);

void BM_GetSwitchesTransaction(benchmark::State& state) {
    sp<ITonvale> tonvale = interface_cast<ITonvale>(service());
    sampled(state, &gTx, [&] { benchmark::DoNotOptimize(tonvale->getSwitches()); });
}
BENCHMARK(BM_GetSwitchesTransaction)->Unit(benchmark::kMicrosecond);

void BM_GetSwitchesWrapper(benchmark::State& state) {
    sampled(state, &gWrapper, [] { benchmark::DoNotOptimize(getSwitches()); });
}
BENCHMARK(BM_GetSwitchesWrapper)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    pid_t server = fork();
    if (server == 0) {
        defaultServiceManager()->addService(String16("tonvale"), new Tonvale());
        ProcessState::self()->startThreadPool();
        IPCThreadState::self()->joinThreadPool(true);
        _exit(0);
    }
    for (int i = 0; i < 500 && service() == nullptr; ++i) usleep(10000);
    if (service() == nullptr) {
        fprintf(stderr, "service did not start\n");
        kill(server, SIGKILL);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    printf("BENCH client_bare_ping_p50 %.2f us\n", percentile(gPing, 0.5));
    printf("BENCH client_transaction_p50 %.2f us\n", percentile(gTx, 0.5));
    printf("BENCH client_wrapper_p50 %.2f us\n", percentile(gWrapper, 0.5));
    printf("BENCH client_wrapper_p99 %.2f us\n", percentile(gWrapper, 0.99));
    return 0;
}
