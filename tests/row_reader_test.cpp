// Tests of the readers by rows: every format and variant gives, row for
// row, the bytes the whole-picture load gives; damage halfway gives the
// rows before it as they are and then fails; a wide picture is read in
// memory far below the picture's own; the limits refuse what they should.
#include "codec/row_reader.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/picture.h"
#include "codec/bytes.h"
#include "codec/formats.h"
#include "codec/open.h"
#include "tests/codec_test_files.h"
#include "tests/picture_files.h"
#include "tests/test_support.h"
#include "tests/tiff_test_files.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = codec::DecodeError::Kind;
using codec::Orientation;

constexpr codec::RowReaderLimits kRoomy{std::uint64_t{1} << 28, std::uint64_t{1} << 30};

codec::RandomAccess InMemory(const Bytes& file) {
    return {file.size(), [&file](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                const std::size_t n = offset >= file.size() ? 0 : std::min<std::size_t>(size, file.size() - offset);
                std::memcpy(buffer, file.data() + offset, n);
                return n;
            }};
}

// A picture as its rows, 3 * width bytes each.
struct Rows {
    int width = 0, height = 0;
    std::vector<Bytes> rows;
};

// The whole-picture load: TPicture::LoadFromFile, then ConvertTo24Bit.
Rows LoadWhole(const Bytes& file, std::uint32_t page) {
    ScratchDir scratch;
    std::ofstream(scratch.path() + "/picture", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    TPicture picture;
    picture.LoadFromFile(FileName(scratch.path() + "/picture"), static_cast<int>(page));
    TBitmap bitmap;
    bitmap.Assign(picture.Bitmap());
    bitmap.ConvertTo24Bit();
    Rows whole{bitmap.Width(), bitmap.Height(), {}};
    const ops::RowView view = bitmap.Rows();
    for (int y = 0; y < whole.height; ++y) whole.rows.emplace_back(view.row(y), view.row(y) + 3 * whole.width);
    return whole;
}

Rows ReadByRows(const Bytes& file, std::uint32_t page, const codec::RowReaderLimits& limits = kRoomy) {
    const std::unique_ptr<codec::RowReader> reader = codec::OpenRowReader(InMemory(file), page, limits);
    Rows read{reader->width(), reader->height(), {}};
    for (int y = 0; y < read.height; ++y) {
        Bytes row(3 * static_cast<std::size_t>(read.width) + 4, 0xA5);  // 4 bytes that must stay as they are
        reader->Next(row.data());
        EXPECT_EQ(Bytes(row.end() - 4, row.end()), Bytes(4, 0xA5)) << "row " << y << " was written past its end";
        read.rows.emplace_back(row.begin(), row.end() - 4);
    }
    EXPECT_THROW(reader->Next(Bytes(3 * static_cast<std::size_t>(read.width) + 3).data()), std::logic_error);
    return read;
}

// ------------------------------------------------------------------ files

testfiles::Rgb Noise(int width, int height, std::uint32_t seed) {
    std::mt19937 random(seed);
    testfiles::Rgb picture{width, height, Bytes(3 * static_cast<std::size_t>(width) * height)};
    for (std::uint8_t& v : picture.pixels) v = static_cast<std::uint8_t>(random());
    return picture;
}

testfiles::PngPicture Png(int colorType, int depth, int width, int height, bool interlace = false) {
    testfiles::PngPicture p;
    p.colorType = colorType;
    p.depth = depth;
    p.width = width;
    p.height = height;
    p.interlace = interlace;
    const int channels = colorType == PNG_COLOR_TYPE_RGB ? 3 : colorType == PNG_COLOR_TYPE_RGBA ? 4
                         : colorType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 1;
    // A palette of 8 bits leaves some indexes unused.
    const unsigned levels = colorType == PNG_COLOR_TYPE_PALETTE && depth == 8 ? 253 : 1u << depth;
    std::mt19937 random(static_cast<std::uint32_t>(width * 31 + depth));
    for (int i = 0; i < width * height * channels; ++i) p.samples.push_back(random() % levels);
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        for (unsigned i = 0; i < levels; ++i)
            p.palette.push_back({static_cast<png_byte>(i * 53), static_cast<png_byte>(i * 97), static_cast<png_byte>(255 - i)});
        for (unsigned i = 0; i < levels && i < 5; ++i) p.paletteAlpha.push_back(static_cast<png_byte>(i * 60));
    }
    return p;
}

Bytes PngWithExif(Orientation orientation, bool interlace) {
    testfiles::PngPicture p = Png(PNG_COLOR_TYPE_RGB, 8, 47, 33, interlace);
    p.exif = testfiles::ExifBlock(orientation, false);
    return testfiles::WritePng(p);
}

using testfiles::WriteJpeg;

struct BmpSpec {
    int width = 47, height = 33, bits = 24;
    bool topDown = false;
    std::uint32_t compression = 0;  // 0, 1 RLE8, 2 RLE4, 6 alpha bit fields (32 bits)
    std::uint32_t gap = 0;          // bytes between the palette and the pixels
};

// A BMP file byte by byte: a palette of codec_test::Colour for indexes, a
// pattern with runs, alpha that varies for alpha bit fields.
Bytes Bmp(const BmpSpec& s) {
    using codec_test::PutLe16;
    using codec_test::PutLe32;
    const int colours = s.bits <= 8 ? 1 << s.bits : 0;
    const auto index = [&](int x, int y) { return codec_test::Pattern(x, y, colours); };
    Bytes pixels;
    for (int row = 0; row < s.height; ++row) {
        const int y = s.topDown ? row : s.height - 1 - row;
        if (s.compression == 1 || s.compression == 2) {  // runs of one index, as long as they go
            for (int x = 0; x < s.width;) {
                int run = 1;
                while (x + run < s.width && run < 255 && index(x + run, y) == index(x, y)) ++run;
                pixels.push_back(static_cast<std::uint8_t>(run));
                pixels.push_back(static_cast<std::uint8_t>(s.compression == 1 ? index(x, y) : index(x, y) * 17));
                x += run;
            }
            pixels.insert(pixels.end(), {0, 0});
            continue;
        }
        Bytes bytes((static_cast<std::size_t>(s.width) * s.bits + 31) / 32 * 4, 0);
        for (int x = 0; x < s.width; ++x) {
            if (s.bits <= 8) {
                const std::size_t bit = static_cast<std::size_t>(x) * s.bits;
                bytes[bit / 8] |= static_cast<std::uint8_t>(index(x, y) << (8 - s.bits - bit % 8));
            } else {
                const std::uint8_t bgr[4] = {static_cast<std::uint8_t>(x * 7 + y * 3), static_cast<std::uint8_t>(x * 5),
                                             static_cast<std::uint8_t>(y * 11), static_cast<std::uint8_t>(x * 13 + y)};
                std::memcpy(&bytes[static_cast<std::size_t>(x) * s.bits / 8], bgr, static_cast<std::size_t>(s.bits / 8));
            }
        }
        pixels.insert(pixels.end(), bytes.begin(), bytes.end());
    }
    if (s.compression == 1 || s.compression == 2) pixels.insert(pixels.end(), {0, 1});

    const std::uint32_t masks = s.compression == 6 ? 16 : 0;
    const std::uint32_t offset = 14 + 40 + masks + 4 * static_cast<std::uint32_t>(colours) + s.gap;
    Bytes file{'B', 'M'};
    PutLe32(file, offset + static_cast<std::uint32_t>(pixels.size()));
    PutLe32(file, 0);
    PutLe32(file, offset);
    PutLe32(file, 40);
    PutLe32(file, static_cast<std::uint32_t>(s.width));
    PutLe32(file, static_cast<std::uint32_t>(s.topDown ? -s.height : s.height));
    PutLe16(file, 1);
    PutLe16(file, static_cast<std::uint32_t>(s.bits));
    PutLe32(file, s.compression);
    PutLe32(file, static_cast<std::uint32_t>(pixels.size()));
    for (int i = 0; i < 4; ++i) PutLe32(file, i < 2 ? 2835 : 0);
    if (masks != 0)
        for (std::uint32_t mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u}) PutLe32(file, mask);
    for (int i = 0; i < colours; ++i) {
        const codec_test::Bgr c = codec_test::Colour(i);
        file.insert(file.end(), {c[0], c[1], c[2], 0});
    }
    file.resize(file.size() + s.gap, 0);
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

Bytes Pnm(const std::string& header, int samples, int bytesPerSample) {
    Bytes file(header.begin(), header.end());
    std::mt19937 random(7);
    for (int i = 0; i < samples * bytesPerSample; ++i) file.push_back(static_cast<std::uint8_t>(random()));
    return file;
}

tifftest::Page TiffPage(std::function<void(tifftest::Page&)> change) {
    tifftest::Page page;
    change(page);
    return page;
}

// ------------------------------------------------------------------ the same rows as the whole load

struct Case {
    std::string name;
    Bytes file;
    std::uint32_t page = 0;
};

std::vector<Case> Cases() {
    using P = tifftest::Page;
    std::vector<Case> cases = {
        {"png_gray1_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_GRAY, 1, 47, 33))},
        {"png_gray4_1x1", testfiles::WritePng(Png(PNG_COLOR_TYPE_GRAY, 4, 1, 1))},
        {"png_gray8_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_GRAY, 8, 47, 33))},
        {"png_gray16_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_GRAY, 16, 47, 33))},
        {"png_palette2_trns_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_PALETTE, 2, 47, 33))},
        {"png_palette8_trns_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_PALETTE, 8, 47, 33))},
        {"png_rgb8_1x1", testfiles::WritePng(Png(PNG_COLOR_TYPE_RGB, 8, 1, 1))},
        {"png_rgb16_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_RGB, 16, 47, 33))},
        {"png_rgba8_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_RGBA, 8, 47, 33))},
        {"png_grayalpha16_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_GRAY_ALPHA, 16, 47, 33))},
        {"png_rgba16_interlaced_47x33", testfiles::WritePng(Png(PNG_COLOR_TYPE_RGBA, 16, 47, 33, true))},
        {"png_palette4_interlaced_1x1", testfiles::WritePng(Png(PNG_COLOR_TYPE_PALETTE, 4, 1, 1, true))},
        {"png_exif_turned90", PngWithExif(Orientation::kTurned90, false)},
        {"png_exif_mirrored", PngWithExif(Orientation::kMirrored, false)},
        {"png_exif_transversed_interlaced", PngWithExif(Orientation::kTransversed, true)},
        {"jpeg_colour_47x33", WriteJpeg(Noise(47, 33, 1))},
        {"jpeg_colour_1x1", WriteJpeg(Noise(1, 1, 2))},
        {"jpeg_gray_47x33", WriteJpeg(Noise(47, 33, 3), {.gray = true})},
        {"jpeg_progressive_47x33", WriteJpeg(Noise(47, 33, 4), {.progressive = true})},
        {"jpeg_exif_turned90_47x33",
         WriteJpeg(Noise(47, 33, 5), {.app1 = {testfiles::ExifSegment(testfiles::ExifBlock(Orientation::kTurned90, true))}})},
        {"jpeg_exif_turned180_77x70",
         WriteJpeg(Noise(77, 70, 6), {.app1 = {testfiles::ExifSegment(testfiles::ExifBlock(Orientation::kTurned180, false))}})},
        {"tiff_strips_rgb8_47x33", tifftest::Write({TiffPage([](P& p) { p.samples = 3, p.photometric = PHOTOMETRIC_RGB, p.rowsPerStrip = 5; })}).bytes},
        {"tiff_tiles_gray16_47x33", tifftest::Write({TiffPage([](P& p) { p.bits = 16, p.tileWidth = p.tileHeight = 16; })}).bytes},
        {"tiff_tiles_rgba_planar_lzw", tifftest::Write({TiffPage([](P& p) {
             p.samples = 3, p.photometric = PHOTOMETRIC_RGB, p.extra = EXTRASAMPLE_UNASSALPHA, p.planar = true;
             p.compression = COMPRESSION_LZW, p.tileWidth = 32, p.tileHeight = 16;
         })}).bytes},
        {"tiff_group4_1x1", tifftest::Write({TiffPage([](P& p) {
             p.width = p.height = 1, p.bits = 1, p.photometric = PHOTOMETRIC_MINISWHITE, p.compression = COMPRESSION_CCITTFAX4;
         })}).bytes},
        {"tiff_group4_47x33", tifftest::Write({TiffPage([](P& p) {
             p.bits = 1, p.photometric = PHOTOMETRIC_MINISWHITE, p.compression = COMPRESSION_CCITTFAX4, p.rowsPerStrip = 7;
         })}).bytes},
        {"tiff_orientation6", tifftest::Write({TiffPage([](P& p) { p.orientation = 6, p.rowsPerStrip = 4; })}).bytes},
    };
    const Bytes pages = tifftest::Write({TiffPage([](P& p) { p.seed = 1; }),
                                         TiffPage([](P& p) { p.seed = 2, p.width = 20, p.height = 50, p.photometric = PHOTOMETRIC_PALETTE; }),
                                         TiffPage([](P& p) { p.seed = 3, p.tileWidth = p.tileHeight = 16; })})
                            .bytes;
    cases.push_back({"tiff_pages_first", pages, 0});
    cases.push_back({"tiff_pages_second", pages, 1});
    cases.push_back({"tiff_pages_third", pages, 2});
    const std::vector<std::pair<std::string, BmpSpec>> bmps = {
        {"bmp_1bit_bottom_up", {.bits = 1}},
        {"bmp_4bit_top_down", {.bits = 4, .topDown = true}},
        {"bmp_8bit_1x1", {.width = 1, .height = 1, .bits = 8}},
        {"bmp_24bit_bottom_up", {}},
        {"bmp_24bit_top_down_wide", {.width = 301, .height = 160, .topDown = true}},
        {"bmp_32bit_no_alpha", {.bits = 32}},
        {"bmp_32bit_alpha_fields", {.bits = 32, .compression = 6}},
        {"bmp_rle8", {.bits = 8, .compression = 1}},
        {"bmp_rle4", {.bits = 4, .compression = 2}},
        {"bmp_8bit_pixels_after_a_gap", {.bits = 8, .gap = 70000}},
    };
    for (const auto& [name, layout] : bmps) cases.push_back({name, Bmp(layout)});
    cases.push_back({"gif_47x33", codec_test::GifWriter(47, 33, 16)
                                      .Frame(0, 0, 47, 33, [](int x, int y) { return codec_test::Pattern(x, y, 16); })
                                      .Finish()});
    cases.push_back({"gif_transparent_frame", codec_test::GifWriter(47, 33, 8)
                                                  .Control(3)
                                                  .Frame(5, 4, 30, 20, [](int x, int y) { return codec_test::Pattern(x, y, 8); }, true)
                                                  .Finish()});
    cases.push_back({"pnm_p6_47x33", Pnm("P6\n47 33\n255\n", 47 * 33 * 3, 1)});
    cases.push_back({"pnm_p5_16bit_1x1", Pnm("P5 1 1 65535\n", 1, 2)});
    cases.push_back({"pnm_p4_47x33", Pnm("P4\n47 33\n", 6 * 33, 1)});
    codec_test::IconBitmapSpec icon{.width = 16, .height = 16, .bits = 8};
    cases.push_back({"ico_8bit", codec_test::IconFile({{codec_test::IconBitmap(icon), 16, 16, 8}})});
    return cases;
}

class RowReaderMatchesWholeLoad : public ::testing::TestWithParam<Case> {};

TEST_P(RowReaderMatchesWholeLoad, RowForRow) {
    const Case& c = GetParam();
    const Rows whole = LoadWhole(c.file, c.page);
    const Rows read = ReadByRows(c.file, c.page);
    ASSERT_EQ(read.width, whole.width);
    ASSERT_EQ(read.height, whole.height);
    for (int y = 0; y < whole.height; ++y) ASSERT_EQ(read.rows[y], whole.rows[y]) << "row " << y;
}

INSTANTIATE_TEST_SUITE_P(Formats, RowReaderMatchesWholeLoad, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// ------------------------------------------------------------------ damage halfway

struct Damage {
    std::string name;
    Bytes intact;
    std::function<void(Bytes&)> damage;
};

// Where the nth chunk of a type starts in a PNG file.
std::size_t PngChunk(const Bytes& file, const char* type, int nth) {
    for (std::size_t at = 8; at + 8 <= file.size(); at += 12 + codec::Be32(&file[at]))
        if (std::memcmp(&file[at + 4], type, 4) == 0 && nth-- == 0) return at;
    throw std::logic_error("no such chunk");
}

// An RGB PNG of noise whose image data is stored, not compressed: a byte
// changed in it changes a pixel, and zlib notices nothing before the end.
Bytes StoredPng(int width, int height) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, testfiles::AppendPngBytes, testfiles::FlushPngBytes);
    png_set_compression_level(png, 0);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const testfiles::Rgb noise = Noise(width, height, 11);
    for (int y = 0; y < height; ++y) png_write_row(png, noise.at(0, y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

Bytes TiffStrips() {
    return tifftest::Write({TiffPage([](tifftest::Page& p) { p.height = 40, p.rowsPerStrip = 4; })}).bytes;
}

std::vector<Damage> Damages() {
    testfiles::PngPicture tall = Png(PNG_COLOR_TYPE_RGB, 8, 64, 200);
    const Bytes png = testfiles::WritePng(tall);
    const Bytes jpeg = WriteJpeg(Noise(64, 96, 9), {.restartRows = 1});
    return {
        {"png_cut_in_the_image_data", png, [](Bytes& f) { f.resize(f.size() / 2); }},
        {"png_byte_changed_in_the_third_idat",
         png, [](Bytes& f) { f[PngChunk(f, "IDAT", 2) + 100] ^= 0x10; }},
        {"png_iend_missing", png, [](Bytes& f) { f.resize(f.size() - 12); }},
        {"png_stored_byte_changed_in_the_third_idat", StoredPng(64, 200),
         [](Bytes& f) { f[PngChunk(f, "IDAT", 2) + 1000] ^= 0x10; }},
        {"jpeg_cut_in_the_scan", jpeg, [](Bytes& f) { f.resize(f.size() / 2); }},
        {"jpeg_restart_marker_out_of_order", jpeg,
         [](Bytes& f) {
             std::size_t at = 2;
             while (!(f[at] == 0xFF && f[at + 1] == 0xDA)) ++at;  // the scan's data starts after SOS
             int seen = 0;
             for (; at + 1 < f.size(); ++at)
                 if (f[at] == 0xFF && f[at + 1] >= 0xD0 && f[at + 1] <= 0xD7 && ++seen == 6) {
                     f[at + 1] = static_cast<std::uint8_t>(0xD0 + (f[at + 1] - 0xD0 + 3) % 8);
                     return;
                 }
         }},
        {"tiff_strip_past_the_end", TiffStrips(),
         [](Bytes& f) {
             tifftest::Patcher patch(f);
             std::vector<std::uint32_t> offsets = patch.Get(TIFFTAG_STRIPOFFSETS);
             offsets[5] = static_cast<std::uint32_t>(f.size()) + 100;
             patch.Put(TIFFTAG_STRIPOFFSETS, offsets);
         }},
        {"bmp_cut_in_the_pixels", Bmp({}), [](Bytes& f) { f.resize(f.size() - 500); }},
        {"bmp_rle_cut", Bmp({.bits = 8, .compression = 1}), [](Bytes& f) { f.resize(f.size() * 2 / 3); }},
        {"gif_cut", codec_test::GifWriter(47, 33, 16)
                        .Frame(0, 0, 47, 33, [](int x, int y) { return (x * y) % 16; })
                        .Finish(),
         [](Bytes& f) { f.resize(f.size() / 2); }},
    };
}

class RowReaderDamage : public ::testing::TestWithParam<Damage> {};

// The rows that come are the intact file's; then Next fails as damaged,
// before the last row is given; and the whole load refuses the file too.
TEST_P(RowReaderDamage, RowsBeforeThenDamaged) {
    const Damage& d = GetParam();
    Bytes damaged = d.intact;
    d.damage(damaged);
    ASSERT_NE(damaged, d.intact);
    EXPECT_THROW(LoadWhole(damaged, 0), Exception);
    const Rows intact = LoadWhole(d.intact, 0);

    std::unique_ptr<codec::RowReader> reader;
    try {
        reader = codec::OpenRowReader(InMemory(damaged), 0, kRoomy);
    } catch (const codec::DecodeError& error) {
        EXPECT_EQ(error.kind(), Kind::kDamaged) << error.what();
        return;  // found before any row
    }
    ASSERT_EQ(reader->width(), intact.width);
    ASSERT_EQ(reader->height(), intact.height);
    Bytes row(3 * static_cast<std::size_t>(intact.width));
    int given = 0;
    try {
        for (; given < intact.height; ++given) {
            reader->Next(row.data());
            ASSERT_EQ(row, intact.rows[given]) << "row " << given << " is made up";
        }
        FAIL() << "every row came from a damaged file";
    } catch (const codec::DecodeError& error) {
        EXPECT_EQ(error.kind(), Kind::kDamaged) << error.what();
        EXPECT_FALSE(std::string(error.what()).empty());
    }
    EXPECT_THROW(reader->Next(row.data()), codec::DecodeError) << "a failed reader gave another row";
}

INSTANTIATE_TEST_SUITE_P(Formats, RowReaderDamage, ::testing::ValuesIn(Damages()),
                         [](const auto& info) { return info.param.name; });

// ------------------------------------------------------------------ memory

constexpr int kWideWidth = 4000, kTallHeight = 8000;

// Flat 8 x 8 blocks of two levels, so that JPEG at quality 100 keeps them.
std::uint8_t Level(int x, int y) { return ((x / 8 + y / 8) & 1) ? 200 : 56; }

Bytes WidePng() {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, testfiles::AppendPngBytes, testfiles::FlushPngBytes);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, kWideWidth, kTallHeight, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    Bytes row(kWideWidth);
    for (int y = 0; y < kTallHeight; ++y) {
        for (int x = 0; x < kWideWidth; ++x) row[x] = Level(x, y);
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

Bytes WideJpeg() {
    testfiles::Rgb picture{kWideWidth, kTallHeight, {}};
    picture.pixels.resize(3 * static_cast<std::size_t>(kWideWidth) * kTallHeight);
    for (int y = 0; y < kTallHeight; ++y)
        for (int x = 0; x < kWideWidth; ++x) picture.pixels[3 * (static_cast<std::size_t>(y) * kWideWidth + x)] = Level(x, y);
    return WriteJpeg(picture, {.gray = true, .quality = 100});
}

Bytes WideTiff() {
    char path[] = "/tmp/workbench-row-reader-XXXXXX";
    const int fd = ::mkstemp(path);
    ::close(fd);
    TIFF* tif = TIFFOpen(path, "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWideWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kTallHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    Bytes row(kWideWidth);
    for (int y = 0; y < kTallHeight; ++y) {
        for (int x = 0; x < kWideWidth; ++x) row[x] = Level(x, y);
        TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0);
    }
    TIFFClose(tif);
    return tifftest::ReadAndRemove(path);
}

Bytes WideBmp() {
    // 8-bit gray palette: each index shows as its own level.
    Bytes file = Bmp({.width = kWideWidth, .height = 1, .bits = 8});
    for (int i = 0; i < 256; ++i) std::memset(&file[54 + 4 * i], i, 3);
    file.resize(54 + 1024);
    for (int stored = 0; stored < kTallHeight; ++stored)
        for (int x = 0; x < kWideWidth; ++x) file.push_back(Level(x, kTallHeight - 1 - stored));
    codec_test::SetLe32(file, 2, static_cast<std::uint32_t>(file.size()));
    codec_test::SetLe32(file, 22, kTallHeight);
    codec_test::SetLe32(file, 34, static_cast<std::uint32_t>(file.size() - 54 - 1024));
    return file;
}

struct Wide {
    std::string name;
    std::function<Bytes()> make;
};

class RowReaderMemory : public ::testing::TestWithParam<Wide> {};

// A 4000 x 8000 picture is read, every row checked, in a child process
// whose address space has room for a few MB more than it already uses:
// far less than the 96 MB of the picture's rows, as a failed allocation of
// them shows first.
TEST_P(RowReaderMemory, HoldsAFewRows) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#else
    const Bytes file = GetParam().make();
    constexpr std::uint64_t kSpare = 24 << 20;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::uint64_t used = 0;
        std::ifstream("/proc/self/statm") >> used;
        used *= static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const rlimit limit{used + kSpare, used + kSpare};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
        if (void* block = std::malloc(std::size_t{3} * kWideWidth * kTallHeight)) {
            std::free(block);
            ::_exit(4);
        }
        try {
            const auto reader = codec::OpenRowReader(InMemory(file), 0, kRoomy);
            if (reader->width() != kWideWidth || reader->height() != kTallHeight) ::_exit(5);
            std::vector<std::uint8_t> row(3 * kWideWidth);
            for (int y = 0; y < kTallHeight; ++y) {
                reader->Next(row.data());
                for (int x = 0; x < kWideWidth; ++x)
                    if (row[3 * x] != Level(x, y) || row[3 * x + 1] != Level(x, y) || row[3 * x + 2] != Level(x, y)) ::_exit(6);
            }
        } catch (...) {
            ::_exit(7);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "3: no limit, 4: the limit did not hold, 5: wrong size, 6: a wrong pixel, 7: the read failed";
#endif
}

INSTANTIATE_TEST_SUITE_P(Formats, RowReaderMemory,
                         ::testing::Values(Wide{"png", WidePng}, Wide{"jpeg", WideJpeg}, Wide{"tiff", WideTiff},
                                           Wide{"bmp", WideBmp}),
                         [](const auto& info) { return info.param.name; });

// ------------------------------------------------------------------ limits

struct Refused {
    std::string name;
    std::function<void()> open;
    Kind kind;
    bool holdsTooMuch;
};

std::vector<Refused> Refusals() {
    const auto open = [](Bytes file, std::uint32_t page, codec::RowReaderLimits limits) {
        return [file = std::move(file), page, limits] { codec::OpenRowReader(InMemory(file), page, limits); };
    };
    const Bytes png = testfiles::WritePng(Png(PNG_COLOR_TYPE_RGB, 8, 47, 33));
    const Bytes interlaced = testfiles::WritePng(Png(PNG_COLOR_TYPE_RGB, 8, 47, 33, true));
    const Bytes turned = PngWithExif(Orientation::kTurned90, false);
    const std::uint64_t rows = 3 * 47 * 33;
    return {
        {"over_the_pixel_limit", open(png, 0, {47 * 33 - 1, 1 << 30}), Kind::kTooLarge, false},
        {"interlaced_over_the_whole_bytes", open(interlaced, 0, {1 << 28, rows - 1}), Kind::kTooLarge, true},
        {"turned_over_the_whole_bytes", open(turned, 0, {1 << 28, rows}), Kind::kTooLarge, true},
        {"gif_over_the_whole_bytes",
         open(codec_test::GifWriter(47, 33, 4).Frame(0, 0, 47, 33, [](int, int) { return 1; }).Finish(), 0,
              {1 << 28, rows - 1}),
         Kind::kTooLarge, true},
        {"empty_file", open({}, 0, kRoomy), Kind::kDamaged, false},
        {"not_a_picture", open({'h', 'e', 'l', 'l', 'o'}, 0, kRoomy), Kind::kUnsupported, false},
    };
}

class RowReaderRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(RowReaderRefuses, WithTheRightKind) {
    const Refused& r = GetParam();
    try {
        r.open();
        FAIL() << "opened";
    } catch (const codec::TooMuchToHold& error) {
        EXPECT_TRUE(r.holdsTooMuch) << error.what();
        EXPECT_EQ(error.kind(), r.kind);
        EXPECT_GT(error.needed(), error.allowed());
        EXPECT_EQ(error.width() * error.height(), 47u * 33u);
    } catch (const codec::DecodeError& error) {
        EXPECT_FALSE(r.holdsTooMuch) << error.what();
        EXPECT_EQ(error.kind(), r.kind) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, RowReaderRefuses, ::testing::ValuesIn(Refusals()),
                         [](const auto& info) { return info.param.name; });

struct Streamed {
    std::string name;
    Bytes file;
};

class RowReaderStreams : public ::testing::TestWithParam<Streamed> {};

// Pictures that stream need none of the memory a picture read whole takes:
// with room for 16 rows they read, and give the whole load's rows.
TEST_P(RowReaderStreams, WithRoomForAFewRows) {
    const Bytes& file = GetParam().file;
    const Rows whole = LoadWhole(file, 0);
    ASSERT_GT(whole.height, 100);
    const codec::RowReaderLimits tight{std::uint64_t{1} << 28, 16 * 4 * static_cast<std::uint64_t>(whole.width)};
    const Rows read = ReadByRows(file, 0, tight);
    ASSERT_EQ(read.rows, whole.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RowReaderStreams,
    ::testing::Values(Streamed{"png", testfiles::WritePng(Png(PNG_COLOR_TYPE_RGB, 8, 47, 133))},
                      Streamed{"png_mirrored", [] {
                                   testfiles::PngPicture p = Png(PNG_COLOR_TYPE_GRAY, 8, 47, 133);
                                   p.exif = testfiles::ExifBlock(Orientation::kMirrored, true);
                                   return testfiles::WritePng(p);
                               }()},
                      Streamed{"jpeg", WriteJpeg(Noise(47, 133, 3))},
                      Streamed{"tiff_strips_of_8", tifftest::Write({TiffPage([](tifftest::Page& p) {
                                                       p.height = 133, p.rowsPerStrip = 8;
                                                   })}).bytes},
                      Streamed{"bmp", Bmp({.height = 133})}),
    [](const auto& info) { return info.param.name; });

TEST(RowReaderPages, PastTheLastPageIsOutOfRange) {
    const Bytes tiff = tifftest::Write({tifftest::Page{}, tifftest::Page{}}).bytes;
    EXPECT_NO_THROW(codec::OpenRowReader(InMemory(tiff), 1, kRoomy));
    EXPECT_THROW(codec::OpenRowReader(InMemory(tiff), 2, kRoomy), std::out_of_range);
    EXPECT_THROW(codec::OpenRowReader(InMemory(Bmp({})), 1, kRoomy), std::out_of_range);
}

// ------------------------------------------------------------------ the one way to open a picture

// The picture read whole through OpenPicture: rows of 3 * width bytes and
// a guard byte each, which must stay as it is.
Rows ReadWhole(const Bytes& file, std::uint32_t page, int* asked = nullptr) {
    codec::OpenOptions options;
    options.reading = codec::Reading::kWhole;
    options.maxPixels = kRoomy.maxPixels;
    const std::unique_ptr<codec::Picture> picture = codec::OpenPicture(InMemory(file), page, options);
    Bytes bytes;
    int width = 0, height = 0, calls = 0;
    picture->ReadWhole([&](int w, int h) {
        ++calls;
        width = w;
        height = h;
        bytes.assign((3 * static_cast<std::size_t>(w) + 1) * static_cast<std::size_t>(h), 0xA5);
        return ops::RowView{bytes.data(), w, h, 3 * static_cast<std::ptrdiff_t>(w) + 1};
    });
    if (asked != nullptr) *asked = calls;
    EXPECT_EQ(picture->width(), width);
    EXPECT_EQ(picture->height(), height);
    Rows whole{width, height, {}};
    for (int y = 0; y < height; ++y) {
        const auto row = bytes.begin() + static_cast<std::ptrdiff_t>((3 * static_cast<std::size_t>(width) + 1) * y);
        EXPECT_EQ(row[3 * width], 0xA5) << "row " << y << " was written past its end";
        whole.rows.emplace_back(row, row + 3 * width);
    }
    return whole;
}

class OpenPictureReadsEveryFormat : public ::testing::TestWithParam<Case> {};

// Whole into the caller's rows, row by row, and the picture layer's load:
// the same size and the same bytes.
TEST_P(OpenPictureReadsEveryFormat, WholeEqualsRowByRowAndTheLoad) {
    const Case& c = GetParam();
    int asked = 0;
    const Rows whole = ReadWhole(c.file, c.page, &asked);
    EXPECT_EQ(asked, 1) << "the rows are asked for once";
    const Rows read = ReadByRows(c.file, c.page);
    const Rows loaded = LoadWhole(c.file, c.page);
    ASSERT_EQ(whole.width, read.width);
    ASSERT_EQ(whole.height, read.height);
    ASSERT_EQ(whole.width, loaded.width);
    ASSERT_EQ(whole.height, loaded.height);
    for (int y = 0; y < whole.height; ++y) {
        ASSERT_EQ(whole.rows[y], read.rows[y]) << "row " << y;
        ASSERT_EQ(whole.rows[y], loaded.rows[y]) << "row " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, OpenPictureReadsEveryFormat, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// A JPEG file whose EXIF block stands after the scan, just before EOI.
Bytes JpegWithLateExif(Orientation orientation) {
    Bytes file = WriteJpeg(Noise(47, 33, 9));
    const Bytes payload = testfiles::ExifSegment(testfiles::ExifBlock(orientation, false));
    Bytes segment{0xFF, 0xE1, static_cast<std::uint8_t>((payload.size() + 2) >> 8),
                  static_cast<std::uint8_t>(payload.size() + 2)};
    segment.insert(segment.end(), payload.begin(), payload.end());
    file.insert(file.end() - 2, segment.begin(), segment.end());
    return file;
}

// Known to be turned only once its pixels are read: the whole read asks
// for the stored rows and then for the shown ones, as the load shows it;
// the read by rows, which has handed rows out already, refuses it.
TEST(OpenPictureLateOrientation, WholeTurnsItAndRowsRefuseIt) {
    const Bytes file = JpegWithLateExif(Orientation::kTurned90);
    int asked = 0;
    const Rows whole = ReadWhole(file, 0, &asked);
    EXPECT_EQ(asked, 2);
    const Rows loaded = LoadWhole(file, 0);
    ASSERT_EQ(whole.width, 33);
    ASSERT_EQ(whole.height, 47);
    EXPECT_EQ(whole.rows, loaded.rows);
    try {
        ReadByRows(file, 0);
        FAIL() << "read by rows";
    } catch (const codec::DecodeError& error) {
        EXPECT_EQ(error.kind(), Kind::kUnsupported) << error.what();
    }
}

struct PagesCase {
    std::string name;
    Bytes file;
    std::uint32_t pages;
};

std::vector<PagesCase> PagesCases() {
    return {
        {"tiff_of_three", tifftest::Write({tifftest::Page{}, tifftest::Page{}, tifftest::Page{}}).bytes, 3},
        {"tiff_of_one", tifftest::Write({tifftest::Page{}}).bytes, 1},
        {"bmp", Bmp({}), 1},
        {"png", testfiles::WritePng(Png(PNG_COLOR_TYPE_RGB, 8, 4, 4)), 1},
        {"gif", codec_test::GifWriter(4, 4, 2).Frame(0, 0, 4, 4, [](int, int) { return 1; }).Finish(), 1},
    };
}

class OpenPicturePages : public ::testing::TestWithParam<PagesCase> {};

// Every page opens and says how many there are; the one past the last is
// refused with the count, for the caller's "the file has only N pages".
TEST_P(OpenPicturePages, CountedAndThePastTheLastRefused) {
    const PagesCase& c = GetParam();
    EXPECT_EQ(codec::PageCount(InMemory(c.file)), c.pages);
    for (const codec::Reading reading : {codec::Reading::kRows, codec::Reading::kWhole}) {
        codec::OpenOptions options;
        options.reading = reading;
        options.maxPixels = kRoomy.maxPixels;
        options.wholeBytes = kRoomy.wholeBytes;
        for (std::uint32_t page = 0; page < c.pages; ++page)
            EXPECT_EQ(codec::OpenPicture(InMemory(c.file), page, options)->pages(), c.pages) << "page " << page;
        try {
            codec::OpenPicture(InMemory(c.file), c.pages, options);
            FAIL() << "opened page " << c.pages;
        } catch (const codec::NoSuchPage& error) {
            EXPECT_EQ(error.pages(), c.pages);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, OpenPicturePages, ::testing::ValuesIn(PagesCases()),
                         [](const auto& info) { return info.param.name; });

TEST(OpenPicturePages, AnyFileButTiffCountsOne) {
    EXPECT_EQ(codec::PageCount(InMemory({})), 1u);
    EXPECT_EQ(codec::PageCount(InMemory({'h', 'e', 'l', 'l', 'o'})), 1u);
}

struct OpenRefusal {
    std::string name;
    Bytes file;
    codec::OpenOptions options;
    std::function<void(const codec::DecodeError&)> expect;
};

codec::OpenOptions Whole(std::function<void(codec::OpenOptions&)> change = nullptr) {
    codec::OpenOptions options;
    options.reading = codec::Reading::kWhole;
    options.maxPixels = kRoomy.maxPixels;
    if (change) change(options);
    return options;
}

std::vector<OpenRefusal> OpenRefusals() {
    const auto expectWhat = [](Kind kind, std::string what) {
        return [kind, what](const codec::DecodeError& error) {
            EXPECT_EQ(error.kind(), kind);
            EXPECT_EQ(error.what(), what);
        };
    };
    return {
        {"empty_file", {}, Whole(), [](const codec::DecodeError& error) {
             EXPECT_NE(dynamic_cast<const codec::EmptyFile*>(&error), nullptr);
             EXPECT_EQ(error.what(), std::string("the file is empty"));
         }},
        {"png_where_only_bmp_is_taken", testfiles::WritePng(Png(PNG_COLOR_TYPE_RGB, 8, 4, 4)),
         Whole([](codec::OpenOptions& o) { o.only = codec::Format::kBmp; }), [](const codec::DecodeError& error) {
             const auto* other = dynamic_cast<const codec::OtherFormat*>(&error);
             ASSERT_NE(other, nullptr);
             EXPECT_EQ(other->found(), codec::Format::kPng);
             EXPECT_EQ(error.what(), std::string("not a BMP file"));
         }},
        {"text_where_only_bmp_is_taken", {'h', 'e', 'l', 'l', 'o'},
         Whole([](codec::OpenOptions& o) { o.only = codec::Format::kBmp; }),
         expectWhat(Kind::kUnsupported, "not a BMP file")},
        {"not_a_picture", {'h', 'e', 'l', 'l', 'o'}, Whole(),
         expectWhat(Kind::kUnsupported, "not a picture format this program reads")},
        {"over_the_pixel_limit", Bmp({}), Whole([](codec::OpenOptions& o) { o.maxPixels = 47 * 33 - 1; }),
         [](const codec::DecodeError& error) {
             EXPECT_EQ(error.kind(), Kind::kTooLarge);
             EXPECT_EQ(error.width() * error.height(), 47u * 33u);
         }},
        {"stored_rows_too_wide", Bmp({}), Whole([](codec::OpenOptions& o) { o.maxWidth = 46; }),
         [](const codec::DecodeError& error) {
             const auto* wide = dynamic_cast<const codec::RowsTooWide*>(&error);
             ASSERT_NE(wide, nullptr);
             EXPECT_EQ(wide->width(), 47u);
             EXPECT_EQ(wide->height(), 33u);
             EXPECT_EQ(wide->limit(), 46u);
         }},
        {"shown_rows_too_wide", [] {
             testfiles::PngPicture p = Png(PNG_COLOR_TYPE_RGB, 8, 33, 47);
             p.exif = testfiles::ExifBlock(Orientation::kTurned90, false);
             return testfiles::WritePng(p);
         }(),
         Whole([](codec::OpenOptions& o) { o.maxWidth = 40; }), [](const codec::DecodeError& error) {
             const auto* wide = dynamic_cast<const codec::RowsTooWide*>(&error);
             ASSERT_NE(wide, nullptr);
             EXPECT_EQ(wide->width(), 47u);
             EXPECT_EQ(wide->height(), 33u);
         }},
    };
}

class OpenPictureRefuses : public ::testing::TestWithParam<OpenRefusal> {};

TEST_P(OpenPictureRefuses, WithWhatTheCallerWords) {
    const OpenRefusal& r = GetParam();
    try {
        const std::unique_ptr<codec::Picture> picture = codec::OpenPicture(InMemory(r.file), 0, r.options);
        picture->ReadWhole([](int width, int height) {
            static Bytes rows;
            rows.assign(3 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
            return ops::RowView{rows.data(), width, height, 3 * static_cast<std::ptrdiff_t>(width)};
        });
        FAIL() << "read";
    } catch (const codec::DecodeError& error) {
        r.expect(error);
    }
}

INSTANTIATE_TEST_SUITE_P(Whole, OpenPictureRefuses, ::testing::ValuesIn(OpenRefusals()),
                         [](const auto& info) { return info.param.name; });

// A picture turned by its file is decoded into rows held by the reader and
// then turned into the caller's, which are asked for at the shown size.
TEST(OpenPictureSize, IsTheShownSizeBeforeAnyRowIsRead) {
    for (const codec::Reading reading : {codec::Reading::kRows, codec::Reading::kWhole}) {
        codec::OpenOptions options;
        options.reading = reading;
        options.maxPixels = kRoomy.maxPixels;
        options.wholeBytes = kRoomy.wholeBytes;
        const auto picture = codec::OpenPicture(InMemory(PngWithExif(Orientation::kTurned270, false)), 0, options);
        EXPECT_EQ(picture->width(), 33);
        EXPECT_EQ(picture->height(), 47);
        EXPECT_EQ(picture->stored().width, 47u);
        EXPECT_EQ(picture->stored().height, 33u);
        EXPECT_EQ(picture->stored().orientation, Orientation::kTurned270);
        EXPECT_EQ(picture->format(), codec::Format::kPng);
    }
}

}  // namespace
