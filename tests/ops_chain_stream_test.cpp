// The chain as a stream of rows: every stage it hands out is byte for byte
// what the whole-picture operations leave (Filter, Binarize, Thin with the
// picture as both bitmaps, Label, one after the other), each row once, in
// order, within the stated reach; its memory does not grow with the height;
// an exception from the sink comes out unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "bench/synthetic.h"
#include "ops/binarize.h"
#include "ops/chain_stream.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/settings.h"
#include "ops/thinning.h"
#include "ops_test_pictures.h"

// Heap bytes counted on the thread that asks: the memory test below arms the
// count around a stream's whole life and reads the bytes asked for, at most
// and in all. The program's operator new and delete go straight to malloc
// and free, as the standard library's do, every form of them that could
// meet one of these blocks replaced, so a block always goes back the way it
// came. While armed, the blocks asked for are remembered with their sizes
// (a fixed table: counting must not allocate).
namespace {
struct HeapCount {
    bool armed = false, tableFull = false;
    long long live = 0, peak = 0, total = 0;
    struct Block {
        void* at;
        std::size_t size;
    } blocks[256] = {};
};
thread_local HeapCount heapCount;

void ArmHeapCount() {
    heapCount.armed = heapCount.tableFull = false;
    heapCount.live = heapCount.peak = heapCount.total = 0;
    for (HeapCount::Block& b : heapCount.blocks) b = {nullptr, 0};
    heapCount.armed = true;
}

void* Allocate(std::size_t size) {
    for (;;) {
        if (void* block = std::malloc(size == 0 ? 1 : size)) {
            if (heapCount.armed) {
                heapCount.total += static_cast<long long>(size);
                heapCount.live += static_cast<long long>(size);
                heapCount.peak = std::max(heapCount.peak, heapCount.live);
                HeapCount::Block* slot = std::find_if(std::begin(heapCount.blocks), std::end(heapCount.blocks),
                                                      [](const HeapCount::Block& b) { return b.at == nullptr; });
                if (slot == std::end(heapCount.blocks))
                    heapCount.tableFull = true;
                else
                    *slot = {block, size};
            }
            return block;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void Release(void* block) noexcept {
    if (block != nullptr && heapCount.armed)
        for (HeapCount::Block& b : heapCount.blocks)
            if (b.at == block) {
                heapCount.live -= static_cast<long long>(b.size);
                b = {nullptr, 0};
                break;
            }
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }

namespace {

using ops_test::Picture;
using ops_test::Size;

constexpr ops::StageSet kAllStages = ops::kStageA | ops::kStageB | ops::kStageC | ops::kStageD;
constexpr char kStageNames[] = "ABCD";

// ---------------------------------------------------------------------------
// Pictures

enum class Kind { kStrokes, kBlobs, kNoise, kNearThreshold };

// Dark strokes on light paper with speckle (the benchmark's picture).
Picture Strokes(Size size, std::uint32_t seed) {
    bench::Picture made = bench::MakeStrokePicture(size.w, size.h, seed);
    Picture pic(size.w, size.h);
    for (int y = 0; y < size.h; ++y)
        for (int x = 0; x < size.w; ++x) {
            const std::uint8_t* p = made.bytes.data() + y * made.stride + 3 * x;
            pic.set(x, y, {p[0], p[1], p[2]});
        }
    return pic;
}

// Filled discs and bars up to 80 pixels across, on noisy paper: thick
// enough that all nine iterations still delete.
Picture Blobs(Size size, std::mt19937& rng) {
    Picture pic(size.w, size.h);
    for (int y = 0; y < size.h; ++y)
        for (int x = 0; x < size.w; ++x) pic.set(x, y, {std::uint8_t(170 + rng() % 86), std::uint8_t(rng()), 200});
    const int shapes = 2 + size.w * size.h / 1500;
    for (int i = 0; i < shapes; ++i) {
        const int cx = static_cast<int>(rng() % size.w), cy = static_cast<int>(rng() % size.h);
        const int r = 1 + static_cast<int>(rng() % 40);
        const std::uint8_t ink = static_cast<std::uint8_t>(rng() % 110);
        const bool bar = rng() % 3 == 0;
        for (int y = std::max(0, cy - r); y <= std::min(size.h - 1, cy + r); ++y)
            for (int x = std::max(0, cx - 2 * r); x <= std::min(size.w - 1, cx + 2 * r); ++x)
                if (bar ? std::abs(y - cy) <= r / 3 : (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                    pic.set(x, y, {ink, 0, 255});
    }
    return pic;
}

// Blue bytes within a few steps of the binarizing threshold (gray 126 is
// black, 127 white), in patches, so filtered and binarized rows hinge on it.
Picture NearThreshold(Size size, std::mt19937& rng) {
    Picture pic(size.w, size.h);
    const int patch = 1 + static_cast<int>(rng() % 9);
    std::vector<int> centre(static_cast<std::size_t>((size.w / patch + 1) * (size.h / patch + 1)));
    for (int& c : centre) c = 122 + static_cast<int>(rng() % 10);
    for (int y = 0; y < size.h; ++y)
        for (int x = 0; x < size.w; ++x) {
            const int c = centre[static_cast<std::size_t>((y / patch) * (size.w / patch + 1) + x / patch)];
            pic.set(x, y, {std::uint8_t(c + static_cast<int>(rng() % 3) - 1), std::uint8_t(rng()), std::uint8_t(rng())});
        }
    return pic;
}

Picture Make(Kind kind, Size size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    switch (kind) {
    case Kind::kStrokes:
        return Strokes(size, seed);
    case Kind::kBlobs:
        return Blobs(size, rng);
    case Kind::kNoise:
        return ops_test::RandomPicture(size.w, size.h, rng);
    case Kind::kNearThreshold:
        break;
    }
    return NearThreshold(size, rng);
}

// ---------------------------------------------------------------------------
// The two chains

// The picture after each stage of the whole-picture chain.
std::array<Picture, 4> WholeChain(Picture pic) {
    const ops::RowView rows = pic.view();
    ops::Filter(rows);
    Picture a = pic;
    ops::Binarize(rows);
    Picture b = pic;
    ops::Thin(rows, rows);
    Picture c = pic;
    ops::Label(rows);
    return {a, b, c, pic};
}

// What a stream handed out: the rows of each stage as a picture, and for
// each row handed out its stage, its index and how many rows had gone in.
struct Handed {
    std::array<Picture, 4> stages;
    struct Row {
        int stage, y, rowsIn;
    };
    std::vector<Row> rows;
};

Handed RunStream(const Picture& input, ops::StageSet kept) {
    const int w = input.width(), h = input.height();
    Handed handed{{Picture(w, h), Picture(w, h), Picture(w, h), Picture(w, h)}, {}};
    int rowsIn = 0;
    ops::ChainStream stream(w, h, kept, [&](ops::Stage stageOf, int y, const std::uint8_t* row) {
            const char stage = ops::LetterOf(stageOf);
        const int s = stage - 'A';
        handed.rows.push_back({s, y, rowsIn});
        ASSERT_TRUE(s >= 0 && s < 4 && y >= 0 && y < h) << "stage " << stage << " row " << y;
        std::copy_n(row, 3 * static_cast<std::size_t>(w), handed.stages[s].row(y));
    });
    for (int y = 0; y < h; ++y) {
        rowsIn = y + 1;
        stream.Push(input.row(y));
    }
    stream.Finish();
    return handed;
}

// Each kept stage's rows once each, top to bottom, each within its reach;
// nothing of a stage not kept; the pixels those of the whole chain.
// The most bytes a stream of a picture `width` pixels wide may hold,
// whatever its height: the rows of the filter's and the thinning's windows
// (about 40 bytes a pixel of the width in all) and a few small blocks.
long long HeldBound(int width) { return 64LL * width + 16384; }

// The bytes the stream holds at most while it runs over the picture, the
// rows it hands out summed up rather than kept.
long long StreamPeak(const Picture& input, ops::StageSet kept) {
    std::uint32_t sum = 0;
    ArmHeapCount();
    {
        ops::ChainStream stream(input.width(), input.height(), kept,
                                [&](ops::Stage, int, const std::uint8_t* r) { sum += r[0]; });
        for (int y = 0; y < input.height(); ++y) stream.Push(input.row(y));
        stream.Finish();
    }
    heapCount.armed = false;
    EXPECT_FALSE(heapCount.tableFull) << "more blocks at once than the count can follow";
    return heapCount.peak;
}

void ExpectStreamMatches(const Picture& input, const std::array<Picture, 4>& whole, ops::StageSet kept) {
    const int h = input.height();
    SCOPED_TRACE(testing::Message() << "kept " << kept.Letters());
    EXPECT_LE(StreamPeak(input, kept), HeldBound(input.width())) << "the stream holds more than its rows";
    const Handed handed = RunStream(input, kept);
    for (int s = 0; s < 4; ++s) {
        SCOPED_TRACE(testing::Message() << "stage " << kStageNames[s]);
        std::vector<int> order;
        bool late = false;
        const int reach = s < 2 ? ops::kFilterReach : ops::kChainReach;
        for (const Handed::Row& row : handed.rows)
            if (row.stage == s) {
                order.push_back(row.y);
                if (row.rowsIn > std::min(row.y + reach, h - 1) + 1 && !late) {
                    late = true;
                    ADD_FAILURE() << "row " << row.y << " handed out only after " << row.rowsIn << " rows went in";
                }
            }
        if (!(kept.Has(ops::kAllStages[s]))) {
            EXPECT_TRUE(order.empty()) << order.size() << " rows of a stage not kept";
            continue;
        }
        std::vector<int> expected(static_cast<std::size_t>(h));
        for (int y = 0; y < h; ++y) expected[y] = y;
        EXPECT_EQ(order, expected) << "rows not handed out once each, in order";
        EXPECT_TRUE(ops_test::SamePixels(handed.stages[s], whole[s]));
    }
}

// ---------------------------------------------------------------------------
// Byte for byte, on generated pictures of every kind and shape

struct ChainCase {
    std::string name;
    Kind kind;
    std::vector<Size> sizes;
    std::uint32_t seed;
};
void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

std::vector<ChainCase> ChainCases() {
    const std::pair<const char*, Kind> kinds[] = {{"Strokes", Kind::kStrokes},
                                                  {"Blobs", Kind::kBlobs},
                                                  {"Noise", Kind::kNoise},
                                                  {"NearThreshold", Kind::kNearThreshold}};
    std::vector<std::pair<std::string, std::vector<Size>>> shapes;
    shapes.push_back({"Tiny", {{1, 1}, {1, 2}, {2, 1}, {2, 2}, {1, 3}, {3, 1}, {2, 3}, {3, 2}, {3, 3}, {4, 4}, {5, 3}, {3, 5}}});
    std::vector<Size> reach;  // heights 30 to 45, about the reach of the chain
    for (int h = 30; h <= 45; ++h) reach.push_back({std::array{17, 64, 65, 130}[h % 4], h});
    shapes.push_back({"HeightsAroundTheReach", reach});
    std::mt19937 rng(1606);
    for (const char* name : {"RandomSizesA", "RandomSizesB"}) {
        std::vector<Size> sizes;
        for (int i = 0; i < 12; ++i) sizes.push_back({1 + int(rng() % 300), 1 + int(rng() % 300)});
        shapes.push_back({name, sizes});
    }
    shapes.push_back({"VeryWide", {{5000, 3}, {5000, 1}, {5000, 2}, {4097, 7}}});
    shapes.push_back({"VeryTall", {{3, 5000}, {1, 5000}, {2, 5000}, {7, 4097}}});
    std::vector<ChainCase> cases;
    std::uint32_t seed = 100;
    for (const auto& [kindName, kind] : kinds)
        for (const auto& [shapeName, sizes] : shapes) cases.push_back({kindName + ("_" + shapeName), kind, sizes, seed++});
    return cases;
}

class OpsChainStreamExact : public testing::TestWithParam<ChainCase> {};

TEST_P(OpsChainStreamExact, EveryKeptMaskMatchesTheWholeChain) {
    const ChainCase& c = GetParam();
    std::uint32_t seed = c.seed * 1000;
    for (const Size size : c.sizes) {
        SCOPED_TRACE(ops_test::Name(size));
        const Picture input = Make(c.kind, size, seed++);
        const std::array<Picture, 4> whole = WholeChain(input);
        for (unsigned bits = 1; bits <= 15; ++bits) ExpectStreamMatches(input, whole, ops::StageSet::OfBits(bits));
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Pictures, OpsChainStreamExact, testing::ValuesIn(ChainCases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Thinning as a stream on two-level pictures no filter has smoothed:
// isolated pixels, checkerboards, lines one pixel wide.

struct ThinCase {
    const char* name;
    Size size;
    int blackPercent;
};
void PrintTo(const ThinCase& c, std::ostream* os) { *os << c.name; }

class OpsThinRows : public testing::TestWithParam<ThinCase> {};

TEST_P(OpsThinRows, MatchesThinOnRandomTwoLevelPictures) {
    const ThinCase& c = GetParam();
    std::mt19937 rng(static_cast<std::uint32_t>(c.size.w * 7919 + c.size.h * 31 + c.blackPercent));
    for (int round = 0; round < 4; ++round) {
        Picture pic(c.size.w, c.size.h);
        for (int y = 0; y < c.size.h; ++y)
            for (int x = 0; x < c.size.w; ++x)
                pic.set(x, y, static_cast<int>(rng() % 100) < c.blackPercent ? ops_test::kBlack : ops_test::kWhite);
        Picture expected = pic;
        ops::Thin(expected.view(), expected.view());

        ops::ThinRows thin(c.size.w, c.size.h);
        std::vector<std::uint8_t> level(static_cast<std::size_t>(c.size.w));
        std::vector<ops::ThinWord> bits(static_cast<std::size_t>(ops::ThinRowWords(c.size.w)));
        long wrong = 0;
        int expectedRow = 0;
        auto take = [&](const ops::ThinWord* row) {
            const int y = thin.rowsOut() - 1;
            ASSERT_EQ(y, expectedRow++);
            for (int x = 0; x < c.size.w; ++x)
                wrong += (((row[x / 64] >> (x % 64)) & 1) != 0) != (expected.blue(x, y) == 0);
            for (int x = c.size.w; x < 64 * ops::ThinRowWords(c.size.w); ++x)
                wrong += (row[x / 64] >> (x % 64)) & 1;  // nothing past the width
        };
        for (int y = 0; y < c.size.h; ++y) {
            for (int x = 0; x < c.size.w; ++x) level[x] = pic.blue(x, y);
            ops::PackForegroundRow(level.data(), bits.data(), c.size.w);
            thin.Push(bits.data());
            while (const ops::ThinWord* row = thin.Next()) take(row);
        }
        EXPECT_EQ(expectedRow, c.size.h) << "rows handed out";
        EXPECT_EQ(wrong, 0) << "pixels differing in round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, OpsThinRows,
                         testing::Values(ThinCase{"Sparse47x33", {47, 33}, 20}, ThinCase{"Half47x33", {47, 33}, 50},
                                         ThinCase{"Dense47x33", {47, 33}, 85}, ThinCase{"Half64x40", {64, 40}, 50},
                                         ThinCase{"Dense65x41", {65, 41}, 80}, ThinCase{"Half129x3", {129, 3}, 50},
                                         ThinCase{"Dense3x129", {3, 129}, 90}, ThinCase{"Half200x200", {200, 200}, 50},
                                         ThinCase{"Dense1000x37", {1000, 37}, 75}),
                         [](const auto& info) { return std::string(info.param.name); });

// Gray m goes into the stream as the pixel (m, m, m): the gray row decides
// as Binarize does on that pixel, for every m.
TEST(OpsChainStreamRows, GrayBinarizesAsTheGrayPixel) {
    Picture pic(256, 1);
    std::vector<std::uint8_t> gray(256), level(256);
    for (int m = 0; m < 256; ++m) {
        pic.set(m, 0, {std::uint8_t(m), std::uint8_t(m), std::uint8_t(m)});
        gray[m] = static_cast<std::uint8_t>(m);
    }
    ops::Binarize(pic.view());
    ops::BinarizeGrayRow(gray.data(), level.data(), 256);
    for (int m = 0; m < 256; ++m) EXPECT_EQ(level[m], pic.blue(m, 0)) << "gray " << m;
}

// ---------------------------------------------------------------------------
// Memory flat in the height

// A stroke picture made a row at a time: lines across, down and aslant.
void StrokeRow(int y, std::vector<std::uint8_t>& row) {
    const int w = static_cast<int>(row.size() / 3);
    for (int x = 0; x < w; ++x) {
        const bool ink = (x % 23 < 5) || (y % 31 < 7) || ((x + y) % 41 < 4);
        row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = ink ? 30 : 220;
    }
}

struct HeapUse {
    long long peak, total;
};

// The heap of one stream's whole life, all stages kept.
HeapUse StreamHeap(int width, int height) {
    std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
    std::uint32_t sum = 0;
    ArmHeapCount();
    {
        ops::ChainStream stream(width, height, kAllStages, [&](ops::Stage, int, const std::uint8_t* r) { sum += r[0]; });
        for (int y = 0; y < height; ++y) {
            StrokeRow(y, row);
            stream.Push(row.data());
        }
        stream.Finish();
    }
    const HeapUse use{heapCount.peak, heapCount.total};
    heapCount.armed = false;
    EXPECT_FALSE(heapCount.tableFull) << "more blocks at once than the count can follow";
    EXPECT_NE(sum, 0u);  // the rows did go through
    return use;
}

class OpsChainStreamMemory : public testing::TestWithParam<int> {};

TEST_P(OpsChainStreamMemory, FlatFrom2000To200000Rows) {
    const int width = GetParam();
    const HeapUse short_ = StreamHeap(width, 2000), tall = StreamHeap(width, 200000);
    EXPECT_EQ(tall.peak, short_.peak) << "bytes held at most";
    EXPECT_EQ(tall.total, short_.total) << "bytes allocated in all";
    // The count does see the stream: it holds at least a 24-bit row, and more for a wider picture.
    EXPECT_GE(short_.peak, 3LL * width);
    EXPECT_GT(StreamHeap(4 * width, 2000).peak, short_.peak);
}

INSTANTIATE_TEST_SUITE_P(Widths, OpsChainStreamMemory, testing::Values(2, 65, 300),
                         [](const auto& info) { return "Width" + std::to_string(info.param); });

// The same with settings: the reach and the rows held grow with the
// iterations, never with the height. A stream over a thinned stage (a pass
// of full thinning) and the first pass of Otsu's method too.
struct SettingsMemoryCase {
    const char* name;
    ops::ChainSettings settings;
    ops::StreamInput input;
    ops::StageSet kept;
};
void PrintTo(const SettingsMemoryCase& c, std::ostream* os) { *os << c.name; }

ops::ChainSettings WithSettings(ops::GraySource gray, ops::Threshold threshold, ops::ThinIterations thin) {
    ops::ChainSettings settings;
    settings.gray = gray;
    settings.threshold = threshold;
    settings.thin = thin;
    return settings;
}

HeapUse StreamHeapWith(int width, int height, const SettingsMemoryCase& c) {
    std::vector<std::uint8_t> row(3 * static_cast<std::size_t>(width));
    std::uint32_t sum = 0;
    ArmHeapCount();
    if (c.kept.empty()) {
        ops::FilteredHistogram histogram(width, height, c.settings.gray);
        for (int y = 0; y < height; ++y) {
            StrokeRow(y, row);
            histogram.Push(row.data());
        }
        sum += static_cast<std::uint32_t>(histogram.Finish()[30]);
    } else {
        ops::ChainStream stream(width, height, c.kept, c.settings, c.input,
                                [&](ops::Stage, int, const std::uint8_t* r) { sum += r[0] + 1; });
        for (int y = 0; y < height; ++y) {
            StrokeRow(y, row);
            stream.Push(row.data());
        }
        stream.Finish();
    }
    const HeapUse use{heapCount.peak, heapCount.total};
    heapCount.armed = false;
    EXPECT_FALSE(heapCount.tableFull) << "more blocks at once than the count can follow";
    EXPECT_NE(sum, 0u);  // the rows did go through
    return use;
}

class OpsChainStreamMemorySettings : public testing::TestWithParam<SettingsMemoryCase> {};

TEST_P(OpsChainStreamMemorySettings, FlatFrom2000To30000Rows) {
    for (const int width : {2, 65, 300}) {
        SCOPED_TRACE("width " + std::to_string(width));
        const HeapUse short_ = StreamHeapWith(width, 2000, GetParam()), tall = StreamHeapWith(width, 30000, GetParam());
        EXPECT_EQ(tall.peak, short_.peak) << "bytes held at most";
        EXPECT_EQ(tall.total, short_.total) << "bytes allocated in all";
        EXPECT_GE(short_.peak, width) << "the count sees the stream";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, OpsChainStreamMemorySettings,
    testing::Values(
        SettingsMemoryCase{"Luma", WithSettings(ops::GraySource::kLuma, ops::Threshold(), ops::ThinIterations()),
                           ops::StreamInput::kPicture, kAllStages},
        SettingsMemoryCase{"Level60Thin1",
                           WithSettings(ops::GraySource::kBlue, ops::Threshold::Level(60), ops::ThinIterations::Count(1)),
                           ops::StreamInput::kPicture, kAllStages},
        SettingsMemoryCase{"Thin20",
                           WithSettings(ops::GraySource::kBlue, ops::Threshold(), ops::ThinIterations::Count(20)),
                           ops::StreamInput::kPicture, kAllStages},
        SettingsMemoryCase{"FullFirstPass", WithSettings(ops::GraySource::kBlue, ops::Threshold(), ops::ThinIterations::Full()),
                           ops::StreamInput::kPicture, kAllStages},
        SettingsMemoryCase{"FullLaterPass", WithSettings(ops::GraySource::kBlue, ops::Threshold(), ops::ThinIterations::Full()),
                           ops::StreamInput::kThinned, ops::kStageC | ops::kStageD},
        SettingsMemoryCase{"OtsuFirstPass", WithSettings(ops::GraySource::kLuma, ops::Threshold::Otsu(), ops::ThinIterations()),
                           ops::StreamInput::kPicture, ops::StageSet()}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// An exception from the sink

struct SinkFailure {
    char stage;
    int y;
};

struct ThrowCase {
    const char* name;
    char stage;
    int y;
};
void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class OpsChainStreamSinkThrows : public testing::TestWithParam<ThrowCase> {};

TEST_P(OpsChainStreamSinkThrows, PassesThroughUnchanged) {
    const ThrowCase& c = GetParam();
    const Picture input = Make(Kind::kBlobs, {61, 50}, 77);
    int handedAfter = 0;
    bool thrown = false;
    ops::ChainStream stream(61, 50, kAllStages, [&](ops::Stage stageOf, int y, const std::uint8_t*) {
        const char stage = ops::LetterOf(stageOf);
        if (thrown) ++handedAfter;
        if (stage == c.stage && y == c.y) {
            thrown = true;
            throw SinkFailure{stage, y};
        }
    });
    try {
        for (int y = 0; y < input.height(); ++y) stream.Push(input.row(y));
        stream.Finish();
        FAIL() << "nothing thrown";
    } catch (const SinkFailure& failure) {
        EXPECT_EQ(failure.stage, c.stage);
        EXPECT_EQ(failure.y, c.y);
    }
    EXPECT_EQ(handedAfter, 0) << "rows handed out after the sink threw";
}

INSTANTIATE_TEST_SUITE_P(Stages, OpsChainStreamSinkThrows,
                         testing::Values(ThrowCase{"FirstRowOfA", 'A', 0}, ThrowCase{"MiddleRowOfB", 'B', 20},
                                         ThrowCase{"RowOfCInTheTail", 'C', 45}, ThrowCase{"LastRowOfD", 'D', 49}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
