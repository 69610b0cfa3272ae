// The word `measure`: the skeleton measures of C.bmp, read as any picture
// is read, written beside it as branches.csv and skeletons.csv, with their
// summary on standard output; each drawn picture's tables worked out by
// hand from the definitions in ops/skeleton.h; the lengths in millimetres
// too when C.bmp declares a resolution the same both ways (not 72 dpi).
#include <cstdio>
#include <sstream>

#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

// A BMP file of no pixels: 0 x 0, 24-bit.
QByteArray EmptyBmp() { return test_bytes::BmpHeaders(0, 0, 24, 54); }

const char kBranchesHeader[] = "skeleton,branch,src_row,src_col,dst_row,dst_col,length,euclidean,type,slab_pixels\n";
const char kSkeletonsHeader[] =
    "skeleton,row,col,pixels,branches,junctions,junction_pixels,end_points,slab_pixels,triple_points,"
    "quadruple_points,total_length,average_branch_length,maximum_branch_length,longest_shortest_path\n";

struct TablesCase {
    const char* name;
    std::vector<std::string> rows;  // empty: a file of no pixels
    const char* format;             // what C.bmp holds: "BMP" or "PNG"
    std::string branches, skeletons, summary;
};

class MeasureWordTest : public testing::TestWithParam<TablesCase> {};

TEST_P(MeasureWordTest, WritesBothTablesBesideTheStageFilesAndTheSummary) {
    const TablesCase& c = GetParam();
    ScratchDir dir;
    std::filesystem::create_directories("job");
    if (c.rows.empty()) {
        ASSERT_TRUE(WriteBytes("job/C.bmp", EmptyBmp()));
    } else {
        DrawPicture("job/C.bmp", c.rows, c.format);
    }
    const ToolRun run = RunTool({"-C", "job", "measure"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.err.toStdString(), "");
    EXPECT_EQ(run.out.toStdString(), c.summary + "\n");
    EXPECT_EQ(ReadAll("job/branches.csv"), kBranchesHeader + c.branches);
    EXPECT_EQ(ReadAll("job/skeletons.csv"), kSkeletonsHeader + c.skeletons);
    EXPECT_TRUE(Temporaries(".").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Drawn, MeasureWordTest,
    testing::Values(
        // One junction at the top of the stem, three branches of two steps.
        TablesCase{"TShape",
                   {"#####", "..#..", "..#.."},
                   "BMP",
                   "1,1,0,0,0,2,2,2,1,1\n1,2,0,2,0,4,2,2,1,1\n1,3,0,2,2,2,2,2,1,1\n",
                   "1,0,0,7,3,1,1,3,3,1,0,6,2,2,4\n",
                   "measure: 1 skeletons, 3 branches, 1 junctions, 3 end points, total length 6.0 px"},
        // Two diagonal steps, 2 * sqrt(2) long, written to read back exactly;
        // the dot is a skeleton of its own, numbered after by its first pixel.
        TablesCase{"DiagonalAndDot",
                   {"#..#", ".#..", "..#."},
                   "BMP",
                   "1,1,0,0,2,2,2.8284271247461903,2.8284271247461903,0,1\n",
                   "1,0,0,3,1,0,0,2,1,0,0,2.8284271247461903,2.8284271247461903,2.8284271247461903,"
                   "2.8284271247461903\n2,0,3,1,0,0,0,1,0,0,0,0,0,0,0\n",
                   "measure: 2 skeletons, 1 branches, 0 junctions, 3 end points, total length 2.8 px"},
        // A skeleton made by another tool, held in any format the program reads.
        TablesCase{"PlusInAPngFile",
                   {"..#..", "..#..", "#####", "..#..", "..#.."},
                   "PNG",
                   "1,1,0,2,2,2,2,2,1,1\n1,2,2,0,2,2,2,2,1,1\n1,3,2,2,2,4,2,2,1,1\n1,4,2,2,4,2,2,2,1,1\n",
                   "1,0,2,9,4,1,1,4,4,0,1,8,2,2,4\n",
                   "measure: 1 skeletons, 4 branches, 1 junctions, 4 end points, total length 8.0 px"},
        TablesCase{"WhitePicture", {"....", "...."}, "BMP", "", "",
                   "measure: 0 skeletons, 0 branches, 0 junctions, 0 end points, total length 0.0 px"},
        TablesCase{"NoPixels", {}, "BMP", "", "",
                   "measure: 0 skeletons, 0 branches, 0 junctions, 0 end points, total length 0.0 px"}),
    [](const testing::TestParamInfo<TablesCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- millimetres

// A number as "%.17g" writes it in the C locale, the tables' form.
std::string RoundTrip(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::vector<std::string> LinesOf(const std::string& table) {
    std::vector<std::string> lines;
    std::istringstream in(table);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Overwrites a BMP file's pixels a metre (biXPelsPerMeter, biYPelsPerMeter).
void SetPixelsPerMetre(const std::string& path, std::uint32_t x, std::uint32_t y) {
    QByteArray file = QByteArray::fromStdString(ReadAll(path));
    ASSERT_GE(file.size(), 54);
    test_bytes::PutLe32(file, 38, x);
    test_bytes::PutLe32(file, 42, y);
    ASSERT_TRUE(WriteBytes(QString::fromStdString(path), file));
}

struct ScaleCase {
    const char* name;
    const char* format;          // what C.bmp holds: "BMP" or "PNG"
    PixelsPerMetre resolution;   // what it declares; 0 both ways: a BMP file's fields hold 0
    std::uint32_t pixelsPerMetre;  // the millimetres' scale, 0 for none
    std::string summary;
};

class MeasureWordScaleTest : public testing::TestWithParam<ScaleCase> {};

// A straight line of ten pixels: one branch of nine straight steps.
TEST_P(MeasureWordScaleTest, AddsMillimetresOnlyForAResolutionDeclaredTheSameBothWays) {
    const ScaleCase& c = GetParam();
    ScratchDir dir;
    if (c.resolution.x == 0) {
        DrawPicture("C.bmp", {"..........", "##########"}, c.format);
        SetPixelsPerMetre("C.bmp", 0, 0);
    } else {
        DrawPicture("C.bmp", {"..........", "##########"}, c.format, c.resolution);
    }
    const ToolRun run = RunTool({"measure"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out.toStdString(), c.summary + "\n");
    const std::string branch = "1,1,1,0,1,9,9,9,0,8", skeleton = "1,1,0,10,1,0,0,2,8,0,0,9,9,9,9";
    if (c.pixelsPerMetre == 0) {
        // Today's tables, byte for byte.
        EXPECT_EQ(ReadAll("branches.csv"), kBranchesHeader + branch + "\n");
        EXPECT_EQ(ReadAll("skeletons.csv"), kSkeletonsHeader + skeleton + "\n");
        return;
    }
    const std::string mm = RoundTrip(9.0 * 1000 / c.pixelsPerMetre);
    const std::vector<std::string> branches = LinesOf(ReadAll("branches.csv"));
    const std::vector<std::string> skeletons = LinesOf(ReadAll("skeletons.csv"));
    ASSERT_EQ(branches.size(), 2u);
    ASSERT_EQ(skeletons.size(), 2u);
    EXPECT_EQ(branches[0],
              "skeleton,branch,src_row,src_col,dst_row,dst_col,length,euclidean,type,slab_pixels,length_mm,euclidean_mm");
    EXPECT_EQ(branches[1], branch + "," + mm + "," + mm);
    EXPECT_EQ(skeletons[0],
              "skeleton,row,col,pixels,branches,junctions,junction_pixels,end_points,slab_pixels,triple_points,"
              "quadruple_points,total_length,average_branch_length,maximum_branch_length,longest_shortest_path,"
              "total_length_mm,average_branch_length_mm,maximum_branch_length_mm,longest_shortest_path_mm");
    EXPECT_EQ(skeletons[1], skeleton + "," + mm + "," + mm + "," + mm + "," + mm);
}

INSTANTIATE_TEST_SUITE_P(
    Resolutions, MeasureWordScaleTest,
    testing::Values(
        // 9 steps at 11811 pixels a metre: 0.76 mm.
        ScaleCase{"BmpAt300Dpi", "BMP", {11811, 11811}, 11811,
                  "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 9.0 px (0.8 mm)"},
        ScaleCase{"PngAt300Dpi", "PNG", {11811, 11811}, 11811,
                  "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 9.0 px (0.8 mm)"},
        // 9 / 3.78 = 2.38 mm.
        ScaleCase{"BmpAt96Dpi", "BMP", {3780, 3780}, 3780,
                  "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 9.0 px (2.4 mm)"},
        // What a BMP file says when its picture declared none.
        ScaleCase{"BmpAt72Dpi", "BMP", {2835, 2835}, 0,
                  "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 9.0 px"},
        ScaleCase{"PngAt72Dpi", "PNG", {2835, 2835}, 0,
                  "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 9.0 px"},
        ScaleCase{"BmpDeclaringNone", "BMP", {0, 0}, 0,
                  "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 9.0 px"},
        // A diagonal step has no one length in millimetres.
        ScaleCase{"BmpAt300DpiAcrossAnd150Down", "BMP", {11811, 5906}, 0,
                  "measure: 1 skeletons, 1 branches, 0 junctions, 2 end points, total length 9.0 px"}),
    [](const testing::TestParamInfo<ScaleCase>& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    std::vector<std::string> rows;  // empty: no C.bmp
    std::string error;
};

class MeasureRefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(MeasureRefusalTest, SaysWhyInOneLineAndWritesNothing) {
    const RefusalCase& c = GetParam();
    ScratchDir dir;
    if (!c.rows.empty()) DrawPicture("C.bmp", c.rows, "BMP");
    const ToolRun run = RunTool({"measure", "filter"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.toStdString(), c.error);
    EXPECT_EQ(run.out.toStdString(), "");
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(".")) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, c.rows.empty() ? std::set<std::string>{} : std::set<std::string>{"C.bmp"})
        << "nothing written, and nothing after the failing word runs";
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, MeasureRefusalTest,
    testing::Values(RefusalCase{"GrayPixel",
                                {"#####", "..#..", "..#g.", "..g.."},
                                "workbench-batch: Cannot measure \"C.bmp\": it is not two-level: the pixel at row 2, "
                                "column 3 is neither black nor white\n"},
                    RefusalCase{"NoStageFile", {}, "workbench-batch: Cannot read \"C.bmp\": no such file\n"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

}  // namespace
