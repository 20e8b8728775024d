#!/bin/bash
# Stops what scripts/run-demo.sh left running: the daemon serving ./state/binder and any demo
# player still writing into ./state (an interrupted run). Each is recognised by its command
# line and by the demo's HOSTBINDER_DIR in its environment. SIGTERM first, which the daemon
# takes as a clean stop (changes under way saved, then exit), SIGKILL after 5 s.
set -euo pipefail
cd "$(dirname "$0")/.."
marker="HOSTBINDER_DIR=$PWD/state/binder"
stopped=0
pids=()
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
    kill -TERM "$pid" 2>/dev/null && pids+=("$pid") && stopped=$((stopped + 1))
done
for _ in $(seq 50); do
    left=()
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && left+=("$pid"); done
    [ ${#left[@]} -eq 0 ] && break
    sleep 0.1
done
for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
echo "stopped $stopped demo process(es)"
