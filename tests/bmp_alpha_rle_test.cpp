// Tests of two BMP rules, with files written here byte by byte: pixels with
// a declared alpha mask are laid over white paper unless their alpha is
// zero everywhere, and a run-length stream must reach its last row or an
// end-of-bitmap code.
#include "codec/bmp.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "tests/codec_test_files.h"
#include "tests/codec_test_support.h"

namespace {

using namespace codec_test;

const Decoder kBmp = [](const Bytes& file, const codec::AllocateRows& allocate, std::uint64_t maxPixels) {
    const codec::BmpSize size = codec::DecodeBmp(file, allocate, maxPixels);
    return codec::DeclaredSize{static_cast<std::uint64_t>(size.width), static_cast<std::uint64_t>(size.height)};
};

struct BmpSpec {
    std::uint32_t headerSize = 124;
    int width = 2;
    int bits = 32;                   // 16 or 32; 4, 8 or 24 with run-length data
    std::uint32_t compression = 3;   // 0 none, 1 RLE8, 2 RLE4, 3 bit fields, 4 RLE24, 6 alpha bit fields
    std::array<std::uint32_t, 4> masks{0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};  // red, green, blue, alpha
    std::vector<std::vector<std::uint32_t>> rows;  // pixels, top row first
    Bytes stream;                                  // run-length data instead of rows
    int height = 0;                                // with a stream
};

// 32-bit pixels of the given rows under the given header and compression.
BmpSpec Pixels32(std::uint32_t headerSize, std::uint32_t compression, std::vector<std::vector<std::uint32_t>> rows,
                 std::array<std::uint32_t, 4> masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}) {
    BmpSpec s;
    s.headerSize = headerSize;
    s.width = static_cast<int>(rows[0].size());
    s.compression = compression;
    s.masks = masks;
    s.rows = std::move(rows);
    return s;
}

// 16-bit pixels with bit fields in a V5 header.
BmpSpec Pixels16(std::array<std::uint32_t, 4> masks, std::vector<std::vector<std::uint32_t>> rows) {
    BmpSpec s = Pixels32(124, 3, std::move(rows), masks);
    s.bits = 16;
    return s;
}

// A run-length stream of 4 x 2 pixels after a 40-byte header.
BmpSpec Stream(int bits, Bytes stream) {
    BmpSpec s;
    s.headerSize = 40;
    s.width = 4;
    s.height = 2;
    s.bits = bits;
    s.compression = bits == 8 ? 1u : bits == 4 ? 2u : 4u;
    s.stream = std::move(stream);
    return s;
}

// A BMP file: file header, info header (bit masks inside it from 52 bytes
// on, or after a 40-byte one), a 16-colour palette Colour(i) for indexed
// pixels, then the rows bottom-up or the stream.
Bytes Build(const BmpSpec& s) {
    const int height = s.rows.empty() ? s.height : static_cast<int>(s.rows.size());
    Bytes info;
    PutLe32(info, s.headerSize);
    PutLe32(info, static_cast<std::uint32_t>(s.width));
    PutLe32(info, static_cast<std::uint32_t>(height));
    PutLe16(info, 1);
    PutLe16(info, static_cast<std::uint32_t>(s.bits));
    PutLe32(info, s.compression);
    for (int i = 0; i < 5; ++i) PutLe32(info, 0);
    const int maskCount = s.headerSize > 40 ? 4 : s.compression == 6 ? 4 : s.compression == 3 ? 3 : 0;
    for (int i = 0; i < maskCount; ++i) PutLe32(info, s.masks[static_cast<std::size_t>(i)]);
    info.resize(std::max<std::size_t>(info.size(), s.headerSize), 0);
    if (s.bits <= 8)
        for (int i = 0; i < 16; ++i) {
            const Bgr c = Colour(i);
            info.insert(info.end(), {c[0], c[1], c[2], 0});
        }
    Bytes pixels = s.stream;
    for (auto row = s.rows.rbegin(); row != s.rows.rend(); ++row) {
        for (const std::uint32_t pixel : *row) s.bits == 16 ? PutLe16(pixels, pixel) : PutLe32(pixels, pixel);
        pixels.resize((pixels.size() + 3) / 4 * 4, 0);
    }
    Bytes file = {'B', 'M'};
    PutLe32(file, static_cast<std::uint32_t>(14 + info.size() + pixels.size()));
    PutLe32(file, 0);
    PutLe32(file, static_cast<std::uint32_t>(14 + info.size()));
    file.insert(file.end(), info.begin(), info.end());
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

Picture Rows(const std::vector<std::vector<Bgr>>& rows) {
    Picture p(static_cast<int>(rows[0].size()), static_cast<int>(rows.size()));
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) p.at(x, y) = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
    return p;
}

struct AlphaCase {
    std::string name;
    BmpSpec spec;
    Picture picture;
};

class BmpAlpha : public ::testing::TestWithParam<AlphaCase> {};

TEST_P(BmpAlpha, DecidesWhatShowsOnWhitePaper) {
    EXPECT_TRUE(SamePicture(DecodeChecked(kBmp, Build(GetParam().spec)), GetParam().picture));
}

// Alpha 128 over red 200, green 100, blue 0 gives 227, 177, 127; alpha 0
// gives white; alpha 255 the colour; alpha 64 over black 191.
const std::vector<std::vector<std::uint32_t>> kArgb = {{0x80C86400, 0x00102030}, {0xFF102030, 0x40000000}};
const Picture kOverWhite = Rows({{{127, 177, 227}, kWhite}, {{0x30, 0x20, 0x10}, {191, 191, 191}}});
const Picture kOpaque = Rows({{{0, 100, 200}, {0x30, 0x20, 0x10}}, {{0x30, 0x20, 0x10}, kBlack}});

const std::array<std::uint32_t, 4> kArgbMasks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
const std::array<std::uint32_t, 4> kRgbaMasks = {0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF};
const std::array<std::uint32_t, 4> k4444Masks = {0x0F00, 0x00F0, 0x000F, 0xF000};

const AlphaCase kAlphaCases[] = {
    {"V5HeaderAlphaMask", Pixels32(124, 3, kArgb), kOverWhite},
    {"V4HeaderAlphaMask", Pixels32(108, 3, kArgb), kOverWhite},
    {"V3HeaderAlphaMask", Pixels32(56, 3, kArgb), kOverWhite},
    {"AlphaBitFieldsAfterA40ByteHeader", Pixels32(40, 6, kArgb), kOverWhite},
    {"AlphaMaskInTheLowByte", Pixels32(124, 3, {{0xC8640080, 0x10203000}}, kRgbaMasks),
     Rows({{{127, 177, 227}, kWhite}})},
    {"AlphaZeroEverywhereIsOpaque", Pixels32(124, 3, {{0x00C86400, 0x00102030}, {0x00102030, 0x00000000}}), kOpaque},
    // Bytes in the order alpha, blue, green, red: the alpha of every pixel
    // zero shows the colours, as the same bit fields without an alpha mask
    // do.
    {"AlphaMaskInTheLowByteZeroEverywhereIsOpaque",
     Pixels32(124, 3, {{0xC8640000, 0x10203000}, {0x10203000, 0x00000000}}, kRgbaMasks), kOpaque},
    {"LowByteUnusedWithoutAnAlphaMask",
     Pixels32(124, 3, {{0xC8640000, 0x10203000}, {0x10203000, 0x00000000}}, {0xFF000000, 0x00FF0000, 0x0000FF00, 0}),
     kOpaque},
    {"SixteenBitAlpha4444", Pixels16(k4444Masks, {{0xF0F0, 0x8F00, 0x0123, 0x4000}}),
     Rows({{{0, 255, 0}, {119, 119, 255}, kWhite, {187, 187, 187}}})},
    {"SixteenBitAlphaZeroEverywhereIsOpaque", Pixels16(k4444Masks, {{0x0F00, 0x000F}}),
     Rows({{{0, 0, 255}, {255, 0, 0}}})},
    {"FourthByteWithoutBitFieldsIsNotAlpha", Pixels32(40, 0, kArgb), kOpaque},
    {"AlphaMaskOfAV5HeaderWithoutBitFieldsIsUnused", Pixels32(124, 0, kArgb, kArgbMasks), kOpaque},
    {"ThreeBitFieldsAfterA40ByteHeaderHaveNoAlpha", Pixels32(40, 3, kArgb), kOpaque},
    {"FiftyTwoByteHeaderHasNoAlphaMask", Pixels32(52, 3, kArgb), kOpaque},
};

INSTANTIATE_TEST_SUITE_P(Bmp, BmpAlpha, ::testing::ValuesIn(kAlphaCases), CaseName());

// Run-length streams of 4 x 2 pixels (stored bottom row first), with
// palette indexes; -1 is black.
struct RleCase {
    std::string name;
    int bits;  // 8: RLE8, 4: RLE4, 24: RLE24
    Bytes stream;
    std::vector<int> want;  // top row first; empty: refused as cut short
};

class BmpRunLengthEnd : public ::testing::TestWithParam<RleCase> {};

TEST_P(BmpRunLengthEnd, IsReachedOrTheFileIsRefused) {
    const RleCase& c = GetParam();
    const Decoded got = DecodeChecked(kBmp, Build(Stream(c.bits, c.stream)));
    if (c.want.empty()) {
        ASSERT_FALSE(got.loaded);
        EXPECT_EQ(got.kind, Kind::kDamaged);
        EXPECT_EQ(got.detail, "the file ends inside the pixel data");
        return;
    }
    Picture want(4, 2);
    for (int i = 0; i < 8; ++i)
        want.at(i % 4, i / 4) = c.want[static_cast<std::size_t>(i)] < 0 ? kBlack : Colour(c.want[static_cast<std::size_t>(i)]);
    EXPECT_TRUE(SamePicture(got, want));
}

Bytes Rgb24(int i) {
    const Bgr c = Colour(i);
    return {c[0], c[1], c[2]};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

const RleCase kRleCases[] = {
    {"EndOfBitmapAfterTheLastRow", 8, {4, 1, 0, 0, 4, 2, 0, 1}, {2, 2, 2, 2, 1, 1, 1, 1}},
    {"EndOfBitmapEarlyLeavesTheRestBlack", 8, {4, 1, 0, 1}, {-1, -1, -1, -1, 1, 1, 1, 1}},
    {"NoEndCodeOnceTheLastRowIsFull", 8, {4, 1, 0, 0, 4, 2}, {2, 2, 2, 2, 1, 1, 1, 1}},
    {"DeltaPastTheLastRow", 8, {2, 3, 0, 2, 0, 5}, {-1, -1, -1, -1, 3, 3, -1, -1}},
    {"Rle4EndOfBitmap", 4, {4, 0x12, 0, 0, 4, 0x34, 0, 1}, {3, 4, 3, 4, 1, 2, 1, 2}},
    {"CutAfterTheFirstRow", 8, {4, 1, 0, 0}, {}},
    {"CutHalfWayThroughTheLastRow", 8, {4, 1, 0, 0, 2, 2}, {}},
    {"CutInsideAnAbsoluteRun", 8, {0, 4, 1, 2}, {}},
    {"CutInsideADelta", 8, {4, 1, 0, 2, 1}, {}},
    {"CutBetweenTheCodesOfARun", 8, {4, 1, 0, 0, 4}, {}},
    {"Rle4CutAfterTheFirstRow", 4, {4, 0x12, 0, 0}, {}},
    {"Rle4CutInsideAnAbsoluteRun", 4, {0, 4, 0x12}, {}},
    {"Rle24CutAfterTheFirstRow", 24, Cat({{4}, Rgb24(1), {0, 0}}), {}},
    {"Rle24CutInsideARun", 24, Cat({{4}, Rgb24(1), {0, 0, 4, 7}}), {}},
    {"EmptyStream", 8, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Bmp, BmpRunLengthEnd, ::testing::ValuesIn(kRleCases), CaseName());

}  // namespace
