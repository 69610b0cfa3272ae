// Skeleton measures: hand-drawn pictures, each with its two tables worked
// out by hand from the definitions in ops/skeleton.h, the text of the
// tables and the summary line, and invariants over random pictures checked
// against a plain recomputation.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <numbers>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ops/skeleton.h"
#include "ops/skeleton_stream.h"
#include "ops/thinning.h"
#include "ops_test_pictures.h"

namespace ops {
void PrintTo(const SkeletonBranch& b, std::ostream* os) {
    *os << "{skeleton " << b.skeleton << " branch " << b.branch << " src (" << b.src_row << "," << b.src_col
        << ") dst (" << b.dst_row << "," << b.dst_col << ") length " << b.length << " euclidean " << b.euclidean
        << " type " << b.type << " slab " << b.slab_pixels << "}";
}
void PrintTo(const SkeletonFigures& s, std::ostream* os) {
    *os << "{skeleton " << s.skeleton << " at (" << s.row << "," << s.col << ") pixels " << s.pixels << " branches "
        << s.branches << " junctions " << s.junctions << " junction_pixels " << s.junction_pixels << " end_points "
        << s.end_points << " slab " << s.slab_pixels << " triple " << s.triple_points << " quadruple "
        << s.quadruple_points << " total " << s.total_length << " average " << s.average_branch_length
        << " maximum " << s.maximum_branch_length << " longest path " << s.longest_shortest_path << "}";
}
}  // namespace ops

namespace {

using ops::SkeletonBranch;
using ops::SkeletonFigures;
using ops_test::Drawn;
using ops_test::Picture;
using ops_test::RandomDrawing;

// A length of `straight` straight steps and `diagonal` diagonal ones.
double L(int straight, int diagonal) { return straight + diagonal * std::numbers::sqrt2; }
double Euclid(int rows, int cols) { return std::sqrt(double(rows * rows + cols * cols)); }

struct Case {
    const char* name;
    std::vector<std::string> rows;
    std::vector<SkeletonBranch> branches;
    std::vector<SkeletonFigures> skeletons;
};

// skeleton, branch, src row, src col, dst row, dst col, length, euclidean, type, slab pixels
// skeleton, row, col, pixels, branches, junctions, junction pixels, end points, slab pixels,
//   triple points, quadruple points, total, average, maximum, longest shortest path
const Case kCases[] = {
    {"WhitePicture", {"....", "....", "...."}, {}, {}},
    {"BlackPicture",  // the corners are notches: one junction of all twelve pixels
     {"####", "####", "####"},
     {},
     {{1, 0, 0, 12, 0, 1, 12, 0, 0, 0, 0, 0, 0, 0, 0}}},
    {"SingleDot", {"...", ".#.", "..."}, {}, {{1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}}},
    {"StraightLine",
     {".......", ".#####.", "......."},
     {{1, 1, 1, 1, 1, 5, 4, 4, 0, 3}},
     {{1, 1, 1, 5, 1, 0, 0, 2, 3, 0, 0, 4, 4, 4, 4}}},
    {"DiagonalLine",
     {"#....", ".#...", "..#..", "...#.", "....#"},
     {{1, 1, 0, 0, 4, 4, L(0, 4), Euclid(4, 4), 0, 3}},
     {{1, 0, 0, 5, 1, 0, 0, 2, 3, 0, 0, L(0, 4), L(0, 4), L(0, 4), L(0, 4)}}},
    {"LShape",  // the corner has two straight neighbours and no diagonal one
     {"#...", "#...", "####"},
     {{1, 1, 0, 0, 2, 3, 5, Euclid(2, 3), 0, 4}},
     {{1, 0, 0, 6, 1, 0, 0, 2, 4, 0, 0, 5, 5, 5, 5}}},
    {"TShape",
     {"#####", "..#..", "..#.."},
     {{1, 1, 0, 0, 0, 2, 2, 2, 1, 1}, {1, 2, 0, 2, 0, 4, 2, 2, 1, 1}, {1, 3, 0, 2, 2, 2, 2, 2, 1, 1}},
     {{1, 0, 0, 7, 3, 1, 1, 3, 3, 1, 0, 6, 2, 2, 4}}},
    {"Plus",
     {"..#..", "..#..", "#####", "..#..", "..#.."},
     {{1, 1, 0, 2, 2, 2, 2, 2, 1, 1},
      {1, 2, 2, 0, 2, 2, 2, 2, 1, 1},
      {1, 3, 2, 2, 2, 4, 2, 2, 1, 1},
      {1, 4, 2, 2, 4, 2, 2, 2, 1, 1}},
     {{1, 0, 2, 9, 4, 1, 1, 4, 4, 0, 1, 8, 2, 2, 4}}},
    {"FourConnectedStaircase",  // no pixel has three adjacent pixels
     {"##...", ".##..", "..##.", "...##"},
     {{1, 1, 0, 0, 3, 4, 7, 5, 0, 6}},
     {{1, 0, 0, 8, 1, 0, 0, 2, 6, 0, 0, 7, 7, 7, 7}}},
    {"BlobWithNotches",  // junction: the plus at the centre; the four corners are notches
     {".......", ".###...", ".######", ".###...", "......."},
     {{1, 1, 2, 3, 2, 6, 3, 3, 1, 2}},
     {{1, 1, 1, 12, 1, 1, 9, 1, 2, 0, 0, 3, 3, 3, 3}}},
    {"RingWithoutNode",
     {"###", "#.#", "###"},
     {{1, 1, 0, 0, 0, 0, 8, 0, 3, 8}},
     {{1, 0, 0, 8, 1, 0, 0, 0, 8, 0, 0, 8, 8, 8, 0}}},
    {"DiagonalRingWithoutNode",
     {".#.", "#.#", ".#."},
     {{1, 1, 0, 1, 0, 1, L(0, 4), 0, 3, 4}},
     {{1, 0, 1, 4, 1, 0, 0, 0, 4, 0, 0, L(0, 4), L(0, 4), L(0, 4), 0}}},
    {"TwoByTwoBlock", {"##", "##"}, {}, {{1, 0, 0, 4, 0, 1, 4, 0, 0, 0, 0, 0, 0, 0, 0}}},
    {"LoopOnAStroke",  // the eye of an "e": a loop from one junction pixel back to it
     {"..###", "..#.#", "#####"},
     {{1, 1, 2, 0, 2, 2, 2, 2, 1, 1}, {1, 2, 2, 2, 2, 2, 8, 0, 3, 7}},
     {{1, 0, 2, 10, 2, 1, 1, 1, 8, 1, 0, 10, 5, 8, 2}}},
    {"RingHangingOnAStroke",  // a junction of two pixels, a notch above it, a ring below
     {"...##.", ".#####", "...#.#", "...###"},
     {{1, 1, 1, 1, 1, 3, 2, 2, 1, 1}, {1, 2, 1, 3, 1, 4, 7, 1, 3, 6}},
     {{1, 0, 3, 12, 2, 1, 4, 1, 7, 1, 0, 9, 4.5, 7, 2}}},
    {"NotchOnAJunctionRoundAHole",  // the four-pixel diamond at the centre encloses (2,2) by itself:
                                    // the loop through (1,3) encloses nothing more, a notch; the one
                                    // through (3,0) and (4,1) encloses (3,1), a branch
     {"###..", "..##.", ".#.#.", "#.#.#", ".#..."},
     {{1, 1, 0, 0, 1, 2, 3, Euclid(1, 2), 1, 2},
      {1, 2, 2, 1, 3, 2, L(0, 3), Euclid(1, 1), 3, 2},
      {1, 3, 2, 3, 3, 4, L(0, 1), Euclid(1, 1), 1, 0}},
     {{1, 0, 0, 11, 3, 1, 5, 2, 4, 0, 1, L(3, 4), L(3, 4) / 3, L(0, 3), L(3, 1)}}},
    {"TwoJunctionsJoinedTwice",  // a cycle in the graph: the longest path takes the short side
     {"#####", ".#.#.", ".###."},
     {{1, 1, 0, 0, 0, 1, 1, 1, 1, 0},
      {1, 2, 0, 1, 0, 3, 2, 2, 2, 1},
      {1, 3, 0, 1, 0, 3, 6, 2, 2, 5},
      {1, 4, 0, 3, 0, 4, 1, 1, 1, 0}},
     {{1, 0, 0, 10, 4, 2, 2, 2, 6, 2, 0, 10, 2.5, 6, 4}}},
    {"TwoSkeletonsNumberedByFirstPixel",  // the V's first pixel is a slab pixel, above the dot
     {"..#....", ".#.#..#", "#...#.."},
     {{1, 1, 2, 0, 2, 4, L(0, 4), 4, 0, 3}},
     {{1, 0, 2, 5, 1, 0, 0, 2, 3, 0, 0, L(0, 4), L(0, 4), L(0, 4), L(0, 4)},
      {2, 1, 6, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}}},
    {"OneRowHigh",
     {"#.###.#"},
     {{2, 1, 0, 2, 0, 4, 2, 2, 0, 1}},
     {{1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
      {2, 0, 2, 3, 1, 0, 0, 2, 1, 0, 0, 2, 2, 2, 2},
      {3, 0, 6, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}}},
    {"TwoRowsHigh",
     {"###.#", "..#.#"},
     {{1, 1, 0, 0, 1, 2, 3, Euclid(1, 2), 0, 2}, {2, 1, 0, 4, 1, 4, 1, 1, 0, 0}},
     {{1, 0, 0, 4, 1, 0, 0, 2, 2, 0, 0, 3, 3, 3, 3}, {2, 0, 4, 2, 1, 0, 0, 2, 0, 0, 0, 1, 1, 1, 1}}},
};

class SkeletonDrawn : public ::testing::TestWithParam<Case> {};

TEST_P(SkeletonDrawn, GivesTheTablesWorkedOutByHand) {
    const Case& c = GetParam();
    Picture pic = Drawn(c.rows);
    const ops::SkeletonMeasures m = ops::MeasureSkeleton(pic.view());
    EXPECT_FALSE(m.not_two_level.has_value());
    EXPECT_EQ(m.branches, c.branches);
    EXPECT_EQ(m.skeletons, c.skeletons);
    ops::SkeletonTotals totals;
    totals.skeletons = static_cast<std::int64_t>(c.skeletons.size());
    for (const SkeletonFigures& s : c.skeletons) {
        totals.branches += s.branches;
        totals.junctions += s.junctions;
        totals.end_points += s.end_points;
    }
    EXPECT_EQ(m.totals.skeletons, totals.skeletons);
    EXPECT_EQ(m.totals.branches, totals.branches);
    EXPECT_EQ(m.totals.junctions, totals.junctions);
    EXPECT_EQ(m.totals.end_points, totals.end_points);
}

INSTANTIATE_TEST_SUITE_P(Pictures, SkeletonDrawn, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(SkeletonMeasure, AnEmptyPictureGivesEmptyTables) {
    for (const ops_test::Size size : {ops_test::Size{0, 0}, {0, 3}, {3, 0}}) {
        SCOPED_TRACE(ops_test::Name(size));
        Picture pic(size.w, size.h);
        const ops::SkeletonMeasures m = ops::MeasureSkeleton(pic.view());
        EXPECT_FALSE(m.not_two_level.has_value());
        EXPECT_TRUE(m.branches.empty());
        EXPECT_TRUE(m.skeletons.empty());
        EXPECT_EQ(m.totals, ops::SkeletonTotals{});
    }
}

TEST(SkeletonMeasure, APixelNeitherBlackNorWhiteIsNamedByRowAndColumn) {
    struct Off {
        const char* name;
        ops_test::Pixel value;
    };
    const Off offs[] = {{"Gray", {128, 128, 128}}, {"NearBlack", {0, 0, 1}}, {"NearWhite", {255, 254, 255}}};
    for (const Off& off : offs) {
        SCOPED_TRACE(off.name);
        Picture pic = Drawn({"#....", ".#...", "..#..", "....."});
        pic.set(3, 1, off.value);  // column 3, row 1: the first in raster order
        pic.set(0, 2, {7, 7, 7});
        const ops::SkeletonMeasures m = ops::MeasureSkeleton(pic.view());
        ASSERT_TRUE(m.not_two_level.has_value());
        EXPECT_EQ(*m.not_two_level, (ops::NotTwoLevel{1, 3}));
        EXPECT_TRUE(m.branches.empty());
        EXPECT_TRUE(m.skeletons.empty());
    }
}

TEST(SkeletonTables, AreWrittenWithHeadersAndRoundTripLengths) {
    Picture pic = Drawn({"#....", ".#...", "..#..", "...#.", "....#", "....."});
    const ops::SkeletonMeasures m = ops::MeasureSkeleton(pic.view());
    EXPECT_EQ(ops::BranchesCsv(m),
              "skeleton,branch,src_row,src_col,dst_row,dst_col,length,euclidean,type,slab_pixels\n"
              "1,1,0,0,4,4,5.6568542494923806,5.6568542494923806,0,3\n");
    EXPECT_EQ(ops::SkeletonsCsv(m),
              "skeleton,row,col,pixels,branches,junctions,junction_pixels,end_points,slab_pixels,triple_points,"
              "quadruple_points,total_length,average_branch_length,maximum_branch_length,longest_shortest_path\n"
              "1,0,0,5,1,0,0,2,3,0,0,5.6568542494923806,5.6568542494923806,5.6568542494923806,5.6568542494923806\n");
    EXPECT_EQ(std::stod("5.6568542494923806"), 4 * std::numbers::sqrt2);
}

TEST(SkeletonTables, HoldOnlyHeadersWithoutSkeletons) {
    Picture pic = Drawn({"...", "..."});
    const ops::SkeletonMeasures m = ops::MeasureSkeleton(pic.view());
    EXPECT_EQ(ops::BranchesCsv(m), "skeleton,branch,src_row,src_col,dst_row,dst_col,length,euclidean,type,slab_pixels\n");
    EXPECT_EQ(ops::SkeletonsCsv(m),
              "skeleton,row,col,pixels,branches,junctions,junction_pixels,end_points,slab_pixels,triple_points,"
              "quadruple_points,total_length,average_branch_length,maximum_branch_length,longest_shortest_path\n");
    EXPECT_EQ(ops::MeasureSummary(m.totals),
              "measure: 0 skeletons, 0 branches, 0 junctions, 0 end points, total length 0.0 px");
}

TEST(SkeletonTables, SummaryGivesTheTotalWithOneDecimal) {
    EXPECT_EQ(ops::MeasureSummary({12, 85, 40, 61, 5234.66}),
              "measure: 12 skeletons, 85 branches, 40 junctions, 61 end points, total length 5234.7 px");
    Picture pic = Drawn({"...##.", ".#####", "...#.#", "...###"});
    EXPECT_EQ(ops::MeasureSummary(ops::MeasureSkeleton(pic.view()).totals),
              "measure: 1 skeletons, 2 branches, 1 junctions, 1 end points, total length 9.0 px");
}

// ---- Lengths in millimetres ----

// A table's lines without their newlines.
std::vector<std::string> LinesOf(const std::string& table) {
    std::vector<std::string> lines;
    std::istringstream in(table);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> FieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    return fields;
}

// A number as a table writes it, read back; NaN when it is not one.
double ReadBack(const std::string& text) {
    double value = std::numeric_limits<double>::quiet_NaN();
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::numeric_limits<double>::quiet_NaN();
    return value;
}

struct MillimetreCase {
    const char* name;
    std::vector<std::string> rows;
    std::uint32_t pixelsPerMetre;
    // In pixels, row by row: each branch's length and Euclidean distance;
    // each skeleton's total, average and maximum branch length and longest
    // shortest path.
    std::vector<std::vector<double>> branches, skeletons;
};

const MillimetreCase kMillimetreCases[] = {
    // 300 dpi; ten pixels in a row are nine steps.
    {"StraightLineOfTenPixelsAt300Dpi", {"##########"}, 11811, {{9, 9}}, {{9, 9, 9, 9}}},
    {"DiagonalAt300Dpi",
     {"#....", ".#...", "..#..", "...#.", "....#"},
     11811,
     {{L(0, 4), Euclid(4, 4)}},
     {{L(0, 4), L(0, 4), L(0, 4), L(0, 4)}}},
    {"TShapeAt96Dpi", {"#####", "..#..", "..#.."}, 3780, {{2, 2}, {2, 2}, {2, 2}}, {{6, 2, 2, 4}}},
    // A thousand pixels a metre: a pixel is a millimetre.
    {"LShapeAtAPixelAMillimetre", {"#...", "#...", "####"}, 1000, {{5, Euclid(2, 3)}}, {{5, 5, 5, 5}}},
    {"TwoSkeletonsAt600Dpi",
     {"..#....", ".#.#..#", "#...#.."},
     23622,
     {{L(0, 4), 4}},
     {{L(0, 4), L(0, 4), L(0, 4), L(0, 4)}, {0, 0, 0, 0}}},
};

// Each line of the table with a scale is the line without one, then the
// lengths (the columns from `first`, as many as the case gives) in
// millimetres: pixels * 1000 / pixels a metre, reading back exactly.
void ExpectMillimetres(const std::string& inPixels, const std::string& scaled, const std::string& columns,
                       std::size_t first, const std::vector<std::vector<double>>& lengths, double pixelsPerMetre) {
    const std::vector<std::string> plain = LinesOf(inPixels), lines = LinesOf(scaled);
    ASSERT_EQ(plain.size(), lengths.size() + 1);
    ASSERT_EQ(lines.size(), plain.size());
    EXPECT_EQ(lines[0], plain[0] + columns);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        SCOPED_TRACE(lines[i + 1]);
        ASSERT_TRUE(lines[i + 1].starts_with(plain[i + 1] + ","));
        const std::vector<std::string> fields = FieldsOf(plain[i + 1]);
        const std::vector<std::string> mm = FieldsOf(lines[i + 1].substr(plain[i + 1].size() + 1));
        ASSERT_EQ(mm.size(), lengths[i].size());
        for (std::size_t k = 0; k < mm.size(); ++k) {
            EXPECT_EQ(ReadBack(fields[first + k]), lengths[i][k]) << "column " << first + k << " in pixels";
            EXPECT_EQ(ReadBack(mm[k]), lengths[i][k] * 1000 / pixelsPerMetre) << "column " << k << " in millimetres";
        }
    }
}

class SkeletonMillimetres : public ::testing::TestWithParam<MillimetreCase> {};

TEST_P(SkeletonMillimetres, EachTableEndsWithItsLengthsInMillimetres) {
    const MillimetreCase& c = GetParam();
    Picture pic = Drawn(c.rows);
    const ops::SkeletonMeasures inPixels = ops::MeasureSkeleton(pic.view());
    EXPECT_EQ(inPixels.totals.pixels_per_metre, 0u) << "measuring knows no resolution";
    ops::SkeletonMeasures scaled = inPixels;
    scaled.totals.pixels_per_metre = c.pixelsPerMetre;
    {
        SCOPED_TRACE("branches.csv");
        ExpectMillimetres(ops::BranchesCsv(inPixels), ops::BranchesCsv(scaled), ",length_mm,euclidean_mm", 6,
                          c.branches, c.pixelsPerMetre);
    }
    {
        SCOPED_TRACE("skeletons.csv");
        ExpectMillimetres(ops::SkeletonsCsv(inPixels), ops::SkeletonsCsv(scaled),
                          ",total_length_mm,average_branch_length_mm,maximum_branch_length_mm,longest_shortest_path_mm",
                          11, c.skeletons, c.pixelsPerMetre);
    }
}

INSTANTIATE_TEST_SUITE_P(Pictures, SkeletonMillimetres, ::testing::ValuesIn(kMillimetreCases),
                         [](const ::testing::TestParamInfo<MillimetreCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(SkeletonMillimetreColumns, ATenPixelLineAt300DpiIsAboutThreeQuartersOfAMillimetre) {
    Picture pic = Drawn({"##########"});
    ops::SkeletonMeasures m = ops::MeasureSkeleton(pic.view());
    m.totals.pixels_per_metre = 11811;
    const std::vector<std::string> branches = LinesOf(ops::BranchesCsv(m));
    ASSERT_EQ(branches.size(), 2u);
    const std::vector<std::string> fields = FieldsOf(branches[1]);
    ASSERT_EQ(fields.size(), 12u);
    EXPECT_EQ(ReadBack(fields[10]), 9.0 * 1000 / 11811);  // length_mm, 0.762 mm
    EXPECT_EQ(ReadBack(fields[11]), 9.0 * 1000 / 11811);  // euclidean_mm
    EXPECT_NEAR(ReadBack(fields[10]), 0.762, 0.0005);
}

struct SummaryCase {
    const char* name;
    ops::SkeletonTotals totals;
    const char* line;
};

class SkeletonSummary : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(SkeletonSummary, GivesTheTotalWithOneDecimalAndInMillimetresWithAScale) {
    EXPECT_EQ(ops::MeasureSummary(GetParam().totals), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Totals, SkeletonSummary,
    ::testing::Values(
        SummaryCase{"NoScale", {12, 85, 40, 61, 5234.66, 0},
                    "measure: 12 skeletons, 85 branches, 40 junctions, 61 end points, total length 5234.7 px"},
        // 5234.66 / 11.811 = 443.19...
        SummaryCase{"At300Dpi", {12, 85, 40, 61, 5234.66, 11811},
                    "measure: 12 skeletons, 85 branches, 40 junctions, 61 end points, total length 5234.7 px "
                    "(443.2 mm)"},
        // 9 / 11.811 = 0.76...
        SummaryCase{"NinePixelsAt300Dpi", {1, 1, 0, 2, 9, 11811},
                    "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 9.0 px (0.8 mm)"},
        SummaryCase{"APixelAMillimetre", {1, 1, 0, 2, 5, 1000},
                    "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 5.0 px (5.0 mm)"},
        SummaryCase{"NothingAt300Dpi", {0, 0, 0, 0, 0, 11811},
                    "measure: 0 skeletons, 0 branches, 0 junctions, 0 end points, total length 0.0 px (0.0 mm)"}),
    [](const ::testing::TestParamInfo<SummaryCase>& info) { return std::string(info.param.name); });

// ---- Invariants over random pictures ----

// Mixed adjacency and the connected sets, recomputed plainly from the
// picture: for each black pixel its adjacent pixels; the junction of each
// junction pixel; the 8-connected sets with their first pixel.
struct Plain {
    int w, h;
    std::vector<int> black, degree, junction, skeleton;
    std::vector<std::pair<int, int>> first;  // (row, col) of each 8-connected set, in raster order
    std::vector<int> pixelsOf;

    explicit Plain(const Picture& pic) : w(pic.width()), h(pic.height()) {
        const auto n = static_cast<std::size_t>(w * h);
        black.assign(n, 0), degree.assign(n, 0), junction.assign(n, -1), skeleton.assign(n, -1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) black[At(y, x)] = pic.blue(x, y) == 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (Black(y, x))
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) degree[At(y, x)] += Adjacent(y, x, y + dy, x + dx);
        int junctions = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                if (Black(y, x) && degree[At(y, x)] >= 3 && junction[At(y, x)] < 0)
                    Flood(y, x, junctions++, junction, [&](int yy, int xx, int y2, int x2) {
                        return Adjacent(yy, xx, y2, x2) && degree[At(y2, x2)] >= 3;
                    });
                if (Black(y, x) && skeleton[At(y, x)] < 0) {
                    first.push_back({y, x});
                    pixelsOf.push_back(Flood(y, x, static_cast<int>(first.size()) - 1, skeleton,
                                             [&](int, int, int y2, int x2) { return Black(y2, x2); }));
                }
            }
    }

    std::size_t At(int y, int x) const { return static_cast<std::size_t>(y * w + x); }
    bool Black(int y, int x) const { return y >= 0 && x >= 0 && y < h && x < w && black[At(y, x)]; }
    bool Adjacent(int y, int x, int y2, int x2) const {
        if ((y == y2 && x == x2) || !Black(y2, x2)) return false;
        if (y == y2 || x == x2) return true;
        return !Black(y, x2) && !Black(y2, x);
    }
    template <class Joins>
    int Flood(int y, int x, int label, std::vector<int>& marks, Joins joins) {
        std::vector<std::pair<int, int>> stack{{y, x}};
        marks[At(y, x)] = label;
        int count = 0;
        while (!stack.empty()) {
            auto [cy, cx] = stack.back();
            stack.pop_back();
            ++count;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int ny = cy + dy, nx = cx + dx;
                    if (Black(ny, nx) && marks[At(ny, nx)] < 0 && joins(cy, cx, ny, nx))
                        marks[At(ny, nx)] = label, stack.push_back({ny, nx});
                }
        }
        return count;
    }
    // The node of an end pixel of a branch: its junction, or the pixel itself.
    int Node(int y, int x) const {
        return degree[At(y, x)] >= 3 ? junction[At(y, x)] : static_cast<int>(w * h) + static_cast<int>(At(y, x));
    }
};

// The longest shortest path of each skeleton by Floyd-Warshall over its
// nodes, from the branches table.
std::vector<double> LongestPathsByFloyd(const Plain& plain, const ops::SkeletonMeasures& m) {
    std::vector<double> longest(m.skeletons.size(), 0);
    for (std::size_t k = 0; k < m.skeletons.size(); ++k) {
        std::vector<int> nodes;
        for (int y = 0; y < plain.h; ++y)
            for (int x = 0; x < plain.w; ++x)
                if (plain.Black(y, x) && plain.skeleton[plain.At(y, x)] == static_cast<int>(k) &&
                    (plain.degree[plain.At(y, x)] != 2))
                    nodes.push_back(plain.Node(y, x));
        std::sort(nodes.begin(), nodes.end());
        nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
        const std::size_t n = nodes.size();
        if (n < 2) continue;
        const double inf = std::numeric_limits<double>::infinity();
        std::vector<double> d(n * n, inf);
        for (std::size_t i = 0; i < n; ++i) d[i * n + i] = 0;
        auto place = [&](int node) {
            return static_cast<std::size_t>(std::lower_bound(nodes.begin(), nodes.end(), node) - nodes.begin());
        };
        for (const SkeletonBranch& b : m.branches) {
            if (b.skeleton != static_cast<std::int64_t>(k) + 1) continue;
            const std::size_t i = place(plain.Node(b.src_row, b.src_col)), j = place(plain.Node(b.dst_row, b.dst_col));
            d[i * n + j] = std::min(d[i * n + j], b.length);
            d[j * n + i] = std::min(d[j * n + i], b.length);
        }
        for (std::size_t via = 0; via < n; ++via)
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) d[i * n + j] = std::min(d[i * n + j], d[i * n + via] + d[via * n + j]);
        for (const double v : d) longest[k] = std::max(longest[k], v);
    }
    return longest;
}

std::string Drawing(const Picture& pic) {
    std::string text;
    for (int y = 0; y < pic.height(); ++y) {
        for (int x = 0; x < pic.width(); ++x) text += pic.blue(x, y) == 0 ? '#' : '.';
        text += '\n';
    }
    return text;
}

// Many crossing lines: graphs with many junctions and cycles of every
// length, where the order in which a search settles its nodes decides the
// longest shortest path.
TEST(SkeletonMeasure, CrossingLinesGiveTheLongestPathsOfFloydWarshall) {
    std::mt19937 rng(31);
    int cyclic = 0;
    for (int round = 0; round < 40; ++round) {
        auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        const int w = in(20, 60), h = in(20, 60);
        Picture pic(w, h);
        pic.Fill(ops_test::kWhite);
        for (int line = in(6, 14); line > 0; --line) {
            const int x0 = in(0, w - 1), y0 = in(0, h - 1), x1 = in(0, w - 1), y1 = in(0, h - 1);
            const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
            for (int k = 0; k <= steps; ++k)
                pic.set(steps ? x0 + (x1 - x0) * k / steps : x0, steps ? y0 + (y1 - y0) * k / steps : y0,
                        ops_test::kBlack);
        }
        const ops::SkeletonMeasures m = ops::MeasureSkeleton(pic.view());
        const std::vector<double> longest = LongestPathsByFloyd(Plain(pic), m);
        for (std::size_t k = 0; k < m.skeletons.size(); ++k) {
            const SkeletonFigures& s = m.skeletons[k];
            cyclic += s.branches > s.junctions + s.end_points;
            EXPECT_NEAR(s.longest_shortest_path, longest[k], 1e-9 * (1 + longest[k]))
                << "round " << round << " skeleton " << k + 1 << ":\n" << Drawing(pic);
        }
        if (HasFailure()) return;
    }
    EXPECT_GE(cyclic, 30) << "skeletons with cycles among them";
}

TEST(SkeletonMeasure, RandomPicturesKeepTheInvariants) {
    std::mt19937 rng(2121);
    for (int round = 0; round < 200; ++round) {
        const Picture pic = RandomDrawing(rng);
        Picture copy = pic;
        std::ostringstream drawing;
        for (int y = 0; y < pic.height(); ++y) {
            for (int x = 0; x < pic.width(); ++x) drawing << (pic.blue(x, y) == 0 ? '#' : '.');
            drawing << '\n';
        }
        SCOPED_TRACE("picture " + std::to_string(round) + ":\n" + drawing.str());
        const ops::SkeletonMeasures m = ops::MeasureSkeleton(copy.view());
        ASSERT_FALSE(m.not_two_level.has_value());
        EXPECT_TRUE(ops_test::SamePixels(copy, pic)) << "the picture was written";
        const Plain plain(pic);

        ASSERT_EQ(m.skeletons.size(), plain.first.size()) << "skeletons: the 8-connected sets";
        std::vector<std::int64_t> branchesOf(m.skeletons.size(), 0);
        std::vector<double> sumOf(m.skeletons.size(), 0), maxOf(m.skeletons.size(), 0);
        for (std::size_t k = 0; k < m.branches.size(); ++k) {
            const SkeletonBranch& b = m.branches[k];
            ASSERT_GE(b.skeleton, 1);
            ASSERT_LE(b.skeleton, static_cast<std::int64_t>(m.skeletons.size()));
            const auto s = static_cast<std::size_t>(b.skeleton - 1);
            EXPECT_EQ(b.branch, ++branchesOf[s]) << "branches numbered from 1 within their skeleton";
            sumOf[s] += b.length;
            maxOf[s] = std::max(maxOf[s], b.length);
            EXPECT_EQ(plain.skeleton[plain.At(b.src_row, b.src_col)], static_cast<int>(s));
            EXPECT_TRUE(b.src_row < b.dst_row || (b.src_row == b.dst_row && b.src_col <= b.dst_col))
                << "source first in raster order";
            EXPECT_LE(b.euclidean, b.length + 1e-9);
            EXPECT_GE(b.length, 1.0);
            const bool srcEnd = plain.degree[plain.At(b.src_row, b.src_col)] < 2;
            const bool dstEnd = plain.degree[plain.At(b.dst_row, b.dst_col)] < 2;
            const int endPoints = int{srcEnd} + int{dstEnd};
            EXPECT_EQ(endPoints, b.type == 0 ? 2 : b.type == 1 ? 1 : 0) << "type " << b.type;
            if (k > 0) {
                const SkeletonBranch& a = m.branches[k - 1];
                const auto key = [](const SkeletonBranch& x) {
                    return std::tuple(x.skeleton, x.src_row, x.src_col, x.dst_row, x.dst_col);
                };
                EXPECT_TRUE(key(a) < key(b) || (key(a) == key(b) && a.length <= b.length)) << "rows in order";
            }
        }
        const std::vector<double> longest = LongestPathsByFloyd(plain, m);
        ops::SkeletonTotals totals;
        for (std::size_t k = 0; k < m.skeletons.size(); ++k) {
            const SkeletonFigures& s = m.skeletons[k];
            SCOPED_TRACE("skeleton " + std::to_string(k + 1));
            EXPECT_EQ(s.skeleton, static_cast<std::int64_t>(k) + 1);
            EXPECT_EQ(s.row, plain.first[k].first);
            EXPECT_EQ(s.col, plain.first[k].second);
            EXPECT_EQ(s.pixels, plain.pixelsOf[k]);
            EXPECT_EQ(s.pixels, s.junction_pixels + s.slab_pixels + s.end_points);
            EXPECT_EQ(s.branches, branchesOf[k]);
            EXPECT_NEAR(s.total_length, sumOf[k], 1e-9 * (1 + sumOf[k]));
            EXPECT_EQ(s.maximum_branch_length, maxOf[k]);
            EXPECT_NEAR(s.average_branch_length, s.branches ? sumOf[k] / double(s.branches) : 0, 1e-9 * (1 + sumOf[k]));
            EXPECT_LE(s.triple_points + s.quadruple_points, s.junctions);
            EXPECT_NEAR(s.longest_shortest_path, longest[k], 1e-9 * (1 + longest[k]));
            totals.branches += s.branches, totals.junctions += s.junctions, totals.end_points += s.end_points;
            totals.total_length += s.total_length;
        }
        EXPECT_EQ(m.totals.skeletons, static_cast<std::int64_t>(m.skeletons.size()));
        EXPECT_EQ(m.totals.branches, totals.branches);
        EXPECT_EQ(m.totals.junctions, totals.junctions);
        EXPECT_EQ(m.totals.end_points, totals.end_points);
        EXPECT_NEAR(m.totals.total_length, totals.total_length, 1e-9 * (1 + totals.total_length));
        const auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
        EXPECT_EQ(lines(ops::BranchesCsv(m)), static_cast<long>(m.branches.size()) + 1);
        EXPECT_EQ(lines(ops::SkeletonsCsv(m)), static_cast<long>(m.skeletons.size()) + 1);
    }
}


// ---- The stream of rows against the whole picture ----

// The tables from a stream of the picture's rows, one row at a time.
ops::SkeletonMeasures Streamed(Picture& pic) {
    ops::SkeletonStream stream(pic.width(), pic.height());
    for (int y = 0; y < pic.height(); ++y)
        if (!stream.Add(pic.row(y))) break;
    return stream.Finish();
}


void ExpectSameTables(Picture& pic, const std::string& name) {
    SCOPED_TRACE(name + ":\n" + Drawing(pic));
    const ops::SkeletonMeasures whole = ops::MeasureSkeleton(pic.view());
    const ops::SkeletonMeasures streamed = Streamed(pic);
    ASSERT_EQ(streamed.not_two_level, whole.not_two_level);
    EXPECT_EQ(ops::BranchesCsv(streamed), ops::BranchesCsv(whole));
    EXPECT_EQ(ops::SkeletonsCsv(streamed), ops::SkeletonsCsv(whole));
    EXPECT_EQ(ops::MeasureSummary(streamed.totals), ops::MeasureSummary(whole.totals));
}

TEST(SkeletonStream, HandDrawnPicturesGiveTheWholePicturesTables) {
    for (const auto& c : kCases) {
        Picture pic = Drawn(c.rows);
        ExpectSameTables(pic, c.name);
    }
}

// Random drawings of every kind, from one row high up, in sizes up to 64.
TEST(SkeletonStream, RandomPicturesGiveTheWholePicturesTables) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 600; ++round) {
        Picture pic = RandomDrawing(rng);
        ExpectSameTables(pic, "random picture " + std::to_string(round));
        if (HasFailure()) return;
    }
}

// Dense random noise thinned: skeletons with many junctions, notches and
// loops, as the chain leaves them.
TEST(SkeletonStream, ThinnedNoiseGivesTheWholePicturesTables) {
    std::mt19937 rng(77);
    for (int round = 0; round < 150; ++round) {
        const int w = std::uniform_int_distribution<int>(1, 70)(rng);
        const int h = std::uniform_int_distribution<int>(1, 50)(rng);
        const int percent = std::uniform_int_distribution<int>(10, 90)(rng);
        Picture pic(w, h), thinned(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::uint8_t v = std::uniform_int_distribution<int>(0, 99)(rng) < percent ? 0 : 255;
                pic.set(x, y, {v, v, v});
            }
        thinned = pic;
        if (round % 3 != 0) ops::Thin(pic.view(), thinned.view());
        ExpectSameTables(thinned, "noise " + std::to_string(round));
        if (HasFailure()) return;
    }
}

TEST(SkeletonStream, NamesTheFirstPixelNeitherBlackNorWhite) {
    Picture pic = Drawn({"#..", "..#", "#.#"});
    pic.set(1, 1, {0, 0, 200});
    pic.set(2, 2, {10, 10, 10});
    ops::SkeletonStream stream(pic.width(), pic.height());
    EXPECT_TRUE(stream.Add(pic.row(0)));
    EXPECT_FALSE(stream.Add(pic.row(1)));
    EXPECT_FALSE(stream.Add(pic.row(2)));
    const ops::SkeletonMeasures m = stream.Finish();
    ASSERT_TRUE(m.not_two_level.has_value());
    EXPECT_EQ(*m.not_two_level, (ops::NotTwoLevel{1, 1}));
    EXPECT_TRUE(m.branches.empty());
    EXPECT_TRUE(m.skeletons.empty());
}

TEST(SkeletonStream, EmptyAndBlankPicturesGiveEmptyTables) {
    for (auto [w, h] : {std::pair{0, 0}, {0, 5}, {5, 0}, {1, 1}, {47, 33}}) {
        Picture pic(w, h);
        pic.Fill({255, 255, 255});
        const ops::SkeletonMeasures m = Streamed(pic);
        EXPECT_FALSE(m.not_two_level.has_value());
        EXPECT_TRUE(m.branches.empty() && m.skeletons.empty()) << w << " x " << h;
    }
}

// Rows packed a bit a pixel (set for white), as the bands hand out stage
// C, give the tables of the same rows unpacked: widths around the eight
// and sixty-four pixels read at once.
TEST(SkeletonStream, PackedRowsGiveTheTablesOfTheRows) {
    std::mt19937 rng(606);
    for (const int w : {1, 7, 8, 9, 63, 64, 65, 127, 128, 130, 200}) {
        for (int round = 0; round < 12; ++round) {
            const int h = std::uniform_int_distribution<int>(1, 30)(rng);
            const int percent = std::uniform_int_distribution<int>(5, 60)(rng);
            Picture pic(w, h);
            std::vector<std::vector<std::uint8_t>> packed(static_cast<std::size_t>(h),
                                                          std::vector<std::uint8_t>((w + 7) / 8 + 8, 0));
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const bool black = std::uniform_int_distribution<int>(0, 99)(rng) < percent;
                    pic.set(x, y, black ? ops_test::kBlack : ops_test::kWhite);
                    if (!black) packed[static_cast<std::size_t>(y)][static_cast<std::size_t>(x / 8)] |= 1u << (x % 8);
                }
            SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + ":\n" + Drawing(pic));
            ops::SkeletonStream stream(w, h);
            for (int y = 0; y < h; ++y) ASSERT_TRUE(stream.AddPacked(packed[static_cast<std::size_t>(y)].data()));
            const ops::SkeletonMeasures fromPacked = stream.Finish();
            const ops::SkeletonMeasures fromRows = Streamed(pic);
            EXPECT_EQ(ops::BranchesCsv(fromPacked), ops::BranchesCsv(fromRows));
            EXPECT_EQ(ops::SkeletonsCsv(fromPacked), ops::SkeletonsCsv(fromRows));
            if (HasFailure()) return;
        }
    }
}

Picture Grid(int cells, int side) {
    const int size = cells * side + 1;
    Picture pic(size, size);
    pic.Fill(ops_test::kWhite);
    for (int k = 0; k <= cells; ++k)
        for (int j = 0; j < size; ++j) pic.set(k * side, j, ops_test::kBlack), pic.set(j, k * side, ops_test::kBlack);
    return pic;
}

Picture Comb(int teeth) {
    Picture pic(2 * teeth + 1, 4);
    pic.Fill(ops_test::kWhite);
    pic.Fill(ops_test::kBlack, 0, 0, 2 * teeth + 1, 1);
    for (int k = 0; k < teeth; ++k) pic.Fill(ops_test::kBlack, 2 * k + 1, 1, 1, 3);
    return pic;
}

// Finish lets the stream's records go before it makes the tables, and says
// so once, so that a caller can hand the memory back in between.
TEST(SkeletonStream, SaysOnceWhenItsRecordsAreLetGo) {
    for (const bool traced : {false, true}) {
        SCOPED_TRACE(traced ? "traced" : "not traced");
        Picture pic = Grid(40, 3);
        ops::SkeletonStream stream(pic.width(), pic.height(),
                                   traced ? ops::CentrePathSink([](std::int64_t, std::span<const ops::PixelPoint>) {})
                                          : ops::CentrePathSink{});
        for (int y = 0; y < pic.height(); ++y) stream.Add(pic.row(y));
        const std::size_t before = stream.BytesHeld();
        int calls = 0;
        std::size_t during = 0;
        ops::CentreLines lines;
        const ops::SkeletonMeasures m = stream.Finish(traced ? &lines : nullptr, [&] {
            ++calls;
            during = stream.BytesHeld();
        });
        EXPECT_EQ(calls, 1);
        EXPECT_LT(during * 4, before) << "records of " << m.branches.size() << " branches let go";
        EXPECT_EQ(m.skeletons.size(), 1u);
    }
}

// Skeletons large enough that their longest shortest path is searched from
// two nodes at once, with the length worked out by hand:
//   - a grid of n x n cells, s pixels a side: its nodes are the crossings
//     but the four corners (slab pixels), and the farthest two are the
//     crossings beside opposite corners, 2 s (n - 1) apart;
//   - a comb, a spine of 2 t + 1 pixels with a tooth of 3 below each odd
//     column: a tree, tip to tip 3 + (2 t - 2) + 3.
// A ladder w pixels wide: a rectangle (rows 1 to 3) with a rung in the
// middle and a spur out at each end, from (1, 1) up and from (3, w - 2)
// down. The spurs' ends are the farthest apart, over the rung:
// 1 + (m - 1) + 2 + (w - 2 - m) + 1 = w + 1.
Picture Ladder(int w) {
    Picture pic(w, 5);
    pic.Fill(ops_test::kWhite);
    pic.Fill(ops_test::kBlack, 0, 1, w, 1);
    pic.Fill(ops_test::kBlack, 0, 3, w, 1);
    for (const int x : {0, w / 2, w - 1}) pic.Fill(ops_test::kBlack, x, 1, 1, 3);
    pic.set(1, 0, ops_test::kBlack);
    pic.set(w - 2, 4, ops_test::kBlack);
    return pic;
}

struct LargeCase {
    const char* name;
    std::function<Picture()> draw;
    double longest;
};

const LargeCase kLarge[] = {
    {"a grid of 6 x 6 cells", [] { return Grid(6, 4); }, 2.0 * 4 * 5},
    {"a grid of 130 x 130 cells (17 157 nodes)", [] { return Grid(130, 3); }, 2.0 * 3 * 129},
    {"a comb of 9000 teeth (18 002 nodes)", [] { return Comb(9000); }, 3 + (2 * 9000 - 2) + 3},
    {"a ladder 70001 wide: branches longer than a search's buckets reach", [] { return Ladder(70001); }, 70001 + 1},
};

TEST(SkeletonMeasure, LargeSkeletonsGiveTheLongestPathWorkedOutByHand) {
    for (const LargeCase& c : kLarge) {
        SCOPED_TRACE(c.name);
        Picture pic = c.draw();
        const ops::SkeletonMeasures streamed = Streamed(pic);
        ASSERT_EQ(streamed.skeletons.size(), 1u);
        EXPECT_EQ(streamed.skeletons[0].longest_shortest_path, c.longest);
        const ops::SkeletonMeasures whole = ops::MeasureSkeleton(pic.view());
        EXPECT_EQ(ops::SkeletonsCsv(streamed), ops::SkeletonsCsv(whole));
    }
}

// Centre lines alone need no longest paths: without them the tables are
// the same but for that column, left 0.
TEST(SkeletonStream, LeavesTheLongestPathsOutWhenAskedTo) {
    for (const LargeCase& c : kLarge) {
        SCOPED_TRACE(c.name);
        Picture pic = c.draw();
        ops::SkeletonStream stream(pic.width(), pic.height());
        for (int y = 0; y < pic.height(); ++y) stream.Add(pic.row(y));
        ops::SkeletonMeasures without = stream.Finish(nullptr, {}, false);
        const ops::SkeletonMeasures with = Streamed(pic);
        ASSERT_EQ(without.skeletons.size(), with.skeletons.size());
        for (std::size_t k = 0; k < with.skeletons.size(); ++k) {
            EXPECT_EQ(without.skeletons[k].longest_shortest_path, 0);
            without.skeletons[k].longest_shortest_path = with.skeletons[k].longest_shortest_path;
        }
        EXPECT_EQ(ops::SkeletonsCsv(without), ops::SkeletonsCsv(with));
        EXPECT_EQ(ops::BranchesCsv(without), ops::BranchesCsv(with));
    }
}

// Memory: the rows in reach and the graph, not the pixels. A picture of one
// vertical line holds one chain whatever its height: what is held after
// 100 rows is all that is ever held.
TEST(SkeletonStream, HoldsTheGraphAndThreeRowsNotThePicture) {
    const int w = 1000;
    std::vector<std::uint8_t> row(3 * w, 255);
    row[3 * 500] = row[3 * 500 + 1] = row[3 * 500 + 2] = 0;
    ops::SkeletonStream stream(w, 20000);
    std::size_t early = 0, most = 0;
    for (int y = 0; y < 20000; ++y) {
        stream.Add(row.data());
        if (y == 100) early = stream.BytesHeld();
        most = std::max(most, stream.BytesHeld());
    }
    EXPECT_EQ(most, early) << "bytes held for a picture of " << 3 * w * 20000 << " bytes";
    EXPECT_LT(most, std::size_t{3} * w * 20000 / 50) << "a fiftieth of the picture";
    const ops::SkeletonMeasures m = stream.Finish();
    ASSERT_EQ(m.branches.size(), 1u);
    EXPECT_EQ(m.branches[0].length, 19999);
}

}  // namespace
