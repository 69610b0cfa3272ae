// Tests of the ICO and CUR decoder: which image of the directory is taken
// (the largest, then the deepest), bitmap images with their mask and alpha,
// PNG images, cursors, damaged and cut files, and limits.
#include "codec/ico.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/codec_test_files.h"
#include "tests/codec_test_support.h"

namespace {

using namespace codec_test;

codec::RandomAccess RandomAccessOf(const Bytes& file) {
    return {file.size(), [&file](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
                if (offset >= file.size()) return std::size_t{0};
                const std::size_t n = std::min<std::size_t>(size, file.size() - static_cast<std::size_t>(offset));
                std::memcpy(out, file.data() + offset, n);
                return n;
            }};
}

const Decoder kIco = [](const Bytes& file, const codec::AllocateRows& allocate, std::uint64_t maxPixels) {
    return codec::DecodeIco(RandomAccessOf(file), allocate, maxPixels);
};

// A bitmap entry, as the directory would describe it.
IconEntry Bitmap(const IconBitmapSpec& s) { return {IconBitmap(s), s.width & 0xFF, s.height & 0xFF, s.bits}; }

IconBitmapSpec Spec(int width, int height, int bits) {
    IconBitmapSpec s;
    s.width = width;
    s.height = height;
    s.bits = bits;
    const int colours = bits <= 8 ? 1 << bits : 250;
    s.index = [colours](int x, int y) { return Pattern(x, y, colours); };
    return s;
}

// A picture of Colour(Pattern(x, y, 250)), and a PNG entry of it.
Picture Patterned(int width, int height) {
    Picture p(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) p.at(x, y) = Colour(Pattern(x, y, 250));
    return p;
}
IconEntry Png(int width, int height, const std::function<std::uint8_t(int, int)>& alpha = nullptr) {
    return {EncodePng(Patterned(width, height), alpha), width & 0xFF, height & 0xFF, 32};
}

struct IcoCase {
    std::string name;
    std::function<Bytes()> file;
    std::function<Picture()> picture;
};

class IcoLoads : public ::testing::TestWithParam<IcoCase> {};

TEST_P(IcoLoads, ToTheChosenImage) {
    const Decoded got = DecodeChecked(kIco, GetParam().file());
    EXPECT_TRUE(SamePicture(got, GetParam().picture()));
}

TEST_P(IcoLoads, AndItsCutCopiesAreRefusedOrWhole) { ExpectCutCopiesRefusedOrWhole(kIco, GetParam().file()); }

IconBitmapSpec WithMask(IconBitmapSpec s) {
    s.masked = [](int x, int y) { return (x + 2 * y) % 5 == 0; };
    return s;
}
IconBitmapSpec WithAlpha(IconBitmapSpec s, std::function<std::uint8_t(int, int)> alpha) {
    s.alpha = std::move(alpha);
    return s;
}
std::uint8_t Ramp(int x, int y) { return static_cast<std::uint8_t>((x * 29 + y * 7) % 256); }

std::vector<IcoCase> LoadCases() {
    std::vector<IcoCase> cases;
    for (const int bits : {1, 4, 8, 24, 32})
        for (const auto& [w, h] : {std::pair{1, 1}, std::pair{47, 33}}) {
            const IconBitmapSpec s = Spec(w, h, bits);
            cases.push_back({std::to_string(bits) + "Bit_" + std::to_string(w) + "x" + std::to_string(h),
                             [=] { return IconFile({Bitmap(s)}); }, [=] { return IconBitmapPicture(s); }});
        }
    const IconBitmapSpec masked8 = WithMask(Spec(47, 33, 8));
    const IconBitmapSpec alpha32 = WithAlpha(WithMask(Spec(47, 33, 32)), Ramp);
    const IconBitmapSpec zeroAlpha32 = WithAlpha(WithMask(Spec(47, 33, 32)), [](int, int) { return std::uint8_t{0}; });
    const IconBitmapSpec masked1 = WithMask(Spec(19, 5, 1));
    cases.insert(cases.end(), {
        {"MaskMakesWhitePaper", [=] { return IconFile({Bitmap(masked8)}); }, [=] { return IconBitmapPicture(masked8); }},
        {"MaskOnAOneBitIcon", [=] { return IconFile({Bitmap(masked1)}); }, [=] { return IconBitmapPicture(masked1); }},
        {"AlphaLaidOverWhiteAndTheMaskUnused", [=] { return IconFile({Bitmap(alpha32)}); },
         [=] { return IconBitmapPicture(alpha32); }},
        {"AlphaZeroEverywhereIsOpaqueAndTheMaskCounts", [=] { return IconFile({Bitmap(zeroAlpha32)}); },
         [=] {
             Picture p = Patterned(47, 33);
             for (int y = 0; y < 33; ++y)
                 for (int x = 0; x < 47; ++x)
                     if ((x + 2 * y) % 5 == 0) p.at(x, y) = kWhite;
             return p;
         }},
        {"PngImage", [] { return IconFile({Png(47, 33)}); }, [] { return Patterned(47, 33); }},
        {"LargestImageOfSeveral",
         [] { return IconFile({Bitmap(Spec(16, 16, 32)), Bitmap(Spec(48, 48, 8)), Bitmap(Spec(32, 32, 32))}); },
         [] { return IconBitmapPicture(Spec(48, 48, 8)); }},
        {"DeepestOfTheLargest",
         [] { return IconFile({Bitmap(Spec(32, 32, 4)), Bitmap(Spec(32, 32, 32)), Bitmap(Spec(32, 32, 8))}); },
         [] { return IconBitmapPicture(Spec(32, 32, 32)); }},
        {"FirstOfEquals",
         [] {
             IconBitmapSpec other = Spec(20, 10, 24);
             other.index = [](int x, int) { return x; };
             return IconFile({Bitmap(Spec(20, 10, 24)), Bitmap(other)});
         },
         [] { return IconBitmapPicture(Spec(20, 10, 24)); }},
        {"LargestByPixelsNotBySide",
         [] { return IconFile({Bitmap(Spec(40, 3, 32)), Bitmap(Spec(12, 12, 4))}); },
         [] { return IconBitmapPicture(Spec(12, 12, 4)); }},
        {"LargePngBesideSmallBitmaps",
         [] { return IconFile({Bitmap(Spec(16, 16, 32)), Png(300, 20), Bitmap(Spec(48, 48, 32))}); },
         [] { return Patterned(300, 20); }},
        {"PngDepthFromItsHeader",
         [] {
             // An RGB PNG is 24 bits deep, whatever the directory says.
             return IconFile({Png(16, 16), Bitmap(Spec(16, 16, 32))});
         },
         [] { return IconBitmapPicture(Spec(16, 16, 32)); }},
        {"PngWithAlphaDeeperThanA24BitBitmap",
         [] { return IconFile({Bitmap(Spec(16, 16, 24)), Png(16, 16, [](int, int) { return std::uint8_t{255}; })}); },
         [] { return Patterned(16, 16); }},
        {"DirectorySizesAndDepthsAreNotTrusted",
         [] {
             IconEntry small = Bitmap(Spec(64, 64, 32));
             small.width = small.height = 1;
             small.bits = 1;
             IconEntry big = Bitmap(Spec(8, 8, 32));
             big.width = big.height = 0;  // 256
             return IconFile({big, small});
         },
         [] { return IconBitmapPicture(Spec(64, 64, 32)); }},
        {"CursorReadAsAnIcon", [] { return IconFile({Bitmap(Spec(32, 32, 8)), Bitmap(Spec(47, 33, 24))}, 2); },
         [] { return IconBitmapPicture(Spec(47, 33, 24)); }},
        {"CursorWithAPng", [] { return IconFile({Png(47, 33)}, 2); }, [] { return Patterned(47, 33); }},
        {"Cursor1x4OneBitWithItsMask", [] { return IconFile({Bitmap(WithMask(Spec(1, 4, 1)))}, 2); },
         [] { return IconBitmapPicture(WithMask(Spec(1, 4, 1))); }},
        {"Cursor1x4EightBitWithItsMask", [] { return IconFile({Bitmap(WithMask(Spec(1, 4, 8)))}, 2); },
         [] { return IconBitmapPicture(WithMask(Spec(1, 4, 8))); }},
        {"CursorWhoseByteCountIsZero",
         [] {
             Bytes file = IconFile({Bitmap(WithMask(Spec(1, 4, 1)))}, 2);
             SetLe32(file, 6 + 8, 0);
             return file;
         },
         [] { return IconBitmapPicture(WithMask(Spec(1, 4, 1))); }},
    });
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Ico, IcoLoads, ::testing::ValuesIn(LoadCases()), CaseName());

struct RefusedCase {
    std::string name;
    std::function<Bytes()> file;
    Kind kind;
    std::uint64_t maxPixels = kLimit;
    std::uint64_t width = 0, height = 0;  // named in a kTooLarge refusal
};

class IcoRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(IcoRefused, WithAReason) {
    const RefusedCase& c = GetParam();
    const Decoded got = DecodeChecked(kIco, c.file(), c.maxPixels);
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

Bytes Without(Bytes file, std::size_t count) {
    file.erase(file.end() - static_cast<std::ptrdiff_t>(count), file.end());
    return file;
}

const RefusedCase kRefused[] = {
    {"MaskMissing", [] { return Without(IconFile({Bitmap(Spec(47, 33, 8))}), 33 * 8); }, Kind::kDamaged},
    {"ImageCutHalfWay", [] { return Without(IconFile({Bitmap(Spec(47, 33, 24))}), 2500); }, Kind::kDamaged},
    {"ImagePastTheEndOfTheFile",
     [] {
         Bytes file = IconFile({Bitmap(Spec(4, 4, 24)), Bitmap(Spec(8, 8, 24))});
         SetLe32(file, 6 + 16 + 12, 100000);
         return file;
     },
     Kind::kDamaged},
    {"DirectoryCut",
     [] {
         Bytes file = IconFile({Bitmap(Spec(4, 4, 24)), Bitmap(Spec(8, 8, 24))});
         file.erase(file.begin() + 6 + 16 + 5, file.end());
         return file;
     },
     Kind::kDamaged},
    {"NoImages",
     [] {
         Bytes file = IconFile({Bitmap(Spec(4, 4, 24))});
         file[4] = 0;
         return file;
     },
     Kind::kDamaged},
    {"OddBitmapHeight",
     [] {
         IconBitmapSpec s = Spec(4, 4, 24);
         Bytes file = IconFile({Bitmap(s)});
         SetLe32(file, 22 + 8, 7);
         return file;
     },
     Kind::kDamaged},
    {"RunLengthBitmap",
     [] {
         IconBitmapSpec s = Spec(4, 4, 8);
         s.compression = 1;
         return IconFile({Bitmap(s)});
     },
     Kind::kUnsupported},
    {"DamagedPng",
     [] {
         IconEntry png = Png(47, 33);
         png.data[png.data.size() - 20] ^= 0x55;  // inside the image data
         return IconFile({png});
     },
     Kind::kDamaged},
    {"ChosenImageOverTheLimit", [] { return IconFile({Bitmap(Spec(8, 8, 24)), Bitmap(Spec(47, 33, 4))}); },
     Kind::kTooLarge, 47 * 33 - 1, 47, 33},
    {"HugeDeclaredBitmap",
     [] {
         Bytes file = IconFile({Bitmap(Spec(4, 4, 24))});
         SetLe32(file, 22 + 4, 100000);
         SetLe32(file, 22 + 8, 2 * 50000);
         return file;
     },
     Kind::kTooLarge, kLimit, 100000, 50000},
    {"HugeDeclaredPng",
     [] {
         Bytes file = IconFile({Png(4, 4)});
         file[22 + 16] = 0x01;  // width 2^24 + 4
         file[22 + 20] = 0x01;  // height 2^24 + 4
         return file;
     },
     Kind::kTooLarge, kLimit, (1u << 24) + 4, (1u << 24) + 4},
};

INSTANTIATE_TEST_SUITE_P(Ico, IcoRefused, ::testing::ValuesIn(kRefused), CaseName());

}  // namespace
