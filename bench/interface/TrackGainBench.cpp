// The gain helper's cost per 10 ms stereo buffer (480 frames at 48 kHz) beside a plain copy of
// the same buffer, the cost of one gains() read (alone, and while a second thread reads the
// same helper, as the mixer thread and FastMixer do) beside a plain read of the block's four
// fields, and a count of the system calls its audio-thread side makes.
//
// Each timed case copies a clean source buffer and then applies the helper, so the samples
// never drift towards denormals; the copy alone is the baseline. The syscall count runs the
// helper on a thread under a seccomp filter that traps every system call but rt_sigreturn
// and exit: each trap is counted by a SIGSYS handler and fails with ENOSYS. A probe call
// before the loop checks that the filter catches calls.
#include <benchmark/benchmark.h>
#include <binder/MemoryHeapBase.h>
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "interface/TrackGain.h"

using namespace android;

namespace {

constexpr int kFrames = 480;
constexpr uint32_t kRate = 48000;

template <typename T>
void put(T* field, T value) {
    __atomic_store(field, &value, __ATOMIC_RELAXED);
}

/** A block in a shared mapping, as a client maps it. */
struct SharedBlock {
    SharedBlock() : heap(new MemoryHeapBase(sizeof(tnvl_cblk), 0, "bench block")) {
        block = static_cast<tnvl_cblk*>(heap->getBase());
        memset(block, 0, sizeof(*block));
        block->valid = 1;
        set(0.5f, 0.25f, 1.0f);
    }
    void set(float left, float right, float general) {
        put(&block->left, left);
        put(&block->right, right);
        put(&block->general, general);
    }
    sp<MemoryHeapBase> heap;
    tnvl_cblk* block;
};

template <typename Sample>
std::vector<Sample> sineBuffer(float scale) {
    std::vector<Sample> buf(2 * kFrames);
    for (int i = 0; i < kFrames; ++i) {
        const float s = scale * 0.5f * std::sin(2 * static_cast<float>(M_PI) * i / 48);
        buf[2 * i] = buf[2 * i + 1] = static_cast<Sample>(s);
    }
    return buf;
}

// Nanoseconds per buffer of the last run of each case.
std::map<std::string, double> gNsPerBuffer;

template <typename F>
void timed(benchmark::State& state, const std::string& name, F body) {
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) body();
    auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start);
    gNsPerBuffer[name] = ns.count() / state.iterations();
}

template <typename Sample>
void copyOnly(benchmark::State& state, const char* name, float scale) {
    const std::vector<Sample> src = sineBuffer<Sample>(scale);
    std::vector<Sample> dst(src.size());
    timed(state, name, [&] {
        memcpy(dst.data(), src.data(), src.size() * sizeof(Sample));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    });
}

/** Copy, then the helper; with ramping, the target flips every buffer so every buffer ramps. */
template <typename Sample>
void copyAndGain(benchmark::State& state, const char* name, float scale, bool ramping) {
    SharedBlock shared;
    const sp<TrackGain> gain = new TrackGain(kRate);
    if (gain->attach(shared.block) != NO_ERROR) {
        state.SkipWithError("the helper refused the block");
        return;
    }
    const std::vector<Sample> src = sineBuffer<Sample>(scale);
    std::vector<Sample> dst(src.size());
    bool flip = false;
    timed(state, name, [&] {
        if (ramping) {
            flip = !flip;
            put(&shared.block->general, flip ? 0.5f : 1.0f);
        }
        memcpy(dst.data(), src.data(), src.size() * sizeof(Sample));
        gain->process(dst.data(), kFrames, 2);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    });
}

void BM_CopyFloat(benchmark::State& s) {
    copyOnly<float>(s, "copy_float", 1.0f);
}
void BM_GainFloatSteady(benchmark::State& s) {
    copyAndGain<float>(s, "gain_float_steady", 1.0f, false);
}
void BM_GainFloatRamping(benchmark::State& s) {
    copyAndGain<float>(s, "gain_float_ramping", 1.0f, true);
}
void BM_CopyInt16(benchmark::State& s) {
    copyOnly<int16_t>(s, "copy_int16", 32767.0f);
}
void BM_GainInt16Steady(benchmark::State& s) {
    copyAndGain<int16_t>(s, "gain_int16_steady", 32767.0f, false);
}
void BM_GainInt16Ramping(benchmark::State& s) {
    copyAndGain<int16_t>(s, "gain_int16_ramping", 32767.0f, true);
}
BENCHMARK(BM_CopyFloat);
BENCHMARK(BM_GainFloatSteady);
BENCHMARK(BM_GainFloatRamping);
BENCHMARK(BM_CopyInt16);
BENCHMARK(BM_GainInt16Steady);
BENCHMARK(BM_GainInt16Ramping);

// --- one read of the target gains ---

// Nanoseconds per read of the last run of each case.
std::map<std::string, double> gNsPerRead;

template <typename F>
void timedRead(benchmark::State& state, const std::string& name, F read) {
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) benchmark::DoNotOptimize(read());
    auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start);
    gNsPerRead[name] = ns.count() / state.iterations();
}

/** The four fields as a reader with no protection would load them, and the same products. */
TrackGain::Gains plainRead(const tnvl_cblk* b) {
    float v[3];
    uint8_t muted;
    __atomic_load(&b->left, &v[0], __ATOMIC_RELAXED);
    __atomic_load(&b->right, &v[1], __ATOMIC_RELAXED);
    __atomic_load(&b->general, &v[2], __ATOMIC_RELAXED);
    __atomic_load(&b->muted, &muted, __ATOMIC_RELAXED);
    if (muted) return {0.0f, 0.0f};
    return {std::min(v[0] * v[2], 1.0f), std::min(v[1] * v[2], 1.0f)};
}

void BM_PlainBlockRead(benchmark::State& state) {
    SharedBlock shared;
    timedRead(state, "plain_block", [&] { return plainRead(shared.block); });
}

/** gains() on a helper opened on a shared block; with a second reader on another thread. */
void gainsRead(benchmark::State& state, const char* name, bool secondReader) {
    SharedBlock shared;
    const sp<TrackGain> gain = new TrackGain(kRate, TrackGain::Limit::UNITY);
    if (gain->attach(shared.block) != NO_ERROR) {
        state.SkipWithError("the helper refused the block");
        return;
    }
    std::atomic<bool> stop{false};
    std::thread other;
    if (secondReader) {
        other = std::thread([&] {
            while (!stop.load(std::memory_order_relaxed)) benchmark::DoNotOptimize(gain->gains());
        });
    }
    timedRead(state, name, [&] { return gain->gains(); });
    stop = true;
    if (other.joinable()) other.join();
}

void BM_GainsRead(benchmark::State& s) {
    gainsRead(s, "gains", false);
}
void BM_GainsReadBesideASecondReader(benchmark::State& s) {
    gainsRead(s, "gains_beside_a_second_reader", true);
}
BENCHMARK(BM_PlainBlockRead);
BENCHMARK(BM_GainsRead);
BENCHMARK(BM_GainsReadBesideASecondReader);

// --- system calls on the audio thread ---

std::atomic<int> gTrapped{0};
std::atomic<long> gLastSyscall{-1};

void onSigsys(int, siginfo_t* info, void* context) {
    gTrapped.fetch_add(1, std::memory_order_relaxed);
    gLastSyscall.store(info->si_syscall, std::memory_order_relaxed);
    ucontext_t* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    uc->uc_mcontext.gregs[REG_RAX] = -ENOSYS;
#elif defined(__aarch64__)
    uc->uc_mcontext.regs[0] = -ENOSYS;
#elif defined(__arm__)
    uc->uc_mcontext.arm_r0 = -ENOSYS;
#endif
}

/** Traps every system call of the calling thread except rt_sigreturn and exit. */
bool trapSyscallsOnThisThread() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigreturn, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    // Without the seccomp flag TSYNC the filter binds this thread alone.
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

struct SyscallCount {
    bool filtered = false;
    int probe = -1;   // traps caught by one deliberate call
    int helper = -1;  // traps during the helper's buffers
    long last = -1;
    long buffers = 0;
};

SyscallCount countHelperSyscalls() {
    SharedBlock shared;
    const sp<TrackGain> gain = new TrackGain(kRate);
    if (gain->attach(shared.block) != NO_ERROR) {
        fprintf(stderr, "track_gain: the helper refused the block\n");
        abort();
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = onSigsys;
    sa.sa_flags = SA_SIGINFO;
    sigaction(SIGSYS, &sa, nullptr);

    // Another thread plays the service: whole updates, mutes, garbage.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const float values[] = {1.0f, 0.5f, 0.0f, 2.0f, NAN, INFINITY, -1.0f};
        for (unsigned i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            shared.set(values[i % 7], values[(i / 7) % 7], values[(i / 3) % 7]);
            put<uint8_t>(&shared.block->muted, (i / 5) % 2);
            std::this_thread::yield();
        }
    });

    SyscallCount result;
    std::vector<float> f = sineBuffer<float>(1.0f);
    std::vector<int16_t> s = sineBuffer<int16_t>(32767.0f);
    std::thread audio([&] {  // sized and started before the filter goes on
        result.filtered = trapSyscallsOnThisThread();
        if (!result.filtered) return;
        gTrapped = 0;
        syscall(SYS_getppid);
        result.probe = gTrapped.exchange(0);
        for (long b = 0; b < 20000; ++b) {
            gain->process(f.data(), kFrames, 2);
            gain->process(s.data(), kFrames, 2);
            benchmark::DoNotOptimize(gain->gains(6));
            gain->setActive(b % 2 == 0);
            benchmark::DoNotOptimize(gain->current());
        }
        result.helper = gTrapped.load();
        result.last = gLastSyscall.load();
        result.buffers = 2 * 20000;
    });
    audio.join();
    stop = true;
    writer.join();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    for (const auto& [name, ns] : gNsPerBuffer) {
        printf("BENCH track_gain_%s %.1f ns_per_10ms_stereo_buffer\n", name.c_str(), ns);
    }
    const char* pairs[][2] = {{"gain_float_steady", "copy_float"},
                              {"gain_float_ramping", "copy_float"},
                              {"gain_int16_steady", "copy_int16"},
                              {"gain_int16_ramping", "copy_int16"}};
    for (const auto& p : pairs) {
        if (gNsPerBuffer.count(p[0]) == 0 || gNsPerBuffer.count(p[1]) == 0) continue;
        const double helper = gNsPerBuffer[p[0]] - gNsPerBuffer[p[1]];
        printf("BENCH track_gain_%s_over_copy %.1f ns_per_10ms_stereo_buffer\n", p[0], helper);
        printf("BENCH track_gain_%s_share_of_10ms %.5f percent\n", p[0], helper / 1e7 * 100);
    }
    for (const auto& [name, ns] : gNsPerRead) {
        printf("BENCH track_gain_read_%s %.2f ns_per_call\n", name.c_str(), ns);
    }
    if (gNsPerRead.count("gains") != 0 && gNsPerRead.count("plain_block") != 0) {
        printf("BENCH track_gain_read_gains_over_plain %.2f ns_per_call\n",
               gNsPerRead["gains"] - gNsPerRead["plain_block"]);
    }
    const SyscallCount count = countHelperSyscalls();
    if (!count.filtered) {
        fprintf(stderr, "seccomp filter refused: %s\n", strerror(errno));
        return 1;
    }
    printf("BENCH track_gain_syscall_probe_caught %d calls\n", count.probe);
    printf("BENCH track_gain_audio_thread_syscalls %d calls_in_%ld_buffers\n", count.helper,
           count.buffers);
    if (count.helper != 0) {
        fprintf(stderr, "the helper made system calls (last: %ld)\n", count.last);
        return 1;
    }
    return count.probe == 1 ? 0 : 1;
}
