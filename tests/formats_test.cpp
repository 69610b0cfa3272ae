// Tests of telling formats apart by their first bytes, and of loading every
// format through the picture layer: the file's pixels, or one message that
// names the file and the reason (damage, the size limit, a format this
// program does not read) in the same words for every format.
#include "codec/formats.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/picture.h"
#include "codec/bmp.h"
#include "codec/open.h"
#include "tests/app_test_support.h"
#include "tests/codec_test_files.h"

namespace {

using codec::Format;
using codec_test::Bytes;
using codec_test::Picture;

// Sniffing ----------------------------------------------------------------------

struct SniffCase {
    std::string name;
    std::string head;
    Format format;
};

class Sniffing : public ::testing::TestWithParam<SniffCase> {};

TEST_P(Sniffing, NamesTheFormat) {
    const Bytes head(GetParam().head.begin(), GetParam().head.end());
    EXPECT_EQ(codec::SniffFormat(head), GetParam().format) << codec::FormatName(codec::SniffFormat(head));
}

const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);
const std::string kIcoHead("\0\0\1\0\1\0\x10\x10\0\0\1\0\x20\0\x68\4\0\0\x16\0\0\0", 22);
const std::string kCurHead("\0\0\2\0\1\0\x10\x10\0\0\5\0\7\0\x68\4\0\0\x16\0\0\0", 22);

std::string Replaced(std::string text, std::size_t at, const std::string& with) { return text.replace(at, with.size(), with); }

const SniffCase kSniffCases[] = {
    {"Bmp", "BM\x36\0\0\0", Format::kBmp},
    {"Png", kPngSignature + "\0\0\0\rIHDR", Format::kPng},
    {"PngSignatureCut", kPngSignature.substr(0, 7), Format::kUnknown},
    {"Jpeg", "\xFF\xD8\xFF\xE0", Format::kJpeg},
    {"JpegWithoutAMarker", "\xFF\xD8\x00", Format::kUnknown},
    {"Gif87a", "GIF87a\1\0", Format::kGif},
    {"Gif89a", "GIF89a", Format::kGif},
    {"Gif88a", "GIF88a", Format::kUnknown},
    {"PbmNewline", "P1\n1 1\n1", Format::kPnm},
    {"PpmSpace", "P6 1 1 255 ", Format::kPnm},
    {"PbmTab", "P4\t", Format::kPnm},
    {"PgmComment", "P5#made by hand\n1 1 255\n", Format::kPnm},
    {"Pam", "P7\n", Format::kUnknown},
    {"PpmRunningIntoADigit", "P61 1 255\n", Format::kUnknown},
    {"Ico", kIcoHead, Format::kIco},
    {"Cur", kCurHead, Format::kIco},
    {"IcoWithNoImage", Replaced(kIcoHead, 4, std::string(1, '\0')), Format::kUnknown},
    {"IcoReservedByteSet", Replaced(kIcoHead, 9, "\1"), Format::kUnknown},
    {"IcoEntryUnder40Bytes", Replaced(kIcoHead, 14, std::string("\x27\0", 2)), Format::kUnknown},
    {"IcoOf64BitsAPixel", Replaced(kIcoHead, 12, std::string("\x40\0", 2)), Format::kUnknown},
    {"IcoHeadCut", kIcoHead.substr(0, 21), Format::kUnknown},
    // A byte count too small for any image, where the image's own header,
    // within the first bytes, shows it to be one.
    {"CurByteCountZeroBitmapAfter", Replaced(kCurHead, 14, std::string(4, '\0')) + std::string("\x28\0\0\0\1\0\0\0", 8),
     Format::kIco},
    {"IcoByteCountZeroPngAfter", Replaced(kIcoHead, 14, std::string(4, '\0')) + kPngSignature, Format::kIco},
    {"CurByteCountZeroNothingAfter", Replaced(kCurHead, 14, std::string(4, '\0')) + std::string(8, '\0'), Format::kUnknown},
    {"XpmIsNotRead", "/* XPM */\nstatic char *x[] = {", Format::kUnknown},
    {"XbmIsNotRead", "#define a_width 1\n#define a_height 1\n", Format::kUnknown},
    {"Empty", "", Format::kUnknown},
    {"Text", "hello, world\n", Format::kUnknown},
};

INSTANTIATE_TEST_SUITE_P(Formats, Sniffing, ::testing::ValuesIn(kSniffCases), codec_test::CaseName());

// 64 MB of zeros or of random bytes: the head alone says unknown, so the
// rest is never read.
class SniffingLargeFiles : public ::testing::TestWithParam<bool> {};

TEST_P(SniffingLargeFiles, NeedsOnlyTheHead) {
    const bool zeros = GetParam();
    std::mt19937 random(7);
    std::uint64_t served = 0;
    const std::uint64_t fileSize = std::uint64_t{64} << 20;
    const codec::ByteSource file = [&](std::uint8_t* out, std::size_t size) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, fileSize - served));
        for (std::size_t i = 0; i < n; ++i) out[i] = zeros ? 0 : static_cast<std::uint8_t>(random());
        served += n;
        return n;
    };
    Bytes head(codec::kSniffBytes);
    head.resize(file(head.data(), head.size()));
    EXPECT_EQ(codec::SniffFormat(head), Format::kUnknown);
    EXPECT_EQ(served, codec::kSniffBytes);
}

INSTANTIATE_TEST_SUITE_P(Formats, SniffingLargeFiles, ::testing::Values(true, false),
                         [](const auto& info) { return std::string(info.param ? "Zeros" : "RandomBytes"); });

TEST(FormatNames, AreShortAndUpperCase) {
    const std::pair<Format, const char*> names[] = {
        {Format::kBmp, "BMP"}, {Format::kPng, "PNG"}, {Format::kJpeg, "JPEG"},      {Format::kGif, "GIF"},
        {Format::kPnm, "PNM"}, {Format::kIco, "ICO"}, {Format::kUnknown, "unknown"},
    };
    for (const auto& [format, name] : names) EXPECT_STREQ(codec::FormatName(format), name);
}

// Loading through the picture layer ------------------------------------------------

using namespace codec_test;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes WithoutLast(Bytes bytes, std::size_t count) {
    bytes.erase(bytes.end() - static_cast<std::ptrdiff_t>(count), bytes.end());
    return bytes;
}

Bytes SmallGif() {
    return GifWriter(9, 7, 4).Control(1).Frame(1, 1, 7, 5, [](int x, int y) { return Pattern(x, y, 4); }).Finish();
}
Picture SmallGifPicture() {
    Picture p(9, 7, kWhite);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            if (Pattern(x, y, 4) != 1) p.at(1 + x, 1 + y) = Colour(Pattern(x, y, 4));
    return p;
}
IconBitmapSpec SmallIcon() {
    IconBitmapSpec s;
    s.width = 5;
    s.height = 3;
    s.bits = 8;
    s.index = [](int x, int y) { return x + y; };
    s.masked = [](int x, int y) { return x == y; };
    return s;
}
Bytes SmallIco(int type) { return IconFile({{IconBitmap(SmallIcon()), 5, 3, 8}}, type); }

// A 24-bit BMP file of 5 x 3 distinct colours.
Picture SmallBmpPicture() {
    Picture p(5, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) p.at(x, y) = Colour(x + 5 * y);
    return p;
}
Bytes SmallBmp() {
    Picture p = SmallBmpPicture();
    Bytes file;
    codec::EncodeBmp24({reinterpret_cast<std::uint8_t*>(p.pixels.data()), 5, 3, 15},
                       [&file](const std::uint8_t* bytes, std::size_t size) { file.insert(file.end(), bytes, bytes + size); });
    return file;
}
Bytes WithoutFirst(Bytes bytes, std::size_t count) {
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    return bytes;
}

// The small GIF with its global table taken out: no colour table at all.
// Its indexes 0 to 3 show black, white, gray 2 and gray 3; 1 is transparent.
Bytes SmallGifWithoutAnyTable() {
    Bytes gif = SmallGif();
    gif.erase(gif.begin() + 13, gif.begin() + 13 + 3 * 4);
    gif[10] &= 0x70;
    return gif;
}
Picture SmallGifWithoutAnyTablePicture() {
    Picture p(9, 7, kWhite);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            const int i = Pattern(x, y, 4);
            if (i != 1) p.at(1 + x, 1 + y) = i == 0 ? kBlack : Bgr{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i)};
        }
    return p;
}

struct LoadCase {
    std::string name;
    std::function<Bytes()> file;
    std::function<Picture()> picture;  // what loads, or
    std::string reason;               // the start of the reason it does not
};

class PictureLayer : public ::testing::TestWithParam<LoadCase> {};

TEST_P(PictureLayer, LoadsTheDecodersPixelsOrGivesOneReason) {
    const LoadCase& c = GetParam();
    ScratchDir dir;
    const Bytes bytes = c.file();
    ASSERT_TRUE(WriteBytes("picture", QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<qsizetype>(bytes.size()))));
    TPicture loaded;
    try {
        loaded.LoadFromFile("picture");
    } catch (const Exception& error) {
        ASSERT_FALSE(c.reason.empty()) << error.what();
        EXPECT_TRUE(TextOf(error.Message()).startsWith(QStringLiteral("Cannot read \"picture\": ") + QString::fromStdString(c.reason)))
            << error.what();
        return;
    }
    ASSERT_TRUE(c.reason.empty()) << "loaded";
    const QImage& image = ImageOf(loaded.Bitmap());
    const Picture want = c.picture();
    ASSERT_EQ(image.width(), want.width);
    ASSERT_EQ(image.height(), want.height);
    for (int y = 0; y < want.height; ++y)
        ASSERT_EQ(std::memcmp(image.constScanLine(y), want.pixels.data() + static_cast<std::size_t>(y) * want.width,
                              3 * static_cast<std::size_t>(want.width)),
                  0)
            << "row " << y;
}

const std::string kDamaged = "the picture data is damaged or incomplete (";
const std::string kTooLarge = "the picture is ";

const LoadCase kLoadCases[] = {
    {"Gif", SmallGif, SmallGifPicture, ""},
    {"GifCut", [] { return WithoutLast(SmallGif(), 8); }, nullptr, kDamaged},
    {"GifOverTheLimit", [] { return GifWriter(20000, 20000, 2).Frame(0, 0, 1, 1, [](int, int) { return 0; }).Finish(); },
     nullptr, kTooLarge + "20000 x 20000 pixels, more than the limit of 268435456 pixels"},
    {"Pgm", [] { return Text("P2 2 1 1000\n500 1000\n"); }, [] {
         Picture p(2, 1);
         p.at(0, 0) = {128, 128, 128};
         p.at(1, 0) = kWhite;
         return p;
     },
     ""},
    {"PbmPlainBitsWithoutSpaces", [] { return Text("P1 3 1 101"); }, [] {
         Picture p(3, 1);
         p.at(1, 0) = kWhite;
         return p;
     },
     ""},
    {"PpmSampleAboveMaxval", [] { return Text("P3 1 1 100 1 2 101"); }, nullptr, kDamaged},
    {"PpmOverTheLimit", [] { return Text("P6 30000 30000 255\n"); }, nullptr,
     kTooLarge + "30000 x 30000 pixels, more than the limit"},
    {"Ico", [] { return SmallIco(1); }, [] { return IconBitmapPicture(SmallIcon()); }, ""},
    {"Cur", [] { return SmallIco(2); }, [] { return IconBitmapPicture(SmallIcon()); }, ""},
    {"IcoWithoutItsMask", [] { return WithoutLast(SmallIco(1), 4); }, nullptr, kDamaged},
    {"IcoRunLengthBitmap",
     [] {
         IconBitmapSpec s = SmallIcon();
         s.compression = 1;
         return IconFile({{IconBitmap(s), 5, 3, 8}});
     },
     nullptr, "the icon's bitmap is run-length compressed, which is not supported"},
    {"CurWhoseByteCountIsZero",
     [] {
         Bytes file = SmallIco(2);
         SetLe32(file, 6 + 8, 0);
         return file;
     },
     [] { return IconBitmapPicture(SmallIcon()); }, ""},
    {"PackedBitmap", [] { return WithoutFirst(SmallBmp(), 14); }, SmallBmpPicture, ""},
    {"PackedBitmapCut", [] { return WithoutLast(WithoutFirst(SmallBmp(), 14), 1); }, nullptr,
     "not a picture format this program reads"},
    {"GifWithoutAnyColourTable", SmallGifWithoutAnyTable, SmallGifWithoutAnyTablePicture, ""},
    {"Xpm", [] { return Text("/* XPM */\nstatic char *x[] = {\n\"1 1 1 1\",\n\"a c #ff0000\",\n\"a\"};\n"); }, nullptr,
     "not a picture format this program reads"},
    {"Xbm", [] { return Text("#define a_width 1\n#define a_height 1\nstatic char a_bits[] = { 0x01 };\n"); },
     nullptr, "not a picture format this program reads"},
};

INSTANTIATE_TEST_SUITE_P(Formats, PictureLayer, ::testing::ValuesIn(kLoadCases), codec_test::CaseName());

// Extensions ------------------------------------------------------------------------

struct ExtensionCase {
    std::string name;
    std::string extension;
    bool picture;
};

class Extensions : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(Extensions, AreKnownWithoutRegardToCase) {
    EXPECT_EQ(codec::IsPictureExtension(GetParam().extension), GetParam().picture);
}

const ExtensionCase kExtensionCases[] = {
    {"Bmp", "bmp", true},        {"BmpUpper", "BMP", true},   {"DibMixed", "Dib", true},     {"Png", "png", true},
    {"Jpg", "JPG", true},        {"Jpe", "jpe", true},        {"Jfif", "jFiF", true},        {"Tif", "tif", true},
    {"Tiff", "TIFF", true},      {"Gif", "gif", true},        {"Pbm", "pbm", true},          {"Pnm", "PNM", true},
    {"Ico", "ico", true},        {"Cur", "Cur", true},        {"Xpm", "xpm", false},         {"Empty", "", false},
    {"WithItsDot", ".png", false}, {"Longer", "pngs", false}, {"Shorter", "jp", false},      {"Spaced", "png ", false},
};

INSTANTIATE_TEST_SUITE_P(Formats, Extensions, ::testing::ValuesIn(kExtensionCases), codec_test::CaseName());

TEST(FormatExtensions, EachFormatHasItsOwn) {
    const std::pair<Format, std::vector<std::string_view>> lists[] = {
        {Format::kBmp, {"bmp", "dib"}},
        {Format::kPng, {"png"}},
        {Format::kJpeg, {"jpg", "jpeg", "jpe", "jfif"}},
        {Format::kGif, {"gif"}},
        {Format::kPnm, {"ppm", "pgm", "pbm", "pnm"}},
        {Format::kIco, {"ico", "cur"}},
        {Format::kTiff, {"tif", "tiff"}},
        {Format::kUnknown, {}},
    };
    for (const auto& [format, extensions] : lists) {
        EXPECT_EQ(codec::ExtensionsOf(format), extensions) << codec::FormatName(format);
        for (const std::string_view extension : extensions) {
            EXPECT_EQ(codec::FormatOfExtension(extension), format) << extension;
            std::string upper(extension);
            for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
            EXPECT_EQ(codec::FormatOfExtension(upper), format) << upper;
        }
    }
    EXPECT_EQ(codec::FormatOfExtension("xpm"), Format::kUnknown);
}

// Declared sizes --------------------------------------------------------------------

codec::RandomAccess InMemory(const Bytes& file) {
    return {file.size(), [&file](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                const std::size_t n = offset >= file.size() ? 0 : std::min<std::size_t>(size, file.size() - offset);
                std::memcpy(buffer, file.data() + offset, n);
                return n;
            }};
}

struct DeclaredCase {
    std::string name;
    std::function<Bytes()> file;
    std::optional<codec::DeclaredPixels> declared;
};

class DeclaredSizes : public ::testing::TestWithParam<DeclaredCase> {};

TEST_P(DeclaredSizes, ComeFromTheHeaders) {
    const Bytes file = GetParam().file();
    const std::optional<codec::DeclaredPixels> declared = codec::DeclaredSizeOf(InMemory(file), std::uint64_t{1} << 28);
    ASSERT_EQ(declared.has_value(), GetParam().declared.has_value());
    if (!declared) return;
    EXPECT_EQ(declared->width, GetParam().declared->width);
    EXPECT_EQ(declared->height, GetParam().declared->height);
    EXPECT_EQ(declared->heldFileBytes, GetParam().declared->heldFileBytes);
}

const DeclaredCase kDeclaredCases[] = {
    {"Bmp", SmallBmp, codec::DeclaredPixels{5, 3, 54 + 3 * 16}},
    {"BmpWithJunkAfterThePixels", [] {
         Bytes file = SmallBmp();
         file.resize(file.size() + 1000, 0);
         return file;
     },
     codec::DeclaredPixels{5, 3, 54 + 3 * 16}},
    {"PackedBitmapAsTheBmpFileItStandsFor", [] { return WithoutFirst(SmallBmp(), 14); },
     codec::DeclaredPixels{5, 3, 54 + 3 * 16}},
    {"Png", [] { return EncodePng(Picture(9, 4)); }, codec::DeclaredPixels{9, 4, 0}},
    {"Gif", SmallGif, codec::DeclaredPixels{9, 7, 0}},
    {"Pgm", [] { return Text("P2 2 1 1000\n500 1000\n"); }, codec::DeclaredPixels{2, 1, 0}},
    {"PpmOverTheLimit", [] { return Text("P6 30000 30000 255\n"); }, std::nullopt},
    {"PpmDamagedHeader", [] { return Text("P6 30000 x"); }, std::nullopt},
    {"IcoThroughItsDirectory", [] { return SmallIco(1); }, std::nullopt},
    {"Text", [] { return Text("hello"); }, std::nullopt},
    {"Empty", [] { return Bytes(); }, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Formats, DeclaredSizes, ::testing::ValuesIn(kDeclaredCases), codec_test::CaseName());

}  // namespace
