// Binarize: each pixel becomes white (255, 255, 255) when its luma with the
// BT.601 weights is 126 or more after truncation, black (0, 0, 0) otherwise.
//
// The luma is (0.299 R + 0.587 G) + 0.114 B with the weights held as doubles
// and the arithmetic carried at a 64-bit significand. That decision is exactly
// 299 R + 587 G + 114 B > 126000 in integers: the 111 colours whose decimal
// luma is exactly 126 come out a hair below it and turn black.
//
// Edge rule: none; each pixel depends on its own three bytes only.
#pragma once

#include <cstdint>

#include "ops/pixels.h"

namespace ops {

// The plain form: the luma in extended precision, truncated, compared with 125.
void BinarizeReference(const RowView& picture);

// The same decision in integer arithmetic.
void Binarize(const RowView& picture);

// The rows of a stream. Reach: none; a row depends on itself alone.

// One row of `width` 24-bit pixels, in place, as Binarize does it.
void BinarizeRow(std::uint8_t* row, int width);

// One row of gray pixels: gray[x] = m stands for the pixel (m, m, m), which
// Binarize turns into (level[x], level[x], level[x]); level[x] is 255 or 0.
void BinarizeGrayRow(const std::uint8_t* gray, std::uint8_t* level, int width);

}  // namespace ops
