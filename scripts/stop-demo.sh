#!/bin/bash
# Stops the demo daemon that scripts/run-demo.sh started (the one serving ./state/binder).
set -euo pipefail
cd "$(dirname "$0")/.."
marker="HOSTBINDER_DIR=$PWD/state/binder"
stopped=0
for p in /proc/[0-9]*; do
    pid=${p#/proc/}
    { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null | grep -q "tonvale --service" || continue
    { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qx "$marker" || continue
    kill -KILL "$pid" && stopped=$((stopped + 1))
done
echo "stopped $stopped daemon(s)"
