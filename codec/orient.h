// Turning a picture's stored rows into the rows it is shown with, by the
// eight orientation values a file may declare (see Orientation in
// codec/decode.h).
#pragma once

#include <cstdint>

#include "codec/decode.h"
#include "ops/pixels.h"

namespace codec {

// True for the orientations that show the stored rows as columns (5 to 8):
// the shown picture is as wide as the stored one is high, and as high as it
// is wide.
constexpr bool SwapsSides(Orientation orientation) {
    return orientation == Orientation::kTransposed || orientation == Orientation::kTurned90 ||
           orientation == Orientation::kTransversed || orientation == Orientation::kTurned270;
}

struct ShownSize {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
};

// The size the picture is shown at, from its declared (stored) size and
// orientation.
constexpr ShownSize ShownSizeOf(const DeclaredSize& declared) {
    if (SwapsSides(declared.orientation)) return {declared.height, declared.width};
    return {declared.width, declared.height};
}

// The resolution of the picture as shown: x and y swapped for the
// orientations that show the stored rows as columns.
constexpr Resolution ShownResolutionOf(const DeclaredSize& declared) {
    if (SwapsSides(declared.orientation)) return {declared.resolution.y, declared.resolution.x};
    return declared.resolution;
}

// Copies every pixel of the stored rows to its place in the shown rows,
// which must be of the shown size (width and height swapped for 5 to 8; a
// mismatch throws std::logic_error) and must not overlap the stored rows.
// Only the first 3 * width bytes of each shown row are written. Values
// outside 1..8 copy as stored.
void Orient(const ops::RowView& stored, const ops::RowView& shown, Orientation orientation);

}  // namespace codec
