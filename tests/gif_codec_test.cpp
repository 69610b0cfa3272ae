// Tests of the GIF decoder: files written with giflib's encoder (and a few
// bytes changed after) for the screen and frame geometry, colour tables,
// transparency, interlacing and animations; damaged and cut files; limits.
#include "codec/gif.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/codec_test_files.h"
#include "tests/codec_test_support.h"

namespace {

using namespace codec_test;

const Decoder kGif = [](const Bytes& file, const codec::AllocateRows& allocate, std::uint64_t maxPixels) {
    std::size_t at = 0;
    return codec::DecodeGif(PiecesOf(file, at), allocate, maxPixels);
};

// The picture of a screen with one frame of Pattern(x, y, colours) indexes
// into Colour(base + i) at (left, top): white paper around the frame and
// under the transparent index.
Picture Framed(int screenWidth, int screenHeight, int left, int top, int width, int height, int colours,
               int base = 0, int transparent = -1) {
    Picture p(screenWidth, screenHeight, kWhite);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int i = Pattern(x, y, colours);
            if (left + x < screenWidth && top + y < screenHeight && i != transparent)
                p.at(left + x, top + y) = Colour(base + i);
        }
    return p;
}

std::function<int(int, int)> PatternOf(int colours) {
    return [colours](int x, int y) { return Pattern(x, y, colours); };
}

// Sets the screen's size in a written file.
Bytes WithScreen(Bytes gif, int width, int height) {
    gif[6] = static_cast<std::uint8_t>(width), gif[7] = static_cast<std::uint8_t>(width >> 8);
    gif[8] = static_cast<std::uint8_t>(height), gif[9] = static_cast<std::uint8_t>(height >> 8);
    return gif;
}

// Shrinks the global table of a written file from 2^bits entries to
// 2^newBits, the frame's data left as it is.
Bytes WithGlobalTable(Bytes gif, int bits, int newBits) {
    const std::ptrdiff_t keep = 3 * (std::ptrdiff_t{1} << newBits);
    gif.erase(gif.begin() + 13 + keep, gif.begin() + 13 + 3 * (std::ptrdiff_t{1} << bits));
    gif[10] = static_cast<std::uint8_t>((gif[10] & ~7) | (newBits - 1));
    return gif;
}

// Takes the global table out of a written file that has no local one: a
// file with no colour table at all, its frame's data left as it is.
Bytes WithoutAnyTable(Bytes gif) {
    const std::ptrdiff_t bytes = 3 * (std::ptrdiff_t{2} << (gif[10] & 7));
    gif.erase(gif.begin() + 13, gif.begin() + 13 + bytes);
    gif[10] &= 0x70;  // no global table; its size bits mean nothing then
    return gif;
}

// What a file without any colour table shows: black for index 0, white for
// 1, the gray of the index for the others; the transparent index and the
// screen outside the frame are white paper as ever.
Picture DefaultTableFramed(int screenWidth, int screenHeight, int width, int height,
                           const std::function<int(int, int)>& index, int transparent = -1) {
    Picture p(screenWidth, screenHeight, kWhite);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int i = index(x, y);
            if (i == transparent) continue;
            const auto gray = static_cast<std::uint8_t>(i);
            p.at(x, y) = i == 0 ? kBlack : i == 1 ? kWhite : Bgr{gray, gray, gray};
        }
    return p;
}

struct GifCase {
    std::string name;
    std::function<Bytes()> file;
    std::function<Picture()> picture;
};

class GifLoads : public ::testing::TestWithParam<GifCase> {};

TEST_P(GifLoads, ToTheFirstFrameOnItsScreen) {
    const Decoded got = DecodeChecked(kGif, GetParam().file());
    EXPECT_TRUE(SamePicture(got, GetParam().picture()));
}

TEST_P(GifLoads, AndItsCutCopiesAreRefusedOrWhole) { ExpectCutCopiesRefusedOrWhole(kGif, GetParam().file()); }

const GifCase kLoads[] = {
    {"OnePixel", [] { return GifWriter(1, 1, 2).Frame(0, 0, 1, 1, PatternOf(2)).Finish(); },
     [] { return Framed(1, 1, 0, 0, 1, 1, 2); }},
    {"OddSize47x33", [] { return GifWriter(47, 33, 8).Frame(0, 0, 47, 33, PatternOf(8)).Finish(); },
     [] { return Framed(47, 33, 0, 0, 47, 33, 8); }},
    {"FrameAtItsOffsetOnWhitePaper", [] { return GifWriter(60, 41, 4).Frame(5, 3, 47, 33, PatternOf(4)).Finish(); },
     [] { return Framed(60, 41, 5, 3, 47, 33, 4); }},
    {"FrameClippedToTheScreen",
     [] { return WithScreen(GifWriter(60, 41, 4).Frame(3, 2, 47, 33, PatternOf(4)).Finish(), 20, 10); },
     [] { return Framed(20, 10, 3, 2, 47, 33, 4); }},
    {"ZeroScreenTakesTheFramesExtent",
     [] { return WithScreen(GifWriter(60, 41, 4).Frame(4, 2, 47, 33, PatternOf(4)).Finish(), 0, 0); },
     [] { return Framed(51, 35, 4, 2, 47, 33, 4); }},
    {"TransparentIndexIsWhitePaper",
     [] { return GifWriter(47, 33, 4).Control(2).Frame(0, 0, 47, 33, PatternOf(4)).Finish(); },
     [] { return Framed(47, 33, 0, 0, 47, 33, 4, 0, 2); }},
    {"LastControlBlockBeforeTheFrameCounts",
     [] { return GifWriter(9, 7, 4).Control(1).Control(3).Frame(0, 0, 9, 7, PatternOf(4)).Finish(); },
     [] { return Framed(9, 7, 0, 0, 9, 7, 4, 0, 3); }},
    {"ControlBlockWithoutTransparencyKeepsEveryIndex",
     [] { return GifWriter(9, 7, 4).Control(-1).Frame(0, 0, 9, 7, PatternOf(4)).Finish(); },
     [] { return Framed(9, 7, 0, 0, 9, 7, 4); }},
    {"InterlacedRowsPutBackInOrder",
     [] { return GifWriter(47, 33, 8).Frame(0, 0, 47, 33, PatternOf(8), true).Finish(); },
     [] { return Framed(47, 33, 0, 0, 47, 33, 8); }},
    {"InterlacedThreeRows", [] { return GifWriter(5, 3, 4).Frame(0, 0, 5, 3, PatternOf(4), true).Finish(); },
     [] { return Framed(5, 3, 0, 0, 5, 3, 4); }},
    {"LocalTableOverTheGlobalOne",
     [] { return GifWriter(47, 33, 4).Frame(0, 0, 47, 33, PatternOf(4), false, 4, 100).Finish(); },
     [] { return Framed(47, 33, 0, 0, 47, 33, 4, 100); }},
    {"LocalTableWithoutAGlobalOne",
     [] { return GifWriter(47, 33, 0).Frame(0, 0, 47, 33, PatternOf(16), false, 16, 100).Finish(); },
     [] { return Framed(47, 33, 0, 0, 47, 33, 16, 100); }},
    {"FirstFrameOfAnAnimationOnly",
     [] {
         return GifWriter(47, 33, 4)
             .Looping()
             .Control(-1)
             .Frame(0, 0, 47, 33, PatternOf(4))
             .Control(0)
             .Frame(2, 2, 10, 10, [](int, int) { return 3; })
             .Finish();
     },
     [] { return Framed(47, 33, 0, 0, 47, 33, 4); }},
    {"CommentAndApplicationBlocksSkipped",
     [] { return GifWriter(12, 5, 2).Comment("made by hand").Looping().Frame(0, 0, 12, 5, PatternOf(2)).Finish(); },
     [] { return Framed(12, 5, 0, 0, 12, 5, 2); }},
    {"NoTrailerAfterTheFirstFrame",
     [] {
         Bytes gif = GifWriter(47, 33, 8).Frame(0, 0, 47, 33, PatternOf(8)).Finish();
         gif.pop_back();
         return gif;
     },
     [] { return Framed(47, 33, 0, 0, 47, 33, 8); }},
    {"FullCodeTable300x200", [] { return GifWriter(300, 200, 256).Frame(0, 0, 300, 200, PatternOf(256)).Finish(); },
     [] { return Framed(300, 200, 0, 0, 300, 200, 256); }},
    {"NoColourTableBlackAndWhiteFirst",
     [] { return WithoutAnyTable(GifWriter(9, 7, 2).Frame(0, 0, 9, 7, PatternOf(2)).Finish()); },
     [] { return DefaultTableFramed(9, 7, 9, 7, PatternOf(2)); }},
    {"NoColourTableFourIndexes", [] { return WithoutAnyTable(GifWriter(9, 7, 4).Frame(0, 0, 9, 7, PatternOf(4)).Finish()); },
     [] { return DefaultTableFramed(9, 7, 9, 7, PatternOf(4)); }},
    {"NoColourTableEveryIndex",
     [] { return WithoutAnyTable(GifWriter(64, 4, 256).Frame(0, 0, 64, 4, [](int x, int y) { return x + 64 * y; }).Finish()); },
     [] { return DefaultTableFramed(64, 4, 64, 4, [](int x, int y) { return x + 64 * y; }); }},
    {"NoColourTableTransparentIndexIsWhitePaper",
     [] { return WithoutAnyTable(GifWriter(9, 7, 4).Control(0).Frame(0, 0, 9, 7, PatternOf(4)).Finish()); },
     [] { return DefaultTableFramed(9, 7, 9, 7, PatternOf(4), 0); }},
};

INSTANTIATE_TEST_SUITE_P(Gif, GifLoads, ::testing::ValuesIn(kLoads), CaseName());

struct RefusedCase {
    std::string name;
    std::function<Bytes()> file;
    Kind kind;
    std::uint64_t maxPixels = kLimit;
    std::uint64_t width = 0, height = 0;  // named in a kTooLarge refusal
};

class GifRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(GifRefused, WithoutAllocating) {
    const RefusedCase& c = GetParam();
    const Decoded got = DecodeChecked(kGif, c.file(), c.maxPixels);
    ASSERT_FALSE(got.loaded);
    EXPECT_EQ(got.kind, c.kind) << got;
    if (c.kind != Kind::kDamaged) {
        EXPECT_EQ(got.allocations, 0);
    }
    if (c.kind == Kind::kTooLarge) {
        EXPECT_EQ(got.errorWidth, c.width);
        EXPECT_EQ(got.errorHeight, c.height);
    } else {
        EXPECT_FALSE(got.detail.empty());
    }
}

Bytes Plain4() { return GifWriter(9, 7, 4).Frame(0, 0, 9, 7, PatternOf(4)).Finish(); }

const RefusedCase kRefused[] = {
    {"CutInsideThePixels",
     [] {
         Bytes gif = Plain4();
         gif.erase(gif.end() - 6, gif.end());
         return gif;
     },
     Kind::kDamaged},
    {"CutInsideTheGlobalTable",
     [] {
         Bytes gif = Plain4();
         gif.erase(gif.begin() + 20, gif.end());
         return gif;
     },
     Kind::kDamaged},
    {"IndexPastTheColourTable", [] { return WithGlobalTable(Plain4(), 2, 1); }, Kind::kDamaged},
    {"NoImage", [] { return GifWriter(9, 7, 4).Finish(); }, Kind::kDamaged},
    {"ControlBlockOfThreeBytes",
     [] {
         Bytes gif = Plain4();
         const Bytes block = {0x21, 0xF9, 3, 1, 0, 0, 0};
         gif.insert(gif.begin() + 13 + 12, block.begin(), block.end());
         return gif;
     },
     Kind::kDamaged},
    {"UnknownRecordBeforeTheImage",
     [] {
         Bytes gif = Plain4();
         gif[13 + 12] = 0x99;
         return gif;
     },
     Kind::kDamaged},
    {"ScreenOverTheLimit", [] { return Plain4(); }, Kind::kTooLarge, 62, 9, 7},
    {"FrameOverTheLimitOnASmallScreen",
     [] { return WithScreen(GifWriter(47, 33, 4).Frame(0, 0, 47, 33, PatternOf(4)).Finish(), 5, 5); },
     Kind::kTooLarge, 100, 47, 33},
    {"ZeroScreenWhoseFrameExtentIsOverTheLimit",
     [] { return WithScreen(GifWriter(60, 41, 4).Frame(4, 2, 6, 6, PatternOf(4)).Finish(), 0, 0); },
     Kind::kTooLarge, 59, 10, 8},
    {"LargestScreenAndFrame",
     [] { return WithScreen(Plain4(), 65535, 65535); }, Kind::kTooLarge, kLimit, 65535, 65535},
};

INSTANTIATE_TEST_SUITE_P(Gif, GifRefused, ::testing::ValuesIn(kRefused), CaseName());

}  // namespace
