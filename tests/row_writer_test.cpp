// Tests of the writers by rows: a BMP file written row by row, in any
// order, is the file EncodeBmp24 writes; a BMP too large to describe is
// refused before anything is written; the PNG form scan and the PNG row
// encoder give EncodePng's form and bytes for every form, and refuse rows
// that do not fit the form.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "codec/bmp.h"
#include "codec/png_write.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Colour = codec::PngForm::Colour;

// A picture of 3 * width bytes a row, padded by a few bytes the writers
// must not copy.
struct Picture {
    int width = 0, height = 0;
    std::ptrdiff_t stride = 0;
    Bytes bytes;
    Picture(int w, int h) : width(w), height(h), stride(3 * w + 5), bytes(static_cast<std::size_t>(stride) * h, 0xEE) {}
    std::uint8_t* row(int y) { return bytes.data() + stride * y; }
    ops::RowView view() { return {bytes.data(), width, height, stride}; }
};

// ------------------------------------------------------------------ BMP

struct BmpCase {
    std::string name;
    int width, height;
    std::string order;  // "top_down", "bottom_up" or "shuffled"
};

class BmpRowWriterOrder : public ::testing::TestWithParam<BmpCase> {};

TEST_P(BmpRowWriterOrder, GivesEncodeBmp24sBytes) {
    const BmpCase& c = GetParam();
    Picture picture(c.width, c.height);
    std::mt19937 random(static_cast<std::uint32_t>(c.width * 1000 + c.height));
    for (int y = 0; y < c.height; ++y)
        for (int i = 0; i < 3 * c.width; ++i) picture.row(y)[i] = static_cast<std::uint8_t>(random());
    Bytes expected;
    codec::EncodeBmp24(picture.view(), [&](const std::uint8_t* bytes, std::size_t size) {
        expected.insert(expected.end(), bytes, bytes + size);
    });
    ASSERT_EQ(codec::Bmp24FileSize(c.width, c.height), expected.size());

    Bytes written(expected.size(), 0x77);  // a byte never written shows
    codec::BmpRowWriter writer(c.width, c.height, [&](std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) {
        ASSERT_LE(offset + size, written.size());
        std::copy(bytes, bytes + size, written.begin() + static_cast<std::ptrdiff_t>(offset));
    });
    std::vector<int> order(static_cast<std::size_t>(c.height));
    std::iota(order.begin(), order.end(), 0);
    if (c.order == "bottom_up") std::reverse(order.begin(), order.end());
    if (c.order == "shuffled") std::shuffle(order.begin(), order.end(), random);
    for (const int y : order) writer.Row(y, picture.row(y));
    EXPECT_EQ(written, expected);
}

std::vector<BmpCase> BmpCases() {
    std::vector<BmpCase> cases;
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {47, 33}, {2, 9}, {3, 4}, {640, 3}})
        for (const char* order : {"top_down", "bottom_up", "shuffled"})
            cases.push_back({std::to_string(w) + "x" + std::to_string(h) + "_" + order, w, h, order});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Rows, BmpRowWriterOrder, ::testing::ValuesIn(BmpCases()),
                         [](const auto& info) { return info.param.name; });

// The largest height a BMP file can hold at a width has a size; one row
// more has none, and the writer refuses it before writing a byte.
TEST(BmpRowWriterSize, OneRowPastTheLargestIsRefused) {
    for (const int width : {1, 4000, 40000, 0x7FFFFFFF / 3}) {
        SCOPED_TRACE("width " + std::to_string(width));
        const std::uint64_t rowSize = (3 * static_cast<std::uint64_t>(width) + 3) / 4 * 4;
        const std::uint64_t largest = std::min<std::uint64_t>((0xFFFFFFFFull - 54) / rowSize, 0x7FFFFFFF);
        const auto size = codec::Bmp24FileSize(static_cast<std::uint64_t>(width), largest);
        ASSERT_TRUE(size.has_value());
        EXPECT_LE(*size, 0xFFFFFFFFull);
        EXPECT_EQ(*size, 54 + rowSize * largest);
        EXPECT_FALSE(codec::Bmp24FileSize(static_cast<std::uint64_t>(width), largest + 1).has_value());
        if (largest + 1 > 0x7FFFFFFF) continue;
        int writes = 0;
        EXPECT_THROW(codec::BmpRowWriter(width, static_cast<int>(largest + 1),
                                         [&](std::uint64_t, const std::uint8_t*, std::size_t) { ++writes; }),
                     codec::BmpError);
        EXPECT_EQ(writes, 0);
    }
    EXPECT_FALSE(codec::Bmp24FileSize(40000, 40000).has_value());
    EXPECT_FALSE(codec::Bmp24FileSize(std::uint64_t{1} << 31, 1).has_value());
}

TEST(BmpRowWriterSize, RowOutsideThePictureIsRefused) {
    codec::BmpRowWriter writer(5, 4, [](std::uint64_t, const std::uint8_t*, std::size_t) {});
    const Bytes row(15);
    EXPECT_THROW(writer.Row(4, row.data()), std::out_of_range);
    EXPECT_THROW(writer.Row(-1, row.data()), std::out_of_range);
}

// ------------------------------------------------------------------ PNG

struct PngCase {
    std::string name;
    int width, height;
    std::function<void(std::uint8_t* pixel, int x, int y)> paint;
    Colour colour;
    int depth;
};

void Gray(std::uint8_t* p, int level) { p[0] = p[1] = p[2] = static_cast<std::uint8_t>(level); }
void Coloured(std::uint8_t* p, int i) {
    p[0] = static_cast<std::uint8_t>(i * 37), p[1] = static_cast<std::uint8_t>(i * 11 + 3), p[2] = static_cast<std::uint8_t>(255 - i);
}

std::vector<PngCase> PngCases() {
    const auto noise = [](int x, int y) { return static_cast<int>((x * 7919u + y * 104729u) * 2654435761u >> 13); };
    return {
        {"gray1_47x33", 47, 33, [=](std::uint8_t* p, int x, int y) { Gray(p, noise(x, y) & 1 ? 255 : 0); }, Colour::kGray, 1},
        {"gray2_1x1", 1, 1, [](std::uint8_t* p, int, int) { Gray(p, 170); }, Colour::kGray, 2},
        {"gray4_47x33", 47, 33, [=](std::uint8_t* p, int x, int y) { Gray(p, 17 * (noise(x, y) % 16)); }, Colour::kGray, 4},
        {"gray8_47x33", 47, 33, [=](std::uint8_t* p, int x, int y) { Gray(p, noise(x, y) % 40 + 1); }, Colour::kGray, 8},
        {"palette1_47x33", 47, 33, [=](std::uint8_t* p, int x, int y) { Coloured(p, noise(x, y) % 2); }, Colour::kPalette, 1},
        {"palette4_gray_levels", 47, 33, [=](std::uint8_t* p, int x, int y) { Gray(p, noise(x, y) % 9 + 1); }, Colour::kPalette, 4},
        {"palette8_no_byte_tells_the_colour", 47, 33,
         [=](std::uint8_t* p, int x, int y) {
             const int i = noise(x, y) % 27;  // each byte one of 3 values, the colours all different
             p[0] = static_cast<std::uint8_t>(i % 3 * 50), p[1] = static_cast<std::uint8_t>(i / 3 % 3 * 50);
             p[2] = static_cast<std::uint8_t>(i / 9 * 50);
         },
         Colour::kPalette, 8},
        {"palette8_green_tells_the_colour", 47, 33,
         [=](std::uint8_t* p, int x, int y) {
             const int i = noise(x, y) % 200;
             Coloured(p, i);
             p[0] = static_cast<std::uint8_t>(i % 3);
         },
         Colour::kPalette, 8},
        {"palette4_after_gray_rows", 47, 33,
         [=](std::uint8_t* p, int x, int y) { y < 10 ? Gray(p, 255 * (noise(x, y) & 1)) : Coloured(p, noise(x, y) % 5); },
         Colour::kPalette, 4},
        {"rgb_47x33", 47, 33, [=](std::uint8_t* p, int x, int y) { Coloured(p, noise(x, y)); p[1] = static_cast<std::uint8_t>(x); },
         Colour::kRgb, 8},
        {"rgb_late_colours", 47, 300,
         [=](std::uint8_t* p, int x, int y) {
             y < 280 ? Gray(p, 255 * (x & 1)) : Coloured(p, noise(x, y));
             if (y >= 280) p[1] = static_cast<std::uint8_t>(x * 5 + y);
         },
         Colour::kRgb, 8},
    };
}

Picture Paint(const PngCase& c) {
    Picture picture(c.width, c.height);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) c.paint(picture.row(y) + 3 * x, x, y);
    return picture;
}

class PngRowEncoderForm : public ::testing::TestWithParam<PngCase> {};

TEST_P(PngRowEncoderForm, GivesEncodePngsFormAndBytes) {
    const PngCase& c = GetParam();
    Picture picture = Paint(c);
    Bytes expected;
    const codec::PngForm chosen = codec::EncodePng(picture.view(), [&](const std::uint8_t* bytes, std::size_t size) {
        expected.insert(expected.end(), bytes, bytes + size);
    });
    ASSERT_EQ(chosen.colour, c.colour) << "the picture does not test the form it is meant to";
    ASSERT_EQ(chosen.bitDepth, c.depth);

    codec::PngFormScan scan(c.width);
    for (int y = 0; y < c.height; ++y) scan.Row(picture.row(y));
    const codec::PngForm form = scan.Form();
    EXPECT_EQ(form, chosen);
    const codec::PngPalette palette = scan.Palette();
    EXPECT_EQ(palette.size(), static_cast<std::size_t>(form.paletteSize));

    Bytes written;
    codec::PngRowEncoder encoder(c.width, c.height, form, codec::PngCompressionFor(form),
                                 [&](const std::uint8_t* bytes, std::size_t size) { written.insert(written.end(), bytes, bytes + size); },
                                 palette);
    for (int y = 0; y < c.height; ++y) encoder.Row(picture.row(y));
    encoder.Finish();
    EXPECT_EQ(written, expected);
}

INSTANTIATE_TEST_SUITE_P(Forms, PngRowEncoderForm, ::testing::ValuesIn(PngCases()),
                         [](const auto& info) { return info.param.name; });

struct Misfit {
    std::string name;
    codec::PngForm form;
    codec::PngPalette palette;
    std::array<std::uint8_t, 3> pixel;
};

class PngRowEncoderMisfit : public ::testing::TestWithParam<Misfit> {};

// A row with one pixel the form cannot hold is refused, and so is every
// row after it.
TEST_P(PngRowEncoderMisfit, IsRefused) {
    const Misfit& m = GetParam();
    Picture picture(9, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 9; ++x) std::fill_n(picture.row(y) + 3 * x, 3, std::uint8_t{0});
    std::copy(m.pixel.begin(), m.pixel.end(), picture.row(1) + 3 * 7);
    codec::PngRowEncoder encoder(9, 3, m.form, codec::PngCompressionFor(m.form), [](const std::uint8_t*, std::size_t) {},
                                 m.palette);
    EXPECT_NO_THROW(encoder.Row(picture.row(0)));
    EXPECT_THROW(encoder.Row(picture.row(1)), codec::PngWriteError);
    EXPECT_THROW(encoder.Row(picture.row(2)), codec::PngWriteError);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PngRowEncoderMisfit,
    ::testing::Values(Misfit{"gray1_mid_level", {Colour::kGray, 1, 0}, {}, {128, 128, 128}},
                      Misfit{"gray4_off_level", {Colour::kGray, 4, 0}, {}, {18, 18, 18}},
                      Misfit{"gray8_colour", {Colour::kGray, 8, 0}, {}, {10, 10, 11}},
                      Misfit{"palette_missing_colour", {Colour::kPalette, 1, 2}, {{0, 0, 0}, {0, 0, 9}}, {0, 9, 0}}),
    [](const auto& info) { return info.param.name; });

TEST(PngRowEncoderRows, MustComeAllAndNoMore) {
    const codec::PngForm form{Colour::kRgb, 8, 0};
    const Bytes row(3 * 4, 50);
    codec::PngRowEncoder early(4, 2, form, codec::PngCompressionFor(form), [](const std::uint8_t*, std::size_t) {});
    early.Row(row.data());
    EXPECT_THROW(early.Finish(), codec::PngWriteError);
    codec::PngRowEncoder extra(4, 1, form, codec::PngCompressionFor(form), [](const std::uint8_t*, std::size_t) {});
    extra.Row(row.data());
    EXPECT_THROW(extra.Row(row.data()), codec::PngWriteError);
    EXPECT_THROW(codec::PngRowEncoder(4, 1, {Colour::kPalette, 1, 2}, codec::PngCompressionFor(form),
                                      [](const std::uint8_t*, std::size_t) {}, {{1, 2, 3}, {1, 2, 3}}),
                 codec::PngWriteError)
        << "a palette with a colour twice";
}

}  // namespace
