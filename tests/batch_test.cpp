// workbench-batch run as a user runs it: a process in a folder of pictures.
#include <QProcess>

#include "core/picture.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"
#include "tests/app_test_support.h"

namespace {

struct BatchRun {
    int exitCode = -1;
    QString errors;
};

BatchRun RunBatchTool(const QStringList& words) {
    QProcess process;
    process.start(QStringLiteral(WORKBENCH_BATCH_PATH), words);
    EXPECT_TRUE(process.waitForFinished(120000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardError())};
}

QImage StageFile(const char* name) {
    TBitmap bitmap;
    bitmap.LoadFromFile(name);
    return ImageOf(bitmap).copy();
}

ops::RowView Rows(QImage& image) { return {image.bits(), image.width(), image.height(), image.bytesPerLine()}; }

struct Size {
    int width, height;
};

class BatchChainTest : public testing::TestWithParam<Size> {};

TEST_P(BatchChainTest, WritesEveryStageOfTheReferenceResult) {
    const Size size = GetParam();
    ScratchDir dir;
    QImage picture = size.width > 100 ? StrokePicture(size.width, size.height)
                                      : RandomPicture(size.width, size.height, size.width * 31 + size.height);
    ASSERT_TRUE(picture.save("input.png"));

    const BatchRun run = RunBatchTool({"load", "input.png", "filter", "binarize", "thin", "label", "save", "result.bmp"});
    ASSERT_EQ(run.exitCode, 0) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.isEmpty()) << run.errors.toStdString();

    // Each stage from the plain form of its operation, one after the other.
    QImage expected = picture.convertToFormat(QImage::Format_BGR888);
    ops::FilterReference(Rows(expected));
    EXPECT_TRUE(SamePixels(StageFile("A.bmp"), expected));
    ops::BinarizeReference(Rows(expected));
    EXPECT_TRUE(SamePixels(StageFile("B.bmp"), expected));
    QImage written = expected.copy();
    ops::ThinReference(Rows(expected), Rows(written));
    EXPECT_TRUE(SamePixels(StageFile("C.bmp"), expected));
    ops::LabelReference(Rows(expected));
    EXPECT_TRUE(SamePixels(StageFile("D.bmp"), expected));
    EXPECT_EQ(FileBytes("result.bmp"), FileBytes("D.bmp"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, BatchChainTest,
                         testing::Values(Size{1, 1}, Size{1, 7}, Size{7, 1}, Size{47, 33}, Size{641, 481},
                                         Size{1000, 700}),
                         [](const testing::TestParamInfo<Size>& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

// The program's own messages, as workbench-batch shows them: the window's
// words, then a gloss in English, on one line.
const QString kPleaseLoad = "workbench-batch: 請載入圖檔!! (no picture loaded: use load FILE first)\n";
const QString kNothingToSave = "workbench-batch: 沒有可以存檔的畫面喔!! (nothing to save: run an operation first)\n";

struct MessageCase {
    const char* name;
    QStringList words;  // run in a folder holding the 5 x 4 picture in.png
    int exitCode;
    QString errors;
    QStringList written;  // the files the run leaves besides in.png
};

class BatchMessageTest : public testing::TestWithParam<MessageCase> {};

TEST_P(BatchMessageTest, GoToStandardErrorWithAGlossAndTheRunGoesOn) {
    const MessageCase& c = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(RandomPicture(5, 4, 17).save("in.png"));
    const BatchRun run = RunBatchTool(c.words);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.errors, c.errors);
    QStringList written = QDir(".").entryList(QDir::Files | QDir::Hidden);
    written.removeAll("in.png");
    EXPECT_EQ(written, c.written);
}

INSTANTIATE_TEST_SUITE_P(
    Words, BatchMessageTest,
    testing::Values(
        // Filter with nothing loaded says so and writes its empty stage file;
        // the save that follows has nothing to save.
        MessageCase{"filter_and_save_with_nothing_loaded", {"filter", "save", "x.bmp"}, 1,
                    kPleaseLoad + kNothingToSave, {"A.bmp"}},
        MessageCase{"each_operation_with_nothing_loaded", {"filter", "binarize", "thin"}, 0,
                    kPleaseLoad + kPleaseLoad + kPleaseLoad, {"A.bmp", "B.bmp", "C.bmp"}},
        MessageCase{"save_before_any_operation", {"load", "in.png", "save", "early.bmp"}, 1, kNothingToSave, {}},
        // The words after a save with nothing to save still run, and the
        // later save writes its file; the run still ends with status 1.
        MessageCase{"words_after_an_empty_save_still_run",
                    {"load", "in.png", "save", "early.bmp", "filter", "save", "late.bmp"}, 1, kNothingToSave,
                    {"A.bmp", "late.bmp"}},
        MessageCase{"every_save_after_an_operation", {"load", "in.png", "filter", "save", "one.bmp", "save", "two.bmp"},
                    0, "", {"A.bmp", "one.bmp", "two.bmp"}},
        // A failing word ends the run at once, with its own message.
        MessageCase{"a_failure_after_an_empty_save", {"save", "x.bmp", "label", "filter"}, 1,
                    kNothingToSave + "workbench-batch: Cannot read \"C.bmp\": no such file\n", {}}),
    [](const testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.name); });

struct StatusCase {
    const char* name;
    QStringList words;
    int exitCode;
    QString firstLine;
};

class BatchStatusTest : public testing::TestWithParam<StatusCase> {};

TEST_P(BatchStatusTest, FailuresAndUsageErrorsEndWithTheirStatus) {
    const StatusCase& c = GetParam();
    ScratchDir dir;
    const BatchRun run = RunBatchTool(c.words);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.errors.section('\n', 0, 0), c.firstLine);
    // A usage mistake is one line and a pointer to --help, not the help.
    if (c.exitCode == 2) {
        EXPECT_EQ(run.errors, c.firstLine + "\nTry 'workbench-batch --help' for more.\n");
    }
    EXPECT_FALSE(QFile::exists("A.bmp")) << "nothing after the failing word runs";
}

INSTANTIATE_TEST_SUITE_P(
    Words, BatchStatusTest,
    testing::Values(
        StatusCase{"no_words", {}, 2, "workbench-batch: no words to run, such as load FILE filter"},
        StatusCase{"option_after_the_words", {"load", "f.tif", "--page", "2"}, 2,
                   "workbench-batch: unknown word '--page' (options go before the words)"},
        StatusCase{"control_bytes", {"two\nlines\x1b"}, 2, R"(workbench-batch: unknown word 'two\nlines\x1b')"},
        StatusCase{"unknown_word", {"sharpen"}, 2, "workbench-batch: unknown word 'sharpen'"},
        StatusCase{"load_without_file", {"filter", "load"}, 2, "workbench-batch: 'load' needs a FILE"},
        StatusCase{"save_without_file", {"save"}, 2, "workbench-batch: 'save' needs a FILE"},
        StatusCase{"missing_picture", {"load", "missing.png", "filter"}, 1,
                   R"(workbench-batch: Cannot read "missing.png": no such file)"},
        StatusCase{"missing_stage_file", {"label", "filter"}, 1, R"(workbench-batch: Cannot read "C.bmp": no such file)"}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

// What a file that is not a picture gets: an empty file a message of its
// own; any other the common one of its kind, whatever its name says: a file
// loaded that no format reads, and a stage file that is no BMP file.
struct NotAPictureCase {
    const char* name;
    const char* file;
    QByteArray bytes;
    QStringList words;
    QString line;
};

class BatchNotAPictureTest : public testing::TestWithParam<NotAPictureCase> {};

TEST_P(BatchNotAPictureTest, GetsTheMessageOfItsKind) {
    const NotAPictureCase& c = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(WriteBytes(c.file, c.bytes));
    const BatchRun run = RunBatchTool(c.words);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.errors, "workbench-batch: " + c.line + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Files, BatchNotAPictureTest,
    testing::Values(
        NotAPictureCase{"empty_bmp", "x.bmp", "", {"load", "x.bmp"}, R"(Cannot read "x.bmp": the file is empty)"},
        NotAPictureCase{"empty_png", "x.png", "", {"load", "x.png"}, R"(Cannot read "x.png": the file is empty)"},
        NotAPictureCase{"text_named_bmp", "x.bmp", "hello", {"load", "x.bmp"},
                        R"(Cannot read "x.bmp": not a picture format this program reads)"},
        NotAPictureCase{"text_named_png", "x.png", "hello", {"load", "x.png"},
                        R"(Cannot read "x.png": not a picture format this program reads)"},
        NotAPictureCase{"text_without_extension", "x", "hello", {"load", "x"},
                        R"(Cannot read "x": not a picture format this program reads)"},
        NotAPictureCase{"text_stage_file", "C.bmp", "hello", {"label"}, R"(Cannot read "C.bmp": not a BMP file)"},
        NotAPictureCase{"empty_stage_file", "C.bmp", "", {"label"}, R"(Cannot read "C.bmp": the file is empty)"},
        // measure reads C.bmp in any format, as load reads a picture.
        NotAPictureCase{"text_stage_file_measured", "C.bmp", "hello", {"measure"},
                        R"(Cannot read "C.bmp": not a picture format this program reads)"}),
    [](const testing::TestParamInfo<NotAPictureCase>& info) { return std::string(info.param.name); });

// help2man makes the manual page's EXAMPLES of --help's "Examples:": each
// command a line of its own, at most 71 characters so that the page does not
// wrap it at 80 columns, and its description below it, indented by 22.
TEST(BatchHelpTest, EachExampleStandsOnItsOwnLineWithItsDescription) {
    QProcess process;
    process.start(QStringLiteral(WORKBENCH_BATCH_PATH), {"--help"});
    ASSERT_TRUE(process.waitForFinished(60000));
    const QString help = QString::fromUtf8(process.readAllStandardOutput());
    const qsizetype start = help.indexOf("\nExamples:\n");
    ASSERT_GE(start, 0);
    const QStringList lines = help.mid(start + 11).split('\n', Qt::SkipEmptyParts);
    int commands = 0;
    bool described = true;
    for (const QString& line : lines) {
        SCOPED_TRACE(line.toStdString());
        if (line.startsWith(QString(22, ' ')) && line.at(22) != ' ') {
            described = true;
            continue;
        }
        ASSERT_TRUE(line.startsWith("  ") && line.at(2) != ' ') << "neither a command nor a description";
        EXPECT_TRUE(described) << "the command before this one has no description";
        EXPECT_LE(line.size(), 2 + 71);
        described = false;
        ++commands;
    }
    EXPECT_TRUE(described);
    EXPECT_GE(commands, 5);
    // The Slurm job script is named where the package installs it.
    EXPECT_TRUE(help.contains("\n  cp " WORKBENCH_DATA_DIR "/cluster/workbench-batch.sbatch .\n")) << help.toStdString();
}

}  // namespace
