// Binarize: each pixel becomes white (255, 255, 255) when its luma with the
// BT.601 weights is 126 or more after truncation, black (0, 0, 0) otherwise.
//
// The luma is (0.299 R + 0.587 G) + 0.114 B with the weights held as doubles
// and the arithmetic carried at a 64-bit significand. That decision is exactly
// 299 R + 587 G + 114 B > 126000 in integers: the 111 colours whose decimal
// luma is exactly 126 come out a hair below it and turn black.
//
// With a threshold (settings.h) the rule is 299 R + 587 G + 114 B > 1000 N
// for a level N, the rule above at N = 126; a gray pixel (m, m, m) is white
// when m > N. Otsu's method picks N for each picture from the histogram of
// its levels (GrayHistogram, OtsuThreshold below).
//
// Edge rule: none; each pixel depends on its own three bytes only (Otsu's
// method: on the whole picture's histogram, and then on its own bytes).
#pragma once

#include <array>
#include <cstdint>

#include "ops/pixels.h"
#include "ops/settings.h"

namespace ops {

// How many pixels of a picture have each level. The level of a pixel is its
// luma truncated, (299 R + 587 G + 114 B) / 1000 in integers: on a gray
// pixel (m, m, m), as every pixel of the filter's output is, it is m.
using GrayHistogram = std::array<std::uint64_t, 256>;

GrayHistogram HistogramOf(const RowView& picture);
// Adds the levels of one row of gray bytes, a byte a pixel, to `histogram`.
void CountLevels(const std::uint8_t* gray, int width, GrayHistogram& histogram);

// Otsu's method (N. Otsu, "A threshold selection method from gray-level
// histograms", 1979): the level t that splits the histogram into the levels
// 0..t (black) and t+1..255 (white) with the largest between-class variance
//     w0 w1 (mu0 - mu1)^2 / n^2,
// w0, w1 the pixels and mu0, mu1 the mean levels of the two classes, n all
// the pixels. Only splits that leave a pixel on either side compete, so t
// runs from the least level present to one below the greatest. The
// variances are compared exactly (in integers, as (n S0 - S w0)^2 / (w0 w1),
// S0 and S the sums of the levels of class 0 and of all), and of several
// splits with the same variance the lowest t wins: for a picture of two
// levels a < b, t = a.
// A histogram of one level or of no pixels has no split; t is then the
// default level 126, so such a picture comes out as the default threshold
// makes it (a level above 126 white, the rest black).
int OtsuThreshold(const GrayHistogram& histogram);

// The settings with a level for the threshold: for Otsu's method the level
// OtsuThreshold picks from the histogram; any other threshold is kept.
ChainSettings Resolved(ChainSettings settings, const GrayHistogram& histogram);

// The plain form: the luma in extended precision, truncated, compared with 125.
void BinarizeReference(const RowView& picture);

// The same decision in integer arithmetic.
void Binarize(const RowView& picture);

// With a threshold, each returning the level N it used (Otsu's from
// HistogramOf the picture). The plain form compares 299 R + 587 G + 114 B
// with 1000 N pixel by pixel (the extended-precision luma of the form above
// decides as that at N = 126 but not at every level: at 25, say, the colour
// (R0, G2, B209), whose luma is exactly 25, comes out a hair above it); the
// fast one does it as BinarizeRow.
int BinarizeReference(const RowView& picture, Threshold threshold);
int Binarize(const RowView& picture, Threshold threshold);

// The rows of a stream. Reach: none; a row depends on itself alone.

// One row of `width` 24-bit pixels, in place, as Binarize does it (with
// the level N given, or 126).
void BinarizeRow(std::uint8_t* row, int width);
void BinarizeRow(std::uint8_t* row, int width, int levelN);

// One row of gray pixels: gray[x] = m stands for the pixel (m, m, m), which
// Binarize turns into (level[x], level[x], level[x]); level[x] is 255 or 0
// (255 when m > N, with the level N given, or 126).
void BinarizeGrayRow(const std::uint8_t* gray, std::uint8_t* level, int width);
void BinarizeGrayRow(const std::uint8_t* gray, std::uint8_t* level, int width, int levelN);

}  // namespace ops
