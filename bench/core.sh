#!/usr/bin/env bash
# workbench-batch of a build against an older workbench-batch, in one run,
# on four measures:
#   1. --version: CPU time (user + sys) of one run, the median of RUNS runs
#      of each (default 30), old and new taken in turn;
#   2. the words load samples/strokes.png filter binarize thin label save
#      result.bmp in a scratch folder, CHAIN_RUNS times in a shell loop
#      (default 200): pictures per second (runs / wall seconds);
#   3. --out --keep C --format png --jobs 1 on PICTURES generated pictures of
#      640 x 480 (default 400): pictures per second;
#   4. --jobs 2 against --jobs 1 on JOBS_PICTURES such pictures (default
#      100), --keep C --format png: the ratio of their pictures per second,
#      for each program.
# For 3 and 4 each configuration's time is the best of REPEAT runs (default
# 3), old and new in turn so that a change of load on a shared machine falls
# on both; each run writes into a new, empty folder (a run skips pictures
# whose folder records a finished result). The pictures come from the build's
# workbench-make-pictures, as in bench/throughput.sh.
#
#   [RUNS=N] [CHAIN_RUNS=N] [PICTURES=N] [JOBS_PICTURES=N] [REPEAT=N] \
#     bench/core.sh NEW_BUILD_DIR OLD_BATCH_BINARY
set -euo pipefail
shopt -s inherit_errexit  # a failed run inside $(...) ends the benchmark
cd "$(dirname "$0")/.."
if [ $# -ne 2 ]; then
  echo "usage: bench/core.sh NEW_BUILD_DIR OLD_BATCH_BINARY" >&2
  exit 2
fi
new=$(realpath "$1")/workbench-batch
old=$(realpath "$2")
make=$(realpath "$1")/workbench-make-pictures
sample=$PWD/samples/strokes.png
for program in "$new" "$old" "$make"; do
  [ -x "$program" ] || { echo "core: $program is not a program; build it first" >&2; exit 1; }
done
runs=${RUNS:-30}
chain_runs=${CHAIN_RUNS:-200}
pictures=${PICTURES:-400}
jobs_pictures=${JOBS_PICTURES:-100}
repeat=${REPEAT:-3}

work=$(mktemp -d /tmp/workbench-core.XXXXXX)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.1f", n / s }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# CPU time of one run of a command, in milliseconds. The kernel keeps the
# children's time to the microsecond, but bash's `time` prints milliseconds,
# too coarse for a run of a few: where the getrusage system call's number is
# known, perl (part of every Debian system) reads it before and after the run.
case "$(uname -m)" in
  x86_64) getrusage=98 ;;
  aarch64) getrusage=165 ;;
  *) getrusage= ;;
esac
if [ -n "$getrusage" ] && command -v perl >/dev/null; then
  resolution="1 us"
  cpu_ms() {
    perl -e '
      sub children {  # RUSAGE_CHILDREN: user and system time, in microseconds
        my $usage = "\0" x 144;
        syscall('"$getrusage"', -1, $usage) == 0 or die "getrusage: $!\n";
        my ($us, $uu, $ss, $su) = unpack "q4", $usage;
        return ($us + $ss) * 1e6 + $uu + $su;
      }
      my $before = children();
      my $pid = fork // die "fork: $!\n";
      if ($pid == 0) { open STDOUT, ">", "/dev/null"; exec @ARGV or exit 127 }
      waitpid $pid, 0;
      $? == 0 or die "@ARGV failed\n";
      printf "%.3f\n", (children() - $before) / 1000;
    ' "$@"
  }
else
  resolution="1 ms"
  cpu_ms() {
    local TIMEFORMAT='%3U %3S' t
    t=$( { time "$@" >/dev/null; } 2>&1)
    awk -v t="$t" 'BEGIN { split(t, f, " "); printf "%.3f\n", (f[1] + f[2]) * 1000 }'
  }
fi

# Every run of the many-pictures mode writes into a folder of its own, whose
# files are emptied once the run is timed and removed only at the end: on
# ext4 without a journal, files made just after thousands were removed are
# slower to make (see bench/throughput.sh).
out=
fresh() { out=$(mktemp -d "$work/run.XXXXXX"); }
empty() { find "$out" -type f -exec truncate -s 0 {} +; }
mode() {  # mode PROGRAM INPUT_FOLDER OPTIONS...: seconds of one run into a new folder
  local program=$1 input=$2 start end
  shift 2
  fresh
  sync  # what earlier runs left for the disk is not this run's to flush
  start=$(now)
  "$program" --out "$out" "$@" "$input" >/dev/null
  end=$(now)
  # Every picture done, none skipped: a result folder for each input.
  [ "$(find "$out" -name C.png | wc -l)" -eq "$(find "$input" -type f | wc -l)" ] ||
    { echo "core: $program did not finish every picture of $input" >&2; return 1; }
  empty
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
best() {  # best VAR PROGRAM INPUT_FOLDER OPTIONS...: VAR becomes the least of it and this run's seconds
  local -n least=$1
  local t
  shift
  t=$(mode "$@")
  least=$(awk -v a="$least" -v b="$t" 'BEGIN { printf "%.3f", (a == "" || b < a) ? b : a }')
}

started=$(date -u '+%Y-%m-%d %H:%M:%S')
load_before=$(cut -d" " -f1-3 /proc/loadavg)

# 1. --version, old and new in turn.
: >"$work/version-old"
: >"$work/version-new"
cpu_ms "$old" --version >/dev/null  # into the page cache
cpu_ms "$new" --version >/dev/null
for _ in $(seq "$runs"); do
  cpu_ms "$old" --version >>"$work/version-old"
  cpu_ms "$new" --version >>"$work/version-new"
done
v_old=$(median <"$work/version-old")
v_new=$(median <"$work/version-new")

# 2. The words on the sample, in a scratch folder, one loop for each program
# after a run of each to warm the cache.
chain() {  # chain PROGRAM: seconds of the loop
  local program=$1 start end
  rm -rf "$work/words"
  mkdir "$work/words"
  (cd "$work/words" && "$program" load "$sample" filter binarize thin label save result.bmp >/dev/null)
  sync
  start=$(now)
  (
    cd "$work/words"
    for _ in $(seq "$chain_runs"); do
      "$program" load "$sample" filter binarize thin label save result.bmp >/dev/null
    done
  )
  end=$(now)
  [ -s "$work/words/result.bmp" ] || { echo "core: $program wrote no result.bmp" >&2; return 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
c_old=$(chain "$old")
c_new=$(chain "$new")

# 3. and 4.: the generated pictures, each program run once on them first to
# warm the page cache and the programs.
mkdir "$work/in-many" "$work/in-jobs"
"$make" "$work/in-many" "$pictures" 640 480 >/dev/null
"$make" "$work/in-jobs" "$jobs_pictures" 640 480 >/dev/null
png=(--keep C --format png)
for program in "$old" "$new"; do
  mode "$program" "$work/in-many" --jobs 2 "${png[@]}" >/dev/null
done

m_old='' m_new=''
for _ in $(seq "$repeat"); do
  best m_old "$old" "$work/in-many" --jobs 1 "${png[@]}"
  best m_new "$new" "$work/in-many" --jobs 1 "${png[@]}"
done

j1_old='' j1_new='' j2_old='' j2_new=''
for _ in $(seq "$repeat"); do
  best j1_old "$old" "$work/in-jobs" --jobs 1 "${png[@]}"
  best j1_new "$new" "$work/in-jobs" --jobs 1 "${png[@]}"
  best j2_old "$old" "$work/in-jobs" --jobs 2 "${png[@]}"
  best j2_new "$new" "$work/in-jobs" --jobs 2 "${png[@]}"
done

load_after=$(cut -d" " -f1-3 /proc/loadavg)

met() {  # met VALUE OP GOAL, on the unrounded figures
  awk -v v="$1" -v g="$3" -v op="$2" 'BEGIN { ok = op == "<=" ? v <= g : v >= g; printf "%s", ok ? "yes" : "NO" }'
}
exact() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", a / b }'; }
row() { printf '%-46s %10s %10s %8s  %-10s %s\n' "$@"; }

# The ratios of pictures per second are those of the seconds, upside down.
v_ratio=$(exact "$v_new" "$v_old")
c_ratio=$(exact "$c_old" "$c_new")
m_ratio=$(exact "$m_old" "$m_new")
s_old=$(exact "$j1_old" "$j2_old")  # pictures per second at 2 jobs over 1 job
s_new=$(exact "$j1_new" "$j2_new")
s_ratio=$(exact "$s_new" "$s_old")
two() { awk -v x="$1" 'BEGIN { printf "%.2f", x }'; }

echo "workbench-batch against an older one, $started to $(date -u '+%H:%M:%S') UTC"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "new: $new"
echo "old: $old"
echo "load average (1, 5, 15 min): $load_before before, $load_after after"
echo "each time for 3 and 4 the best of $repeat runs; CPU time read to $resolution"
row measure old new new/old goal met
row "1. --version CPU ms/run (median of $runs)" "$v_old" "$v_new" "$(two "$v_ratio")" "<= 1/3" "$(met "$v_ratio" "<=" "$(exact 1 3)")"
row "2. words on strokes.png, p/s ($chain_runs runs)" "$(rate "$chain_runs" "$c_old")" "$(rate "$chain_runs" "$c_new")" "$(two "$c_ratio")" ">= 1.30" "$(met "$c_ratio" ">=" 1.3)"
row "3. --jobs 1 C png, p/s ($pictures of 640x480)" "$(rate "$pictures" "$m_old")" "$(rate "$pictures" "$m_new")" "$(two "$m_ratio")" ">= 1.00" "$(met "$m_ratio" ">=" 1)"
row "4. --jobs 2 over --jobs 1 ($jobs_pictures of 640x480)" "$(two "$s_old")" "$(two "$s_new")" "$(two "$s_ratio")" "new>=1.60" "$(met "$s_new" ">=" 1.6)"
echo "   4. in p/s: old $(rate "$jobs_pictures" "$j1_old") at --jobs 1, $(rate "$jobs_pictures" "$j2_old") at --jobs 2;" \
  "new $(rate "$jobs_pictures" "$j1_new") at --jobs 1, $(rate "$jobs_pictures" "$j2_new") at --jobs 2"
