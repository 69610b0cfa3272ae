#!/usr/bin/env bash
# The real window under a real X server: its place and size first with no
# window manager, then under openbox, which draws a frame around it.
#
#   tests/window/openbox_test.sh BUILD_DIR
#
# Needs Xvfb, openbox, xdotool and x11-utils (./dev window installs them).
# Starts Xvfb, openbox and the window itself and stops each by its own pid.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
display=:${WORKBENCH_TEST_DISPLAY:-73}
work=$(mktemp -d)
pids=()
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT
export DISPLAY=$display
failures=0

# Waits up to 10 s for COMMAND to succeed.
wait_for() {
  local i
  for ((i = 0; i < 100; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

start_x() {
  Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for xdpyinfo || wait_for xprop -root || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
}

start_window() {
  (cd "$work" && exec "$build/workbench") >"$work/workbench.log" 2>&1 &
  pids+=($!)
  window=$(timeout 10 xdotool search --sync --name '^Form1$' | head -n1)
  [ -n "$window" ] || { echo "no window"; cat "$work/workbench.log"; exit 1; }
}

# Prints "left top width height" of the client area and of the frame around
# it, from the X server and the frame extents the window manager published.
geometry() {
  local info x y w h l=0 r=0 t=0 b=0 extents
  info=$(xwininfo -id "$window")
  x=$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")
  y=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")
  w=$(awk '/Width:/ {print $2}' <<<"$info")
  h=$(awk '/Height:/ {print $2}' <<<"$info")
  extents=$(xprop -id "$window" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p' | tr -d ,)
  [ -n "$extents" ] && read -r l r t b <<<"$extents"
  echo "client $x $y $w $h frame $((x - l)) $((y - t)) $((w + l + r)) $((h + t + b))"
}

# Waits up to 10 s for the window's geometry to read WANT (a pattern).
expect_geometry() {
  local what=$1 want=$2 seen i
  for ((i = 0; i < 100; i++)); do
    seen=$(geometry)
    # shellcheck disable=SC2053
    [[ $seen == $want ]] && { echo "ok   $what: $seen"; return 0; }
    sleep 0.1
  done
  echo "FAIL $what: saw '$seen', wanted '$want'"
  failures=$((failures + 1))
}

# No window manager: no frame, the client area where the layout puts it.
start_x
start_window
expect_geometry "no window manager" "client 43 121 956 559 frame 43 121 956 559"
stop_all

# Openbox: the frame it draws at the layout's place, 964 x 586 outside.
start_x
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
wait_for sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' || { echo "openbox did not start"; exit 1; }
start_window
expect_geometry "openbox" "client * * * * frame 43 121 964 586"
read -r _ _ _ cw ch _ <<<"$(geometry)"
if [ "$cw" -lt 945 ] || [ "$ch" -lt 457 ]; then
  echo "FAIL openbox: client area $cw x $ch is smaller than the controls (945 x 457)"
  failures=$((failures + 1))
fi
# The Close button still ends the program with status 0.
xdotool mousemove --window "$window" 60 252 click 1
status=0
wait "${pids[-1]}" || status=$?
unset 'pids[-1]'
if [ "$status" -ne 0 ]; then echo "FAIL Close ended with status $status"; failures=$((failures + 1)); else echo "ok   Close: status 0"; fi
stop_all

[ "$failures" -eq 0 ] && echo "window under X: all passed"
exit "$failures"
