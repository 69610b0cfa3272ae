// Tests of the BMP reader and writer: the BMP Suite corpus, small files built
// here byte by byte for each way of storing pixels, encode/decode round
// trips, and damaged files.
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
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#ifndef WORKBENCH_BMPSUITE_DIR
#error "WORKBENCH_BMPSUITE_DIR must name the BMP Suite corpus directory"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Bgr = std::array<std::uint8_t, 3>;

constexpr std::uint64_t kDefaultLimit = 268435456;  // 2^28 pixels
// Damaged files can claim any size; this keeps what they make us allocate small.
constexpr std::uint64_t kDamagedLimit = 1u << 22;

const fs::path kCorpus = WORKBENCH_BMPSUITE_DIR;

// ---------------------------------------------------------------------------
// Decoding into rows that reveal stray and missing writes.

// Rows handed out by allocate: `padding` spare bytes after each row's
// 3 * width, and every byte preset to `fill`.
class Canvas {
public:
    Canvas(int padding, std::uint8_t fill) : padding_(padding), fill_(fill) {}

    std::function<ops::RowView(int, int)> Allocator() {
        return [this](int width, int height) {
            ++calls_;
            view_.width = width;
            view_.height = height;
            view_.stride = 3 * static_cast<std::ptrdiff_t>(width) + padding_;
            bytes_.assign(static_cast<std::size_t>(view_.stride) * static_cast<std::size_t>(height), fill_);
            view_.data = bytes_.data();
            return view_;
        };
    }

    int calls() const { return calls_; }

    // The pixels packed as width * height * 3 bytes, row 0 first.
    Bytes Pixels() const {
        Bytes out;
        for (int y = 0; y < view_.height; ++y)
            out.insert(out.end(), view_.row(y), view_.row(y) + 3 * static_cast<std::ptrdiff_t>(view_.width));
        return out;
    }

    bool PaddingUntouched() const {
        for (int y = 0; y < view_.height; ++y) {
            const std::uint8_t* pad = view_.row(y) + 3 * static_cast<std::ptrdiff_t>(view_.width);
            if (std::any_of(pad, pad + padding_, [&](std::uint8_t b) { return b != fill_; })) return false;
        }
        return true;
    }

private:
    int padding_;
    std::uint8_t fill_;
    int calls_ = 0;
    Bytes bytes_;
    ops::RowView view_;
};

struct Outcome {
    bool loaded = false;
    std::string error;  // the reason, when refused
    int width = 0;
    int height = 0;
    Bytes pixels;  // width * height * 3 bytes (blue, green, red), row 0 at the top

    Bgr Pixel(int x, int y) const {
        const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 3;
        return {pixels[at], pixels[at + 1], pixels[at + 2]};
    }
};

// Decodes the file twice, into rows preset to 0x00 and to 0xFF and padded
// differently. The two runs must agree (so every pixel was written), leave
// the padding alone, call allocate once with the size they return, and never
// call it for a refused file. Exceptions other than BmpError pass through.
Outcome DecodeChecked(const Bytes& file, std::uint64_t maxPixels = kDefaultLimit) {
    Outcome result;
    Canvas zeros(5, 0x00);
    Canvas ones(3, 0xFF);
    std::optional<codec::BmpSize> first;
    std::optional<codec::BmpSize> second;
    std::string firstError;
    std::string secondError;
    try {
        first = codec::DecodeBmp(file, zeros.Allocator(), maxPixels);
    } catch (const codec::BmpError& e) {
        firstError = e.what();
    }
    try {
        second = codec::DecodeBmp(file, ones.Allocator(), maxPixels);
    } catch (const codec::BmpError& e) {
        secondError = e.what();
    }
    EXPECT_EQ(first.has_value(), second.has_value());
    EXPECT_EQ(firstError, secondError);
    if (!first || !second) {
        result.error = firstError.empty() ? secondError : firstError;
        EXPECT_FALSE(result.error.empty()) << "a refusal must give a reason";
        EXPECT_EQ(zeros.calls(), 0) << "allocate was called for a refused file";
        return result;
    }
    result.loaded = true;
    result.width = first->width;
    result.height = first->height;
    EXPECT_EQ(second->width, first->width);
    EXPECT_EQ(second->height, first->height);
    const bool empty = first->width == 0 || first->height == 0;
    EXPECT_EQ(zeros.calls(), empty ? 0 : 1);
    if (empty) return result;
    EXPECT_GT(first->width, 0);
    EXPECT_GT(first->height, 0);
    EXPECT_TRUE(zeros.PaddingUntouched()) << "bytes past 3 * width were written";
    EXPECT_TRUE(ones.PaddingUntouched()) << "bytes past 3 * width were written";
    result.pixels = zeros.Pixels();
    EXPECT_TRUE(result.pixels == ones.Pixels()) << "some pixels were never written";
    return result;
}

// ---------------------------------------------------------------------------
// Files.

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

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint16_t Get16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

void Set16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Set32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Compares a decoded picture with a reference PNG in red, green and blue.
::testing::AssertionResult MatchesReference(const Outcome& got, const fs::path& png) {
    QImage image(QString::fromStdString(png.string()));
    if (image.isNull()) return ::testing::AssertionFailure() << "cannot read " << png;
    image = image.convertToFormat(QImage::Format_ARGB32);
    if (image.width() != got.width || image.height() != got.height)
        return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height << ", reference "
                                             << image.width() << "x" << image.height();
    static const char* const kNames[] = {"red", "green", "blue"};
    for (int y = 0; y < got.height; ++y) {
        for (int x = 0; x < got.width; ++x) {
            const QRgb want = image.pixel(x, y);
            const Bgr have = got.Pixel(x, y);
            const int wanted[3] = {qRed(want), qGreen(want), qBlue(want)};
            const int decoded[3] = {have[2], have[1], have[0]};
            for (int c = 0; c < 3; ++c) {
                const bool same = decoded[c] == wanted[c];
                if (!same)
                    return ::testing::AssertionFailure()
                           << kNames[c] << " at (" << x << ", " << y << ") is " << decoded[c]
                           << ", reference " << wanted[c];
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Files built here.

// A colour for palette index i that is never black, so pixels left black
// stand out from pixels set from the palette.
Bgr Colour(int i) {
    return {static_cast<std::uint8_t>(i + 1), static_cast<std::uint8_t>(100 + i), static_cast<std::uint8_t>(200 + i)};
}

Bytes ColourBytes(int i) {
    const Bgr c = Colour(i);
    return {c[0], c[1], c[2]};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The fields of a BMP file to put together.
struct Recipe {
    std::uint32_t headerSize = 40;
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::uint16_t planes = 1;
    std::uint16_t bitsPerPixel = 24;
    std::uint32_t compression = 0;
    std::uint32_t colorsUsed = 0;
    std::vector<std::uint32_t> headerMasks;    // from offset 40 of a header of 52 bytes or more
    std::vector<std::uint32_t> trailingMasks;  // right after the header
    int paletteEntries = 0;                    // Colour(0), Colour(1), ...; 3 bytes each after a 12-byte header
    Bytes pixels;
    std::optional<std::uint32_t> pixelOffset;  // default: right after the palette
};

Bytes Build(const Recipe& r) {
    Bytes file(14, 0);
    file[0] = 'B';
    file[1] = 'M';
    Bytes header(r.headerSize, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        if (at + 4 <= header.size()) Set32(header, at, v);
    };
    put32(0, r.headerSize);
    if (r.headerSize == 12) {
        Set16(header, 4, static_cast<std::uint32_t>(r.width));
        Set16(header, 6, static_cast<std::uint32_t>(r.height));
        Set16(header, 8, r.planes);
        Set16(header, 10, r.bitsPerPixel);
    } else if (r.headerSize >= 16) {
        Set32(header, 4, static_cast<std::uint32_t>(r.width));
        Set32(header, 8, static_cast<std::uint32_t>(r.height));
        Set16(header, 12, r.planes);
        Set16(header, 14, r.bitsPerPixel);
        put32(16, r.compression);
        put32(20, static_cast<std::uint32_t>(r.pixels.size()));
        put32(24, 2835);
        put32(28, 2835);
        put32(32, r.colorsUsed);
        for (std::size_t i = 0; i < r.headerMasks.size(); ++i) put32(40 + 4 * i, r.headerMasks[i]);
    }
    file.insert(file.end(), header.begin(), header.end());
    for (std::uint32_t mask : r.trailingMasks) {
        file.resize(file.size() + 4);
        Set32(file, file.size() - 4, mask);
    }
    for (int i = 0; i < r.paletteEntries; ++i) {
        const Bgr c = Colour(i);
        file.insert(file.end(), c.begin(), c.end());
        if (r.headerSize != 12) file.push_back(0);
    }
    const std::uint32_t offset = r.pixelOffset.value_or(static_cast<std::uint32_t>(file.size()));
    if (offset > file.size()) file.resize(offset, 0);
    file.insert(file.end(), r.pixels.begin(), r.pixels.end());
    Set32(file, 2, static_cast<std::uint32_t>(file.size()));
    Set32(file, 10, offset);
    return file;
}

// Pads one stored row to a whole number of 32-bit words.
Bytes Padded(Bytes row) {
    row.resize((row.size() + 3) / 4 * 4, 0);
    return row;
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
            const Bgr want = index < 0 ? Bgr{0, 0, 0} : Colour(index);
            if (got.Pixel(x, y) != want)
                return ::testing::AssertionFailure()
                       << "pixel (" << x << ", " << y << ") is not " << (index < 0 ? "black" : "colour ")
                       << (index < 0 ? "" : std::to_string(index));
        }
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// The corpus.

TEST(BmpCodecCorpus, GoodFilesLoadAndMatchTheirReferences) {
    const std::vector<fs::path> files = CorpusFiles("good");
    ASSERT_FALSE(files.empty()) << "no corpus at " << kCorpus;
    int compared = 0;
    for (const fs::path& path : files) {
        SCOPED_TRACE(path.filename().string());
        const Outcome got = DecodeChecked(ReadFile(path));
        ASSERT_TRUE(got.loaded) << got.error;
        EXPECT_GT(got.width, 0);
        const fs::path png = kCorpus / "reference" / (path.stem().string() + ".png");
        if (!fs::exists(png)) continue;
        EXPECT_TRUE(MatchesReference(got, png));
        ++compared;
    }
    EXPECT_GT(compared, 0) << "no reference pictures found";
}

// Files of the corpus that store the same picture in different ways.
TEST(BmpCodecCorpus, VariantsOfOnePictureLoadAlike) {
    struct Case {
        const char* file;
        const char* sameAs;
    };
    const Case cases[] = {
        {"good/pal1wb.bmp", "good/pal1.bmp"},                     // inverted palette and indexes
        {"good/pal4rle.bmp", "good/pal4.bmp"},                    // RLE4
        {"good/pal8-0.bmp", "good/pal8.bmp"},                     // colours used 0: full palette
        {"good/pal8rle.bmp", "good/pal8.bmp"},                    // RLE8
        {"good/pal8topdown.bmp", "good/pal8.bmp"},                // rows top-down
        {"good/pal8os2.bmp", "good/pal8.bmp"},                    // 12-byte header, 3-byte palette
        {"good/pal8v4.bmp", "good/pal8.bmp"},                     // 108-byte header
        {"good/pal8v5.bmp", "good/pal8.bmp"},                     // 124-byte header
        {"questionable/pal8os2v2.bmp", "good/pal8.bmp"},          // OS/2 2.x 64-byte header
        {"questionable/pal8os2v2-16.bmp", "good/pal8.bmp"},       // OS/2 2.x 16-byte header
        {"questionable/pal8os2sp.bmp", "good/pal8.bmp"},          // palette cut short by the offset
        {"questionable/pal8offs.bmp", "good/pal8.bmp"},           // gap before the pixels
        {"questionable/pal8oversizepal.bmp", "good/pal8.bmp"},    // 300 colours claimed
        {"questionable/rgb24rle24.bmp", "good/pal8.bmp"},         // OS/2 RLE24
        {"bad/badpalettesize.bmp", "good/pal8.bmp"},              // absurd colours used
        {"good/rgb16bfdef.bmp", "good/rgb16.bmp"},                // explicit 5-5-5 masks
        {"good/rgb16-565pal.bmp", "good/rgb16-565.bmp"},          // unused palette
        {"good/rgb24pal.bmp", "good/rgb24.bmp"},                  // unused palette
        {"good/rgb32.bmp", "good/rgb24.bmp"},                     // default 8-8-8
        {"good/rgb32bf.bmp", "good/rgb24.bmp"},                   // unusual 8-bit masks
        {"good/rgb32bfdef.bmp", "good/rgb24.bmp"},                // explicit 8-8-8 masks
        {"questionable/rgb32h52.bmp", "good/rgb24.bmp"},          // masks in a 52-byte header
        {"questionable/rgb32-xbgr.bmp", "good/rgb24.bmp"},        // masks in a 124-byte header
        {"questionable/rgba32abf.bmp", "questionable/rgba32-1.bmp"},  // alpha bit fields after 40 bytes
        {"questionable/rgba32h56.bmp", "questionable/rgba32-1.bmp"},  // masks in a 56-byte header
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Outcome got = DecodeChecked(ReadFile(kCorpus / c.file));
        const Outcome want = DecodeChecked(ReadFile(kCorpus / c.sameAs));
        ASSERT_TRUE(got.loaded) << got.error;
        ASSERT_TRUE(want.loaded) << want.error;
        EXPECT_EQ(got.width, want.width);
        EXPECT_EQ(got.height, want.height);
        EXPECT_TRUE(got.pixels == want.pixels) << "differs from " << c.sameAs;
    }
}

TEST(BmpCodecCorpus, QuestionableAndBadFilesLoadOrAreRefusedCleanly) {
    // What this decoder does with particular files: refuse them (the reason
    // must contain `refusal`) or load them; `reference` names a picture the
    // result must match. Files not listed must only load or be refused.
    struct Case {
        const char* refusal;    // nullptr: must load
        const char* reference;  // nullptr: none
    };
    const std::map<std::string, Case> known = {
        {"questionable/pal1huffmsb.bmp", {"Huffman", nullptr}},
        {"questionable/rgb24jpeg.bmp", {"JPEG", nullptr}},
        {"questionable/rgb24png.bmp", {"PNG", nullptr}},
        {"questionable/rgba64.bmp", {"64-bit", nullptr}},
        {"questionable/pal1p1.bmp", {nullptr, "pal1p1"}},  // index 1 past a 1-colour palette
        {"questionable/pal2.bmp", {nullptr, "pal2"}},
        {"questionable/pal2color.bmp", {nullptr, "pal2color"}},
        // Pixels an RLE stream skips are black: the "-b" renderings.
        {"questionable/pal4rlecut.bmp", {nullptr, "pal4rlecut-b"}},
        {"questionable/pal8rlecut.bmp", {nullptr, "pal8rlecut-b"}},
        {"questionable/pal4rletrns.bmp", {nullptr, "pal4rletrns"}},
        {"questionable/pal8rletrns.bmp", {nullptr, "pal8rletrns"}},
        {"questionable/rgb16-231.bmp", {nullptr, "rgb16-231"}},
        {"bad/rgb16-880.bmp", {nullptr, "rgb16-880"}},
        {"bad/badbitcount.bmp", {"bits per pixel", nullptr}},
        {"bad/badheadersize.bmp", {"header size", nullptr}},
        {"bad/badplanes.bmp", {"planes", nullptr}},
        {"bad/badwidth.bmp", {"negative", nullptr}},
        {"bad/reallybig.bmp", {"3000000 x 2000000 pixels, more than the limit", nullptr}},
        {"bad/rletopdown.bmp", {"top-down", nullptr}},
        {"bad/shortfile.bmp", {"the file ends inside the pixel data", nullptr}},
        {"bad/pal8badindex.bmp", {nullptr, nullptr}},
        {"bad/badrle.bmp", {nullptr, nullptr}},
        {"bad/badrle4.bmp", {nullptr, nullptr}},
    };
    std::set<std::string> seen;
    for (const char* folder : {"questionable", "bad"}) {
        const std::vector<fs::path> files = CorpusFiles(folder);
        ASSERT_FALSE(files.empty()) << "no files in " << folder;
        for (const fs::path& path : files) {
            const std::string name = std::string(folder) + "/" + path.filename().string();
            SCOPED_TRACE(name);
            seen.insert(name);
            Outcome got;
            try {
                got = DecodeChecked(ReadFile(path));
            } catch (const std::exception& e) {
                ADD_FAILURE() << "threw something other than BmpError: " << e.what();
                continue;
            }
            const auto it = known.find(name);
            if (it == known.end()) continue;
            const Case& c = it->second;
            if (c.refusal != nullptr) {
                EXPECT_FALSE(got.loaded);
                EXPECT_NE(got.error.find(c.refusal), std::string::npos) << got.error;
                continue;
            }
            ASSERT_TRUE(got.loaded) << got.error;
            if (c.reference != nullptr) {
                EXPECT_TRUE(MatchesReference(got, kCorpus / "reference" / (std::string(c.reference) + ".png")));
            }
        }
    }
    for (const auto& [name, c] : known) EXPECT_TRUE(seen.count(name)) << name << " is missing from the corpus";
}

// Truncated copies of every good file: refused or loaded, nothing else. A
// cut inside an uncompressed pixel array is refused; an RLE stream cut
// short keeps what it decoded.
TEST(BmpCodecCorpus, TruncatedGoodFilesAreRefusedOrLoad) {
    const std::vector<fs::path> files = CorpusFiles("good");
    ASSERT_FALSE(files.empty());
    for (const fs::path& path : files) {
        const Bytes file = ReadFile(path);
        ASSERT_GE(file.size(), 54u);
        const std::size_t offset = Get32(file, 10);
        const std::uint32_t headerSize = Get32(file, 14);
        const bool rle = headerSize >= 40 && (Get32(file, 30) == 1 || Get32(file, 30) == 2);
        const std::set<std::size_t> cuts = {0,      1,          2,          13,         14,
                                            17,     18,         26,         30,         53,
                                            54,     offset - 1, offset,     offset + 1, (offset + file.size()) / 2,
                                            file.size() - 1};
        for (const std::size_t cut : cuts) {
            if (cut >= file.size()) continue;
            SCOPED_TRACE(path.filename().string() + " cut at " + std::to_string(cut));
            const Bytes shorter(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
            Outcome got;
            try {
                got = DecodeChecked(shorter, kDamagedLimit);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "threw something other than BmpError: " << e.what();
                continue;
            }
            if (cut <= offset) continue;
            if (rle) {
                EXPECT_TRUE(got.loaded) << got.error;
            } else {
                EXPECT_FALSE(got.loaded);
                EXPECT_EQ(got.error, "the file ends inside the pixel data");
            }
        }
    }
}

// Seeded random single-byte changes to the headers, palettes and pixels of
// every good file: refused or loaded, nothing else.
TEST(BmpCodecCorpus, MutatedGoodFilesAreRefusedOrLoad) {
    const std::vector<fs::path> files = CorpusFiles("good");
    ASSERT_FALSE(files.empty());
    std::mt19937 random(20240611);
    int tried = 0;
    for (const fs::path& path : files) {
        const Bytes file = ReadFile(path);
        const std::size_t offset = std::min<std::size_t>(Get32(file, 10), file.size());
        const std::size_t headersEnd = std::min<std::size_t>(14 + Get32(file, 14), offset);
        for (int i = 0; i < 18; ++i) {
            // A third each in the headers, between headers and pixels, and in the pixels.
            std::size_t lo = 0;
            std::size_t hi = headersEnd;
            if (i % 3 == 1 && offset > headersEnd) {
                lo = headersEnd;
                hi = offset;
            } else if (i % 3 == 2) {
                lo = offset;
                hi = file.size();
            }
            const std::size_t at = lo + random() % (hi - lo);
            Bytes changed = file;
            changed[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
            SCOPED_TRACE(path.filename().string() + " byte " + std::to_string(at) + " set to " +
                         std::to_string(changed[at]));
            ++tried;
            try {
                DecodeChecked(changed, kDamagedLimit);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "threw something other than BmpError: " << e.what();
            }
        }
    }
    EXPECT_GE(tried, 300);
}

// ---------------------------------------------------------------------------
// Decoding files built here.

TEST(BmpCodecDecode, PaletteIndexes) {
    struct Case {
        const char* name;
        std::uint32_t headerSize;
        std::uint16_t bitsPerPixel;
        std::uint32_t colorsUsed;
        int paletteEntries;
        Bytes row;
        std::vector<int> want;  // -1: black
    };
    const Case cases[] = {
        {"1-bit, high bit first", 40, 1, 2, 2, {0b10110000, 0b01000000}, {1, 0, 1, 1, 0, 0, 0, 0, 0, 1}},
        {"2-bit", 40, 2, 4, 4, {0b00011011, 0b11000000}, {0, 1, 2, 3, 3}},
        {"4-bit", 40, 4, 16, 16, {0x1F, 0x30}, {1, 15, 3}},
        {"8-bit", 40, 8, 256, 256, {0, 128, 255}, {0, 128, 255}},
        {"colours used 0 means a full palette", 40, 4, 0, 16, {0xEF}, {14, 15}},
        {"8-bit index past the palette is black", 40, 8, 2, 2, {0, 1, 2, 255}, {0, 1, -1, -1}},
        {"4-bit index past the palette is black", 40, 4, 3, 3, {0x2F}, {2, -1}},
        {"1-bit index past a 1-colour palette is black", 40, 1, 1, 1, {0b01000000}, {0, -1}},
        // Colours used says 4 but the pixels start after 2 entries.
        {"palette stops at the pixel data", 40, 8, 4, 2, {0, 1, 3}, {0, 1, -1}},
        {"core header, 3-byte entries", 12, 8, 0, 256, {5, 6, 255}, {5, 6, 255}},
        {"core header, palette stops at the pixel data", 12, 4, 0, 5, {0x45}, {4, -1}},
        {"OS/2 2.x 16-byte header, 4-byte entries", 16, 8, 0, 256, {7, 200}, {7, 200}},
        {"OS/2 2.x 64-byte header", 64, 1, 2, 2, {0b01000000}, {0, 1}},
        {"V5 header", 124, 4, 16, 16, {0x9A}, {9, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recipe r;
        r.headerSize = c.headerSize;
        r.width = static_cast<std::int32_t>(c.want.size());
        r.bitsPerPixel = c.bitsPerPixel;
        r.colorsUsed = c.colorsUsed;
        r.paletteEntries = c.paletteEntries;
        r.pixels = Padded(c.row);
        EXPECT_TRUE(HasIndexes(DecodeChecked(Build(r)), r.width, c.want));
    }
}

// One channel's mask and a pixel value, and what that channel must read as.
// The mask goes in each of the red, green and blue places in turn, with the
// other two masks 0, which must read as 0.
TEST(BmpCodecDecode, BitFieldChannelsAreScaledToEightBits) {
    struct Case {
        const char* name;
        std::uint16_t bitsPerPixel;
        std::uint32_t mask;
        std::uint32_t pixel;
        std::uint8_t want;
    };
    const Case cases[] = {
        {"1 bit set", 16, 0x8000, 0x8000, 255},
        {"1 bit clear", 16, 0x8000, 0x7FFF, 0},
        {"2 bits, 01", 32, 0xC0000000, 0x40000000, 0x55},
        {"3 bits, 101", 16, 0x0007, 0x0005, 0xB6},
        {"4 bits, 1001", 16, 0xF000, 0x9000, 0x99},
        {"5 bits, 31", 16, 0x7C00, 0x7C00, 255},
        {"5 bits, 1", 16, 0x7C00, 0x0400, 8},
        {"5 bits, 16", 16, 0x7C00, 0x4000, 132},
        {"6 bits, 33", 16, 0x07E0, 0x0420, 134},
        {"7 bits, 64", 32, 0xFE000000, 0x80000000, 129},
        {"8 bits", 32, 0x00FF0000, 0x00AB0000, 0xAB},
        {"10 bits scale down", 32, 0x3FF00000, 0x2AB00000, 0xAA},
        {"16 bits scale down", 16, 0xFFFF, 0x1234, 0x12},
        {"32 bits scale down", 32, 0xFFFFFFFF, 0x89ABCDEF, 0x89},
        {"bits outside the mask are ignored", 16, 0x03E0, 0xFC1F, 0},
    };
    static const char* const kPlaces[] = {"red", "green", "blue"};
    for (const Case& c : cases) {
        for (int place = 0; place < 3; ++place) {
            SCOPED_TRACE(std::string(c.name) + " as " + kPlaces[place]);
            Recipe r;
            r.bitsPerPixel = c.bitsPerPixel;
            r.compression = 3;
            r.trailingMasks = {0, 0, 0};
            r.trailingMasks[static_cast<std::size_t>(place)] = c.mask;
            Bytes pixel(4, 0);
            Set32(pixel, 0, c.pixel);
            r.pixels = pixel;
            const Outcome got = DecodeChecked(Build(r));
            ASSERT_TRUE(got.loaded) << got.error;
            Bgr want = {0, 0, 0};
            want[static_cast<std::size_t>(2 - place)] = c.want;
            EXPECT_EQ(got.Pixel(0, 0), want);
        }
    }
}

TEST(BmpCodecDecode, DefaultChannelLayouts) {
    struct Case {
        const char* name;
        std::uint16_t bitsPerPixel;
        std::uint32_t pixel;
        Bgr want;
    };
    const Case cases[] = {
        {"16-bit white", 16, 0x7FFF, {255, 255, 255}},
        {"16-bit 5-5-5 order", 16, (1u << 10) | (2u << 5) | 3u, {25, 16, 8}},
        {"16-bit top bit unused", 16, 0x8000, {0, 0, 0}},
        {"32-bit top byte unused", 32, 0x44332211, {0x11, 0x22, 0x33}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recipe r;
        r.bitsPerPixel = c.bitsPerPixel;
        Bytes pixel(4, 0);
        Set32(pixel, 0, c.pixel);
        r.pixels = pixel;
        const Outcome got = DecodeChecked(Build(r));
        ASSERT_TRUE(got.loaded) << got.error;
        EXPECT_EQ(got.Pixel(0, 0), c.want);
    }
}

// The same unusual masks stored wherever each header keeps them.
TEST(BmpCodecDecode, BitMasksAreReadFromTheirPlace) {
    const std::vector<std::uint32_t> masks = {0x0000FF00, 0xFF000000, 0x000000FF};  // red, green, blue
    struct Case {
        const char* name;
        std::uint32_t headerSize;
        std::uint32_t compression;
        bool inHeader;
        Bgr want;
    };
    const Bgr unusual = {0x44, 0x11, 0x33};
    const Case cases[] = {
        {"40 bytes, masks after the header", 40, 3, false, unusual},
        {"40 bytes, alpha masks after the header", 40, 6, false, unusual},
        {"52 bytes", 52, 3, true, unusual},
        {"56 bytes", 56, 3, true, unusual},
        {"108 bytes", 108, 3, true, unusual},
        {"124 bytes", 124, 3, true, unusual},
        {"124 bytes without bit fields: masks ignored", 124, 0, true, {0x44, 0x33, 0x22}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recipe r;
        r.headerSize = c.headerSize;
        r.bitsPerPixel = 32;
        r.compression = c.compression;
        (c.inHeader ? r.headerMasks : r.trailingMasks) = masks;
        if (c.compression == 6 && !c.inHeader) r.trailingMasks.push_back(0x00FF0000);  // alpha
        r.pixels = {0x44, 0x33, 0x22, 0x11};
        const Outcome got = DecodeChecked(Build(r));
        ASSERT_TRUE(got.loaded) << got.error;
        EXPECT_EQ(got.Pixel(0, 0), c.want);
    }
}

TEST(BmpCodecDecode, RowOrder) {
    // Two rows as stored: first A B, then C D.
    const Bytes a = ColourBytes(1), b = ColourBytes(2), c = ColourBytes(3), d = ColourBytes(4);
    struct Case {
        const char* name;
        std::uint32_t headerSize;
        std::uint16_t bitsPerPixel;
        bool topDown;
    };
    const Case cases[] = {
        {"bottom-up", 40, 24, false},
        {"top-down", 40, 24, true},
        {"core header", 12, 24, false},
        {"top-down, 32-bit", 40, 32, true},
        {"top-down, 8-bit palette", 40, 8, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Recipe r;
        r.headerSize = k.headerSize;
        r.width = 2;
        r.height = k.topDown ? -2 : 2;
        r.bitsPerPixel = k.bitsPerPixel;
        if (k.bitsPerPixel == 8) {
            r.paletteEntries = 8;
            r.pixels = Cat({Padded({1, 2}), Padded({3, 4})});
        } else if (k.bitsPerPixel == 32) {
            r.pixels = Cat({a, {0}, b, {0}, c, {0}, d, {0}});
        } else {
            r.pixels = Cat({Padded(Cat({a, b})), Padded(Cat({c, d}))});
        }
        const std::vector<int> want = k.topDown ? std::vector<int>{1, 2, 3, 4} : std::vector<int>{3, 4, 1, 2};
        EXPECT_TRUE(HasIndexes(DecodeChecked(Build(r)), 2, want));
    }
}

TEST(BmpCodecDecode, RunLengthStreams) {
    enum Kind { kRle8, kRle4, kRle24 };
    struct Case {
        const char* name;
        Kind kind;
        int width;
        Bytes stream;
        std::vector<int> want;  // row 0 (the last stored row) first; -1: black
    };
    const Bytes c1 = ColourBytes(1), c2 = ColourBytes(2), c3 = ColourBytes(3), c4 = ColourBytes(4),
                c5 = ColourBytes(5);
    const Case cases[] = {
        {"runs and end of line", kRle8, 4, {3, 1, 0, 0, 2, 2, 0, 1}, {2, 2, -1, -1, 1, 1, 1, -1}},
        {"odd absolute run is padded", kRle8, 4, {0, 3, 5, 6, 7, 0, 1, 8, 0, 1}, {5, 6, 7, 8}},
        {"even absolute run is not padded", kRle8, 5, {0, 4, 1, 2, 3, 4, 1, 9, 0, 1}, {1, 2, 3, 4, 9}},
        {"delta moves right and up", kRle8, 4, {0, 2, 2, 1, 1, 9, 0, 1}, {-1, -1, 9, -1, -1, -1, -1, -1}},
        {"run past the row end is cut, not wrapped", kRle8, 2, {5, 3, 0, 0, 1, 4, 0, 1}, {4, -1, 3, 3}},
        {"absolute run past the row end is cut", kRle8, 2, {0, 3, 1, 2, 3, 0, 0, 1}, {1, 2}},
        {"index past the palette is black", kRle8, 2, {1, 15, 1, 200, 0, 1}, {15, -1}},
        {"no end of bitmap: decoded part kept", kRle8, 4, {2, 1}, {1, 1, -1, -1}},
        {"absolute run cut by the end of the file", kRle8, 4, {0, 4, 1, 2}, {1, 2, -1, -1}},
        {"delta cut by the end of the file", kRle8, 2, {1, 1, 0, 2, 1}, {1, -1}},
        {"stream past the last row stops", kRle8, 1, {1, 1, 0, 0, 1, 2, 0, 0, 1, 3}, {1}},
        {"delta past the picture", kRle8, 2, {0, 2, 255, 255, 1, 1}, {-1, -1}},
        {"empty stream", kRle8, 2, {}, {-1, -1}},
        {"runs alternate nibbles", kRle4, 5, {5, 0x12, 0, 1}, {1, 2, 1, 2, 1}},
        {"run past the row end is cut", kRle4, 3, {5, 0x12, 0, 0, 1, 0x30, 0, 1}, {3, -1, -1, 1, 2, 1}},
        {"3 nibbles take 2 bytes", kRle4, 4, {0, 3, 0x12, 0x30, 1, 0x44, 0, 1}, {1, 2, 3, 4}},
        {"5 nibbles take 3 bytes and a pad", kRle4, 6, {0, 5, 0x12, 0x34, 0x50, 0, 1, 0x66, 0, 1},
         {1, 2, 3, 4, 5, 6}},
        {"end of line and delta", kRle4, 3, {2, 0x77, 0, 0, 0, 2, 1, 1, 1, 0x88, 0, 1},
         {-1, 8, -1, -1, -1, -1, 7, 7, -1}},
        {"absolute run cut by the end of the file", kRle4, 4, {0, 4, 0x12}, {1, 2, -1, -1}},
        {"24-bit run", kRle24, 3, Cat({{3}, c2, {0, 1}}), {2, 2, 2}},
        {"24-bit odd absolute run is padded", kRle24, 3, Cat({{0, 3}, c1, c2, c3, {0}, {0, 0, 1}, c4, {0, 1}}),
         {4, -1, -1, 1, 2, 3}},
        {"24-bit even absolute run is not padded", kRle24, 5, Cat({{0, 4}, c1, c2, c3, c4, {1}, c5, {0, 1}}),
         {1, 2, 3, 4, 5}},
        {"24-bit run cut by the end of the file", kRle24, 2, Cat({{1}, c1, {2, 1}}), {1, -1}},
    };
    for (const Case& c : cases) {
        for (std::uint32_t headerSize : {40u, 64u}) {  // Windows and OS/2 2.x
            SCOPED_TRACE(std::string(c.name) + ", header of " + std::to_string(headerSize) + " bytes");
            Recipe r;
            r.headerSize = headerSize;
            r.width = c.width;
            r.height = static_cast<std::int32_t>(c.want.size()) / c.width;
            r.bitsPerPixel = c.kind == kRle8 ? 8 : c.kind == kRle4 ? 4 : 24;
            r.compression = c.kind == kRle8 ? 1 : c.kind == kRle4 ? 2 : 4;
            r.paletteEntries = c.kind == kRle24 ? 0 : 16;
            r.colorsUsed = static_cast<std::uint32_t>(r.paletteEntries);
            r.pixels = c.stream;
            EXPECT_TRUE(HasIndexes(DecodeChecked(Build(r)), c.width, c.want));
        }
    }
}

TEST(BmpCodecDecode, EmptyPicturesDoNotAllocate) {
    struct Case {
        std::int32_t width;
        std::int32_t height;
        std::uint16_t bitsPerPixel;
        std::uint32_t compression;
    };
    const Case cases[] = {{0, 0, 24, 0}, {5, 0, 24, 0}, {0, 5, 24, 0}, {0, -5, 24, 0},
                          {0, 3, 8, 1},  {3, 0, 4, 2},  {0, 0, 32, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + ", " +
                     std::to_string(c.bitsPerPixel) + " bits");
        Recipe r;
        r.width = c.width;
        r.height = c.height;
        r.bitsPerPixel = c.bitsPerPixel;
        r.compression = c.compression;
        if (c.bitsPerPixel <= 8) r.paletteEntries = 2;
        if (c.compression == 3) r.trailingMasks = {0xFF0000, 0xFF00, 0xFF};
        Canvas canvas(0, 0);
        const codec::BmpSize size = codec::DecodeBmp(Build(r), canvas.Allocator(), kDefaultLimit);
        EXPECT_EQ(size.width, 0);
        EXPECT_EQ(size.height, 0);
        EXPECT_EQ(canvas.calls(), 0);
    }
}

TEST(BmpCodecDecode, MalformedFilesAreRefusedWithAReason) {
    auto base = [] {
        Recipe r;
        r.width = 2;
        r.height = 2;
        r.pixels = Bytes(16, 0x80);
        return r;
    };
    auto with = [&](const std::function<void(Recipe&)>& change) {
        Recipe r = base();
        change(r);
        return Build(r);
    };
    struct Case {
        const char* name;
        Bytes file;
        const char* reason;
    };
    const Bytes good = Build(base());
    Bytes noSignature = good;
    noSignature[1] = 'A';
    Bytes smallOffset = good;
    Set32(smallOffset, 10, 40);
    Bytes bigOffset = good;
    Set32(bigOffset, 10, static_cast<std::uint32_t>(good.size() + 1));
    Bytes masksCut = with([](Recipe& r) {
        r.bitsPerPixel = 16;
        r.compression = 3;
        r.trailingMasks = {0x7C00, 0x3E0, 0x1F};
    });
    masksCut.resize(54 + 8);
    const Case cases[] = {
        {"empty file", {}, "too short"},
        {"no signature", noSignature, "signature"},
        {"header cut short", Bytes(good.begin(), good.begin() + 30), "ends inside the bitmap header"},
        {"header size 8", with([](Recipe& r) { r.headerSize = 8; }), "header size 8 "},
        {"header size 200", with([](Recipe& r) { r.headerSize = 200; }), "header size 200 "},
        {"negative width", with([](Recipe& r) { r.width = -2; }), "negative"},
        {"smallest height", with([](Recipe& r) { r.height = std::numeric_limits<std::int32_t>::min(); }),
         "height"},
        {"two planes", with([](Recipe& r) { r.planes = 2; }), "planes"},
        {"3 bits per pixel", with([](Recipe& r) { r.bitsPerPixel = 3; }), "3 bits per pixel"},
        {"64 bits per pixel", with([](Recipe& r) { r.bitsPerPixel = 64; }), "64-bit"},
        {"embedded JPEG", with([](Recipe& r) { r.bitsPerPixel = 0, r.compression = 4; }), "JPEG"},
        {"embedded PNG", with([](Recipe& r) { r.bitsPerPixel = 0, r.compression = 5; }), "PNG"},
        {"unknown compression", with([](Recipe& r) { r.compression = 9; }), "compression method 9 "},
        {"RLE8 with 4-bit pixels",
         with([](Recipe& r) { r.bitsPerPixel = 4, r.compression = 1, r.paletteEntries = 16; }), "RLE8"},
        {"RLE4 with 8-bit pixels",
         with([](Recipe& r) { r.bitsPerPixel = 8, r.compression = 2, r.paletteEntries = 16; }), "RLE4"},
        {"bit fields with 24-bit pixels",
         with([](Recipe& r) { r.compression = 3, r.trailingMasks = {0xFF0000, 0xFF00, 0xFF}; }), "bit field"},
        {"OS/2 Huffman 1D",
         with([](Recipe& r) { r.headerSize = 64, r.bitsPerPixel = 1, r.compression = 3, r.paletteEntries = 2; }),
         "Huffman"},
        {"RLE stored top-down",
         with([](Recipe& r) { r.height = -2, r.bitsPerPixel = 8, r.compression = 1, r.paletteEntries = 2; }),
         "top-down"},
        {"mask with a gap",
         with([](Recipe& r) {
             r.bitsPerPixel = 16, r.compression = 3, r.trailingMasks = {0x7C01, 0x3E0, 0x1C};
         }),
         "red bit mask 0x7c01 is not one run"},
        {"mask wider than the pixel",
         with([](Recipe& r) {
             r.bitsPerPixel = 16, r.compression = 3, r.trailingMasks = {0x7C00, 0x3E0, 0x1F0000};
         }),
         "blue bit mask 0x1f0000 does not fit"},
        {"masks cut off by the end of the file", masksCut, "ends inside the bit masks"},
        {"pixel offset inside the headers", smallOffset, "inside the headers"},
        {"pixel offset inside the alpha mask",
         with([](Recipe& r) {
             r.bitsPerPixel = 32, r.compression = 6, r.trailingMasks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
             r.pixelOffset = 54 + 12;
         }),
         "inside the headers"},
        {"pixel offset past the end", bigOffset, "past the end of the file"},
        {"pixel data one byte short", Bytes(good.begin(), good.end() - 1), "the file ends inside the pixel data"},
        {"no pixel data", Bytes(good.begin(), good.begin() + 54), "the file ends inside the pixel data"},
        {"palette picture without a palette", with([](Recipe& r) { r.bitsPerPixel = 8; }), "no colour palette"},
    };
    ASSERT_TRUE(DecodeChecked(good).loaded);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome got = DecodeChecked(c.file);
        EXPECT_FALSE(got.loaded);
        EXPECT_NE(got.error.find(c.reason), std::string::npos) << got.error;
    }
}

TEST(BmpCodecDecode, PixelLimitIsCheckedBeforeAllocating) {
    Recipe huge;
    huge.width = 100000;
    huge.height = 100000;
    Canvas canvas(0, 0);
    try {
        codec::DecodeBmp(Build(huge), canvas.Allocator(), kDefaultLimit);
        ADD_FAILURE() << "a 100000 x 100000 picture was accepted";
    } catch (const codec::BmpError& e) {
        EXPECT_STREQ(e.what(), "the picture is 100000 x 100000 pixels, more than the limit of 268435456 pixels");
    }
    EXPECT_EQ(canvas.calls(), 0);

    // The limit itself is allowed.
    Recipe square;
    square.width = 4;
    square.height = 4;
    square.pixels = Bytes(16 * 4, 7);
    EXPECT_TRUE(DecodeChecked(Build(square), 16).loaded);
    const Outcome over = DecodeChecked(Build(square), 15);
    EXPECT_FALSE(over.loaded);
    EXPECT_EQ(over.error, "the picture is 4 x 4 pixels, more than the limit of 15 pixels");
}

TEST(BmpCodecDecode, RowsFromAllocateAreChecked) {
    Recipe r;
    r.width = 2;
    r.height = 2;
    r.pixels = Bytes(16, 1);
    const Bytes file = Build(r);
    Bytes memory(64, 0);
    struct Case {
        const char* name;
        ops::RowView view;
    };
    const Case cases[] = {
        {"no memory", {nullptr, 2, 2, 6}},
        {"wrong width", {memory.data(), 1, 2, 6}},
        {"wrong height", {memory.data(), 2, 1, 6}},
        {"rows overlap", {memory.data(), 2, 2, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(codec::DecodeBmp(file, [&](int, int) { return c.view; }, kDefaultLimit), codec::BmpError);
        EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](std::uint8_t b) { return b == 0; }));
    }
}

// ---------------------------------------------------------------------------
// Encoding.

struct Encoded {
    Bytes file;
    int sinkCalls = 0;
};

Encoded Encode(const ops::RowView& rows) {
    Encoded out;
    codec::EncodeBmp24(rows, [&](const std::uint8_t* bytes, std::size_t size) {
        ++out.sinkCalls;
        out.file.insert(out.file.end(), bytes, bytes + size);
    });
    return out;
}

TEST(BmpCodecEncode, RowSize) {
    const std::pair<int, std::size_t> cases[] = {{0, 0}, {1, 4}, {2, 8}, {3, 12}, {4, 12}, {5, 16}, {47, 144}};
    for (const auto& [width, size] : cases) EXPECT_EQ(codec::BmpRowSize(width), size) << "width " << width;
}

TEST(BmpCodecEncode, RoundTripKeepsEveryByte) {
    const std::pair<int, int> sizes[] = {{0, 0}, {1, 1}, {1, 7}, {7, 1}, {47, 33}, {641, 481}, {5, 0}};
    std::mt19937 random(7);
    for (const auto& [width, height] : sizes) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        const std::ptrdiff_t stride = 3 * width + 5;
        Bytes source(static_cast<std::size_t>(stride * height));
        for (std::uint8_t& b : source) b = static_cast<std::uint8_t>(random());
        const ops::RowView rows{source.empty() ? nullptr : source.data(), width, height, stride};
        const Encoded encoded = Encode(rows);

        const std::size_t rowSize = (3 * static_cast<std::size_t>(width) + 3) / 4 * 4;
        ASSERT_EQ(encoded.file.size(), 54 + rowSize * static_cast<std::size_t>(height));
        EXPECT_LE(encoded.sinkCalls, 1 + height) << "bytes were passed in small pieces";
        for (int y = 0; y < height; ++y) {
            const auto pad = encoded.file.begin() + 54 + static_cast<std::ptrdiff_t>(rowSize) * y + 3 * width;
            EXPECT_TRUE(std::all_of(pad, pad + static_cast<std::ptrdiff_t>(rowSize - 3 * width),
                                    [](std::uint8_t b) { return b == 0; }))
                << "row padding is not zero";
        }

        const Outcome got = DecodeChecked(encoded.file);
        ASSERT_TRUE(got.loaded) << got.error;
        if (width == 0 || height == 0) {
            EXPECT_EQ(got.width, 0);
            EXPECT_EQ(got.height, 0);
            continue;
        }
        ASSERT_EQ(got.width, width);
        ASSERT_EQ(got.height, height);
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* want = rows.row(y);
            const std::uint8_t* have = got.pixels.data() + static_cast<std::ptrdiff_t>(3 * width) * y;
            ASSERT_EQ(std::memcmp(want, have, 3 * static_cast<std::size_t>(width)), 0) << "row " << y;
        }
    }
}

TEST(BmpCodecEncode, HeaderFieldsOf47x33) {
    Bytes source(static_cast<std::size_t>((3 * 47 + 1) * 33), 0x5A);
    const Encoded encoded = Encode({source.data(), 47, 33, 3 * 47 + 1});
    ASSERT_GE(encoded.file.size(), 54u);
    struct Field {
        const char* name;
        std::size_t offset;
        int bytes;
        std::uint32_t want;
    };
    // Rows of 47 pixels take 141 bytes, padded to 144.
    const Field fields[] = {
        {"bfType", 0, 2, 'B' | ('M' << 8)},
        {"bfSize", 2, 4, 54 + 144 * 33},
        {"bfReserved1", 6, 2, 0},
        {"bfReserved2", 8, 2, 0},
        {"bfOffBits", 10, 4, 54},
        {"biSize", 14, 4, 40},
        {"biWidth", 18, 4, 47},
        {"biHeight", 22, 4, 33},
        {"biPlanes", 26, 2, 1},
        {"biBitCount", 28, 2, 24},
        {"biCompression", 30, 4, 0},
        {"biSizeImage", 34, 4, 144 * 33},
        {"biXPelsPerMeter", 38, 4, 2835},
        {"biYPelsPerMeter", 42, 4, 2835},
        {"biClrUsed", 46, 4, 0},
        {"biClrImportant", 50, 4, 0},
    };
    for (const Field& f : fields) {
        const std::uint32_t have = f.bytes == 2 ? Get16(encoded.file, f.offset) : Get32(encoded.file, f.offset);
        EXPECT_EQ(have, f.want) << f.name;
    }
    EXPECT_EQ(encoded.file.size(), 54u + 144 * 33);
}

TEST(BmpCodecEncode, PicturesTooLargeForTheFormatAreRefused) {
    std::uint8_t pixel[3] = {1, 2, 3};
    const ops::RowView cases[] = {
        {pixel, 40000, 40000, 0},                             // 4.8 GB of rows
        {pixel, std::numeric_limits<int>::max(), 1, 0},       // one row of 6 GB
        {pixel, 1, std::numeric_limits<int>::max(), 0},       // 8 GB of 4-byte rows
        {pixel, 1, 1073741811, 0},                            // 4 * 1073741811 + 54 = 2^32 + 2 bytes
    };
    for (const ops::RowView& rows : cases) {
        SCOPED_TRACE(std::to_string(rows.width) + " x " + std::to_string(rows.height));
        int calls = 0;
        EXPECT_THROW(codec::EncodeBmp24(rows, [&](const std::uint8_t*, std::size_t) { ++calls; }), codec::BmpError);
        EXPECT_EQ(calls, 0);
    }
}

}  // namespace
