// The chain's settings: what the filter reads of a pixel, where binarize
// cuts, and how far the thinning goes. A default ChainSettings is the chain
// as it has always run (the blue byte, 299 R + 587 G + 114 B > 126000, nine
// iterations), and every operation given it writes exactly the bytes its
// form without settings writes.
//
//   gray       blue (default)  the blue byte
//              luma            the BT.601 luma, rounded half up, in integers:
//                              (299 R + 587 G + 114 B + 500) / 1000
//   threshold  N, 0 to 255     white when 299 R + 587 G + 114 B > 1000 N, so
//              (default 126)   a gray pixel (m, m, m), as every pixel of the
//                              filter's output is, is white when m > N:
//                              N = 126 makes 126 black and 127 white
//              otsu            N is chosen for each picture by Otsu's method
//                              on the histogram of its filtered levels
//                              (OtsuThreshold in binarize.h)
//   thin       N, 0 to 1000    N iterations of the four sub-passes
//              (default 9)
//              full            iterations until one deletes no pixel
//
// Each setting has a text form, the words a command line or a record uses:
// "blue", "luma"; "0" to "255", "otsu"; "0" to "1000", "full".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ops {

// What the filter reads of a pixel.
enum class GraySource : std::uint8_t { kBlue, kLuma };

// The BT.601 luma of a pixel, rounded half up: 0 to 255. On a gray pixel
// (m, m, m) it is m.
constexpr std::uint8_t LumaOf(std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    return static_cast<std::uint8_t>((299 * red + 587 * green + 114 * blue + 500) / 1000);
}

// "blue" or "luma"; nothing for any other text.
std::string TextOf(GraySource gray);
std::optional<GraySource> GraySourceOfText(std::string_view text);

// The binarize threshold: a level N from 0 to 255, or Otsu's method.
class Threshold {
public:
    static constexpr int kDefaultLevel = 126;
    static constexpr int kMaxLevel = 255;

    constexpr Threshold() = default;  // the level 126
    // N from 0 to 255 (anything else is taken to the nearest of them).
    static constexpr Threshold Level(int n) { return Threshold(n < 0 ? 0 : n > kMaxLevel ? kMaxLevel : n); }
    static constexpr Threshold Otsu() { return Threshold(kOtsu); }

    constexpr bool otsu() const { return level_ == kOtsu; }
    // N. Only for a level: Otsu's method has none until it has seen a
    // picture (OtsuThreshold, Resolved in binarize.h).
    constexpr int level() const { return otsu() ? kDefaultLevel : level_; }
    // 299 R + 587 G + 114 B above this is white: 1000 N.
    constexpr int weightedSum() const { return 1000 * level(); }

    // "126", "otsu"; OfText takes a decimal level 0 to 255 (no sign, no
    // spaces, at most three digits) or "otsu".
    std::string Text() const;
    static std::optional<Threshold> OfText(std::string_view text);

    friend constexpr bool operator==(Threshold, Threshold) = default;

private:
    static constexpr int kOtsu = -1;
    constexpr explicit Threshold(int level) : level_(level) {}
    int level_ = kDefaultLevel;
};

// How far the thinning goes: N iterations, or until an iteration deletes
// no pixel.
class ThinIterations {
public:
    static constexpr int kDefaultCount = 9;
    static constexpr int kMaxCount = 1000;

    constexpr ThinIterations() = default;  // nine
    // N from 0 to 1000 (anything else is taken to the nearest of them).
    static constexpr ThinIterations Count(int n) { return ThinIterations(n < 0 ? 0 : n > kMaxCount ? kMaxCount : n); }
    static constexpr ThinIterations Full() { return ThinIterations(kFull); }

    constexpr bool full() const { return count_ == kFull; }
    // N. Only for a count: see PassIterations for what a stream runs.
    constexpr int count() const { return full() ? kDefaultCount : count_; }

    // "9", "full"; OfText takes a decimal count 0 to 1000 (no sign, no
    // spaces, at most four digits) or "full".
    std::string Text() const;
    static std::optional<ThinIterations> OfText(std::string_view text);

    friend constexpr bool operator==(ThinIterations, ThinIterations) = default;

private:
    static constexpr int kFull = -1;
    constexpr explicit ThinIterations(int count) : count_(count) {}
    int count_ = kDefaultCount;
};

// Full thinning as a stream runs in passes of this many iterations (the
// default's, so a pass holds what the default chain holds and reaches as
// far); see chain_stream.h.
inline constexpr int kFullThinPassIterations = 9;

// The iterations one pass of a stream runs: N, or a pass of full thinning.
constexpr int PassIterations(ThinIterations thin) { return thin.full() ? kFullThinPassIterations : thin.count(); }

struct ChainSettings {
    GraySource gray = GraySource::kBlue;
    Threshold threshold;
    ThinIterations thin;

    constexpr bool IsDefault() const { return *this == ChainSettings{}; }
    friend constexpr bool operator==(const ChainSettings&, const ChainSettings&) = default;
};

// The settings as words, in the order gray, threshold, thin:
// "gray blue threshold 126 thin 9".
std::string TextOf(const ChainSettings& settings);

}  // namespace ops
