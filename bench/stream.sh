#!/usr/bin/env bash
# The chain as a stream of rows on pictures of any size. Generates its own
# pictures of strokes (24-bit PNG, written by rows) and reports wall time
# and peak memory (GNU time's largest resident set, the run's or its
# worker's):
#   - 4000 x 3000 in memory: the whole-picture operations against the stream
#     on one thread and on two;
#   - one gigapixel (40000 x 25000) through workbench-batch --out --keep C
#     --format png, and again with --measure (the skeleton measures from the
#     stream of thinned rows) and with --vector svg (the centre lines),
#     against the same reading and writing without the chain
#     (workbench-band-bench floor: the PNG decoded by rows, a two-level PNG
#     written by rows);
#   - an A0 drawing at 600 dpi (19866 x 28087), the same way.
# Takes a few minutes and about 4 GB of disk; not run by the tests.
#
#   bench/stream.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
batch=$build/workbench-batch
bench=$build/workbench-band-bench
for program in "$batch" "$bench"; do
  [ -x "$program" ] || { echo "stream: build $program first" >&2; exit 1; }
done
work=$(mktemp -d /var/tmp/workbench-stream.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "streaming chain, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "load average before the run: $(cut -d" " -f1-3 /proc/loadavg)"
"$bench" threads 4000 3000 9

timed() {  # timed LABEL COMMAND...: wall seconds and peak MB of the command
  local label=$1
  shift
  command time -f "%e %M" -o "$work/time" "$@" >/dev/null
  read -r seconds kb <"$work/time"
  echo "$label: $seconds s, peak $((kb / 1024)) MB"
  echo "$seconds" >"$work/seconds"
}

for shape in "40000 25000 gigapixel" "19866 28087 A0-600dpi"; do
  read -r width height name <<<"$shape"
  picture=$work/$name.png
  "$bench" make "$width" "$height" "$picture"
  echo "$name: ${width}x$height, $(( $(stat -c %s "$picture") / 1048576 )) MB as PNG"
  timed "$name floor (read by rows, write a two-level PNG)" "$bench" floor "$picture" "$work/floor.png"
  floor=$(<"$work/seconds")
  rm -f "$work/floor.png"
  sync
  timed "$name --out --keep C --format png" "$batch" --out "$work/out" --keep C --format png "$picture"
  run=$(<"$work/seconds")
  echo "$name: the run takes $(awk -v a="$run" -v b="$floor" 'BEGIN { printf "%.2f", a / b }') x the floor;" \
    "C.png $(( $(stat -c %s "$work/out/$name/C.png") / 1024 )) KB"
  rm -rf "$work/out"
  sync
  timed "$name --out --keep C --format png --measure" "$batch" --out "$work/out" --keep C --format png --measure "$picture"
  measured=$(<"$work/seconds")
  echo "$name: with the measures the run takes $(awk -v a="$measured" -v b="$run" 'BEGIN { printf "%.2f", a / b }') x" \
    "the run without; $(tail -n 1 "$work/out/$name/skeletons.csv" | cut -d, -f1) skeletons," \
    "$(( $(wc -l <"$work/out/$name/branches.csv") - 1 )) branches"
  rm -rf "$work/out"
  sync
  timed "$name --out --keep C --format png --vector svg" "$batch" --out "$work/out" --keep C --format png --vector svg "$picture"
  vectors=$(<"$work/seconds")
  echo "$name: with the centre lines the run takes $(awk -v a="$vectors" -v b="$run" 'BEGIN { printf "%.2f", a / b }') x" \
    "the run without; skeleton.svg $(( $(stat -c %s "$work/out/$name/skeleton.svg") / 1048576 )) MB"
  rm -rf "$work/out" "$picture"
done
