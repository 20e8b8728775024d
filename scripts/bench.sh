#!/bin/bash
# Builds the benchmarks (Release) and runs each; every figure prints as
#   BENCH <name> <value> <unit>
# Pass benchmark names (e.g. transport registry) to run only those.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVALE_BENCH=ON \
    -DTONVALE_TESTS=OFF >/dev/null
ninja -C build/bench >/dev/null
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/data/misc/tonvale" "$root/binder"
export ANDROID_DATA=$root/data HOSTBINDER_DIR=$root/binder
for b in build/bench/bin/bench_*; do
    name=${b##*/bench_}
    if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
    echo "--- $name"
    "$b" --benchmark_min_time=0.2
done
