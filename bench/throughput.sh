#!/usr/bin/env bash
# Throughput of workbench-batch's many-pictures mode, in pictures per second,
# and the bytes it writes. Generated 24-bit BMP pictures: 400 of 640 x 480
# and 16 A4 pages at 300 dpi (2480 x 3508). For each size:
#   - the default (every stage as BMP) and --keep C --format png, each with
#     --jobs 1 and --jobs 2, and --keep C --format png also with --jobs 1
#     --threads 1;
#   - the same work in one process with no workers and no files
#     (workbench-chain-bench: load, the chain, the PNG encoding in memory),
#     the floor the mode is held against, and two such processes at once on
#     half of the pictures each: how much a second busy core gives here;
#   - with OLD_BUILD_DIR, the default of an earlier build in the same run.
# Then a worker's peak memory on 4000 x 3000 pictures (the largest resident
# set of the run's processes, which is a worker's). Each time is the best of
# REPEAT runs (default 2): other programs on a shared machine only ever make
# a run slower.
#
#   [REPEAT=N] bench/throughput.sh [BUILD_DIR [OLD_BUILD_DIR]]   (default: build)
set -euo pipefail
shopt -s inherit_errexit  # a failed run inside $(timed ...) ends the benchmark
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
old=${2:+$(realpath "$2")}
batch=$build/workbench-batch
make=$build/workbench-make-pictures
chain=$build/workbench-chain-bench
for program in "$batch" "$make" "$chain" ${old:+"$old/workbench-batch"}; do
  [ -x "$program" ] || { echo "throughput: build $program first" >&2; exit 1; }
done
work=$(mktemp -d /tmp/workbench-throughput.XXXXXX)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.1f", n / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# The files below a folder, in bytes.
bytes() { find "$1" -type f -printf '%s\n' | awk '{ n += $1 } END { printf "%d", n }'; }

# Every run writes into a folder of its own, whose files are emptied once
# counted (freeing the disk) and removed only at the end: on ext4 without a
# journal (as on this project's machine) the inodes of recently deleted
# files are passed over when new files are made, so a run just after
# removing the last run's thousands of files paid about half a millisecond
# for each folder and file it made (measured 2026-12-09).
out=
mode() {  # mode PROGRAM DIR OPTIONS...: the many-pictures mode into $out
  local program=$1 pictures=$2
  shift 2
  "$program" --out "$out" "$@" "$pictures" >/dev/null
}
fresh() {  # fresh: $out becomes a new, empty folder
  out=$(mktemp -d "$work/run.XXXXXX")
}

one() {  # one OPTIONS... FILE...: the same work in one process, no files
  "$chain" "$@" >/dev/null
}

two() {  # two FILE...: the same work in two such processes at once, each on
  # half of the pictures: what this machine gives for a second busy core
  local half=$((($# + 1) / 2)) first
  "$chain" "${png[@]}" "${@:1:half}" >/dev/null &
  first=$!
  "$chain" "${png[@]}" "${@:half+1}" >/dev/null || { wait "$first"; return 1; }
  wait "$first"
}

timed() {  # timed COMMAND...: prints the least seconds it took in REPEAT runs,
  # each into a new folder $out, whose bytes are left in $work/written
  local start best=
  for _ in $(seq "${REPEAT:-2}"); do
    fresh
    sync  # what earlier runs left for the disk is not this run's to flush
    start=$(now)
    "$@"
    best=$(awk -v a="$start" -v b="$(now)" -v best="$best" 'BEGIN { t = b - a; if (best != "" && best < t) t = best; printf "%.3f", t }')
    bytes "$out" >"$work/written"
    find "$out" -type f -exec truncate -s 0 {} +
  done
  echo "$best"
}

row() {  # row SIZE COUNT WHAT SECONDS BYTES NOTE
  printf '%-10s %6s  %-44s %8s %10s  %s\n' "$1" "$2" "$3" "$(rate "$2" "$4")" "$(awk -v b="$5" 'BEGIN { printf "%.1f", b / 1048576 }')" "$6"
}

echo "workbench-batch throughput, $(date -u "+%Y-%m-%d %H:%M UTC"), $(nproc) cores: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "load average before the run (other programs on the machine): $(cut -d" " -f1-3 /proc/loadavg)"
printf '%-10s %6s  %-44s %8s %10s  %s\n' size count run "p/s" "MB written" ""
png=(--keep C --format png)
for shape in "400 640 480" "16 2480 3508"; do
  read -r count width height <<<"$shape"
  size=${width}x$height
  pictures=$work/in-$width
  mkdir -p "$pictures"
  "$make" "$pictures" "$count" "$width" "$height"
  sync
  fresh
  mode "$batch" "$pictures" --jobs 2  # warm the page cache and the program
  find "$out" -type f -exec truncate -s 0 {} +

  if [ -n "$old" ]; then
    t_old=$(timed mode "$old/workbench-batch" "$pictures" --jobs 1)
    row "$size" "$count" "old --jobs 1" "$t_old" "$(<"$work/written")" ""
  fi
  t_bmp1=$(timed mode "$batch" "$pictures" --jobs 1)
  bmp_bytes=$(<"$work/written")
  row "$size" "$count" "--jobs 1" "$t_bmp1" "$bmp_bytes" "${old:+$(ratio "$t_old" "$t_bmp1") x old}"
  t_bmp2=$(timed mode "$batch" "$pictures" --jobs 2)
  row "$size" "$count" "--jobs 2" "$t_bmp2" "$(<"$work/written")" "$(ratio "$t_bmp1" "$t_bmp2") x jobs 1"
  t_png1=$(timed mode "$batch" "$pictures" --jobs 1 "${png[@]}")
  png_bytes=$(<"$work/written")
  note="$(ratio "$t_bmp1" "$t_png1") x default, 1/$(awk -v a="$bmp_bytes" -v b="$png_bytes" 'BEGIN { printf "%.0f", a / b }') of its bytes"
  [ -n "$old" ] && note="$(ratio "$t_old" "$t_png1") x old, $note"
  row "$size" "$count" "--jobs 1 --keep C --format png" "$t_png1" "$png_bytes" "$note"
  # One worker gets every core for a large picture; on one thread it shows
  # what a second worker adds.
  t_png1t=$(timed mode "$batch" "$pictures" --jobs 1 --threads 1 "${png[@]}")
  row "$size" "$count" "--jobs 1 --threads 1 --keep C --format png" "$t_png1t" "$(<"$work/written")" ""
  t_png2=$(timed mode "$batch" "$pictures" --jobs 2 "${png[@]}")
  row "$size" "$count" "--jobs 2 --keep C --format png" "$t_png2" "$(<"$work/written")" \
    "$(ratio "$t_png1" "$t_png2") x jobs 1, $(ratio "$t_png1t" "$t_png2") x jobs 1 on one thread"
  t_one=$(timed one "${png[@]}" "$pictures"/*.bmp)
  row "$size" "$count" "one process, no files: --keep C --format png" "$t_one" 0 \
    "jobs 1 takes $(ratio "$t_png1" "$t_one") x its time"
  t_two=$(timed two "$pictures"/*.bmp)
  row "$size" "$count" "two such processes at once, half each" "$t_two" 0 \
    "$(ratio "$t_one" "$t_two") x one; jobs 2 gives $(ratio "$t_two" "$t_png2") x their speed"
done

# A worker's peak memory: /usr/bin/time's largest resident set is the
# largest among the run and the workers it waited for.
pictures=$work/in-4000
mkdir -p "$pictures"
"$make" "$pictures" 3 4000 3000
for options in "" "${png[*]}"; do
  fresh
  # shellcheck disable=SC2086  # the options are words
  peak=$(command time -f %M "$batch" --out "$out" --jobs 1 $options "$pictures" 2>&1 >/dev/null | tail -1)
  echo "4000x3000 peak memory of a worker${options:+ with $options}: $((peak / 1024)) MB" \
    "($(awk -v p="$peak" 'BEGIN { printf "%.2f", p * 1024 / (4000 * 3000 * 3) }') pictures of 36 MB)"
done
