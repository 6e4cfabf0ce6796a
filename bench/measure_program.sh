#!/usr/bin/env bash
# Whole-program figures of Tempolis: time from launch to recording (until the audio server lists its stream),
# CPU used while recording idly for a while, and memory (resident now and at peak).
#   bench/measure_program.sh [BUILD_DIR] [SECONDS] [SOUND_FILE]     (default build/default, 60, none)
# Needs a display, a session bus and an audio server (or run it under scripts/test-session). With SOUND_FILE,
# that file plays in a loop into the default sink (the test session's microphone hears it) while measuring:
# digital silence encodes too cheaply to count. Under the test session the settings say the announcement
# window was seen, so it does not open.
set -euo pipefail
build=${1:-build/default}
seconds=${2:-60}
sound=${3:-}
program="$build/Tempolis.app/Contents/bin/Tempolis"
if [ -n "${TEMPOLIS_TEST_SESSION:-}" ]; then
    mkdir -p "$XDG_CONFIG_HOME/Orvane"
    printf '[General]\nFinal%%20Update%%20Launch%%20Count=1\nFinal%%20Update%%20Launch%%20Date=%s\n' "$(date +%s)" \
        >"$XDG_CONFIG_HOME/Orvane/Tempolis.conf"
fi
if [ -n "$sound" ]; then
    (while paplay "$sound" 2>/dev/null; do :; done) &
    player=$!
    trap 'kill "$player" 2>/dev/null || true' EXIT
fi
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

start=$(date +%s.%N)
"$program" 2>/dev/null &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null || true; [ -z "$sound" ] || kill "$player" 2>/dev/null || true' EXIT
until pactl list source-outputs 2>/dev/null | grep -q "application.process.id = \"$pid\""; do
    kill -0 "$pid" 2>/dev/null || { echo "measure_program: Tempolis exited" >&2; exit 1; }
    sleep 0.01
done
recording=$(date +%s.%N)
awk -v a="$recording" -v b="$start" 'BEGIN { printf "launch_to_recording_seconds=%.3f\n", a - b }'

sleep 2 # let start-up settle
before=$(cpu_ticks "$pid")
sleep "$seconds"
after=$(cpu_ticks "$pid")
awk -v d="$((after - before))" -v t="$ticks" -v s="$seconds" \
    'BEGIN { printf "idle_cpu_seconds=%.2f over %ds (%.2f%% of one core)\n", d / t, s, 100 * d / t / s }'
grep -E '^(VmRSS|VmHWM)' "/proc/$pid/status" | awk '{ printf "%s_kb=%s\n", tolower(substr($1, 1, length($1) - 1)), $2 }'
