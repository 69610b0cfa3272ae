#!/usr/bin/env bash
# Takes docs/window.png: the window under Xvfb (with openbox for the frame),
# the sample picture loaded through the real open dialog and filtered.
# Needs: xvfb openbox xdotool imagemagick x11-apps, and a built ./build/workbench.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
display=:97
work=$(mktemp -d)
Xvfb "$display" -screen 0 1100x760x24 -noreset >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
sleep 1
export DISPLAY=$display
openbox >/dev/null 2>&1 &
sleep 1
(cd "$work" && "$root/build/workbench" >/dev/null 2>&1 &)
window=$(xdotool search --sync --name '^Form1$' | head -n1)
sleep 1
xdotool mousemove --window "$window" 60 28 click 1       # Load Image
sleep 1.5
xdotool type --delay 20 "$root/samples/strokes.png"
xdotool key Return
sleep 1
xdotool mousemove --window "$window" 60 68 click 1       # 濾波
sleep 1
xdotool mousemove --window "$window" 700 500
sleep 0.5
import -window root -crop 1000x640+30+100 +repage "$root/docs/window.png"
xdotool mousemove --window "$window" 60 252 click 1      # Close
