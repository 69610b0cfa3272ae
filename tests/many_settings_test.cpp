// The chain's settings in workbench-batch (--gray, --threshold, --thin):
// the word chain's stages are the plain operations' with those settings,
// --out writes the word chain's bytes whole and streamed on any number of
// threads, Otsu's level is said and is the same both ways, full thinning
// leaves nothing more to take, and the record decides what a rerun redoes.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/picture.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/thinning.h"
#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

bool IsDarkInk(int x, int y) { return (x / 7 + y / 11) % 9 == 0 || (y % 97 > 40 && y % 97 < 52 && x % 150 < 90); }
bool IsBlueInk(int x, int y) { return !IsDarkInk(x, y) && (x + 2 * y) % 61 < 10; }
bool IsPaper(int x, int y) { return !IsDarkInk(x, y) && !IsBlueInk(x, y); }

// A dim photo of a page: paper about RGB (125, 118, 105), dark strokes
// about (40, 38, 35), blue ones about (30, 40, 170), and noise.
QImage DimPage(int width, int height, std::uint32_t seed) {
    QImage image(width, height, QImage::Format_RGB888);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const bool dark = IsDarkInk(x, y);
            const bool blue = !dark && IsBlueInk(x, y);
            int rgb[3] = {125, 118, 105};
            if (dark) rgb[0] = 40, rgb[1] = 38, rgb[2] = 35;
            if (blue) rgb[0] = 30, rgb[1] = 40, rgb[2] = 170;
            const int n = noise(rng);
            for (int c = 0; c < 3; ++c) row[3 * x + c] = static_cast<std::uint8_t>(std::clamp(rgb[c] + n, 0, 255));
        }
    }
    return image;
}


// Black disks on white: thick shapes that nine iterations do not thin.
QImage Disks(int width, int height) {
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(Qt::white);
    const int disks[][3] = {{60, 60, 40}, {width / 2, height / 2, 120}, {width - 90, height - 90, 70}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (const auto& d : disks)
                if ((x - d[0]) * (x - d[0]) + (y - d[1]) * (y - d[1]) <= d[2] * d[2]) image.setPixelColor(x, y, Qt::black);
    return image;
}

QImage Load(const std::string& path) {
    TBitmap bitmap;
    bitmap.LoadFromFile(FileName(path));
    return ImageOf(bitmap).copy();
}

ops::RowView Rows(QImage& image) { return {image.bits(), image.width(), image.height(), image.bytesPerLine()}; }

QList<QByteArray> Args(const std::vector<std::string>& words) {
    QList<QByteArray> args;
    for (const std::string& word : words) args << QByteArray::fromStdString(word);
    return args;
}

// The word chain run with the settings in an empty folder; its standard output.
QByteArray WordChain(const std::vector<std::string>& settings, const std::string& input, const std::string& folder) {
    QList<QByteArray> args{"-C", QByteArray::fromStdString(folder)};
    args += Args(settings);
    args += {"load", QByteArray::fromStdString(std::filesystem::absolute(input).string()), "filter", "binarize", "thin",
             "label"};
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    return run.out;
}

struct WordCase {
    std::string name;
    std::vector<std::string> settings;
    ops::ChainSettings expected;
};

class WordChainSettingsTest : public testing::TestWithParam<WordCase> {};

// Each stage file is the plain operation's with the settings, one after
// the other; Otsu's level is said on standard output.
TEST_P(WordChainSettingsTest, StagesAreThePlainOperationsWithTheSettings) {
    const WordCase& c = GetParam();
    ScratchDir dir;
    const QImage picture = DimPage(160, 120, 5);
    ASSERT_TRUE(picture.save("page.png"));
    const QByteArray out = WordChain(c.settings, "page.png", "run");

    QImage expected = picture.convertToFormat(QImage::Format_BGR888);
    ops::FilterReference(Rows(expected), c.expected.gray);
    EXPECT_TRUE(SamePixels(Load("run/A.bmp"), expected));
    const int level = ops::BinarizeReference(Rows(expected), c.expected.threshold);
    EXPECT_TRUE(SamePixels(Load("run/B.bmp"), expected));
    QImage written = expected.copy();
    ops::ThinReference(Rows(expected), Rows(written), c.expected.thin);
    EXPECT_TRUE(SamePixels(Load("run/C.bmp"), expected));
    const QByteArray said = c.expected.threshold.otsu() ? "binarize: threshold " + QByteArray::number(level) + " (otsu)\n" : "";
    EXPECT_EQ(out, said);
}

INSTANTIATE_TEST_SUITE_P(
    Options, WordChainSettingsTest,
    testing::Values(
        WordCase{"GrayLuma", {"--gray", "luma"}, {ops::GraySource::kLuma, {}, {}}},
        WordCase{"GrayBlue", {"--gray=blue"}, {}},
        WordCase{"ThresholdLevel", {"--threshold", "90"}, {ops::GraySource::kBlue, ops::Threshold::Level(90), {}}},
        WordCase{"ThresholdZero", {"--threshold", "0"}, {ops::GraySource::kBlue, ops::Threshold::Level(0), {}}},
        WordCase{"ThresholdOtsu", {"--threshold", "otsu"}, {ops::GraySource::kBlue, ops::Threshold::Otsu(), {}}},
        WordCase{"ThinCount", {"--thin", "3"}, {ops::GraySource::kBlue, {}, ops::ThinIterations::Count(3)}},
        WordCase{"ThinFull", {"--thin", "full"}, {ops::GraySource::kBlue, {}, ops::ThinIterations::Full()}},
        WordCase{"AllThree",
                 {"--gray", "luma", "--threshold", "otsu", "--thin", "full"},
                 {ops::GraySource::kLuma, ops::Threshold::Otsu(), ops::ThinIterations::Full()}}),
    [](const auto& info) { return info.param.name; });

struct OutCase {
    std::string name;
    std::vector<std::string> settings;
    std::vector<std::string> keep;  // the stage files kept (all four when empty)
};

class OutSettingsTest : public testing::TestWithParam<OutCase> {};

// --out writes the word chain's bytes with the same settings, for a
// picture run whole and one streamed, on 1, 2 and 3 threads.
TEST_P(OutSettingsTest, WholeAndStreamedWriteTheWordChainsBytes) {
    const OutCase& c = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(DimPage(300, 200, 7).save("whole.png"));       // 180 KB of rows: whole
    ASSERT_TRUE(DimPage(1100, 700, 8).save("streamed.png"));   // 2.3 MB of rows: a stream
    const std::vector<std::string> stages =
        c.keep.empty() ? std::vector<std::string>{"A", "B", "C", "D"} : c.keep;
    for (const char* name : {"whole", "streamed"}) {
        const std::string reference = std::string("ref-") + name;
        const QByteArray said = WordChain(c.settings, std::string(name) + ".png", reference);
        for (const char* threads : {"1", "2", "3"}) {
            SCOPED_TRACE(std::string(name) + " on " + threads + " threads");
            std::filesystem::remove_all("out");
            QList<QByteArray> args{"--out", "out", "--threads", threads};
            args += Args(c.settings);
            if (!c.keep.empty()) {
                std::string letters;
                for (const std::string& s : c.keep) letters += (letters.empty() ? "" : ",") + s;
                args += {"--keep", QByteArray::fromStdString(letters)};
            }
            args << QByteArray(name) + ".png";
            const ToolRun run = RunTool(args);
            ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
            for (const std::string& stage : stages)
                EXPECT_TRUE(ReadAll("out/" + std::string(name) + "/" + stage + ".bmp") ==
                            ReadAll(reference + "/" + stage + ".bmp"))
                    << stage << ".bmp differs from the word chain's";
            // Otsu's level, as the word chain said it, on the progress line.
            if (!said.isEmpty()) {
                EXPECT_TRUE(run.out.contains(said.mid(10).chopped(1))) << run.out.toStdString();
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, OutSettingsTest,
    testing::Values(OutCase{"GrayLuma", {"--gray", "luma"}, {}}, OutCase{"ThresholdOtsu", {"--threshold", "otsu"}, {}},
                    OutCase{"LevelAndFewIterations", {"--threshold", "60", "--thin", "2"}, {}},
                    OutCase{"ManyIterations", {"--thin", "30"}, {}}, OutCase{"ThinFull", {"--thin", "full"}, {}},
                    OutCase{"ThinFullKeepingC", {"--thin", "full"}, {"C"}},
                    OutCase{"AllThree", {"--gray", "luma", "--threshold", "otsu", "--thin", "full"}, {}}),
    [](const auto& info) { return info.param.name; });

// The same picture run whole and, under a memory limit too tight for
// that, streamed: Otsu's level and every byte are the same.
TEST(OtsuTest, WholeAndStreamedChooseTheSameLevelAndSayIt) {
    ScratchDir dir;
    ASSERT_TRUE(DimPage(1000, 600, 9).save("page.png"));
    const QByteArray said = WordChain({"--threshold", "otsu"}, "page.png", "ref");
    ASSERT_TRUE(said.startsWith("binarize: threshold ")) << said.toStdString();
    const int level = said.mid(20, said.indexOf(' ', 20) - 20).toInt();
    for (const std::vector<std::string>& limit : {std::vector<std::string>{}, {"--max-memory", "2M"}}) {
        SCOPED_TRACE(limit.empty() ? "whole" : "streamed");
        std::filesystem::remove_all("out");
        std::filesystem::remove("r.jsonl");
        QList<QByteArray> args{"--out", "out", "--jobs", "1", "--threads", "2", "--threshold", "otsu", "--report", "r.jsonl"};
        args += Args(limit);
        args << "page.png";
        const ToolRun run = RunTool(args);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_TRUE(Lines(run.out).front().contains(" 1000x600 threshold " + QByteArray::number(level) + " (otsu) "))
            << run.out.toStdString();
        const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0]["threshold"].toInt(-1), level);
        EXPECT_EQ(entries[0]["settings"].toString(), "gray blue threshold otsu thin 9");
        for (const char* stage : kStages) EXPECT_TRUE(ReadAll(std::string("out/page/") + stage) == ReadAll(std::string("ref/") + stage)) << stage;
    }
}

// The dim photo: the default level turns the paper black; Otsu's keeps it
// white, and the strokes black.
TEST(OtsuTest, ADimPhotoKeepsItsPaperWhite) {
    ScratchDir dir;
    ASSERT_TRUE(DimPage(1000, 600, 11).save("page.png"));
    struct Run {
        std::vector<std::string> args;
        double leastWhitePaper, mostWhitePaper;
    };
    for (const Run& r : {Run{{}, 0.0, 0.05}, Run{{"--threshold", "otsu"}, 0.95, 1.0},
                         Run{{"--threshold", "otsu", "--max-memory", "2M"}, 0.95, 1.0}}) {
        SCOPED_TRACE(r.args.empty() ? std::string("default") : r.args.back());
        std::filesystem::remove_all("out");
        QList<QByteArray> args{"--out", "out", "--jobs", "1", "--keep", "B"};
        args += Args(r.args);
        args << "page.png";
        const ToolRun run = RunTool(args);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QImage b = Load("out/page/B.bmp");
        long paper = 0, white = 0;
        for (int y = 0; y < b.height(); ++y)
            for (int x = 0; x < b.width(); ++x)
                if (IsPaper(x, y)) {
                    ++paper;
                    white += b.pixelColor(x, y) == QColor(Qt::white);
                }
        const double share = static_cast<double>(white) / static_cast<double>(paper);
        EXPECT_GE(share, r.leastWhitePaper);
        EXPECT_LE(share, r.mostWhitePaper);
    }
}

// Blue ink is lighter than the paper in the blue byte, and darker in the
// luma: --gray luma keeps its strokes.
TEST(GrayTest, LumaKeepsBlueInkThatTheBlueByteLoses) {
    ScratchDir dir;
    ASSERT_TRUE(DimPage(1000, 600, 13).save("page.png"));
    for (const char* gray : {"blue", "luma"}) {
        SCOPED_TRACE(gray);
        std::filesystem::remove_all("out");
        const ToolRun run = RunTool({"--out", "out", "--keep", "B", "--threshold", "otsu", "--gray", gray, "page.png"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QImage b = Load("out/page/B.bmp");
        long ink = 0, black = 0;
        for (int y = 2; y < b.height() - 2; ++y)
            for (int x = 2; x < b.width() - 2; ++x)
                if (IsBlueInk(x, y) && IsBlueInk(x - 2, y) && IsBlueInk(x + 2, y)) {
                    ++ink;
                    black += b.pixelColor(x, y) == QColor(Qt::black);
                }
        ASSERT_GT(ink, 0);
        const double share = static_cast<double>(black) / static_cast<double>(ink);
        if (std::string(gray) == "blue") {
            EXPECT_LE(share, 0.05);
        } else {
            EXPECT_GE(share, 0.95);
        }
    }
}

// --thin full on disks, whole and streamed: the same C, and one more
// iteration of the thinning takes nothing from it.
TEST(FullThinningTest, LeavesNothingMoreToTakeWholeAndStreamed) {
    ScratchDir dir;
    ASSERT_TRUE(Disks(1000, 600).save("disks.png"));
    WordChain({"--thin", "full"}, "disks.png", "ref");
    QImage thinned = Load("ref/C.bmp").convertToFormat(QImage::Format_BGR888);
    QImage again = thinned.copy(), written = thinned.copy();
    EXPECT_FALSE(ops::ThinReference(Rows(again), Rows(written), ops::ThinIterations::Count(1)));
    EXPECT_TRUE(SamePixels(again, thinned)) << "one more iteration takes a pixel";
    EXPECT_FALSE(SamePixels(thinned, Load("ref/B.bmp"))) << "nothing was thinned";
    for (const std::vector<std::string>& limit : {std::vector<std::string>{}, {"--max-memory", "2M"}}) {
        for (const char* threads : {"1", "2", "3"}) {
            SCOPED_TRACE((limit.empty() ? std::string("whole") : std::string("streamed")) + " on " + threads);
            std::filesystem::remove_all("out");
            QList<QByteArray> args{"--out", "out", "--jobs", "1", "--threads", threads, "--thin", "full"};
            args += Args(limit);
            args << "disks.png";
            const ToolRun run = RunTool(args);
            ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
            for (const char* stage : kStages)
                EXPECT_TRUE(ReadAll(std::string("out/disks/") + stage) == ReadAll(std::string("ref/") + stage)) << stage;
            EXPECT_TRUE(Temporaries("out").empty());
        }
    }
}

struct RerunCase {
    std::string name;
    std::vector<std::vector<std::string>> runs;  // the settings of each run, in turn
    std::string lastSummary;                     // how the last run's summary starts
};

class RerunSettingsTest : public testing::TestWithParam<RerunCase> {};

TEST_P(RerunSettingsTest, OtherSettingsRedoThePictureAndTheSameSkipIt) {
    const RerunCase& c = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(DimPage(60, 40, 3).save("page.png"));
    ToolRun run;
    for (const std::vector<std::string>& settings : c.runs) {
        QList<QByteArray> args{"--out", "out"};
        args += Args(settings);
        args << "page.png";
        run = RunTool(args);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    }
    EXPECT_TRUE(Lines(run.out).back().startsWith(QByteArray::fromStdString(c.lastSummary))) << run.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RerunSettingsTest,
    testing::Values(
        RerunCase{"SameSettingsSkip", {{"--threshold", "otsu", "--thin", "full"}, {"--thin", "full", "--threshold", "otsu"}},
                  "0 done, 1 skipped"},
        RerunCase{"OtherThresholdRedoes", {{"--threshold", "otsu"}, {"--threshold", "100"}}, "1 done, 0 skipped"},
        RerunCase{"OtherGrayRedoes", {{"--gray", "luma"}, {"--gray", "blue"}}, "1 done, 0 skipped"},
        RerunCase{"OtherThinningRedoes", {{"--thin", "full"}, {"--thin", "8"}}, "1 done, 0 skipped"},
        RerunCase{"DefaultsAfterSettingsRedo", {{"--thin", "4"}, {}}, "1 done, 0 skipped"},
        RerunCase{"SettingsAfterDefaultsRedo", {{}, {"--thin", "4"}}, "1 done, 0 skipped"},
        // A record that names no settings stands for the defaults.
        // The words of the options are taken in any case.
        RerunCase{"CapitalsNameTheSameSettings",
                  {{"--gray", "luma", "--threshold", "otsu", "--thin", "full", "--format", "png"},
                   {"--gray", "LUMA", "--threshold", "Otsu", "--thin", "FULL", "--format", "PNG"}},
                  "0 done, 1 skipped"},
        RerunCase{"TheDefaultsSpelledOutSkip", {{}, {"--gray", "blue", "--threshold", "126", "--thin", "9"}},
                  "0 done, 1 skipped"}),
    [](const auto& info) { return info.param.name; });

// The record names settings other than the defaults, with Otsu's level.
TEST(RecordTest, NamesTheSettingsAndTheLevel) {
    ScratchDir dir;
    ASSERT_TRUE(DimPage(60, 40, 3).save("page.png"));
    ASSERT_EQ(RunTool({"--out", "out", "--gray", "luma", "--threshold", "otsu", "--thin", "full", "page.png"}).exitCode, 0);
    ASSERT_EQ(RunTool({"--out", "plain", "page.png"}).exitCode, 0);
    const std::string record = ReadAll("out/page/.finished");
    const QByteArray said = WordChain({"--gray", "luma", "--threshold", "otsu", "--thin", "full"}, "page.png", "ref");
    EXPECT_NE(record.find("\nformat bmp\ngray luma\nthreshold otsu\nthin full\nlevel " +
                          said.mid(20, said.indexOf(' ', 20) - 20).toStdString() + "\nfile A.bmp "),
              std::string::npos)
        << record;
    EXPECT_EQ(ReadAll("plain/page/.finished").find("\ngray "), std::string::npos) << "the defaults are not named";
}

struct MistakeCase {
    std::string name;
    std::vector<std::string> args;
    std::string message;
};

class SettingsMistakeTest : public testing::TestWithParam<MistakeCase> {};

TEST_P(SettingsMistakeTest, OneLineAndExitStatusTwo) {
    const MistakeCase& c = GetParam();
    ScratchDir dir;
    const ToolRun run = RunTool(Args(c.args));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err.toStdString(), "workbench-batch: " + c.message + "\nTry 'workbench-batch --help' for more.\n");
    EXPECT_TRUE(run.out.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Options, SettingsMistakeTest,
    testing::Values(MistakeCase{"GrayRed", {"--gray", "red", "load", "x.png"}, "'--gray' needs blue or luma, not \"red\""},
                    MistakeCase{"ThresholdTooHigh", {"--threshold", "256", "load", "x.png"},
                                "'--threshold' needs a level from 0 to 255 or otsu, not \"256\""},
                    MistakeCase{"ThinTooMany", {"--out", "o", "--thin", "1001", "x.png"},
                                "'--thin' needs a count of iterations from 0 to 1000 or full, not \"1001\""},
                    MistakeCase{"SettingsWithSkeleton", {"--out", "o", "--skeleton", "--thin", "full", "x.png"},
                                "'--thin' does not go with --skeleton, which runs no chain and keeps no stage"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
