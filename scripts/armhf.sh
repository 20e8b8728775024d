#!/bin/bash
# Cross builds the library, the tool and the tests for 32-bit ARM (armhf) and runs the tests
# under qemu-arm. Safe to run again; quick when everything is already in place.
#
# Not run here: tests labelled host_only. binfmt_misc is not mounted, so an armhf process
# cannot exec another armhf binary directly (nor re-exec itself, as gtest's "threadsafe" death
# tests do). Tests that start the tool prefix its command line with the words of
# $TONVALE_TEST_LAUNCHER (qemu-arm here, unset on the host) and then need no label.
# fork(), daemon(), threads, popen() and gtest's default death tests do work under qemu-arm
# as long as ld.so and libc.so.6 come from one glibc (see cmake/armhf-toolchain.cmake).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
BUILD=$ROOT/build/armhf
SYSROOT=$ROOT/build/armhf-sysroot
ARCH_LIBS=/usr/lib/arm-linux-gnueabihf/android
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

PKGS="g++-arm-linux-gnueabihf qemu-user android-libutils-dev:armhf android-liblog-dev:armhf \
android-libcutils-dev:armhf android-libbase-dev:armhf libgtest-dev:armhf libgmock-dev:armhf libsndfile1-dev:armhf \
android-platform-frameworks-native-headers"

updated=0
apt_update() {
    [ "$updated" = 1 ] && return
    $SUDO apt-get update -qq
    updated=1
}

# A new architecture's packages are missing, so the install below updates the lists first.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
fi
# shellcheck disable=SC2086
./scripts/install-deps.sh $PKGS

# 7z.so for armhf, unpacked beside the build rather than installed.
if [ ! -e "$SYSROOT/usr/lib/p7zip/7z.so" ]; then
    dl=$(mktemp -d)
    (cd "$dl" && { apt-get download -qq p7zip-full:armhf 2>/dev/null ||
        { apt_update && apt-get download -qq p7zip-full:armhf; }; })
    rm -rf "$SYSROOT"
    mkdir -p "$SYSROOT"
    dpkg -x "$dl"/p7zip-full_*_armhf.deb "$SYSROOT"
    rm -rf "$dl"
fi

start=$(date +%s)
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/armhf-toolchain.cmake" \
    -DTONVALE_ARMHF_SYSROOT="$SYSROOT" -DTONVALE_BENCH=OFF -DTONVALE_FUZZ=OFF >/dev/null
ninja -C "$BUILD" -j "$JOBS"
built=$(date +%s)

echo "--- armhf: not run (label host_only: they exec an armhf binary directly, which needs" \
    "binfmt_misc, not mounted here; \$TONVALE_TEST_LAUNCHER runs one under qemu-arm instead)"
skipped=$(ctest --test-dir "$BUILD" -N -L host_only | sed -n 's/^ *Test *#[0-9]*: //p')
if [ -n "$skipped" ]; then
    echo "$skipped" | sed 's/^/    not run: /'
else
    echo "    (none)"
fi
echo "--- armhf: not run (qemu-user limits)"

# Cases that hit a limit of qemu-user itself, each with the reason printed below.
QEMU_LIMITS=(
    "Transactions.BlockIsSharedBothWays|another process reading /proc/<pid>/cmdline sees \
qemu-arm's command line, not the test's, so the service files the test under another name"
    "MetaInterface.DefaultImplIsSetOnceAndNeverEmpty|a RefBase deleted without sp<> makes \
libutils log a CallStack, and armhf libbacktrace's unwinder dies with SIGILL under qemu-arm"
)
exclude=""
for entry in "${QEMU_LIMITS[@]}"; do
    echo "    not run: ${entry%%|*}: ${entry#*|}"
    exclude="$exclude${exclude:+|}^${entry%%|*}\$"
done

# The same command line as the toolchain's CMAKE_CROSSCOMPILING_EMULATOR.
export TONVALE_TEST_LAUNCHER="qemu-arm -L /usr/arm-linux-gnueabihf \
-E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib:$SYSROOT/usr/lib/p7zip:$ARCH_LIBS"

# ctest's JUnit report names every case with its result; gtest's skips carry their reason.
junit=$BUILD/armhf-results.xml
rc=0
ctest --test-dir "$BUILD" -j "$JOBS" -LE host_only -E "$exclude" --output-on-failure \
    --timeout 600 --no-tests=error --output-junit "$junit" || rc=$?
end=$(date +%s)

python3 - "$junit" <<'PY'
import sys
import xml.etree.ElementTree as ET
counts = {}
for c in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    status = c.get("status")
    counts[status] = counts.get(status, 0) + 1
    if status == "skipped":
        out = (c.findtext("system-out") or "").splitlines()
        reason = [l.strip() for l in out if l.strip() and not l.startswith(("[", "Note:"))]
        print("    skipped: %s: %s" % (c.get("name"), reason[-1] if reason else "(no reason)"))
    elif status == "fail":
        print("    FAILED:  %s" % c.get("name"))
print("--- armhf: %d test cases passed under qemu-arm, %d failed, %d skipped by the tests"
      % (counts.get("run", 0), counts.get("fail", 0), counts.get("skipped", 0)))
PY
echo "--- armhf: build $((built - start)) s, tests $((end - built)) s"
exit "$rc"
