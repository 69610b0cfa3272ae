// The word `vectorize FILE`: the centre lines of C.bmp, read as `measure`
// reads it, written as FILE in the format its extension names; each drawn
// picture's file worked out by hand from ops/centre_lines.h and
// codec/vector.h. Refusals say why in one line and write nothing;
// --simplify simplifies within its tolerance.
#include "tests/centre_line_drawing.h"
#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

using centre_line_drawing::kDrawing;
using centre_line_drawing::kGeoJson;
using centre_line_drawing::kSvg;

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

struct WordCase {
    const char* name;
    const char* file;    // vectorize's FILE
    const char* format;  // what C.bmp holds: "BMP" or "PNG"
    std::string text;    // the whole file, or empty to count instead
    std::vector<std::pair<std::string, std::size_t>> counts;  // pieces of text and how often each is there
};

class VectorizeWordTest : public testing::TestWithParam<WordCase> {};

TEST_P(VectorizeWordTest, WritesTheFileInTheFormatItsExtensionNames) {
    const WordCase& c = GetParam();
    ScratchDir dir;
    DrawPicture("job/C.bmp", kDrawing, c.format);
    const ToolRun run = RunTool({"-C", "job", "vectorize", c.file});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.err.toStdString(), "");
    EXPECT_EQ(run.out.toStdString(), "");
    const std::string written = ReadAll(std::string("job/") + c.file);
    if (!c.text.empty()) {
        EXPECT_EQ(written, c.text);
    }
    for (const auto& [piece, count] : c.counts) EXPECT_EQ(Count(written, piece), count) << piece;
    EXPECT_EQ(Names("job"), (std::set<std::string>{"C.bmp", c.file}));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, VectorizeWordTest,
    testing::Values(WordCase{"Svg", "lines.svg", "BMP", kSvg, {}},
                    // Any case; C.bmp is read whatever format it holds.
                    WordCase{"SvgInCapitalsFromAPngFile", "LINES.SVG", "PNG", kSvg, {}},
                    WordCase{"GeoJson", "lines.geojson", "BMP", kGeoJson, {}},
                    WordCase{"Json", "lines.json", "BMP", kGeoJson, {}},
                    // R12: a POLYLINE of VERTEX entities ended by SEQEND a
                    // branch (the ring closed, flag 1, its four corners), a
                    // POINT for the dot at (5.5, 5 - 0.5).
                    WordCase{"Dxf",
                             "lines.dxf",
                             "BMP",
                             "",
                             {{"\n1\nAC1009\n", 1},
                              {"\n0\nPOLYLINE\n", 4},
                              {"\n0\nVERTEX\n", 2 + 2 + 2 + 4},
                              {"\n0\nSEQEND\n", 4},
                              {"\n70\n1\n", 1},
                              {"\n0\nPOINT\n8\n0\n10\n5.5\n20\n4.5\n30\n0\n", 1},
                              {"\n0\nEOF\n", 1}}}),
    [](const testing::TestParamInfo<WordCase>& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    std::vector<std::string> rows;  // C.bmp; empty: none
    QList<QByteArray> words;
    std::string error;
};

class VectorizeRefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(VectorizeRefusalTest, SaysWhyInOneLineAndWritesNothing) {
    const RefusalCase& c = GetParam();
    ScratchDir dir;
    if (!c.rows.empty()) DrawPicture("C.bmp", c.rows, "BMP");
    const ToolRun run = RunTool(c.words);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.toStdString(), c.error);
    EXPECT_EQ(run.out.toStdString(), "");
    EXPECT_EQ(Names("."), c.rows.empty() ? std::set<std::string>{} : std::set<std::string>{"C.bmp"})
        << "nothing written, and nothing after the failing word runs";
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, VectorizeRefusalTest,
    testing::Values(
        // The message of the word measure.
        RefusalCase{"GrayPixel",
                    {"#####", "..#..", "..#g.", "..g.."},
                    {"vectorize", "lines.svg", "filter"},
                    "workbench-batch: Cannot measure \"C.bmp\": it is not two-level: the pixel at row 2, column 3 is "
                    "neither black nor white\n"},
        RefusalCase{"NoStageFile", {}, {"vectorize", "lines.dxf"}, "workbench-batch: Cannot read \"C.bmp\": no such file\n"},
        // As save says it.
        RefusalCase{"NoSuchFolder",
                    {"#####", "..#.."},
                    {"vectorize", "nowhere/lines.geojson"},
                    "workbench-batch: Cannot write \"nowhere/lines.geojson\": no such folder\n"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

struct SimplifyCase {
    const char* name;
    QList<QByteArray> options;
    std::string path;  // the path's points
};

class VectorizeSimplifyTest : public testing::TestWithParam<SimplifyCase> {};

// A staircase from (0, 0) to (2, 5). Lossless, its corners stay and the
// straight run's middle (3.5, 1.5) goes. From (0.5 0.5) to (5.5 2.5), the
// corners lie 0.371, 0.186 and 0.557 off; from (0.5 0.5) to (4.5 1.5), the
// first two lie 0.243 and 0.485 off; from (0.5 0.5) to (2.5 1.5), the first
// lies 0.447 off.
TEST_P(VectorizeSimplifyTest, KeepsThePointsFartherThanTheTolerance) {
    const SimplifyCase& c = GetParam();
    ScratchDir dir;
    DrawPicture("C.bmp", {"##....", "..###.", ".....#"}, "BMP");
    QList<QByteArray> args = c.options;
    args << "vectorize" << "lines.svg";
    const ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_NE(ReadAll("lines.svg").find("<path d=\"" + c.path + "\"/>\n"), std::string::npos) << ReadAll("lines.svg");
}

INSTANTIATE_TEST_SUITE_P(
    Tolerances, VectorizeSimplifyTest,
    testing::Values(SimplifyCase{"None", {}, "M0.5 0.5L1.5 0.5L2.5 1.5L4.5 1.5L5.5 2.5"},
                    SimplifyCase{"Zero", {"--simplify", "0"}, "M0.5 0.5L1.5 0.5L2.5 1.5L4.5 1.5L5.5 2.5"},
                    SimplifyCase{"BelowTheFirstCorner", {"--simplify", "0.4"}, "M0.5 0.5L1.5 0.5L2.5 1.5L4.5 1.5L5.5 2.5"},
                    SimplifyCase{"AboveTheFirstCorner", {"--simplify", "0.45"}, "M0.5 0.5L2.5 1.5L4.5 1.5L5.5 2.5"},
                    SimplifyCase{"Half", {"--simplify=0.5"}, "M0.5 0.5L4.5 1.5L5.5 2.5"},
                    SimplifyCase{"One", {"--simplify", "1"}, "M0.5 0.5L5.5 2.5"}),
    [](const testing::TestParamInfo<SimplifyCase>& info) { return std::string(info.param.name); });

}  // namespace
