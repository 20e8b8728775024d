#!/bin/bash
# Installs the dependencies, builds and runs every test stage:
#   1. all tests under ASan and UBSan,
#   2. the concurrency tests under TSan,
#   3. a 30 s smoke run of every libFuzzer target,
#   4. the armhf cross build, its unit tests under qemu-arm (when scripts/armhf.sh exists),
#   5. sepolicy: the device policy in Android 10's own, every access checked (scripts/sepolicy.sh),
#   6. patch: the AudioFlinger patch checked against Android 10's frameworks/av.
# Set TONVALE_STAGES to a subset ("asan tsan fuzz armhf sepolicy patch") to run fewer.
set -euo pipefail
# Packages install as root: root runs on; anyone else runs again through sudo when there is one
# (without sudo, scripts/install-deps.sh says what is missing).
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then
    exec sudo -E "$0" "$@"
fi
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
STAGES=${TONVALE_STAGES:-asan tsan fuzz armhf sepolicy patch}

./scripts/install-deps.sh

configure() {  # configure <dir> [cmake args...]
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

stage_asan() {
    echo "=== stage: tests under ASan + UBSan"
    configure build/asan -DTONVALE_SANITIZE=address,undefined
    ninja -C build/asan -j "$JOBS"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build/asan -j "$JOBS" --output-on-failure --timeout 300
}

stage_tsan() {
    echo "=== stage: concurrency tests under TSan"
    configure build/tsan -DTONVALE_SANITIZE=thread
    ninja -C build/tsan -j "$JOBS"
    # Reports go to files, so those of the detached daemon (whose stderr is /dev/null) show too.
    rm -f build/tsan/tsan-report.*
    if ! TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/scripts/tsan.supp \
log_path=$ROOT/build/tsan/tsan-report" \
        ctest --test-dir build/tsan -j "$JOBS" -L concurrency --output-on-failure --timeout 600 \
        --no-tests=ignore; then
        cat build/tsan/tsan-report.* 2>/dev/null || true
        return 1
    fi
    if ls build/tsan/tsan-report.* >/dev/null 2>&1; then
        cat build/tsan/tsan-report.*
        echo "TSan reported races"
        return 1
    fi
}

stage_fuzz() {
    echo "=== stage: libFuzzer smoke runs (30 s each)"
    configure build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTONVALE_FUZZ=ON -DTONVALE_TESTS=OFF -DTONVALE_SANITIZE=address,undefined
    ninja -C build/fuzz -j "$JOBS"
    local found=0 failed=0 artifacts=$ROOT/build/fuzz/artifacts
    mkdir -p "$artifacts"
    for f in build/fuzz/bin/fuzz_*; do
        [ -x "$f" ] || continue
        found=1
        local name work
        name=$(basename "$f")
        work=$(mktemp -d)
        echo "--- $name"
        # Each target runs in a scratch directory; a crashing input is kept under artifacts/.
        if (cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$ROOT/$f" -max_total_time=30 \
            -print_final_stats=1 -artifact_prefix="$artifacts/$name-" >log 2>&1); then
            grep -E "DONE|stat::average_exec_per_sec" "$work/log" || tail -3 "$work/log"
        else
            tail -40 "$work/log"
            echo "$name failed; inputs under $artifacts"
            failed=1
        fi
        rm -rf "$work"
    done
    [ "$found" = 1 ] || echo "no fuzz targets"
    [ "$failed" = 0 ]
}

stage_armhf() {
    if [ -x scripts/armhf.sh ]; then
        echo "=== stage: armhf cross build and tests under qemu-arm"
        ./scripts/armhf.sh
    fi
}

stage_sepolicy() {
    echo "=== stage: the device policy against Android 10's platform policy"
    ./scripts/sepolicy.sh
}

# integration/android10/*.patch must apply to a copy of frameworks/av: ../shared beside the
# tree, or TONVALE_FRAMEWORKS_AV. Without one the stage says so and passes.
stage_patch() {
    echo "=== stage: the AudioFlinger patch against Android 10's frameworks/av"
    local src=${TONVALE_FRAMEWORKS_AV:-$ROOT/../shared/android10-frameworks-av}
    if [ ! -d "$src" ]; then
        echo "skipped: no Android 10 frameworks/av at $src (TONVALE_FRAMEWORKS_AV names one)"
        return 0
    fi
    local work failed=0 found=0
    work=$(mktemp -d)
    # The reference copy is read-only; git apply --check reads a writable work tree.
    cp -R "$src/." "$work/"
    chmod -R u+w "$work"
    git -C "$work" init -q
    for p in "$ROOT"/integration/android10/*.patch; do
        [ -f "$p" ] || continue
        found=1
        if git -C "$work" apply --check "$p"; then
            echo "${p#"$ROOT"/} applies to $src"
        else
            failed=1
        fi
    done
    rm -rf "$work"
    [ "$found" = 1 ] || { echo "no patch under integration/android10" >&2; return 1; }
    [ "$failed" = 0 ]
}

for s in $STAGES; do
    "stage_$s"
done
echo "=== all stages passed: $STAGES"
