// The chain's settings as a stream of rows: for every setting, every kept
// stage a ChainStream (and the bands, on 1, 2 and 3 threads, in memory and
// from a ring) hands out is byte for byte what the whole-picture operations
// leave with the same settings, each row once, in order, within the reach
// the settings give. Otsu's method takes its level from a first pass over
// the filtered rows (FilteredHistogram, or the bands keeping only A) and
// takes the same level as the whole picture; full thinning runs in passes
// over the thinned stage until one's last iteration deletes nothing, and
// ends as the whole picture's full thinning.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/bands.h"
#include "ops/binarize.h"
#include "ops/chain_stream.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/settings.h"
#include "ops/thinning.h"
#include "ops_test_pictures.h"

namespace {

using ops::ChainSettings;
using ops::GraySource;
using ops::StageSet;
using ops::StreamInput;
using ops::ThinIterations;
using ops::Threshold;
using ops_test::Picture;
using ops_test::Pixel;
using ops_test::Size;

constexpr StageSet kAll = ops::kStageA | ops::kStageB | ops::kStageC | ops::kStageD;
constexpr StageSet kThinnedStages = ops::kStageC | ops::kStageD;

// ---------------------------------------------------------------------------
// Settings and pictures

ChainSettings Settings(GraySource gray, Threshold threshold, ThinIterations thin) {
    ChainSettings settings;
    settings.gray = gray;
    settings.threshold = threshold;
    settings.thin = thin;
    return settings;
}

struct SettingsCase {
    const char* name;
    ChainSettings settings;
};

const std::vector<SettingsCase>& AllSettings() {
    static const std::vector<SettingsCase> cases{
        {"Default", ChainSettings{}},
        {"Luma", Settings(GraySource::kLuma, Threshold(), ThinIterations())},
        {"Level0", Settings(GraySource::kBlue, Threshold::Level(0), ThinIterations())},
        {"Level60", Settings(GraySource::kBlue, Threshold::Level(60), ThinIterations())},
        {"Level200", Settings(GraySource::kBlue, Threshold::Level(200), ThinIterations())},
        {"Level255", Settings(GraySource::kLuma, Threshold::Level(255), ThinIterations())},
        {"Otsu", Settings(GraySource::kBlue, Threshold::Otsu(), ThinIterations())},
        {"LumaOtsu", Settings(GraySource::kLuma, Threshold::Otsu(), ThinIterations())},
        {"Thin0", Settings(GraySource::kBlue, Threshold(), ThinIterations::Count(0))},
        {"Thin1", Settings(GraySource::kBlue, Threshold(), ThinIterations::Count(1))},
        {"Thin20", Settings(GraySource::kBlue, Threshold(), ThinIterations::Count(20))},
        {"Full", Settings(GraySource::kBlue, Threshold(), ThinIterations::Full())},
        {"LumaOtsuFull", Settings(GraySource::kLuma, Threshold::Otsu(), ThinIterations::Full())},
        {"Level90Thin20", Settings(GraySource::kLuma, Threshold::Level(90), ThinIterations::Count(20))},
    };
    return cases;
}

// Inks of several colours on paper with noise: thick blobs (up to 80
// across, so twenty iterations and more still delete), strokes, and specks;
// `dim` puts the paper at about 120 and the ink at about 40, as a dim photo.
Picture Inks(Size size, std::uint32_t seed, bool dim = false) {
    std::mt19937 rng(seed);
    Picture pic(size.w, size.h);
    const int paper = dim ? 120 : 215;
    for (int y = 0; y < size.h; ++y)
        for (int x = 0; x < size.w; ++x) {
            const int v = std::clamp(paper + static_cast<int>(rng() % 41) - 20, 0, 255);
            pic.set(x, y, {std::uint8_t(v), std::uint8_t(std::max(0, v - 15)), std::uint8_t(v)});
        }
    const Pixel inks[] = {{200, 40, 30}, {30, 30, 200}, {20, 20, 20}, {40, 40, 40}, {120, 110, 130}};
    const int shapes = 2 + size.w * size.h / 1200;
    for (int i = 0; i < shapes; ++i) {
        const Pixel ink = dim ? Pixel{40, 40, 40} : inks[rng() % 5];
        const int cx = static_cast<int>(rng() % size.w), cy = static_cast<int>(rng() % size.h);
        const int r = 1 + static_cast<int>(rng() % 40);
        const bool bar = rng() % 3 == 0;
        for (int y = std::max(0, cy - r); y <= std::min(size.h - 1, cy + r); ++y)
            for (int x = std::max(0, cx - 2 * r); x <= std::min(size.w - 1, cx + 2 * r); ++x)
                if (bar ? std::abs(y - cy) <= r / 3 : (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) {
                    const int n = static_cast<int>(rng() % 21) - 10;
                    pic.set(x, y, {std::uint8_t(std::clamp(ink.b + n, 0, 255)), std::uint8_t(std::clamp(ink.g + n, 0, 255)),
                                   std::uint8_t(std::clamp(ink.r + n, 0, 255))});
                }
    }
    return pic;
}

// ---------------------------------------------------------------------------
// The whole picture and the stream

struct Result {
    std::array<Picture, 4> stages;
    int level = -1;                // what binarize used
    bool lastChanged = false;      // of the first pass (the whole chain: of its thinning)
    int passes = 0;                // of the stream
};

Result WholeChain(Picture pic, const ChainSettings& settings) {
    const ops::RowView rows = pic.view();
    Result result{{pic, pic, pic, pic}};
    ops::Filter(rows, settings.gray);
    result.stages[0] = pic;
    result.level = ops::Binarize(rows, settings.threshold);
    result.stages[1] = pic;
    result.lastChanged = ops::Thin(rows, rows, settings.thin);
    result.stages[2] = pic;
    ops::Label(rows);
    result.stages[3] = pic;
    return result;
}

// The level Otsu's method takes from a first pass over the rows.
int FirstPassLevel(const Picture& input, GraySource gray) {
    ops::FilteredHistogram histogram(input.width(), input.height(), gray);
    for (int y = 0; y < input.height(); ++y) histogram.Push(input.row(y));
    return ops::OtsuThreshold(histogram.Finish());
}

// A stream over `input`'s rows with the settings, each handed row put in
// place (and checked for its order and reach); whether its last iteration
// changed a pixel.
bool StreamPass(const Picture& input, StageSet kept, const ChainSettings& settings, StreamInput from,
                std::array<Picture, 4>& stages) {
    const int w = input.width(), h = input.height();
    const int reach = ops::ChainReach(settings, from);
    std::array<int, 4> next{};
    int rowsIn = 0;
    ops::ChainStream stream(w, h, kept, settings, from, [&](ops::Stage stage, int y, const std::uint8_t* row) {
        const int s = static_cast<int>(stage);
        ASSERT_TRUE(kept.Has(stage)) << "stage " << ops::LetterOf(stage) << " not kept";
        ASSERT_EQ(y, next[s]++) << "stage " << ops::LetterOf(stage) << " out of order";
        const int due = s < 2 ? ops::kFilterReach : reach;
        EXPECT_LE(rowsIn, std::min(y + due, h - 1) + 1) << "stage " << ops::LetterOf(stage) << " row " << y << " late";
        std::copy_n(row, 3 * static_cast<std::size_t>(w), stages[s].row(y));
    });
    for (int y = 0; y < h; ++y) {
        rowsIn = y + 1;
        stream.Push(input.row(y));
    }
    stream.Finish();
    for (int s = 0; s < 4; ++s)
        if (kept.Has(ops::kAllStages[s])) {
            EXPECT_EQ(next[s], h) << "rows of stage " << ops::LetterOf(ops::kAllStages[s]);
        }
    return stream.lastIterationChanged();
}

// The stream as a caller runs it: for Otsu's method a first pass for the
// level; for full thinning further passes over the thinned stage (C, or D
// when C is not kept: its blue byte is C's) until one's last iteration
// deletes nothing.
Result Streamed(const Picture& input, StageSet kept, const ChainSettings& asked) {
    const int w = input.width(), h = input.height();
    Result result{{Picture(w, h), Picture(w, h), Picture(w, h), Picture(w, h)}};
    ChainSettings settings = asked;
    if (asked.threshold.otsu() && kept.Reaches(ops::Stage::kBinarized)) {
        result.level = FirstPassLevel(input, asked.gray);
        settings.threshold = Threshold::Level(result.level);
    } else if (kept.Reaches(ops::Stage::kBinarized)) {
        result.level = asked.threshold.level();
    }
    result.lastChanged = StreamPass(input, kept, settings, StreamInput::kPicture, result.stages);
    result.passes = 1;
    bool again = asked.thin.full() && result.lastChanged;
    while (again) {
        const Picture thinned = result.stages[kept.Has(ops::Stage::kThinned) ? 2 : 3];
        again = StreamPass(thinned, kept - ops::kStageA - ops::kStageB, settings, StreamInput::kThinned, result.stages);
        if (++result.passes > 40) {
            ADD_FAILURE() << "full thinning still changing after 40 passes";
            break;
        }
    }
    return result;
}

void ExpectSame(const Result& got, const Result& whole, StageSet kept, const ChainSettings& settings) {
    for (int s = 0; s < 4; ++s) {
        if (kept.Has(ops::kAllStages[s])) {
            EXPECT_TRUE(ops_test::SamePixels(got.stages[s], whole.stages[s])) << "stage " << "ABCD"[s];
        }
    }
    if (kept.Reaches(ops::Stage::kBinarized)) {
        EXPECT_EQ(got.level, whole.level) << "the level binarize used";
    }
    if (kept.Reaches(ops::Stage::kThinned) && !settings.thin.full()) {
        EXPECT_EQ(got.lastChanged, whole.lastChanged) << "whether the last iteration deleted a pixel";
    }
}

// ---------------------------------------------------------------------------
// One stream, every kept mask

struct StreamCase {
    std::string name;
    ChainSettings settings;
    std::vector<Size> sizes;
};
void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

std::vector<StreamCase> StreamCases() {
    std::vector<StreamCase> cases;
    for (const SettingsCase& s : AllSettings()) {
        const int reach = ops::ChainReach(s.settings);
        std::vector<Size> sizes{{1, 1}, {2, 2}, {3, 3}, {1, 40}, {40, 1}, {47, 33}};
        // Heights about the reach, and about twice it.
        for (const int h : {reach - 2, reach, reach + 1, reach + 3, 2 * reach + 1})
            sizes.push_back({std::array{17, 64, 65}[static_cast<std::size_t>(h) % 3], h});
        sizes.push_back({130, 97});
        cases.push_back({s.name, s.settings, sizes});
    }
    return cases;
}

class OpsChainSettingsStream : public testing::TestWithParam<StreamCase> {};

TEST_P(OpsChainSettingsStream, EveryKeptMaskMatchesTheWholeChain) {
    const StreamCase& c = GetParam();
    std::uint32_t seed = 7000;
    for (const Size size : c.sizes) {
        for (const bool dim : {false, true}) {
            SCOPED_TRACE(ops_test::Name(size) + (dim ? " dim" : ""));
            const Picture input = Inks(size, seed++, dim);
            const Result whole = WholeChain(input, c.settings);
            for (unsigned bits = 1; bits <= 15; ++bits) {
                const StageSet kept = StageSet::OfBits(bits);
                SCOPED_TRACE("kept " + kept.Letters());
                ExpectSame(Streamed(input, kept, c.settings), whole, kept, c.settings);
            }
            if (HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, OpsChainSettingsStream, testing::ValuesIn(StreamCases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Full thinning in passes

// Discs of radius 40 and bars 80 thick take more iterations than one pass
// runs: the passes go on over the thinned stage and end where full
// thinning ends, the last pass deleting nothing in its last iteration.
TEST(OpsChainSettingsFull, PassesOverTheThinnedStageEndAsFullThinning) {
    const ChainSettings full = Settings(GraySource::kBlue, Threshold(), ThinIterations::Full());
    const struct {
        const char* name;
        Size size;
        bool disk;
    } cases[] = {{"disk of radius 40", {90, 90}, true}, {"bar 80 thick", {200, 90}, false},
                 {"disk of radius 40 in a tall picture", {87, 400}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Picture pic(c.size.w, c.size.h);
        pic.Fill({230, 230, 230});
        for (int y = 0; y < c.size.h; ++y)
            for (int x = 0; x < c.size.w; ++x) {
                const int dx = x - c.size.w / 2, dy = y - c.size.h / 2;
                if (c.disk ? dx * dx + dy * dy <= 40 * 40 : std::abs(dy) < 40 && std::abs(dx) < 90)
                    pic.set(x, y, {30, 30, 30});
            }
        const Result whole = WholeChain(pic, full);
        // The first iteration that deletes nothing, and so the passes of nine.
        Picture binarized = whole.stages[1];
        int last = 1;
        for (Picture read = binarized, write = binarized;
             ops::Thin(read.view(), write.view(), ThinIterations::Count(last)); read = binarized, write = binarized)
            ++last;
        const int passes = (last + 8) / 9;
        for (const StageSet kept : {kAll, ops::kStageC, ops::kStageD, ops::kStageB | ops::kStageD}) {
            SCOPED_TRACE("kept " + kept.Letters());
            const Result streamed = Streamed(pic, kept, full);
            ExpectSame(streamed, whole, kept, full);
            EXPECT_EQ(streamed.passes, passes) << "iteration " << last << " is the first to delete nothing";
            EXPECT_GE(streamed.passes, 2) << "one pass of nine iterations thins these completely";
            // One more iteration on the result deletes nothing.
            Picture thinned = whole.stages[2], written = whole.stages[2];
            EXPECT_FALSE(ops::Thin(thinned.view(), written.view(), ThinIterations::Count(1)));
        }
    }
}

// A pass reports a change exactly when the whole picture's thinning of the
// same number of iterations does: N iterations over the picture, then nine
// more over the thinned stage.
TEST(OpsChainSettingsFull, APassReportsWhatTheWholeThinningDoes) {
    std::mt19937 rng(7100);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Picture input = Inks({100 + round * 13, 60 + round * 7}, 7100 + round, round % 2 == 1);
        const ChainSettings full = Settings(GraySource::kBlue, Threshold(), ThinIterations::Full());
        std::array<Picture, 4> first{Picture(input.width(), input.height()), Picture(input.width(), input.height()),
                                     Picture(input.width(), input.height()), Picture(input.width(), input.height())};
        const bool changed = StreamPass(input, kAll, full, StreamInput::kPicture, first);
        const Result nine = WholeChain(input, Settings(GraySource::kBlue, Threshold(), ThinIterations::Count(9)));
        EXPECT_TRUE(ops_test::SamePixels(first[2], nine.stages[2])) << "a pass runs nine iterations";
        EXPECT_EQ(changed, nine.lastChanged);
        std::array<Picture, 4> second = first;
        const bool changedAgain = StreamPass(first[2], kThinnedStages, full, StreamInput::kThinned, second);
        Picture read = nine.stages[2], write = nine.stages[2];
        EXPECT_EQ(changedAgain, ops::Thin(read.view(), write.view(), ThinIterations::Count(9)));
        EXPECT_TRUE(ops_test::SamePixels(second[2], write));
    }
}

// ---------------------------------------------------------------------------
// Bands, in memory and from a ring, on 1, 2 and 3 threads

Result InBands(const Picture& input, StageSet kept, const ChainSettings& settings, int threads) {
    const int w = input.width(), h = input.height();
    Result result{{Picture(w, h), Picture(w, h), Picture(w, h), Picture(w, h)}};
    auto run = [&](const Picture& rows, StageSet stages, StreamInput from) {
        std::mutex mutex;
        std::vector<int> calls(4 * static_cast<std::size_t>(h));
        Picture copy = rows;  // the picture in memory is not written
        const ops::BandsOutcome outcome = ops::ChainInBands(
            copy.view(), stages, settings, from, threads, [&](ops::Stage stage, int y, const std::uint8_t* row) {
                const int s = static_cast<int>(stage);
                std::lock_guard lock(mutex);
                ++calls[static_cast<std::size_t>(s) * h + y];
                std::copy_n(row, 3 * static_cast<std::size_t>(w), result.stages[s].row(y));
            });
        EXPECT_TRUE(ops_test::SamePixels(copy, rows)) << "the picture read was changed";
        for (int s = 0; s < 4; ++s)
            for (int y = 0; y < h; ++y)
                if (calls[static_cast<std::size_t>(s) * h + y] != (stages.Has(ops::kAllStages[s]) ? 1 : 0)) {
                    ADD_FAILURE() << "stage " << "ABCD"[s] << " row " << y << " handed out "
                                  << calls[static_cast<std::size_t>(s) * h + y] << " times";
                    return outcome;
                }
        return outcome;
    };
    const ops::BandsOutcome first = run(input, kept, StreamInput::kPicture);
    result.level = first.level;
    result.lastChanged = first.lastIterationChanged;
    result.passes = 1;
    for (bool again = settings.thin.full() && first.lastIterationChanged; again && result.passes <= 40; ++result.passes) {
        const Picture thinned = result.stages[kept.Has(ops::Stage::kThinned) ? 2 : 3];
        again = run(thinned, kept - ops::kStageA - ops::kStageB, StreamInput::kThinned).lastIterationChanged;
    }
    return result;
}

Result FromARing(const Picture& input, StageSet kept, const ChainSettings& asked, int threads) {
    const int w = input.width(), h = input.height();
    Result result{{Picture(w, h), Picture(w, h), Picture(w, h), Picture(w, h)}};
    ChainSettings settings = asked;
    if (asked.threshold.otsu() && kept.Reaches(ops::Stage::kBinarized)) {
        // The first pass on threads: the bands keeping only A, counted.
        ops::GrayHistogram histogram{};
        ops::BandedChain levels(w, h, ops::kStageA, asked, StreamInput::kPicture, threads,
                                [&](ops::Stage, int, const std::uint8_t* row) {
                                    for (int x = 0; x < w; ++x) ++histogram[row[3 * x]];
                                },
                                1);
        for (int y = 0; y < h; ++y) levels.Push(input.row(y));
        levels.Finish();
        EXPECT_EQ(ops::OtsuThreshold(histogram), FirstPassLevel(input, asked.gray)) << "the two first passes";
        settings = ops::Resolved(asked, histogram);
    }
    if (kept.Reaches(ops::Stage::kBinarized)) result.level = settings.threshold.level();
    auto run = [&](const Picture& rows, StageSet stages, StreamInput from) {
        std::array<int, 4> next{};
        ops::BandedChain chain(w, h, stages, settings, from, threads,
                               [&](ops::Stage stage, int y, const std::uint8_t* row) {
                                   const int s = static_cast<int>(stage);
                                   ASSERT_EQ(y, next[s]++) << "stage " << ops::LetterOf(stage) << " out of order";
                                   std::copy_n(row, 3 * static_cast<std::size_t>(w), result.stages[s].row(y));
                               },
                               1);  // bands of the least height: as many as can be
        if (threads > 1 && h >= 8 * ops::ChainReach(settings, from)) {
            EXPECT_GT(chain.threads(), 1) << "no bands";
        }
        for (int y = 0; y < h; ++y) chain.Push(rows.row(y));
        chain.Finish();
        return chain.lastIterationChanged();
    };
    result.lastChanged = run(input, kept, StreamInput::kPicture);
    result.passes = 1;
    for (bool again = settings.thin.full() && result.lastChanged; again && result.passes <= 40; ++result.passes) {
        const Picture thinned = result.stages[kept.Has(ops::Stage::kThinned) ? 2 : 3];
        again = run(thinned, kept - ops::kStageA - ops::kStageB, StreamInput::kThinned);
    }
    return result;
}

struct BandCase {
    std::string name;
    ChainSettings settings;
    Size size;
};
void PrintTo(const BandCase& c, std::ostream* os) { *os << c.name; }

std::vector<BandCase> BandCases() {
    std::vector<BandCase> cases;
    for (const SettingsCase& s : AllSettings()) {
        const int reach = ops::ChainReach(s.settings);
        // Bands of the least height are four reaches: two bands and a row,
        // and several bands with a short last one.
        cases.push_back({std::string(s.name) + "_TwoBandsAndARow", s.settings, {41, 8 * reach + 1}});
        cases.push_back({std::string(s.name) + "_ManyBands", s.settings, {67, 13 * reach + 5}});
    }
    return cases;
}

class OpsChainSettingsBands : public testing::TestWithParam<BandCase> {};

TEST_P(OpsChainSettingsBands, EveryThreadCountGivesTheWholePicturesRows) {
    const BandCase& c = GetParam();
    const Picture input = Inks(c.size, 7200 + static_cast<std::uint32_t>(c.size.h), c.name.find("Otsu") != std::string::npos);
    const Result whole = WholeChain(input, c.settings);
    for (const StageSet kept : {kAll, ops::kStageC, ops::kStageA | ops::kStageD, ops::kStageB}) {
        for (const int threads : {1, 2, 3}) {
            SCOPED_TRACE("kept " + kept.Letters() + ", " + std::to_string(threads) + " threads");
            {
                SCOPED_TRACE("in memory");
                ExpectSame(InBands(input, kept, c.settings, threads), whole, kept, c.settings);
            }
            {
                SCOPED_TRACE("from a ring");
                ExpectSame(FromARing(input, kept, c.settings, threads), whole, kept, c.settings);
            }
            if (HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, OpsChainSettingsBands, testing::ValuesIn(BandCases()),
                         [](const auto& info) { return info.param.name; });

// The reach grows with the iterations, 4 rows each, and the least band with it.
TEST(OpsChainSettingsBands, TheReachFollowsTheIterations) {
    const struct {
        ThinIterations thin;
        StreamInput input;
        int reach;
    } cases[] = {{ThinIterations::Count(0), StreamInput::kPicture, 5},
                 {ThinIterations::Count(1), StreamInput::kPicture, 9},
                 {ThinIterations(), StreamInput::kPicture, 41},
                 {ThinIterations::Count(20), StreamInput::kPicture, 85},
                 {ThinIterations::Full(), StreamInput::kPicture, 41},
                 {ThinIterations::Full(), StreamInput::kThinned, 36},
                 {ThinIterations::Count(20), StreamInput::kThinned, 80}};
    for (const auto& c : cases) {
        const ChainSettings settings = Settings(GraySource::kBlue, Threshold(), c.thin);
        EXPECT_EQ(ops::ChainReach(settings, c.input), c.reach) << c.thin.Text();
        EXPECT_EQ(ops::BandHeight(100, 100000, 2, 1, c.reach), 4 * c.reach) << c.thin.Text();
    }
}

// ---------------------------------------------------------------------------
// The first pass of Otsu's method

// The levels of the filtered picture, counted three ways (a stream of rows,
// bands on 1 to 3 threads, the filtered picture whole), are each pixel's
// level counted once; widths either side of where rows are counted in four
// tables.
TEST(OpsChainSettingsHistogram, EveryWayCountsEachFilteredPixelOnce) {
    std::mt19937 rng(7300);
    for (const Size size : {Size{1, 1}, Size{1023, 7}, Size{1024, 5}, Size{3001, 4}, Size{37, 900}}) {
        for (const GraySource gray : {GraySource::kBlue, GraySource::kLuma}) {
            SCOPED_TRACE(ops_test::Name(size) + " " + ops::TextOf(gray));
            const Picture input = ops_test::RandomPicture(size.w, size.h, rng);
            Picture filtered = input;
            ops::Filter(filtered.view(), gray);
            ops::GrayHistogram expected{};
            for (int y = 0; y < size.h; ++y)
                for (int x = 0; x < size.w; ++x) ++expected[filtered.blue(x, y)];
            EXPECT_EQ(ops::HistogramOf(filtered.view()), expected) << "HistogramOf";
            ops::FilteredHistogram stream(size.w, size.h, gray);
            for (int y = 0; y < size.h; ++y) stream.Push(input.row(y));
            EXPECT_EQ(stream.Finish(), expected) << "FilteredHistogram";
            for (const int threads : {1, 2, 3}) {
                Picture copy = input;
                EXPECT_EQ(ops::FilteredHistogramOf(copy.view(), gray, threads), expected) << threads << " threads";
                EXPECT_TRUE(ops_test::SamePixels(copy, input));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// What a stream refuses

TEST(OpsChainSettingsRefused, OtsuUnresolvedAndAThinnedInputWithEarlierStages) {
    const ChainSettings otsu = Settings(GraySource::kBlue, Threshold::Otsu(), ThinIterations());
    const auto sink = [](ops::Stage, int, const std::uint8_t*) {};
    const struct {
        const char* name;
        ChainSettings settings;
        StageSet kept;
        StreamInput input;
        bool refused;
    } cases[] = {
        {"Otsu's method keeping B", otsu, ops::kStageB, StreamInput::kPicture, true},
        {"Otsu's method keeping D", otsu, ops::kStageD, StreamInput::kPicture, true},
        {"Otsu's method keeping only A: no threshold needed", otsu, ops::kStageA, StreamInput::kPicture, false},
        {"Otsu's method on a thinned stage: no threshold needed", otsu, kThinnedStages, StreamInput::kThinned, false},
        {"a thinned stage keeping A", ChainSettings{}, ops::kStageA | ops::kStageC, StreamInput::kThinned, true},
        {"a thinned stage keeping B", ChainSettings{}, ops::kStageB, StreamInput::kThinned, true},
        {"a thinned stage keeping D", ChainSettings{}, ops::kStageD, StreamInput::kThinned, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.refused) {
            EXPECT_THROW(ops::ChainStream(20, 300, c.kept, c.settings, c.input, sink), std::invalid_argument);
            EXPECT_THROW(ops::BandedChain(20, 300, c.kept, c.settings, c.input, 2, sink, 1), std::invalid_argument);
        } else {
            EXPECT_NO_THROW(ops::ChainStream(20, 300, c.kept, c.settings, c.input, sink));
            EXPECT_NO_THROW(ops::BandedChain(20, 300, c.kept, c.settings, c.input, 2, sink, 1));
        }
    }
}

TEST(OpsChainSettingsRefused, AFirstPassOfTheWrongLength) {
    ops::FilteredHistogram histogram(4, 2, GraySource::kBlue);
    const std::uint8_t row[12] = {};
    EXPECT_THROW(histogram.Finish(), std::logic_error) << "no row yet";
    histogram.Push(row);
    histogram.Push(row);
    EXPECT_THROW(histogram.Push(row), std::logic_error) << "a third row";
    EXPECT_EQ(histogram.Finish()[0], 8u);
    EXPECT_THROW(ops::FilteredHistogram(0, 2, GraySource::kBlue), std::invalid_argument);
}

}  // namespace
