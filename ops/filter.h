// Filter: five passes of a 3 x 3 median over the blue channel; the picture
// comes out gray (blue = green = red = the fifth pass's median).
//
// Each pass takes the picture as the previous pass left it: the blue bytes are
// copied into GrayGrid, then every pixel gets the median (fifth of nine) of the
// nine grid cells around it. Green and red bytes are never read.
//
// Edge rule: a neighbour outside the picture takes the value of the nearest
// pixel inside it (the edge is replicated, corners included). Nothing outside
// the picture is ever read, so the result depends only on the picture.
#pragma once

#include <cstdint>

#include "ops/pixels.h"

namespace ops {

inline constexpr int kFilterPasses = 5;

// The filter's grid of blue values, one cell per pixel, column by column.
// One instance for the whole program; only the filter uses it.
extern ColumnGrid GrayGrid;

// The median of the nine GrayGrid cells around (x, y) of the picture that the
// current pass copied into the grid, with the edge rule above.
std::int32_t MedianPixel(int x, int y);

// The plain form: GrayGrid and MedianPixel exactly as described above.
void FilterReference(const RowView& picture);

// The same result, with the five passes run as a pipeline down the picture
// over a few rows of bytes (under 128 pixels across, strips of rows of
// about 4 KB; over 32768 across, bands of 16384 columns), and a min/max
// network that the compiler turns into vector instructions. Working memory
// stays under about 600 KB whatever the shape, plus ten bytes per row for
// very wide pictures.
void Filter(const RowView& picture);

}  // namespace ops
