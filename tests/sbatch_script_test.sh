#!/usr/bin/env bash
# The Slurm job script's options, without a cluster: the script run as the
# tasks of an array (the SLURM_* variables a task sees set by hand).
#   - Every option of workbench-batch's many-pictures mode, as its --help
#     lists them, passes on to the program unchanged, with its value as
#     --name VALUE or --name=VALUE (a program that prints its arguments
#     stands in); those the script sets itself (--out, --jobs, --shard,
#     --report) and -C are refused with status 2, as are options the
#     program does not have.
#   - With the real program, two tasks given the chain's settings, the
#     measures, the centre lines in every format, --simplify, --threads and
#     --max-memory write the result folders of one run of the program with
#     the same options; --force passes on (a rerun without it skips every
#     picture, with it does every one again); --skeleton --vector too.
# cluster/test-slurm.sh runs the script on a real one-node cluster.
#
#   tests/sbatch_script_test.sh WORKBENCH-BATCH SOURCE-DIR
set -euo pipefail
batch=$(realpath "${1:?usage: $0 WORKBENCH-BATCH SOURCE-DIR}")
source_dir=$(realpath "${2:?}")
script=$source_dir/cluster/workbench-batch.sbatch
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0
fail() { echo "sbatch script: $*"; failed=1; }

# Task K of N, as Slurm starts it.
task() {  # K N SCRIPT-ARGUMENTS...
  local k=$1 n=$2
  shift 2
  SLURM_ARRAY_TASK_ID=$k SLURM_ARRAY_TASK_MIN=0 SLURM_ARRAY_TASK_COUNT=$n SLURM_CPUS_PER_TASK=1 \
    WORKBENCH_REPORTS= "$script" "$@"
}

# --- Each option of the many-pictures mode, to a program that
# writes its arguments one a line.
cat >args.sh <<'SH'
#!/bin/sh
printf '%s\n' "$@" >"$ARGS_FILE"
SH
chmod +x args.sh
export ARGS_FILE=$work/args.txt
# The options --help lists, each with its value's name if it takes one,
# but those of the words alone (--page) and those that only print.
mapfile -t found < <("$batch" --help | grep -oE -- '^  (-C|--[a-z-]+)( [A-Z][A-Z/]*)?' | sed 's/^  //' |
  grep -vE -- '^--(page|help|version)( |$)' | sort -u)
[ ${#found[@]} -ge 15 ] || fail "only ${#found[@]} options found in --help: ${found[*]}"
# What the task passes after the options, and before them.
expected() { printf '%s\n' --out results "$@" --jobs 1 --shard 0/1 --report results.reports/task-0.jsonl -- in; }
passed=0
for entry in "${found[@]}"; do
  name=${entry%% *}
  value=
  [ "$entry" = "$name" ] || value=VALUE
  case $name in
    --out | --jobs | --shard | --report | -C)
      rm -f args.txt
      status=0
      WORKBENCH_BATCH=$work/args.sh task 0 1 "$name" VALUE results in >out.txt 2>err.txt || status=$?
      [ "$status" -eq 2 ] || fail "$name: status $status, expected 2 (the script sets it, or refuses it)"
      grep -q -- "$name" err.txt || fail "$name: refused without naming it: $(cat err.txt)"
      [ ! -e args.txt ] || fail "$name: the program ran"
      continue ;;
  esac
  forms=("$name")
  [ -z "$value" ] || forms=("$name $value" "$name=$value")
  for form in "${forms[@]}"; do
    read -r -a words <<<"$form"
    rm -f args.txt
    WORKBENCH_BATCH=$work/args.sh task 0 1 "${words[@]}" results in >out.txt 2>err.txt ||
      { fail "$form: the script failed: $(cat err.txt)"; continue; }
    if ! cmp -s args.txt <(expected "${words[@]}"); then
      fail "$form: the program got $(tr '\n' ' ' <args.txt)"
    fi
    passed=$((passed + 1))
  done
done
for wrong in --bogus --page -x; do
  rm -f args.txt
  status=0
  WORKBENCH_BATCH=$work/args.sh task 0 1 "$wrong" 2 results in >out.txt 2>err.txt || status=$?
  [ "$status" -eq 2 ] && grep -q "unknown option '$wrong'" err.txt && [ ! -e args.txt ] ||
    fail "$wrong: status $status, $(cat err.txt)"
done
# An option that wants a value, given none.
status=0
WORKBENCH_BATCH=$work/args.sh task 0 1 --keep >out.txt 2>err.txt || status=$?
[ "$status" -eq 2 ] && grep -q -- "--keep needs a value" err.txt || fail "--keep without a value: status $status, $(cat err.txt)"

# --- The real program: two tasks against one run.
mkdir -p in/sub
cp "$source_dir/samples/strokes.png" in/
for f in pal8.bmp rgb24.bmp rgb16-565.bmp; do cp "$source_dir/tests/data/bmpsuite/good/$f" in/sub/; done
options=(--keep C --format png --gray luma --threshold otsu --thin full --measure --vector svg,dxf --vector=geojson
  --simplify 0.5 --threads 2 --max-memory 512M)
for k in 0 1; do
  WORKBENCH_BATCH=$batch task "$k" 2 "${options[@]}" results in >"task-$k.log" 2>&1 ||
    { cat "task-$k.log"; fail "task $k of 2 failed"; }
done
"$batch" --out single "${options[@]}" --jobs 1 in >single.log 2>&1 || { cat single.log; fail "the single run failed"; }
if ! diff -r -x .finished single results >diff.txt; then
  fail "two tasks wrote other files than one run: $(head -n 20 diff.txt)"
fi
for f in strokes/C.png strokes/branches.csv strokes/skeletons.csv strokes/skeleton.svg strokes/skeleton.dxf \
  strokes/skeleton.geojson sub/rgb24/skeleton.svg; do
  [ -s "results/$f" ] || fail "results/$f is missing"
done
grep -q '"settings":"gray luma threshold otsu thin full"' results.reports/task-*.jsonl ||
  fail "the reports do not name the settings: $(cat results.reports/task-*.jsonl)"
# Reruns: without --force every picture is skipped, with it every one done again.
rerun() {  # EXPECTED-DONE EXPECTED-SKIPPED OPTIONS...
  local done=$1 skipped=$2 k
  shift 2
  local total_done=0 total_skipped=0 line
  for k in 0 1; do
    line=$(WORKBENCH_BATCH=$batch task "$k" 2 "$@" results in 2>&1 | tail -n 1)
    [[ $line =~ ^([0-9]+)\ done,\ ([0-9]+)\ skipped,\ 0\ failed ]] || { fail "rerun $*: $line"; return; }
    total_done=$((total_done + BASH_REMATCH[1]))
    total_skipped=$((total_skipped + BASH_REMATCH[2]))
  done
  [ "$total_done $total_skipped" = "$done $skipped" ] ||
    fail "rerun $*: $total_done done, $total_skipped skipped; expected $done and $skipped"
}
rerun 0 4 "${options[@]}"
rerun 4 0 "${options[@]}" --force
# --skeleton: the thinned stages taken as skeletons made elsewhere.
mkdir traced
cp results/strokes/C.png traced/strokes.png
cp results/sub/rgb24/C.png traced/rgb24.png
for k in 0 1; do
  WORKBENCH_BATCH=$batch task "$k" 2 --skeleton --vector svg traced-results traced >"skeleton-$k.log" 2>&1 ||
    { cat "skeleton-$k.log"; fail "--skeleton task $k failed"; }
done
"$batch" --out traced-single --skeleton --vector svg --jobs 1 traced >/dev/null 2>&1 || fail "the single --skeleton run failed"
diff -r -x .finished traced-single traced-results >diff.txt || fail "--skeleton: two tasks differ from one run: $(head diff.txt)"
[ -s traced-results/strokes/skeleton.svg ] && [ -s traced-results/strokes/branches.csv ] ||
  fail "--skeleton: no tables or centre lines"
cmp -s results/strokes/branches.csv traced-results/strokes/branches.csv ||
  fail "--skeleton: the tables of C.png differ from those of the chain"

[ "$failed" -eq 0 ] && echo "sbatch script: $passed forms of ${#found[@]} options checked, two tasks write what one run writes"
exit "$failed"
