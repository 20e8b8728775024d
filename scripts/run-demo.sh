#!/bin/bash
# Installs, builds, starts the daemon on the host with a local data directory, and shows it
# working: a demo audio client prints its control block while tonvale commands change it.
# The daemon keeps running afterwards; scripts/stop-demo.sh stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
STATE=$ROOT/state

./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVALE_TESTS=OFF >/dev/null
ninja -C build/release tonvale tonvale_demo_client
BIN=$ROOT/build/release/bin

./scripts/stop-demo.sh >/dev/null 2>&1 || true
rm -rf "$STATE"  # every run starts from empty settings
mkdir -p "$STATE/data/misc/tonvale" "$STATE/binder"
export ANDROID_DATA=$STATE/data HOSTBINDER_DIR=$STATE/binder

step() { printf '\n\033[1m$ %s\033[0m\n' "$*"; "$@"; }
show_client() {
    sleep 0.3
    echo "  demo client now prints:"
    tail -n +$((shown + 1)) "$STATE/client.log" | sed 's/^/    /'
    shown=$(wc -l <"$STATE/client.log")
}

echo "== starting the daemon (ANDROID_DATA=$ANDROID_DATA, HOSTBINDER_DIR=$HOSTBINDER_DIR)"
step "$BIN/tonvale" --service
for _ in $(seq 50); do
    "$BIN/tonvale" --switches >/dev/null 2>&1 && break
    sleep 0.1
done
step "$BIN/tonvale" --elf-info

echo
echo "== a demo audio client asks for the control block of session 1 and prints its values"
"$BIN/tonvale_demo_client" 1 >"$STATE/client.log" 2>&1 &
CLIENT=$!
shown=0
show_client
NAME=$BIN/tonvale_demo_client  # the name the client's process gives itself

step "$BIN/tonvale" --set-profile "$NAME" 0.5 0.8 0.6 false false
show_client
step "$BIN/tonvale" --mute "$NAME" false
show_client
step "$BIN/tonvale" --unmute "$NAME" false
show_client
step "$BIN/tonvale" --list-buffers 1
step "$BIN/tonvale" --ovr-status
step "$BIN/tonvale" --list-profile

echo
echo "== the client gives its block back on SIGTERM"
kill -TERM "$CLIENT"
wait "$CLIENT" || true
show_client
step "$BIN/tonvale" --ovr-status
echo
echo "Settings persisted in $ANDROID_DATA/misc/tonvale:"
for f in "$ANDROID_DATA"/misc/tonvale/*.prof; do
    printf '  %s: %s\n' "${f##*/}" "$(cat "$f")"
done
echo
echo "The daemon is still running. Try more commands with:"
echo "  ANDROID_DATA=$ANDROID_DATA HOSTBINDER_DIR=$HOSTBINDER_DIR $BIN/tonvale -h"
echo "Stop it with: ./scripts/stop-demo.sh"
