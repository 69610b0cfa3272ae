#!/usr/bin/env bash
# ./dev run where there is no display: the window opens on a virtual screen
# even when display :99 is taken, the one line printed says so, and the
# screenshot command it gives shows the window.
#
#   tests/window/dev_run_test.sh
#
# Needs Xvfb, xvfb-run, xdotool and ImageMagick (./dev window installs them).
# Takes :99 with an Xvfb of its own when it is free; stops that Xvfb and
# ./dev run (started in a session of its own) by their ids.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
ours=()
run=
stop_all() {
  if [ -n "$run" ]; then
    kill -- -"$run" 2>/dev/null || true
    wait "$run" 2>/dev/null || true
  fi
  local pid
  for pid in "${ours[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_all EXIT
fail() { echo "dev run: $*"; echo "--- its output:"; cat "$work/out" 2>/dev/null || true; exit 1; }

# Waits up to $1 tenths of a second for the rest of the line to succeed.
wait_for() {
  local tenths=$1 i
  shift
  for ((i = 0; i < tenths; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

if [ ! -e /tmp/.X99-lock ]; then
  Xvfb :99 -screen 0 640x480x24 -nolisten tcp -noreset >"$work/xvfb99.log" 2>&1 &
  ours+=($!)
  wait_for 100 test -e /tmp/.X99-lock || fail "could not take display :99 first"
fi

# ./dev run builds first when it has to: up to ten minutes for the line.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM setsid ./dev run >"$work/out" 2>&1 </dev/null &
run=$!
wait_for 6000 grep -q 'virtual screen' "$work/out" || fail "no line about the virtual screen"
line=$(grep 'virtual screen' "$work/out")
[ "$(grep -c . <<<"$line")" -eq 1 ] || fail "more than one line about the virtual screen"
display=$(sed -n 's/.*virtual screen \(:[0-9]*\) .*/\1/p' <<<"$line")
[ -n "$display" ] || fail "the line names no display: $line"
[ "$display" != :99 ] || fail "the window went to :99, which was taken"
shot=$(sed -n 's/.*To look at it: \(.*import -window root -display :[0-9]* shot\.png\).*/\1/p' <<<"$line")
[ -n "$shot" ] || fail "the line gives no screenshot command: $line"

# The screenshot command as printed, once the window is up.
authority=$(sed -n 's/^XAUTHORITY=\([^ ]*\) .*/\1/p' <<<"$shot")
export DISPLAY=$display XAUTHORITY=$authority
window=$(timeout 30 xdotool search --sync --name '^Form1$' | head -n1) || true
[ -n "$window" ] || fail "no window on $display"
(cd "$work" && env -u DISPLAY -u XAUTHORITY sh -c "$shot") || fail "the screenshot command failed: $shot"
size=$(identify -format '%wx%h' "$work/shot.png")
[ "$size" = 1280x800 ] || fail "the screenshot is $size, not the virtual screen's 1280x800"

# Close, as a user would: the window ends, xvfb-run stops its Xvfb, and
# ./dev run ends with the window's status.
# xdotool may lose its connection as the screen goes away behind the click.
xdotool mousemove --window "$window" 60 252 click 1 2>/dev/null || true
status=0
timeout 30 tail --pid="$run" -f /dev/null || fail "./dev run did not end after Close"
wait "$run" || status=$?
run=
[ "$status" -eq 0 ] || fail "./dev run ended with status $status"
echo "dev run: the window on $display (with :99 taken), seen by the command it printed, closed"
