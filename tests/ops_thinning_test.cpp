// Thinning: nine iterations of four directional sub-passes (north-west,
// north-east, south-west, south-east), each deciding on the picture as it
// stood when the sub-pass began. Foreground is blue 0; a deleted pixel
// becomes (255, 255, 255); nothing else is ever written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ops/thinning.h"
#include "ops_test_pictures.h"

namespace {

using ops_test::Drawn;
using ops_test::kBlack;
using ops_test::kWhite;
using ops_test::Picture;
using ops_test::Pixel;
using ops_test::SamePixels;

// The whole thinning, one sub-pass at a time with a read copy and a write copy.
Picture ExpectedThin(const Picture& in) {
    constexpr int kDx[8] = {-1, 0, 1, 1, 1, 0, -1, -1};  // clockwise from the north-west
    constexpr int kDy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
    const int w = in.width(), h = in.height();
    Picture write = in, read = in;
    for (int iteration = 0; iteration < 9; ++iteration)
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
                    if (count >= 2 && count <= 6 && steps == 1 && first == 0 && second == 0) write.set(x, y, kWhite);
                }
            read = write;
        }
    return write;
}

// Runs both forms on a read copy and a write copy of `input` (the write copy
// with its own line padding when asked) and checks that both copies end as
// `expected`, padding intact.
void ExpectBothForms(const Picture& input, const Picture& expected, int writePadding = -1) {
    const std::pair<const char*, void (*)(const ops::RowView&, const ops::RowView&)> forms[] = {
        {"Thin", ops::Thin}, {"ThinReference", ops::ThinReference}};
    for (const auto& [name, run] : forms) {
        SCOPED_TRACE(name);
        Picture read = input, write = writePadding >= 0 ? input.WithPadding(writePadding) : input;
        run(read.view(), write.view());
        EXPECT_TRUE(SamePixels(write, expected)) << "in WriteBitmap";
        EXPECT_TRUE(SamePixels(read, expected)) << "in ReadBitmap";
        EXPECT_EQ(read.PaddingDamage(), "") << "in ReadBitmap";
        EXPECT_EQ(write.PaddingDamage(), "") << "in WriteBitmap";
    }
}

// Both forms against the recomputation; returns the result.
Picture ThinChecked(const Picture& input) {
    Picture expected = ExpectedThin(input);
    ExpectBothForms(input, expected);
    return expected;
}

Picture WhitePicture(int w, int h) {
    Picture pic(w, h);
    pic.Fill(kWhite);
    return pic;
}

// Random two-level pictures with stray bytes: noise of a given density, or
// filled rectangles and discs (some thick enough to last all nine
// iterations) with holes punched in. Foreground pixels carry random green and
// red; some background pixels have blue 1, 2, 127, 128 or 254 and random
// green and red.
Picture Noise(int w, int h, int density, std::mt19937& rng) {
    Picture pic = WhitePicture(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (int(rng() % 100) < density) pic.set(x, y, kBlack);
    return pic;
}

Picture Blobs(int w, int h, std::mt19937& rng) {
    Picture pic = WhitePicture(w, h);
    for (int i = 0; i < 2 + w * h / 400; ++i) {
        const int cx = int(rng() % (w + 11)) - 5, cy = int(rng() % (h + 11)) - 5;
        const long a = 1 + rng() % 40, b = 1 + rng() % 40;
        const bool hole = i > 0 && rng() % 4 == 0, disc = rng() % 2;
        for (int y = std::max(0, int(cy - b)); y < std::min(h, int(cy + b + 1)); ++y)
            for (int x = std::max(0, int(cx - a)); x < std::min(w, int(cx + a + 1)); ++x)
                if (!disc || (x - cx) * (x - cx) * b * b + (y - cy) * (y - cy) * a * a <= a * a * b * b)
                    pic.set(x, y, hole ? kWhite : kBlack);
    }
    return pic;
}

Picture Scramble(Picture pic, std::mt19937& rng, int oddBackgroundPercent) {
    const std::uint8_t oddBlues[] = {1, 2, 127, 128, 254};
    for (int y = 0; y < pic.height(); ++y)
        for (int x = 0; x < pic.width(); ++x)
            if (pic.blue(x, y) == 0 ? rng() % 2 == 0 : int(rng() % 100) < oddBackgroundPercent)
                pic.set(x, y, {pic.blue(x, y) == 0 ? std::uint8_t(0) : oddBlues[rng() % 5], std::uint8_t(rng()),
                               std::uint8_t(rng())});
    return pic;
}

// Besides the odd sizes (those under three across pass through unchanged):
// widths around whole 64-pixel words, and long narrow pictures.
TEST(OpsThinning, BothFormsMatchOnRandomPictures) {
    std::vector<ops_test::Size> sizes = ops_test::kOddSizes;
    sizes.insert(sizes.end(), {{2, 9}, {63, 23}, {64, 23}, {65, 23}, {129, 23}, {3, 60}, {60, 3}});
    std::mt19937 rng(4000);
    for (const ops_test::Size size : sizes) {
        SCOPED_TRACE(ops_test::Name(size));
        const int densities[] = {45, 10, 70, 92};
        for (int i = 0; i < (size.w * size.h > 100000 ? 2 : 7); ++i)  // the large size is slow to recompute
            ThinChecked(i % 2 ? Scramble(Blobs(size.w, size.h, rng), rng, 5 * (i / 2))
                              : Scramble(Noise(size.w, size.h, densities[i / 2], rng), rng, 10));
    }
}

// Shapes far from square, where rows are few or short: the fast form packs
// narrow rows end to end (a word holds parts of many rows, and a row's
// neighbours are an odd number of bits away) and, from 512 across, rounds
// rows up to whole words. Widths around whole words and around 512 on
// either side of that; one and two across (or down) pass through unchanged.
TEST(OpsThinning, BothFormsMatchOnNarrowAndWideShapes) {
    const ops_test::Size sizes[] = {{3, 5000}, {5000, 3}, {4, 3000}, {3000, 4}, {9, 1500},  {1500, 9},
                                    {65, 200}, {200, 65}, {1, 5000}, {5000, 1}, {2, 5000},  {5000, 2},
                                    {63, 90},  {64, 90},  {65, 90},  {127, 50}, {128, 50},  {129, 50},
                                    {447, 24}, {448, 24}, {449, 24}, {511, 24}, {512, 24},  {513, 24},
                                    {575, 21}, {576, 21}, {577, 21}, {1025, 9}, {1023, 11}, {13, 1001}};
    std::mt19937 rng(4100);
    for (const ops_test::Size size : sizes) {
        SCOPED_TRACE(ops_test::Name(size));
        const int densities[] = {45, 10, 70, 92};
        for (int i = 0; i < 6; ++i)
            ThinChecked(i % 2 ? Scramble(Blobs(size.w, size.h, rng), rng, 5 * (i / 2))
                              : Scramble(Noise(size.w, size.h, densities[i / 2], rng), rng, 10));
    }
}

// The two working pictures are reached each through its own rows; their
// lines need not be equally long.
TEST(OpsThinning, ReadAndWriteWithDifferentLinePadding) {
    std::mt19937 rng(41);
    for (const int writePadding : {1, 6, 13}) {
        SCOPED_TRACE("write padding " + std::to_string(writePadding));
        const Picture input = Scramble(Blobs(71, 40, rng), rng, 5);
        ExpectBothForms(input, ExpectedThin(input), writePadding);
    }
}

// The fast form may be given one picture as both: it reads the picture
// whole before it writes a pixel.
TEST(OpsThinning, FastFormOnOnePictureAsBoth) {
    std::mt19937 rng(43);
    for (const ops_test::Size size : {ops_test::Size{1, 1}, ops_test::Size{2, 9}, ops_test::Size{47, 33},
                                      ops_test::Size{65, 23}, ops_test::Size{640, 48}}) {
        SCOPED_TRACE(ops_test::Name(size));
        for (int i = 0; i < 4; ++i) {
            Picture picture = i % 2 ? Scramble(Blobs(size.w, size.h, rng), rng, 5)
                                    : Scramble(Noise(size.w, size.h, 45, rng), rng, 10);
            const Picture expected = ExpectedThin(picture);
            ops::Thin(picture.view(), picture.view());
            EXPECT_TRUE(SamePixels(picture, expected));
            EXPECT_EQ(picture.PaddingDamage(), "");
        }
    }
}

// Drawn by hand, before and after.
TEST(OpsThinning, DrawnCases) {
    const struct {
        const char* name;
        std::vector<std::string> before, after;
    } cases[] = {
        {"2x2 block goes", {"....", ".##.", ".##.", "...."}, {"....", "....", "....", "...."}},
        {"3x3 square leaves its centre",
         {".....", ".###.", ".###.", ".###.", "....."},
         {".....", ".....", "..#..", ".....", "....."}},
        {"4x10 rectangle",
         {"............", ".##########.", ".##########.", ".##########.", ".##########.", "............"},
         {"............", "............", "............", "...######...", "............", "............"}},
        {"10x10 square",
         {"............", ".##########.", ".##########.", ".##########.", ".##########.", ".##########.",
          ".##########.", ".##########.", ".##########.", ".##########.", ".##########.", "............"},
         {"............", "............", "............", "............", "............", "............",
          ".....##.....", "............", "............", "............", "............", "............"}},
        {"all foreground", {"#####", "#####", "#####", "#####"}, {"#####", "#####", "#####", "#####"}},
        // Three across: only the middle column may change. Both ends of the
        // spur go in the first sub-pass (each has two neighbours and one
        // step); the middle is then an end of the stub on the left and stays.
        {"3 across", {"...", ".#.", "##.", ".#.", "..."}, {"...", "...", "##.", "...", "..."}},
        {"3 down", {"..#..", ".###.", "....."}, {"..#..", "..#..", "....."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(SamePixels(ExpectedThin(Drawn(c.before)), Drawn(c.after))) << "the recomputation disagrees";
        ExpectBothForms(Drawn(c.before), Drawn(c.after));
    }
}

// Only the blue byte decides. A 2 x 2 block of (B0, G200, R200) is
// foreground and goes white, every pixel decided on the block as it stood;
// the same pixel on the border is never visited. With (B1, G0, R0) in one
// corner of the block the foreground is an L of three pixels, which keeps its
// corner; the blue-1 pixel stays as it was (were it foreground, all would go).
TEST(OpsThinning, OnlyBlueZeroIsForeground) {
    const Pixel tinted{0, 200, 200}, almostBlack{1, 0, 0};
    Picture block = WhitePicture(5, 5), blockAfter = WhitePicture(5, 5);
    block.Fill(tinted, 1, 1, 2, 2);
    block.set(4, 4, tinted);
    blockAfter.set(4, 4, tinted);
    ExpectBothForms(block, blockAfter);
    Picture ell = WhitePicture(4, 4), ellAfter = WhitePicture(4, 4);
    ell.Fill(tinted, 1, 1, 2, 2);
    ell.set(2, 2, almostBlack);
    ellAfter.set(1, 1, tinted);
    ellAfter.set(2, 2, almostBlack);
    ExpectBothForms(ell, ellAfter);
}

// How far nine iterations get into a square: up to side 38 two adjacent
// pixels are left; at 39 seven and at 40 fourteen, inside the 3 x 3 (odd
// side) or 4 x 4 (even side) box at the centre; at 41 twenty-three.
class OpsThinningSquare : public testing::TestWithParam<int> {};

TEST_P(OpsThinningSquare, KeepsWhatNineIterationsLeave) {
    const int side = GetParam();
    const int margin = 3, box = side % 2 == 1 ? 3 : 4, boxStart = margin + (side - box) / 2;
    Picture pic = WhitePicture(side + 2 * margin, side + 2 * margin);
    pic.Fill(kBlack, margin, margin, side, side);
    const Picture result = ThinChecked(pic);
    std::vector<std::pair<int, int>> left;
    for (int y = 0; y < result.height(); ++y)
        for (int x = 0; x < result.width(); ++x)
            if (result.blue(x, y) == 0) left.emplace_back(x, y);
    const std::size_t count = side <= 38 ? 2 : side == 39 ? 7 : side == 40 ? 14 : 23;
    ASSERT_EQ(left.size(), count);
    if (side <= 38) {
        EXPECT_LE(std::abs(left[0].first - left[1].first), 1);
        EXPECT_LE(std::abs(left[0].second - left[1].second), 1);
    }
    for (const auto& [x, y] : left)
        if (side == 39 || side == 40) {
            EXPECT_TRUE(x >= boxStart && x < boxStart + box && y >= boxStart && y < boxStart + box) << x << ", " << y;
        }
}

INSTANTIATE_TEST_SUITE_P(SidesFourToFortyOne, OpsThinningSquare, testing::Range(4, 42),
                         [](const testing::TestParamInfo<int>& info) { return "side" + std::to_string(info.param); });

// A long bar loses at most two layers per side per iteration: 37 thick it
// ends one pixel wide, 40 thick it ends as a band of four rows.
TEST(OpsThinning, LongBarsEndAsBands) {
    for (const auto& [thickness, band] : {std::pair{37, 1}, std::pair{40, 4}}) {
        SCOPED_TRACE("thickness " + std::to_string(thickness));
        const int w = 140;
        Picture pic = WhitePicture(w, thickness + 6);
        pic.Fill(kBlack, 3, 3, w - 6, thickness);
        const Picture result = ThinChecked(pic);
        int firstRow = -1;
        for (int x = 50; x < w - 50; ++x) {
            std::vector<int> rows;
            for (int y = 0; y < result.height(); ++y)
                if (result.blue(x, y) == 0) rows.push_back(y);
            ASSERT_EQ(int(rows.size()), band) << "column " << x;
            EXPECT_EQ(rows.back() - rows.front() + 1, band) << "column " << x;
            if (firstRow < 0) firstRow = rows.front();
            EXPECT_EQ(rows.front(), firstRow) << "column " << x;
        }
    }
}

// A bar 7 thick right across the picture: the border columns keep their 7
// pixels, and between them the bar becomes a line along its fifth row.
TEST(OpsThinning, BarAcrossTheWholeWidth) {
    const int w = 30, top = 4;
    Picture pic = WhitePicture(w, 15);
    pic.Fill(kBlack, 0, top, w, 7);
    const Picture result = ThinChecked(pic);
    for (int x : {0, w - 1})
        for (int y = 0; y < 15; ++y)
            EXPECT_EQ(result.blue(x, y) == 0, y >= top && y < top + 7) << "(" << x << ", " << y << ")";
    for (int x = 1; x < w - 1; ++x) EXPECT_EQ(result.blue(x, top + 4), 0) << "column " << x;
    for (int x = 4; x < w - 4; ++x)  // away from the border columns, nothing but that line
        for (int y = 0; y < 15; ++y)
            if (y != top + 4) {
                EXPECT_NE(result.blue(x, y), 0) << "(" << x << ", " << y << ")";
            }
}

}  // namespace
