// The resolution a picture declares: read from each format's own fields,
// turned with the picture, and written into every stage file and saved
// picture (BMP pixels a metre, PNG pHYs), in the codec, the window's
// commands and workbench-batch. A picture that declares none is written as
// before: BMP files say 2835 pixels a metre, PNG files have no pHYs.
#include <tiffio.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "codec/bmp.h"
#include "codec/encode.h"
#include "codec/open.h"
#include "codec/png_write.h"
#include "codec/row_writer.h"
#include "core/chain.h"
#include "core/measure.h"
#include "tests/app_test_support.h"
#include "tests/picture_files.h"
#include "tests/runner_test_support.h"
#include "tests/tiff_test_files.h"

namespace {

using codec::Orientation;
using codec::Resolution;
using codec::ResolutionUnit;
using testfiles::Bytes;

// ------------------------------------------------------------------ helpers

std::uint32_t Le32At(const Bytes& file, std::size_t at) {
    return file[at] | file[at + 1] << 8 | file[at + 2] << 16 | static_cast<std::uint32_t>(file[at + 3]) << 24;
}
std::uint32_t Be32At(const Bytes& file, std::size_t at) {
    return static_cast<std::uint32_t>(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3];
}

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    if (std::filesystem::path(path).has_parent_path())
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A BMP file's biXPelsPerMeter and biYPelsPerMeter.
Resolution BmpPixelsPerMetre(const Bytes& file) {
    if (file.size() < 54) return {0xFFFFFFFFu, 0xFFFFFFFFu};
    return {Le32At(file, 38), Le32At(file, 42)};
}

// A PNG file's pHYs chunk: x, y, unit; nothing when it has none.
std::optional<std::array<std::uint32_t, 3>> PhysOf(const Bytes& file) {
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::uint32_t length = Be32At(file, at);
        if (std::memcmp(file.data() + at + 4, "pHYs", 4) == 0 && length == 9)
            return std::array<std::uint32_t, 3>{Be32At(file, at + 8), Be32At(file, at + 12), file[at + 16]};
        at += 12 + static_cast<std::size_t>(length);
    }
    return std::nullopt;
}

codec::RandomAccess AccessOf(const Bytes& file) {
    return {file.size(), [&file](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                const std::size_t n = offset >= file.size() ? 0 : std::min<std::size_t>(size, file.size() - offset);
                if (n > 0) std::memcpy(buffer, file.data() + offset, n);
                return n;
            }};
}

// The resolution OpenPicture reports, read by rows or whole (after the
// rows are read), and the shown size.
struct Opened {
    Resolution resolution;
    int width = 0, height = 0;
};

Opened OpenAndRead(const Bytes& file, codec::Reading reading) {
    const std::unique_ptr<codec::Picture> picture =
        codec::OpenPicture(AccessOf(file), 0, {.reading = reading, .maxPixels = 1u << 24});
    std::vector<std::uint8_t> pixels;
    if (reading == codec::Reading::kRows) {
        pixels.resize(3 * static_cast<std::size_t>(picture->width()));
        for (int y = 0; y < picture->height(); ++y) picture->Next(pixels.data());
    } else {
        picture->ReadWhole([&pixels](int width, int height) {
            pixels.assign(3 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
            return ops::RowView{pixels.data(), width, height, 3 * static_cast<std::ptrdiff_t>(width)};
        });
    }
    return {picture->resolution(), picture->width(), picture->height()};
}

// An EXIF block (without "Exif\0\0"): the orientation, XResolution and
// YResolution as RATIONALs, and the ResolutionUnit when unit > 0.
Bytes ExifWithResolution(Orientation orientation, std::array<std::uint32_t, 2> x, std::array<std::uint32_t, 2> y,
                         int unit, bool bigEndian = false) {
    testfiles::TiffWriter out(bigEndian);
    const std::uint16_t entries = unit > 0 ? 4 : 3;
    const std::uint32_t rationals = 8 + 2 + 12u * entries + 4;
    out.Header(8);
    out.U16(entries);
    out.U16(0x0112), out.U16(3), out.U32(1), out.U16(static_cast<std::uint16_t>(orientation)), out.U16(0);
    out.U16(0x011A), out.U16(5), out.U32(1), out.U32(rationals);
    out.U16(0x011B), out.U16(5), out.U32(1), out.U32(rationals + 8);
    if (unit > 0) out.U16(0x0128), out.U16(3), out.U32(1), out.U16(static_cast<std::uint16_t>(unit)), out.U16(0);
    out.U32(0);
    out.U32(x[0]), out.U32(x[1]), out.U32(y[0]), out.U32(y[1]);
    return out.bytes;
}

// A 2 x 1 24-bit BMP file with a 40-byte header and the given pixels a
// metre; or with a 12-byte core header, which has no such fields.
Bytes SmallBmp(std::int32_t x, std::int32_t y, bool core = false) {
    Bytes file;
    const auto put = [&file](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) file.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    const std::uint32_t header = core ? 12 : 40;
    put('B' | 'M' << 8, 2), put(14 + header + 8, 4), put(0, 4), put(14 + header, 4);
    if (core) {
        put(12, 4), put(2, 2), put(1, 2), put(1, 2), put(24, 2);
    } else {
        put(40, 4), put(2, 4), put(1, 4), put(1, 2), put(24, 2), put(0, 4), put(8, 4);
        put(static_cast<std::uint32_t>(x), 4), put(static_cast<std::uint32_t>(y), 4), put(0, 4), put(0, 4);
    }
    for (int i = 0; i < 8; ++i) file.push_back(static_cast<std::uint8_t>(i < 6 ? 40 * i : 0));
    return file;
}

Bytes Tiff(std::function<void(TIFF*)> tags, int orientation = 0) {
    tifftest::Page page;
    page.width = 6;
    page.height = 4;
    page.orientation = orientation;
    page.moreTags = std::move(tags);
    return tifftest::Write({page}).bytes;
}

std::function<void(TIFF*)> TiffResolution(double x, double y, int unit) {
    return [x, y, unit](TIFF* tif) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, x);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, y);
        if (unit > 0) TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, static_cast<std::uint16_t>(unit));
    };
}

Bytes Png(std::optional<std::array<png_uint_32, 3>> phys, int width = 5, int height = 3) {
    testfiles::PngPicture p;
    p.colorType = PNG_COLOR_TYPE_GRAY;
    p.width = width;
    p.height = height;
    for (int i = 0; i < width * height; ++i) p.samples.push_back(static_cast<unsigned>(i * 37 % 256));
    p.phys = phys;
    return testfiles::WritePng(p);
}

Bytes Jpeg(int unit, int x, int y, std::vector<Bytes> app1 = {}) {
    testfiles::JpegOptions options;
    options.densityUnit = unit;
    options.xDensity = x;
    options.yDensity = y;
    options.app1 = std::move(app1);
    return testfiles::WriteJpeg(testfiles::Blocks(2, 1, 8), options);
}

Bytes JpegWithExif(const Bytes& block) { return Jpeg(0, 1, 1, {testfiles::ExifSegment(block)}); }

// A table case's name.
struct ByName {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

// ---------------------------------------------------------------- conversions

struct ConversionCase {
    std::string name;
    double x, y;
    ResolutionUnit unit;
    Resolution expected;
};

void PrintTo(const ConversionCase& c, std::ostream* out) { *out << c.name; }

class PerMetre : public testing::TestWithParam<ConversionCase> {};

TEST_P(PerMetre, RoundsToWholePixelsAMetre) {
    const ConversionCase& c = GetParam();
    EXPECT_EQ(codec::PerMetre(c.x, c.y, c.unit), c.expected);
}

// An inch is 0.0254 metre exactly; the common screen and scan resolutions
// against the pixels a metre other programs write for them.
INSTANTIATE_TEST_SUITE_P(
    Units, PerMetre,
    testing::Values(ConversionCase{"Inch72", 72, 72, ResolutionUnit::kInch, {2835, 2835}},
                    ConversionCase{"Inch96", 96, 96, ResolutionUnit::kInch, {3780, 3780}},
                    ConversionCase{"Inch300By150", 300, 150, ResolutionUnit::kInch, {11811, 5906}},
                    ConversionCase{"Inch600", 600, 600, ResolutionUnit::kInch, {23622, 23622}},
                    ConversionCase{"InchFraction", 299.9994, 0.0254, ResolutionUnit::kInch, {11811, 1}},
                    ConversionCase{"Centimetre118", 118, 40, ResolutionUnit::kCentimetre, {11800, 4000}},
                    ConversionCase{"CentimetreHalfUp", 0.125, 0.375, ResolutionUnit::kCentimetre, {13, 38}},
                    ConversionCase{"Metre", 2835, 11811, ResolutionUnit::kMetre, {2835, 11811}},
                    ConversionCase{"MetreLargest", 2147483647, 1, ResolutionUnit::kMetre, {2147483647, 1}}), ByName());

INSTANTIATE_TEST_SUITE_P(
    None, PerMetre,
    testing::Values(ConversionCase{"Zero", 0, 300, ResolutionUnit::kInch, {}},
                    ConversionCase{"RoundsToZero", 300, 0.004, ResolutionUnit::kCentimetre, {}},
                    ConversionCase{"Negative", 300, -300, ResolutionUnit::kInch, {}},
                    ConversionCase{"NotANumber", std::nan(""), 300, ResolutionUnit::kInch, {}},
                    ConversionCase{"Infinite", 300, std::numeric_limits<double>::infinity(), ResolutionUnit::kInch, {}},
                    ConversionCase{"PastTheLargest", 2147483648.0, 1, ResolutionUnit::kMetre, {}}), ByName());

// ------------------------------------------------------------ reading

struct DeclaredCase {
    std::string name;
    std::function<Bytes()> file;
    Resolution expected;  // as shown
};

void PrintTo(const DeclaredCase& c, std::ostream* out) { *out << c.name; }

class DeclaredResolution : public testing::TestWithParam<DeclaredCase> {};

TEST_P(DeclaredResolution, OpenPictureReportsItReadByRowsAndWhole) {
    const DeclaredCase& c = GetParam();
    const Bytes file = c.file();
    for (const codec::Reading reading : {codec::Reading::kRows, codec::Reading::kWhole}) {
        SCOPED_TRACE(reading == codec::Reading::kRows ? "by rows" : "whole");
        EXPECT_EQ(OpenAndRead(file, reading).resolution, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tiff, DeclaredResolution,
    testing::Values(DeclaredCase{"Inch", [] { return Tiff(TiffResolution(300, 150, RESUNIT_INCH)); }, {11811, 5906}},
                    DeclaredCase{"NoUnitTagIsInch", [] { return Tiff(TiffResolution(300, 300, 0)); }, {11811, 11811}},
                    DeclaredCase{"Centimetre", [] { return Tiff(TiffResolution(118.11, 40, RESUNIT_CENTIMETER)); },
                                 {11811, 4000}},
                    DeclaredCase{"UnitNoneIsAspectOnly", [] { return Tiff(TiffResolution(300, 300, RESUNIT_NONE)); }, {}},
                    DeclaredCase{"NoTags", [] { return Tiff(nullptr); }, {}},
                    DeclaredCase{"OnlyX", [] { return Tiff([](TIFF* tif) { TIFFSetField(tif, TIFFTAG_XRESOLUTION, 300.0); }); },
                                 {}},
                    DeclaredCase{"TurnedSwapsXAndY",
                                 [] { return Tiff(TiffResolution(300, 150, RESUNIT_INCH), /*orientation=*/6); },
                                 {5906, 11811}},
                    DeclaredCase{"TurnedHalfwaySwapsNothing",
                                 [] { return Tiff(TiffResolution(300, 150, RESUNIT_INCH), /*orientation=*/3); },
                                 {11811, 5906}}), ByName());

INSTANTIATE_TEST_SUITE_P(
    Png, DeclaredResolution,
    testing::Values(DeclaredCase{"PhysMetre", [] { return Png({{11811, 5906, PNG_RESOLUTION_METER}}); }, {11811, 5906}},
                    DeclaredCase{"PhysUnknownUnitIsAspectOnly", [] { return Png({{3, 2, PNG_RESOLUTION_UNKNOWN}}); }, {}},
                    DeclaredCase{"NoPhys", [] { return Png(std::nullopt); }, {}}), ByName());

INSTANTIATE_TEST_SUITE_P(
    Jpeg, DeclaredResolution,
    testing::Values(
        DeclaredCase{"JfifDpi", [] { return Jpeg(1, 300, 150); }, {11811, 5906}},
        DeclaredCase{"JfifDpcm", [] { return Jpeg(2, 118, 40); }, {11800, 4000}},
        DeclaredCase{"JfifAspectOnly", [] { return Jpeg(0, 1, 1); }, {}},
        DeclaredCase{"JfifAspectOnlyThenExifInch",
                     [] { return JpegWithExif(ExifWithResolution(Orientation::kNormal, {300, 1}, {600, 2}, 2)); },
                     {11811, 11811}},
        DeclaredCase{"ExifCentimetreBigEndian",
                     [] { return JpegWithExif(ExifWithResolution(Orientation::kNormal, {236, 2}, {40, 1}, 3, true)); },
                     {11800, 4000}},
        DeclaredCase{"ExifWithoutUnitIsInch",
                     [] { return JpegWithExif(ExifWithResolution(Orientation::kNormal, {72, 1}, {72, 1}, 0)); },
                     {2835, 2835}},
        DeclaredCase{"ExifUnitNone",
                     [] { return JpegWithExif(ExifWithResolution(Orientation::kNormal, {72, 1}, {72, 1}, 1)); }, {}},
        DeclaredCase{"ExifZeroDenominator",
                     [] { return JpegWithExif(ExifWithResolution(Orientation::kNormal, {72, 0}, {72, 1}, 2)); }, {}},
        DeclaredCase{"JfifDpiBeforeExif",
                     [] {
                         return Jpeg(1, 200, 200,
                                     {testfiles::ExifSegment(ExifWithResolution(Orientation::kNormal, {72, 1}, {72, 1}, 2))});
                     },
                     {7874, 7874}},
        DeclaredCase{"ExifTurned90SwapsXAndY",
                     [] { return JpegWithExif(ExifWithResolution(Orientation::kTurned90, {300, 1}, {150, 1}, 2)); },
                     {5906, 11811}},
        DeclaredCase{"JfifDpiTurned270SwapsXAndY",
                     [] {
                         return Jpeg(1, 300, 150,
                                     {testfiles::ExifSegment(testfiles::ExifBlock(Orientation::kTurned270, false))});
                     },
                     {5906, 11811}}), ByName());

INSTANTIATE_TEST_SUITE_P(
    Bmp, DeclaredResolution,
    testing::Values(DeclaredCase{"PixelsPerMetre", [] { return SmallBmp(3780, 11811); }, {3780, 11811}},
                    DeclaredCase{"The72DpiEveryWriterPuts", [] { return SmallBmp(2835, 2835); }, {2835, 2835}},
                    DeclaredCase{"Zero", [] { return SmallBmp(0, 0); }, {}},
                    DeclaredCase{"OneZero", [] { return SmallBmp(3780, 0); }, {}},
                    DeclaredCase{"Negative", [] { return SmallBmp(-3780, 3780); }, {}},
                    DeclaredCase{"CoreHeaderHasNone", [] { return SmallBmp(0, 0, /*core=*/true); }, {}}), ByName());

// ------------------------------------------------------------ writing

// Gray rows of the given number of levels, each a multiple of 12: more
// than 16 make 8-bit gray PNG files, fewer a palette.
struct Rows {
    int width, height;
    std::vector<std::uint8_t> bytes;
    Rows(int w, int h, int levels = 7) : width(w), height(h), bytes(3 * static_cast<std::size_t>(w) * h) {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>((i / 3) % static_cast<std::size_t>(levels) * 12);
    }
    ops::RowView View() { return {bytes.data(), width, height, 3 * static_cast<std::ptrdiff_t>(width)}; }
};

Bytes Encoded(Rows& rows, codec::OutputFormat format, std::optional<Resolution> resolution) {
    Bytes out;
    const codec::ByteSink sink = [&out](const std::uint8_t* bytes, std::size_t size) { out.insert(out.end(), bytes, bytes + size); };
    if (resolution)
        codec::Encode(rows.View(), format, sink, *resolution);
    else
        codec::Encode(rows.View(), format, sink);
    return out;
}

// Rows through a RowFileWriter, read back and written again when its form
// turns out another.
Bytes RowWritten(Rows& rows, codec::OutputFormat format, codec::ExpectedColours expected, Resolution resolution) {
    Bytes out;
    codec::RowFileWriter writer(
        format, rows.width, rows.height, expected,
        {[&out](const std::uint8_t* bytes, std::size_t size) { out.insert(out.end(), bytes, bytes + size); },
         [&out](std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) {
             if (out.size() < offset + size) out.resize(offset + size);
             std::memcpy(out.data() + offset, bytes, size);
         }},
        resolution);
    for (int y = 0; y < rows.height; ++y) writer.Row(y, rows.bytes.data() + 3 * static_cast<std::size_t>(rows.width) * y);
    if (writer.Finish()) return out;
    Bytes again;
    writer.Rewrite(AccessOf(out), [&again](const std::uint8_t* bytes, std::size_t size) { again.insert(again.end(), bytes, bytes + size); });
    return again;
}

TEST(WrittenResolution, BmpHeaderHoldsItsPixelsAMetreAndNothingElseChanges) {
    Rows rows(7, 5);
    const Bytes plain = Encoded(rows, codec::OutputFormat::kBmp, std::nullopt);
    const Bytes declared = Encoded(rows, codec::OutputFormat::kBmp, Resolution{11811, 5906});
    EXPECT_EQ(BmpPixelsPerMetre(plain), (Resolution{2835, 2835}));
    EXPECT_EQ(BmpPixelsPerMetre(declared), (Resolution{11811, 5906}));
    Bytes patched = declared;
    for (int i = 0; i < 8; ++i) patched[38 + i] = plain[38 + i];
    EXPECT_EQ(patched, plain) << "only the pixels a metre differ";
    EXPECT_EQ(Encoded(rows, codec::OutputFormat::kBmp, Resolution{}), plain);
    EXPECT_EQ(OpenAndRead(declared, codec::Reading::kRows).resolution, (Resolution{11811, 5906}));
}

TEST(WrittenResolution, PngGetsAPhysChunkInMetresOnlyWhenKnown) {
    Rows rows(7, 5);
    const Bytes plain = Encoded(rows, codec::OutputFormat::kPng, std::nullopt);
    const Bytes declared = Encoded(rows, codec::OutputFormat::kPng, Resolution{11811, 5906});
    EXPECT_FALSE(PhysOf(plain).has_value());
    EXPECT_EQ(Encoded(rows, codec::OutputFormat::kPng, Resolution{}), plain);
    ASSERT_TRUE(PhysOf(declared).has_value());
    EXPECT_EQ(*PhysOf(declared), (std::array<std::uint32_t, 3>{11811, 5906, 1}));
    EXPECT_EQ(declared.size(), plain.size() + 21) << "one chunk of 9 bytes more";
    EXPECT_EQ(OpenAndRead(declared, codec::Reading::kWhole).resolution, (Resolution{11811, 5906}));
}

struct RowWriterCase {
    std::string name;
    codec::OutputFormat format;
    codec::ExpectedColours expected;
    Resolution resolution;
};

void PrintTo(const RowWriterCase& c, std::ostream* out) { *out << c.name; }

class RowWriterResolution : public testing::TestWithParam<RowWriterCase> {};

TEST_P(RowWriterResolution, WritesTheBytesEncodeWrites) {
    const RowWriterCase& c = GetParam();
    Rows rows(9, 6, 20);
    EXPECT_EQ(RowWritten(rows, c.format, c.expected, c.resolution), Encoded(rows, c.format, c.resolution));
}

// Twenty gray levels take the 8-bit gray form expected.
INSTANTIATE_TEST_SUITE_P(
    Forms, RowWriterResolution,
    testing::Values(RowWriterCase{"BmpDeclared", codec::OutputFormat::kBmp, codec::ExpectedColours::kGray, {3780, 3780}},
                    RowWriterCase{"BmpNone", codec::OutputFormat::kBmp, codec::ExpectedColours::kGray, {}},
                    RowWriterCase{"PngDeclared", codec::OutputFormat::kPng, codec::ExpectedColours::kGray, {11811, 5906}},
                    RowWriterCase{"PngNone", codec::OutputFormat::kPng, codec::ExpectedColours::kGray, {}}), ByName());

// Seven gray levels take a palette: the file written as 8-bit gray is
// written again.
TEST(RowWriterResolution, PngWrittenAgainInAnotherFormKeepsItsPhys) {
    Rows rows(9, 6, 7);
    const Bytes got = RowWritten(rows, codec::OutputFormat::kPng, codec::ExpectedColours::kGray, {11811, 5906});
    EXPECT_EQ(got, Encoded(rows, codec::OutputFormat::kPng, Resolution{11811, 5906}));
    ASSERT_TRUE(PhysOf(got).has_value());
}

// ------------------------------------------------------------ the window's commands

// Today's 54-byte header of a 24-bit BMP file of the size, as every stage
// file without a resolution has always had it.
Bytes TodaysBmpHeader(int width, int height) {
    const std::uint32_t image = static_cast<std::uint32_t>((3 * width + 3) / 4 * 4 * height);
    Bytes header;
    const auto put = [&header](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) header.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    put('B' | 'M' << 8, 2), put(54 + image, 4), put(0, 4), put(54, 4), put(40, 4);
    put(static_cast<std::uint32_t>(width), 4), put(static_cast<std::uint32_t>(height), 4), put(1, 2), put(24, 2);
    put(0, 4), put(image, 4), put(2835, 4), put(2835, 4), put(0, 4), put(0, 4);
    return header;
}

struct WindowCase {
    std::string name;
    std::string file;
    std::function<Bytes()> bytes;
    Resolution expected;  // in the files written
};

void PrintTo(const WindowCase& c, std::ostream* out) { *out << c.name; }

class WindowResolution : public testing::TestWithParam<WindowCase> {};

// Load Image, the four operations and Save Image: each file written holds
// the picture's resolution; the same picture without one gives today's
// header and the same pixels.
TEST_P(WindowResolution, EveryStageFileAndTheSavedPictureHoldIt) {
    const WindowCase& c = GetParam();
    std::vector<Bytes> written;
    for (const bool declared : {true, false}) {
        ScratchDir dir;
        Bytes input = c.bytes();
        WriteFile(c.file, input);
        ScriptedPrompts prompts;
        Pane left, right;
        std::unique_ptr<TBitmap> working;
        Workspace ws{left, right, working, prompts};
        prompts.openAnswers.push_back(QString::fromStdString(c.file));
        commands::LoadImage(ws);
        if (!declared) {
            // The same pixels, as a picture that declares nothing.
            TBitmap bitmap;
            bitmap.Assign(left.Picture.Bitmap());
            bitmap.SetResolution({});
            left.Picture.Assign(bitmap);
        }
        commands::Filter(ws);
        commands::Binarize(ws);
        commands::Thinning(ws);
        commands::Labeling(ws);
        prompts.saveAnswers.push_back(QStringLiteral("saved.bmp"));
        commands::SaveImage(ws);
        ASSERT_TRUE(prompts.messages.isEmpty()) << prompts.messages.join(" ").toStdString();
        for (const char* name : {"A.bmp", "B.bmp", "C.bmp", "D.bmp", "saved.bmp"}) {
            SCOPED_TRACE(name);
            const Bytes file = FileBytes(name);
            ASSERT_GT(file.size(), 54u);
            EXPECT_EQ(BmpPixelsPerMetre(file), declared ? c.expected : Resolution(2835, 2835));
            if (!declared) {
                const int width = static_cast<int>(Le32At(file, 18)), height = static_cast<int>(Le32At(file, 22));
                EXPECT_EQ(Bytes(file.begin(), file.begin() + 54), TodaysBmpHeader(width, height));
            }
            written.push_back(file);
        }
    }
    // Pixels unchanged: the two runs' files differ in the header's pixels
    // a metre only.
    for (std::size_t i = 0; i < 5; ++i) {
        Bytes patched = written[i];
        for (int k = 0; k < 8; ++k) patched[38 + k] = written[i + 5][38 + k];
        EXPECT_EQ(patched, written[i + 5]) << "file " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, WindowResolution,
    testing::Values(WindowCase{"PngPhys", "scan.png", [] { return Png({{11811, 5906, PNG_RESOLUTION_METER}}, 12, 9); },
                               {11811, 5906}},
                    WindowCase{"TiffTurned", "scan.tif",
                               [] { return Tiff(TiffResolution(300, 150, RESUNIT_INCH), /*orientation=*/8); },
                               {5906, 11811}}), ByName());

TEST(WindowResolution, APictureThatDeclaresNoneWritesTodaysHeader) {
    ScratchDir dir;
    WriteFile("plain.png", Png(std::nullopt, 12, 9));
    ScriptedPrompts prompts;
    Pane left, right;
    std::unique_ptr<TBitmap> working;
    Workspace ws{left, right, working, prompts};
    prompts.openAnswers.push_back(QStringLiteral("plain.png"));
    commands::LoadImage(ws);
    commands::Filter(ws);
    const Bytes file = FileBytes("A.bmp");
    ASSERT_GT(file.size(), 54u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 54), TodaysBmpHeader(12, 9));
}

// ------------------------------------------------------ the measures' scale

// The pixels a metre the skeleton measures give millimetres at: a
// resolution declared the same both ways, but not the 72 dpi that a BMP
// file holds when its picture declared none.
struct ScaleCase {
    std::string name;
    Resolution resolution;
    std::uint32_t expected;
};

void PrintTo(const ScaleCase& c, std::ostream* out) { *out << c.name; }

class MeasureScale : public testing::TestWithParam<ScaleCase> {};

TEST_P(MeasureScale, IsADeclaredResolutionTheSameBothWays) {
    EXPECT_EQ(MillimetreScale(GetParam().resolution), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Resolutions, MeasureScale,
    testing::Values(ScaleCase{"None", {}, 0},
                    ScaleCase{"At300Dpi", {11811, 11811}, 11811},
                    ScaleCase{"At96Dpi", {3780, 3780}, 3780},
                    ScaleCase{"OnePixelAMetre", {1, 1}, 1},
                    ScaleCase{"The72DpiOfAFileThatDeclaredNone", {2835, 2835}, 0},
                    ScaleCase{"At300DpiAcrossAnd150Down", {11811, 5906}, 0},
                    ScaleCase{"At72DpiAcrossAnd300Down", {2835, 11811}, 0}),
    ByName());

// ------------------------------------------------------------ workbench-batch

using runner_test::RunTool;

// What a stage file says of its resolution: pixels a metre in a BMP file,
// pHYs in a PNG file (0, 0 without one).
Resolution StageResolution(const std::string& path) {
    const Bytes file = FileBytes(path);
    if (path.ends_with(".bmp")) return BmpPixelsPerMetre(file);
    const auto phys = PhysOf(file);
    if (!phys) return {};
    EXPECT_EQ((*phys)[2], 1u) << path;
    return {(*phys)[0], (*phys)[1]};
}

struct BatchCase {
    std::string name;
    int width, height;  // 1024 x 683 and larger are streamed
    std::optional<std::array<png_uint_32, 3>> phys;
};

void PrintTo(const BatchCase& c, std::ostream* out) { *out << c.name; }

class BatchResolution : public testing::TestWithParam<BatchCase> {};

TEST_P(BatchResolution, TheWordChainAndEveryOutputFormatKeepIt) {
    const BatchCase& c = GetParam();
    ScratchDir dir;
    WriteFile("in/scan.png", Png(c.phys, c.width, c.height));
    const bool known = c.phys && (*c.phys)[2] == PNG_RESOLUTION_METER;
    const Resolution inPng = known ? Resolution{(*c.phys)[0], (*c.phys)[1]} : Resolution{};
    const Resolution inBmp = known ? inPng : Resolution{2835, 2835};

    const runner_test::ToolRun words =
        RunTool({"-C", "words", "load", "../in/scan.png", "filter", "binarize", "thin", "label", "save", "saved.bmp"});
    ASSERT_EQ(words.exitCode, 0) << words.err.toStdString();
    for (const char* name : {"A.bmp", "B.bmp", "C.bmp", "D.bmp", "saved.bmp"})
        EXPECT_EQ(StageResolution(std::string("words/") + name), inBmp) << name;

    for (const char* format : {"bmp", "png"}) {
        const std::string out = std::string("out-") + format;
        const runner_test::ToolRun run = RunTool({"--out", QByteArray::fromStdString(out), "--format", format, "in"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        for (const char stage : {'A', 'B', 'C', 'D'}) {
            const std::string path = out + "/scan/" + stage + "." + format;
            const Resolution expected = std::string(format) == "bmp" ? inBmp : inPng;
            EXPECT_EQ(StageResolution(path), expected) << path;
        }
    }
    // The BMP files of --out are the word chain's, byte for byte.
    for (const char stage : {'A', 'B', 'C', 'D'})
        EXPECT_EQ(FileBytes(std::string("out-bmp/scan/") + stage + ".bmp"), FileBytes(std::string("words/") + stage + ".bmp"))
            << stage;
}

INSTANTIATE_TEST_SUITE_P(
    Whole, BatchResolution,
    testing::Values(BatchCase{"Declared", 40, 30, {{11811, 5906, PNG_RESOLUTION_METER}}},
                    BatchCase{"AspectOnly", 40, 30, {{1, 1, PNG_RESOLUTION_UNKNOWN}}},
                    BatchCase{"None", 40, 30, std::nullopt}), ByName());

INSTANTIATE_TEST_SUITE_P(
    Streamed, BatchResolution,
    testing::Values(BatchCase{"Declared", 1024, 683, {{11811, 5906, PNG_RESOLUTION_METER}}},
                    BatchCase{"None", 1024, 683, std::nullopt}), ByName());

// A phone photo: stored 16 x 8, turned 90 degrees by its EXIF block, which
// says 300 dpi across the stored rows and 150 down them.
TEST(BatchResolution, ATurnedPhotoSwapsXAndY) {
    ScratchDir dir;
    WriteFile("in/photo.jpg", JpegWithExif(ExifWithResolution(Orientation::kTurned90, {300, 1}, {150, 1}, 2)));
    const runner_test::ToolRun run = RunTool({"--out", "out", "--format", "png", "in"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    for (const char stage : {'A', 'B', 'C', 'D'})
        EXPECT_EQ(StageResolution(std::string("out/photo/") + stage + ".png"), (Resolution{5906, 11811})) << stage;
}

}  // namespace
