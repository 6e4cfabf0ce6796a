#!/usr/bin/env bash
# Exports the same 10-minute and 60-minute clips with export_bench and with the ffmpeg command line, in
# turns, and prints each wall time and their ratio (ours / ffmpeg's; the target is at most 1.0).
#   bench/compare_export.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
build=${1:-build/default}
bench="$build/bench/export_bench"
work=$(mktemp -d "${HOME:-/tmp}/.tempolis-export-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT

for minutes in 10 60; do
    seconds=$((minutes * 60))
    raw="$work/input-$minutes.raw"
    # Speech-like material: pink noise shaped by a slow tremolo, plus a tone (deterministic).
    sox -n -r 44100 -c 1 -b 16 -e signed-integer -t raw "$raw" synth "$seconds" pinknoise tremolo 3 60 \
        synth "$seconds" sine mix 440 vol 0.5 2>/dev/null
    ours=() theirs=()
    for turn in 1 2; do
        "$bench" --input "$raw" --window-seconds "$seconds" --block-bytes 4410 --export-seconds "$seconds" \
            --output "$work/ours.m4a" >"$work/ours.txt"
        ours+=("$(sed -E 's/.*export_wall_seconds=([0-9.]+).*/\1/' "$work/ours.txt")")
        start=$(date +%s.%N)
        ffmpeg -nostdin -loglevel error -y -f s16le -ar 44100 -ac 1 -i "$raw" -c:a aac -aac_coder fast "$work/theirs.m4a"
        theirs+=("$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')")
    done
    best_ours=$(printf '%s\n' "${ours[@]}" | sort -g | head -n1)
    best_theirs=$(printf '%s\n' "${theirs[@]}" | sort -g | head -n1)
    printf 'minutes=%d export_bench_seconds=%.2f ffmpeg_seconds=%.2f ratio=%.3f\n' "$minutes" "$best_ours" \
        "$best_theirs" "$(awk -v a="$best_ours" -v b="$best_theirs" 'BEGIN { print a / b }')"
done
