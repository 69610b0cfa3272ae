// Pictures load as a viewer shows them: turned as their EXIF orientation
// says, transparent pixels on white paper; in the picture layer and through
// workbench-batch.
#include <QProcess>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/picture.h"
#include "fuzz/picture_input.h"
#include "ops/filter.h"
#include "tests/app_test_support.h"
#include "tests/picture_files.h"

namespace {

using codec::Orientation;
using testfiles::Bytes;

void Write(const char* name, const Bytes& bytes) {
    ASSERT_TRUE(WriteBytes(name, QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()))));
}

QImage Load(const char* name) {
    TPicture picture;
    picture.LoadFromFile(name);
    return ImageOf(picture.Bitmap()).copy();
}

// The blue, green, red of the picture at (x, y) against an RGB pixel.
bool Near(const QImage& image, int x, int y, const std::uint8_t* rgb, int tolerance) {
    const std::uint8_t* p = image.constScanLine(y) + 3 * x;
    return std::abs(p[2] - rgb[0]) <= tolerance && std::abs(p[1] - rgb[1]) <= tolerance &&
           std::abs(p[0] - rgb[2]) <= tolerance;
}

struct OrientationCase {
    std::string name;
    Orientation orientation;
    bool bigEndian;
    bool png;
};

void PrintTo(const OrientationCase& c, std::ostream* out) { *out << c.name; }

class LoadTurned : public testing::TestWithParam<OrientationCase> {};

// A JPEG of flat 16 x 16 blocks (the corner pixels of each block compared,
// within JPEG's loss) or a PNG of random pixels (every pixel compared
// exactly) shows each stored pixel where the EXIF definition puts it.
TEST_P(LoadTurned, ShowsEveryPixelWhereExifSays) {
    const OrientationCase& c = GetParam();
    ScratchDir dir;
    const Bytes exif = testfiles::ExifBlock(c.orientation, c.bigEndian);
    testfiles::Rgb stored;
    if (c.png) {
        const QImage random = RandomPicture(47, 33, 7);
        stored = {47, 33, {}};
        for (int y = 0; y < 33; ++y)
            for (int x = 0; x < 47; ++x)
                for (int k = 2; k >= 0; --k) stored.pixels.push_back(random.constScanLine(y)[3 * x + k]);
        Write("picture.png", testfiles::WritePng(stored, exif));
    } else {
        stored = testfiles::Blocks(3, 2, 16);
        Write("picture.jpg", testfiles::WriteJpeg(stored, {.app1 = {testfiles::ExifSegment(exif)}}));
    }
    const QImage shown = Load(c.png ? "picture.png" : "picture.jpg");
    const bool swapped = c.orientation >= Orientation::kTransposed;
    ASSERT_EQ(shown.width(), swapped ? stored.height : stored.width);
    ASSERT_EQ(shown.height(), swapped ? stored.width : stored.height);
    int wrong = 0;
    for (int y = 0; y < stored.height; ++y)
        for (int x = 0; x < stored.width; ++x) {
            const bool blockCorner = (x % 16 == 0 || x % 16 == 15) && (y % 16 == 0 || y % 16 == 15);
            if (!c.png && !blockCorner) continue;
            const testfiles::Place place = testfiles::ShownPlace(c.orientation, stored.width, stored.height, x, y);
            wrong += !Near(shown, place.x, place.y, stored.at(x, y), c.png ? 0 : 12);
        }
    EXPECT_EQ(wrong, 0);
}

std::vector<OrientationCase> OrientationCases() {
    std::vector<OrientationCase> cases;
    for (const bool png : {false, true})
        for (const bool big : {false, true})
            for (int value = 1; value <= 8; ++value) {
                const auto orientation = static_cast<Orientation>(value);
                cases.push_back({std::string(png ? "png_" : "jpeg_") + (big ? "motorola_" : "intel_") +
                                     std::to_string(value) + "_" + testfiles::OrientationName(orientation),
                                 orientation, big, png});
            }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Exif, LoadTurned, testing::ValuesIn(OrientationCases()),
                         [](const testing::TestParamInfo<OrientationCase>& info) { return info.param.name; });

// The turned picture is a second picture beside the stored one: when there
// is no memory for it, the load fails with the usual message. Run in a
// child process whose address space has room for one 8000 x 8000 picture
// (192 MB) and not for two.
TEST(LoadTurnedMemory, NoRoomForTheShownRowsIsNotEnoughMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps address space of its own, which the limit would cut";
#endif
    ScratchDir dir;
    testfiles::Rgb stored{8000, 8000, Bytes(std::size_t{3} * 8000 * 8000, 128)};
    Write("big.jpg", testfiles::WriteJpeg(stored, {.app1 = {testfiles::ExifSegment(testfiles::ExifBlock(Orientation::kTurned90, false))}}));
    stored.pixels = Bytes();
    const pid_t child = fork();
    if (child == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t room = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (280ull << 20);
        const rlimit limit{room, room};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
        try {
            Load("big.jpg");
        } catch (const Exception& error) {
            _exit(TextOf(error.Message()) == R"(Cannot read "big.jpg": not enough memory)" ? 0 : 1);
        }
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: another message, 2: loaded, 3: no limit";
}

// ---------------------------------------------------------------- workbench-batch

int RunBatch(const QStringList& words) {
    QProcess process;
    process.start(QStringLiteral(WORKBENCH_BATCH_PATH), words);
    EXPECT_TRUE(process.waitForFinished(120000));
    EXPECT_EQ(process.readAllStandardError(), QByteArray());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QImage StageFile(const char* name) {
    TBitmap bitmap;
    bitmap.LoadFromFile(name);
    return ImageOf(bitmap).copy();
}

// A phone photo tagged to be turned a quarter clockwise: processed upright.
TEST(BatchShown, TurnedJpegIsFilteredUpright) {
    ScratchDir dir;
    const testfiles::Rgb stored = testfiles::Blocks(6, 4, 100);  // 600 x 400
    Write("photo.jpg", testfiles::WriteJpeg(stored, {.app1 = {testfiles::ExifSegment(testfiles::ExifBlock(Orientation::kTurned90, true))}}));
    ASSERT_EQ(RunBatch({"load", "photo.jpg", "filter"}), 0);
    const QImage filtered = StageFile("A.bmp");
    EXPECT_EQ(filtered.width(), 400);
    EXPECT_EQ(filtered.height(), 600);
}

// Black strokes on a transparent background: black strokes on white paper,
// exactly as the same strokes drawn on white are filtered.
TEST(BatchShown, TransparentDrawingIsFilteredOnWhite) {
    ScratchDir dir;
    const QImage strokes = StrokePicture(120, 90);
    testfiles::PngPicture drawing;
    drawing.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    drawing.width = strokes.width();
    drawing.height = strokes.height();
    QImage onWhite(strokes.size(), QImage::Format_BGR888);
    for (int y = 0; y < strokes.height(); ++y)
        for (int x = 0; x < strokes.width(); ++x) {
            const bool ink = strokes.pixelColor(x, y).lightness() < 128;
            drawing.samples.insert(drawing.samples.end(), {0, 0, 0, ink ? 255u : 0u});
            onWhite.setPixelColor(x, y, ink ? Qt::black : Qt::white);
        }
    Write("drawing.png", testfiles::WritePng(drawing));
    ASSERT_EQ(RunBatch({"load", "drawing.png", "filter"}), 0);

    ops::FilterReference({onWhite.bits(), onWhite.width(), onWhite.height(), onWhite.bytesPerLine()});
    const QImage filtered = StageFile("A.bmp");
    EXPECT_TRUE(SamePixels(filtered, onWhite));
    int white = 0, black = 0;
    for (int y = 0; y < filtered.height(); ++y)
        for (int x = 0; x < filtered.width(); ++x) {
            white += filtered.pixelColor(x, y) == QColor(Qt::white);
            black += filtered.pixelColor(x, y) == QColor(Qt::black);
        }
    EXPECT_GT(white, filtered.width() * filtered.height() / 2);
    EXPECT_GT(black, 0);
}

// ---------------------------------------------------------------- fuzzing seeds

// The fuzzer's JPEG and PNG seeds are small and pass the fuzz target's
// checks (turned and turned back among them) as pictures.
TEST(FuzzSeeds, JpegAndPngSeedsDecode) {
    int seeds = 0;
    for (const char* format : {"jpeg", "png"}) {
        const QDir dir(QStringLiteral(WORKBENCH_SOURCE_DIR "/fuzz/seeds/") + format);
        for (const QString& name : dir.entryList(QDir::Files)) {
            SCOPED_TRACE(name.toStdString());
            const QByteArray bytes = FileBytes(dir.filePath(name));
            EXPECT_LT(bytes.size(), 2048);
            EXPECT_TRUE(fuzz::RunPictureInput(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                              static_cast<std::size_t>(bytes.size())));
            ++seeds;
        }
    }
    EXPECT_GE(seeds, 10);
}

}  // namespace
