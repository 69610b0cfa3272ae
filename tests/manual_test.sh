#!/usr/bin/env bash
# The manual pages as man shows them at 80 columns: every example of
# workbench-batch --help stands on a line of its own with its description
# below it, the Slurm job script is named where it is installed, and both
# pages carry the licence in their COPYRIGHT section.
#
#   tests/manual_test.sh WORKBENCH-BATCH BATCH-PAGE WINDOW-PAGE
#
# The pages are files (workbench-batch.1.gz, workbench.1.gz). Exits with 77
# when man is not installed.
set -euo pipefail
program=${1:?usage: $0 WORKBENCH-BATCH BATCH-PAGE WINDOW-PAGE}
batch_page=${2:?} window_page=${3:?}
command -v man >/dev/null || { echo "man is not installed"; exit 77; }
export LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_FORMATTING=
failures=0
fail() { echo "manual: $*"; failures=$((failures + 1)); }

# The lines of one section of a page as man shows it.
section() { man -l "$1" 2>/dev/null | awk -v name="$2" '/^[A-Z]/ {on = ($0 == name); next} on'; }

examples=$(section "$batch_page" EXAMPLES)
[ -n "$examples" ] || fail "workbench-batch(1) has no EXAMPLES"
count=0
while IFS= read -r command; do
  count=$((count + 1))
  # The command alone on its line at the section's indent, the next line
  # its description, indented further.
  next=$(awk -v want="       $command" '$0 == want {getline; print; exit}' <<<"$examples")
  if [ -z "$next" ]; then
    fail "example not on a line of its own: $command"
  elif ! grep -q '^            *[^ ]' <<<"$next"; then
    fail "example without its description below it: $command"
  fi
done < <("$program" --help | sed -n '/^Examples:$/,$p' | sed -n 's/^  \([^ ].*\)$/\1/p')
[ "$count" -ge 5 ] || fail "only $count examples in --help"

script=$("$program" --help | sed -n 's/^  cp \(.*\/cluster\/workbench-batch\.sbatch\) \.$/\1/p')
[ -n "$script" ] || fail "--help names no installed job script"
if [ -n "$script" ]; then
  section "$batch_page" FILES | grep -qxF "       $script" || fail "FILES of workbench-batch(1) does not name $script"
fi

for page in "$batch_page" "$window_page"; do
  copyright=$(section "$page" COPYRIGHT)
  grep -q 'Copyright .* 2026 The Workbench project' <<<"$copyright" || fail "$page: no copyright holder"
  grep -q 'License: MIT' <<<"$copyright" || fail "$page: no MIT licence in COPYRIGHT"
done

[ "$failures" -eq 0 ] || exit 1
echo "manual: $count examples on lines of their own, the job script at $script, COPYRIGHT in both pages"
