// Tests of the PNG writer: every form it chooses (1/2/4-bit gray, 8-bit
// gray, palettes of 1 to 256 colours, RGB) read back from the file's own
// header and decoded again to the same bytes; the chain's stage pictures;
// pictures it refuses; a sink that throws; memory that does not grow with
// the height.
#include "codec/png_write.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bench/synthetic.h"
#include "codec/bytes.h"
#include "codec/png.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"
#include "ops_test_pictures.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using ops_test::Pixel;
using ops_test::Picture;
using Colour = codec::PngForm::Colour;

constexpr int kGray = 0, kRgb = 2, kPalette = 3;  // PNG colour types

Bytes Encode(const ops::RowView& rows) {
    Bytes file;
    codec::EncodePng(rows, [&](const std::uint8_t* bytes, std::size_t size) { file.insert(file.end(), bytes, bytes + size); });
    return file;
}

// What the file says of itself: IHDR's fields, the palette's entries, and
// the chunks in order (runs of IDAT as one).
struct Header {
    std::uint32_t width = 0, height = 0;
    int depth = 0, colourType = -1, interlace = -1;
    int paletteEntries = 0;
    std::string chunks;
};

Header ReadHeader(const Bytes& file) {
    Header header;
    std::size_t at = 8;
    while (at + 12 <= file.size()) {
        const std::uint32_t length = codec::Be32(&file[at]);
        const std::string type(reinterpret_cast<const char*>(&file[at + 4]), 4);
        const std::uint8_t* data = &file[at + 8];
        if (type == "IHDR" && length == 13) {
            header.width = codec::Be32(data);
            header.height = codec::Be32(data + 4);
            header.depth = data[8];
            header.colourType = data[9];
            header.interlace = data[12];
        }
        if (type == "PLTE") header.paletteEntries = static_cast<int>(length / 3);
        if (!(type == "IDAT" && header.chunks.ends_with("IDAT "))) header.chunks += type + " ";
        at += 12 + std::size_t{length};
    }
    return header;
}

// Decodes with the program's own reader into rows with another padding
// than the source's.
Picture Decode(const Bytes& file) {
    Picture picture(0, 0);
    std::size_t at = 0;
    codec::DecodePng(
        [&](std::uint8_t* buffer, std::size_t size) {
            const std::size_t n = std::min(size, file.size() - at);
            std::memcpy(buffer, file.data() + at, n);
            at += n;
            return n;
        },
        [&](int width, int height) {
            picture = Picture(width, height, 3);
            return picture.view();
        },
        std::uint64_t{1} << 32);
    return picture;
}

// ---------------------------------------------------------------- forms

// A colour of a set of n, numbered from 0: never gray, all distinct.
Pixel Numbered(int i) { return {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(2 + i / 256), 1}; }

// A pixel at (x, y) from a small hash, so the pictures have no simple pattern.
unsigned Scatter(int x, int y) { return static_cast<unsigned>(x * 7919 + y * 104729 + x * y * 31) % 65521u; }

struct FormCase {
    const char* name;
    int width, height;
    Pixel (*pixel)(int x, int y);
    int colourType, depth, paletteEntries;
    int padding = -1;  // bytes after each row's pixels; -1: 1 to 7 by the size
};

// Every pixel of a set of n colours appears when there are n pixels or more.
template <int N>
Pixel OfN(int x, int y) {
    return Numbered(static_cast<int>((static_cast<unsigned>(x + y * 47) * 7919u) % N));
}

const FormCase kFormCases[] = {
    {"TwoLevel_47x33", 47, 33, [](int x, int y) { return Scatter(x, y) % 3 ? ops_test::kWhite : ops_test::kBlack; }, kGray, 1, 0},
    {"TwoLevel_13x5_PartByte", 13, 5, [](int x, int y) { return Scatter(x, y) % 2 ? ops_test::kWhite : ops_test::kBlack; }, kGray, 1, 0},
    {"TwoLevel_9x3_UnpaddedRows", 9, 3, [](int x, int y) { return (x + y) % 2 ? ops_test::kWhite : ops_test::kBlack; }, kGray, 1, 0, 0},
    {"AllWhite_1x1", 1, 1, [](int, int) { return ops_test::kWhite; }, kGray, 1, 0},
    {"AllBlack_1x7", 1, 7, [](int, int) { return ops_test::kBlack; }, kGray, 1, 0},
    {"Gray2_Multiples85_47x33", 47, 33, [](int x, int y) { const auto v = std::uint8_t(85 * ((x + 47 * y) * 7 % 4)); return Pixel{v, v, v}; }, kGray, 2, 0},
    {"Gray2_7x3_PartByte", 7, 3, [](int x, int y) { const auto v = std::uint8_t(85 * ((x + 2 * y) % 4)); return Pixel{v, v, v}; }, kGray, 2, 0},
    {"Gray4_Multiples17_47x33", 47, 33, [](int x, int y) { const auto v = std::uint8_t(17 * ((x + 47 * y) * 7 % 16)); return Pixel{v, v, v}; }, kGray, 4, 0},
    {"Gray4_3x2_PartByte", 3, 2, [](int x, int y) { const auto v = std::uint8_t(17 * (x + 3 * y)); return Pixel{v, v, v}; }, kGray, 4, 0},
    {"Gray8_47x33", 47, 33, [](int x, int y) { const auto v = std::uint8_t(Scatter(x, y)); return Pixel{v, v, v}; }, kGray, 8, 0},
    {"Gray8_17LevelsOffTheGrid", 47, 33, [](int x, int y) { const auto v = std::uint8_t(3 + 15 * ((x + 47 * y) % 17)); return Pixel{v, v, v}; }, kGray, 8, 0},
    {"GrayFewLevels_AsPalette", 47, 33, [](int x, int y) { const std::uint8_t v[] = {10, 100, 200}; const auto l = v[(x + 47 * y) % 3]; return Pixel{l, l, l}; }, kPalette, 2, 3},
    {"GrayOneLevel_1x1_AsPalette", 1, 1, [](int, int) { return Pixel{9, 9, 9}; }, kPalette, 1, 1},
    {"Palette1_1x1", 1, 1, [](int, int) { return Pixel{5, 6, 7}; }, kPalette, 1, 1},
    {"Palette2_47x33", 47, 33, OfN<2>, kPalette, 1, 2},
    {"Palette2_Labeled_47x33", 47, 33, [](int x, int y) { return Pixel{std::uint8_t(Scatter(x, y) % 4 ? 255 : 0), 1, 1}; }, kPalette, 1, 2},
    {"Palette3_47x33", 47, 33, OfN<3>, kPalette, 2, 3},
    {"Palette16_47x33", 47, 33, OfN<16>, kPalette, 4, 16},
    {"Palette16_5x5_PartByte", 5, 5, [](int x, int y) { return Numbered((x + 5 * y) % 16); }, kPalette, 4, 16},
    {"Palette17_47x33", 47, 33, OfN<17>, kPalette, 8, 17},
    {"Palette200_47x33", 47, 33, OfN<200>, kPalette, 8, 200},
    {"Palette256_47x33", 47, 33, OfN<256>, kPalette, 8, 256},
    {"Palette256_GrayAndColour", 47, 33, [](int x, int y) { const int i = x + 47 * y; const auto v = std::uint8_t(i / 2 % 255); return i % 2 ? Pixel{v, v, v} : Pixel{0, 0, 1}; }, kPalette, 8, 256},
    {"Palette3_GrayRowThenFlatRows", 47, 33, [](int x, int y) { const std::uint8_t b[] = {1, 50, 200}; return y == 0 ? Pixel{1, 1, 1} : Pixel{b[(x + y) % 3], 1, 1}; }, kPalette, 2, 3},
    {"Palette4_FlatRowsThenOthers", 47, 33, [](int x, int y) { const std::uint8_t b[] = {0, 255, 30}; return y < 10 ? Pixel{b[(x + y) % 3], 1, 1} : Pixel{5, 6, 7}; }, kPalette, 2, 4},
    {"Palette3_GrayRowsThenOthers", 47, 33, [](int x, int y) { return y < 10 ? ((x + y) % 2 ? ops_test::kWhite : ops_test::kBlack) : Pixel{5, 6, 7}; }, kPalette, 2, 3},
    {"Palette_SameBlueTwice", 47, 33, [](int x, int y) { return Scatter(x, y) % 3 == 0 ? Pixel{7, 1, 1} : Scatter(x, y) % 3 == 1 ? Pixel{7, 2, 1} : Pixel{9, 2, 2}; }, kPalette, 2, 3},
    {"Rgb257Colours_47x33", 47, 33, OfN<257>, kRgb, 8, 0},
    {"Rgb257_GrayRowsFirst", 47, 33, [](int x, int y) { const auto v = std::uint8_t(Scatter(x, y)); return y < 20 ? Pixel{v, v, v} : Numbered(x + 47 * y); }, kRgb, 8, 0},
    {"Rgb_Random_47x33", 47, 33, [](int x, int y) { const unsigned v = Scatter(x, y) * 2654435761u; return Pixel{std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }, kRgb, 8, 0},
    {"Rgb_641x3_Wide", 641, 3, [](int x, int y) { return Pixel{std::uint8_t(x), std::uint8_t(x >> 2), std::uint8_t(y * 40)}; }, kRgb, 8, 0},
};

void PrintTo(const FormCase& c, std::ostream* out) { *out << c.name; }

class PngWriteForm : public ::testing::TestWithParam<FormCase> {};

TEST_P(PngWriteForm, IsChosenAndDecodesToTheSameBytes) {
    const FormCase& c = GetParam();
    Picture picture(c.width, c.height, c.padding);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) picture.set(x, y, c.pixel(x, y));
    const Picture before = picture;

    const Bytes file = Encode(picture.view());
    const Header header = ReadHeader(file);
    EXPECT_EQ(header.width, static_cast<std::uint32_t>(c.width));
    EXPECT_EQ(header.height, static_cast<std::uint32_t>(c.height));
    EXPECT_EQ(header.colourType, c.colourType);
    EXPECT_EQ(header.depth, c.depth);
    EXPECT_EQ(header.paletteEntries, c.paletteEntries);
    EXPECT_EQ(header.interlace, 0);
    EXPECT_EQ(header.chunks, c.colourType == kPalette ? "IHDR PLTE IDAT IEND " : "IHDR IDAT IEND ");

    EXPECT_TRUE(ops_test::SamePixels(Decode(file), picture));
    EXPECT_TRUE(ops_test::SamePixels(picture, before)) << "the rows were changed";
    EXPECT_EQ(picture.PaddingDamage(), "");
}

INSTANTIATE_TEST_SUITE_P(Forms, PngWriteForm, ::testing::ValuesIn(kFormCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The form a picture gets does not depend on the compression asked for,
// and every setting decodes to the same bytes.
struct SettingCase {
    const char* name;
    codec::PngCompression compression;
};

const SettingCase kSettingCases[] = {
    {"Store_Level0", {0, codec::PngFilter::kNone, codec::ZlibStrategy::kDefault}},
    {"Level1_Sub_Rle", {1, codec::PngFilter::kSub, codec::ZlibStrategy::kRle}},
    {"Level3_Up_Filtered", {3, codec::PngFilter::kUp, codec::ZlibStrategy::kFiltered}},
    {"Level6_Paeth_Default", {6, codec::PngFilter::kPaeth, codec::ZlibStrategy::kDefault}},
    {"Level9_Adaptive_Filtered", {9, codec::PngFilter::kAdaptive, codec::ZlibStrategy::kFiltered}},
};

void PrintTo(const SettingCase& c, std::ostream* out) { *out << c.name; }

class PngWriteSetting : public ::testing::TestWithParam<SettingCase> {};

TEST_P(PngWriteSetting, EveryFormRoundTrips) {
    for (const FormCase& c : kFormCases) {
        SCOPED_TRACE(c.name);
        Picture picture(c.width, c.height, c.padding);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) picture.set(x, y, c.pixel(x, y));
        Bytes file;
        codec::EncodePng(
            picture.view(), [&](const std::uint8_t* bytes, std::size_t size) { file.insert(file.end(), bytes, bytes + size); },
            GetParam().compression);
        const Header header = ReadHeader(file);
        EXPECT_EQ(header.colourType, c.colourType);
        EXPECT_EQ(header.depth, c.depth);
        EXPECT_TRUE(ops_test::SamePixels(Decode(file), picture));
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, PngWriteSetting, ::testing::ValuesIn(kSettingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the chain's stages

struct StageCase {
    const char* name;
    int stage;  // 1 filtered (A), 2 binarized (B), 3 thinned (C), 4 labeled (D)
    int colourType, depth, paletteEntries;
};

// The benchmark's stroke picture at an odd size, run through the chain.
Picture StagePicture(int stage) {
    bench::Picture source = bench::MakeStrokePicture(317, 211);
    Picture picture(source.width, source.height);
    for (int y = 0; y < source.height; ++y)
        std::memcpy(picture.row(y), source.bytes.data() + y * source.stride, 3 * std::size_t(source.width));
    if (stage >= 1) ops::Filter(picture.view());
    if (stage >= 2) ops::Binarize(picture.view());
    if (stage >= 3) {
        Picture written = picture;
        ops::Thin(picture.view(), written.view());
    }
    if (stage >= 4) ops::Label(picture.view());
    return picture;
}

const StageCase kStageCases[] = {
    {"A_Filtered", 1, kGray, 8, 0},
    {"B_Binarized", 2, kGray, 1, 0},
    {"C_Thinned", 3, kGray, 1, 0},
    {"D_Labeled", 4, kPalette, 1, 2},
};

void PrintTo(const StageCase& c, std::ostream* out) { *out << c.name; }

class PngWriteStage : public ::testing::TestWithParam<StageCase> {};

TEST_P(PngWriteStage, HasItsFormAndDecodesToTheSameBytes) {
    const StageCase& c = GetParam();
    const Picture picture = StagePicture(c.stage);
    Picture copy = picture;
    const Bytes file = Encode(copy.view());
    const Header header = ReadHeader(file);
    EXPECT_EQ(header.colourType, c.colourType);
    EXPECT_EQ(header.depth, c.depth);
    EXPECT_EQ(header.paletteEntries, c.paletteEntries);
    EXPECT_TRUE(ops_test::SamePixels(Decode(file), picture));
    // Far smaller than the 24-bit rows.
    EXPECT_LT(file.size(), 3u * picture.width() * picture.height() / (c.depth == 8 ? 2 : 20));
}

INSTANTIATE_TEST_SUITE_P(Stages, PngWriteStage, ::testing::ValuesIn(kStageCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- refusals and failures

TEST(PngWriteRefusal, PicturesWithoutPixelsOrDataReachNoSink) {
    std::uint8_t pixel[3] = {1, 2, 3};
    const ops::RowView views[] = {{pixel, 0, 0, 3}, {pixel, 0, 5, 3}, {pixel, 5, 0, 15}, {nullptr, 1, 1, 3},
                                  {pixel, -1, 1, 3}};
    for (const ops::RowView& rows : views) {
        SCOPED_TRACE(std::to_string(rows.width) + " x " + std::to_string(rows.height));
        int calls = 0;
        EXPECT_THROW(codec::EncodePng(rows, [&](const std::uint8_t*, std::size_t) { ++calls; }), codec::PngWriteError);
        EXPECT_EQ(calls, 0);
    }
    int calls = 0;
    EXPECT_THROW(codec::EncodePng({pixel, 1, 1, 3}, [&](const std::uint8_t*, std::size_t) { ++calls; }, {10}),
                 codec::PngWriteError);
    EXPECT_EQ(calls, 0);
}

struct SinkFailure {
    int call;
};

// A picture that compresses badly, so its file reaches the sink in several
// pieces: a throw from each call in turn, inside libpng's writes and at the
// last piece after them, comes out unchanged and ends the calls.
TEST(PngWriteSink, AnExceptionFromAnyCallPassesThroughUnchanged) {
    std::mt19937 random(5);
    Picture picture = ops_test::RandomPicture(311, 205, random);
    Bytes whole;
    int pieces = 0;
    codec::EncodePng(picture.view(), [&](const std::uint8_t* bytes, std::size_t size) {
        ++pieces;
        whole.insert(whole.end(), bytes, bytes + size);
    });
    ASSERT_GE(pieces, 3) << "the picture should need several pieces";
    EXPECT_TRUE(ops_test::SamePixels(Decode(whole), picture));

    for (int failing = 1; failing <= pieces; ++failing) {
        SCOPED_TRACE("throwing at call " + std::to_string(failing));
        int calls = 0;
        Bytes given;
        try {
            codec::EncodePng(picture.view(), [&](const std::uint8_t* bytes, std::size_t size) {
                if (++calls == failing) throw SinkFailure{failing};
                given.insert(given.end(), bytes, bytes + size);
            });
            ADD_FAILURE() << "no exception came out";
        } catch (const SinkFailure& failure) {
            EXPECT_EQ(failure.call, failing);
        }
        EXPECT_EQ(calls, failing);
        EXPECT_TRUE(std::equal(given.begin(), given.end(), whole.begin())) << "the bytes before the throw differ";
    }
}

// A picture of 8000 x 4000 whose every row is the same memory: the writer
// must get by on far less than a copy of it (32 MB as 8-bit gray), under an
// address-space limit set in a child process.
TEST(PngWriteMemory, DoesNotGrowWithTheHeight) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
#else
    constexpr int kWidth = 8000, kHeight = 4000;
    std::vector<std::uint8_t> row(3 * kWidth);
    for (int x = 0; x < kWidth; ++x) std::memset(&row[3 * x], x * 37 % 251, 3);
    const ops::RowView rows{row.data(), kWidth, kHeight, 0};
    constexpr std::uint64_t kSpare = 24 << 20;

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::uint64_t used = 0;
        std::ifstream status("/proc/self/statm");
        status >> used;  // pages of address space
        used *= static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const rlimit limit{used + kSpare, used + kSpare};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
        // The limit holds: a block the size of the packed picture is refused.
        if (void* block = std::malloc(std::size_t{kWidth} * kHeight)) {
            std::free(block);
            ::_exit(4);
        }
        std::uint64_t size = 0;
        try {
            const codec::PngForm form = codec::EncodePng(rows, [&](const std::uint8_t*, std::size_t n) { size += n; });
            ::_exit(form.colour == Colour::kGray && form.bitDepth == 8 && size > 0 ? 0 : 5);
        } catch (...) {
            ::_exit(6);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no limit, 4: the limit did not hold, 5: wrong form, 6: the write failed";
#endif
}

}  // namespace
