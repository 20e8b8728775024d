#!/bin/bash
# Where the tonvale tool's start goes: whole invocations against a private daemon beside
# /bin/true and two probes that load only part of the tool's libraries, then the dynamic
# loader's own counts (LD_DEBUG), the system calls (strace) and, where perf works, the share
# of each library in the samples. Prints BENCH lines. Not part of the test run.
#
#   ./scripts/bench.sh start [--lean]
#
# --lean measures a second build beside the first, changed only from the cmake command line
# (bench/tool/lean): an export list for each project library, hidden inline functions,
# --as-needed, -Bsymbolic-functions, and the install RPATH in the build tree (no empty entry),
# to show what those are worth before anyone changes the build files.
set -euo pipefail
cd "$(dirname "$0")/../.."

./scripts/install-deps.sh hyperfine strace

targets="tonvale start_probe_cxx start_probe_utils"
configure() {  # configure <build dir> [extra cmake arguments]
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVALE_BENCH=ON \
        -DTONVALE_TESTS=OFF "$@" >/dev/null
    # shellcheck disable=SC2086
    ninja -C "$dir" $targets >/dev/null
}
builds=(build/bench)
configure build/bench
if [ "${1:-}" = --lean ]; then
    configure build/bench-lean -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON \
        -DCMAKE_CXX_FLAGS=-fvisibility-inlines-hidden \
        -DCMAKE_SHARED_LINKER_FLAGS=-Wl,-Bsymbolic-functions \
        "-DCMAKE_PROJECT_INCLUDE=$PWD/bench/tool/lean/lean-start.cmake"
    builds+=(build/bench-lean)
fi

. bench/common/procs.sh
read -r root fs < <(bench_disk_dir "${TONVALE_BENCH_DIR:-/var/tmp}" tonvale-start) || exit 1
BENCH_MARKER="TONVALE_START_RUN=$root"
trap 'bench_end_ours; rm -rf "$root"' EXIT
trap 'echo "start: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir -p "$root/data/misc/tonvale" "$root/binder" "$root/cwd"
run=(env -i "PATH=$PATH" "$BENCH_MARKER" "ANDROID_DATA=$root/data" "HOSTBINDER_DIR=$root/binder")
cd "$root/cwd"  # an empty directory: what the loader looks for here is not found
top=$OLDPWD

"${run[@]}" "$top/build/bench/bin/tonvale" --service --force >/dev/null
for _ in $(seq 100); do
    "${run[@]}" "$top/build/bench/bin/tonvale" --elf-info 2>&1 | grep -q -e offline -e retry ||
        break
    sleep 0.1
done
echo "# start: settings in $root ($fs); kernel $(uname -r); $(nproc) cores;" \
    "load $(cut -d' ' -f1-3 /proc/loadavg)"

# Timings: hyperfine with no shell, in passes that rotate the order, so a change in the
# machine's load falls on every command alike.
names=() commands=()
add() { names+=("$1"); commands+=("$2"); }
add true /bin/true
add probe_cxx "$top/build/bench/bin/start_probe_cxx"
add probe_utils "$top/build/bench/bin/start_probe_utils"
for b in "${builds[@]}"; do
    tag=tool
    [ "$b" = build/bench-lean ] && tag=lean_tool
    add "${tag}_usage" "$top/$b/bin/tonvale -h"
    add "${tag}_ovr_status" "$top/$b/bin/tonvale --ovr-status"
    add "${tag}_set_profile" "$top/$b/bin/tonvale --set-profile com.bench.start 1 1 0.5 false false"
done
passes=${START_PASSES:-5}
for pass in $(seq "$passes"); do
    args=()
    for i in "${!names[@]}"; do
        j=$(((i + pass) % ${#names[@]}))
        args+=(--command-name "${names[$j]}" "${commands[$j]}")
    done
    "${run[@]}" hyperfine -N --style none --warmup 10 --runs "${START_RUNS:-60}" \
        --export-json "$root/pass$pass.json" "${args[@]}" >/dev/null 2>>"$root/hyperfine.log"
done
python3 - "$root" "$passes" <<'PY'
import json, sys
root, passes = sys.argv[1], int(sys.argv[2])
times, cpu = {}, {}
for p in range(1, passes + 1):
    for r in json.load(open(f"{root}/pass{p}.json"))["results"]:
        times.setdefault(r["command"], []).extend(t * 1000 for t in r["times"])
        cpu.setdefault(r["command"], []).append((r["user"] + r["system"]) * 1000)
def q(name, p):
    s = sorted(times[name])
    return s[int(p * (len(s) - 1))]
for name in times:
    print(f"BENCH start_{name}_p50 {q(name, 0.5):.3f} ms")
    print(f"BENCH start_{name}_p99 {q(name, 0.99):.3f} ms")
    # CPU time (user and system, mean of the passes): waits for a busy machine left out.
    print(f"BENCH start_{name}_cpu {sum(cpu[name]) / len(cpu[name]):.3f} ms")
def step(label, a, b):
    print(f"BENCH start_step_{label}_p50 {q(b, 0.5) - q(a, 0.5):.3f} ms")
    cpu_b, cpu_a = sum(cpu[b]) / len(cpu[b]), sum(cpu[a]) / len(cpu[a])
    print(f"BENCH start_step_{label}_cpu {cpu_b - cpu_a:.3f} ms")
print("# steps between medians (and CPU means): each row adds what its name says")
step("cxx_runtime", "true", "probe_cxx")
step("libutils_and_what_it_loads", "probe_cxx", "probe_utils")
step("project_libraries_and_tool", "probe_utils", "tool_usage")
step("lookup_and_transaction", "tool_usage", "tool_ovr_status")
step("settings_change", "tool_ovr_status", "tool_set_profile")
step("tool_above_true", "true", "tool_ovr_status")
if "lean_tool_ovr_status" in times:
    step("lean_flags_on_ovr_status", "tool_ovr_status", "lean_tool_ovr_status")
    step("lean_flags_on_usage", "tool_usage", "lean_tool_usage")
PY

# The dynamic loader's own counts for one --ovr-status, per build.
lib_label() {
    case $1 in
        */7z.so) echo 7z ;;
        *libstdc++*) echo libstdcxx ;;
        */libtonvalecore.so) echo libtonvalecore ;;
        */libbinder.so) echo libbinder_host ;;
        */tonvale) echo tool ;;
        *) basename "$1" | sed -e 's/\.so.*//' -e 's/[^A-Za-z0-9]/_/g' ;;
    esac
}
for b in "${builds[@]}"; do
    tag=tool
    [ "$b" = build/bench-lean ] && tag=lean_tool
    tool=$top/$b/bin/tonvale
    "${run[@]}" LD_DEBUG=statistics "$tool" --ovr-status 2>"$root/stats" >/dev/null
    awk -v t="$tag" '
        /total startup time in dynamic loader/ { print "BENCH start_" t "_ld_cycles " $(NF-1) " cycles" }
        /time needed for relocation/ { gsub(/[(%)]/, "", $NF); print "BENCH start_" t "_ld_relocation_share " $NF " %" }
        /time needed to load objects/ { gsub(/[(%)]/, "", $NF); print "BENCH start_" t "_ld_load_share " $NF " %" }
        /final number of relocations:/ { print "BENCH start_" t "_ld_relocations " $NF " count" }
        /final number of relocations from cache/ { print "BENCH start_" t "_ld_relocations_from_cache " $NF " count" }
    ' "$root/stats"
    "${run[@]}" LD_DEBUG=bindings "$tool" --ovr-status 2>"$root/bindings" >/dev/null
    echo "BENCH start_${tag}_ld_bindings $(grep -c 'binding file' "$root/bindings") count"
    echo "BENCH start_${tag}_ld_libraries $("${run[@]}" ldd "$tool" | grep -vc vdso) count"
    # Per object: the symbol lookups its own relocations needed.
    sed -n 's/.*binding file \([^ ]*\) \[[0-9]*\] to .*/\1/p' "$root/bindings" | sort | uniq -c |
        sort -rn | while read -r n object; do
            echo "BENCH start_${tag}_ld_bindings_by_$(lib_label "$object") $n count"
        done
    "${run[@]}" strace -f -o "$root/strace" "$tool" --ovr-status >/dev/null
    echo "BENCH start_${tag}_syscalls $(grep -vc -e '+++ exited' -e '^[0-9]* ---' "$root/strace") count"
    echo "BENCH start_${tag}_failed_lookups $(grep -c ' = -1 ENOENT' "$root/strace") count"
    echo "BENCH start_${tag}_failed_lookups_relative $(grep ' = -1 ENOENT' "$root/strace" |
        grep -c -E '(openat\(AT_FDCWD|newfstatat\(AT_FDCWD), "[^/]') count"
    for lib in "$top/$b/lib/libtonvalecore.so" "$top/$b/lib/libbinder.so" "$tool"; do
        l=$(lib_label "$lib")
        echo "BENCH start_${tag}_exported_${l} $(nm -D --defined-only "$lib" | wc -l) symbols"
        echo "BENCH start_${tag}_dynamic_relocations_${l} $(readelf -rW "$lib" |
            grep -c 'R_X86_64_\(64\|GLOB_DAT\|JUMP_SLO\)') count"
        echo "BENCH start_${tag}_relative_relocations_${l} $(readelf -rW "$lib" |
            grep -c 'R_X86_64_RELATIVE') count"
        echo "# start ${tag} ${l} NEEDED: $(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
            paste -sd' ' -); RUNPATH: $(readelf -d "$lib" | sed -n 's/.*runpath: \[\(.*\)\]/\1/p')"
    done
done

# The daemon's side of --set-profile: strace -T on the daemon while the tool sets 50 profiles.
# strace slows every system call; the durations of the disk calls are the kernel's own.
daemon=$(bench_ours | head -n1)
if [ -n "$daemon" ]; then
    strace -f -qq -ttt -T -e trace=recvmsg,sendmsg,openat,write,fsync,fdatasync,rename,close \
        -o "$root/daemon.strace" -p "$daemon" &
    tracer=$!
    sleep 0.5
    for i in $(seq 50); do
        "${run[@]}" "$top/build/bench/bin/tonvale" --set-profile com.bench.start 1 1 \
            "0.$((i % 9 + 1))" false false
    done
    sleep 0.2
    kill -INT "$tracer"
    wait "$tracer" 2>/dev/null || true
    python3 - "$root/daemon.strace" <<'PY'
import re, sys
line_re = re.compile(r"^(\d+) +([\d.]+) (.*)$")
done_re = re.compile(r"^(?:<\.\.\. )?(\w+)(?: resumed>|\()(.*?)(?:<([\d.]+)>)?$")
pending, calls = {}, {}
for raw in open(sys.argv[1]):
    m = line_re.match(raw.rstrip())
    if not m:
        continue
    tid, t, rest = m.group(1), float(m.group(2)), m.group(3)
    if rest.endswith("<unfinished ...>"):
        pending[tid] = (rest.split("(")[0], t, rest)
        continue
    d = done_re.match(rest)
    if not d:
        continue
    name, dur = d.group(1), float(d.group(3) or 0)
    text = rest
    if rest.startswith("<..."):
        name, t, text = pending.pop(tid, (name, t, rest))
        text += rest
    calls.setdefault(tid, []).append((name, t, dur, text))
rows = {"request_to_save": [], "save": [], "save_open_tmp": [], "save_fsync": [],
        "save_rename": [], "save_to_reply": [], "request_to_reply": []}
for seq in calls.values():
    for i, (name, t, dur, text) in enumerate(seq):
        if name != "openat" or ".tmp" not in text:
            continue
        recv = [c for c in seq[:i] if c[0] == "recvmsg"]
        send = [c for c in seq[i:] if c[0] == "sendmsg"]
        if not recv or not send:
            continue
        req_end = recv[-1][1] + recv[-1][2]
        body = [c for c in seq[i:] if c[1] < send[0][1]]
        save_end = max(c[1] + c[2] for c in body if c[0] in ("fsync", "fdatasync", "rename", "close"))
        rows["request_to_save"].append(t - req_end)
        rows["save"].append(save_end - t)
        rows["save_open_tmp"].append(dur)
        rows["save_fsync"].append(sum(c[2] for c in body if c[0] in ("fsync", "fdatasync")))
        rows["save_rename"].append(sum(c[2] for c in body if c[0] == "rename"))
        rows["save_to_reply"].append(send[0][1] - save_end)
        rows["request_to_reply"].append(send[0][1] - req_end)
print("# daemon side of --set-profile under strace: request read, then save (temporary file,"
      " fsync, rename, fsync of the folder), then the blocks and the reply")
for key, v in rows.items():
    if not v:
        continue
    v.sort()
    print(f"BENCH start_daemon_{key}_p50 {v[len(v) // 2] * 1e6:.0f} us")
PY
fi

# Where the CPU time of 200 --ovr-status starts goes, by object (perf's software clock, as the
# machine may have no hardware counters). Skipped where perf is missing or not allowed.
if command -v perf >/dev/null &&
    perf record -q -o "$root/perf.data" -F 20000 -- "${run[@]}" sh -c \
        "for i in \$(seq 200); do $top/build/bench/bin/tonvale --ovr-status; done >/dev/null" \
        >/dev/null 2>&1; then
    # Sorted by command and object: a filter by command would leave the kernel and loader out.
    perf report -i "$root/perf.data" --sort comm,dso -g none --stdio 2>/dev/null |
        awk '/%/ && !/^#/ && $2 == "tonvale" { gsub(/%/, "", $1); print $1, $3 }' >"$root/dso"
    total=$(awk '{ s += $1 } END { print s }' "$root/dso")
    while read -r share object; do
        awk -v s="$share" -v t="$total" -v o="$(lib_label "$object" |
            sed 's/^_kernel_kallsyms_$/kernel/')" \
            'BEGIN { if (s / t >= 0.005) printf "BENCH start_perf_share_%s %.1f %%\n", o, 100 * s / t }'
    done <"$root/dso"
fi
