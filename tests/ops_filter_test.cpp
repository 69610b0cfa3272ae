// Filter: five 3 x 3 medians of the blue channel with replicated edges,
// written gray. Both forms are checked against a plain recomputation here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ops/filter.h"
#include "ops_test_pictures.h"

namespace {

using ops_test::Picture;
using ops_test::SamePixels;

const std::vector<ops_test::Form> kForms{{"Filter", ops::Filter}, {"FilterReference", ops::FilterReference}};

// The blue channel after `passes` medians, row by row.
std::vector<int> BlueAfterPasses(const Picture& in, int passes) {
    const int w = in.width(), h = in.height();
    std::vector<int> cur(static_cast<std::size_t>(w) * h), next(cur.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) cur[y * w + x] = in.blue(x, y);
    for (int pass = 0; pass < passes; ++pass) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int nine[9], k = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)  // outside: the nearest pixel inside
                        nine[k++] = cur[std::clamp(y + dy, 0, h - 1) * w + std::clamp(x + dx, 0, w - 1)];
                std::nth_element(nine, nine + 4, nine + 9);
                next[y * w + x] = nine[4];
            }
        cur.swap(next);
    }
    return cur;
}

// Five passes, the result written gray.
Picture ExpectedFilter(const Picture& in) {
    const std::vector<int> blue = BlueAfterPasses(in, 5);
    Picture out = in;
    for (int y = 0; y < in.height(); ++y)
        for (int x = 0; x < in.width(); ++x) {
            const auto v = static_cast<std::uint8_t>(blue[y * in.width() + x]);
            out.set(x, y, {v, v, v});
        }
    return out;
}

// Random bytes, blocky pictures (plateaus with a little noise), which keep
// edges and plateaus through five passes where white noise does not, and
// stripes.
// Besides the odd sizes: widths around vector lengths and the 256-pixel
// chunks of the fast form, and narrow pictures, which the fast form makes
// in strips of many rows (4096 bytes' worth): one strip, several, a last
// strip of one row, and widths either side of 128, where strips stop; and
// pictures wider than 32768, which it makes in bands of 16384 columns: a
// last band of one column, of a few, of many.
TEST(OpsFilter, BothFormsMatchFiveReplicatedEdgeMedians) {
    std::vector<ops_test::Size> sizes = ops_test::kOddSizes;
    sizes.insert(sizes.end(), {{2, 9}, {9, 2}, {33, 5}, {257, 4}, {3, 5000}, {1, 3000}, {2, 2049}, {5000, 3},
                               {40, 200}, {40, 190}, {100, 121}, {127, 70}, {128, 70},
                               {32768, 3}, {32769, 4}, {32772, 2}, {40000, 3}, {49153, 1}});
    std::mt19937 rng(1000);
    for (const ops_test::Size size : sizes) {
        SCOPED_TRACE(ops_test::Name(size));
        const Picture noise = ops_test::RandomPicture(size.w, size.h, rng);
        ops_test::ExpectForms(kForms, noise, ExpectedFilter(noise));
        Picture blocky = noise;
        const int levels[4] = {int(rng() % 256), int(rng() % 256), int(rng() % 256), int(rng() % 256)};
        for (int y = 0; y < size.h; ++y)
            for (int x = 0; x < size.w; ++x)
                if (rng() % 100 >= 15) blocky.row(y)[3 * x] = std::uint8_t(levels[(x / 5 + y / 3) % 4]);
        ops_test::ExpectForms(kForms, blocky, ExpectedFilter(blocky));
        // Stripes one column wide flip at every pass, so a wrong value at
        // any column travels a column further each pass.
        Picture stripes = noise;
        for (int y = 0; y < size.h; ++y)
            for (int x = 0; x < size.w; ++x) stripes.row(y)[3 * x] = std::uint8_t((x + y / 7) % 2 ? 220 : 20);
        ops_test::ExpectForms(kForms, stripes, ExpectedFilter(stripes));
    }
}

// Whatever anything left in the grid outside the picture (here a ring of
// cells beyond its right and bottom edges and cells of the store's last row
// and column) neither shows in the result nor gets overwritten. The grid is
// first fitted to 640 x 480, as earlier pictures (say 49153 x 1) may have
// left it with no cells beyond this one's edges.
TEST(OpsFilter, IgnoresAndKeepsGridCellsOutsideThePicture) {
    ops::GrayGrid.Fit(ops::ColumnGrid::kInitialColumns, ops::ColumnGrid::kInitialRows);
    struct Cell {
        int x, y;
        std::int32_t value;
    };
    const int w = 9, h = 7, lastColumn = ops::GrayGrid.columns() - 1, lastRow = ops::GrayGrid.rows() - 1;
    std::vector<Cell> cells{{lastColumn, lastRow, -1}, {lastColumn, 0, 0x7fffffff}};
    for (int y = 0; y <= h; ++y) cells.push_back({w, y, 255 - 20 * y});
    for (int x = 0; x < w; ++x) cells.push_back({x, h, 250 - 20 * x});
    for (int x = 0; x <= w; ++x) cells.push_back({x, lastRow, 300 + x});
    std::mt19937 rng(21);
    const Picture input = ops_test::RandomPicture(w, h, rng);
    for (const ops_test::Form& form : kForms) {
        SCOPED_TRACE(form.name);
        for (const Cell& c : cells) ops::GrayGrid.at(c.x, c.y) = c.value;
        Picture pic = input;
        form.run(pic.view());
        EXPECT_TRUE(SamePixels(pic, ExpectedFilter(input)));
        for (const Cell& c : cells) EXPECT_EQ(ops::GrayGrid.at(c.x, c.y), c.value) << c.x << ", " << c.y;
    }
}

// A larger bright picture leaves its values all over the grid; a dark small
// picture filtered afterwards comes out as if it were the first.
TEST(OpsFilter, IndependentOfAnEarlierLargerRun) {
    std::mt19937 rng(22);
    Picture bright = ops_test::RandomPicture(200, 150, rng), small = ops_test::RandomPicture(6, 5, rng);
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 200; ++x) bright.row(y)[3 * x] = std::uint8_t(215 + bright.blue(x, y) % 40);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) small.row(y)[3 * x] %= 40;
    for (const ops_test::Form& earlier : kForms)
        for (const ops_test::Form& later : kForms) {
            SCOPED_TRACE(std::string(earlier.name) + " then " + later.name);
            Picture first = bright, pic = small;
            earlier.run(first.view());
            later.run(pic.view());
            EXPECT_TRUE(SamePixels(pic, ExpectedFilter(small)));
        }
}

// The plain form works through GrayGrid: afterwards the grid holds what the
// fifth pass copied in, and MedianPixel gives every pixel's result.
TEST(OpsFilter, PlainFormLeavesTheLastPassInGrayGrid) {
    std::mt19937 rng(23);
    Picture pic = ops_test::RandomPicture(47, 33, rng);
    const std::vector<int> fifthInput = BlueAfterPasses(pic, 4);
    ops::FilterReference(pic.view());
    int wrong = 0;
    for (int y = 0; y < 33; ++y)
        for (int x = 0; x < 47; ++x)
            wrong += ops::GrayGrid.at(x, y) != fifthInput[y * 47 + x] || ops::MedianPixel(x, y) != pic.blue(x, y);
    EXPECT_EQ(wrong, 0);
}

}  // namespace
