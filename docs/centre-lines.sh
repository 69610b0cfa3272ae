#!/usr/bin/env bash
# Makes docs/centre-lines.png: a crop of the sample picture with its centre
# lines laid over it, as headless Chromium draws the SVG that the word
# vectorize writes (stroke in red, both twice their size). Installs what is
# missing of its packages; needs a built ./build/workbench-batch.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
packages=(chromium imagemagick)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The characters and the words, 380 x 230 pixels from (30, 50).
convert "$root/samples/strokes.png" -crop 380x230+30+50 +repage crop.png
"$root/build/workbench-batch" load crop.png filter binarize thin vectorize lines.svg
scale=2
width=$((380 * scale)) height=$((230 * scale))
{
  cat <<EOF
<!DOCTYPE html>
<html><head><meta charset="utf-8"><style>
  html, body { margin: 0; background: #fff; }
  img, svg { position: absolute; left: 0; top: 0; width: ${width}px; height: ${height}px; }
  img { image-rendering: pixelated; }
  svg g { stroke: #e00000; }
  svg circle { fill: #e00000; }
</style></head><body>
<img src="crop.png" alt="">
EOF
  # The SVG inline, so that the page's style colours it; its XML
  # declaration left out.
  sed 1d lines.svg
  echo '</body></html>'
} >page.html
sandbox=()
[ "$(id -u)" -ne 0 ] || sandbox=(--no-sandbox)
chromium --headless "${sandbox[@]}" --disable-gpu --hide-scrollbars --window-size="$width,$height" \
  --screenshot="$work/shot.png" "file://$work/page.html" 2>/dev/null
cp shot.png "$root/docs/centre-lines.png"
