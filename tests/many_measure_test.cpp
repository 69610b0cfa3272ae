// The measures in the many-pictures mode: --measure gives each result
// folder the tables the word `measure` writes for the same picture's stage
// C, whatever stages are kept, whole or streamed, on any number of jobs and
// threads; the record names the measures, so that a rerun asking for them
// redoes a picture recorded without; --skeleton measures each input as the
// thinned stage itself; a memory limit that cannot hold the measures fails
// the picture alone.
#include <QJsonArray>

#include "core/picture.h"
#include "batch/chain.h"
#include "ops/skeleton_stream.h"
#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

const char* const kTables[] = {"branches.csv", "skeletons.csv"};

// The word chain run to `measure` on an input, in a folder of its own:
// C.bmp, the two tables, and the summary line.
struct WordRun {
    std::string folder;
    std::string summary;
};

WordRun WordMeasures(const std::string& input) {
    static int count = 0;
    const std::string folder =
        "/tmp/workbench-measure-reference-" + std::to_string(::getpid()) + "-" + std::to_string(count++);
    const ToolRun run = RunTool({"-C", QByteArray::fromStdString(folder), "load",
                                 QByteArray::fromStdString(std::filesystem::absolute(input).string()), "filter",
                                 "binarize", "thin", "measure"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return {folder, run.out.trimmed().toStdString()};
}

void ExpectSameTables(const std::string& folder, const std::string& reference) {
    for (const char* table : kTables)
        EXPECT_TRUE(ReadAll(folder + "/" + table) == ReadAll(reference + "/" + table))
            << folder << "/" << table << " differs from the word's";
}

// The report entry's totals as the summary line writes them, the length
// in millimetres too when the entry has it.
std::string SummaryOf(const QJsonObject& entry) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "measure: %d skeletons, %d branches, %d junctions, %d end points, total length %.1f px",
                  entry["skeletons"].toInt(), entry["branches"].toInt(), entry["junctions"].toInt(),
                  entry["end_points"].toInt(), entry["total_length"].toDouble());
    std::string summary = line;
    if (entry.contains("total_length_mm")) {
        std::snprintf(line, sizeof line, " (%.1f mm)", entry["total_length_mm"].toDouble());
        summary += line;
    }
    return summary;
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

struct MeasureCase {
    std::string name;
    int width, height;
    std::uint32_t seed;  // a multiple of 3 gives random pixels, else strokes
    QList<QByteArray> options;
    std::set<std::string> files;  // what the folder holds besides the tables and the record
};

class MeasureOptionTest : public testing::TestWithParam<MeasureCase> {};

TEST_P(MeasureOptionTest, EachFolderGetsTheWordsTablesAndTheReportItsTotals) {
    const MeasureCase& c = GetParam();
    ScratchDir dir;
    MakePicture("in/a.png", c.width, c.height, c.seed);
    MakePicture("in/b.png", 47, 33, c.seed + 3);
    QList<QByteArray> args{"--out", "out", "--measure", "--report", "r.jsonl"};
    args += c.options;
    args << "in";
    const ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    ASSERT_EQ(entries.size(), 2u);
    for (const QJsonObject& entry : entries) {
        const std::string name = std::filesystem::path(entry["input"].toString().toStdString()).stem().string();
        SCOPED_TRACE(name);
        const WordRun word = WordMeasures("in/" + name + ".png");
        std::set<std::string> files = c.files;
        files.insert({".finished", "branches.csv", "skeletons.csv"});
        EXPECT_EQ(Names("out/" + name), files);
        ExpectSameTables("out/" + name, word.folder);
        EXPECT_EQ(SummaryOf(entry), word.summary);
        QStringList reported;
        for (const QJsonValue& file : entry["files"].toArray()) reported << file.toString();
        EXPECT_EQ(reported.mid(reported.size() - 2), (QStringList{"branches.csv", "skeletons.csv"}));
        EXPECT_NE(ReadAll("out/" + name + "/.finished").find("\nmeasured C\n"), std::string::npos);
        std::filesystem::remove_all(word.folder);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, MeasureOptionTest,
    testing::Values(
        MeasureCase{"EveryStage", 130, 41, 2, {}, {"A.bmp", "B.bmp", "C.bmp", "D.bmp"}},
        // The chain runs to C to measure it, though it keeps less.
        MeasureCase{"KeepingOnlyA", 130, 41, 2, {"--keep", "A"}, {"A.bmp"}},
        MeasureCase{"KeepingDAsPng", 61, 90, 3, {"--keep", "D", "--format", "png"}, {"D.png"}},
        // Streamed: more than kWholePictureBytes of rows.
        MeasureCase{"StreamedOneThread", 1024, 683, 2, {"--keep", "B", "--threads", "1"}, {"B.bmp"}},
        MeasureCase{"StreamedTwoThreads", 1024, 683, 2, {"--keep", "B", "--threads", "2"}, {"B.bmp"}},
        MeasureCase{"StreamedThreeThreadsRandom", 700, 1500, 3, {"--keep", "C", "--threads", "3"}, {"C.bmp"}},
        MeasureCase{"StreamedTwoJobs", 1024, 683, 2, {"--keep", "C", "--format", "png", "--jobs", "2"}, {"C.png"}}),
    [](const auto& info) { return info.param.name; });

TEST(MeasureCasesTest, TheCasesLieOnTheSidesOfTheWholePictureSize) {
    EXPECT_LE(3 * 130 * 41, kWholePictureBytes);
    EXPECT_GT(3 * 1024 * 683, kWholePictureBytes);
    EXPECT_GT(3 * 700 * 1500, kWholePictureBytes);
}

// A picture that declares its resolution: the tables give the lengths in
// millimetres too when it is the same both ways and not 72 dpi (what a BMP
// file says when its picture declared none), as the word `measure` gives
// them on the word chain's C.bmp, which keeps the resolution; whole or
// streamed, kept as BMP or PNG, the same tables byte for byte.
struct ScaleCase {
    std::string name;
    int width, height;
    PixelsPerMetre resolution;
    QList<QByteArray> options;
    std::uint32_t pixelsPerMetre;  // the millimetres' scale, 0 for none
};

class MeasureScaleTest : public testing::TestWithParam<ScaleCase> {};

TEST_P(MeasureScaleTest, TheTablesAreTheWordsWithMillimetresForAnEvenDeclaredResolution) {
    const ScaleCase& c = GetParam();
    ScratchDir dir;
    MakePicture("in/a.png", c.width, c.height, 2, c.resolution);
    QList<QByteArray> args{"--out", "out", "--measure", "--report", "r.jsonl"};
    args += c.options;
    args << "in";
    const ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const WordRun word = WordMeasures("in/a.png");
    ExpectSameTables("out/a", word.folder);
    const std::string branches = ReadAll("out/a/branches.csv");
    const std::string header = branches.substr(0, branches.find('\n'));
    EXPECT_EQ(header.ends_with(",slab_pixels,length_mm,euclidean_mm"), c.pixelsPerMetre != 0) << header;
    EXPECT_EQ(header.ends_with(",slab_pixels"), c.pixelsPerMetre == 0) << header;
    EXPECT_EQ(word.summary.ends_with(" mm)"), c.pixelsPerMetre != 0) << word.summary;

    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(SummaryOf(entries[0]), word.summary);
    const std::string record = ReadAll("out/a/.finished");
    if (c.pixelsPerMetre == 0) {
        EXPECT_FALSE(entries[0].contains("total_length_mm"));
        EXPECT_EQ(record.find("pixels_per_metre"), std::string::npos) << record;
    } else {
        EXPECT_EQ(entries[0]["total_length_mm"].toDouble(),
                  entries[0]["total_length"].toDouble() * 1000 / c.pixelsPerMetre);
        EXPECT_NE(record.find("\npixels_per_metre " + std::to_string(c.pixelsPerMetre) + "\n"), std::string::npos)
            << record;
    }
    // Done once: a rerun skips the picture, its report line carrying the
    // recorded totals.
    ASSERT_EQ(RunTool(args).exitCode, 0);
    const std::vector<QJsonObject> again = ReportEntries("r.jsonl");
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[1]["status"].toString(), "skipped");
    EXPECT_EQ(again[1]["total_length"], again[0]["total_length"]);
    EXPECT_EQ(again[1]["total_length_mm"], again[0]["total_length_mm"]);
    std::filesystem::remove_all(word.folder);
}

INSTANTIATE_TEST_SUITE_P(
    Resolutions, MeasureScaleTest,
    testing::Values(
        ScaleCase{"WholeAt300Dpi", 130, 41, {11811, 11811}, {}, 11811},
        ScaleCase{"WholeAt300DpiKeepingCAsPng", 130, 41, {11811, 11811}, {"--keep", "C", "--format", "png"}, 11811},
        ScaleCase{"StreamedAt300Dpi", 1024, 683, {11811, 11811}, {"--keep", "C", "--threads", "2"}, 11811},
        ScaleCase{"StreamedAt300DpiKeepingCAsPng", 1024, 683, {11811, 11811},
                  {"--keep", "C", "--format", "png", "--threads", "2"}, 11811},
        ScaleCase{"StreamedAt96DpiKeepingOnlyB", 1024, 683, {3780, 3780}, {"--keep", "B", "--threads", "1"}, 3780},
        ScaleCase{"WholeAt72Dpi", 130, 41, {2835, 2835}, {"--keep", "C", "--format", "png"}, 0},
        ScaleCase{"StreamedAt72Dpi", 1024, 683, {2835, 2835}, {"--keep", "C", "--format", "png"}, 0},
        ScaleCase{"WholeAt300DpiAcrossAnd150Down", 130, 41, {11811, 5906}, {}, 0},
        ScaleCase{"StreamedAt300DpiAcrossAnd150Down", 1024, 683, {11811, 5906}, {"--keep", "C"}, 0}),
    [](const auto& info) { return info.param.name; });

TEST(SkeletonScaleTest, TakesTheScaleOfEachInputAsTheWordDoes) {
    ScratchDir dir;
    // The word chain's C.bmp keeps the picture's 300 dpi; streamed for its size, and whole.
    MakePicture("large.png", 1024, 683, 2, {11811, 11811});
    MakePicture("small.png", 130, 41, 2, {11811, 11811});
    std::filesystem::create_directories("in");
    std::vector<WordRun> words;
    for (const char* name : {"large", "small"}) {
        words.push_back(WordMeasures(std::string(name) + ".png"));
        std::filesystem::copy_file(words.back().folder + "/C.bmp", std::string("in/") + name + ".bmp");
    }
    const ToolRun run = RunTool({"--out", "out", "--skeleton", "in"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string folder = i == 0 ? "out/large" : "out/small";
        SCOPED_TRACE(folder);
        ExpectSameTables(folder, words[i].folder);
        EXPECT_NE(ReadAll(folder + "/skeletons.csv").find(",longest_shortest_path_mm\n"), std::string::npos);
        std::filesystem::remove_all(words[i].folder);
    }
}

// The summary's first counts: done and skipped.
std::pair<int, int> DoneAndSkipped(const ToolRun& run) {
    int done = -1, skipped = -1;
    std::sscanf(Lines(run.out).back().constData(), "%d done, %d skipped", &done, &skipped);
    return {done, skipped};
}

TEST(MeasureRecordTest, ARunAskingForTheMeasuresRedoesAPictureRecordedWithout) {
    ScratchDir dir;
    MakePicture("in/a.png", 47, 33, 3);
    const auto run = [](const QList<QByteArray>& options) {
        QList<QByteArray> args{"--out", "out", "--keep", "C", "--report", "r.jsonl"};
        args += options;
        args << "in";
        const ToolRun result = RunTool(args);
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        return DoneAndSkipped(result);
    };
    EXPECT_EQ(run({}), std::make_pair(1, 0));
    EXPECT_EQ(Names("out/a"), (std::set<std::string>{".finished", "C.bmp"}));
    EXPECT_EQ(run({"--measure"}), std::make_pair(1, 0)) << "recorded without the measures";
    EXPECT_EQ(Names("out/a"), (std::set<std::string>{".finished", "C.bmp", "branches.csv", "skeletons.csv"}));
    EXPECT_EQ(run({"--measure"}), std::make_pair(0, 1));
    // What a run without --measure asks for is there, and the measures stay.
    EXPECT_EQ(run({}), std::make_pair(0, 1));
    EXPECT_EQ(Names("out/a"), (std::set<std::string>{".finished", "C.bmp", "branches.csv", "skeletons.csv"}));
    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_FALSE(entries[0].contains("skeletons"));
    for (std::size_t i = 1; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(entries[i]["skeletons"].isDouble());
        EXPECT_EQ(entries[i]["total_length"], entries[1]["total_length"]);
    }
    std::filesystem::resize_file("out/a/skeletons.csv", 10);
    EXPECT_EQ(run({}), std::make_pair(1, 0)) << "a table shorter than recorded";
}

TEST(SkeletonOptionTest, MeasuresEachInputAsTheThinnedStageWithoutTheChain) {
    ScratchDir dir;
    // A stage C from the word chain, streamed for its size, and small drawn ones.
    MakePicture("strokes.png", 1024, 683, 2);
    const WordRun word = WordMeasures("strokes.png");
    std::filesystem::create_directories("in");
    std::filesystem::copy_file(word.folder + "/C.bmp", "in/thinned.bmp");
    DrawPicture("in/plus.png", {"..#..", "..#..", "#####", "..#..", "..#.."}, "PNG");
    DrawPicture("in/gray.pgm", {"##.", ".#g"}, "PGM");
    const ToolRun run = RunTool({"--out", "out", "--skeleton", "--report", "r.jsonl", "in"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.toStdString(), "workbench-batch: Cannot measure \"in/gray.pgm\": it is not two-level: the "
                                     "pixel at row 1, column 2 is neither black nor white\n");
    EXPECT_FALSE(std::filesystem::exists("out/gray"));
    EXPECT_EQ(Names("out/thinned"), (std::set<std::string>{".finished", "branches.csv", "skeletons.csv"}));
    ExpectSameTables("out/thinned", word.folder);
    EXPECT_EQ(ReadAll("out/plus/branches.csv"),
              "skeleton,branch,src_row,src_col,dst_row,dst_col,length,euclidean,type,slab_pixels\n"
              "1,1,0,2,2,2,2,2,1,1\n1,2,2,0,2,2,2,2,1,1\n1,3,2,2,2,4,2,2,1,1\n1,4,2,2,4,2,2,2,1,1\n");
    const std::string record = ReadAll("out/plus/.finished");
    EXPECT_NE(record.find("\nstages none\n"), std::string::npos) << record;
    EXPECT_NE(record.find("\nmeasured input\n"), std::string::npos) << record;
    for (const QJsonObject& entry : ReportEntries("r.jsonl")) {
        SCOPED_TRACE(entry["input"].toString().toStdString());
        if (entry["status"].toString() == "failed") {
            EXPECT_TRUE(entry["skeletons"].isNull());
            continue;
        }
        const QString input = entry["input"].toString();
        if (input == "in/thinned.bmp") {
            EXPECT_EQ(SummaryOf(entry), word.summary);
        } else {
            EXPECT_EQ(input, "in/plus.png");
            EXPECT_EQ(entry["junctions"].toInt(), 1);
        }
    }
    // Done once; the chain on the same inputs is other work.
    EXPECT_EQ(DoneAndSkipped(RunTool({"--out", "out", "--skeleton", "in"})), std::make_pair(0, 2));
    EXPECT_EQ(DoneAndSkipped(RunTool({"--out", "out", "--measure", "in/plus.png"})), std::make_pair(1, 0));
    std::filesystem::remove_all(word.folder);
}

// The most the measures hold at once while the rows of a picture file go by.
std::size_t PeakBytesHeld(const std::string& path) {
    TBitmap bitmap;
    bitmap.LoadFromFile(FileName(path));
    const ops::RowView rows = bitmap.ConstRows();
    ops::SkeletonStream stream(rows.width, rows.height);
    std::size_t peak = stream.BytesHeld();
    for (int y = 0; y < rows.height; ++y) {
        stream.Add(rows.row(y));
        peak = std::max(peak, stream.BytesHeld());
    }
    return peak;
}

TEST(MeasureMemoryTest, MeasuresTheLimitCannotHoldFailThePictureAloneNamingTheLimit) {
    ScratchDir dir;
    MakePicture("in/noise.png", 1500, 1500, 3);
    MakePicture("in/small.png", 47, 33, 2);
    const WordRun word = WordMeasures("in/noise.png");
    // The limit leaves the measures three quarters of it, less than they hold.
    const std::size_t peak = PeakBytesHeld(word.folder + "/C.bmp");
    ASSERT_GT(peak, std::size_t{1} << 20) << "a picture whose measures hold more, to be measured under a limit";
    const ToolRun tight = RunTool({"--out", "out", "--measure", "--jobs", "1", "--max-memory",
                                   QByteArray::number(static_cast<qulonglong>(peak)), "in"});
    EXPECT_EQ(tight.exitCode, 1);
    EXPECT_TRUE(tight.err.startsWith("workbench-batch: \"in/noise.png\": the picture is 1500 x 1500 pixels and its "
                                     "measures need more than the "))
        << tight.err.toStdString();
    EXPECT_TRUE(tight.err.endsWith(" leaves them (--max-memory)\n")) << tight.err.toStdString();
    EXPECT_EQ(Lines(tight.err).size(), 1);
    EXPECT_FALSE(std::filesystem::exists("out/noise"));
    EXPECT_TRUE(std::filesystem::exists("out/small/branches.csv")) << "the other picture is done";
    // Room enough: the same tables as the word's.
    const ToolRun roomy = RunTool({"--out", "out", "--measure", "--jobs", "1", "--max-memory",
                                   QByteArray::number(static_cast<qulonglong>(std::max<std::size_t>(4 * peak, 64 << 20))),
                                   "in"});
    EXPECT_EQ(roomy.exitCode, 0) << roomy.err.toStdString();
    ExpectSameTables("out/noise", word.folder);
    std::filesystem::remove_all(word.folder);
}

}  // namespace
