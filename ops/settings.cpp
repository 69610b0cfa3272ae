#include "ops/settings.h"

namespace ops {

namespace {

// A decimal number of 1 to `digits` digits, nothing else; nothing for any
// other text.
std::optional<int> Decimal(std::string_view text, std::size_t digits) {
    if (text.empty() || text.size() > digits) return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = 10 * value + (c - '0');
    }
    return value;
}

}  // namespace

std::string TextOf(GraySource gray) { return gray == GraySource::kLuma ? "luma" : "blue"; }

std::optional<GraySource> GraySourceOfText(std::string_view text) {
    if (text == "blue") return GraySource::kBlue;
    if (text == "luma") return GraySource::kLuma;
    return std::nullopt;
}

std::string Threshold::Text() const { return otsu() ? "otsu" : std::to_string(level_); }

std::optional<Threshold> Threshold::OfText(std::string_view text) {
    if (text == "otsu") return Otsu();
    const std::optional<int> n = Decimal(text, 3);
    if (!n || *n > kMaxLevel) return std::nullopt;
    return Level(*n);
}

std::string ThinIterations::Text() const { return full() ? "full" : std::to_string(count_); }

std::optional<ThinIterations> ThinIterations::OfText(std::string_view text) {
    if (text == "full") return Full();
    const std::optional<int> n = Decimal(text, 4);
    if (!n || *n > kMaxCount) return std::nullopt;
    return Count(*n);
}

std::string TextOf(const ChainSettings& settings) {
    return "gray " + TextOf(settings.gray) + " threshold " + settings.threshold.Text() + " thin " +
           settings.thin.Text();
}

}  // namespace ops
