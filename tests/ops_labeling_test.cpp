// Labeling: every pixel keeps its blue byte and gets green 1 and red 1. The
// plain form leaves every LabelGrid cell under the picture holding 1 and
// touches no other cell; the fast form touches no cell at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ops/labeling.h"
#include "ops_test_pictures.h"

namespace {

using ops_test::Picture;
using ops_test::Pixel;

const std::vector<ops_test::Form> kForms{{"Label", ops::Label}, {"LabelReference", ops::LabelReference}};

struct Cell {
    int x, y;
    std::int32_t value;
};

// Runs a form on a copy of `input` with `kept` cells set beforehand, besides
// sentinels just beyond the picture's right and bottom edges and something
// other than the mark under the picture, where the grid has those cells.
// Checks the pixels and the padding; then, for the plain form, that the grid
// grew by itself to hold the picture, every cell under it holds the mark and
// the cells outside the picture kept their values; for the fast form, that
// the grid was left alone: its size and every cell as they were.
void ExpectForm(const ops_test::Form& form, const Picture& input, std::vector<Cell> kept = {}) {
    SCOPED_TRACE(form.name);
    const bool marks = form.run == ops::LabelReference;
    const int w = input.width(), h = input.height(), columns = ops::LabelGrid.columns(), rows = ops::LabelGrid.rows();
    std::vector<Cell> under;
    for (int x = 0; x <= w && x < columns; ++x)
        for (int y = 0; y <= h && y < rows; ++y)
            if (x < w && y < h)
                under.push_back({x, y, -77 - x - y});
            else
                kept.push_back({x, y, 1000 * x - y});
    for (const Cell& c : under) ops::LabelGrid.at(c.x, c.y) = c.value;
    for (const Cell& c : kept) ops::LabelGrid.at(c.x, c.y) = c.value;
    Picture pic = input, expected = input;
    form.run(pic.view());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) expected.set(x, y, {input.blue(x, y), 1, 1});
    EXPECT_TRUE(ops_test::SamePixels(pic, expected));
    EXPECT_EQ(pic.PaddingDamage(), "");
    if (marks) {
        ASSERT_GE(ops::LabelGrid.columns(), w);
        ASSERT_GE(ops::LabelGrid.rows(), h);
        long unmarked = 0;
        for (int x = 0; x < w; ++x)
            for (int y = 0; y < h; ++y) unmarked += ops::LabelGrid.at(x, y) != ops::kLabelValue;
        EXPECT_EQ(unmarked, 0) << "cells under the picture not holding the mark";
    } else {
        EXPECT_EQ(ops::LabelGrid.columns(), columns);
        EXPECT_EQ(ops::LabelGrid.rows(), rows);
        long touched = 0;
        for (const Cell& c : under) touched += ops::LabelGrid.at(c.x, c.y) != c.value;
        EXPECT_EQ(touched, 0) << "cells under the picture changed by the fast form";
    }
    for (const Cell& c : kept) EXPECT_EQ(ops::LabelGrid.at(c.x, c.y), c.value) << "cell " << c.x << ", " << c.y;
}

// Odd sizes, and sizes one short of the grid's first 640 x 480.
TEST(OpsLabeling, KeepsBlueAndMarksEveryCell) {
    std::vector<ops_test::Size> sizes = ops_test::kOddSizes;
    sizes.insert(sizes.end(), {{639, 2}, {3, 479}});
    std::mt19937 rng(6000);
    for (const ops_test::Size size : sizes) {
        SCOPED_TRACE(ops_test::Name(size));
        const Picture input = ops_test::RandomPicture(size.w, size.h, rng);
        for (const ops_test::Form& form : kForms) ExpectForm(form, input);
    }
}

// Whatever the pixel, it comes out with its blue byte, green 1 and red 1.
TEST(OpsLabeling, PixelsBecomeBlueOneOne) {
    const Pixel cases[][2] = {{ops_test::kBlack, {0, 1, 1}},
                              {ops_test::kWhite, {255, 1, 1}},
                              {{1, 200, 3}, {1, 1, 1}},
                              {{128, 0, 255}, {128, 1, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(ops_test::Describe(c[0]));
        Picture pic(3, 2), expected(3, 2);
        pic.Fill(c[0]);
        expected.Fill(c[1]);
        ops_test::ExpectForms(kForms, pic, expected);
    }
}

// Pictures wider or higher than the grid make the plain form's grid grow;
// what the grid held outside the picture stays at its column and row.
TEST(OpsLabeling, GridGrowsAndKeepsCellsOutsideThePicture) {
    std::mt19937 rng(62);
    for (const ops_test::Size size : {ops_test::Size{700, 3}, ops_test::Size{4, 500}})
        for (const ops_test::Form& form : kForms) {
            SCOPED_TRACE(ops_test::Name(size));
            const int lastColumn = ops::LabelGrid.columns() - 1, lastRow = ops::LabelGrid.rows() - 1;
            ExpectForm(form, ops_test::RandomPicture(size.w, size.h, rng),
                       {{5, 13, 1234}, {lastColumn, 4, -1234}, {lastColumn, lastRow, 99}, {600, 470, -7}});
        }
}

// LabelPixel takes the cell's value, leaves the mark and returns the
// magnitude of what it took; a second call takes the mark. Neighbouring
// cells stay as they were.
TEST(OpsLabeling, LabelPixelTakesMarksAndReturnsMagnitude) {
    const std::int32_t cases[][2] = {{0, 0}, {255, 255}, {-7, 7}, {123456, 123456}, {-2147483647, 2147483647}};
    for (const auto& c : cases) {
        ops::LabelGrid.at(5, 7) = c[0];
        ops::LabelGrid.at(5, 8) = 4444;
        ops::LabelGrid.at(6, 7) = -4444;
        EXPECT_EQ(ops::LabelPixel(5, 7), c[1]) << "stored " << c[0];
        EXPECT_EQ(ops::LabelGrid.at(5, 7), ops::kLabelValue);
        EXPECT_EQ(ops::LabelPixel(5, 7), ops::kLabelValue);
        EXPECT_EQ(ops::LabelGrid.at(5, 8), 4444);
        EXPECT_EQ(ops::LabelGrid.at(6, 7), -4444);
    }
}

}  // namespace

// Pictures long one way and then the other must not make the grid hold the
// product of their sizes; cells inside every layout keep their values.
TEST(OpsGrid, GrowingStaysWithinFourTimesThePicture) {
    ops::ColumnGrid grid;
    grid.at(0, 0) = 42;
    const ops_test::Size steps[] = {{700, 3}, {100000, 1}, {1, 100000}, {640, 480}, {3000, 2000}};
    for (const ops_test::Size step : steps) {
        SCOPED_TRACE(ops_test::Name(step));
        grid.Fit(step.w, step.h);
        EXPECT_GE(grid.columns(), step.w);
        EXPECT_GE(grid.rows(), step.h);
        const std::uint64_t picture = std::max<std::uint64_t>(std::uint64_t(step.w) * step.h, 640 * 480);
        EXPECT_LE(std::uint64_t(grid.columns()) * std::uint64_t(grid.rows()), 4 * picture);
        EXPECT_EQ(grid.at(0, 0), 42);
    }
    // The first growth kept the whole first layout.
    ops::ColumnGrid kept;
    kept.at(639, 479) = 7;
    kept.Fit(700, 3);
    EXPECT_EQ(kept.at(639, 479), 7);
}

// After a large picture the grid goes back to its first size, keeping the
// cells there; cells it did not hold there come back as zeros.
TEST(OpsGrid, ShrinkingKeepsTheFirstLayoutsCells) {
    ops::ColumnGrid grid;
    grid.at(3, 4) = 11;
    grid.at(639, 479) = 12;
    grid.Fit(2000, 900);
    grid.at(639, 100) = 13;
    grid.at(1999, 899) = 14;
    grid.Shrink();
    EXPECT_EQ(grid.columns(), ops::ColumnGrid::kInitialColumns);
    EXPECT_EQ(grid.rows(), ops::ColumnGrid::kInitialRows);
    EXPECT_EQ(grid.at(3, 4), 11);
    EXPECT_EQ(grid.at(639, 479), 12);
    EXPECT_EQ(grid.at(639, 100), 13);
    // Laid out afresh for a long thin picture, the grid held no row past the
    // first: those rows come back as zeros.
    grid.Fit(100000, 1);
    ASSERT_LT(grid.rows(), ops::ColumnGrid::kInitialRows);
    grid.at(5, 0) = 15;
    grid.Shrink();
    EXPECT_EQ(grid.at(5, 0), 15);
    EXPECT_EQ(grid.at(5, 1), 0);
    EXPECT_EQ(grid.at(639, 479), 0);
}
