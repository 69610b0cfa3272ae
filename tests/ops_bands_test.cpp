// The banded chain against the whole-picture operations: cut into bands on
// several threads, every kept stage's rows are the whole picture's, byte for
// byte, each row handed out once and in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/bands.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"

namespace {

using Rows = std::vector<std::vector<std::uint8_t>>;

// Strokes and blobs of dark ink on light paper, with noise that the median
// mostly removes: what thinning is for, and enough of it near every band's
// edge to show a band that reads a wrong row.
Rows Strokes(int w, int h, unsigned seed) {
    std::mt19937 random(seed);
    Rows rows(static_cast<std::size_t>(h), std::vector<std::uint8_t>(3 * static_cast<std::size_t>(w)));
    std::uniform_int_distribution<int> paper(150, 255), ink(0, 110), coin(0, 99);
    for (auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>(coin(random) < 3 ? ink(random) : paper(random));
    const int strokes = 1 + (w * h) / 400;
    std::uniform_int_distribution<int> px(0, w - 1), py(0, h - 1), thick(1, 6);
    for (int k = 0; k < strokes; ++k) {
        const int x0 = px(random), y0 = py(random), x1 = px(random), y1 = py(random), t = thick(random);
        const int steps = std::max({std::abs(x1 - x0), std::abs(y1 - y0), 1});
        for (int i = 0; i <= steps; ++i) {
            const int cx = x0 + (x1 - x0) * i / steps, cy = y0 + (y1 - y0) * i / steps;
            for (int y = std::max(0, cy - t / 2); y <= std::min(h - 1, cy + t / 2); ++y)
                for (int x = std::max(0, cx - t / 2); x <= std::min(w - 1, cx + t / 2); ++x)
                    for (int c = 0; c < 3; ++c) rows[y][3 * x + c] = static_cast<std::uint8_t>(ink(random));
        }
    }
    return rows;
}

// Each stage's rows as the whole-picture operations leave them, one after
// the other on one picture.
std::map<char, Rows> WholePicture(const Rows& input, int w) {
    const int h = static_cast<int>(input.size());
    const std::size_t stride = 3 * static_cast<std::size_t>(w);
    std::vector<std::uint8_t> bytes(stride * h);
    for (int y = 0; y < h; ++y) std::memcpy(bytes.data() + stride * y, input[y].data(), stride);
    const ops::RowView view{bytes.data(), w, h, static_cast<std::ptrdiff_t>(stride)};
    std::map<char, Rows> stages;
    const auto keep = [&](char stage) {
        Rows& rows = stages[stage];
        for (int y = 0; y < h; ++y) rows.emplace_back(view.row(y), view.row(y) + stride);
    };
    ops::Filter(view);
    keep('A');
    ops::Binarize(view);
    keep('B');
    ops::Thin(view, view);
    keep('C');
    ops::Label(view);
    keep('D');
    return stages;
}

struct Banded {
    std::map<char, Rows> stages;
    int threads = 0;
    int band = 0;
};

Banded RunBanded(const Rows& input, int w, ops::StageSet kept, int threads, std::size_t budget) {
    Banded out;
    const int h = static_cast<int>(input.size());
    ops::BandedChain chain(
        w, h, kept, threads,
        [&](ops::Stage stageOf, int y, const std::uint8_t* row) {
            const char stage = ops::LetterOf(stageOf);
            Rows& rows = out.stages[stage];
            ASSERT_EQ(static_cast<int>(rows.size()), y) << "stage " << stage << " out of order";
            rows.emplace_back(row, row + 3 * static_cast<std::size_t>(w));
        },
        budget);
    out.threads = chain.threads();
    out.band = chain.bandHeight();
    for (const auto& row : input) chain.Push(row.data());
    chain.Finish();
    return out;
}

// The same bands on the picture in memory: rows may come from several
// threads at once, each put in its place.
std::map<char, Rows> RunInBands(const Rows& input, int w, ops::StageSet kept, int threads) {
    const int h = static_cast<int>(input.size());
    const std::size_t stride = 3 * static_cast<std::size_t>(w);
    std::vector<std::uint8_t> bytes(stride * h);
    for (int y = 0; y < h; ++y) std::memcpy(bytes.data() + stride * y, input[y].data(), stride);
    std::map<char, Rows> stages;
    std::map<char, std::vector<int>> calls;
    for (int s = 0; s < 4; ++s)
        if (kept.Has(ops::kAllStages[s])) {
            stages[static_cast<char>('A' + s)].assign(h, {});
            calls[static_cast<char>('A' + s)].assign(h, 0);
        }
    std::mutex mutex;
    ops::ChainInBands({bytes.data(), w, h, static_cast<std::ptrdiff_t>(stride)}, kept, threads,
                      [&](ops::Stage stageOf, int y, const std::uint8_t* row) {
            const char stage = ops::LetterOf(stageOf);
                          std::lock_guard lock(mutex);
                          stages.at(stage)[y].assign(row, row + stride);
                          ++calls.at(stage)[y];
                      });
    for (const auto& [stage, counts] : calls)
        for (int y = 0; y < h; ++y) EXPECT_EQ(counts[y], 1) << "stage " << stage << " row " << y;
    return stages;
}

constexpr std::size_t kTiny = 1;  // bands of the least height, 4 reaches
constexpr std::size_t kRoomy = std::size_t{64} << 20;

struct BandCase {
    std::string name;
    int width;
    int height;
    int threads;
    std::size_t budget;  // small budgets make many short bands
    ops::StageSet kept = ops::kStageA | ops::kStageB | ops::kStageC | ops::kStageD;
};

class BandedChainCase : public ::testing::TestWithParam<BandCase> {};

TEST_P(BandedChainCase, GivesTheWholePicturesRowsInOrder) {
    const BandCase& c = GetParam();
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Rows input = Strokes(c.width, c.height, seed * 7919u + static_cast<unsigned>(c.height));
        const std::map<char, Rows> whole = WholePicture(input, c.width);
        const Banded banded = RunBanded(input, c.width, c.kept, c.threads, c.budget);
        for (int s = 0; s < 4; ++s) {
            const char stage = static_cast<char>('A' + s);
            if (!(c.kept.Has(ops::kAllStages[s]))) {
                EXPECT_EQ(banded.stages.count(stage), 0u) << "stage " << stage << " was not asked for";
                continue;
            }
            ASSERT_EQ(banded.stages.count(stage), 1u) << "stage " << stage;
            const Rows& got = banded.stages.at(stage);
            const Rows& want = whole.at(stage);
            ASSERT_EQ(got.size(), want.size()) << "stage " << stage;
            for (std::size_t y = 0; y < want.size(); ++y)
                ASSERT_EQ(got[y], want[y]) << "stage " << stage << " row " << y << " of " << want.size()
                                           << " (bands of " << banded.band << " rows, " << banded.threads
                                           << " threads)";
        }
        if (c.budget != kTiny) {
            // In memory the bands are the picture shared between the threads.
            const std::map<char, Rows> inBands = RunInBands(input, c.width, c.kept, c.threads);
            for (const auto& [stage, rows] : inBands)
                for (std::size_t y = 0; y < rows.size(); ++y)
                    ASSERT_EQ(rows[y], whole.at(stage)[y]) << "in memory: stage " << stage << " row " << y;
        }
    }
}

constexpr ops::StageSet kC = ops::kStageC;
constexpr ops::StageSet kAD = ops::kStageA | ops::kStageD;

INSTANTIATE_TEST_SUITE_P(
    Shapes, BandedChainCase,
    ::testing::Values(BandCase{"OneRow", 40, 1, 2, kTiny}, BandCase{"TwoRows", 40, 2, 2, kTiny},
                      BandCase{"OneColumnTall", 1, 500, 2, kTiny}, BandCase{"TwoColumnsTall", 2, 500, 3, kTiny},
                      BandCase{"ThreeColumnsTall", 3, 700, 2, kTiny},
                      BandCase{"TwoBandsARowShort", 47, 327, 2, kTiny},
                      BandCase{"TwoBandsAndARow", 47, 329, 2, kTiny},
                      BandCase{"LastBandOneRow", 33, 165, 2, kTiny},
                      BandCase{"LastBandUnderTheReach", 33, 164 + 40, 2, kTiny},
                      BandCase{"ManyBandsTwoThreads", 61, 1000, 2, kTiny},
                      BandCase{"ManyBandsThreeThreads", 61, 1000, 3, kTiny},
                      BandCase{"ManyBandsFiveThreads", 29, 1300, 5, kTiny},
                      BandCase{"HalvesOfAPicture", 120, 900, 2, kRoomy},
                      BandCase{"HalvesJustOverFourReaches", 70, 330, 2, kRoomy},
                      BandCase{"FifthsOfALowPicture", 200, 830, 5, kRoomy},
                      BandCase{"ThirdsKeepingTheThinnedStage", 90, 1000, 3, kRoomy, kC},
                      BandCase{"ThirdsOfAPicture", 120, 900, 3, kRoomy},
                      BandCase{"OneThreadRunsWhole", 120, 300, 1, kTiny},
                      BandCase{"WideAndLow", 3000, 200, 2, kTiny},
                      BandCase{"OnlyTheThinnedStage", 90, 700, 2, kTiny, kC},
                      BandCase{"FilteredAndLabeled", 90, 700, 3, kTiny, kAD}),
    [](const auto& info) { return info.param.name; });

TEST(BandedChain, BandsAreAsTallAsTheBudgetAllowsAndNeverUnderFourReaches) {
    EXPECT_EQ(ops::BandHeight(100, 1000, 1, 1), 1000) << "one thread takes the whole picture";
    EXPECT_EQ(ops::BandHeight(100, 1000, 2, std::size_t{1} << 30), 500) << "shared between the threads";
    EXPECT_EQ(ops::BandHeight(100, 1000, 2, 1), 4 * ops::kChainReach);
    // 3 bands of (h + 2 reaches) rows of 1000 bytes in 900 KB: 300 - 82 rows.
    EXPECT_EQ(ops::BandHeight(1000, 100000, 2, 900000), 300 - 2 * ops::kChainReach);
    EXPECT_EQ(ops::BandHeight(100, 50, 4, 1), 50) << "never taller than the picture";
}

TEST(BandedChain, StartsNoThreadWhereThereIsNothingToShare) {
    const Rows input = Strokes(50, 100, 3);
    EXPECT_EQ(RunBanded(input, 50, kC, 1, kTiny).threads, 0);
    EXPECT_EQ(RunBanded(input, 50, kC, 4, kRoomy).threads, 0) << "one band only";
    EXPECT_EQ(RunBanded(Strokes(50, 1000, 3), 50, kC, 4, kTiny).threads, 4);
}

// Stage C packed a bit a pixel (set for white), each row before the same
// row reaches the sink; none from a chain on the caller's thread.
TEST(BandedChain, HandsOutStageCPackedInBands) {
    const struct {
        int width, height, threads;
        bool packed;
    } cases[] = {{47, 900, 2, true}, {64, 700, 3, true}, {129, 650, 2, true}, {47, 900, 1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + ", " + std::to_string(c.threads) +
                     " threads");
        const Rows input = Strokes(c.width, c.height, 5);
        std::vector<std::vector<std::uint8_t>> packed;
        int rowsOfC = 0;
        ops::BandedChain chain(c.width, c.height, kC, c.threads, [&](ops::Stage stage, int y, const std::uint8_t* row) {
            if (stage != ops::Stage::kThinned) return;
            ++rowsOfC;
            if (!c.packed) return;
            ASSERT_EQ(static_cast<int>(packed.size()), y + 1) << "the packed row comes first";
            for (int x = 0; x < c.width; ++x) {
                const bool white = packed[static_cast<std::size_t>(y)][static_cast<std::size_t>(x / 8)] >> (x % 8) & 1;
                ASSERT_EQ(white, row[3 * x] == 255) << "row " << y << " pixel " << x;
            }
        }, kTiny);
        const bool delivers = chain.DeliverThinnedPacked([&](int y, const std::uint8_t* bits) {
            EXPECT_EQ(static_cast<int>(packed.size()), y) << "in order";
            packed.emplace_back(bits, bits + (c.width + 7) / 8);
        });
        EXPECT_EQ(delivers, c.packed);
        for (const auto& row : input) chain.Push(row.data());
        chain.Finish();
        EXPECT_EQ(rowsOfC, c.height);
        EXPECT_EQ(packed.size(), c.packed ? static_cast<std::size_t>(c.height) : 0u);
    }
}

TEST(BandedChain, AnExceptionFromTheSinkComesOutAndStopsTheWork) {
    for (const int threads : {1, 2, 3}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        const Rows input = Strokes(64, 1200, 11);
        int calls = 0;
        auto run = [&] {
            ops::BandedChain chain(64, 1200, kC, threads, [&](ops::Stage, int y, const std::uint8_t*) {
                ++calls;
                if (y == 500) throw std::runtime_error("disk full");
            }, kTiny);
            for (const auto& row : input) chain.Push(row.data());
            chain.Finish();
        };
        EXPECT_THROW(run(), std::runtime_error);
        EXPECT_EQ(calls, 501) << "nothing reaches the sink after it failed";
    }
}

TEST(BandedChain, FinishingBeforeTheLastRowIsRefused) {
    for (const int threads : {1, 2}) {
        const Rows input = Strokes(30, 700, 9);
        ops::BandedChain chain(30, 700, kC, threads, [](ops::Stage, int, const std::uint8_t*) {}, kTiny);
        for (int y = 0; y < 400; ++y) chain.Push(input[y].data());
        EXPECT_THROW(chain.Finish(), std::logic_error) << threads << " threads";
    }
}

TEST(BandedChain, AReaderThatFailsHalfwayLeavesNothingRunning) {
    // The chain is dropped after half the rows, as when a decoder throws:
    // the destructor stops and joins every thread, and rows already handed
    // out are the whole picture's.
    const Rows input = Strokes(80, 2000, 5);
    const std::map<char, Rows> whole = WholePicture(input, 80);
    int handed = 0;
    {
        ops::BandedChain chain(80, 2000, kC, 2, [&](ops::Stage, int y, const std::uint8_t* row) {
            EXPECT_EQ(y, handed);
            EXPECT_TRUE(std::equal(row, row + 240, whole.at('C')[y].begin())) << "row " << y;
            ++handed;
        }, kTiny);
        for (int y = 0; y < 1000; ++y) chain.Push(input[y].data());
    }
    EXPECT_LT(handed, 1000);
}

}  // namespace
