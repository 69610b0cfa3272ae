// Tests of the BMP reader and writer: the BMP Suite corpus and damaged copies
// of it, small files built here byte by byte for each way of storing pixels,
// and encode/decode round trips.
#include "codec/bmp.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codec/formats.h"
#include "codec/open.h"

#ifndef WORKBENCH_BMPSUITE_DIR
#error "WORKBENCH_BMPSUITE_DIR must name the BMP Suite corpus directory"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Bgr = std::array<std::uint8_t, 3>;

constexpr std::uint64_t kLimit = 268435456;        // 2^28 pixels
constexpr std::uint64_t kDamagedLimit = 1u << 22;  // damaged files can claim any size: allocate little
const fs::path kCorpus = WORKBENCH_BMPSUITE_DIR;

// Little-endian fields of `size` bytes.
std::uint32_t Get(const Bytes& b, std::size_t at, int size = 4) {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    return v;
}

void Put(Bytes& b, std::size_t at, std::uint32_t v, int size = 4) {
    for (int i = 0; i < size; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes Patched(Bytes b, std::size_t at, std::uint32_t v, int size = 4) {
    Put(b, at, v, size);
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Decoding into rows that reveal stray and missing writes.

struct Outcome {
    bool loaded = false;
    std::string error;  // the reason, when refused
    int width = 0, height = 0;
    Bytes pixels;  // blue, green, red; row 0 at the top, 3 * width bytes a row

    bool operator==(const Outcome&) const = default;
    Bgr Pixel(int x, int y) const {
        const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 3;
        return {pixels[at], pixels[at + 1], pixels[at + 2]};
    }
};

// Decodes the file twice: into rows preset to 0x00 with 5 spare bytes each,
// and into rows preset to 0xFF with 3. Each run must call allocate exactly
// once with the size it returns (never for an empty picture, at most once
// for a refused one) and
// leave the spare bytes alone; the two runs must agree, so every pixel was
// written. Any exception but BmpError is a failure.
Outcome DecodeChecked(const Bytes& file, std::uint64_t maxPixels = kLimit) {
    Outcome runs[2];
    const std::pair<int, std::uint8_t> presets[2] = {{5, 0x00}, {3, 0xFF}};
    for (int run = 0; run < 2; ++run) {
        const auto [padding, fill] = presets[run];
        Outcome& out = runs[run];
        Bytes memory;
        ops::RowView view;
        int calls = 0;
        auto allocate = [&](int width, int height) {
            ++calls;
            view = {nullptr, width, height, 3 * static_cast<std::ptrdiff_t>(width) + padding};
            memory.assign(static_cast<std::size_t>(view.stride) * static_cast<std::size_t>(height), fill);
            view.data = memory.data();
            return view;
        };
        try {
            const codec::BmpSize size = codec::DecodeBmp(file, allocate, maxPixels);
            out = {true, "", size.width, size.height, {}};
        } catch (const codec::BmpError& e) {
            out.error = e.what();
            EXPECT_FALSE(out.error.empty()) << "a refusal must give a reason";
        } catch (const std::exception& e) {
            ADD_FAILURE() << "threw something other than BmpError: " << e.what();
        }
        // A run-length stream found cut short is refused once its rows exist.
        const bool empty = out.width == 0 || out.height == 0;
        if (out.loaded)
            EXPECT_EQ(calls, empty ? 0 : 1) << "allocate calls for a " << out.width << "x" << out.height << " result";
        else
            EXPECT_LE(calls, 1);
        if (empty || calls != 1) continue;
        EXPECT_TRUE(view.width == out.width && view.height == out.height) << "returned size differs from allocated";
        bool padTouched = false;
        for (int y = 0; y < out.height; ++y) {
            const std::uint8_t* row = view.row(y);
            const std::uint8_t* end = row + 3 * static_cast<std::ptrdiff_t>(out.width);
            out.pixels.insert(out.pixels.end(), row, end);
            padTouched |= std::any_of(end, end + padding, [&](std::uint8_t b) { return b != fill; });
        }
        EXPECT_FALSE(padTouched) << "bytes past 3 * width were written";
    }
    EXPECT_TRUE(runs[0] == runs[1]) << "decoding into differently preset rows differs: some pixels were never written";
    return runs[0];
}

// Corpus files.

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> CorpusFiles(const char* folder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(kCorpus / folder, error))
        if (entry.path().extension() == ".bmp") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// Compares a decoded picture with reference/<name>.png in red, green and blue.
::testing::AssertionResult MatchesReference(const Outcome& got, const std::string& name) {
    QImage image(QString::fromStdString((kCorpus / "reference" / (name + ".png")).string()));
    if (image.isNull()) return ::testing::AssertionFailure() << "cannot read reference " << name;
    image = image.convertToFormat(QImage::Format_ARGB32);
    if (image.width() != got.width || image.height() != got.height)
        return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height << ", reference "
                                             << image.width() << "x" << image.height();
    for (int y = 0; y < got.height; ++y) {
        for (int x = 0; x < got.width; ++x) {
            QRgb want = image.pixel(x, y);
            // Transparent: the colour is the renderer's choice. Half
            // transparent: the colour laid over white paper.
            const int alpha = qAlpha(want);
            if (alpha == 0) continue;
            want = qRgb(codec::OverWhite(qRed(want), alpha), codec::OverWhite(qGreen(want), alpha),
                        codec::OverWhite(qBlue(want), alpha));
            const Bgr have = got.Pixel(x, y);
            if (have[0] != qBlue(want) || have[1] != qGreen(want) || have[2] != qRed(want))
                return ::testing::AssertionFailure()
                       << "(" << x << ", " << y << ") is rgb " << int{have[2]} << "," << int{have[1]} << ","
                       << int{have[0]} << ", reference " << qRed(want) << "," << qGreen(want) << "," << qBlue(want);
        }
    }
    return ::testing::AssertionSuccess();
}

// Files built here.

// The colour of palette index i; never black, so pixels left black stand out.
Bgr Colour(int i) {
    return {static_cast<std::uint8_t>(i + 1), static_cast<std::uint8_t>(100 + i), static_cast<std::uint8_t>(200 + i)};
}

Bytes ColourBytes(int i) {
    const Bgr c = Colour(i);
    return {c.begin(), c.end()};
}

struct Recipe {
    std::uint32_t headerSize = 40;
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::uint32_t bitsPerPixel = 24;
    std::uint32_t compression = 0;
    std::uint32_t colorsUsed = 0;
    std::vector<std::uint32_t> masks{};  // in the header from 52 bytes on, else right after it
    int paletteEntries = 0;              // Colour(0), Colour(1), ...; 3 bytes each after a 12-byte header
    Bytes pixels{};                      // placed right after the palette
};

Bytes Build(const Recipe& r) {
    Bytes file(14 + r.headerSize, 0);
    file[0] = 'B';
    file[1] = 'M';
    auto field = [&](std::size_t at, std::uint32_t v, int size = 4) {
        if (at + static_cast<std::size_t>(size) <= r.headerSize) Put(file, 14 + at, v, size);
    };
    field(0, r.headerSize);
    const bool core = r.headerSize == 12;
    field(4, static_cast<std::uint32_t>(r.width), core ? 2 : 4);
    field(core ? 6 : 8, static_cast<std::uint32_t>(r.height), core ? 2 : 4);
    field(core ? 8 : 12, 1, 2);  // planes
    field(core ? 10 : 14, r.bitsPerPixel, 2);
    if (!core) {
        field(16, r.compression);
        field(20, static_cast<std::uint32_t>(r.pixels.size()));
        field(32, r.colorsUsed);
    }
    for (std::size_t i = 0; i < r.masks.size(); ++i) {
        if (r.headerSize <= 40) file.resize(file.size() + 4);
        Put(file, r.headerSize <= 40 ? file.size() - 4 : 14 + 40 + 4 * i, r.masks[i]);
    }
    for (int i = 0; i < r.paletteEntries; ++i) {
        const Bytes c = ColourBytes(i);
        file.insert(file.end(), c.begin(), c.end());
        if (!core) file.push_back(0);
    }
    Put(file, 10, static_cast<std::uint32_t>(file.size()));
    file.insert(file.end(), r.pixels.begin(), r.pixels.end());
    Put(file, 2, static_cast<std::uint32_t>(file.size()));
    return file;
}

// Expected pixels by palette index, row 0 first; -1 is black.
::testing::AssertionResult HasIndexes(const Outcome& got, int width, const std::vector<int>& indexes) {
    if (!got.loaded) return ::testing::AssertionFailure() << "refused: " << got.error;
    const int height = static_cast<int>(indexes.size()) / width;
    if (got.width != width || got.height != height)
        return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int index = indexes[static_cast<std::size_t>(y * width + x)];
            if (got.Pixel(x, y) != (index < 0 ? Bgr{0, 0, 0} : Colour(index)))
                return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is not "
                                                     << (index < 0 ? "black" : "colour " + std::to_string(index));
        }
    }
    return ::testing::AssertionSuccess();
}

// The corpus. Every file loads, or is refused as listed here, and a loaded file
// matches its reference picture when it has one.
TEST(BmpCodecCorpus, FilesLoadOrAreRefusedAsListedAndMatchTheirReferences) {
    // The files refused, with words their reasons must contain.
    const std::map<std::string, std::string> refused = {
        {"questionable/pal1huffmsb", "OS/2 Huffman 1D"}, {"questionable/rgb24jpeg", "embedded JPEG"},
        {"questionable/rgb24png", "embedded PNG"},       {"questionable/rgba64", "64-bit pixels"},
        {"bad/badbitcount", "30000 bits per pixel"},     {"bad/badheadersize", "header size 66"},
        {"bad/badplanes", "30000 colour planes"},        {"bad/badwidth", "width is negative"},
        {"bad/rletopdown", "top-down"},                  {"bad/shortfile", "the file ends inside the pixel data"},
        {"bad/reallybig", "3000000 x 2000000 pixels, more than the limit of 268435456"}};
    // A few files with no reference of their own store the picture of another.
    const std::map<std::string, std::string> sameAs = {
        {"good/pal4rle", "pal4"},    {"good/pal8rle", "pal8"},       {"good/pal8topdown", "pal8"},
        {"good/pal8os2", "pal8"},    {"good/rgb16bfdef", "rgb16"},   {"good/rgb32bf", "rgb24"}};
    int files = 0;
    int compared = 0;
    for (const char* folder : {"good", "questionable", "bad"}) {
        for (const fs::path& path : CorpusFiles(folder)) {
            const std::string name = std::string(folder) + "/" + path.stem().string();
            SCOPED_TRACE(name);
            ++files;
            const Outcome got = DecodeChecked(ReadFile(path));
            if (const auto reason = refused.find(name); reason != refused.end()) {
                EXPECT_FALSE(got.loaded);
                EXPECT_NE(got.error.find(reason->second), std::string::npos) << got.error;
                continue;
            }
            EXPECT_TRUE(got.loaded) << got.error;
            const auto other = sameAs.find(name);
            const std::string reference = other != sameAs.end() ? other->second : path.stem().string();
            if (!fs::exists(kCorpus / "reference" / (reference + ".png"))) continue;
            EXPECT_TRUE(MatchesReference(got, reference));
            ++compared;
        }
    }
    EXPECT_EQ(files, 90) << "the corpus at " << kCorpus << " is not the one these tables describe";
    EXPECT_EQ(compared, 36);
}

// Every good file cut short is refused, unless the cut loses nothing but a
// run-length stream's end-of-bitmap code after its last row: then it gives
// the whole file's pixels.
TEST(BmpCodecCorpus, TruncatedGoodFilesAreRefusedOrWhole) {
    for (const fs::path& path : CorpusFiles("good")) {
        const Bytes file = ReadFile(path);
        const std::size_t size = file.size();
        const std::size_t offset = Get(file, 10);
        const bool rle = Get(file, 14) >= 40 && (Get(file, 30) == 1 || Get(file, 30) == 2);
        const Outcome whole = DecodeChecked(file);
        const std::size_t middle = (offset + size) / 2;
        const std::size_t cuts[] = {0, 1, 14, 17, 18, 30, 53, offset - 1, offset, offset + 1, middle, size - 2, size - 1};
        for (const std::size_t cut : cuts) {
            SCOPED_TRACE(path.filename().string() + " cut at " + std::to_string(cut));
            const Bytes shorter(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
            const Outcome got = DecodeChecked(shorter, kDamagedLimit);
            if (got.loaded) {
                EXPECT_TRUE(rle && cut >= size - 2) << "a file cut at " << cut << " of " << size << " loaded";
                EXPECT_TRUE(got == whole);
            } else if (cut > offset) {
                EXPECT_EQ(got.error, "the file ends inside the pixel data");
            }
        }
    }
}

// Seeded single-byte changes to the headers, palettes and pixels of every
// good file: each loads or is refused (DecodeChecked fails anything else).
TEST(BmpCodecCorpus, MutatedGoodFilesLoadOrAreRefused) {
    std::mt19937 random(20240611);
    int tried = 0;
    for (const fs::path& path : CorpusFiles("good")) {
        const Bytes file = ReadFile(path);
        const std::size_t offset = std::min<std::size_t>(Get(file, 10), file.size());
        const std::size_t headersEnd = std::min<std::size_t>(14 + Get(file, 14), offset);
        for (int i = 0; i < 18; ++i) {
            // A third each in the headers, between headers and pixels, and in the pixels.
            std::size_t lo = 0;
            std::size_t hi = headersEnd;
            if (i % 3 == 1 && offset > headersEnd) lo = headersEnd, hi = offset;
            if (i % 3 == 2) lo = offset, hi = file.size();
            const std::size_t at = lo + random() % (hi - lo);
            Bytes changed = file;
            changed[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
            SCOPED_TRACE(path.filename().string() + " byte " + std::to_string(at) + " set to " +
                         std::to_string(changed[at]));
            DecodeChecked(changed, kDamagedLimit);
            ++tried;
        }
    }
    EXPECT_GE(tried, 300);
}

// Decoding files built here.

TEST(BmpCodecDecode, PaletteIndexesAndIndexesPastThePalette) {
    struct Case {
        const char* name;
        std::uint32_t headerSize, bitsPerPixel, colorsUsed;
        int paletteEntries;  // stored in the file
        Bytes row;
        std::vector<int> want;  // -1: black
    };
    const Case cases[] = {
        {"1-bit, high bit first", 40, 1, 2, 2, {0b10110000, 0b01000000}, {1, 0, 1, 1, 0, 0, 0, 0, 0, 1}},
        {"1-bit, past a 1-colour palette", 40, 1, 1, 1, {0b01000000}, {0, -1}},
        {"2-bit, past a 3-colour palette", 40, 2, 3, 3, {0b00011011}, {0, 1, 2, -1}},
        {"4-bit, past a 3-colour palette", 40, 4, 3, 3, {0x1F, 0x20}, {1, -1, 2, 0}},
        {"4-bit, colours used 0: full palette", 40, 4, 0, 16, {0xEF}, {14, 15}},
        {"8-bit, colours used cuts the stored palette", 40, 8, 2, 4, {0, 1, 2, 3, 255}, {0, 1, -1, -1, -1}},
        {"8-bit, the pixel data cuts the palette", 40, 8, 0, 2, {1, 0, 7}, {1, 0, -1}},
        {"8-bit, 12-byte header with 3-byte entries", 12, 8, 0, 256, {5, 6, 255}, {5, 6, 255}},
        {"8-bit, OS/2 2.x 16-byte header", 16, 8, 0, 256, {7, 200}, {7, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recipe r{.headerSize = c.headerSize, .width = static_cast<int>(c.want.size()), .bitsPerPixel = c.bitsPerPixel,
                 .colorsUsed = c.colorsUsed, .paletteEntries = c.paletteEntries, .pixels = c.row};
        r.pixels.resize((r.pixels.size() + 3) / 4 * 4, 0);
        EXPECT_TRUE(HasIndexes(DecodeChecked(Build(r)), r.width, c.want));
    }
}

// An n-bit channel reads as v * 255 / (2^n - 1), rounded.
TEST(BmpCodecDecode, BitFieldChannelsScaleByValue) {
    struct Case {
        const char* name;
        std::uint32_t headerSize, bitsPerPixel, compression;
        std::vector<std::uint32_t> masks;  // red, green, blue (, alpha)
        std::uint32_t pixel;
        Bgr want;
    };
    const std::vector<std::uint32_t> odd = {0x0000FF00, 0xFF000000, 0x000000FF};
    const Case cases[] = {
        {"5-5-5: 16, 3, 31", 40, 16, 3, {0x7C00, 0x03E0, 0x001F}, (16u << 10) | (3u << 5) | 31u, {255, 25, 132}},
        {"5-6-5: 1, 33, 0", 40, 16, 3, {0xF800, 0x07E0, 0x001F}, (1u << 11) | (33u << 5), {0, 134, 8}},
        {"10-bit: 683, 1023, 3", 40, 32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF}, (683u << 20) | (1023u << 10) | 3u,
         {1, 255, 170}},
        {"zero red mask reads as 0", 40, 32, 3, {0, 0xFF00, 0xFF}, 0xFFAB1234, {0x34, 0x12, 0}},
        {"masks in a 52-byte header", 52, 32, 3, odd, 0x11223344, {0x44, 0x11, 0x33}},
        {"masks in a 124-byte header", 124, 32, 3, odd, 0x11223344, {0x44, 0x11, 0x33}},
        {"masks and opaque alpha after a 40-byte header", 40, 32, 6, {0xFF00, 0xFF000000, 0xFF, 0xFF0000}, 0x11FF3344,
         {0x44, 0x11, 0x33}},
        {"124-byte header without bit fields ignores masks", 124, 32, 0, odd, 0x11223344, {0x44, 0x33, 0x22}},
        {"16-bit default 5-5-5, top bit unused", 40, 16, 0, {}, 0x8000u | (3u << 10) | (1u << 5) | 31u, {255, 8, 25}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome got = DecodeChecked(Build({.headerSize = c.headerSize, .bitsPerPixel = c.bitsPerPixel,
                                                 .compression = c.compression, .masks = c.masks,
                                                 .pixels = Patched(Bytes(4, 0), 0, c.pixel)}));
        ASSERT_TRUE(got.loaded) << got.error;
        EXPECT_EQ(got.Pixel(0, 0), c.want);
    }
}

// Three rows of distinct colours, each padded with 0xEE to whole 32-bit words.
TEST(BmpCodecDecode, RowsBottomUpAndTopDown) {
    struct Case { std::uint32_t headerSize, bitsPerPixel; int width; bool topDown; };
    const Case cases[] = {{40, 24, 2, false}, {40, 24, 2, true}, {40, 24, 4, false}, {12, 24, 3, false},
                          {40, 8, 3, false},  {40, 8, 3, true},  {40, 32, 2, true}};
    constexpr int kHeight = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bitsPerPixel) + "-bit, " + std::to_string(c.width) + " wide, " +
                     (c.topDown ? "top-down" : "bottom-up") + ", header of " + std::to_string(c.headerSize));
        Recipe r{.headerSize = c.headerSize, .width = c.width, .height = c.topDown ? -kHeight : kHeight,
                 .bitsPerPixel = c.bitsPerPixel, .paletteEntries = c.bitsPerPixel == 8 ? 16 : 0};
        std::vector<int> want(static_cast<std::size_t>(c.width * kHeight));
        for (int stored = 0; stored < kHeight; ++stored) {
            const int y = c.topDown ? stored : kHeight - 1 - stored;
            Bytes row;
            for (int x = 0; x < c.width; ++x) {
                const int index = 1 + y * c.width + x;
                want[static_cast<std::size_t>(y * c.width + x)] = index;
                const Bytes colour = c.bitsPerPixel == 8 ? Bytes{static_cast<std::uint8_t>(index)} : ColourBytes(index);
                row.insert(row.end(), colour.begin(), colour.end());
                if (c.bitsPerPixel == 32) row.push_back(0x99);
            }
            row.resize((row.size() + 3) / 4 * 4, 0xEE);
            r.pixels.insert(r.pixels.end(), row.begin(), row.end());
        }
        EXPECT_TRUE(HasIndexes(DecodeChecked(Build(r)), c.width, want));
    }
}

TEST(BmpCodecDecode, RunLengthStreams) {
    struct Case {
        const char* name;
        std::uint32_t bitsPerPixel;  // 8: RLE8, 4: RLE4, 24: OS/2 RLE24
        int width;
        Bytes stream;
        std::vector<int> want;  // row 0 (the last stored row) first; -1: black
    };
    const Bytes c1 = ColourBytes(1), c2 = ColourBytes(2), c3 = ColourBytes(3), c4 = ColourBytes(4);
    const Case cases[] = {
        {"runs and end of line", 8, 4, {3, 1, 0, 0, 2, 2, 0, 1}, {2, 2, -1, -1, 1, 1, 1, -1}},
        {"odd absolute run is padded", 8, 4, {0, 3, 5, 6, 7, 0, 1, 8, 0, 1}, {5, 6, 7, 8}},
        {"even absolute run is not padded", 8, 5, {0, 4, 1, 2, 3, 4, 1, 9, 0, 1}, {1, 2, 3, 4, 9}},
        {"delta moves right and up", 8, 4, {0, 2, 2, 1, 1, 9, 0, 1}, {-1, -1, 9, -1, -1, -1, -1, -1}},
        {"run past the row end is cut, not wrapped", 8, 2, {5, 3, 0, 0, 1, 4, 0, 1}, {4, -1, 3, 3}},
        {"absolute run past the row end is cut", 8, 2, {0, 3, 1, 2, 3, 0, 0, 0, 1, 4, 0, 1}, {4, -1, 1, 2}},
        {"index past the palette is black", 8, 2, {1, 15, 1, 200, 0, 1}, {15, -1}},
        {"RLE4 runs alternate nibbles", 4, 5, {5, 0x12, 0, 1}, {1, 2, 1, 2, 1}},
        {"RLE4 run past the row end is cut", 4, 3, {5, 0x12, 0, 0, 1, 0x30, 0, 1}, {3, -1, -1, 1, 2, 1}},
        {"RLE4 5 nibbles take 3 bytes and a pad", 4, 6, {0, 5, 0x12, 0x34, 0x50, 0, 1, 0x66, 0, 1},
         {1, 2, 3, 4, 5, 6}},
        {"RLE4 end of line and delta", 4, 3, {2, 0x77, 0, 0, 0, 2, 1, 1, 1, 0x88, 0, 1},
         {-1, 8, -1, -1, -1, -1, 7, 7, -1}},
        {"RLE24 run", 24, 3, Cat({{2}, c2, {0, 1}}), {2, 2, -1}},
        {"RLE24 odd absolute run is padded", 24, 4, Cat({{0, 3}, c1, c2, c3, {0}, {1}, c4, {0, 1}}), {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t compression = c.bitsPerPixel == 8 ? 1 : c.bitsPerPixel == 4 ? 2 : 4;
        const Recipe r{.width = c.width, .height = static_cast<int>(c.want.size()) / c.width,
                       .bitsPerPixel = c.bitsPerPixel, .compression = compression,
                       .paletteEntries = c.bitsPerPixel == 24 ? 0 : 16, .pixels = c.stream};
        EXPECT_TRUE(HasIndexes(DecodeChecked(Build(r)), c.width, c.want));
    }
}

TEST(BmpCodecDecode, EmptyPicturesNeverAllocate) {
    const Recipe cases[] = {{.width = 0, .height = 0}, {.width = 5, .height = 0}, {.width = 0, .height = -5},
                            {.width = 0, .height = 3, .bitsPerPixel = 8, .compression = 1, .paletteEntries = 2}};
    for (const Recipe& r : cases) {
        SCOPED_TRACE(std::to_string(r.width) + " x " + std::to_string(r.height));
        const Outcome got = DecodeChecked(Build(r));  // which counts the allocate calls
        EXPECT_TRUE(got.loaded) << got.error;
        EXPECT_EQ(got.width, 0);
        EXPECT_EQ(got.height, 0);
    }
}

TEST(BmpCodecDecode, MalformedFilesAreRefusedWithAReason) {
    const Bytes good = Build({.width = 2, .height = 2, .pixels = Bytes(16, 0x80)});
    const std::pair<Bytes, const char*> cases[] = {
        {{}, "too short"},
        {Patched(good, 1, 'A', 1), "signature"},
        {Bytes(good.begin(), good.begin() + 30), "ends inside the bitmap header"},
        {Patched(good, 14, 200), "header size 200 "},
        {Patched(good, 18, static_cast<std::uint32_t>(-2)), "width is negative (-2)"},
        {Patched(good, 26, 2, 2), "2 colour planes"},
        {Patched(good, 28, 3, 2), "3 bits per pixel"},
        {Patched(good, 30, 1), "RLE8 compression needs 8 bits per pixel"},
        {Build({.width = 2, .height = 2, .bitsPerPixel = 16, .compression = 3, .masks = {0x7C01, 0x03E0, 0x001C}}),
         "red bit mask 0x7c01 is not one run"},
        {Patched(good, 10, 40), "inside the headers"},
        {Patched(good, 10, static_cast<std::uint32_t>(good.size() + 1)), "past the end of the file"},
        {Bytes(good.begin(), good.end() - 1), "the file ends inside the pixel data"},
        {Build({.width = 2, .height = 2, .bitsPerPixel = 8, .pixels = Bytes(8, 0)}), "no colour palette"},
    };
    ASSERT_TRUE(DecodeChecked(good).loaded);
    for (const auto& [file, reason] : cases) {
        SCOPED_TRACE(reason);
        const Outcome got = DecodeChecked(file);
        EXPECT_FALSE(got.loaded);
        EXPECT_NE(got.error.find(reason), std::string::npos) << got.error;
    }
}

TEST(BmpCodecDecode, PixelLimitIsCheckedBeforeAllocating) {
    int calls = 0;
    auto allocate = [&](int, int) { ++calls; return ops::RowView{}; };
    try {
        codec::DecodeBmp(Build({.width = 100000, .height = 100000}), allocate, kLimit);
        ADD_FAILURE() << "a 100000 x 100000 picture was accepted";
    } catch (const codec::BmpError& e) {
        EXPECT_STREQ(e.what(), "the picture is 100000 x 100000 pixels, more than the limit of 268435456 pixels");
    }
    EXPECT_EQ(calls, 0);

    const Bytes square = Build({.width = 4, .height = 4, .pixels = Bytes(16 * 4, 7)});
    EXPECT_TRUE(DecodeChecked(square, 16).loaded);  // the limit itself is allowed
    EXPECT_EQ(DecodeChecked(square, 15).error, "the picture is 4 x 4 pixels, more than the limit of 15 pixels");
}

TEST(BmpCodecDecode, RowsFromAllocateAreCheckedBeforeWriting) {
    const Bytes file = Build({.width = 2, .height = 2, .pixels = Bytes(16, 1)});
    Bytes memory(64, 0);
    const ops::RowView views[] = {{nullptr, 2, 2, 6}, {memory.data(), 1, 2, 6}, {memory.data(), 2, 1, 6},
                                  {memory.data(), 2, 2, 5}};  // no memory, wrong size, rows overlapping
    for (const ops::RowView& view : views) {
        EXPECT_THROW(codec::DecodeBmp(file, [&](int, int) { return view; }, kLimit), std::logic_error);
        EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](std::uint8_t b) { return b == 0; }));
    }
}

// Encoding.

Bytes Encode(const ops::RowView& rows) {
    Bytes file;
    codec::EncodeBmp24(rows, [&](const std::uint8_t* bytes, std::size_t size) {
        file.insert(file.end(), bytes, bytes + size);
    });
    return file;
}

TEST(BmpCodecEncode, RoundTripsKeepEveryPixelAndPadRowsWithZeros) {
    const std::pair<int, int> sizes[] = {{0, 0}, {1, 1}, {1, 7}, {7, 1}, {4, 2}, {47, 33}, {641, 481}};
    std::mt19937 random(7);
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        const std::ptrdiff_t stride = 3 * width + 5;  // rows handed in padded
        Bytes source(static_cast<std::size_t>(stride * height));
        for (std::uint8_t& b : source) b = static_cast<std::uint8_t>(random());
        const ops::RowView rows{source.empty() ? nullptr : source.data(), width, height, stride};
        const Bytes file = Encode(rows);
        const std::size_t pixelBytes = 3 * static_cast<std::size_t>(width);
        const std::size_t rowSize = (pixelBytes + 3) / 4 * 4;
        EXPECT_EQ(codec::BmpRowSize(width), rowSize);
        ASSERT_EQ(file.size(), 54 + rowSize * static_cast<std::size_t>(height));
        for (int y = 0; y < height; ++y) {
            const auto pad = file.begin() + static_cast<std::ptrdiff_t>(54 + rowSize * y + pixelBytes);
            EXPECT_TRUE(std::all_of(pad, pad + static_cast<std::ptrdiff_t>(rowSize - pixelBytes),
                                    [](std::uint8_t b) { return b == 0; })) << "row padding of stored row " << y;
        }
        const Outcome got = DecodeChecked(file);
        ASSERT_TRUE(got.loaded) << got.error;
        ASSERT_EQ(got.width, width);
        ASSERT_EQ(got.height, height);
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(std::memcmp(rows.row(y), got.pixels.data() + pixelBytes * y, pixelBytes), 0) << "row " << y;
    }
}

TEST(BmpCodecEncode, HeaderFieldsOf47x33) {
    Bytes source(static_cast<std::size_t>((3 * 47 + 1) * 33), 0x5A);
    const Bytes file = Encode({source.data(), 47, 33, 3 * 47 + 1});
    ASSERT_EQ(file.size(), 54u + 144 * 33);  // rows of 47 pixels take 141 bytes, padded to 144
    struct Field { const char* name; std::size_t offset; int bytes; std::uint32_t want; };
    const Field fields[] = {
        {"bfType", 0, 2, 'B' | ('M' << 8)}, {"bfSize", 2, 4, 54 + 144 * 33}, {"bfReserved1", 6, 2, 0},
        {"bfReserved2", 8, 2, 0},           {"bfOffBits", 10, 4, 54},         {"biSize", 14, 4, 40},
        {"biWidth", 18, 4, 47},             {"biHeight", 22, 4, 33},          {"biPlanes", 26, 2, 1},
        {"biBitCount", 28, 2, 24},          {"biCompression", 30, 4, 0},      {"biSizeImage", 34, 4, 144 * 33},
        {"biXPelsPerMeter", 38, 4, 2835},   {"biYPelsPerMeter", 42, 4, 2835}, {"biClrUsed", 46, 4, 0},
        {"biClrImportant", 50, 4, 0},
    };
    for (const Field& f : fields) EXPECT_EQ(Get(file, f.offset, f.bytes), f.want) << f.name;
}

TEST(BmpCodecEncode, PicturesTooLargeForTheFormatAreRefused) {
    std::uint8_t pixel[3] = {1, 2, 3};
    // 4.8 GB of rows; 4 * 1073741811 + 54 = 2^32 + 2 bytes.
    for (const ops::RowView& rows : {ops::RowView{pixel, 40000, 40000, 0}, ops::RowView{pixel, 1, 1073741811, 0}}) {
        int calls = 0;
        EXPECT_THROW(codec::EncodeBmp24(rows, [&](const std::uint8_t*, std::size_t) { ++calls; }), codec::BmpError);
        EXPECT_EQ(calls, 0);
    }
}

// Packed bitmaps (clipboard DIBs): a BMP file without its 14-byte file
// header, told by its bitmap header and sizes, read as the file it was cut
// from.

codec::RandomAccess InMemory(const Bytes& file) {
    return {file.size(), [&file](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                const std::size_t n = offset >= file.size() ? 0 : std::min<std::size_t>(size, file.size() - offset);
                std::memcpy(buffer, file.data() + offset, n);
                return n;
            }};
}

// What codec::OpenPicture reads of a file, whole or row by row.
Outcome Opened(const Bytes& file, codec::Reading reading) {
    Outcome out;
    try {
        codec::OpenOptions options;
        options.reading = reading;
        options.maxPixels = kLimit;
        const std::unique_ptr<codec::Picture> picture = codec::OpenPicture(InMemory(file), 0, options);
        out.width = picture->width();
        out.height = picture->height();
        out.pixels.resize(3 * static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height));
        picture->ReadWhole([&out](int width, int height) {
            return ops::RowView{out.pixels.data(), width, height, 3 * static_cast<std::ptrdiff_t>(width)};
        });
        out.loaded = true;
    } catch (const codec::DecodeError& error) {
        out.error = error.what();
    }
    return out;
}

Bytes WithoutFileHeader(const Bytes& bmp) { return Bytes(bmp.begin() + 14, bmp.end()); }

// Pixels of distinct colours (or indexes), rows padded to whole words.
Bytes Rows(int width, int height, int bytesPerPixel) {
    Bytes pixels;
    for (int y = 0; y < height; ++y) {
        for (int i = 0; i < width * bytesPerPixel; ++i) pixels.push_back(static_cast<std::uint8_t>(17 * y + 5 * i + 1));
        pixels.resize((pixels.size() + 3) / 4 * 4, 0);
    }
    return pixels;
}

struct PackedCase {
    std::string name;
    Recipe bmp;                                   // the BMP file the packed bitmap is cut from
    std::function<void(Bytes& packed)> change;    // then made to the packed bytes, or nullptr
    bool told;                                    // whether it is told from other bytes and read
};

void PrintTo(const PackedCase& c, std::ostream* out) { *out << c.name; }

class BmpPackedBitmap : public ::testing::TestWithParam<PackedCase> {};

// A packed bitmap reads, whole and row by row, as the BMP file it was cut
// from, and declares the same size; bytes that break its rules are no
// picture this program reads.
TEST_P(BmpPackedBitmap, IsReadAsTheFileItWasCutFromOrNotTold) {
    const PackedCase& c = GetParam();
    const Bytes file = Build(c.bmp);
    Bytes packed = WithoutFileHeader(file);
    if (c.change) c.change(packed);
    EXPECT_EQ(codec::SniffFormat(InMemory(packed)), c.told ? codec::Format::kBmp : codec::Format::kUnknown);
    for (const codec::Reading reading : {codec::Reading::kWhole, codec::Reading::kRows}) {
        SCOPED_TRACE(reading == codec::Reading::kWhole ? "whole" : "by rows");
        const Outcome got = Opened(packed, reading);
        if (!c.told) {
            EXPECT_FALSE(got.loaded);
            EXPECT_EQ(got.error, "not a picture format this program reads");
            continue;
        }
        const Outcome want = Opened(file, reading);
        ASSERT_TRUE(want.loaded) << want.error;
        ASSERT_TRUE(got.loaded) << got.error;
        EXPECT_TRUE(got == want);
    }
    const std::optional<codec::DeclaredPixels> declared = codec::DeclaredSizeOf(InMemory(packed), kLimit);
    ASSERT_EQ(declared.has_value(), c.told);
    if (!declared) return;
    const std::optional<codec::DeclaredPixels> fromFile = codec::DeclaredSizeOf(InMemory(file), kLimit);
    ASSERT_TRUE(fromFile.has_value());
    EXPECT_EQ(declared->width, fromFile->width);
    EXPECT_EQ(declared->height, fromFile->height);
}

// Sets a little-endian field of the packed bytes (offsets from the start of
// the bitmap header).
std::function<void(Bytes&)> Field(std::size_t at, std::uint32_t value, int size = 4) {
    return [at, value, size](Bytes& packed) { Put(packed, at, value, size); };
}

const PackedCase kPackedCases[] = {
    {"Info40Rgb24", {.width = 3, .height = 2, .pixels = Rows(3, 2, 3)}, nullptr, true},
    {"Info40Rgb24TopDown", {.width = 3, .height = -2, .pixels = Rows(3, 2, 3)}, nullptr, true},
    {"Info40Rgb24WithBytesAfterThePixels", {.width = 3, .height = 2, .pixels = Rows(3, 2, 3)},
     [](Bytes& packed) { packed.resize(packed.size() + 100, 0x5A); }, true},
    {"Info40Palette8Full", {.width = 5, .height = 2, .bitsPerPixel = 8, .paletteEntries = 256, .pixels = Rows(5, 2, 1)},
     nullptr, true},
    {"Info40Palette4ColoursUsed",
     {.width = 3, .height = 2, .bitsPerPixel = 4, .colorsUsed = 5, .paletteEntries = 5, .pixels = Bytes(8, 0x43)}, nullptr,
     true},
    {"Core12Palette1", {.headerSize = 12, .width = 9, .height = 3, .bitsPerPixel = 1, .paletteEntries = 2, .pixels = Rows(2, 3, 1)},
     nullptr, true},
    {"Info40BitFields16",
     {.width = 2, .height = 2, .bitsPerPixel = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F}, .pixels = Rows(2, 2, 2)},
     nullptr, true},
    {"V5BitFields32InAbgrOrder",
     {.headerSize = 124, .width = 2, .height = 2, .bitsPerPixel = 32, .compression = 3,
      .masks = {0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF}, .pixels = Rows(2, 2, 4)},
     nullptr, true},
    {"V4Rgb24WithAColourTable",
     {.headerSize = 108, .width = 2, .height = 2, .colorsUsed = 3, .paletteEntries = 3, .pixels = Rows(2, 2, 3)}, nullptr, true},
    {"Info40Rle8WithItsSize",
     {.width = 4, .height = 2, .bitsPerPixel = 8, .compression = 1, .paletteEntries = 256, .pixels = {4, 1, 0, 0, 4, 2, 0, 1}},
     nullptr, true},
    {"PixelsCutShort", {.width = 3, .height = 2, .pixels = Rows(3, 2, 3)}, [](Bytes& packed) { packed.pop_back(); }, false},
    {"PaletteMissing", {.width = 5, .height = 2, .bitsPerPixel = 8, .paletteEntries = 16, .pixels = Rows(5, 2, 1)}, nullptr,
     false},
    {"Rle8WithoutItsSize",
     {.width = 4, .height = 2, .bitsPerPixel = 8, .compression = 1, .paletteEntries = 256, .pixels = {4, 1, 0, 0, 4, 2, 0, 1}},
     Field(20, 0), false},
    {"MoreColoursUsedThanIndexes",
     {.width = 8, .height = 1, .bitsPerPixel = 1, .colorsUsed = 3, .paletteEntries = 3, .pixels = Bytes(4, 0xA5)}, nullptr,
     false},
    {"Os2HeaderOf64Bytes", {.headerSize = 64, .width = 3, .height = 2, .pixels = Rows(3, 2, 3)}, nullptr, false},
    {"HeaderSizeOfNoVersion", {.width = 3, .height = 2, .pixels = Rows(3, 2, 3)}, Field(0, 44), false},
    {"TwoPlanes", {.width = 3, .height = 2, .pixels = Rows(3, 2, 3)}, Field(12, 2, 2), false},
    {"NoPixels", {.width = 0, .height = 2}, nullptr, false},
    {"UnknownCompression", {.width = 3, .height = 2, .pixels = Rows(3, 2, 3)}, Field(16, 9), false},
};

INSTANTIATE_TEST_SUITE_P(Bmp, BmpPackedBitmap, ::testing::ValuesIn(kPackedCases),
                         [](const testing::TestParamInfo<PackedCase>& info) { return info.param.name; });

// A stage file must be a BMP file; a packed bitmap is one without its file
// header, and is read where only BMP files are.
TEST(BmpPackedBitmapAsStageFile, IsReadWhereOnlyBmpFilesAre) {
    const Bytes packed = WithoutFileHeader(Build({.width = 3, .height = 2, .pixels = Rows(3, 2, 3)}));
    codec::OpenOptions options;
    options.reading = codec::Reading::kWhole;
    options.maxPixels = kLimit;
    options.only = codec::kStageFileFormat;
    EXPECT_EQ(codec::OpenPicture(InMemory(packed), 0, options)->width(), 3);
}

}  // namespace
