#!/bin/bash
# Builds the benchmarks (Release) and runs each; every figure prints as
#   BENCH <name> <value> <unit>
# Pass benchmark names (e.g. transport registry) to run only those.
#   ./scripts/bench.sh peers [options]   tonvale beside PulseAudio and PipeWire (bench/peers)
#   ./scripts/bench.sh start [--lean]    where the tool's start goes (bench/tool/start.sh)
# The settings go under $TONVALE_BENCH_DIR (default /var/tmp), which must be a real disk:
# saves are fsync'd as on a device, and tmpfs would hide that cost (BENCH_ALLOW_MEMORY=1 with
# TONVALE_BENCH_DIR=/dev/shm measures exactly that difference).
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    peers) shift; exec ./bench/peers/peers.sh "$@" ;;
    start) shift; exec ./bench/tool/start.sh "$@" ;;
esac
./scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVALE_BENCH=ON \
    -DTONVALE_TESTS=OFF >/dev/null
ninja -C build/bench >/dev/null
. bench/common/procs.sh
read -r root fs < <(bench_disk_dir "${TONVALE_BENCH_DIR:-/var/tmp}" tonvale-bench) || exit 1
# A daemon a benchmark started is ended here too, should the benchmark fail before it does.
BENCH_MARKER="TONVALE_BENCH_RUN=$root"
trap 'bench_end_ours; rm -rf "$root"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
echo "# settings in $root ($fs)"
mkdir -p "$root/data/misc/tonvale" "$root/binder"
export ANDROID_DATA=$root/data HOSTBINDER_DIR=$root/binder
for b in build/bench/bin/bench_*; do
    name=${b##*/bench_}
    if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
    echo "--- $name"
    env "$BENCH_MARKER" "$b" --benchmark_min_time=0.2
done
