#!/usr/bin/env bash
# The real window under a real X server: its place and size first with no
# window manager, then under openbox, which draws a frame around it; Tab out
# of the memo; and the cursor that the X server shows while commands run,
# through the real dialogs and message boxes.
#
#   tests/window/openbox_test.sh PATH/TO/workbench
#
# Needs Xvfb, openbox, xdotool, x11-utils, ImageMagick and a C compiler with
# the Xlib and XFixes headers (./dev window installs them). Starts Xvfb,
# openbox and the window itself and stops each by its own pid.
set -euo pipefail
program=$(realpath "${1:?usage: $0 PATH/TO/workbench}")
here=$(cd "$(dirname "$0")" && pwd)
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

# -noreset: by default the server resets when its last client leaves, and
# a client that connects during the reset (openbox, just after the probe
# below has left) is refused.
start_x() {
  Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  wait_for xdpyinfo || wait_for xprop -root || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
}

start_window() {
  (cd "$work" && exec "$program") >"$work/workbench.log" 2>&1 &
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
# A busy machine can take a while to start it: up to 30 s, and a second
# start if the first one ended.
openbox_up() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"; }
start_openbox() {
  openbox --sm-disable >>"$work/openbox.log" 2>&1 &
  pids+=($!)
  wait_for openbox_up || wait_for openbox_up || wait_for openbox_up
}
if ! start_openbox && { kill -0 "${pids[-1]}" 2>/dev/null || ! start_openbox; }; then
  echo "openbox did not start"; cat "$work/openbox.log"; exit 1
fi
start_window
expect_geometry "openbox" "client * * * * frame 43 121 964 586"
read -r _ _ _ cw ch _ <<<"$(geometry)"
if [ "$cw" -lt 945 ] || [ "$ch" -lt 457 ]; then
  echo "FAIL openbox: client area $cw x $ch is smaller than the controls (945 x 457)"
  failures=$((failures + 1))
fi

# The keyboard: Tab from the memo goes on to Load Image, whose open dialog
# the space bar then opens; Escape cancels it.
xdotool mousemove --window "$window" 380 400 click 1
sleep 0.3
xdotool key Tab space
sleep 1
active=$(xdotool getactivewindow getwindowname)
if [ "$active" = Open ]; then echo "ok   Tab from the memo, then space: the open dialog"; else
  echo "FAIL Tab from the memo, then space: the active window is '$active', not the open dialog"; failures=$((failures + 1)); fi
xdotool key Escape
sleep 0.5

# The cursor. The helper prints the cursor now and then each change; the wait
# cursor must show during each command and be gone once it has ended, also
# while a message box is open, and the boxes show the same cursor as the idle
# window.
cc -O2 -o "$work/cursor_watch" "$here/cursor_watch.c" -lX11 -lXfixes
convert -size 8000x6000 xc:white -fill black -stroke black -strokewidth 40 \
  -draw 'line 300,300 7700,5700' -type TrueColor "BMP3:$work/big.bmp"
click() { xdotool mousemove --window "$window" "$1" "$2" click 1 mousemove --window "$window" 700 520; }
park() { xdotool mousemove --window "$window" 700 520; sleep 0.3; }
idle_cursor() { "$work/cursor_watch" 0; }
cursor_image() { "$work/cursor_watch" 0 | cut -d' ' -f2; }
# Runs ACTION… while watching the cursor for SECONDS; checks that another
# cursor showed and that it ended as the idle one.
expect_busy_then_idle() {
  local what=$1 seconds=$2 idle lines last
  shift 2
  idle=$(idle_cursor | cut -d' ' -f2)
  "$work/cursor_watch" "$seconds" >"$work/cursor.log" &
  local watcher=$!
  sleep 0.2
  "$@"
  wait "$watcher"
  lines=$(cut -d' ' -f1 "$work/cursor.log" | sort -u | wc -l)
  last=$(tail -n1 "$work/cursor.log" | cut -d' ' -f2)
  if [ "$lines" -ge 2 ] && [ "$last" = "$idle" ]; then
    echo "ok   cursor, $what: busy, then idle again ($(wc -l <"$work/cursor.log") cursor changes)"
  else
    echo "FAIL cursor, $what: idle $idle, seen:"; sed 's/^/       /' "$work/cursor.log"
    failures=$((failures + 1))
  fi
}
# The current cursor, once the window NAME (a message box) is up.
box_up() { timeout 10 xdotool search --sync --onlyvisible --name "$1" >/dev/null; }
expect_idle() {
  local what=$1 idle=$2 seen
  seen=$(cursor_image)
  if [ "$seen" = "$idle" ]; then echo "ok   cursor, $what: the idle cursor"; else
    echo "FAIL cursor, $what: $seen instead of the idle $idle"; failures=$((failures + 1)); fi
}
park
idle=$(cursor_image)
# Filter with the left pane empty: its message box opens in the middle of the command.
click 60 68
box_up '^workbench$'
park
expect_idle "over the message box inside a command" "$idle"
xdotool key Return
sleep 0.5
# Load Image through the real open dialog: busy while the big picture loads.
click 60 28
sleep 1.5
xdotool type --delay 5 "$work/big.bmp"
expect_busy_then_idle "loading 8000 x 6000" 6 xdotool key Return
expect_busy_then_idle "filtering 8000 x 6000" 6 click 60 68
# A failing command: Binarize without A.bmp. The error box comes after it.
rm -f "$work/A.bmp"
expect_busy_then_idle "a failing binarize" 4 click 60 108
box_up '^workbench$'
park
expect_idle "over the error box after the failed command" "$idle"
xdotool key Return
sleep 0.5

# The Close button still ends the program with status 0.
xdotool mousemove --window "$window" 60 252 click 1
status=0
wait "${pids[-1]}" || status=$?
unset 'pids[-1]'
if [ "$status" -ne 0 ]; then echo "FAIL Close ended with status $status"; failures=$((failures + 1)); else echo "ok   Close: status 0"; fi
stop_all

[ "$failures" -eq 0 ] && echo "window under X: all passed"
exit "$failures"
