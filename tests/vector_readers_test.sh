#!/usr/bin/env bash
# The centre lines as their readers see them: rsvg-convert renders the SVG
# at the picture's size, GDAL's ogrinfo counts one GeoJSON feature a branch
# and one a skeleton without a branch, and ezdxf reads the DXF (its audit
# finding nothing) with one POLYLINE a branch and one POINT a skeleton
# without a branch, every vertex inside the picture. The counts come from
# the measures' tables of the same picture. Files of the word vectorize, of
# --out --vector (simplified) and of --skeleton --vector, on the sample
# picture and on a drawn one.
#
#   tests/vector_readers_test.sh WORKBENCH-BATCH SOURCE-DIR
#
# Exits with 77 when a reader is missing (./dev test installs them:
# librsvg2-bin, gdal-bin, python3-ezdxf).
set -euo pipefail
batch=$(realpath "${1:?usage: $0 WORKBENCH-BATCH SOURCE-DIR}")
source_dir=$(realpath "${2:?}")
# Debian's Python, which python3-ezdxf installs into (not one on PATH
# that a version manager put there).
python=/usr/bin/python3
missing=()
command -v rsvg-convert >/dev/null || missing+=(librsvg2-bin)
command -v ogrinfo >/dev/null || missing+=(gdal-bin)
{ [ -x "$python" ] && "$python" -c 'import ezdxf' 2>/dev/null; } || missing+=(python3-ezdxf)
if [ ${#missing[@]} -gt 0 ]; then
  echo "readers not installed: ${missing[*]}"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
checked=0
fail() { echo "readers: $*"; failures=$((failures + 1)); }

# A T, a ring, a single pixel and a staircase, black on white (plain PBM).
drawing() {
  printf 'P1\n9 7\n'
  printf '1 1 1 0 0 1 0 0 0\n'
  printf '0 1 0 0 0 0 0 0 0\n'
  printf '0 1 0 1 1 1 0 0 0\n'
  printf '0 0 0 1 0 1 0 0 0\n'
  printf '0 0 0 1 1 1 0 0 0\n'
  printf '1 1 0 0 0 0 0 0 0\n'
  printf '0 0 1 1 0 0 0 0 1\n'
}

# check SVG DXF GEOJSON TABLES-FOLDER WIDTH HEIGHT
check() {
  local svg=$1 dxf=$2 geojson=$3 tables=$4 width=$5 height=$6
  local branches dots features counts size
  checked=$((checked + 1))
  branches=$(($(wc -l <"$tables/branches.csv") - 1))
  dots=$(awk -F, 'NR > 1 && $5 == 0' "$tables/skeletons.csv" | wc -l)
  [ "$branches" -gt 0 ] || fail "$tables: no branch to draw"

  if rsvg-convert "$svg" -o rendered.png; then
    # The PNG's width and height: big-endian at bytes 16 and 20.
    size=$(od -An -tu1 -j16 -N8 rendered.png | awk '{print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8}')
    [ "$size" = "$width $height" ] || fail "$svg rendered at $size, not $width $height"
  else
    fail "rsvg-convert cannot render $svg"
  fi

  features=$(ogrinfo -ro -so -al "$geojson" 2>&1 | sed -n 's/^Feature Count: //p')
  [ "$features" = $((branches + dots)) ] ||
    fail "$geojson: ogrinfo counts ${features:-no} features, not $branches branches + $dots points"

  if counts=$("$python" - "$dxf" "$width" "$height" <<'EOF'
import sys
import ezdxf
doc = ezdxf.readfile(sys.argv[1])
width, height = float(sys.argv[2]), float(sys.argv[3])
audit = doc.audit()
if audit.errors:
    sys.exit("audit: " + "; ".join(e.message for e in audit.errors))
polylines = points = 0
for entity in doc.modelspace():
    if entity.dxftype() == "POLYLINE":
        polylines += 1
        places = [tuple(v.dxf.location)[:2] for v in entity.vertices]
    elif entity.dxftype() == "POINT":
        points += 1
        places = [tuple(entity.dxf.location)[:2]]
    else:
        sys.exit("unexpected entity " + entity.dxftype())
    for x, y in places:
        if not (0 <= x <= width and 0 <= y <= height):
            sys.exit("vertex (%g, %g) outside the picture" % (x, y))
print(polylines, points)
EOF
  ); then
    [ "$counts" = "$branches $dots" ] || fail "$dxf: ezdxf counts POLYLINE and POINT $counts, not $branches $dots"
  else
    fail "ezdxf cannot read $dxf"
  fi
}

# The word, on the sample picture and on the drawing as C.bmp.
mkdir sample drawn
(cd sample && "$batch" load "$source_dir/samples/strokes.png" filter binarize thin measure \
  vectorize lines.svg vectorize lines.dxf vectorize lines.geojson >/dev/null)
check sample/lines.svg sample/lines.dxf sample/lines.geojson sample 640 480
drawing >drawn/C.bmp
(cd drawn && "$batch" measure vectorize LINES.SVG vectorize lines.dxf vectorize lines.json >/dev/null)
check drawn/LINES.SVG drawn/lines.dxf drawn/lines.json drawn 9 7

# The many-pictures mode: stage C's lines simplified, and a skeleton made
# elsewhere.
mkdir in
cp "$source_dir/samples/strokes.png" in/strokes.png
drawing >in/drawn.pbm
"$batch" --out many --keep C --measure --vector svg,dxf --vector geojson --simplify 1.5 in/strokes.png >/dev/null
check many/strokes/skeleton.{svg,dxf,geojson} many/strokes 640 480
"$batch" --out skeletons --skeleton --vector svg,dxf,geojson in/drawn.pbm >/dev/null
check skeletons/drawn/skeleton.{svg,dxf,geojson} skeletons/drawn 9 7

[ "$failures" -eq 0 ] || exit 1
echo "readers: $checked sets of SVG, DXF and GeoJSON rendered, counted and read"
