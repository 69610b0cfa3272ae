// Tests of the TIFF reader: every variant written here with libtiff and
// compared with the picture worked out from the samples that were written;
// pages; orientation; hostile files (sizes that overflow, chains that loop,
// bombs, files cut short) that must end quickly, in memory that follows the
// pixels.
#include "codec/tiff.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/qt_bridge.h"

#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/picture.h"
#include "codec/formats.h"
#include "fuzz/picture_input.h"
#include "tests/tiff_test_files.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = codec::DecodeError::Kind;
using tifftest::Page;
using tifftest::Picture;

constexpr std::uint64_t kLimit = std::uint64_t{1} << 28;
constexpr int kPad = 5;  // bytes after each row's pixels, which must stay untouched
constexpr std::uint8_t kCanary = 0xa5;

struct Outcome {
    std::optional<Picture> picture;
    codec::DeclaredSize size;
    std::optional<Kind> error;
    std::string detail;
    std::uint64_t width = 0, height = 0;
    int allocations = 0;
};

// Reads of changing length (1 to 4099 bytes) at whatever offset is asked.
codec::RandomAccess AccessTo(const Bytes& file) {
    return {file.size(), [&file, piece = std::size_t{0}](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) mutable {
                piece = (piece * 7 + 13) % 4099 + 1;
                if (offset >= file.size()) return std::size_t{0};
                const std::size_t n = std::min<std::size_t>({size, piece, static_cast<std::size_t>(file.size() - offset)});
                std::memcpy(buffer, file.data() + offset, n);
                return n;
            }};
}

// Decodes into rows padded with canary bytes and checks the padding.
Outcome Decode(const Bytes& file, std::uint64_t maxPixels = kLimit, std::uint32_t page = 0) {
    Outcome outcome;
    Bytes store;
    std::ptrdiff_t stride = 0;
    try {
        outcome.size = codec::DecodeTiff(
            AccessTo(file),
            [&](int width, int height) {
                ++outcome.allocations;
                stride = 3 * std::ptrdiff_t{width} + kPad;
                store.assign(static_cast<std::size_t>(stride * height), kCanary);
                return ops::RowView{store.data(), width, height, stride};
            },
            maxPixels, page);
        Picture picture{static_cast<int>(outcome.size.width), static_cast<int>(outcome.size.height), {}};
        EXPECT_EQ(outcome.allocations, 1);
        for (int y = 0; y < picture.height; ++y) {
            const std::uint8_t* row = store.data() + y * stride;
            picture.bgr.insert(picture.bgr.end(), row, row + 3 * picture.width);
            for (int k = 0; k < kPad; ++k) EXPECT_EQ(row[3 * picture.width + k], kCanary) << "row " << y;
        }
        outcome.picture = picture;
    } catch (const codec::DecodeError& error) {
        outcome.error = error.kind();
        outcome.detail = error.what();
        outcome.width = error.width();
        outcome.height = error.height();
    }
    return outcome;
}

void ExpectPicture(const Outcome& outcome, const Picture& expected, int tolerance = 0) {
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    ASSERT_EQ(outcome.picture->width, expected.width);
    ASSERT_EQ(outcome.picture->height, expected.height);
    if (tolerance == 0) {
        for (std::size_t i = 0; i < expected.bgr.size(); ++i)
            ASSERT_EQ(outcome.picture->bgr[i], expected.bgr[i])
                << "pixel (" << i / 3 % expected.width << ", " << i / 3 / expected.width << ") byte " << i % 3;
        return;
    }
    // Lossy (JPEG): close on every byte, and on average much closer.
    long total = 0;
    for (std::size_t i = 0; i < expected.bgr.size(); ++i) {
        const int difference = std::abs(outcome.picture->bgr[i] - expected.bgr[i]);
        total += difference;
        ASSERT_LE(difference, tolerance) << "byte " << i;
    }
    EXPECT_LE(total / static_cast<long>(expected.bgr.size()), 2);
}

// ---------------------------------------------------------------- variants

struct VariantCase {
    const char* name;
    Page page;
    int tolerance = 0;
};

void PrintTo(const VariantCase& c, std::ostream* out) { *out << c.name; }

class TiffVariant : public testing::TestWithParam<VariantCase> {};

TEST_P(TiffVariant, DecodesToTheWrittenSamples) {
    const VariantCase& c = GetParam();
    const tifftest::File file = tifftest::Write({c.page});
    const Outcome outcome = Decode(file.bytes);
    ExpectPicture(outcome, file.expected[0], c.tolerance);
    EXPECT_EQ(outcome.size.orientation, codec::Orientation::kNormal);
}

Page Gray(int bits, std::uint16_t compression = COMPRESSION_NONE) {
    Page page;
    page.bits = bits;
    page.compression = compression;
    return page;
}

Page Rgb(int bits, std::uint16_t compression = COMPRESSION_NONE) {
    Page page;
    page.bits = bits;
    page.samples = 3;
    page.photometric = PHOTOMETRIC_RGB;
    page.compression = compression;
    return page;
}

template <class Change>
Page With(Page page, Change change) {
    change(page);
    return page;
}

const auto kVariants = testing::Values(
    // Compressions.
    VariantCase{"rgb8_none", Rgb(8)},
    VariantCase{"rgb8_lzw", Rgb(8, COMPRESSION_LZW)},
    VariantCase{"rgb8_lzw_predictor", With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.predictor = true; })},
    VariantCase{"rgb16_deflate_predictor", With(Rgb(16, COMPRESSION_ADOBE_DEFLATE), [](Page& p) { p.predictor = true; })},
    VariantCase{"rgb8_deflate", Rgb(8, COMPRESSION_ADOBE_DEFLATE)},
    VariantCase{"rgb8_deflate_old_code", Rgb(8, COMPRESSION_DEFLATE)},
    VariantCase{"rgb8_packbits", Rgb(8, COMPRESSION_PACKBITS)},
    VariantCase{"gray1_ccitt_rle", With(Gray(1, COMPRESSION_CCITTRLE), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
    VariantCase{"gray1_group3_1d", With(Gray(1, COMPRESSION_CCITTFAX3), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
    VariantCase{"gray1_group3_2d", With(Gray(1, COMPRESSION_CCITTFAX3), [](Page& p) {
                    p.photometric = PHOTOMETRIC_MINISWHITE;
                    p.group3TwoD = true;
                })},
    VariantCase{"gray1_group4", With(Gray(1, COMPRESSION_CCITTFAX4), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
    VariantCase{"gray1_group4_min_is_black_bits_reversed", With(Gray(1, COMPRESSION_CCITTFAX4), [](Page& p) { p.fillOrder = FILLORDER_LSB2MSB; })},
    VariantCase{"gray1_group4_tiles", With(Gray(1, COMPRESSION_CCITTFAX4), [](Page& p) { p.tileWidth = p.tileHeight = 16; })},
    VariantCase{"gray8_jpeg", With(Gray(8, COMPRESSION_JPEG), [](Page& p) { p.smooth = true; }), 12},
    VariantCase{"rgb8_jpeg", With(Rgb(8, COMPRESSION_JPEG), [](Page& p) { p.smooth = true; }), 12},
    VariantCase{"rgb8_jpeg_ycbcr", With(Rgb(8, COMPRESSION_JPEG), [](Page& p) {
                    p.smooth = true;
                    p.ycbcr = true;
                }), 24},
    VariantCase{"rgb8_jpeg_ycbcr_tiles", With(Rgb(8, COMPRESSION_JPEG), [](Page& p) {
                    p.smooth = true;
                    p.ycbcr = true;
                    p.tileWidth = p.tileHeight = 16;
                }), 24},
    // Depths and photometrics.
    VariantCase{"gray1", Gray(1)},
    VariantCase{"gray2", Gray(2)},
    VariantCase{"gray4", Gray(4)},
    VariantCase{"gray8", Gray(8)},
    VariantCase{"gray16", Gray(16)},
    VariantCase{"gray16_big_endian", With(Gray(16, COMPRESSION_LZW), [](Page& p) { p.bigEndian = true; })},
    VariantCase{"min_is_white1", With(Gray(1), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
    VariantCase{"min_is_white4", With(Gray(4), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
    VariantCase{"min_is_white8", With(Gray(8), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
    VariantCase{"min_is_white16", With(Gray(16), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
    VariantCase{"rgb2", Rgb(2)},
    VariantCase{"rgb4", Rgb(4)},
    VariantCase{"rgb16", Rgb(16)},
    VariantCase{"rgb16_big_endian", With(Rgb(16), [](Page& p) { p.bigEndian = true; })},
    VariantCase{"palette1", With(Gray(1), [](Page& p) { p.photometric = PHOTOMETRIC_PALETTE; })},
    VariantCase{"palette2", With(Gray(2), [](Page& p) { p.photometric = PHOTOMETRIC_PALETTE; })},
    VariantCase{"palette4", With(Gray(4, COMPRESSION_PACKBITS), [](Page& p) { p.photometric = PHOTOMETRIC_PALETTE; })},
    VariantCase{"palette8", With(Gray(8, COMPRESSION_LZW), [](Page& p) { p.photometric = PHOTOMETRIC_PALETTE; })},
    VariantCase{"palette8_eight_bit_map", With(Gray(8), [](Page& p) {
                    p.photometric = PHOTOMETRIC_PALETTE;
                    p.eightBitMap = true;
                })},
    VariantCase{"palette4_eight_bit_map", With(Gray(4), [](Page& p) {
                    p.photometric = PHOTOMETRIC_PALETTE;
                    p.eightBitMap = true;
                })},
    VariantCase{"cmyk8", With(Gray(8), [](Page& p) {
                    p.photometric = PHOTOMETRIC_SEPARATED;
                    p.samples = 4;
                })},
    VariantCase{"cmyk16_lzw", With(Gray(16, COMPRESSION_LZW), [](Page& p) {
                    p.photometric = PHOTOMETRIC_SEPARATED;
                    p.samples = 4;
                })},
    // Layouts.
    VariantCase{"one_pixel", With(Rgb(8), [](Page& p) { p.width = p.height = 1; })},
    VariantCase{"one_pixel_tile", With(Rgb(8), [](Page& p) { p.width = p.height = 1, p.tileWidth = p.tileHeight = 16; })},
    VariantCase{"strips_of_one_row", With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.rowsPerStrip = 1; })},
    VariantCase{"strips_of_seven_rows", With(Gray(4, COMPRESSION_PACKBITS), [](Page& p) { p.rowsPerStrip = 7; })},
    VariantCase{"one_strip", With(Rgb(16, COMPRESSION_ADOBE_DEFLATE), [](Page& p) { p.rowsPerStrip = 33; })},
    VariantCase{"tiles_cut_at_the_edges", With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.tileWidth = p.tileHeight = 16; })},
    VariantCase{"tiles_wider_than_the_picture", With(Gray(2), [](Page& p) { p.tileWidth = 64, p.tileHeight = 16; })},
    VariantCase{"tiles_of_four_bits", With(Gray(4, COMPRESSION_ADOBE_DEFLATE), [](Page& p) { p.tileWidth = 32, p.tileHeight = 48; })},
    VariantCase{"planes_in_strips", With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.planar = true, p.rowsPerStrip = 5; })},
    VariantCase{"planes_in_tiles", With(Rgb(16), [](Page& p) { p.planar = true, p.tileWidth = p.tileHeight = 16; })},
    VariantCase{"bigtiff_strips", With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.bigTiff = true; })},
    VariantCase{"bigtiff_tiles", With(Gray(16), [](Page& p) { p.bigTiff = true, p.tileWidth = p.tileHeight = 32; })},
    // Alpha and other extra samples.
    VariantCase{"rgba8_unassociated", With(Rgb(8), [](Page& p) { p.extra = EXTRASAMPLE_UNASSALPHA; })},
    VariantCase{"rgba8_associated", With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.extra = EXTRASAMPLE_ASSOCALPHA; })},
    VariantCase{"rgba16_unassociated", With(Rgb(16), [](Page& p) { p.extra = EXTRASAMPLE_UNASSALPHA; })},
    VariantCase{"rgba16_associated", With(Rgb(16), [](Page& p) { p.extra = EXTRASAMPLE_ASSOCALPHA; })},
    VariantCase{"gray_alpha8", With(Gray(8), [](Page& p) { p.extra = EXTRASAMPLE_UNASSALPHA; })},
    VariantCase{"gray_alpha4_associated", With(Gray(4), [](Page& p) { p.extra = EXTRASAMPLE_ASSOCALPHA; })},
    VariantCase{"palette_alpha8", With(Gray(8), [](Page& p) {
                    p.photometric = PHOTOMETRIC_PALETTE;
                    p.extra = EXTRASAMPLE_UNASSALPHA;
                })},
    VariantCase{"cmyk_alpha8", With(Gray(8), [](Page& p) {
                    p.photometric = PHOTOMETRIC_SEPARATED;
                    p.samples = 4;
                    p.extra = EXTRASAMPLE_UNASSALPHA;
                })},
    VariantCase{"rgba8_planes", With(Rgb(8), [](Page& p) { p.extra = EXTRASAMPLE_UNASSALPHA, p.planar = true; })},
    VariantCase{"rgb_and_unspecified_extra", With(Rgb(8), [](Page& p) { p.extra = EXTRASAMPLE_UNSPECIFIED; })},
    VariantCase{"rgb_and_extra_without_its_tag", With(Rgb(8), [](Page& p) {
                    p.extra = EXTRASAMPLE_UNSPECIFIED;
                    p.extraTag = false;
                })});

INSTANTIATE_TEST_SUITE_P(Tiff, TiffVariant, kVariants,
                         [](const testing::TestParamInfo<VariantCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- orientation and pages

class TiffOrientation : public testing::TestWithParam<int> {};

// The tag is reported as it is; the rows stay as stored.
TEST_P(TiffOrientation, IsReportedAndTheRowsStayAsStored) {
    Page page = Rgb(8, COMPRESSION_LZW);
    page.orientation = GetParam();
    const tifftest::File file = tifftest::Write({page});
    const Outcome outcome = Decode(file.bytes);
    ExpectPicture(outcome, file.expected[0]);
    EXPECT_EQ(static_cast<int>(outcome.size.orientation), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Tiff, TiffOrientation, testing::Range(1, 9),
                         [](const testing::TestParamInfo<int>& info) { return "orientation" + std::to_string(info.param); });

TEST(TiffCodec, OrientationOutsideOneToEightIsTheStoredView) {
    for (const std::uint32_t value : {0u, 9u, 65535u}) {
        Page page = Gray(8);
        page.orientation = 3;
        tifftest::File file = tifftest::Write({page});
        tifftest::Patcher(file.bytes).Set(TIFFTAG_ORIENTATION, value, TIFF_SHORT);
        const Outcome outcome = Decode(file.bytes);
        ExpectPicture(outcome, file.expected[0]);
        EXPECT_EQ(outcome.size.orientation, codec::Orientation::kNormal) << value;
    }
}

TEST(TiffCodec, EveryPageDecodesToItsOwnPicture) {
    Page first = Rgb(8, COMPRESSION_LZW);
    Page second = With(Gray(1, COMPRESSION_CCITTFAX4), [](Page& p) {
        p.photometric = PHOTOMETRIC_MINISWHITE;
        p.width = 17, p.height = 40;
        p.orientation = 6;
    });
    Page third = With(Rgb(16), [](Page& p) { p.width = 5, p.height = 3, p.tileWidth = p.tileHeight = 16; });
    for (const bool big : {false, true}) {
        SCOPED_TRACE(big ? "bigtiff" : "classic");
        first.bigTiff = second.bigTiff = third.bigTiff = big;
        const tifftest::File file = tifftest::Write({first, second, third});
        EXPECT_EQ(codec::CountTiffPages(AccessTo(file.bytes)), 3u);
        for (std::uint32_t k = 0; k < 3; ++k) {
            const Outcome outcome = Decode(file.bytes, kLimit, k);
            ExpectPicture(outcome, file.expected[k]);
            EXPECT_EQ(outcome.size.orientation, k == 1 ? codec::Orientation::kTurned90 : codec::Orientation::kNormal);
        }
        EXPECT_THROW(Decode(file.bytes, kLimit, 3), std::out_of_range);
    }
    EXPECT_EQ(codec::CountTiffPages(AccessTo(tifftest::Write({first}).bytes)), 1u);
}

// ---------------------------------------------------------------- refused variants

struct RefusedCase {
    const char* name;
    std::function<Bytes()> make;
    Kind kind;
};

class RefusedTiff : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTiff, EndsInOneErrorWithoutPixels) {
    const Outcome outcome = Decode(GetParam().make());
    EXPECT_FALSE(outcome.picture.has_value());
    EXPECT_EQ(outcome.error, GetParam().kind) << outcome.detail;
    EXPECT_EQ(outcome.allocations, 0);
    EXPECT_FALSE(outcome.detail.empty());
}

Bytes WithTag(Page page, std::function<void(TIFF*)> tags) {
    page.moreTags = std::move(tags);
    return tifftest::Write({page}).bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Tiff, RefusedTiff,
    testing::Values(
        RefusedCase{"float_samples", [] { return WithTag(Gray(16), [](TIFF* t) { TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP); }); },
                    Kind::kUnsupported},
        RefusedCase{"signed_samples", [] { return WithTag(Gray(8), [](TIFF* t) { TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT); }); },
                    Kind::kUnsupported},
        RefusedCase{"cie_lab", [] { return tifftest::Write({With(Rgb(8), [](Page& p) { p.photometric = PHOTOMETRIC_CIELAB; })}).bytes; },
                    Kind::kUnsupported},
        RefusedCase{"ycbcr_without_jpeg", [] { return tifftest::Write({With(Rgb(8), [](Page& p) { p.photometric = PHOTOMETRIC_YCBCR; })}).bytes; },
                    Kind::kUnsupported},
        RefusedCase{"inks_other_than_cmyk", [] {
                        return WithTag(With(Gray(8), [](Page& p) {
                                           p.photometric = PHOTOMETRIC_SEPARATED;
                                           p.samples = 4;
                                       }),
                                       [](TIFF* t) { TIFFSetField(t, TIFFTAG_INKSET, INKSET_MULTIINK); });
                    },
                    Kind::kUnsupported},
        RefusedCase{"lzma_compression", [] { return tifftest::PatchedGray8([](tifftest::Patcher& p) { p.Set(TIFFTAG_COMPRESSION, COMPRESSION_LZMA, TIFF_SHORT); }); },
                    Kind::kUnsupported},
        RefusedCase{"old_jpeg_compression", [] { return tifftest::PatchedGray8([](tifftest::Patcher& p) { p.Set(TIFFTAG_COMPRESSION, COMPRESSION_OJPEG, TIFF_SHORT); }); },
                    Kind::kUnsupported},
        RefusedCase{"twelve_bit_samples", [] { return tifftest::PatchedGray8([](tifftest::Patcher& p) { p.Set(TIFFTAG_BITSPERSAMPLE, 12, TIFF_SHORT); }); },
                    Kind::kUnsupported},
        RefusedCase{"seventeen_samples", [] { return tifftest::PatchedGray8([](tifftest::Patcher& p) { p.Set(TIFFTAG_SAMPLESPERPIXEL, 17, TIFF_SHORT); }); },
                    Kind::kUnsupported},
        RefusedCase{"zero_width", [] { return tifftest::PatchedGray8([](tifftest::Patcher& p) { p.Set(TIFFTAG_IMAGEWIDTH, 0); }); },
                    Kind::kDamaged},
        RefusedCase{"no_header", [] { return Bytes{'I', 'I', 42}; }, Kind::kDamaged},
        RefusedCase{"first_directory_past_the_end", [] { return Bytes{'I', 'I', 42, 0, 0xff, 0xff, 0, 0}; }, Kind::kDamaged},
        RefusedCase{"empty_directory", [] { return Bytes{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0}; }, Kind::kDamaged},
        RefusedCase{"bad_bigtiff_header", [] { return Bytes{'I', 'I', 43, 0, 4, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0}; }, Kind::kDamaged}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// ---------------------------------------------------------------- hostile files

// AddressSanitizer's shadow memory and quarantine count in a process's
// peak memory, so peaks are compared only in plain builds; the outcome of
// the decode is checked in both.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeaksCount = false;
#else
constexpr bool kPeaksCount = true;
#endif

// Peak resident memory of a child process that runs `work`, in kilobytes.
long ChildPeakKilobytes(const std::function<void()>& work) {
    const pid_t child = fork();
    if (child == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    EXPECT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed";
    return usage.ru_maxrss;
}

// Decodes in a child, into rows of exactly the picture's size, and returns
// the peak memory beyond those rows, in kilobytes; the child fails unless
// the outcome is a picture whose every byte is `fill`.
long PeakBeyondThePicture(const Bytes& file, std::uint8_t fill, std::uint64_t pixels) {
    const long peak = ChildPeakKilobytes([&] {
        Bytes rows;
        try {
            const codec::DeclaredSize size = codec::DecodeTiff(
                AccessTo(file),
                [&](int width, int height) {
                    rows.resize(3 * static_cast<std::size_t>(width) * height);
                    return ops::RowView{rows.data(), width, height, 3 * std::ptrdiff_t{width}};
                },
                kLimit);
            if (size.width * size.height != pixels) _exit(2);
            if (std::any_of(rows.begin(), rows.end(), [&](std::uint8_t v) { return v != fill; })) _exit(3);
        } catch (const codec::DecodeError&) {
            _exit(4);
        }
    });
    const long bare = ChildPeakKilobytes([] {});
    return peak - bare - static_cast<long>(pixels * 3 / 1024);
}

void ExpectPeakBelow(long kilobytes, long limit) {
    if (kPeaksCount) {
        EXPECT_LT(kilobytes, limit) << "kilobytes beyond the picture";
    }
}

// A 1-bit page of the given size whose strip (one for the whole page) is
// `data`, compressed as `compression`.
Bytes OneStripPage(std::uint32_t width, std::uint32_t height, int bits, std::uint16_t compression, const Bytes& data,
                   std::uint16_t photometric = PHOTOMETRIC_MINISWHITE) {
    Page page = Gray(bits);
    page.width = page.height = 1;
    page.photometric = photometric;
    page.compression = COMPRESSION_NONE;
    Bytes file = tifftest::Write({page}).bytes;
    const auto at = static_cast<std::uint32_t>(file.size());
    file.insert(file.end(), data.begin(), data.end());
    tifftest::Patcher(file).Set(TIFFTAG_IMAGEWIDTH, width);
    tifftest::Patcher(file).Set(TIFFTAG_IMAGELENGTH, height);
    tifftest::Patcher(file).Set(TIFFTAG_ROWSPERSTRIP, height);
    tifftest::Patcher(file).Set(TIFFTAG_COMPRESSION, compression, TIFF_SHORT);
    tifftest::Patcher(file).Set(TIFFTAG_STRIPOFFSETS, at);
    tifftest::Patcher(file).Set(TIFFTAG_STRIPBYTECOUNTS, static_cast<std::uint32_t>(data.size()));
    return file;
}

// Group 4 rows the same as the (white) row above: one bit each, a vertical
// code of 0.
Bytes WhiteGroup4Rows(std::size_t rows) { return Bytes((rows + 7) / 8, 0xff); }

// size zero bytes, deflated a megabyte at a time.
Bytes DeflatedZeros(std::size_t size) {
    z_stream stream{};
    EXPECT_EQ(deflateInit(&stream, 9), Z_OK);
    Bytes zeros(1 << 20, 0), packed, out(1 << 16);
    for (std::size_t left = size; left > 0 || stream.avail_in > 0;) {
        if (stream.avail_in == 0) {
            const std::size_t n = std::min(left, zeros.size());
            stream.next_in = zeros.data();
            stream.avail_in = static_cast<uInt>(n);
            left -= n;
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        deflate(&stream, Z_NO_FLUSH);
        packed.insert(packed.end(), out.data(), stream.next_out);
    }
    for (int result = Z_OK; result != Z_STREAM_END;) {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        result = deflate(&stream, Z_FINISH);
        packed.insert(packed.end(), out.data(), stream.next_out);
    }
    deflateEnd(&stream);
    return packed;
}

TEST(TiffHostile, HugeDeclaredSizeIsRefusedBeforeAllocating) {
    for (const std::uint32_t side : {16385u, 100000u, 0xffffffffu}) {
        const Bytes file = tifftest::PatchedGray8([&](tifftest::Patcher& p) {
            p.Set(TIFFTAG_IMAGEWIDTH, side);
            p.Set(TIFFTAG_IMAGELENGTH, side);
        });
        const Outcome outcome = Decode(file);
        EXPECT_EQ(outcome.error, Kind::kTooLarge) << side << ": " << outcome.detail;
        EXPECT_EQ(outcome.width, side);
        EXPECT_EQ(outcome.height, side);
        EXPECT_EQ(outcome.allocations, 0);
    }
}

TEST(TiffHostile, LimitIsExact) {
    const tifftest::File file = tifftest::Write({With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.tileWidth = p.tileHeight = 16; })});
    const Outcome over = Decode(file.bytes, 47 * 33 - 1);
    EXPECT_EQ(over.error, Kind::kTooLarge);
    EXPECT_EQ(over.allocations, 0);
    ExpectPicture(Decode(file.bytes, 47 * 33), file.expected[0]);
}

TEST(TiffHostile, TileSizesThatOverflowAreRefused) {
    const Page tiled = With(Rgb(16), [](Page& p) { p.tileWidth = p.tileHeight = 16, p.extra = EXTRASAMPLE_UNASSALPHA; });
    for (const auto& [width, height] : {std::pair{0xfffffff0u, 0xfffffff0u}, std::pair{0x80000000u, 16u}, std::pair{16u, 0xffffffffu}}) {
        const Bytes file = tifftest::PatchedGray8(
            [&](tifftest::Patcher& p) {
                p.Set(TIFFTAG_TILEWIDTH, width);
                p.Set(TIFFTAG_TILELENGTH, height);
            },
            tiled);
        const Outcome outcome = Decode(file);
        EXPECT_EQ(outcome.error, Kind::kDamaged) << width << " x " << height << ": " << outcome.detail;
        EXPECT_EQ(outcome.allocations, 0);
    }
}

// Strip places and sizes past the end of the file, or whose sum wraps at 32
// bits, are damage; a byte count larger than the data needs is read only as
// far as the pixels need.
TEST(TiffHostile, StripSizesThatOverflow) {
    const Page stripped = With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.rowsPerStrip = 4; });
    const tifftest::File good = tifftest::Write({stripped});
    const auto patched = [&](const std::function<void(std::vector<std::uint32_t>&, std::vector<std::uint32_t>&)>& change) {
        Bytes file = good.bytes;
        tifftest::Patcher p(file);
        std::vector<std::uint32_t> offsets = p.Get(TIFFTAG_STRIPOFFSETS), counts = p.Get(TIFFTAG_STRIPBYTECOUNTS);
        change(offsets, counts);
        p.Put(TIFFTAG_STRIPOFFSETS, offsets);
        p.Put(TIFFTAG_STRIPBYTECOUNTS, counts);
        return file;
    };
    const Outcome past = Decode(patched([](auto& offsets, auto&) { offsets[3] = 0xffffff00u; }));
    EXPECT_EQ(past.error, Kind::kDamaged) << past.detail;
    const Outcome wraps = Decode(patched([](auto& offsets, auto& counts) { offsets[3] = 0xffffff00u, counts[3] = 0x200; }));
    EXPECT_EQ(wraps.error, Kind::kDamaged) << wraps.detail;
    const Outcome empty = Decode(patched([](auto&, auto& counts) { counts[2] = 0; }));
    EXPECT_EQ(empty.error, Kind::kDamaged) << empty.detail;
    const Outcome huge = Decode(patched([](auto&, auto& counts) { std::fill(counts.begin(), counts.end(), 0xffffffffu); }));
    EXPECT_EQ(huge.error, Kind::kDamaged) << huge.detail;
    ExpectPicture(Decode(patched([](auto&, auto& counts) { counts[0] += 1000; })), good.expected[0]);
    // All rows in one strip claimed, with the first strip's data.
    const Outcome oneStrip = Decode(tifftest::PatchedGray8([](tifftest::Patcher& p) { p.Set(TIFFTAG_ROWSPERSTRIP, 0xffffffffu); }, stripped));
    EXPECT_EQ(oneStrip.error, Kind::kDamaged) << oneStrip.detail;
}

// A 1 x 1 picture whose strip tags list a million strips: only the one the
// picture has is looked at.
TEST(TiffHostile, OnePixelWithAMillionStrips) {
    Page page = Gray(8);
    page.width = page.height = 1;
    Bytes file = tifftest::Write({page}).bytes;
    tifftest::Patcher p(file);
    const std::uint32_t pixelAt = p.Get(TIFFTAG_STRIPOFFSETS)[0];
    const std::uint32_t pixel = file[pixelAt];
    constexpr std::uint32_t kStrips = 1000000;
    const auto offsets = static_cast<std::uint32_t>(file.size());
    file.resize(file.size() + 8 * std::size_t{kStrips});
    tifftest::Patcher q(file);
    for (std::uint32_t i = 0; i < kStrips; ++i) {
        q.Put32(offsets + 4 * i, pixelAt);
        q.Put32(offsets + 4 * kStrips + 4 * i, 1);
    }
    q.SetArray(TIFFTAG_STRIPOFFSETS, kStrips, offsets);
    q.SetArray(TIFFTAG_STRIPBYTECOUNTS, kStrips, offsets + 4 * kStrips);
    q.Set(TIFFTAG_ROWSPERSTRIP, 1);
    const Outcome outcome = Decode(file);
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_EQ(outcome.picture->bgr, (Bytes(3, static_cast<std::uint8_t>(pixel))));
    ExpectPeakBelow(PeakBeyondThePicture(file, static_cast<std::uint8_t>(pixel), 1), 4 * 1024);
}

// 80 MB of XMP metadata: libtiff may not keep it (its allocations are
// capped), so it is skipped, and costs nothing.
TEST(TiffHostile, AHugeTagIsSkipped) {
    Page page = Gray(8);
    const Bytes packet(80u << 20, 'x');
    page.moreTags = [&](TIFF* t) { TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(packet.size()), packet.data()); };
    const tifftest::File file = tifftest::Write({page});
    ASSERT_GT(file.bytes.size(), packet.size());
    ExpectPicture(Decode(file.bytes), file.expected[0]);
    Page flat = page;
    flat.smooth = true;
    flat.height = 1, flat.width = 1;
    const tifftest::File one = tifftest::Write({flat});
    ExpectPeakBelow(PeakBeyondThePicture(one.bytes, one.expected[0].bgr[0], 1), 4 * 1024);
}

TEST(TiffHostile, ChainOfPagesThatLoopsIsDamaged) {
    const tifftest::File file = tifftest::Write({Gray(8), Rgb(8), Gray(4)});
    for (const int back : {0, 1, 2}) {
        SCOPED_TRACE(back);
        Bytes looped = file.bytes;
        tifftest::Patcher last(looped, 2);
        last.Put32(last.NextAt(), tifftest::Patcher(looped, back).directory());
        try {
            codec::CountTiffPages(AccessTo(looped));
            ADD_FAILURE() << "counted the pages of a loop";
        } catch (const codec::DecodeError& error) {
            EXPECT_EQ(error.kind(), Kind::kDamaged);
            EXPECT_NE(std::string(error.what()).find("loops"), std::string::npos) << error.what();
        }
        for (std::uint32_t page = 0; page < 3; ++page) {
            const Outcome outcome = Decode(looped, kLimit, page);
            EXPECT_EQ(outcome.error, Kind::kDamaged) << outcome.detail;
            EXPECT_EQ(outcome.allocations, 0);
        }
    }
}

TEST(TiffHostile, NextPageOutsideTheFileIsDamaged) {
    Bytes file = tifftest::Write({Gray(8), Gray(8)}).bytes;
    tifftest::Patcher first(file);
    first.Put32(first.NextAt(), static_cast<std::uint32_t>(file.size()) - 1);
    EXPECT_THROW(codec::CountTiffPages(AccessTo(file)), codec::DecodeError);
    EXPECT_EQ(Decode(file).error, Kind::kDamaged);
}

// 4096 x 4096 pixels from 2 KB of Group 4 codes: the work and the memory are
// those of the pixels (the rows and one strip of 2 MB), no more.
TEST(TiffHostile, Group4BombCostsItsPixels) {
    Bytes codes = WhiteGroup4Rows(4096);
    for (const std::uint8_t end : {0x00, 0x10, 0x01}) codes.push_back(end);  // two end-of-line codes close the data
    const Bytes file = OneStripPage(4096, 4096, 1, COMPRESSION_CCITTFAX4, codes);
    ExpectPeakBelow(PeakBeyondThePicture(file, 255, 4096 * 4096), 8 * 1024);
}

// A 16 x 16 picture whose strip holds 32 MB of codes: only what the 16 rows
// need is read.
TEST(TiffHostile, Group4StripFarLongerThanItsPicture) {
    const Bytes file = OneStripPage(16, 16, 1, COMPRESSION_CCITTFAX4, WhiteGroup4Rows(std::size_t{32} << 23));
    ExpectPeakBelow(PeakBeyondThePicture(file, 255, 16 * 16), 4 * 1024);
}

// A strip of 256 MB of zeros deflated to 256 KB, under a 1 x 1 picture; and
// 8 MB of zeros under a 8192 x 8192 1-bit picture.
TEST(TiffHostile, DeflateBombs) {
    const Bytes small = OneStripPage(1, 1, 8, COMPRESSION_ADOBE_DEFLATE, DeflatedZeros(std::size_t{256} << 20),
                                     PHOTOMETRIC_MINISBLACK);
    const Outcome outcome = Decode(small);
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_EQ(outcome.picture->bgr, Bytes(3, 0));
    ExpectPeakBelow(PeakBeyondThePicture(small, 0, 1), 4 * 1024);

    const Bytes large = OneStripPage(8192, 8192, 1, COMPRESSION_ADOBE_DEFLATE, DeflatedZeros(std::size_t{8} << 20));
    ExpectPeakBelow(PeakBeyondThePicture(large, 255, 8192 * 8192), 16 * 1024);
}

// The file with every strip or tile's data moved to its end, after the
// directory, so that cutting the file cuts the pixel data alone. Returns
// where the moved data starts.
std::size_t MoveDataToTheEnd(Bytes& file, bool tiled) {
    tifftest::Patcher p(file);
    const std::uint16_t offsetsTag = tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS;
    const std::uint16_t countsTag = tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS;
    std::vector<std::uint32_t> offsets = p.Get(offsetsTag);
    const std::vector<std::uint32_t> counts = p.Get(countsTag);
    const std::size_t start = file.size();
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const Bytes data(file.begin() + offsets[i], file.begin() + offsets[i] + counts[i]);
        offsets[i] = static_cast<std::uint32_t>(file.size());
        file.insert(file.end(), data.begin(), data.end());
    }
    tifftest::Patcher(file).Put(offsetsTag, offsets);
    return start;
}

struct CutCase {
    const char* name;
    Page page;
};

void PrintTo(const CutCase& c, std::ostream* out) { *out << c.name; }

class CutTiff : public testing::TestWithParam<CutCase> {};

// Cut anywhere in its pixel data, or anywhere at all as libtiff writes it
// (the directory last), the file is damaged.
TEST_P(CutTiff, IsDamagedAtEveryLength) {
    const CutCase& c = GetParam();
    Bytes file = tifftest::Write({c.page}).bytes;
    ASSERT_TRUE(Decode(file).picture.has_value());
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n < file.size(); n += std::max<std::size_t>(1, file.size() / 50)) lengths.push_back(n);
    const std::size_t start = MoveDataToTheEnd(file, c.page.tileWidth > 0);
    ASSERT_TRUE(Decode(file).picture.has_value());
    for (std::size_t n = start; n < file.size(); n += std::max<std::size_t>(1, (file.size() - start) / 100)) lengths.push_back(n);
    for (std::size_t n = file.size() - std::min<std::size_t>(8, file.size() - start); n < file.size(); ++n) lengths.push_back(n);
    for (const std::size_t n : lengths) {
        const Outcome outcome = Decode(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_FALSE(outcome.picture.has_value()) << "cut at " << n << " of " << file.size();
        EXPECT_EQ(outcome.error, Kind::kDamaged) << "cut at " << n << ": " << outcome.detail;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tiff, CutTiff,
    testing::Values(CutCase{"none", Rgb(8)}, CutCase{"lzw", Rgb(8, COMPRESSION_LZW)},
                    CutCase{"deflate_tiles", With(Rgb(16, COMPRESSION_ADOBE_DEFLATE), [](Page& p) { p.tileWidth = p.tileHeight = 16; })},
                    CutCase{"packbits", Gray(8, COMPRESSION_PACKBITS)},
                    CutCase{"group3", With(Gray(1, COMPRESSION_CCITTFAX3), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
                    CutCase{"group4", With(Gray(1, COMPRESSION_CCITTFAX4), [](Page& p) { p.photometric = PHOTOMETRIC_MINISWHITE; })},
                    CutCase{"jpeg", With(Rgb(8, COMPRESSION_JPEG), [](Page& p) { p.smooth = true, p.ycbcr = true; })}),
    [](const testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- callbacks and signatures

TEST(TiffCodec, ExceptionsFromTheCallbacksPassThrough) {
    const Bytes file = tifftest::Write({With(Rgb(8, COMPRESSION_LZW), [](Page& p) { p.rowsPerStrip = 3; })}).bytes;
    for (const std::uint64_t failAt : {std::uint64_t{0}, std::uint64_t{8}, file.size() / 2, file.size() - 4}) {
        codec::RandomAccess access = AccessTo(file);
        const auto read = access.read;
        access.read = [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
            if (offset <= failAt && failAt < offset + size) throw std::runtime_error("read failed");
            return read(offset, buffer, size);
        };
        Bytes store;
        const codec::AllocateRows allocate = [&](int width, int height) {
            store.resize(3 * static_cast<std::size_t>(width) * height);
            return ops::RowView{store.data(), width, height, 3 * width};
        };
        EXPECT_THROW(codec::DecodeTiff(access, allocate, kLimit), std::runtime_error) << "at " << failAt;
    }
    EXPECT_THROW(codec::DecodeTiff(AccessTo(file), [](int, int) -> ops::RowView { throw std::bad_alloc(); }, kLimit),
                 std::bad_alloc);
}

TEST(TiffCodec, Signatures) {
    for (const Bytes& head : {Bytes{'I', 'I', 42, 0}, Bytes{'M', 'M', 0, 42}, Bytes{'I', 'I', 43, 0}, Bytes{'M', 'M', 0, 43}})
        EXPECT_TRUE(codec::LooksLikeTiff(head));
    for (const Bytes& head : {Bytes{'I', 'I', 0, 42}, Bytes{'M', 'M', 42, 0}, Bytes{'I', 'M', 42, 0}, Bytes{'I', 'I', 42}})
        EXPECT_FALSE(codec::LooksLikeTiff(head));
}

}  // namespace

// ---------------------------------------------------------------- the picture layer

namespace {

TEST(TiffCodec, SniffedAsTiff) {
    const tifftest::File classic = tifftest::Write({Gray(8)});
    const tifftest::File big = tifftest::Write({With(Gray(8), [](Page& p) { p.bigTiff = true, p.bigEndian = true; })});
    EXPECT_EQ(codec::SniffFormat(classic.bytes), codec::Format::kTiff);
    EXPECT_EQ(codec::SniffFormat(big.bytes), codec::Format::kTiff);
    EXPECT_STREQ(codec::FormatName(codec::Format::kTiff), "TIFF");
}

class TiffFileTest : public testing::Test {
protected:
    QString Put(const char* name, const Bytes& bytes) {
        const QString path = dir_.filePath(QString::fromLatin1(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        return path;
    }

private:
    QTemporaryDir dir_;
};

Picture PixelsOf(const TPicture& picture) {
    const QImage& image = ImageOf(picture.Bitmap());
    Picture pixels{image.width(), image.height(), {}};
    for (int y = 0; y < image.height(); ++y)
        pixels.bgr.insert(pixels.bgr.end(), image.constScanLine(y), image.constScanLine(y) + 3 * image.width());
    return pixels;
}

TEST_F(TiffFileTest, PicturesLoadTheirPagesAndCountThem) {
    const tifftest::File file = tifftest::Write({Rgb(8, COMPRESSION_LZW), With(Gray(4), [](Page& p) { p.width = 9; })});
    const QString path = Put("two.tif", file.bytes);
    EXPECT_EQ(PageCount(FileNameOf(path)), 2);
    TPicture picture;
    picture.LoadFromFile(FileNameOf(path));
    EXPECT_EQ(PixelsOf(picture), file.expected[0]);
    picture.LoadFromFile(FileNameOf(path), 1);
    EXPECT_EQ(PixelsOf(picture), file.expected[1]);
    try {
        picture.LoadFromFile(FileNameOf(path), 2);
        ADD_FAILURE() << "loaded a page past the last";
    } catch (const Exception& error) {
        EXPECT_EQ(TextOf(error.Message()), QStringLiteral("Cannot read \"%1\": the file has only 2 pages").arg(path));
    }
    EXPECT_EQ(PixelsOf(picture), file.expected[1]) << "a failed load keeps the picture";

    EXPECT_EQ(PageCount(FileNameOf(Put("not.tif", Bytes{'B', 'M', 0, 0}))), 1);
    EXPECT_THROW(PageCount(FileNameOf(QStringLiteral("/nonexistent/file.tif"))), Exception);
    const Bytes cut(file.bytes.begin(), file.bytes.end() - 20);
    try {
        PageCount(FileNameOf(Put("cut.tif", cut)));
        ADD_FAILURE() << "counted the pages of a cut file";
    } catch (const Exception& error) {
        EXPECT_TRUE(TextOf(error.Message()).contains("damaged")) << TextOf(error.Message()).toStdString();
    }
}

// The fuzzer's TIFF seeds are small, and each goes through the fuzz
// target's checks as a picture.
TEST(TiffCodec, FuzzSeedsAreSmallPictures) {
    const QDir seeds(QStringLiteral(WORKBENCH_SOURCE_DIR "/fuzz/seeds/tiff"));
    const QStringList names = seeds.entryList(QDir::Files);
    EXPECT_GE(names.size(), 10);
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        QFile file(seeds.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        EXPECT_LT(bytes.size(), 2048);
        EXPECT_TRUE(fuzz::RunPictureInput(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                          static_cast<std::size_t>(bytes.size())));
    }
}

}  // namespace
