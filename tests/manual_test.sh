#!/usr/bin/env bash
# The manual pages as man shows them at 80 columns: every form of
# workbench-batch's usage stands under SYNOPSIS, one a line, and DESCRIPTION
# starts with the description; every example of --help stands on a line of
# its own with its description below it; the Slurm job script and the sample
# picture are named in both pages where --help says the program's files are;
# both pages carry the licence in their COPYRIGHT section.
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

# The usage: its first line and the indented lines after it. help2man takes
# "Usage: FORM" and "  or:  FORM" lines into SYNOPSIS; a form wrapped onto
# more lines leaves the rest under DESCRIPTION.
help=$("$program" --help)
usage=$(awk 'NR == 1 || /^ / {print; next} {exit}' <<<"$help")
forms=$(sed -n -e 's/^Usage: //p' -e 's/^  or:  //p' <<<"$usage")
[ -n "$forms" ] || fail "--help starts with no \"Usage:\" line"
[ "$(wc -l <<<"$forms")" -eq "$(wc -l <<<"$usage")" ] ||
  fail "a form of --help's usage is wrapped onto a line of its own:
$usage"
synopsis=$(section "$batch_page" SYNOPSIS | grep -v '^$' || true)
[ "$synopsis" = "$(sed 's/^/       /' <<<"$forms")" ] ||
  fail "SYNOPSIS of workbench-batch(1) is not the usage's forms, one a line:
$synopsis"
# DESCRIPTION starts with what --help says after the usage.
words=$(sed -n "$(($(wc -l <<<"$usage") + 1))p" <<<"$help" | awk '{print $1, $2, $3, $4}')
description=$(section "$batch_page" DESCRIPTION | grep -v '^$' | head -n1 | awk '{print $1, $2, $3, $4}')
[ "$description" = "$words" ] || fail "DESCRIPTION of workbench-batch(1) starts with \"$description\", not \"$words\""

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
done < <(sed -n '/^Examples:$/,$p' <<<"$help" | sed -n 's/^  \([^ ].*\)$/\1/p')
[ "$count" -ge 5 ] || fail "only $count examples in --help"

script=$(sed -n 's/^  cp \(.*\/cluster\/workbench-batch\.sbatch\) \.$/\1/p' <<<"$help")
[ -n "$script" ] || fail "--help names no installed job script"
if [ -n "$script" ]; then
  section "$batch_page" FILES | grep -xF "       $script" >/dev/null || fail "FILES of workbench-batch(1) does not name $script"
  # The sample picture beside it, in both pages.
  sample=${script%/cluster/workbench-batch.sbatch}/samples/strokes.png
  for page in "$batch_page" "$window_page"; do
    section "$page" FILES | grep -xF "       $sample" >/dev/null || fail "FILES of $page does not name $sample"
  done
fi

for page in "$batch_page" "$window_page"; do
  copyright=$(section "$page" COPYRIGHT)
  grep -q 'Copyright .* 2026 The Workbench project' <<<"$copyright" || fail "$page: no copyright holder"
  grep -q 'License: MIT' <<<"$copyright" || fail "$page: no MIT licence in COPYRIGHT"
done

[ "$failures" -eq 0 ] || exit 1
echo "manual: $(wc -l <<<"$forms") forms under SYNOPSIS, $count examples on lines of their own, the job script at $script and the sample beside it, COPYRIGHT in both pages"
