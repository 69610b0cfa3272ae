#!/usr/bin/env bash
# Makes docs/stages.png: the sample picture and its four stage files side by
# side, as workbench-batch writes them. Needs ImageMagick and ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$root/build/workbench-batch" load "$root/samples/strokes.png" filter binarize thin label)
convert "$root/samples/strokes.png" "$work/A.bmp" "$work/B.bmp" "$work/C.bmp" "$work/D.bmp" \
  -resize 50% -bordercolor white -border 4 +append +repage "$root/docs/stages.png"
