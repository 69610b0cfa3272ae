#include "ops/binarize.h"

#include <array>
#include <cstdint>
#include <vector>

namespace ops {

namespace {

constexpr double kRedWeight = 0.299;
constexpr double kGreenWeight = 0.587;
constexpr double kBlueWeight = 0.114;

// Truncated luma 126 or more.
constexpr long long kLastBlackLuma = 125;
// 299 R + 587 G + 114 B above this is white.
constexpr int kWeightedThreshold = 126000;
static_assert(kWeightedThreshold == Threshold().weightedSum());

// An unsigned integer of 512 bits, enough for Otsu's comparisons of
// histograms whose pixels add up to less than 2^64: the products compared
// are under 2^400 (see Better below).
class Wide {
public:
    constexpr Wide() = default;
    constexpr explicit Wide(std::uint64_t v) {
        limb_[0] = static_cast<std::uint32_t>(v);
        limb_[1] = static_cast<std::uint32_t>(v >> 32);
    }
    friend Wide operator+(const Wide& a, const Wide& b) {
        Wide sum;
        std::uint64_t carry = 0;
        for (int i = 0; i < kLimbs; ++i) {
            carry += std::uint64_t{a.limb_[i]} + b.limb_[i];
            sum.limb_[i] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        return sum;
    }
    // Only for a >= b.
    friend Wide operator-(const Wide& a, const Wide& b) {
        Wide difference;
        std::int64_t borrow = 0;
        for (int i = 0; i < kLimbs; ++i) {
            std::int64_t d = std::int64_t{a.limb_[i]} - b.limb_[i] - borrow;
            borrow = d < 0;
            if (d < 0) d += std::int64_t{1} << 32;
            difference.limb_[i] = static_cast<std::uint32_t>(d);
        }
        return difference;
    }
    // The low 512 bits of the product.
    friend Wide operator*(const Wide& a, const Wide& b) {
        Wide product;
        for (int i = 0; i < kLimbs; ++i) {
            if (a.limb_[i] == 0) continue;
            std::uint64_t carry = 0;
            for (int j = 0; i + j < kLimbs; ++j) {
                const std::uint64_t t = std::uint64_t{a.limb_[i]} * b.limb_[j] + product.limb_[i + j] + carry;
                product.limb_[i + j] = static_cast<std::uint32_t>(t);
                carry = t >> 32;
            }
        }
        return product;
    }
    friend bool operator>(const Wide& a, const Wide& b) {
        for (int i = kLimbs - 1; i >= 0; --i)
            if (a.limb_[i] != b.limb_[i]) return a.limb_[i] > b.limb_[i];
        return false;
    }

private:
    static constexpr int kLimbs = 16;
    std::array<std::uint32_t, kLimbs> limb_{};
};

// One split of the histogram: w0 pixels of levels 0..t, w1 of t+1..255.
// (n S0 - S w0) = -(S1 w0 - S0 w1) with S1 = S - S0 and n = w0 + w1, and
// the between-class variance times n^2 is (S1 w0 - S0 w1)^2 / (w0 w1).
// S1 w0 - S0 w1 = w0 w1 (mu1 - mu0) is above 0 whenever both classes hold
// a pixel, as every level of class 1 is above every level of class 0.
struct Split {
    Wide spread;   // S1 w0 - S0 w1, under 255 w0 w1 < 2^136
    Wide product;  // w0 w1, under 2^128
};

// Whether split a has the larger between-class variance:
// a.spread^2 / a.product > b.spread^2 / b.product, both sides multiplied
// out (each under 2^272 * 2^128).
bool Better(const Split& a, const Split& b) {
    return a.spread * a.spread * b.product > b.spread * b.spread * a.product;
}

}  // namespace

int OtsuThreshold(const GrayHistogram& histogram) {
    std::uint64_t n = 0;
    Wide total;
    for (int level = 0; level < 256; ++level) {
        n += histogram[level];
        total = total + Wide(histogram[level]) * Wide(static_cast<std::uint64_t>(level));
    }
    int best = -1;
    Split bestSplit;
    std::uint64_t w0 = 0;
    Wide s0;
    for (int t = 0; t < 255; ++t) {
        w0 += histogram[t];
        s0 = s0 + Wide(histogram[t]) * Wide(static_cast<std::uint64_t>(t));
        const std::uint64_t w1 = n - w0;
        if (w0 == 0 || w1 == 0) continue;
        const Split split{(total - s0) * Wide(w0) - s0 * Wide(w1), Wide(w0) * Wide(w1)};
        if (best < 0 || Better(split, bestSplit)) {
            best = t;
            bestSplit = split;
        }
    }
    return best < 0 ? Threshold::kDefaultLevel : best;
}

ChainSettings Resolved(ChainSettings settings, const GrayHistogram& histogram) {
    if (settings.threshold.otsu()) settings.threshold = Threshold::Level(OtsuThreshold(histogram));
    return settings;
}

void CountLevels(const std::uint8_t* gray, int width, GrayHistogram& histogram) {
    if (width < 1024) {
        for (int x = 0; x < width; ++x) ++histogram[gray[x]];
        return;
    }
    // Four tables, so that runs of one level do not wait on one counter.
    std::uint32_t counts[4][256] = {};
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        ++counts[0][gray[x]];
        ++counts[1][gray[x + 1]];
        ++counts[2][gray[x + 2]];
        ++counts[3][gray[x + 3]];
    }
    for (; x < width; ++x) ++counts[0][gray[x]];
    for (int level = 0; level < 256; ++level)
        histogram[level] += std::uint64_t{counts[0][level]} + counts[1][level] + counts[2][level] + counts[3][level];
}

namespace {

OPS_WIDE_CLONES void TruncatedLumas(const std::uint8_t* row, std::uint8_t* level, int width) {
    for (int x = 0; x < width; ++x)
        level[x] = static_cast<std::uint8_t>((299u * row[3 * x + 2] + 587u * row[3 * x + 1] + 114u * row[3 * x]) / 1000u);
}

}  // namespace

GrayHistogram HistogramOf(const RowView& picture) {
    GrayHistogram histogram{};
    if (picture.empty()) return histogram;
    std::vector<std::uint8_t> levels(static_cast<std::size_t>(picture.width));
    for (int y = 0; y < picture.height; ++y) {
        TruncatedLumas(picture.row(y), levels.data(), picture.width);
        CountLevels(levels.data(), picture.width, histogram);
    }
    return histogram;
}

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
// and, 1000 N being 4 * 250 N,
//   4 h + m > 1000 N  <=>  h + ceil(m / 4) > 250 N   (<= 63750 for N = 255).
OPS_WIDE_CLONES void BinarizeRow(std::uint8_t* row, int width, int levelN) {
    const auto quarter = static_cast<std::uint16_t>(Threshold::Level(levelN).weightedSum() / 4);
    for (int x = 0; x < width; ++x) {
        const std::uint16_t b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
        const auto h = static_cast<std::uint16_t>(74 * r + 146 * g + 28 * b);
        const auto m = static_cast<std::uint16_t>(3 * r + 3 * g + 2 * b);
        const auto t = static_cast<std::uint16_t>(h + ((m + 3) >> 2));
        const std::uint8_t level = t > quarter ? 255 : 0;
        row[3 * x] = level;
        row[3 * x + 1] = level;
        row[3 * x + 2] = level;
    }
}

void BinarizeRow(std::uint8_t* row, int width) { BinarizeRow(row, width, Threshold::kDefaultLevel); }

// With blue = green = red = m the weighted sum is (299 + 587 + 114) m =
// 1000 m, above 1000 N exactly when m > N.
OPS_WIDE_CLONES void BinarizeGrayRow(const std::uint8_t* gray, std::uint8_t* level, int width, int levelN) {
    const int n = Threshold::Level(levelN).level();
    for (int x = 0; x < width; ++x) level[x] = gray[x] > n ? 255 : 0;
}

void BinarizeGrayRow(const std::uint8_t* gray, std::uint8_t* level, int width) {
    BinarizeGrayRow(gray, level, width, Threshold::kDefaultLevel);
}

void Binarize(const RowView& picture) { Binarize(picture, Threshold()); }

int Binarize(const RowView& picture, Threshold threshold) {
    const int n = threshold.otsu() ? OtsuThreshold(HistogramOf(picture)) : threshold.level();
    if (picture.empty()) return n;
    for (int y = 0; y < picture.height; ++y) BinarizeRow(picture.row(y), picture.width, n);
    return n;
}

int BinarizeReference(const RowView& picture, Threshold threshold) {
    GrayHistogram histogram{};
    if (threshold.otsu() && !picture.empty())
        for (int y = 0; y < picture.height; ++y)
            for (int x = 0; x < picture.width; ++x) {
                const std::uint8_t* p = picture.row(y) + 3 * x;
                ++histogram[(299 * p[2] + 587 * p[1] + 114 * p[0]) / 1000];
            }
    const int n = threshold.otsu() ? OtsuThreshold(histogram) : threshold.level();
    if (picture.empty()) return n;
    for (int y = 0; y < picture.height; ++y) {
        std::uint8_t* row = picture.row(y);
        for (int x = 0; x < picture.width; ++x) {
            std::uint8_t* p = row + 3 * x;
            const std::uint8_t level = 299 * p[2] + 587 * p[1] + 114 * p[0] > 1000 * n ? 255 : 0;
            p[0] = p[1] = p[2] = level;
        }
    }
    return n;
}

}  // namespace ops
