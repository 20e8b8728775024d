#!/bin/bash
# Side by side with PulseAudio and PipeWire: starts each on a null sink in a private runtime
# directory beside a tonvale daemon with private settings, one playing client for each, and
# times in interleaved rounds how long a volume change takes from a command's start until the
# client sees it (bench/peers/PeersDriver.cpp); then, from a command's start until a watcher
# prints the change, `tonvale --watch` against `pactl subscribe` (bench/peers/WatchDriver.cpp).
# Prints BENCH lines. Not part of the test run.
#
#   ./scripts/bench.sh peers [--rounds N] [--warmup N] [--self-rounds N]
#
# The working directory (settings, sockets, logs) goes under $TONVALE_PEERS_DIR (default
# /var/tmp), which must be a real disk: the settings are saved with fsync, as on a device.
# Nothing of the machine's own audio session or daemon is touched, and every process this
# run started is ended on every way out.
set -euo pipefail
cd "$(dirname "$0")/../.."

PEER_PKGS="pulseaudio pulseaudio-utils pipewire pipewire-bin pipewire-pulse wireplumber \
libpulse-dev libpipewire-0.3-dev dbus-daemon pkg-config"
# shellcheck disable=SC2086
./scripts/install-deps.sh $PEER_PKGS

# TONVALE_BENCH_BUILD names another build folder, e.g. one configured with
# -DTONVALE_SANITIZE=address,undefined to check the helpers themselves.
build=${TONVALE_BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVALE_BENCH=ON \
    -DTONVALE_TESTS=OFF >/dev/null
ninja -C "$build" tonvale peers_driver peers_watch_driver peers_tonvale_client \
    peers_pulse_client peers_pipewire_client >/dev/null
bin=$PWD/$build/bin

. bench/common/procs.sh
read -r root fs < <(bench_disk_dir "${TONVALE_PEERS_DIR:-/var/tmp}" tonvale-peers) || exit 1
BENCH_MARKER="TONVALE_PEERS_RUN=$root"

cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    bench_end_ours
    if [ "$rc" -ne 0 ]; then
        for f in "$root"/*.log; do
            [ -s "$f" ] && { echo "--- ${f##*/}"; tail -n 20 "$f"; } >&2
        done
    fi
    wait 2>/dev/null || true
    rm -rf "$root"
    exit "$rc"
}
trap cleanup EXIT
trap 'echo "peers: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mkdir -p "$root"/{home,config/pipewire/pipewire.conf.d,config/wireplumber,state,data-home,cache} \
    "$root"/{run,pa-run,pw-run,pa-state,android/misc/tonvale,binder}
chmod 700 "$root"/run "$root"/pa-run "$root"/pw-run

# A bus of this run's own (no service activation): PipeWire and WirePlumber want a session
# bus, and must never reach the machine's.
cat >"$root/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:path=$root/bus</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
printf 'autospawn = no\n' >"$root/pulse-client.conf"
cat >"$root/pulse.pa" <<'CONF'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=bench
set-default-sink bench
CONF
cat >"$root/config/pipewire/pipewire.conf.d/bench-null-sink.conf" <<'CONF'
context.objects = [
    { factory = adapter
        args = {
            factory.name     = support.null-audio-sink
            node.name        = bench
            node.description = "Bench null sink"
            media.class      = Audio/Sink
            object.linger    = true
            audio.position   = [ FL FR ]
        }
    }
]
CONF
# WirePlumber's own configuration without its Bluetooth part: there is no Bluetooth here, and
# that part's logind module needs the system bus.
grep -v 'bluetooth.lua' /usr/share/wireplumber/wireplumber.conf \
    >"$root/config/wireplumber/wireplumber.conf"

common=(env -i "PATH=$PATH" "LANG=C.UTF-8" "$BENCH_MARKER" "HOME=$root/home"
    "XDG_CONFIG_HOME=$root/config" "XDG_STATE_HOME=$root/state" "XDG_DATA_HOME=$root/data-home"
    "XDG_CACHE_HOME=$root/cache" "DBUS_SESSION_BUS_ADDRESS=unix:path=$root/bus"
    "PULSE_CLIENTCONFIG=$root/pulse-client.conf" "ANDROID_DATA=$root/android"
    "HOSTBINDER_DIR=$root/binder")
pa=("${common[@]}" "XDG_RUNTIME_DIR=$root/pa-run" "PULSE_RUNTIME_PATH=$root/pa-run/pulse"
    "PULSE_STATE_PATH=$root/pa-state")
pw=("${common[@]}" "XDG_RUNTIME_DIR=$root/pw-run")
pulse_server=unix:$root/pa-run/pulse/native
pipewire_pulse_server=unix:$root/pw-run/pulse/native

waitfor() {  # waitfor <what> <command...>: up to 10 s
    local what=$1
    shift
    for _ in $(seq 100); do
        if "$@" >/dev/null 2>&1; then return 0; fi
        sleep 0.1
    done
    echo "peers: $what did not come up" >&2
    return 1
}

"${common[@]}" dbus-daemon --config-file="$root/bus.conf" --nofork --nopidfile \
    >"$root/dbus.log" 2>&1 &
waitfor "the private bus" test -S "$root/bus"

"${pa[@]}" pulseaudio -n -F "$root/pulse.pa" --daemonize=no --exit-idle-time=-1 \
    --use-pid-file=no --log-target=stderr >"$root/pulseaudio.log" 2>&1 &
"${pw[@]}" pipewire >"$root/pipewire.log" 2>&1 &
waitfor "pipewire" test -S "$root/pw-run/pipewire-0"
"${pw[@]}" wireplumber >"$root/wireplumber.log" 2>&1 &
"${pw[@]}" pipewire-pulse >"$root/pipewire-pulse.log" 2>&1 &
(cd "$root" && "${common[@]}" "XDG_RUNTIME_DIR=$root/run" "$bin/tonvale" --service --force \
    >"$root/tonvale.log" 2>&1 &)

waitfor "pulseaudio" "${common[@]}" "PULSE_SERVER=$pulse_server" pactl info
waitfor "pipewire-pulse" "${common[@]}" "PULSE_SERVER=$pipewire_pulse_server" pactl info
wireplumber_up() { "${pw[@]}" wpctl status 2>/dev/null | grep -q WirePlumber; }
# The tool prints retry and offline lines while no service answers.
tonvale_up() { ! "${common[@]}" "$bin/tonvale" --elf-info 2>&1 | grep -q -e offline -e retry; }
waitfor "wireplumber" wireplumber_up
waitfor "the tonvale daemon" tonvale_up

servers() {
    local pid
    for pid in $(bench_ours); do
        case $(cat "/proc/$pid/comm" 2>/dev/null) in
            pulseaudio | pipewire | wireplumber | pipewire-pulse | tonvale) echo "$pid" ;;
        esac
    done
}
# PulseAudio and PipeWire raise their own priority (nice -11, a real-time audio thread); the
# tonvale daemon runs as its init service does, at nice 0. PEERS_PRIORITY=equal puts every
# server thread at SCHED_OTHER, nice 0, to see what that is worth on a busy machine.
if [ "${PEERS_PRIORITY:-shipped}" = equal ]; then
    for pid in $(servers); do
        for task in /proc/"$pid"/task/*; do
            chrt -o -p 0 "${task##*/}" >/dev/null 2>&1 || true
            renice -n 0 -p "${task##*/}" >/dev/null 2>&1 || true
        done
    done
fi
# One line per server: its threads as class/real-time priority/nice, with their count.
for pid in $(servers); do
    echo "# scheduling $(cat "/proc/$pid/comm"): $(ps -L -o cls=,rtprio=,ni= -p "$pid" |
        awk '{ n[$1 "/" $2 "/" $3]++ } END { for (k in n) print k "x" n[k] }' | sort |
        paste -sd' ' -)"
done
echo "# peers: tonvale $(git rev-parse --short HEAD 2>/dev/null || echo '?');" \
    "$(pulseaudio --version 2>/dev/null | head -n1);" \
    "pipewire $(pipewire --version | grep -o -m1 '[0-9][0-9.]*$');" \
    "wireplumber $(wireplumber --version | grep -o -m1 '[0-9][0-9.]*$');" \
    "kernel $(uname -r); $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "# peers: settings and sockets in $root ($fs)"

# PEERS_ONLY=watch runs the watch comparison alone.
if [ "${PEERS_ONLY:-}" != watch ]; then
    "${common[@]}" "XDG_RUNTIME_DIR=$root/run" "$bin/peers_driver" --tool "$bin/tonvale" \
        --tonvale-client "$bin/peers_tonvale_client" --pulse-client "$bin/peers_pulse_client" \
        --pipewire-client "$bin/peers_pipewire_client" --pulse-server "$pulse_server" \
        --pipewire-pulse-server "$pipewire_pulse_server" --pipewire-runtime "$root/pw-run" \
        --log "$root/clients.log" "$@" &
    wait $!  # in the background so that a signal to this script runs the cleanup at once
fi

# Change notifications: tonvale --watch against pactl subscribe on PulseAudio.
"${common[@]}" "XDG_RUNTIME_DIR=$root/run" "PULSE_SERVER=$pulse_server" \
    "$bin/peers_watch_driver" --tool "$bin/tonvale" --pulse-client "$bin/peers_pulse_client" \
    2>>"$root/clients.log" &
wait $!
