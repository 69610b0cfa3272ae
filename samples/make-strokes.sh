#!/usr/bin/env bash
# Draws samples/strokes.png: dark pen strokes of several widths (handwritten-
# looking characters, a spiral, a filled blob) on light paper, with speckle
# noise for the median filter to remove. Needs ImageMagick and the Noto CJK fonts.
set -euo pipefail
cd "$(dirname "$0")"
font=$(fc-match -f '%{file}' 'Noto Sans CJK TC:style=Bold')
convert -size 640x480 xc:'rgb(236,233,224)' \
  -fill 'rgb(40,38,52)' -stroke 'rgb(40,38,52)' \
  -font "$font" -pointsize 120 -strokewidth 3 -annotate +40+170 '細線化' \
  -font "$font" -pointsize 64 -strokewidth 1 -annotate +60+270 'Thin me' \
  -fill none -strokewidth 14 -draw "bezier 380,420 440,300 520,460 600,330" \
  -strokewidth 6 -draw "path 'M 470,260 A 60,40 0 1,1 590,262'" \
  -strokewidth 2 -draw "line 40,330 330,455" \
  -fill 'rgb(40,38,52)' -strokewidth 1 -draw "ellipse 160,400 50,28 0,360" \
  -attenuate 0.4 +noise Impulse \
  -colorspace sRGB -depth 8 -type TrueColor -define png:color-type=2 strokes.png
