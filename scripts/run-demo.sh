#!/bin/bash
# Installs, builds, starts the daemon on the host with a local data directory, and shows it at
# work on two processes of one app: the demo player plays a tone as com.example.music and as
# com.example.music:remote while tonvale commands change their volume, and the daemon is
# SIGKILLed and started again while they play. At the end it draws state/demo-levels.png: each
# channel's output level over time, with each command and the restart marked.
#   ./scripts/run-demo.sh [--play]     (--play also sends com.example.music's audio to aplay)
# The daemon keeps running afterwards; scripts/stop-demo.sh stops it.
set -euo pipefail
# Packages install as root: root runs on; anyone else runs again through sudo when there is one
# (without sudo, scripts/install-deps.sh says what is missing).
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then
    exec sudo -E "$0" "$@"
fi
cd "$(dirname "$0")/.."
ROOT=$PWD
STATE=$ROOT/state
PLAY=()
for arg in "$@"; do
    case $arg in
        --play) PLAY=(--play) ;;
        *)
            echo "usage: $0 [--play]" >&2
            exit 2
            ;;
    esac
done

./scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTONVALE_TESTS=OFF >/dev/null
ninja -C build/release tonvale tonvale_demo_player
BIN=$ROOT/build/release/bin
TONVALE=$BIN/tonvale

./scripts/stop-demo.sh >/dev/null 2>&1 || true
rm -rf "$STATE"  # every run starts from empty settings
mkdir -p "$STATE/data/misc/tonvale" "$STATE/binder"
export ANDROID_DATA=$STATE/data HOSTBINDER_DIR=$STATE/binder

APP=com.example.music
REMOTE=com.example.music:remote
SECONDS_PLAYED=12
PLAYERS=()
WATCH=
# The players and the watch are reaped on every way out; the daemon stays.
trap 'for p in "${PLAYERS[@]}" $WATCH; do kill -TERM "$p" 2>/dev/null || true; done; wait' EXIT

step() { printf '\n\033[1m$ %s\033[0m\n' "$*"; "$@"; }
# Marks a command on the picture: wall-clock time and a short label.
mark() { printf '%s %s\n' "$(date +%s.%N)" "$1" >>"$STATE/commands.txt"; }
# Prints the gain lines the players wrote since the last call.
declare -A shown=([music]=0 [remote]=0)
show() {
    sleep 0.1  # a buffer or two, for the change to reach the players' output
    for p in music remote; do
        total=$(wc -l <"$STATE/$p.log")
        tail -n +$((shown[$p] + 1)) "$STATE/$p.log" | head -n $((total - shown[$p])) |
            grep -E '^gain|^track' | sed "s/^/    [$p] /" || true
        shown[$p]=$total
    done
}
# The daemon of this demo's rendezvous directory: its command line and environment say so.
daemon_pid() {
    for p in /proc/[0-9]*; do
        { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null | grep -q "tonvale --service" || continue
        { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qx "HOSTBINDER_DIR=$HOSTBINDER_DIR" &&
            echo "${p#/proc/}" && return 0
    done
    return 1
}
wait_until_answers() {
    for _ in $(seq 30); do
        "$TONVALE" --switches >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "the daemon did not come up; is another 'tonvale --service' running on this machine?" >&2
    return 1
}
wait_for_line() {  # wait_for_line FILE PREFIX
    for _ in $(seq 100); do
        grep -q "^$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "no '$2' in $1:" >&2
    cat "$1" >&2
    return 1
}

echo "== starting the daemon (ANDROID_DATA=$ANDROID_DATA, HOSTBINDER_DIR=$HOSTBINDER_DIR)"
step "$TONVALE" --service
wait_until_answers
step "$TONVALE" --elf-info
# A watch prints every change as the service announces it (shown at the end).
"$TONVALE" --watch >"$STATE/watch.log" 2>&1 &
WATCH=$!
wait_for_line "$STATE/watch.log" '{"event": "watching"}'

echo
echo "== the player renders a 1 kHz tone for ${SECONDS_PLAYED} s as two processes of one app:"
echo "   $APP (session 1) and $REMOTE (session 2), each reading its own control block"
(exec -a "$APP" "$BIN/tonvale_demo_player" --session 1 --seconds "$SECONDS_PLAYED" \
    --out "$STATE/music.wav" "${PLAY[@]}") >"$STATE/music.log" 2>&1 &
PLAYERS+=($!)
(exec -a "$REMOTE" "$BIN/tonvale_demo_player" --session 2 --seconds "$SECONDS_PLAYED" \
    --out "$STATE/remote.wav") >"$STATE/remote.log" 2>&1 &
PLAYERS+=($!)
wait_for_line "$STATE/music.log" "playing from"
wait_for_line "$STATE/remote.log" "playing from"
show
sleep 1

echo
echo "== a package setting (weak key) reaches both processes: left and right 0.5"
mark "package profile 0.5 0.5"
step "$TONVALE" --set-profile "$APP" 0.5 0.5 1 false true
show
sleep 1.2

echo
echo "== a process setting reaches that process only: right 0.25 for :remote (x the package's)"
mark "process profile :remote 1 0.25"
step "$TONVALE" --set-profile "$REMOTE" 1 0.25 1 false false
show
sleep 1.2

echo
echo "== muting the package silences both"
mark "package mute"
step "$TONVALE" --mute "$APP" true
show
sleep 1.2

echo
echo "== unmuting brings both back"
mark "package unmute"
step "$TONVALE" --unmute "$APP" true
show
sleep 1

echo
echo "== the daemon is SIGKILLed: the players keep their last gains and play on"
mark "daemon SIGKILLed"
step kill -KILL "$(daemon_pid)"
while daemon_pid >/dev/null; do sleep 0.05; done
sleep 1

echo
echo "== init would start it again; a setting made through the new daemon reaches both players"
step "$TONVALE" --service
wait_until_answers
answered=$(date +%s.%N)
# The watch registers again with the new daemon (it says so) before the change, to show it.
for _ in $(seq 100); do
    [ "$(grep -c '"watching"' "$STATE/watch.log")" -ge 2 ] && break
    sleep 0.05
done
mark "daemon restarted; package profile 0.25 0.5"
declare -A before=([music]=$(wc -l <"$STATE/music.log") [remote]=$(wc -l <"$STATE/remote.log"))
step "$TONVALE" --set-profile "$APP" 0.25 0.5 1 false true
# When each player's first buffer with the new gains began, from its gain line's frame.
for p in music remote; do
    for _ in $(seq 50); do
        line=$(tail -n +$((before[$p] + 1)) "$STATE/$p.log" | grep '^gain' | head -1 || true)
        [ -n "$line" ] && break
        sleep 0.1
    done
    start=$(grep '^playing from' "$STATE/$p.log" | cut -d' ' -f3)
    frame=$(sed -n 's/^gain frame=\([0-9]*\).*/\1/p' <<<"$line")
    if [ -z "$frame" ]; then
        echo "    [$p] did not follow the restarted daemon" >&2
        exit 1
    fi
    ms=$(awk -v s="$start" -v f="$frame" -v a="$answered" \
        'BEGIN { printf "%d", (s + f / 48000 - a) * 1000 }')
    echo "    [$p] follows the new daemon ${ms} ms after it answered"
    if [ "$ms" -gt 1000 ]; then
        echo "    [$p] took more than a second" >&2
        exit 1
    fi
done
show
sleep 1

step "$TONVALE" --list-buffers 1
step "$TONVALE" --ovr-status

echo
echo "== what 'tonvale --watch' printed meanwhile, one JSON line per change (across the restart)"
kill -INT "$WATCH"
wait "$WATCH" || { echo "the watch failed:" >&2; cat "$STATE/watch.log" >&2; exit 1; }
WATCH=
sed 's/^/    /' "$STATE/watch.log"
step "$TONVALE" --list-profile

echo
echo "== the players finish and give their blocks back"
status=0
for p in "${PLAYERS[@]}"; do wait "$p" || status=1; done
PLAYERS=()
show
for p in music remote; do grep '^wrote' "$STATE/$p.log" | sed "s/^/    [$p] /"; done
if [ "$status" != 0 ]; then
    echo "a player failed:" >&2
    cat "$STATE/music.log" "$STATE/remote.log" >&2
    exit 1
fi
step "$TONVALE" --ovr-status

# Output level per 10 ms window from the WAV files, and the picture.
python3 - "$STATE" <<'PY'
import array, os, sys, wave

state = sys.argv[1]
marks = []
with open(os.path.join(state, "commands.txt")) as f:
    for line in f:
        t, label = line.rstrip("\n").split(" ", 1)
        marks.append((float(t), label))

panels = []
for name, title in (("music", "com.example.music"), ("remote", "com.example.music:remote")):
    start = None
    with open(os.path.join(state, name + ".log")) as f:
        for line in f:
            if line.startswith("playing from "):
                start = float(line.split()[2])
    with wave.open(os.path.join(state, name + ".wav")) as w:
        rate, channels = w.getframerate(), w.getnchannels()
        samples = array.array("h", w.readframes(w.getnframes()))
    if sys.byteorder != "little":
        samples.byteswap()
    window = rate // 100
    dat = os.path.join(state, "levels-%s.dat" % name)
    with open(dat, "w") as out:
        out.write("# seconds  left_peak  right_peak (fraction of full scale)\n")
        for first in range(0, len(samples) // channels - window + 1, window):
            chunk = samples[first * channels:(first + window) * channels]
            left = max(abs(s) for s in chunk[0::channels]) / 32768.0
            right = max(abs(s) for s in chunk[1::channels]) / 32768.0
            out.write("%.3f %.5f %.5f\n" % ((first + window) / rate, left, right))
    panels.append((title, dat, start))

gp = os.path.join(state, "demo-levels.gp")
with open(gp, "w") as g:
    g.write('set terminal pngcairo size 1200,820 font "sans,10"\n')
    g.write('set output "%s"\n' % os.path.join(state, "demo-levels.png"))
    g.write('set multiplot layout 2,1 title "Output level of each channel, peak per 10 ms '
            '(1 kHz tone at 0.5 full scale)" font "sans,12"\n')
    g.write("set yrange [0:0.62]\nset grid ytics\nset key top right opaque box\n")
    g.write('set ylabel "peak level (full scale)"\n')
    g.write('set xlabel "seconds since the player started"\n')
    for title, dat, start in panels:
        g.write("unset arrow\nunset label\n")
        for i, (t, label) in enumerate(marks):
            x = t - start
            g.write("set arrow from %.3f, graph 0 to %.3f, graph 1 nohead dt 2 lc rgb '#777777'\n"
                    % (x, x))
            g.write('set label "%s" at %.3f, graph %.2f offset 0.5,0 font "sans,9"\n'
                    % (label, x, 0.96 - 0.07 * i))
        g.write('set title "%s"\n' % title)
        g.write("plot '%s' using 1:2 with lines lw 2.5 lc rgb '#1f77b4' title 'left', "
                "'' using 1:3 with lines lw 2 dt 2 lc rgb '#d62728' title 'right'\n" % dat)
    g.write("unset multiplot\n")
PY
gnuplot "$STATE/demo-levels.gp"

echo
echo "Settings persisted in $ANDROID_DATA/misc/tonvale:"
for f in "$ANDROID_DATA"/misc/tonvale/*.prof; do
    printf '  %s: %s\n' "${f##*/}" "$(cat "$f")"
done
echo
echo "The audio: state/music.wav and state/remote.wav; the picture: state/demo-levels.png"
echo "The daemon is still running. Try more commands with:"
echo "  ANDROID_DATA=$ANDROID_DATA HOSTBINDER_DIR=$HOSTBINDER_DIR $TONVALE -h"
echo "Stop it with: ./scripts/stop-demo.sh"
