// The centre lines in the many-pictures mode: --vector gives each result
// folder the files the word `vectorize` writes for the same picture's stage
// C, byte for byte, whatever stages are kept, whole or streamed on 1, 2 and
// 3 threads, simplified or not; the record names them and their tolerance,
// so that a rerun asking for others redoes the picture and one asking for
// fewer skips it; --skeleton --vector traces the inputs themselves; a
// memory limit that cannot hold the open paths fails the picture alone.
#include <QJsonArray>

#include "core/centre_lines.h"
#include "core/picture.h"
#include "batch/chain.h"
#include "ops/skeleton_stream.h"
#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

const char* const kVectorFiles[] = {"skeleton.svg", "skeleton.dxf", "skeleton.geojson"};

// The word chain run to `vectorize` on an input, in a folder of its own,
// writing the files a result folder gets, under the same names.
std::string WordVectors(const std::string& input, const std::vector<std::string>& files,
                        const QList<QByteArray>& options = {}) {
    static int count = 0;
    const std::string folder =
        "/tmp/workbench-vector-reference-" + std::to_string(::getpid()) + "-" + std::to_string(count++);
    QList<QByteArray> args{"-C", QByteArray::fromStdString(folder)};
    args += options;
    args += {"load", QByteArray::fromStdString(std::filesystem::absolute(input).string()), "filter", "binarize", "thin"};
    for (const std::string& file : files) args += {"vectorize", QByteArray::fromStdString(file)};
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return folder;
}

void ExpectSameFiles(const std::string& folder, const std::string& reference, const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        const std::string expected = ReadAll(reference + "/" + file);
        EXPECT_FALSE(expected.empty()) << reference << "/" << file;
        EXPECT_TRUE(ReadAll(folder + "/" + file) == expected) << folder << "/" << file << " differs from the word's";
    }
}

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

struct VectorCase {
    std::string name;
    int width, height;
    std::uint32_t seed;  // a multiple of 3 gives random pixels, else strokes
    QList<QByteArray> options;
    std::vector<std::string> vectors;  // the vector files asked for
    QList<QByteArray> simplify;        // for the word chain too
    std::set<std::string> files;       // what else the folder holds besides the record
};

class VectorOptionTest : public testing::TestWithParam<VectorCase> {};

TEST_P(VectorOptionTest, EachFolderGetsTheWordsFilesByteForByte) {
    const VectorCase& c = GetParam();
    ScratchDir dir;
    MakePicture("in/a.png", c.width, c.height, c.seed);
    MakePicture("in/b.png", 47, 33, c.seed + 3);
    QList<QByteArray> args{"--out", "out", "--report", "r.jsonl"};
    args += c.options;
    args += c.simplify;
    args << "in";
    const ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    ASSERT_EQ(entries.size(), 2u);
    for (const char* name : {"a", "b"}) {
        SCOPED_TRACE(name);
        const std::string word = WordVectors(std::string("in/") + name + ".png", c.vectors, c.simplify);
        std::set<std::string> files = c.files;
        files.insert(".finished");
        files.insert(c.vectors.begin(), c.vectors.end());
        EXPECT_EQ(Names(std::string("out/") + name), files);
        ExpectSameFiles(std::string("out/") + name, word, c.vectors);
        std::filesystem::remove_all(word);
    }
    for (const QJsonObject& entry : entries) {
        QStringList reported;
        for (const QJsonValue& file : entry["files"].toArray()) reported << file.toString();
        QStringList asked;
        for (const std::string& file : c.vectors) asked << QString::fromStdString(file);
        EXPECT_EQ(reported.mid(reported.size() - asked.size()), asked) << "the vector files come last";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, VectorOptionTest,
    testing::Values(
        VectorCase{"EveryStage", 130, 41, 2, {"--vector", "svg,dxf,geojson"}, {"skeleton.svg", "skeleton.dxf", "skeleton.geojson"}, {},
                   {"A.bmp", "B.bmp", "C.bmp", "D.bmp"}},
        // The chain runs to C to trace it, though it keeps less; no tables
        // without --measure.
        VectorCase{"KeepingOnlyA", 130, 41, 2, {"--keep", "A", "--vector", "svg"}, {"skeleton.svg"}, {}, {"A.bmp"}},
        VectorCase{"WithTheMeasures", 61, 90, 3, {"--keep", "D", "--format", "png", "--measure", "--vector", "dxf"},
                   {"skeleton.dxf"}, {}, {"D.png", "branches.csv", "skeletons.csv"}},
        VectorCase{"AskedTwiceInAnyCase", 130, 41, 2, {"--keep", "C", "--vector", "GeoJSON", "--vector", "svg,geojson"},
                   {"skeleton.svg", "skeleton.geojson"}, {}, {"C.bmp"}},
        VectorCase{"Simplified", 130, 41, 2, {"--keep", "C", "--vector", "svg,geojson"}, {"skeleton.svg", "skeleton.geojson"},
                   {"--simplify", "1.5"}, {"C.bmp"}},
        // Streamed (more than kWholePictureBytes of rows): the stream's
        // files are the whole picture's.
        VectorCase{"StreamedOneThread", 1024, 683, 2, {"--keep", "B", "--threads", "1", "--vector", "svg,dxf,geojson"},
                   {"skeleton.svg", "skeleton.dxf", "skeleton.geojson"}, {}, {"B.bmp"}},
        VectorCase{"StreamedTwoThreads", 1024, 683, 2, {"--keep", "B", "--threads", "2", "--vector", "svg,dxf,geojson"},
                   {"skeleton.svg", "skeleton.dxf", "skeleton.geojson"}, {}, {"B.bmp"}},
        VectorCase{"StreamedThreeThreadsRandom", 700, 1500, 3, {"--keep", "C", "--threads", "3", "--vector", "svg,dxf,geojson"},
                   {"skeleton.svg", "skeleton.dxf", "skeleton.geojson"}, {}, {"C.bmp"}},
        VectorCase{"StreamedSimplifiedTwoJobs", 1024, 683, 2,
                   {"--keep", "C", "--format", "png", "--jobs", "2", "--measure", "--vector", "geojson"},
                   {"skeleton.geojson"}, {"--simplify", "1.5"}, {"C.png", "branches.csv", "skeletons.csv"}}),
    [](const auto& info) { return info.param.name; });

TEST(VectorCasesTest, TheCasesLieOnTheSidesOfTheWholePictureSize) {
    EXPECT_LE(3 * 130 * 41, kWholePictureBytes);
    EXPECT_LE(3 * 61 * 90, kWholePictureBytes);
    EXPECT_GT(3 * 1024 * 683, kWholePictureBytes);
    EXPECT_GT(3 * 700 * 1500, kWholePictureBytes);
}

// The summary's first counts: done and skipped.
std::pair<int, int> DoneAndSkipped(const ToolRun& run) {
    int done = -1, skipped = -1;
    std::sscanf(Lines(run.out).back().constData(), "%d done, %d skipped", &done, &skipped);
    return {done, skipped};
}

struct RerunStep {
    const char* what;
    QList<QByteArray> options;
    std::pair<int, int> doneAndSkipped;
    std::set<std::string> files;  // the folder's, besides the record and C.bmp
    const char* recorded;         // the record's lines of the vector files, or "" for none
};

TEST(VectorRecordTest, ARerunRedoesAPictureForOtherFilesOrAnotherToleranceAndSkipsItForFewer) {
    ScratchDir dir;
    MakePicture("in/a.png", 47, 33, 3);
    const RerunStep steps[] = {
        {"first", {"--vector", "svg,dxf"}, {1, 0}, {"skeleton.svg", "skeleton.dxf"}, "vectors svg,dxf\nsimplify 0\n"},
        {"fewer", {"--vector", "dxf"}, {0, 1}, {"skeleton.svg", "skeleton.dxf"}, "vectors svg,dxf\nsimplify 0\n"},
        {"none", {}, {0, 1}, {"skeleton.svg", "skeleton.dxf"}, "vectors svg,dxf\nsimplify 0\n"},
        {"the same, lossless said", {"--vector", "svg", "--simplify", "0"}, {0, 1}, {"skeleton.svg", "skeleton.dxf"},
         "vectors svg,dxf\nsimplify 0\n"},
        {"another", {"--vector", "geojson"}, {1, 0}, {"skeleton.geojson"}, "vectors geojson\nsimplify 0\n"},
        {"another tolerance", {"--vector", "geojson", "--simplify", "1.5"}, {1, 0}, {"skeleton.geojson"},
         "vectors geojson\nsimplify 1.5\n"},
        {"the same tolerance", {"--vector", "geojson", "--simplify", "1.50"}, {0, 1}, {"skeleton.geojson"},
         "vectors geojson\nsimplify 1.5\n"},
        {"none recorded before", {"--measure"}, {1, 0}, {"branches.csv", "skeletons.csv"}, ""},
    };
    for (const RerunStep& step : steps) {
        SCOPED_TRACE(step.what);
        QList<QByteArray> args{"--out", "out", "--keep", "C"};
        args += step.options;
        args << "in";
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(DoneAndSkipped(run), step.doneAndSkipped);
        std::set<std::string> files = step.files;
        files.insert({".finished", "C.bmp"});
        EXPECT_EQ(Names("out/a"), files);
        const std::string record = ReadAll("out/a/.finished");
        const std::size_t vectors = record.find("\nvectors ");
        EXPECT_EQ(vectors == std::string::npos ? "" : record.substr(vectors + 1, record.find("\nfile ") - vectors),
                  step.recorded);
    }
    ASSERT_EQ(DoneAndSkipped(RunTool({"--out", "out", "--keep", "C", "--vector", "dxf", "in"})), std::make_pair(1, 0));
    std::filesystem::resize_file("out/a/skeleton.dxf", 10);
    EXPECT_EQ(DoneAndSkipped(RunTool({"--out", "out", "--keep", "C", "in"})), std::make_pair(1, 0))
        << "a vector file shorter than recorded";
}

TEST(SkeletonVectorTest, TracesEachInputAsTheThinnedStageWithoutTheChain) {
    ScratchDir dir;
    // A stage C from the word chain, streamed for its size, and a drawn one
    // with a gray pixel.
    MakePicture("strokes.png", 1024, 683, 2);
    const std::vector<std::string> files(std::begin(kVectorFiles), std::end(kVectorFiles));
    const std::string word = WordVectors("strokes.png", files);
    std::filesystem::create_directories("in");
    std::filesystem::copy_file(word + "/C.bmp", "in/thinned.bmp");
    DrawPicture("in/gray.pgm", {"##.", ".#g"}, "PGM");
    const ToolRun run = RunTool({"--out", "out", "--skeleton", "--vector", "svg,dxf,geojson", "in"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.toStdString(), "workbench-batch: Cannot measure \"in/gray.pgm\": it is not two-level: the "
                                     "pixel at row 1, column 2 is neither black nor white\n");
    EXPECT_FALSE(std::filesystem::exists("out/gray"));
    EXPECT_EQ(Names("out/thinned"), (std::set<std::string>{".finished", "branches.csv", "skeletons.csv", "skeleton.svg",
                                                           "skeleton.dxf", "skeleton.geojson"}));
    ExpectSameFiles("out/thinned", word, files);
    EXPECT_NE(ReadAll("out/thinned/.finished").find("\nmeasured input\n"), std::string::npos);
    std::filesystem::remove_all(word);
}

// The most the measures hold at once while the rows of a picture file go
// by, with the centre lines traced or not.
std::size_t PeakBytesHeld(const std::string& path, bool traced) {
    TBitmap bitmap;
    bitmap.LoadFromFile(FileName(path));
    const ops::RowView rows = bitmap.ConstRows();
    CentreLinePaths paths(FileName("/tmp"));
    ops::SkeletonStream stream(rows.width, rows.height, traced ? paths.Sink() : ops::CentrePathSink{});
    const auto held = [&] { return stream.BytesHeld() + (traced ? paths.BytesHeld() : 0); };
    std::size_t peak = held();
    for (int y = 0; y < rows.height; ++y) {
        stream.Add(rows.row(y));
        peak = std::max(peak, held());
    }
    return peak;
}

TEST(VectorMemoryTest, OpenPathsTheLimitCannotHoldFailThePictureAloneNamingTheLimit) {
    ScratchDir dir;
    MakePicture("in/noise.png", 1500, 1500, 3);
    MakePicture("in/small.png", 47, 33, 2);
    const std::string word = WordVectors("in/noise.png", {"skeleton.svg"});
    const std::size_t measures = PeakBytesHeld(word + "/C.bmp", false);
    const std::size_t traced = PeakBytesHeld(word + "/C.bmp", true);
    ASSERT_GT(traced, std::size_t{1} << 20) << "a picture whose open paths hold more, to be traced under a limit";
    // Under --max-memory L the measures may hold 3/4 L: enough for the
    // measures alone, too little once the paths are traced.
    const std::size_t limit = measures * 4 / 3 + 4096;
    ASSERT_LT(limit * 3 / 4, traced) << "the paths must weigh more than the margin";
    const QByteArray limitText = QByteArray::number(static_cast<qulonglong>(limit));
    const ToolRun tight =
        RunTool({"--out", "out", "--keep", "C", "--vector", "svg", "--jobs", "1", "--max-memory", limitText, "in"});
    EXPECT_EQ(tight.exitCode, 1);
    EXPECT_TRUE(tight.err.startsWith("workbench-batch: \"in/noise.png\": the picture is 1500 x 1500 pixels and its "
                                     "centre lines need more than the "))
        << tight.err.toStdString();
    EXPECT_TRUE(tight.err.endsWith(" leaves them (--max-memory)\n")) << tight.err.toStdString();
    EXPECT_EQ(Lines(tight.err).size(), 1);
    EXPECT_FALSE(std::filesystem::exists("out/noise"));
    EXPECT_TRUE(std::filesystem::exists("out/small/skeleton.svg")) << "the other picture is done";
    // The measures alone fit under the same limit.
    const ToolRun measured =
        RunTool({"--out", "out", "--keep", "C", "--measure", "--jobs", "1", "--max-memory", limitText, "in/noise.png"});
    EXPECT_EQ(measured.exitCode, 0) << measured.err.toStdString();
    // Room enough: the word's file.
    const ToolRun roomy = RunTool({"--out", "out", "--keep", "C", "--vector", "svg", "--jobs", "1", "--max-memory",
                                   QByteArray::number(static_cast<qulonglong>(std::max<std::size_t>(4 * traced, 64 << 20))),
                                   "in"});
    EXPECT_EQ(roomy.exitCode, 0) << roomy.err.toStdString();
    ExpectSameFiles("out/noise", word, {"skeleton.svg"});
    std::filesystem::remove_all(word);
}

}  // namespace
