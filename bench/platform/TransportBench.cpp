// Round trips of the host binder against a raw Unix-socket ping-pong between the same two
// processes, measured in interleaved blocks so that a busy machine's noise falls on both alike.
// Prints BENCH lines: the empty transaction's p50 and p99, the raw ping-pong's p50 of the same
// run and their ratio, and transactions per second on one connection (one caller, and four
// threads sharing it).
//
// `bench_transport --roundtrips=N` runs N empty transactions and nothing else (and
// `--raw-roundtrips=N` N raw ones), for counting system calls or CPU time: strace -c -f (or
// perf stat) over N and over 0 round trips, the difference divided by N.
#include <benchmark/benchmark.h>
#include <binder/Binder.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace android {
namespace {

constexpr const char* kName = "bench.transport";
constexpr int kRounds = 10;
constexpr int kBlock = 2000;
constexpr int kThreads = 4;

enum : uint32_t { EMPTY = IBinder::FIRST_CALL_TRANSACTION, BYTES64 };

class BenchService : public BBinder {
protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        switch (code) {
            case EMPTY:
                return NO_ERROR;
            case BYTES64: {
                const void* in = data.readInplace(64);
                return in != nullptr ? reply->write(in, 64) : BAD_VALUE;
            }
            default:
                return BBinder::onTransact(code, data, reply, flags);
        }
    }
};

pid_t gServer = -1;
int gRawFd = -1;
sp<IBinder> gService;
std::vector<std::string> gLines;

void rawEcho(int fd) {
    char buf[64];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0 || write(fd, buf, n) != n) _exit(0);
    }
}

bool startServer() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    gServer = fork();
    if (gServer == 0) {
        close(sv[0]);
        std::thread(rawEcho, sv[1]).detach();
        defaultServiceManager()->addService(String16(kName), new BenchService());
        ProcessState::self()->startThreadPool();
        IPCThreadState::self()->joinThreadPool(true);
        _exit(0);
    }
    close(sv[1]);
    gRawFd = sv[0];
    gService = defaultServiceManager()->getService(String16(kName));
    return gServer > 0 && gService != nullptr;
}

void stopServer() {
    gService.clear();
    if (gServer > 0) {
        kill(gServer, SIGKILL);
        waitpid(gServer, nullptr, 0);
    }
}

double percentile(std::vector<double> us, size_t permille) {
    std::sort(us.begin(), us.end());
    return us[std::min(us.size() - 1, us.size() * permille / 1000)];
}

void addLine(const std::string& name, double value, const char* unit) {
    char line[160];
    snprintf(line, sizeof(line), "BENCH transport_%s %.2f %s", name.c_str(), value, unit);
    gLines.push_back(line);
}

bool emptyCall() {
    Parcel data, reply;
    return gService->transact(EMPTY, data, &reply) == NO_ERROR;
}

bool call64() {
    static uint8_t payload[64] = {1, 2, 3};
    Parcel data, reply;
    data.write(payload, sizeof(payload));
    return gService->transact(BYTES64, data, &reply) == NO_ERROR && reply.dataSize() == 64;
}

bool rawCall() {
    char b[4] = {1, 2, 3, 4};
    return write(gRawFd, b, sizeof(b)) == 4 && read(gRawFd, b, sizeof(b)) == 4;
}

double elapsedUs(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

// Each round runs a block of every kind back to back on one connection; the rounds spread a
// busy machine's noise over all kinds alike, and each block keeps its kind in steady state.
void BM_RoundTrips(benchmark::State& state) {
    bool (*const calls[])() = {rawCall, emptyCall, call64};
    const char* const names[] = {"raw", "empty", "64b"};
    std::vector<double> us[3];
    double totalUs[3] = {0, 0, 0};
    double sharedUs = 0;
    size_t sharedCalls = 0;
    for (auto _ : state) {
        for (int k = 0; k < 3; ++k) {
            const auto block = std::chrono::steady_clock::now();
            for (int i = 0; i < kBlock; ++i) {
                const auto t0 = std::chrono::steady_clock::now();
                if (!calls[k]()) {
                    state.SkipWithError("round trip failed");
                    return;
                }
                us[k].push_back(elapsedUs(t0));
            }
            totalUs[k] += elapsedUs(block);
        }
        // Several callers on the one connection: their calls overlap on the wire.
        std::atomic<bool> failed{false};
        const auto block = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kBlock / kThreads; ++i) {
                    if (!emptyCall()) failed = true;
                }
            });
        }
        for (auto& th : threads) th.join();
        sharedUs += elapsedUs(block);
        sharedCalls += (kBlock / kThreads) * kThreads;
        if (failed) {
            state.SkipWithError("shared round trip failed");
            return;
        }
    }
    double p50[3];
    for (int k = 0; k < 3; ++k) {
        const std::string name = names[k];
        p50[k] = percentile(us[k], 500);
        state.counters[name + "_p50_us"] = p50[k];
        addLine(name + "_p50", p50[k], "us");
        if (k == 0) continue;
        const double p99 = percentile(us[k], 990);
        addLine(name + "_p99", p99, "us");
        state.counters[name + "_p99_us"] = p99;
    }
    addLine("empty_p50_vs_raw", p50[1] / p50[0], "x");
    addLine("64b_p50_vs_raw", p50[2] / p50[0], "x");
    char line[160];
    snprintf(line, sizeof(line), "BENCH transport_empty_per_s_one_caller %.0f tx/s",
             us[1].size() / (totalUs[1] / 1e6));
    gLines.push_back(line);
    snprintf(line, sizeof(line), "BENCH transport_empty_per_s_%d_callers %.0f tx/s", kThreads,
             sharedCalls / (sharedUs / 1e6));
    gLines.push_back(line);
    snprintf(line, sizeof(line), "BENCH transport_raw_per_s %.0f tx/s",
             us[0].size() / (totalUs[0] / 1e6));
    gLines.push_back(line);
}

BENCHMARK(BM_RoundTrips)->Iterations(kRounds)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace android

int main(int argc, char** argv) {
    long roundTrips = -1;
    bool raw = false;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--roundtrips=", 13) == 0) {
            roundTrips = strtol(argv[i] + 13, nullptr, 10);
        } else if (strncmp(argv[i], "--raw-roundtrips=", 17) == 0) {
            roundTrips = strtol(argv[i] + 17, nullptr, 10);
            raw = true;
        }
    }
    if (!android::startServer()) {
        fprintf(stderr, "bench transport: the server did not start\n");
        android::stopServer();
        return 1;
    }
    if (roundTrips >= 0) {
        for (long i = 0; i < roundTrips; ++i) {
            if (!(raw ? android::rawCall() : android::emptyCall())) {
                fprintf(stderr, "bench transport: round trip %ld failed\n", i);
                android::stopServer();
                return 1;
            }
        }
        android::stopServer();
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    android::stopServer();
    for (const auto& line : android::gLines) printf("%s\n", line.c_str());
    return 0;
}
