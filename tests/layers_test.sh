#!/usr/bin/env bash
# The layers keep to their bounds (docs/architecture.md):
#   - workbench-batch links no Qt library;
#   - only the window's folder (app/) and the tests that drive it include a
#     Qt header;
#   - no file outside codec/ names a picture format's value (codec::Format
#     or codec::OutputFormat); the tests of the formats may;
#   - each layer includes only the layers below it: ops nothing of ours,
#     codec ops, core codec and ops, the window and the batch tool core and
#     what is below.
#
#   tests/layers_test.sh WORKBENCH_BATCH SOURCE_DIR
set -uo pipefail
batch=$1
cd "$2"
failed=0
fail() { echo "layers: $*"; failed=1; }

if ! linked=$(ldd "$batch"); then
  fail "ldd cannot read $batch"
elif grep -i 'libQt' <<<"$linked"; then
  fail "workbench-batch links Qt"
fi

sources() { find "$@" -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort; }

if hits=$(sources ops codec core batch fuzz bench | xargs grep -ln -E '^\s*#\s*include\s*<Q' ); then
  fail "Qt headers included outside app/: $hits"
fi
if hits=$(sources app core batch ops fuzz bench | xargs grep -n -E '\bFormat::k[A-Z]'); then
  fail "a picture format named outside codec/: $hits"
fi

# Which of our folders a folder may include.
check_includes() {  # FOLDER ALLOWED...
  local folder=$1; shift
  local allowed=" $* "
  local line target
  while IFS= read -r line; do
    target=${line#*\"}
    target=${target%%/*}
    case "$allowed" in *" $target "*) ;; *) fail "$line includes from $target/" ;; esac
  done < <(sources "$folder" | xargs grep -H -E '^\s*#\s*include\s*"[a-z]+/' || true)
}
check_includes ops ops
check_includes codec codec ops
check_includes core core codec ops
check_includes batch batch core codec ops
check_includes app app core codec ops

[ "$failed" -eq 0 ] && echo "layers: every layer keeps to its bounds"
exit "$failed"
