#!/usr/bin/env bash
# Measures the CPU cost of capturing from the default input: capture_bench (the real recording controller)
# and parecord side by side for the same time, then 25 s of capture plus a 12 s export.
#   bench/compare_capture.sh [BUILD_DIR] [SECONDS]   (default build/default, 60)
set -euo pipefail
build=${1:-build/default}
seconds=${2:-60}
work=$(mktemp -d /tmp/tempolis-capture-compare-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$build/bench/capture_bench" --seconds "$seconds" >"$work/ours.txt" &
ours=$!
/usr/bin/time -f '%U %S %M' -o "$work/parecord.time" \
    timeout -s INT "$seconds" parecord --raw --latency-msec=100 --format=s16le --rate=44100 --channels=1 \
    "$work/parecord.raw" || true
wait "$ours"
read -r user system rss < <(tail -n1 "$work/parecord.time")
echo "capture_bench ${seconds}s: $(cat "$work/ours.txt")"
printf 'parecord %ss: cpu_seconds=%s peak_rss_kb=%s\n' "$seconds" \
    "$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.3f", u + s }')" "$rss"
ours_cpu=$(sed -E 's/cpu_seconds=([0-9.]+).*/\1/' "$work/ours.txt")
awk -v c="$ours_cpu" -v t="$seconds" 'BEGIN { printf "capture_bench share of one core: %.3f%%\n", 100 * c / t }'
echo "25 s of capture and a 12 s export: $("$build/bench/capture_bench" --seconds 25 --export-seconds 12 --output "$work/clip.m4a")"
