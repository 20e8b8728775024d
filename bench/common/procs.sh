# shellcheck shell=bash
# Sourced by the bench scripts: finds and ends the processes one run started, by id.
# Each process the run starts gets "$BENCH_MARKER" in its environment (through env, never by
# export, so the script's own helpers do not carry it); a daemon that detaches keeps it.

# bench_ours: the pids whose environment holds the marker.
bench_ours() {
    # -z: the entries of an environ file end in NUL.
    grep -lzxF "$BENCH_MARKER" /proc/[0-9]*/environ 2>/dev/null |
        sed -e 's|^/proc/||' -e 's|/environ$||' || true
}

# bench_end_ours: SIGTERM to each, up to 5 s to leave, then SIGKILL to what is left.
bench_end_ours() {
    local pids pid
    pids=$(bench_ours)
    for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
    for _ in $(seq 50); do
        pids=$(bench_ours)
        [ -z "$pids" ] && return 0
        sleep 0.1
    done
    for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
}

# bench_disk_dir <base> <prefix>: a new directory under base, refused on tmpfs or ramfs
# (settings saves are fsync'd as on a device, and memory would hide that cost) unless
# BENCH_ALLOW_MEMORY=1 asks for exactly that comparison.
bench_disk_dir() {
    local dir fs
    dir=$(mktemp -d "$1/$2.XXXXXX")
    fs=$(findmnt -n -o FSTYPE --target "$dir" 2>/dev/null || stat -f -c %T "$dir")
    case "$fs" in
        tmpfs | ramfs)
            [ "${BENCH_ALLOW_MEMORY:-0}" = 1 ] && { echo "$dir $fs"; return 0; }
            rmdir "$dir"
            echo "bench: $1 is on $fs; name a directory on a disk" >&2
            return 1
            ;;
    esac
    echo "$dir $fs"
}
