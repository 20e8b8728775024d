// Round trips of the host binder against a raw Unix-socket ping-pong between the same two
// processes. Prints BENCH lines: p50 and p99 latency and throughput of each.
#include <benchmark/benchmark.h>
#include <binder/Binder.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace android {
namespace {

constexpr const char* kName = "bench.transport";
constexpr int kIterations = 20000;

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
double gRawP50 = 0;

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

void report(benchmark::State& state, const char* name, std::vector<double>& us, double seconds) {
    std::sort(us.begin(), us.end());
    const double p50 = us[us.size() / 2];
    const double p99 = us[us.size() * 99 / 100];
    const double rate = us.size() / seconds;
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["per_s"] = rate;
    char line[160];
    snprintf(line, sizeof(line), "BENCH transport_%s_p50 %.2f us", name, p50);
    gLines.push_back(line);
    snprintf(line, sizeof(line), "BENCH transport_%s_p99 %.2f us", name, p99);
    gLines.push_back(line);
    snprintf(line, sizeof(line), "BENCH transport_%s_throughput %.0f tx/s", name, rate);
    gLines.push_back(line);
    if (std::string(name) == "raw") {
        gRawP50 = p50;
    } else if (gRawP50 > 0) {
        snprintf(line, sizeof(line), "BENCH transport_%s_p50_vs_raw %.2f x", name, p50 / gRawP50);
        gLines.push_back(line);
    }
}

template <typename F>
void measure(benchmark::State& state, const char* name, F roundTrip) {
    std::vector<double> us;
    us.reserve(kIterations);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!roundTrip()) {
            state.SkipWithError("round trip failed");
            return;
        }
        const auto t1 = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report(state, name, us, seconds);
}

void BM_EmptyTransaction(benchmark::State& state) {
    measure(state, "empty", [] {
        Parcel data, reply;
        return gService->transact(EMPTY, data, &reply) == NO_ERROR;
    });
}

void BM_Transaction64(benchmark::State& state) {
    uint8_t payload[64];
    for (int i = 0; i < 64; ++i) payload[i] = static_cast<uint8_t>(i);
    measure(state, "64b", [&] {
        Parcel data, reply;
        data.write(payload, sizeof(payload));
        return gService->transact(BYTES64, data, &reply) == NO_ERROR && reply.dataSize() == 64;
    });
}

void BM_RawPingPong(benchmark::State& state) {
    measure(state, "raw", [] {
        char b[4] = {1, 2, 3, 4};
        return write(gRawFd, b, sizeof(b)) == 4 && read(gRawFd, b, sizeof(b)) == 4;
    });
}

BENCHMARK(BM_RawPingPong)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EmptyTransaction)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Transaction64)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace android

int main(int argc, char** argv) {
    if (!android::startServer()) {
        fprintf(stderr, "bench transport: the server did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    android::gService.clear();
    kill(android::gServer, SIGKILL);
    waitpid(android::gServer, nullptr, 0);
    for (const auto& line : android::gLines) printf("%s\n", line.c_str());
    return 0;
}
