#!/bin/bash
# Stops what scripts/run-demo.sh left running: the daemon serving ./state/binder and any demo
# player still writing into ./state (an interrupted run). Each is recognised by its command
# line and by the demo's HOSTBINDER_DIR in its environment.
set -euo pipefail
cd "$(dirname "$0")/.."
marker="HOSTBINDER_DIR=$PWD/state/binder"
stopped=0
for p in /proc/[0-9]*; do
    pid=${p#/proc/}
    [ "$pid" = "$$" ] && continue
    cmd=$({ tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null) || continue
    case $cmd in
        *"tonvale --service"*) ;;
        *"--session "*"--out $PWD/state/"*) ;;
        *) continue ;;
    esac
    { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qx "$marker" || continue
    kill -KILL "$pid" 2>/dev/null && stopped=$((stopped + 1))
done
echo "stopped $stopped demo process(es)"
