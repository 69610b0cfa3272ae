// workbench-batch run as a user runs it: a process in a folder of pictures.
#include <QProcess>

#include "app/picture.h"
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
    bitmap.LoadFromFile(QString::fromLatin1(name));
    return bitmap.Image();
}

ops::RowView Rows(QImage& image) { return {image.bits(), image.width(), image.height(), image.bytesPerLine()}; }

TEST(BatchTest, TheChainWritesEveryStageOfTheReferenceResult) {
    struct Size {
        int width, height;
    };
    for (const Size size : {Size{1, 1}, Size{1, 7}, Size{7, 1}, Size{47, 33}, Size{641, 481}, Size{1000, 700}}) {
        SCOPED_TRACE(testing::Message() << size.width << " x " << size.height);
        ScratchDir dir;
        QImage picture = size.width > 100 ? StrokePicture(size.width, size.height)
                                          : RandomPicture(size.width, size.height, size.width * 31 + size.height);
        ASSERT_TRUE(picture.save("input.png"));

        const BatchRun run =
            RunBatchTool({"load", "input.png", "filter", "binarize", "thin", "label", "save", "result.bmp"});
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
}

TEST(BatchTest, MessagesGoToStandardErrorAndTheRunGoesOn) {
    ScratchDir dir;
    const BatchRun empty = RunBatchTool({"filter", "save", "x.bmp"});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.errors, "請載入圖檔!!\n沒有可以存檔的畫面喔!!\n");
    EXPECT_EQ(FileBytes("A.bmp").size(), 54);
    EXPECT_FALSE(QFile::exists("x.bmp"));
}

TEST(BatchTest, FailuresAndUsageErrorsEndWithTheirStatus) {
    struct Case {
        QStringList words;
        int exitCode;
        QString firstLine;
    };
    const Case cases[] = {
        {{}, 2, "Usage: workbench-batch [-C DIR] [--page K] WORD..."},
        {{"two\nlines\x1b"}, 2, R"(workbench-batch: unknown word 'two\nlines\x1b')"},
        {{"sharpen"}, 2, "workbench-batch: unknown word 'sharpen'"},
        {{"filter", "load"}, 2, "workbench-batch: 'load' needs a FILE"},
        {{"save"}, 2, "workbench-batch: 'save' needs a FILE"},
        {{"load", "missing.png", "filter"}, 1, R"(workbench-batch: Cannot read "missing.png": no such file)"},
        {{"label", "filter"}, 1, R"(workbench-batch: Cannot read "C.bmp": no such file)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.join(' ').toStdString());
        ScratchDir dir;
        const BatchRun run = RunBatchTool(c.words);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.errors.section('\n', 0, 0), c.firstLine);
        EXPECT_FALSE(QFile::exists("A.bmp")) << "nothing after the failing word runs";
    }
}

}  // namespace
