// Tests of the PBM/PGM/PPM decoder: every type written here in the Netpbm
// format's own terms (with the freedoms it gives: bits without separators,
// comments wherever white space may stand, 16-bit samples), the scaling of
// samples by maxval, damaged and cut files, and limits.
#include "codec/pnm.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/codec_test_files.h"
#include "tests/codec_test_support.h"

namespace {

using namespace codec_test;

const Decoder kPnm = [](const Bytes& file, const codec::AllocateRows& allocate, std::uint64_t maxPixels) {
    std::size_t at = 0;
    return codec::DecodePnm(PiecesOf(file, at), allocate, maxPixels);
};

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

constexpr Bgr Gray(std::uint8_t v) { return {v, v, v}; }
constexpr Bgr Rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) { return {b, g, r}; }

// A picture of the given rows.
Picture Rows(const std::vector<std::vector<Bgr>>& rows) {
    Picture p(static_cast<int>(rows[0].size()), static_cast<int>(rows.size()));
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) p.at(x, y) = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
    return p;
}

// A file of type P1..P6 of Pattern values, with its picture: samples are 0
// to 255 (for maxval 65535 written as 257 times that, which scales back
// exactly), bits alternate with the pattern.
struct Generated {
    Bytes file;
    Picture picture;
};

Generated Generate(int type, int width, int height, int maxval) {
    Generated g;
    std::string text = "P" + std::to_string(type) + "\n# made by the test\n" + std::to_string(width) + " " +
                       std::to_string(height) + "\n";
    if (type != 1 && type != 4) text += std::to_string(maxval) + "\n";
    g.file = Text(text);
    g.picture = Picture(width, height);
    auto sample = [&](int v) {
        const int stored = maxval > 255 ? 257 * v : v;
        if (type <= 3) {
            const Bytes number = Text(std::to_string(stored) + (g.file.size() % 5 == 0 ? "\n" : " "));
            g.file.insert(g.file.end(), number.begin(), number.end());
        } else if (maxval > 255) {
            g.file.insert(g.file.end(), {static_cast<std::uint8_t>(stored >> 8), static_cast<std::uint8_t>(stored)});
        } else {
            g.file.push_back(static_cast<std::uint8_t>(stored));
        }
    };
    for (int y = 0; y < height; ++y) {
        std::uint8_t bits = 0;
        for (int x = 0; x < width; ++x) {
            const Bgr c = Colour(Pattern(x, y, 200));
            const int bit = Pattern(x, y, 2);
            switch (type) {
            case 1: g.file.push_back(bit ? '1' : '0'); break;
            case 4:
                bits = static_cast<std::uint8_t>(bits | (bit << (7 - x % 8)));
                if (x % 8 == 7 || x == width - 1) g.file.push_back(bits), bits = 0;
                break;
            case 2:
            case 5: sample(c[1]); break;
            default: sample(c[2]), sample(c[1]), sample(c[0]); break;
            }
            g.picture.at(x, y) = type == 1 || type == 4 ? (bit ? kBlack : kWhite) : type == 2 || type == 5 ? Gray(c[1]) : c;
        }
    }
    return g;
}

struct PnmCase {
    std::string name;
    std::function<Bytes()> file;
    std::function<Picture()> picture;
    std::uint64_t maxPixels = kLimit;
};

class PnmLoads : public ::testing::TestWithParam<PnmCase> {};

TEST_P(PnmLoads, ToThePixelsTheFormatDescribes) {
    const Decoded got = DecodeChecked(kPnm, GetParam().file(), GetParam().maxPixels);
    EXPECT_TRUE(SamePicture(got, GetParam().picture()));
}

TEST_P(PnmLoads, AndItsCutCopiesAreRefusedOrWhole) { ExpectCutCopiesRefusedOrWhole(kPnm, GetParam().file()); }

std::vector<PnmCase> LoadCases() {
    std::vector<PnmCase> cases = {
        {"PlainBitsWithoutSeparators", [] { return Text("P1\n3 2\n010\n110\n"); },
         [] { return Rows({{kWhite, kBlack, kWhite}, {kBlack, kBlack, kWhite}}); }},
        {"PlainBitsAllInOneWord", [] { return Text("P1 3 2 010110"); },
         [] { return Rows({{kWhite, kBlack, kWhite}, {kBlack, kBlack, kWhite}}); }},
        {"PlainBitsAmongComments", [] { return Text("P1\n3 2\n0 1#one\n0\n#row two\n1 1 0\n"); },
         [] { return Rows({{kWhite, kBlack, kWhite}, {kBlack, kBlack, kWhite}}); }},
        {"CommentRightAfterTheMagicNumber", [] { return Text("P2#a comment\n2 1\n255\n0 255\n"); },
         [] { return Rows({{Gray(0), Gray(255)}}); }},
        {"CommentEndsANumber", [] { return Text("P2\n2#width\n1\n255 7 8\n"); },
         [] { return Rows({{Gray(7), Gray(8)}}); }},
        {"CommentsBetweenEveryHeaderField", [] { return Cat(Text("P5 #a\n#b\n 2 #c\n 1 #d\n 255\n"), {10, 20}); },
         [] { return Rows({{Gray(10), Gray(20)}}); }},
        {"CommentInPlaceOfTheLastWhiteSpace", [] { return Cat(Text("P5 2 1 255#c\n"), {10, 20}); },
         [] { return Rows({{Gray(10), Gray(20)}}); }},
        {"CommentsAmongPlainSamples", [] { return Text("P3 2 1 255\n1 2#x\n3\n#y\n4 5 6#end\n"); },
         [] { return Rows({{Rgb(1, 2, 3), Rgb(4, 5, 6)}}); }},
        {"CarriageReturnLineEnds", [] { return Text("P2\r\n2 1\r\n255\r\n7 9\r\n"); },
         [] { return Rows({{Gray(7), Gray(9)}}); }},
        {"SixteenBitGrayScaledByMaxval",
         [] { return Cat(Text("P5 6 1 65535\n"), {0, 0, 1, 1, 0x80, 0x80, 0xFF, 0xFF, 0x12, 0x34, 0, 0xFF}); },
         [] { return Rows({{Gray(0), Gray(1), Gray(128), Gray(255), Gray(18), Gray(1)}}); }},
        {"PlainMaxval1000Rounded", [] { return Text("P2 6 1 1000\n0 1 2 500 999 1000\n"); },
         [] { return Rows({{Gray(0), Gray(0), Gray(1), Gray(128), Gray(255), Gray(255)}}); }},
        {"Maxval7", [] { return Cat(Text("P5 4 1 7\n"), {0, 3, 4, 7}); },
         [] { return Rows({{Gray(0), Gray(109), Gray(146), Gray(255)}}); }},
        {"MaxvalOne", [] { return Text("P2 2 1 1\n0 1\n"); }, [] { return Rows({{Gray(0), Gray(255)}}); }},
        {"PlainColourOrderIsRedGreenBlue", [] { return Text("P3 1 1 255 200 100 50\n"); },
         [] { return Rows({{Rgb(200, 100, 50)}}); }},
        {"RawSixteenBitColourIsBigEndian", [] { return Cat(Text("P6 1 1 65535\n"), {0xFF, 0xFF, 0, 0, 0x80, 0x80}); },
         [] { return Rows({{Rgb(255, 0, 128)}}); }},
        {"RawBitmapRowsStartOnANewByteAndIgnoreTheirPadding",
         [] { return Cat(Text("P4 10 2\n"), {0b10000000, 0b01111111, 0xFF, 0xC0}); },
         [] {
             std::vector<Bgr> first(10, kWhite);
             first[0] = first[9] = kBlack;
             return Rows({first, std::vector<Bgr>(10, kBlack)});
         }},
        {"OnlyTheFirstPictureOfAFile", [] { return Text("P2 1 1 255 9\nP2 1 1 255 200\n"); },
         [] { return Rows({{Gray(9)}}); }},
        {"ExactlyAtTheLimit", [] { return Generate(5, 47, 33, 255).file; },
         [] { return Generate(5, 47, 33, 255).picture; }, 47 * 33},
    };
    for (int type = 1; type <= 6; ++type)
        for (const auto& [w, h] : {std::pair{1, 1}, std::pair{47, 33}})
            cases.push_back({"P" + std::to_string(type) + "_" + std::to_string(w) + "x" + std::to_string(h),
                             [=] { return Generate(type, w, h, 255).file; },
                             [=] { return Generate(type, w, h, 255).picture; }});
    for (const int type : {2, 3, 5, 6})
        cases.push_back({"P" + std::to_string(type) + "_47x33_16Bit", [=] { return Generate(type, 47, 33, 65535).file; },
                         [=] { return Generate(type, 47, 33, 65535).picture; }});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Pnm, PnmLoads, ::testing::ValuesIn(LoadCases()), CaseName());

struct RefusedCase {
    std::string name;
    Bytes file;
    Kind kind;
    std::uint64_t maxPixels = kLimit;
    std::uint64_t width = 0, height = 0;  // named in a kTooLarge refusal
};

class PnmRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(PnmRefused, WithAReason) {
    const RefusedCase& c = GetParam();
    const Decoded got = DecodeChecked(kPnm, c.file, c.maxPixels);
    ASSERT_FALSE(got.loaded);
    EXPECT_EQ(got.kind, c.kind) << got;
    if (c.kind == Kind::kTooLarge) {
        EXPECT_EQ(got.allocations, 0);
        EXPECT_EQ(got.errorWidth, c.width);
        EXPECT_EQ(got.errorHeight, c.height);
    } else {
        EXPECT_FALSE(got.detail.empty());
    }
}

const RefusedCase kRefused[] = {
    {"PlainSampleAboveMaxval", Text("P2 2 1 100\n100 101\n"), Kind::kDamaged},
    {"RawSampleAboveMaxval", Cat(Text("P6 1 1 100\n"), {16, 200, 16}), Kind::kDamaged},
    {"RawSixteenBitSampleAboveMaxval", Cat(Text("P5 1 1 1000\n"), {0x03, 0xE9}), Kind::kDamaged},
    {"PlainBitTwo", Text("P1 2 1 12"), Kind::kDamaged},
    {"LetterAmongPlainSamples", Text("P3 1 1 255\n1 x 3\n"), Kind::kDamaged},
    {"NumberRunningIntoLetters", Text("P2 1 1 255\n12x\n"), Kind::kDamaged},
    {"MaxvalZero", Text("P2 1 1 0\n0\n"), Kind::kDamaged},
    {"Maxval70000", Cat(Text("P6 1 1 70000\n"), Bytes(6, 0)), Kind::kDamaged},
    {"RawDataEndsEarly", Cat(Text("P6 2 1 255\n"), Bytes(5, 9)), Kind::kDamaged},
    {"RawBitmapEndsEarly", Cat(Text("P4 9 2\n"), Bytes(3, 0)), Kind::kDamaged},
    {"PlainDataEndsEarly", Text("P2 3 1 255\n1 2 "), Kind::kDamaged},
    {"PlainDataEndsRightAfterTheLastDigits", Text("P2 3 1 255\n1 2 3"), Kind::kDamaged},
    {"HeaderEndsEarly", Text("P2 3 "), Kind::kDamaged},
    {"HeaderNotEndedByWhiteSpace", Cat(Text("P5 1 1 255x"), {7}), Kind::kDamaged},
    {"WidthNotANumber", Text("P2 a 1 255\n0\n"), Kind::kDamaged},
    {"NoPixels", Text("P2 0 5 255\n"), Kind::kDamaged},
    {"MagicNumberRunningIntoTheWidth", Text("P51 1 255\n\x07"), Kind::kDamaged},
    {"DeclaredSizeOverTheLimitIn30Bytes", Text("P6\n20000 20000\n255\n\x01\x02\x03\x04"), Kind::kTooLarge, kLimit,
     20000, 20000},
    {"NumbersLongerThanAnyPicture", Text("P4 99999999999 99999999999\n"), Kind::kTooLarge, kLimit, 99999999999,
     99999999999},
    {"OnePixelOverTheLimit", Generate(5, 47, 33, 255).file, Kind::kTooLarge, 47 * 33 - 1, 47, 33},
};

INSTANTIATE_TEST_SUITE_P(Pnm, PnmRefused, ::testing::ValuesIn(kRefused), CaseName());

// The decoder asks its source for a small buffer at a time, whatever the
// picture's size, and reads no further than the picture's last row.
TEST(PnmReading, GoesThroughASmallBuffer) {
    const Generated big = Generate(6, 300, 200, 65535);
    Bytes file = big.file;
    file.resize(file.size() + (1 << 20), 0xEE);  // a megabyte after the picture
    std::size_t largest = 0, served = 0;
    const codec::ByteSource source = [&](std::uint8_t* out, std::size_t size) {
        largest = std::max(largest, size);
        const std::size_t n = std::min(size, file.size() - served);
        std::memcpy(out, file.data() + served, n);
        served += n;
        return n;
    };
    Picture got;
    const codec::AllocateRows allocate = [&](int width, int height) {
        got = Picture(width, height);
        return ops::RowView{reinterpret_cast<std::uint8_t*>(got.pixels.data()), width, height, 3 * width};
    };
    codec::DecodePnm(source, allocate, kLimit);
    EXPECT_TRUE(got == big.picture);
    EXPECT_LE(largest, std::size_t{16384});
    EXPECT_LT(served, big.file.size() + 16384);
}

}  // namespace
