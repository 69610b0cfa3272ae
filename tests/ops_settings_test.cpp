// The chain's settings on the whole-picture operations: their words; the
// defaults give the bytes of the forms without settings; the filter reading
// the rounded BT.601 luma; the threshold N (white when 299 R + 587 G +
// 114 B > 1000 N, a gray m white when m > N); Otsu's method on hand-made
// histograms and on pictures; the thinning's N iterations and full
// thinning. Both forms of each operation (fast and plain) are held to a
// recomputation here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/settings.h"
#include "ops/thinning.h"
#include "ops_test_pictures.h"

namespace {

using ops::ChainSettings;
using ops::GraySource;
using ops::ThinIterations;
using ops::Threshold;
using ops_test::kBlack;
using ops_test::kWhite;
using ops_test::Picture;
using ops_test::Pixel;
using ops_test::SamePixels;

// ---------------------------------------------------------------------------
// The words

TEST(OpsSettingsWords, EachSettingReadsItsWordsAndRefusesOthers) {
    const struct {
        const char* text;
        bool gray, threshold, thin;  // taken as such a setting
    } cases[] = {
        {"blue", true, false, false}, {"luma", true, false, false},  {"Blue", false, false, false},
        {"0", false, true, true},     {"126", false, true, true},    {"255", false, true, true},
        {"007", false, true, true},   {"256", false, false, true},   {"1000", false, false, true},
        {"1001", false, false, false}, {"0126", false, false, true}, {"otsu", false, true, false},
        {"full", false, false, true}, {"", false, false, false},     {"-1", false, false, false},
        {"+9", false, false, false},  {"9 ", false, false, false},   {"12a", false, false, false},
        {"Otsu", false, false, false}, {"FULL", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        EXPECT_EQ(ops::GraySourceOfText(c.text).has_value(), c.gray);
        EXPECT_EQ(Threshold::OfText(c.text).has_value(), c.threshold);
        EXPECT_EQ(ThinIterations::OfText(c.text).has_value(), c.thin);
    }
}

TEST(OpsSettingsWords, WordsReadBackAsWritten) {
    for (const GraySource gray : {GraySource::kBlue, GraySource::kLuma})
        EXPECT_EQ(ops::GraySourceOfText(ops::TextOf(gray)), gray);
    for (const Threshold threshold : {Threshold(), Threshold::Level(0), Threshold::Level(255), Threshold::Otsu()}) {
        EXPECT_EQ(Threshold::OfText(threshold.Text()), threshold) << threshold.Text();
    }
    for (const ThinIterations thin : {ThinIterations(), ThinIterations::Count(0), ThinIterations::Count(1000),
                                      ThinIterations::Full()}) {
        EXPECT_EQ(ThinIterations::OfText(thin.Text()), thin) << thin.Text();
    }
    EXPECT_EQ(Threshold::OfText("007")->level(), 7);
    EXPECT_EQ(ThinIterations::OfText("20")->count(), 20);
}

TEST(OpsSettingsWords, TheDefaultsAreTheChainsOwn) {
    const ChainSettings defaults;
    EXPECT_TRUE(defaults.IsDefault());
    EXPECT_EQ(ops::TextOf(defaults), "gray blue threshold 126 thin 9");
    ChainSettings luma;
    luma.gray = GraySource::kLuma;
    luma.threshold = Threshold::Otsu();
    luma.thin = ThinIterations::Full();
    EXPECT_FALSE(luma.IsDefault());
    EXPECT_EQ(ops::TextOf(luma), "gray luma threshold otsu thin full");
    EXPECT_EQ(Threshold().weightedSum(), 126000) << "today's rule: 299 R + 587 G + 114 B > 126000";
}

// ---------------------------------------------------------------------------
// The defaults give the bytes of the forms without settings

TEST(OpsSettingsDefaults, EveryFormGivesTheBytesOfTheFormWithoutSettings) {
    std::mt19937 rng(2300);
    for (const ops_test::Size size : ops_test::kOddSizes) {
        SCOPED_TRACE(ops_test::Name(size));
        const Picture input = ops_test::RandomPicture(size.w, size.h, rng);
        const ChainSettings defaults;
        Picture a = input, b = input;
        ops::Filter(a.view());
        ops::Filter(b.view(), defaults.gray);
        EXPECT_TRUE(SamePixels(b, a)) << "Filter";
        Picture c = input;
        ops::FilterReference(c.view(), defaults.gray);
        EXPECT_TRUE(SamePixels(c, a)) << "FilterReference";

        Picture d = a, e = a, f = a;
        ops::Binarize(d.view());
        EXPECT_EQ(ops::Binarize(e.view(), defaults.threshold), 126);
        EXPECT_EQ(ops::BinarizeReference(f.view(), defaults.threshold), 126);
        EXPECT_TRUE(SamePixels(e, d)) << "Binarize";
        EXPECT_TRUE(SamePixels(f, d)) << "BinarizeReference";

        Picture g = d, h = d, k = d, kw = d;
        ops::Thin(g.view(), g.view());
        ops::Thin(h.view(), h.view(), defaults.thin);
        ops::ThinReference(k.view(), kw.view(), defaults.thin);
        EXPECT_TRUE(SamePixels(h, g)) << "Thin";
        EXPECT_TRUE(SamePixels(kw, g)) << "ThinReference";
        EXPECT_EQ(h.PaddingDamage(), "");
    }
}

// ---------------------------------------------------------------------------
// Luma

// The nearest whole number to sum / 1000, the upper one when two are as near.
int NearestThousandth(int sum) {
    const int below = sum / 1000;
    return 1000 * (below + 1) - sum <= sum - 1000 * below ? below + 1 : below;
}

TEST(OpsLuma, EveryColourIsItsWeightedSumRoundedHalfUp) {
    long wrong = 0;
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b)
                wrong += ops::LumaOf(std::uint8_t(b), std::uint8_t(g), std::uint8_t(r)) !=
                         NearestThousandth(299 * r + 587 * g + 114 * b);
    EXPECT_EQ(wrong, 0);
}

TEST(OpsLuma, ColoursWorkedByHand) {
    const struct {
        const char* name;
        Pixel colour;
        int luma;
    } cases[] = {
        {"pure blue: 29.07", {255, 0, 0}, 29},   {"pure green: 149.685", {0, 255, 0}, 150},
        {"pure red: 76.245", {0, 0, 255}, 76},    {"white", {255, 255, 255}, 255},
        {"black", {0, 0, 0}, 0},                  {"blue 250: 28.5 goes up", {250, 0, 0}, 29},
        {"blue 249: 28.386", {249, 0, 0}, 28},    {"gray 126 stays 126", {126, 126, 126}, 126},
        {"red 1: 0.299", {0, 0, 1}, 0},           {"red 2: 0.598", {0, 0, 2}, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(ops::LumaOf(c.colour.b, c.colour.g, c.colour.r), c.luma) << c.name;
}

// Five medians of `start` (one value a pixel, row by row), edges replicated.
std::vector<int> Medians(std::vector<int> cur, int w, int h) {
    std::vector<int> next(cur.size());
    for (int pass = 0; pass < 5; ++pass) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int nine[9], k = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        nine[k++] = cur[std::clamp(y + dy, 0, h - 1) * w + std::clamp(x + dx, 0, w - 1)];
                std::nth_element(nine, nine + 4, nine + 9);
                next[y * w + x] = nine[4];
            }
        cur.swap(next);
    }
    return cur;
}

Picture ExpectedLumaFilter(const Picture& in) {
    const int w = in.width(), h = in.height();
    std::vector<int> luma(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Pixel p = in.at(x, y);
            luma[y * w + x] = ops::LumaOf(p.b, p.g, p.r);
        }
    const std::vector<int> medians = Medians(luma, w, h);
    Picture out = in;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto v = static_cast<std::uint8_t>(medians[y * w + x]);
            out.set(x, y, {v, v, v});
        }
    return out;
}

// The sizes of the filter's own test: odd ones, narrow pictures made in
// strips, and pictures wider than 32768 made in bands of columns (where the
// next band's left columns are read before this band writes them).
TEST(OpsLuma, BothFilterFormsTakeTheMediansOfTheLumas) {
    std::vector<ops_test::Size> sizes = ops_test::kOddSizes;
    sizes.insert(sizes.end(), {{2, 9}, {127, 70}, {128, 70}, {257, 4}, {3, 500}, {32769, 4}, {40000, 3}});
    const std::vector<ops_test::Form> forms{
        {"Filter", [](const ops::RowView& v) { ops::Filter(v, GraySource::kLuma); }},
        {"FilterReference", [](const ops::RowView& v) { ops::FilterReference(v, GraySource::kLuma); }}};
    std::mt19937 rng(2301);
    for (const ops_test::Size size : sizes) {
        SCOPED_TRACE(ops_test::Name(size));
        const Picture noise = ops_test::RandomPicture(size.w, size.h, rng);
        ops_test::ExpectForms(forms, noise, ExpectedLumaFilter(noise));
        // Patches of colours whose blue bytes say otherwise than their lumas.
        Picture patches = noise;
        const Pixel colours[] = {{255, 0, 0}, {0, 0, 255}, {40, 220, 200}, {230, 30, 20}};
        for (int y = 0; y < size.h; ++y)
            for (int x = 0; x < size.w; ++x)
                if (rng() % 100 >= 10) patches.set(x, y, colours[(x / 7 + y / 5) % 4]);
        ops_test::ExpectForms(forms, patches, ExpectedLumaFilter(patches));
    }
}

// Strokes of ink on paper (240, 240, 240), filtered and binarized at 126:
// blue ink has a high blue byte and vanishes when the filter reads blue,
// and stays dark when it reads the luma; red and black ink are dark either
// way; yellow ink, whose blue byte is low, is dark only in blue.
TEST(OpsLuma, BlueInkStaysDarkWithLuma) {
    const struct {
        const char* name;
        Pixel ink;
        bool darkInBlue, darkInLuma;
    } cases[] = {
        {"blue ink (R30 G40 B200), luma 55", {200, 40, 30}, false, true},
        {"pure blue ink, luma 29", {255, 0, 0}, false, true},
        {"red ink (R200 G30 B30), luma 81", {30, 30, 200}, true, true},
        {"black ink", {20, 20, 20}, true, true},
        {"yellow ink (R240 G230 B20), luma 209", {20, 230, 240}, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const GraySource gray : {GraySource::kBlue, GraySource::kLuma}) {
            SCOPED_TRACE(ops::TextOf(gray));
            Picture pic(60, 40);
            pic.Fill({240, 240, 240});
            pic.Fill(c.ink, 10, 15, 40, 8);  // a stroke 8 pixels thick
            ops::Filter(pic.view(), gray);
            ops::Binarize(pic.view(), Threshold());
            int dark = 0, darkPaper = 0;
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 60; ++x) {
                    const bool inStroke = x >= 10 && x < 50 && y >= 15 && y < 23;
                    (inStroke ? dark : darkPaper) += pic.blue(x, y) == 0;
                }
            const bool expectDark = gray == GraySource::kBlue ? c.darkInBlue : c.darkInLuma;
            // The median rounds the stroke's corners: 4 pixels of 320 at most.
            if (expectDark)
                EXPECT_GE(dark, 316) << "stroke pixels black";
            else
                EXPECT_EQ(dark, 0) << "stroke pixels black";
            EXPECT_EQ(darkPaper, 0) << "paper pixels black";
        }
    }
}

// ---------------------------------------------------------------------------
// The threshold N

const std::vector<int> kLevels{0, 1, 25, 125, 126, 127, 200, 254, 255};

// A gray pixel m is white exactly when m > N, both forms, at every level.
TEST(OpsThreshold, GrayIsWhiteAboveTheLevel) {
    for (const int n : kLevels) {
        SCOPED_TRACE("N = " + std::to_string(n));
        Picture pic(256, 1), expected(256, 1);
        for (int m = 0; m < 256; ++m) {
            pic.set(m, 0, {std::uint8_t(m), std::uint8_t(m), std::uint8_t(m)});
            expected.set(m, 0, m > n ? kWhite : kBlack);
        }
        for (const bool plain : {false, true}) {
            Picture out = pic;
            EXPECT_EQ(plain ? ops::BinarizeReference(out.view(), Threshold::Level(n))
                            : ops::Binarize(out.view(), Threshold::Level(n)),
                      n);
            EXPECT_TRUE(SamePixels(out, expected)) << (plain ? "BinarizeReference" : "Binarize");
        }
        // The row of gray bytes the stream binarizes decides the same.
        std::vector<std::uint8_t> gray(256), level(256);
        for (int m = 0; m < 256; ++m) gray[m] = static_cast<std::uint8_t>(m);
        ops::BinarizeGrayRow(gray.data(), level.data(), 256, n);
        for (int m = 0; m < 256; ++m) EXPECT_EQ(level[m], expected.blue(m, 0)) << "gray row, m = " << m;
    }
}

// Worked by hand at the edges of the mapping.
TEST(OpsThreshold, BoundariesWorkedByHand) {
    const struct {
        const char* name;
        int n;
        Pixel colour;
        bool white;
    } cases[] = {
        {"gray 126 at 126 (today's rule)", 126, {126, 126, 126}, false},
        {"gray 127 at 126 (today's rule)", 126, {127, 127, 127}, true},
        {"gray 0 at 0: 0 is not above 0", 0, {0, 0, 0}, false},
        {"red 1 at 0: 299 > 0", 0, {0, 0, 1}, true},
        {"white at 255: 255000 is not above 255000", 255, {255, 255, 255}, false},
        {"white at 254", 254, {255, 255, 255}, true},
        {"(R0 G2 B209) at 25: exactly 25000", 25, {209, 2, 0}, false},
        {"(R1 G2 B209) at 25: 25299", 25, {209, 2, 1}, true},
        {"pure green at 149: 149685", 149, {0, 255, 0}, true},
        {"pure green at 150: 149685", 150, {0, 255, 0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Picture pic(3, 2), expected(3, 2);
        pic.Fill(c.colour);
        expected.Fill(c.white ? kWhite : kBlack);
        for (const bool plain : {false, true}) {
            Picture out = pic;
            if (plain)
                ops::BinarizeReference(out.view(), Threshold::Level(c.n));
            else
                ops::Binarize(out.view(), Threshold::Level(c.n));
            EXPECT_TRUE(SamePixels(out, expected)) << (plain ? "BinarizeReference" : "Binarize");
            EXPECT_EQ(out.PaddingDamage(), "");
        }
    }
}

// All 2^24 colours at several levels: 299 R + 587 G + 114 B > 1000 N.
TEST(OpsThreshold, EveryColourAtSeveralLevels) {
    Picture pic(256, 256, 3);
    for (const int n : {0, 1, 25, 127, 200, 255}) {
        SCOPED_TRACE("N = " + std::to_string(n));
        long wrong = 0;
        for (const bool plain : {false, true})
            for (int r = 0; r < 256; ++r) {
                for (int g = 0; g < 256; ++g)
                    for (int b = 0; b < 256; ++b) pic.set(b, g, {std::uint8_t(b), std::uint8_t(g), std::uint8_t(r)});
                if (plain)
                    ops::BinarizeReference(pic.view(), Threshold::Level(n));
                else
                    ops::Binarize(pic.view(), Threshold::Level(n));
                for (int g = 0; g < 256; ++g)
                    for (int b = 0; b < 256; ++b)
                        wrong += !(pic.at(b, g) == (299 * r + 587 * g + 114 * b > 1000 * n ? kWhite : kBlack));
            }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(pic.PaddingDamage(), "");
    }
}

// ---------------------------------------------------------------------------
// Otsu's method

ops::GrayHistogram HistogramOfCounts(const std::vector<std::pair<int, std::uint64_t>>& counts) {
    ops::GrayHistogram histogram{};
    for (const auto& [level, count] : counts) histogram[level] += count;
    return histogram;
}

// Each worked by hand in its name: the classes, and why this split.
TEST(OpsOtsu, HandMadeHistograms) {
    constexpr std::uint64_t k = std::uint64_t{1} << 55;
    const struct {
        const char* name;
        std::vector<std::pair<int, std::uint64_t>> counts;
        int t;
    } cases[] = {
        {"no pixels: no split, the default 126", {}, 126},
        {"one level 200: no split, 126", {{200, 1000}}, 126},
        {"one level 0: no split, 126", {{0, 7}}, 126},
        {"one level 255: no split, 126", {{255, 1}}, 126},
        {"two levels 40 and 200: every t from 40 to 199 splits them alike; the lowest", {{40, 5}, {200, 1000}}, 40},
        {"two levels 0 and 255", {{0, 1}, {255, 1}}, 0},
        {"two neighbouring levels 126 and 127", {{126, 3}, {127, 30}}, 126},
        {"two levels 254 and 255", {{254, 1}, {255, 1}}, 254},
        // {10,20}|{200,210}: 2 * 2 * (15 - 205)^2 = 144400, against
        // {10}|{20,200,210} and {10,20,200}|{210}: 1 * 3 * (400/3)^2 = 53333.
        {"four levels 10, 20, 200, 210: between 20 and 200", {{10, 1}, {20, 1}, {200, 1}, {210, 1}}, 20},
        // Two humps centred on 20 and 160, four pixels each: split between
        // them (t = 30 to 149), 4 * 4 * (160 - 20)^2 = 313600; at t = 20,
        // {10,20,20}|{30,...}: 3 * 5 * (134 - 50/3)^2 = 206507, and at
        // t = 150 the same by symmetry.
        {"bimodal: humps at 10-30 and 150-170", {{10, 1}, {20, 2}, {30, 1}, {150, 1}, {160, 2}, {170, 1}}, 30},
        // {0}|{100,200}: 1 * 2 * (0 - 150)^2 = 45000; {0,100}|{200}:
        // 2 * 1 * (50 - 200)^2 = 45000: a tie between t = 0 and t = 100.
        {"three equal levels 0, 100, 200: a tie; the lowest", {{0, 1}, {100, 1}, {200, 1}}, 0},
        {"the same tie at 2^40 pixels a level", {{0, 1ull << 40}, {100, 1ull << 40}, {200, 1ull << 40}}, 0},
        // k pixels at 0 and 100, k + 1 at 200, k = 2^55: the split at 100
        // beats the one at 0 by k (15000 k + 5000) / (2 k + 1) in variance
        // times n^2, a part in 6 k = 2^57.6 of it: beyond a double's 53 bits.
        {"k, k, k + 1 pixels at 0, 100, 200: the extra pixel tips it", {{0, k}, {100, k}, {200, k + 1}}, 100},
        {"k + 1, k, k pixels at 0, 100, 200: the other way", {{0, k + 1}, {100, k}, {200, k}}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ops::OtsuThreshold(HistogramOfCounts(c.counts)), c.t) << c.name;
}

// Against the other form of Otsu's criterion: the split with the least
// within-class variance w0 var0 + w1 var1 (which with the between-class
// variance adds up to the total), worked in long double, on random
// histograms of pixel counts (where splits are almost never close).
TEST(OpsOtsu, MatchesTheLeastWithinClassVarianceOnRandomHistograms) {
    std::mt19937_64 rng(2302);
    for (int round = 0; round < 300; ++round) {
        ops::GrayHistogram histogram{};
        const int levels = 2 + static_cast<int>(rng() % 60);
        const int spread = 1 + static_cast<int>(rng() % 255);
        const std::uint64_t scale = std::uint64_t{1} << (rng() % 30);
        for (int i = 0; i < levels; ++i) histogram[rng() % (spread + 1)] += 1 + rng() % (scale * 50);
        int lo = 0, hi = 255;
        while (histogram[lo] == 0) ++lo;
        while (histogram[hi] == 0) --hi;
        if (lo == hi) continue;
        int best = -1;
        long double least = 0;
        for (int t = lo; t < hi; ++t) {
            long double within = 0;
            for (const auto& [from, to] : {std::pair{0, t}, std::pair{t + 1, 255}}) {
                long double n = 0, sum = 0;
                for (int v = from; v <= to; ++v) n += histogram[v], sum += static_cast<long double>(histogram[v]) * v;
                const long double mean = sum / n;
                for (int v = from; v <= to; ++v) within += histogram[v] * (v - mean) * (v - mean);
            }
            if (best < 0 || within < least * (1 - 1e-15L)) best = t, least = within;
        }
        EXPECT_EQ(ops::OtsuThreshold(histogram), best) << "round " << round;
    }
}

// On pictures: Binarize with Otsu's method takes the level of the picture's
// histogram, and binarizes as that level does; HistogramOf counts each
// pixel's truncated luma.
TEST(OpsOtsu, BinarizeTakesTheLevelOfThePicturesHistogram) {
    Picture pic(5, 2);
    const Pixel pixels[] = {{10, 10, 10}, {10, 10, 10}, {12, 12, 12}, {200, 200, 200}, {210, 210, 210},
                            {205, 205, 205}, {11, 11, 11}, {0, 0, 255}, {255, 0, 0}, {209, 2, 0}};
    for (int i = 0; i < 10; ++i) pic.set(i % 5, i / 5, pixels[i]);
    const ops::GrayHistogram histogram = ops::HistogramOf(pic.view());
    // The levels: 10, 10, 12, 200, 210, 205, 11, 76 (pure red), 29 (pure
    // blue), 25 ((R0 G2 B209) is exactly 25000).
    EXPECT_EQ(histogram, HistogramOfCounts({{10, 2}, {11, 1}, {12, 1}, {25, 1}, {29, 1}, {76, 1},
                                            {200, 1}, {205, 1}, {210, 1}}));
    const int t = ops::OtsuThreshold(histogram);
    for (const bool plain : {false, true}) {
        Picture otsu = pic, level = pic;
        EXPECT_EQ(plain ? ops::BinarizeReference(otsu.view(), Threshold::Otsu()) : ops::Binarize(otsu.view(), Threshold::Otsu()),
                  t);
        ops::Binarize(level.view(), Threshold::Level(t));
        EXPECT_TRUE(SamePixels(otsu, level)) << (plain ? "BinarizeReference" : "Binarize");
    }
    Picture empty(0, 3);
    EXPECT_EQ(ops::Binarize(empty.view(), Threshold::Otsu()), 126) << "a picture of no pixels";
}

// A dim photo of strokes: paper about 120, ink about 40, noise. The
// default threshold makes the paper black, but for a few specks; Otsu's
// level keeps at least 95 % of it white and the strokes black.
TEST(OpsOtsu, ADimPhotoOfStrokesKeepsItsPaperWhite) {
    const int w = 300, h = 200;
    std::mt19937 rng(2303);
    Picture photo(w, h);
    std::vector<bool> ink(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool stroke = (x % 50 >= 20 && x % 50 < 26) || (y % 40 >= 10 && y % 40 < 15) ||
                                std::abs((x + 2 * y) % 90 - 45) < 4;
            ink[y * w + x] = stroke;
            const int base = stroke ? 40 : 120, noise = static_cast<int>(rng() % 31) - 15;
            const int v = std::clamp(base + noise + (rng() % 50 == 0 ? 60 : 0), 0, 255);
            photo.set(x, y, {std::uint8_t(std::max(0, v - 10)), std::uint8_t(v), std::uint8_t(std::min(255, v + 5))});
        }
    for (const bool otsu : {false, true}) {
        SCOPED_TRACE(otsu ? "Otsu" : "126");
        Picture pic = photo;
        ops::Filter(pic.view(), GraySource::kLuma);
        ops::Binarize(pic.view(), otsu ? Threshold::Otsu() : Threshold());
        long paper = 0, whitePaper = 0, strokes = 0, blackStrokes = 0;
        // Away from the strokes' edges, where the median moves them.
        for (int y = 2; y < h - 2; ++y)
            for (int x = 2; x < w - 2; ++x) {
                bool near = false;
                for (int dy = -2; dy <= 2; ++dy)
                    for (int dx = -2; dx <= 2; ++dx) near |= ink[(y + dy) * w + x + dx] != ink[y * w + x];
                if (near) continue;
                if (ink[y * w + x])
                    ++strokes, blackStrokes += pic.blue(x, y) == 0;
                else
                    ++paper, whitePaper += pic.blue(x, y) == 255;
            }
        if (otsu) {
            EXPECT_GE(whitePaper * 100, paper * 95) << whitePaper << " of " << paper << " paper pixels white";
            EXPECT_GE(blackStrokes * 100, strokes * 95) << blackStrokes << " of " << strokes << " stroke pixels black";
        } else {
            EXPECT_LE(whitePaper * 20, paper) << whitePaper << " of " << paper << " paper pixels white: the default "
                                                 "threshold should leave the paper black";
        }
    }
}

// ---------------------------------------------------------------------------
// Thinning: N iterations, full

struct Thinned {
    Picture picture;
    bool lastChanged;  // the last iteration deleted a pixel
    int iterations;    // run
};

// The thinning one sub-pass at a time with a read copy and a write copy,
// as the thinning's own test does it, for N iterations or until one
// deletes nothing.
Thinned ExpectedThin(const Picture& in, ThinIterations thin) {
    constexpr int kDx[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
    constexpr int kDy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
    const int w = in.width(), h = in.height();
    Picture write = in, read = in;
    bool changed = false;
    int iteration = 0;
    for (; thin.full() ? iteration == 0 || changed : iteration < thin.count(); ++iteration) {
        changed = false;
        for (int sub = 1; sub <= 4; ++sub) {
            for (int y = 1; y <= h - 2; ++y)
                for (int x = 1; x <= w - 2; ++x) {
                    if (read.blue(x, y) != 0) continue;
                    int flag[9], count = 0, steps = 0;
                    for (int k = 0; k < 8; ++k) flag[k] = read.blue(x + kDx[k], y + kDy[k]) == 0;
                    flag[8] = flag[0];
                    for (int k = 0; k < 8; ++k) count += flag[k], steps += !flag[k] && flag[k + 1];
                    const int n = flag[1], e = flag[3], s = flag[5], wf = flag[7];
                    const int first = (sub == 1 || sub == 3) ? n * wf * s : n * e * s;
                    const int second = (sub == 1 || sub == 2) ? n * wf * e : s * wf * e;
                    if (count >= 2 && count <= 6 && steps == 1 && first == 0 && second == 0) {
                        write.set(x, y, kWhite);
                        changed = true;
                    }
                }
            read = write;
        }
    }
    return {write, changed, iteration};
}

// Both forms, on a read and a write copy, against the recomputation.
Picture ThinChecked(const Picture& input, ThinIterations thin) {
    const Thinned expected = ExpectedThin(input, thin);
    for (const bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "ThinReference" : "Thin");
        Picture read = input, write = input;
        const bool changed = plain ? ops::ThinReference(read.view(), write.view(), thin)
                                   : ops::Thin(read.view(), write.view(), thin);
        EXPECT_TRUE(SamePixels(write, expected.picture)) << "in WriteBitmap";
        EXPECT_TRUE(SamePixels(read, expected.picture)) << "in ReadBitmap";
        EXPECT_EQ(changed, expected.lastChanged) << "whether the last iteration deleted a pixel";
        EXPECT_EQ(write.PaddingDamage(), "");
    }
    return expected.picture;
}

Picture Disk(int radius, int margin) {
    const int side = 2 * radius + 1 + 2 * margin, c = radius + margin;
    Picture pic(side, side);
    pic.Fill(kWhite);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            if ((x - c) * (x - c) + (y - c) * (y - c) <= radius * radius) pic.set(x, y, kBlack);
    return pic;
}

// Random two-level pictures: noise and thick blobs (some 80 across).
Picture RandomTwoLevel(ops_test::Size size, std::mt19937& rng, bool blobs) {
    Picture pic(size.w, size.h);
    pic.Fill(kWhite);
    if (!blobs) {
        for (int y = 0; y < size.h; ++y)
            for (int x = 0; x < size.w; ++x)
                if (rng() % 100 < 45) pic.set(x, y, kBlack);
        return pic;
    }
    for (int i = 0; i < 2 + size.w * size.h / 600; ++i) {
        const int cx = static_cast<int>(rng() % (size.w + 1)), cy = static_cast<int>(rng() % (size.h + 1));
        const int r = 1 + static_cast<int>(rng() % 40);
        const bool hole = i > 0 && rng() % 4 == 0;
        for (int y = std::max(0, cy - r); y < std::min(size.h, cy + r + 1); ++y)
            for (int x = std::max(0, cx - r); x < std::min(size.w, cx + r + 1); ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) pic.set(x, y, hole ? kWhite : kBlack);
    }
    return pic;
}

struct ThinCase {
    const char* name;
    ThinIterations thin;
};

class OpsThinSettings : public testing::TestWithParam<ThinCase> {};

TEST_P(OpsThinSettings, BothFormsMatchTheRecomputation) {
    const ThinIterations thin = GetParam().thin;
    std::vector<ops_test::Size> sizes = ops_test::kOddSizes;
    sizes.insert(sizes.end(), {{2, 9}, {3, 3}, {65, 23}, {129, 40}, {3, 200}, {200, 3}, {90, 90}});
    std::mt19937 rng(2304);
    for (const ops_test::Size size : sizes) {
        if (size.w * size.h > 100000) continue;  // slow to recompute
        SCOPED_TRACE(ops_test::Name(size));
        for (int i = 0; i < 4; ++i) ThinChecked(RandomTwoLevel(size, rng, i % 2 == 1), thin);
    }
}

// A disk of radius 40, 81 across. Full thinning leaves what one more
// iteration leaves as it is: the thinning's own rule finds nothing more to
// take. N iterations leave the same as full thinning exactly when one more
// iteration deletes nothing; nine are too few, as an iteration takes at most
// two layers from either side (81 - 4 * 9 > 1).
TEST_P(OpsThinSettings, ADiskOfRadiusForty) {
    const ThinIterations thin = GetParam().thin;
    const Picture disk = Disk(40, 3);
    const Picture result = ThinChecked(disk, thin);
    const Picture full = ExpectedThin(disk, ThinIterations::Full()).picture;
    Picture again = result, written = result;
    const bool more = ops::Thin(again.view(), written.view(), ThinIterations::Count(1));
    EXPECT_EQ(more, !static_cast<bool>(SamePixels(result, full))) << "one more iteration deletes a pixel";
    if (thin.full()) {
        EXPECT_FALSE(more);
    } else if (thin.count() == 0) {
        EXPECT_TRUE(SamePixels(result, disk));
        EXPECT_TRUE(more);
    } else if (thin.count() <= 9) {
        EXPECT_TRUE(more);
    }
    long black = 0;
    for (int y = 0; y < full.height(); ++y)
        for (int x = 0; x < full.width(); ++x) black += full.blue(x, y) == 0;
    EXPECT_GT(black, 0) << "full thinning keeps the disk's pixel";
}

INSTANTIATE_TEST_SUITE_P(Iterations, OpsThinSettings,
                         testing::Values(ThinCase{"None", ThinIterations::Count(0)},
                                         ThinCase{"One", ThinIterations::Count(1)},
                                         ThinCase{"Nine", ThinIterations::Count(9)},
                                         ThinCase{"Twenty", ThinIterations::Count(20)},
                                         ThinCase{"Full", ThinIterations::Full()}),
                         [](const auto& info) { return std::string(info.param.name); });

// Full thinning is N iterations for any N past the last that deleted a
// pixel; and N iterations whose last deleted nothing are full thinning.
TEST(OpsThinFull, EqualsEnoughIterations) {
    std::mt19937 rng(2305);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Picture input = RandomTwoLevel({120, 90}, rng, true);
        const Thinned full = ExpectedThin(input, ThinIterations::Full());
        ASSERT_FALSE(full.lastChanged);
        // The iterations that deleted a pixel: all but the last run.
        const int deleting = full.iterations - 1;
        ASSERT_GE(deleting, 2) << "blobs this thick take more than two iterations";
        for (const int n : {deleting, deleting + 1, deleting + 4}) {
            Picture read = input, write = input;
            const bool changed = ops::Thin(read.view(), write.view(), ThinIterations::Count(n));
            EXPECT_TRUE(SamePixels(write, full.picture)) << n << " iterations";
            EXPECT_EQ(changed, n == deleting) << n << " iterations";
        }
        Picture read = input, write = input;
        EXPECT_TRUE(ops::Thin(read.view(), write.view(), ThinIterations::Count(deleting - 1)));
        EXPECT_FALSE(SamePixels(write, full.picture)) << "one iteration short";
    }
}

// Long bars: N iterations take up to two layers from either side each, so
// 9 leave a bar 80 thick 44 thick; full thinning leaves a line.
TEST(OpsThinFull, AThickBarEndsAsALine) {
    const int w = 200, thickness = 80;
    Picture pic(w, thickness + 6);
    pic.Fill(kWhite);
    pic.Fill(kBlack, 3, 3, w - 6, thickness);
    for (const auto& [thin, band] : {std::pair{ThinIterations::Count(9), 44}, std::pair{ThinIterations::Full(), 1}}) {
        SCOPED_TRACE(thin.Text());
        Picture read = pic, write = pic;
        ops::Thin(read.view(), write.view(), thin);
        for (int x = 70; x < w - 70; ++x) {
            int rows = 0;
            for (int y = 0; y < pic.height(); ++y) rows += write.blue(x, y) == 0;
            EXPECT_EQ(rows, band) << "column " << x;
        }
    }
}

}  // namespace
