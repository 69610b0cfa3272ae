#include "codec/orient.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace codec {
namespace {

// Shown pixels are copied in square tiles, so that a quarter turn reads
// each stored row a tile's width at a time instead of one pixel per row.
constexpr int kTile = 32;

// Where the shown pixel (0, 0) is stored, and how far the stored place
// moves, in bytes, for one step right and one step down in the shown rows.
struct Walk {
    std::ptrdiff_t start = 0;
    std::ptrdiff_t stepX = 0;
    std::ptrdiff_t stepY = 0;
};

// The stored pixel shown at (x, y) is (left + dxx * x + dxy * y,
// top + dyx * x + dyy * y), each orientation as the EXIF standard defines it
// by where the stored first row and first column are shown.
Walk WalkFor(const ops::RowView& stored, Orientation orientation) {
    const std::ptrdiff_t right = stored.width - 1, bottom = stored.height - 1;
    std::ptrdiff_t left = 0, top = 0, dxx = 1, dxy = 0, dyx = 0, dyy = 1;
    switch (orientation) {
    case Orientation::kMirrored:  // first row at the top, first column at the right
        left = right, dxx = -1;
        break;
    case Orientation::kTurned180:  // first row at the bottom, first column at the right
        left = right, dxx = -1, top = bottom, dyy = -1;
        break;
    case Orientation::kFlipped:  // first row at the bottom, first column at the left
        top = bottom, dyy = -1;
        break;
    case Orientation::kTransposed:  // first row at the left, first column at the top
        dxx = 0, dxy = 1, dyx = 1, dyy = 0;
        break;
    case Orientation::kTurned90:  // first row at the right, first column at the top
        top = bottom, dxx = 0, dxy = 1, dyx = -1, dyy = 0;
        break;
    case Orientation::kTransversed:  // first row at the right, first column at the bottom
        left = right, top = bottom, dxx = 0, dxy = -1, dyx = -1, dyy = 0;
        break;
    case Orientation::kTurned270:  // first row at the left, first column at the bottom
        left = right, dxx = 0, dxy = -1, dyx = 1, dyy = 0;
        break;
    case Orientation::kNormal:
    default: break;
    }
    return {top * stored.stride + 3 * left, dyx * stored.stride + 3 * dxx, dyy * stored.stride + 3 * dxy};
}

}  // namespace

void Orient(const ops::RowView& stored, const ops::RowView& shown, Orientation orientation) {
    const bool swaps = SwapsSides(orientation);
    if (shown.width != (swaps ? stored.height : stored.width) || shown.height != (swaps ? stored.width : stored.height))
        throw std::logic_error("the shown rows do not have the shown size of the picture");
    if (stored.empty()) return;

    const std::size_t rowBytes = 3 * static_cast<std::size_t>(shown.width);
    if (!swaps && orientation != Orientation::kMirrored && orientation != Orientation::kTurned180) {
        const bool flipped = orientation == Orientation::kFlipped;
        for (int y = 0; y < shown.height; ++y) std::memcpy(shown.row(y), stored.row(flipped ? stored.height - 1 - y : y), rowBytes);
        return;
    }

    const Walk walk = WalkFor(stored, orientation);
    const std::uint8_t* const base = stored.data;
    for (int top = 0; top < shown.height; top += kTile) {
        const int bottom = std::min(top + kTile, shown.height);
        for (int left = 0; left < shown.width; left += kTile) {
            const int right = std::min(left + kTile, shown.width);
            for (int y = top; y < bottom; ++y) {
                std::ptrdiff_t from = walk.start + y * walk.stepY + left * walk.stepX;
                std::uint8_t* to = shown.row(y) + 3 * static_cast<std::ptrdiff_t>(left);
                for (int x = left; x < right; ++x, from += walk.stepX, to += 3) {
                    to[0] = base[from];
                    to[1] = base[from + 1];
                    to[2] = base[from + 2];
                }
            }
        }
    }
}

}  // namespace codec
