#!/usr/bin/env bash
# Whole-program figures of Tempolis, in one run:
#   launch_to_recording_seconds  launch until the audio server lists its stream (both, for a call)
#   cpu_percent                  CPU used while recording for SECONDS, in % of one core
#   wakeups_per_second           voluntary + involuntary context switches of all its threads over 20 s
#                                (voluntary_wakeups_per_second: the voluntary ones alone)
#   rss_kb, private_dirty_kb     resident memory and the sum of Private_Dirty (/proc/PID/smaps_rollup) at the end
#   save_lag_seconds             the worst of 3: a click played into the microphone's sink, then
#                                `tempolis save 5`; how much of the audio before the request the clip misses:
#                                (request time - click time) - (clip end - click position in the clip)
#   save_seconds                 the longest of those 3 commands, request to reply
#   rss_after_saves_kb           resident memory after those saves
# and with --announcement (settings of a first launch, so the announcement window opens):
#   announcement_shown_rss_kb    the program's resident memory while the window is shown
#   announcement_closed_rss_kb   the same, 5 s after the window was closed (alt+F4)
# and with --libraries, the resident size of each mapped file (library_rss_kb=KB PATH, largest first).
# --input ID records that input (the settings' "Preferred Audio Device"): a source's name, @DEFAULT_MONITOR@
# ("System audio") or @MICROPHONE_AND_SYSTEM_AUDIO@ (both sides of a call: in the test session the default
# output is what the microphone hears, so both sides record the sound file, and the click).
#
#   bench/measure_program.sh [--announcement] [--libraries] [--input ID] [BUILD_DIR] [SECONDS] [SOUND_FILE]
#                                                              (default build/default, 60, none)
# Needs a display with a window manager, a session bus and an audio server with the test session's devices
# (run it under scripts/test-session). With SOUND_FILE, that file plays in a loop into the default sink (the
# test session's microphone hears it) while measuring: digital silence encodes too cheaply to count. Without
# --announcement the settings say the announcement window was seen, so it does not open.
set -euo pipefail
announcement=
libraries=
input=
while [ $# -gt 0 ]; do
    case $1 in
        --announcement) announcement=1 ;;
        --libraries) libraries=1 ;;
        --input) input=$2; shift ;;
        *) break ;;
    esac
    shift
done
build=${1:-build/default}
seconds=${2:-60}
sound=${3:-}
program="$build/Tempolis.app/Contents/bin/Tempolis"
[ -n "${TEMPOLIS_TEST_SESSION:-}" ] || { echo "measure_program: run it under scripts/test-session" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/tempolis-measure-XXXXXX")
pid=
player=
cleanup() {
    [ -z "$player" ] || kill "$player" 2>/dev/null || true
    [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true
    [ -z "$pid" ] || wait "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$XDG_CONFIG_HOME/Orvane"
conf="$XDG_CONFIG_HOME/Orvane/Tempolis.conf"
if [ -n "$announcement" ]; then
    rm -f "$conf"
else
    printf '[General]\nFinal%%20Update%%20Launch%%20Count=1\nFinal%%20Update%%20Launch%%20Date=%s\n' "$(date +%s)" >"$conf"
fi
if [ -n "$input" ]; then
    [ -f "$conf" ] || printf '[General]\n' >"$conf"
    printf 'Preferred%%20Audio%%20Device=%s\n' "$input" >>"$conf"
fi

# Plays the sound in a loop until stopped; stopping it also ends the paplay under way.
play_loop() {
    local child=
    trap '[ -z "$child" ] || kill "$child" 2>/dev/null; exit 0' TERM
    while :; do
        paplay "$1" 2>/dev/null &
        child=$!
        wait "$child" || true
    done
}
if [ -n "$sound" ]; then
    play_loop "$sound" &
    player=$!
fi

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# Context switches of every thread the process has now: all, and the voluntary ones.
context_switches() {
    cat "/proc/$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } /^voluntary/ { v += $2 } END { print n, v }'
}
now() { date +%s.%N; }

start=$(now)
"$program" 2>"$work/program.log" &
pid=$!
# Recording: every stream the input asks for (two for both sides of a call) is listed.
streams=1
[ "$input" != "@MICROPHONE_AND_SYSTEM_AUDIO@" ] || streams=2
until [ "$(pactl list source-outputs 2>/dev/null | grep -c "application.process.id = \"$pid\"")" -ge "$streams" ]; do
    kill -0 "$pid" 2>/dev/null || { echo "measure_program: Tempolis exited" >&2; cat "$work/program.log" >&2; exit 1; }
    sleep 0.01
done
recording=$(now)
awk -v a="$recording" -v b="$start" 'BEGIN { printf "launch_to_recording_seconds=%.3f\n", a - b }'

if [ -n "$announcement" ]; then
    # The window is the only one of its size; it is drawn once it is mapped, and the program has settled a
    # few seconds later.
    window=
    for _ in $(seq 600); do
        window=$(xwininfo -root -tree | awk '/ 500x613\+/ && !found { print $1; found = 1 }')
        [ -n "$window" ] && break
        sleep 0.05
    done
    [ -n "$window" ] || { echo "measure_program: no announcement window" >&2; exit 1; }
    sleep 3
    echo "announcement_shown_rss_kb=$(rss_kb "$pid")"
    xdotool windowactivate --sync "$window" key alt+F4
    while xwininfo -id "$window" >/dev/null 2>&1; do sleep 0.05; done
    sleep 5
    echo "announcement_closed_rss_kb=$(rss_kb "$pid")"
fi

sleep 2 # let start-up settle
cpu_before=$(cpu_ticks "$pid")
read -r switches_before voluntary_before < <(context_switches "$pid")
sleep 20
read -r switches_after voluntary_after < <(context_switches "$pid")
# The involuntary ones (preemptions) grow with the machine's load; the voluntary ones are the program's own.
awk -v d="$((switches_after - switches_before))" -v v="$((voluntary_after - voluntary_before))" \
    'BEGIN { printf "wakeups_per_second=%.1f\nvoluntary_wakeups_per_second=%.1f\n", d / 20, v / 20 }'
[ "$seconds" -le 20 ] || sleep "$((seconds - 20))"
cpu_after=$(cpu_ticks "$pid")
window_seconds=$((seconds > 20 ? seconds : 20))
awk -v d="$((cpu_after - cpu_before))" -v t="$ticks" -v s="$window_seconds" \
    'BEGIN { printf "idle_cpu_seconds=%.2f over %ds (%.2f%% of one core)\ncpu_percent=%.2f\n",
             d / t, s, 100 * d / t / s, 100 * d / t / s }'
grep -E '^(VmRSS|VmHWM)' "/proc/$pid/status" | awk '{ printf "%s_kb=%s\n", tolower(substr($1, 1, length($1) - 1)), $2 }'
echo "rss_kb=$(rss_kb "$pid")"
awk '/^Private_Dirty:/ { n += $2 } END { print "private_dirty_kb=" n }' "/proc/$pid/smaps_rollup"
if [ -n "$libraries" ]; then
    awk '/^[0-9a-f]+-[0-9a-f]+ / { path = ($6 == "" ? "[anonymous]" : $6) }
         /^Rss:/ { rss[path] += $2 }
         END { for (p in rss) if (rss[p] > 0) print rss[p], p }' "/proc/$pid/smaps" |
        sort -rn | awk '{ printf "library_rss_kb=%s %s\n", $1, $2 }'
fi

# The save lag. The sound stops and the 5 s before the click are left silent, so the click is the loudest
# sample of the clip: a two-sample pulse 0.1 s into a short file, played with a small latency.
if [ -n "$player" ]; then
    kill "$player" 2>/dev/null || true
    wait "$player" 2>/dev/null || true
    player=
fi
rate=44100
click_offset_seconds=0.1
python3 - "$work/click.wav" "$rate" "$click_offset_seconds" <<'EOF'
import struct, sys, wave
path, rate, offset = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
samples = [0] * int(rate * (offset + 0.4))
samples[int(rate * offset)] = samples[int(rate * offset) + 1] = 30000
with wave.open(path, 'wb') as file:
    file.setnchannels(1)
    file.setsampwidth(2)
    file.setframerate(rate)
    file.writeframes(struct.pack(f'<{len(samples)}h', *samples))
EOF
lags=()
longest_save=0
for attempt in 1 2 3; do
    sleep 6
    clips="$work/clips-$attempt"
    mkdir "$clips"
    played=$(now)
    pacat --latency-msec=10 --device=rec_sink "$work/click.wav"
    requested=$(now)
    "$program" save 5 --output "$clips" >/dev/null
    replied=$(now)
    clip=$(ls "$clips"/*)
    duration=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration_ts,time_base -of csv=p=0 "$clip" |
        awk -F, '{ split($1, base, "/"); print $2 * base[1] / base[2] }')
    peak=$(ffmpeg -v error -i "$clip" -f s16le -ac 1 -ar "$rate" - | python3 -c '
import sys, array
samples = array.array("h", sys.stdin.buffer.read())
peak = max(range(len(samples)), key=lambda i: abs(samples[i]))
print(peak if abs(samples[peak]) > 8000 else -1)')
    if [ "$peak" -lt 0 ]; then
        lag=$(awk -v r="$requested" -v p="$played" -v o="$click_offset_seconds" 'BEGIN { printf ">%.3f", r - p - o }')
        echo "measure_program: the click is not in clip $attempt" >&2
    else
        lag=$(awk -v r="$requested" -v p="$played" -v o="$click_offset_seconds" -v d="$duration" -v k="$peak" \
            -v rate="$rate" 'BEGIN { printf "%.3f", (r - p - o) - (d - k / rate) }')
    fi
    echo "save_lag_seconds_$attempt=$lag"
    awk -v a="$replied" -v b="$requested" -v n="$attempt" 'BEGIN { printf "save_seconds_%d=%.3f\n", n, a - b }'
    lags+=("$lag")
    longest_save=$(awk -v a="$replied" -v b="$requested" -v l="$longest_save" 'BEGIN { d = a - b; printf "%.3f", (d > l ? d : l) }')
done
# A click missing from its clip is the worst of all.
printf '%s\n' "${lags[@]}" |
    awk '/^>/ { missing = $0 } !/^>/ && (worst == "" || $1 > worst) { worst = $1 }
         END { print "save_lag_seconds=" (missing != "" ? missing : worst) }'
echo "save_seconds=$longest_save"
echo "rss_after_saves_kb=$(rss_kb "$pid")"
