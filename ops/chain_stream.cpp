#include "ops/chain_stream.h"

#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"

namespace ops {

static_assert(kFilterReach == kFilterPasses);
static_assert(kThinReach == kThinningIterations * 4);

// Between the steps a row travels compactly: the filter hands out one gray
// byte a pixel (the three bytes of its output are equal), binarize one
// level byte, thinning takes and gives bits. A row is spread to 24 bits
// only for a stage that is kept, and Label then works on the spread row of
// C. The filter's medians m stand for the pixels (m, m, m), which is what
// Binarize reads after Filter.
//
// With StreamInput::kThinned the rows go straight to the thinning, their
// blue bytes taken as levels (0 a stroke), and the filter is a one-row
// stand-in.
struct ChainStream::State {
    State(int width, int height, StageSet kept, const ChainSettings& settings, StreamInput input, StageRowSink sink)
        : width(width), height(height), kept(kept), settings(settings), input(input), sink(std::move(sink)),
          filter(width, input == StreamInput::kPicture ? height : 1),
          thin(width, kept.Reaches(Stage::kThinned) ? height : 1,
               kept.Reaches(Stage::kThinned) ? PassIterations(settings.thin) : 0),
          watchLast(height), gray(static_cast<std::size_t>(width)), level(static_cast<std::size_t>(width)),
          bits(static_cast<std::size_t>(ThinRowWords(width))), spread(3 * static_cast<std::size_t>(width)) {}

    void Gray(const std::uint8_t* row);
    void Filtered(int y, const std::uint8_t* medians);
    void Thin(const std::uint8_t* levels);
    void Thinned(int y, const ThinWord* row);
    void Hand(Stage stage, int y) { sink(stage, y, spread.data()); }

    const int width, height;
    const StageSet kept;
    const ChainSettings settings;
    const StreamInput input;
    StageRowSink sink;
    FilterRows filter;  // a one-row stand-in for a thinned input
    ThinRows thin;      // a one-row stand-in when the chain stops before it
    int pushed = 0;
    int watchFirst = 0, watchLast;
    bool lastChanged = false;
    std::vector<std::uint8_t> gray, level;
    std::vector<ThinWord> bits;
    std::vector<std::uint8_t> spread;  // the 24-bit row handed to the sink
};

namespace {

OPS_WIDE_CLONES void TakeBlue(const std::uint8_t* row, std::uint8_t* blue, int width) {
    for (int x = 0; x < width; ++x) blue[x] = row[3 * x];
}

OPS_WIDE_CLONES void SpreadGray(const std::uint8_t* gray, std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x) {
        row[3 * x] = gray[x];
        row[3 * x + 1] = gray[x];
        row[3 * x + 2] = gray[x];
    }
}

// Eight level bytes (foreground 0, the rest 255) for each byte of bits,
// the pixel of bit k in byte k.
constexpr std::array<std::uint64_t, 256> kLevelsOfByte = [] {
    std::array<std::uint64_t, 256> table{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k)
            if (!((b >> k) & 1)) table[b] |= std::uint64_t{0xFF} << (8 * k);
    return table;
}();

// Foreground 0, the rest 255: a byte a pixel.
void LevelsOfBits(const ThinWord* bits, std::uint8_t* level, int width) {
    int x = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 8 <= width; x += 8) {
            const std::uint64_t eight = kLevelsOfByte[(bits[x / 64] >> (x % 64)) & 0xFF];
            std::memcpy(level + x, &eight, 8);
        }
    }
    for (; x < width; ++x) level[x] = static_cast<std::uint8_t>(((bits[x / 64] >> (x % 64)) & 1) - 1);
}

}  // namespace

void ChainStream::State::Gray(const std::uint8_t* row) {
    if (pushed == height) throw std::logic_error("ChainStream: more rows than the picture has");
    ++pushed;
    if (input == StreamInput::kThinned) return Thin(row);
    filter.Push(row);
    while (const std::uint8_t* medians = filter.Next()) Filtered(filter.rowsOut() - 1, medians);
}

void ChainStream::State::Filtered(int y, const std::uint8_t* medians) {
    if (kept.Has(Stage::kFiltered)) {
        SpreadGray(medians, spread.data(), width);
        Hand(Stage::kFiltered, y);
    }
    if (!kept.Reaches(Stage::kBinarized)) return;
    BinarizeGrayRow(medians, level.data(), width, settings.threshold.level());
    if (kept.Has(Stage::kBinarized)) {
        SpreadGray(level.data(), spread.data(), width);
        Hand(Stage::kBinarized, y);
    }
    if (!kept.Reaches(Stage::kThinned)) return;
    Thin(level.data());
}

void ChainStream::State::Thin(const std::uint8_t* levels) {
    PackForegroundRow(levels, bits.data(), width);
    thin.Push(bits.data());
    while (const ThinWord* row = thin.Next()) {
        const int y = thin.rowsOut() - 1;
        if (thin.lastIterationChanged() && y >= watchFirst && y < watchLast) lastChanged = true;
        Thinned(y, row);
    }
}

void ChainStream::State::Thinned(int y, const ThinWord* row) {
    LevelsOfBits(row, level.data(), width);
    SpreadGray(level.data(), spread.data(), width);
    if (kept.Has(Stage::kThinned)) Hand(Stage::kThinned, y);
    if (kept.Has(Stage::kLabeled)) {
        LabelRow(spread.data(), width);
        Hand(Stage::kLabeled, y);
    }
}

ChainStream::ChainStream(int width, int height, StageSet kept, StageRowSink sink)
    : ChainStream(width, height, kept, ChainSettings{}, StreamInput::kPicture, std::move(sink)) {}

ChainStream::ChainStream(int width, int height, StageSet kept, const ChainSettings& settings, StreamInput input,
                         StageRowSink sink) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("ChainStream: a picture has at least one pixel");
    Check(kept, settings, input);
    state_ = std::make_unique<State>(width, height, kept, settings, input, std::move(sink));
}

void ChainStream::Check(StageSet kept, const ChainSettings& settings, StreamInput input) {
    if (kept.empty()) throw std::invalid_argument("ChainStream: no stage kept");
    if (input == StreamInput::kThinned && (kept.Has(Stage::kFiltered) || kept.Has(Stage::kBinarized)))
        throw std::invalid_argument("ChainStream: a thinned stage gives only C and D");
    if (input == StreamInput::kPicture && settings.threshold.otsu() && kept.Reaches(Stage::kBinarized))
        throw std::invalid_argument("ChainStream: Otsu's threshold needs the filtered picture's histogram first");
}

ChainStream::~ChainStream() = default;

void ChainStream::Push(const std::uint8_t* row) {
    State& s = *state_;
    if (s.input == StreamInput::kThinned)
        TakeBlue(row, s.gray.data(), s.width);
    else
        TakeGray(row, s.gray.data(), s.width, s.settings.gray);
    s.Gray(s.gray.data());
}

void ChainStream::PushGray(const std::uint8_t* gray) { state_->Gray(gray); }

// The last Push has already run every step to the end and handed out every
// row; what is left is to check that it was the last.
void ChainStream::Finish() {
    State& s = *state_;
    if (s.pushed != s.height) throw std::logic_error("ChainStream: fewer rows than the picture has");
}

bool ChainStream::lastIterationChanged() const { return state_->lastChanged; }

void ChainStream::WatchRows(int first, int last) {
    state_->watchFirst = first;
    state_->watchLast = last;
}

namespace {

int CheckedWidth(int width, int height) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("FilteredHistogram: a picture has at least one pixel");
    return width;
}

}  // namespace

FilteredHistogram::FilteredHistogram(int width, int height, GraySource gray)
    : width_(CheckedWidth(width, height)), height_(height), gray_(gray), filter_(width, height),
      row_(static_cast<std::size_t>(width)) {}

void FilteredHistogram::Push(const std::uint8_t* row) {
    TakeGray(row, row_.data(), width_, gray_);
    PushGray(row_.data());
}

void FilteredHistogram::PushGray(const std::uint8_t* gray) {
    if (pushed_ == height_) throw std::logic_error("FilteredHistogram: more rows than the picture has");
    ++pushed_;
    filter_.Push(gray);
    while (const std::uint8_t* medians = filter_.Next()) CountLevels(medians, width_, histogram_);
}

const GrayHistogram& FilteredHistogram::Finish() {
    if (pushed_ != height_) throw std::logic_error("FilteredHistogram: fewer rows than the picture has");
    return histogram_;
}

}  // namespace ops
