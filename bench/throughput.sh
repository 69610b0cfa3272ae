#!/usr/bin/env bash
# Throughput of workbench-batch's many-pictures mode, in pictures per second:
# 200 generated pictures of 640 x 480 and 20 of 4000 x 3000 (24-bit BMP),
# each size with --jobs 1 and with --jobs equal to the cores, and at 640 x 480
# also the word chain run once per picture from a shell loop, each in a
# folder of its own, as a user would without the mode. Each figure is the
# best of REPEAT runs (default 2): other programs on a shared machine only
# ever make a run slower.
#
#   [REPEAT=N] bench/throughput.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
batch=$build/workbench-batch
make=$build/workbench-make-pictures
[ -x "$batch" ] && [ -x "$make" ] || { echo "throughput: build $batch and $make first" >&2; exit 1; }
cores=$(nproc)
work=$(mktemp -d /tmp/workbench-throughput.XXXXXX)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.2f", n / s }'; }

loop() {  # loop DIR: the word chain once per picture, one folder each
  local out=$work/loop
  for picture in "$1"/*.bmp; do
    local name
    name=$(basename "$picture" .bmp)
    mkdir -p "$out/$name"
    (cd "$out/$name" && "$batch" load "$picture" filter binarize thin label)
  done
  rm -rf "$out"
}

mode() {  # mode DIR JOBS: the many-pictures mode
  "$batch" --out "$work/out" --jobs "$2" "$1" >/dev/null
  rm -rf "$work/out"
}

timed() {  # timed COMMAND...: prints the least seconds it took in REPEAT runs
  local start best=
  for _ in $(seq "${REPEAT:-2}"); do
    start=$(now)
    "$@"
    best=$(awk -v a="$start" -v b="$(now)" -v best="$best" 'BEGIN { t = b - a; if (best != "" && best < t) t = best; printf "%.3f", t }')
  done
  echo "$best"
}

echo "workbench-batch throughput, $(date -u +%Y-%m-%d), $cores cores: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "load average before the run (other programs on the machine): $(cut -d" " -f1-3 /proc/loadavg)"
printf '%-12s %8s %10s %12s %12s %12s %8s %10s\n' size pictures "loop p/s" "jobs 1 p/s" "jobs $cores p/s" "" speedup "jobs 1/loop"
for shape in "200 640 480" "20 4000 3000"; do
  read -r count width height <<<"$shape"
  pictures=$work/in-$width
  mkdir -p "$pictures"
  "$make" "$pictures" "$count" "$width" "$height"
  sync
  mode "$pictures" "$cores" >/dev/null  # warm the page cache and the program
  loop_rate=-
  overhead=-
  if [ "$width" -eq 640 ]; then
    t_loop=$(timed loop "$pictures")
    loop_rate=$(rate "$count" "$t_loop")
  fi
  t_one=$(timed mode "$pictures" 1)
  t_all=$(timed mode "$pictures" "$cores")
  one_rate=$(rate "$count" "$t_one")
  all_rate=$(rate "$count" "$t_all")
  speedup=$(awk -v a="$t_one" -v b="$t_all" 'BEGIN { printf "%.2f", a / b }')
  [ "$loop_rate" = - ] || overhead=$(awk -v a="$t_one" -v b="$t_loop" 'BEGIN { printf "%+.1f %%", (a / b - 1) * 100 }')
  printf '%-12s %8d %10s %12s %12s %12s %8s %10s\n' "${width}x$height" "$count" "$loop_rate" "$one_rate" "$all_rate" "" "$speedup" "$overhead"
  rm -rf "$pictures"
done
