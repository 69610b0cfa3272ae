// The benchmark's picture: dark strokes 1 to 25 pixels wide (straight lines,
// curves, filled blobs) on light paper with noise. The same seed and size
// always give the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/pixels.h"

namespace bench {

struct Picture {
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;  // 3 * width rounded up to 4, as the window's pictures
    std::vector<std::uint8_t> bytes;

    ops::RowView view() { return {bytes.data(), width, height, stride}; }
};

Picture MakeStrokePicture(int width, int height, std::uint32_t seed = 2026);

}  // namespace bench
