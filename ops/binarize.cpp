#include "ops/binarize.h"

#include <cstdint>

namespace ops {

namespace {

constexpr double kRedWeight = 0.299;
constexpr double kGreenWeight = 0.587;
constexpr double kBlueWeight = 0.114;

// Truncated luma 126 or more.
constexpr long long kLastBlackLuma = 125;
// 299 R + 587 G + 114 B above this is white.
constexpr int kWeightedThreshold = 126000;

}  // namespace

void BinarizeReference(const RowView& picture) {
    if (picture.empty()) return;
    for (int y = 0; y < picture.height; ++y) {
        std::uint8_t* row = picture.row(y);
        for (int x = 0; x < picture.width; ++x) {
            std::uint8_t* p = row + 3 * x;
            const long double luma = (static_cast<long double>(kRedWeight) * p[2] +
                                      static_cast<long double>(kGreenWeight) * p[1]) +
                                     static_cast<long double>(kBlueWeight) * p[0];
            const std::uint8_t level = static_cast<long long>(luma) > kLastBlackLuma ? 255 : 0;
            p[0] = p[1] = p[2] = level;
        }
    }
}

namespace {

// Written so that the compiler turns it into vector code: unsigned sums, no
// early exits, the three stores of a pixel side by side.
OPS_WIDE_CLONES void BinarizeRow(std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x) {
        const unsigned sum = 299u * row[3 * x + 2] + 587u * row[3 * x + 1] + 114u * row[3 * x];
        const std::uint8_t level = sum > unsigned{kWeightedThreshold} ? 255 : 0;
        row[3 * x] = level;
        row[3 * x + 1] = level;
        row[3 * x + 2] = level;
    }
}

}  // namespace

void Binarize(const RowView& picture) {
    if (picture.empty()) return;
    for (int y = 0; y < picture.height; ++y) BinarizeRow(picture.row(y), picture.width);
}

}  // namespace ops
