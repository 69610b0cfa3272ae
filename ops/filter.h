// Filter: five passes of a 3 x 3 median over the blue channel; the picture
// comes out gray (blue = green = red = the fifth pass's median).
//
// Each pass takes the picture as the previous pass left it: the blue bytes are
// copied into GrayGrid, then every pixel gets the median (fifth of nine) of the
// nine grid cells around it. Green and red bytes are never read.
//
// Given GraySource::kLuma (settings.h), the filter reads each pixel's
// rounded BT.601 luma, LumaOf(blue, green, red), instead of its blue byte;
// all else is the same. After the first pass the picture is gray, and the
// luma of a gray pixel (m, m, m) is m, its blue byte.
//
// Edge rule: a neighbour outside the picture takes the value of the nearest
// pixel inside it (the edge is replicated, corners included). Nothing outside
// the picture is ever read, so the result depends only on the picture.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/pixels.h"
#include "ops/settings.h"

namespace ops {

inline constexpr int kFilterPasses = 5;

// The filter's grid of blue values, one cell per pixel, column by column.
// One instance for the whole program; only the plain form and MedianPixel
// use it. The fast forms below keep their rows to themselves, so pictures
// on other threads share nothing.
extern ColumnGrid GrayGrid;

// The median of the nine GrayGrid cells around (x, y) of the picture that the
// current pass copied into the grid, with the edge rule above.
std::int32_t MedianPixel(int x, int y);

// The plain form: GrayGrid and MedianPixel exactly as described above.
void FilterReference(const RowView& picture);
void FilterReference(const RowView& picture, GraySource gray);

// The same result, with the five passes run as a pipeline down the picture
// over a few rows of bytes (under 128 pixels across, strips of rows of
// about 4 KB; over 32768 across, bands of 16384 columns), and a min/max
// network that the compiler turns into vector instructions. Working memory
// stays under about 600 KB whatever the shape, plus ten bytes per row for
// very wide pictures.
void Filter(const RowView& picture);
void Filter(const RowView& picture, GraySource gray);

// The bytes the filter reads of a row of `width` 24-bit pixels: the blue
// bytes or the lumas, one a pixel.
void TakeGray(const std::uint8_t* row, std::uint8_t* gray, int width, GraySource source);

// The same five passes as a stream of rows, for a picture of a known size
// seen once from the top. Reach: row y of the result is final once row
// y + 5 of the input has gone in (or the last row, whose arrival finishes
// every row still open), since each pass needs one row below the row it
// makes. Holds 3 framed rows for each pass and the input, about 18 bytes
// a pixel of the width, whatever the height. Heights 1 and 2 take the
// replicated edge like any other. No state outside the object.
class FilterRows {
public:
    // Width and height in pixels, both > 0.
    FilterRows(int width, int height);

    // The next row of the picture: the bytes the filter reads (TakeGray),
    // `width` of them. After each Push, call Next until it returns nullptr.
    void Push(const std::uint8_t* gray);

    // The next finished row of medians (`width` bytes, valid until the next
    // Push or Next), rows in order from 0; nullptr when none is finished.
    const std::uint8_t* Next();

    // Rows handed out by Next so far; the last one handed out is rowsOut() - 1.
    int rowsOut() const { return out_; }

private:
    std::uint8_t* Row(int pass, int r) {
        return bytes_.data() + static_cast<std::ptrdiff_t>(pass * 3 + r % 3) * pitch_ + 1;
    }
    void Step(int t);

    int width_, height_;
    std::ptrdiff_t pitch_;
    int in_ = 0, steps_ = 0, out_ = 0;
    const std::uint8_t* ready_ = nullptr;
    std::vector<std::uint8_t> bytes_;  // passes 0 (the input) to 5, three rows each
};

}  // namespace ops
