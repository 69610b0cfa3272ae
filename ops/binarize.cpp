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

// The weighted sum needs 18 bits; split by 4 it fits 16-bit lanes, twice
// as many to a vector register as 32-bit ones:
//   299 R + 587 G + 114 B = 4 h + m,  h = 74 R + 146 G + 28 B  (<= 63240),
//                                     m = 3 R + 3 G + 2 B      (<= 2040),
// and 4 h + m > 126000  <=>  h + ceil(m / 4) > 31500.
OPS_WIDE_CLONES void BinarizeRow(std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x) {
        const std::uint16_t b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
        const auto h = static_cast<std::uint16_t>(74 * r + 146 * g + 28 * b);
        const auto m = static_cast<std::uint16_t>(3 * r + 3 * g + 2 * b);
        const auto t = static_cast<std::uint16_t>(h + ((m + 3) >> 2));
        const std::uint8_t level = t > kWeightedThreshold / 4 ? 255 : 0;
        row[3 * x] = level;
        row[3 * x + 1] = level;
        row[3 * x + 2] = level;
    }
}

// With blue = green = red = m the weighted sum is (299 + 587 + 114) m.
OPS_WIDE_CLONES void BinarizeGrayRow(const std::uint8_t* gray, std::uint8_t* level, int width) {
    for (int x = 0; x < width; ++x) {
        const int m = gray[x];
        level[x] = 299 * m + 587 * m + 114 * m > kWeightedThreshold ? 255 : 0;
    }
}

void Binarize(const RowView& picture) {
    if (picture.empty()) return;
    for (int y = 0; y < picture.height; ++y) BinarizeRow(picture.row(y), picture.width);
}

}  // namespace ops
