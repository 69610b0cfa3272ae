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

#include "ops/pixels.h"

namespace ops {

// The plain form: the luma in extended precision, truncated, compared with 125.
void BinarizeReference(const RowView& picture);

// The same decision in integer arithmetic.
void Binarize(const RowView& picture);

}  // namespace ops
