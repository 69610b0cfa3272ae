// Tests of the PNG and JPEG readers: every variant written here with libpng
// and libjpeg and compared byte for byte with what Qt's readers give after
// conversion to 24 bits; files cut short or damaged; files whose metadata or
// scans would cost far more than their pixels; size limits and exceptions
// from the callbacks.
#include "codec/exif.h"
#include "codec/jpeg.h"
#include "codec/open.h"
#include "codec/png.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include <png.h>
#include <zlib.h>

#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/picture_files.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = codec::DecodeError::Kind;
using Decoder = std::function<codec::DeclaredSize(const codec::ByteSource&, const codec::AllocateRows&, std::uint64_t)>;

constexpr std::uint64_t kLimit = std::uint64_t{1} << 28;
constexpr int kPad = 5;               // bytes after each row's pixels, which must stay untouched
constexpr std::uint8_t kCanary = 0xa5;

const Decoder kPng = [](const codec::ByteSource& s, const codec::AllocateRows& a, std::uint64_t m) {
    return codec::DecodePng(s, a, m);
};
const Decoder kJpeg = [](const codec::ByteSource& s, const codec::AllocateRows& a, std::uint64_t m) {
    return codec::DecodeJpeg(s, a, m);
};

// A picture as 3 * width bytes per row, blue green red.
struct Picture {
    int width = 0;
    int height = 0;
    Bytes bgr;
    bool operator==(const Picture&) const = default;
};

std::optional<Picture> QtDecode(const Bytes& file) {
    QByteArray data(reinterpret_cast<const char*>(file.data()), static_cast<qsizetype>(file.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    const QImage converted = image.convertToFormat(QImage::Format_BGR888);
    Picture picture{converted.width(), converted.height(), {}};
    for (int y = 0; y < converted.height(); ++y)
        picture.bgr.insert(picture.bgr.end(), converted.constScanLine(y), converted.constScanLine(y) + 3 * converted.width());
    return picture;
}

// A source giving the file in pieces of changing size (1 to 4099 bytes), so
// that reads straddle every kind of boundary.
codec::ByteSource PiecesOf(const Bytes& file, std::size_t& at) {
    return [&file, &at, piece = std::size_t{0}](std::uint8_t* buffer, std::size_t size) mutable {
        piece = (piece * 7 + 13) % 4099 + 1;
        const std::size_t n = std::min({size, piece, file.size() - at});
        if (n > 0) std::memcpy(buffer, file.data() + at, n);
        at += n;
        return n;
    };
}

struct Outcome {
    std::optional<Picture> picture;
    std::optional<Kind> error;
    std::string detail;
    std::uint64_t width = 0, height = 0;
    int allocations = 0;
    codec::Orientation orientation = codec::Orientation::kNormal;
};

// Decodes into rows padded with canary bytes and checks the padding.
Outcome Decode(const Decoder& decode, const Bytes& file, std::uint64_t maxPixels = kLimit) {
    Outcome outcome;
    Bytes store;
    std::ptrdiff_t stride = 0;
    std::size_t at = 0;
    try {
        const codec::DeclaredSize size = decode(
            PiecesOf(file, at),
            [&](int width, int height) {
                ++outcome.allocations;
                stride = 3 * std::ptrdiff_t{width} + kPad;
                store.assign(static_cast<std::size_t>(stride * height), kCanary);
                return ops::RowView{store.data(), width, height, stride};
            },
            maxPixels);
        Picture picture{static_cast<int>(size.width), static_cast<int>(size.height), {}};
        EXPECT_EQ(outcome.allocations, 1);
        for (int y = 0; y < picture.height; ++y) {
            const std::uint8_t* row = store.data() + y * stride;
            picture.bgr.insert(picture.bgr.end(), row, row + 3 * picture.width);
            for (int k = 0; k < kPad; ++k) EXPECT_EQ(row[3 * picture.width + k], kCanary) << "row " << y;
        }
        outcome.picture = picture;
        outcome.orientation = size.orientation;
    } catch (const codec::DecodeError& error) {
        outcome.error = error.kind();
        outcome.detail = error.what();
        outcome.width = error.width();
        outcome.height = error.height();
    }
    return outcome;
}

// ---------------------------------------------------------------- writers

extern "C" void AppendPng(png_structp png, png_bytep data, size_t size) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + size);
}
extern "C" void FlushPng(png_structp) {}

struct PngCase {
    const char* name;
    int colorType;
    int depth;
    bool trns = false;
    bool interlace = false;
    int width = 47;
    int height = 33;
    int paletteSize = 0;  // 0: 2^depth entries
    bool extras = false;  // tEXt, zTXt, gAMA and pHYs chunks too
};

int Channels(int colorType) {
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY: return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_PALETTE: return 1;
    case PNG_COLOR_TYPE_RGB: return 3;
    default: return 4;
    }
}

// Random samples; in files with tRNS every fifth pixel is the transparent
// value.
Bytes MakePng(const PngCase& c, std::uint32_t seed = 1) {
    std::mt19937 random(seed);
    const int channels = Channels(c.colorType);
    const int entries = c.colorType == PNG_COLOR_TYPE_PALETTE ? (c.paletteSize ? c.paletteSize : 1 << c.depth) : 0;
    const unsigned maxValue = entries ? entries - 1 : (1u << c.depth) - 1;
    std::vector<std::vector<unsigned>> samples(c.height, std::vector<unsigned>(static_cast<std::size_t>(c.width) * channels));
    for (auto& row : samples)
        for (auto& v : row) v = random() % (maxValue + 1);
    if (c.trns && c.colorType != PNG_COLOR_TYPE_PALETTE)
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x)
                if ((x + y * c.width) % 5 == 0)
                    for (int k = 0; k < channels; ++k) samples[y][x * channels + k] = samples[0][k];

    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, AppendPng, FlushPng);
    png_set_IHDR(png, info, c.width, c.height, c.depth, c.colorType,
                 c.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette(entries);
    for (auto& p : palette) p = {static_cast<png_byte>(random()), static_cast<png_byte>(random()), static_cast<png_byte>(random())};
    if (entries) png_set_PLTE(png, info, palette.data(), entries);
    if (c.trns) {
        if (entries) {
            std::vector<png_byte> alpha(entries / 2 + 1);
            for (auto& a : alpha) a = static_cast<png_byte>(random());
            alpha[0] = 0;
            png_set_tRNS(png, info, alpha.data(), static_cast<int>(alpha.size()), nullptr);
        } else {
            png_color_16 color{};
            color.gray = static_cast<png_uint_16>(samples[0][0]);
            color.red = static_cast<png_uint_16>(samples[0][0]);
            if (channels >= 3) {
                color.green = static_cast<png_uint_16>(samples[0][1]);
                color.blue = static_cast<png_uint_16>(samples[0][2]);
            }
            png_set_tRNS(png, info, nullptr, 0, &color);
        }
    }
    std::vector<png_text> texts;
    char key[] = "Comment", value[] = "written by the codec test";
    if (c.extras) {
        texts.push_back({PNG_TEXT_COMPRESSION_NONE, key, value, 0, 0, nullptr, nullptr});
        texts.push_back({PNG_TEXT_COMPRESSION_zTXt, key, value, 0, 0, nullptr, nullptr});
        png_set_text(png, info, texts.data(), static_cast<int>(texts.size()));
        png_set_gAMA(png, info, 1.0 / 1.8);
        png_set_pHYs(png, info, 3000, 3000, PNG_RESOLUTION_METER);
    }
    png_write_info(png, info);
    const int bits = c.depth * channels;
    std::vector<Bytes> rows(c.height, Bytes((static_cast<std::size_t>(c.width) * bits + 7) / 8));
    for (int y = 0; y < c.height; ++y) {
        for (std::size_t i = 0; i < samples[y].size(); ++i) {
            const unsigned v = samples[y][i];
            if (c.depth == 16) {
                rows[y][2 * i] = static_cast<std::uint8_t>(v >> 8);
                rows[y][2 * i + 1] = static_cast<std::uint8_t>(v);
            } else if (c.depth == 8) {
                rows[y][i] = static_cast<std::uint8_t>(v);
            } else {
                const std::size_t bit = i * c.depth;
                rows[y][bit / 8] |= static_cast<std::uint8_t>(v << (8 - c.depth - bit % 8));
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& r : rows) pointers.push_back(r.data());
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

extern "C" void ExitOnJpegError(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    ADD_FAILURE() << "libjpeg could not write the test file: " << text;
    std::abort();
}

struct JpegCase {
    const char* name;
    J_COLOR_SPACE space;  // as stored: JCS_GRAYSCALE, JCS_YCbCr, JCS_RGB, JCS_CMYK, JCS_YCCK
    int hSampling = 2;    // of the first component; the others are 1 x 1
    int vSampling = 2;
    bool progressive = false;
    int restartRows = 0;
    bool arithmetic = false;
    int width = 47;
    int height = 33;
};

Bytes MakeJpeg(const JpegCase& c, std::uint32_t seed = 1) {
    std::mt19937 random(seed);
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    errors.error_exit = ExitOnJpegError;
    jpeg_create_compress(&cinfo);
    unsigned char* memory = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &memory, &size);
    cinfo.image_width = c.width;
    cinfo.image_height = c.height;
    const bool gray = c.space == JCS_GRAYSCALE, inks = c.space == JCS_CMYK || c.space == JCS_YCCK;
    cinfo.input_components = gray ? 1 : inks ? 4 : 3;
    cinfo.in_color_space = gray ? JCS_GRAYSCALE : inks ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, c.space);
    jpeg_set_quality(&cinfo, 90, TRUE);
    cinfo.comp_info[0].h_samp_factor = c.hSampling;
    cinfo.comp_info[0].v_samp_factor = c.vSampling;
    for (int k = 1; k < cinfo.num_components; ++k) cinfo.comp_info[k].h_samp_factor = cinfo.comp_info[k].v_samp_factor = 1;
    if (c.progressive) jpeg_simple_progression(&cinfo);
    cinfo.restart_in_rows = c.restartRows;
    cinfo.arith_code = c.arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    Bytes row(static_cast<std::size_t>(c.width) * cinfo.input_components);
    while (cinfo.next_scanline < cinfo.image_height) {
        const unsigned y = cinfo.next_scanline;
        for (int x = 0; x < c.width; ++x)
            for (int k = 0; k < cinfo.input_components; ++k)
                row[x * cinfo.input_components + k] = static_cast<std::uint8_t>(x * 5 + y * 3 + k * 60 + random() % 40);
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&cinfo, &pointer, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes out(memory, memory + size);
    jpeg_destroy_compress(&cinfo);
    std::free(memory);
    return out;
}

// ---------------------------------------------------------------- byte-level builders

void Put32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void PutChunk(Bytes& out, const char* type, const Bytes& data) {
    Put32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    Put32(out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

Bytes Ihdr(std::uint32_t width, std::uint32_t height, int depth, int colorType) {
    Bytes data;
    Put32(data, width);
    Put32(data, height);
    data.insert(data.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(colorType), 0, 0, 0});
    return data;
}

Bytes PngSignature() { return {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'}; }

// A 1 x 1 gray PNG with the given chunks between IHDR and IDAT.
// A PNG from its header, the chunks middle adds before the image data, and
// its raw rows, each led by its filter byte.
Bytes SmallPng(const Bytes& ihdr, const std::function<void(Bytes&)>& middle, const Bytes& raw) {
    Bytes out = PngSignature();
    PutChunk(out, "IHDR", ihdr);
    middle(out);
    Bytes packed(compressBound(raw.size()));
    uLongf packedSize = packed.size();
    compress(packed.data(), &packedSize, raw.data(), raw.size());
    packed.resize(packedSize);
    PutChunk(out, "IDAT", packed);
    PutChunk(out, "IEND", {});
    return out;
}

void NoChunks(Bytes&) {}

Bytes TinyPng(const std::function<void(Bytes&)>& middle, std::uint8_t gray = 77) {
    return SmallPng(Ihdr(1, 1, 8, PNG_COLOR_TYPE_GRAY), middle, {0, gray});  // filter byte, one sample
}

// Finds the first chunk of a type; returns the offset of its length field.
std::size_t FindChunk(const Bytes& file, const char* type) {
    for (std::size_t at = 8; at + 8 <= file.size();) {
        const std::uint32_t length = (std::uint32_t{file[at]} << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
        if (std::memcmp(&file[at + 4], type, 4) == 0) return at;
        at += 12 + length;
    }
    ADD_FAILURE() << "no " << type << " chunk";
    return 0;
}

// Writes a gray or three-component progressive JPEG by hand: all-zero
// coefficients (a flat mid-gray picture) sent in `scans` scans, each one a
// legal step of the progression: one DC scan, then for each component and
// each AC coefficient a first scan at successive-approximation bit 13 and
// refinement scans down to bit 0. Zero coefficients cost almost nothing
// (runs of empty blocks), so thousands of scans fit in a few kilobytes.
Bytes ManyScanJpeg(int width, int height, int components, int scans) {
    Bytes out = {0xff, 0xd8};
    auto marker = [&](std::uint8_t code, const Bytes& body) {
        out.insert(out.end(), {0xff, code, static_cast<std::uint8_t>((body.size() + 2) >> 8), static_cast<std::uint8_t>(body.size() + 2)});
        out.insert(out.end(), body.begin(), body.end());
    };
    Bytes dqt = {0};
    dqt.insert(dqt.end(), 64, 1);
    marker(0xdb, dqt);
    Bytes sof = {8, static_cast<std::uint8_t>(height >> 8), static_cast<std::uint8_t>(height),
                 static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(width), static_cast<std::uint8_t>(components)};
    for (int c = 0; c < components; ++c) sof.insert(sof.end(), {static_cast<std::uint8_t>(c + 1), 0x11, 0});
    marker(0xc2, sof);
    // DC table: the one symbol 0 (no difference) as the 1-bit code "0".
    Bytes dht = {0x00, 1};
    dht.insert(dht.end(), 15, 0);
    dht.push_back(0);
    // AC table: the 15 end-of-band-run symbols EOB0..EOB14 as 4-bit codes.
    dht.insert(dht.end(), {0x10, 0, 0, 0, 15});
    dht.insert(dht.end(), 12, 0);
    for (int n = 0; n < 15; ++n) dht.push_back(static_cast<std::uint8_t>(n << 4));
    marker(0xc4, dht);

    const int blocksWide = (width + 7) / 8, blocksHigh = (height + 7) / 8;
    std::uint32_t accumulator = 0;
    int bits = 0;
    auto put = [&](std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            accumulator = (accumulator << 1) | ((value >> i) & 1);
            if (++bits == 8) {
                out.push_back(static_cast<std::uint8_t>(accumulator));
                if ((accumulator & 0xff) == 0xff) out.push_back(0);
                accumulator = 0;
                bits = 0;
            }
        }
    };
    auto flush = [&] {
        if (bits > 0) put(0xff, 8 - bits);  // pad with one-bits
    };
    auto sos = [&](const std::vector<int>& ids, int ss, int se, int ah, int al) {
        Bytes body = {static_cast<std::uint8_t>(ids.size())};
        for (int id : ids) body.insert(body.end(), {static_cast<std::uint8_t>(id), 0x00});
        body.insert(body.end(), {static_cast<std::uint8_t>(ss), static_cast<std::uint8_t>(se),
                                 static_cast<std::uint8_t>(ah << 4 | al)});
        marker(0xda, body);
    };

    int written = 0;
    std::vector<int> all;
    for (int c = 0; c < components; ++c) all.push_back(c + 1);
    sos(all, 0, 0, 0, 0);
    for (long b = 0; b < long{blocksWide} * blocksHigh * components; ++b) put(0, 1);
    flush();
    ++written;
    for (int c = 0; c < components && written < scans; ++c)
        for (int k = 1; k < 64 && written < scans; ++k)
            for (int bit = 13; bit >= 0 && written < scans; --bit) {
                const bool first = bit == 13;
                sos({c + 1}, k, k, first ? 0 : bit + 1, bit);
                for (long run = long{blocksWide} * blocksHigh; run > 0;) {
                    const long take = std::min(run, 32767L);
                    int n = 0;
                    while ((2L << n) <= take) ++n;
                    put(static_cast<std::uint32_t>(n), 4);
                    put(static_cast<std::uint32_t>(take - (1L << n)), n);
                    run -= take;
                }
                flush();
                ++written;
            }
    out.insert(out.end(), {0xff, 0xd9});
    return out;
}

// ---------------------------------------------------------------- PNG variants

class PngVariant : public testing::TestWithParam<PngCase> {};

// Our decoder and Qt's read the same file to the same pixels.
template <class Kind>
void ExpectSameAsQt(const Bytes& file, Kind kind) {
    const std::optional<Picture> qt = QtDecode(file);
    ASSERT_TRUE(qt.has_value()) << "Qt cannot read the test file";
    const Outcome ours = Decode(kind, file);
    ASSERT_TRUE(ours.picture.has_value()) << ours.detail;
    EXPECT_EQ(ours.picture->width, qt->width);
    EXPECT_EQ(ours.picture->height, qt->height);
    EXPECT_TRUE(ours.picture->bgr == qt->bgr);
}

TEST_P(PngVariant, MatchesQtByteForByte) { ExpectSameAsQt(MakePng(GetParam()), kPng); }

constexpr int G = PNG_COLOR_TYPE_GRAY, GA = PNG_COLOR_TYPE_GRAY_ALPHA, P = PNG_COLOR_TYPE_PALETTE,
              RGB = PNG_COLOR_TYPE_RGB, RGBA = PNG_COLOR_TYPE_RGB_ALPHA;

// Pictures without alpha or tRNS; the transparent ones are laid over white
// (PngTransparency below), which Qt does not do.
INSTANTIATE_TEST_SUITE_P(
    Png, PngVariant,
    testing::Values(PngCase{"gray1", G, 1}, PngCase{"gray2", G, 2}, PngCase{"gray4", G, 4}, PngCase{"gray8", G, 8},
                    PngCase{"gray16", G, 16}, PngCase{"palette1", P, 1}, PngCase{"palette2", P, 2},
                    PngCase{"palette4", P, 4}, PngCase{"palette8", P, 8},
                    PngCase{"palette8_short", P, 8, false, false, 47, 33, 100}, PngCase{"rgb8", RGB, 8},
                    PngCase{"rgb16", RGB, 16}, PngCase{"gray1_interlaced", G, 1, false, true},
                    PngCase{"gray8_interlaced", G, 8, false, true}, PngCase{"palette4_interlaced", P, 4, false, true},
                    PngCase{"rgb8_interlaced", RGB, 8, false, true}, PngCase{"rgb16_interlaced", RGB, 16, false, true},
                    PngCase{"rgb8_1x1", RGB, 8, false, false, 1, 1}, PngCase{"palette1_1x1", P, 1, false, false, 1, 1},
                    PngCase{"rgb8_interlaced_1x1", RGB, 8, false, true, 1, 1},
                    PngCase{"gray2_interlaced_3x2", G, 2, false, true, 3, 2},
                    PngCase{"rgb8_interlaced_wide", RGB, 8, false, true, 301, 9},
                    PngCase{"rgb8_extras", RGB, 8, false, false, 47, 33, 0, true},
                    PngCase{"gray16_extras", G, 16, false, false, 47, 33, 0, true}),
    [](const testing::TestParamInfo<PngCase>& info) { return std::string(info.param.name); });

// Every 16-bit sample value: scaled to 8 bits as Qt scales it (rounded).
TEST(PngCodec, EverySixteenBitValueMatchesQt) {
    Bytes raw;
    for (int y = 0; y < 256; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 256; ++x) raw.insert(raw.end(), {static_cast<std::uint8_t>(y), static_cast<std::uint8_t>(x)});
    }
    ExpectSameAsQt(SmallPng(Ihdr(256, 256, 16, PNG_COLOR_TYPE_GRAY), NoChunks, raw), kPng);
}

// ---------------------------------------------------------------- JPEG variants

class JpegVariant : public testing::TestWithParam<JpegCase> {};

TEST_P(JpegVariant, MatchesQtByteForByte) { ExpectSameAsQt(MakeJpeg(GetParam()), kJpeg); }

INSTANTIATE_TEST_SUITE_P(
    Jpeg, JpegVariant,
    testing::Values(JpegCase{"baseline420", JCS_YCbCr}, JpegCase{"baseline444", JCS_YCbCr, 1, 1},
                    JpegCase{"baseline422", JCS_YCbCr, 2, 1}, JpegCase{"baseline440", JCS_YCbCr, 1, 2},
                    JpegCase{"progressive420", JCS_YCbCr, 2, 2, true}, JpegCase{"progressive444", JCS_YCbCr, 1, 1, true},
                    JpegCase{"gray", JCS_GRAYSCALE, 1, 1}, JpegCase{"gray_progressive", JCS_GRAYSCALE, 1, 1, true},
                    JpegCase{"rgb", JCS_RGB, 1, 1}, JpegCase{"cmyk", JCS_CMYK, 1, 1},
                    JpegCase{"cmyk_progressive", JCS_CMYK, 1, 1, true}, JpegCase{"ycck", JCS_YCCK, 2, 2},
                    JpegCase{"restarts", JCS_YCbCr, 2, 2, false, 1},
                    JpegCase{"restarts_progressive", JCS_YCbCr, 2, 2, true, 2},
                    JpegCase{"arithmetic", JCS_YCbCr, 2, 2, false, 0, true},
                    JpegCase{"arithmetic_progressive", JCS_YCbCr, 2, 2, true, 0, true},
                    JpegCase{"1x1", JCS_YCbCr, 2, 2, false, 0, false, 1, 1},
                    JpegCase{"gray_1x1", JCS_GRAYSCALE, 1, 1, false, 0, false, 1, 1},
                    JpegCase{"odd_17x3", JCS_YCbCr, 2, 2, true, 0, false, 17, 3},
                    JpegCase{"wide_301x9", JCS_YCbCr, 2, 2, false, 1, false, 301, 9}),
    [](const testing::TestParamInfo<JpegCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- damage

struct CutCase {
    const char* name;
    Decoder decode;
    std::function<Bytes()> make;
};

class CutFile : public testing::TestWithParam<CutCase> {};

// Cut at a hundred offsets through the file and at each of its last 16
// bytes (the end marker): never a picture.
TEST_P(CutFile, IsDamagedAtEveryLength) {
    const Bytes file = GetParam().make();
    ASSERT_TRUE(Decode(GetParam().decode, file).picture.has_value());
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n < file.size(); n += std::max<std::size_t>(1, file.size() / 100)) lengths.push_back(n);
    for (std::size_t n = file.size() - std::min<std::size_t>(16, file.size()); n < file.size(); ++n) lengths.push_back(n);
    for (const std::size_t n : lengths) {
        const Outcome outcome = Decode(GetParam().decode, Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_FALSE(outcome.picture.has_value()) << "cut at " << n << " of " << file.size();
        EXPECT_EQ(outcome.error, Kind::kDamaged) << "cut at " << n << ": " << outcome.detail;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cut, CutFile,
    testing::Values(CutCase{"png_rgb", kPng, [] { return MakePng({"rgb8", RGB, 8, false, false, 47, 33, 0, true}); }},
                    CutCase{"png_palette_interlaced", kPng, [] { return MakePng({"p", P, 4, true, true}); }},
                    CutCase{"jpeg_baseline", kJpeg, [] { return MakeJpeg({"b", JCS_YCbCr}); }},
                    CutCase{"jpeg_progressive", kJpeg, [] { return MakeJpeg({"p", JCS_YCbCr, 2, 2, true}); }},
                    CutCase{"jpeg_restarts", kJpeg, [] { return MakeJpeg({"r", JCS_GRAYSCALE, 1, 1, false, 1}); }}),
    [](const testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

struct DamageCase {
    const char* name;
    std::function<Bytes()> make;
};

class DamagedPng : public testing::TestWithParam<DamageCase> {};

TEST_P(DamagedPng, IsRefused) {
    const Outcome outcome = Decode(kPng, GetParam().make());
    EXPECT_FALSE(outcome.picture.has_value());
    EXPECT_EQ(outcome.error, Kind::kDamaged) << outcome.detail;
    EXPECT_FALSE(outcome.detail.empty());
}

Bytes FlipInChunk(const char* type, std::size_t offset) {
    Bytes file = MakePng({"rgb8", RGB, 8, false, false, 47, 33, 0, true});
    file[FindChunk(file, type) + 8 + offset] ^= 0x10;
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Png, DamagedPng,
    testing::Values(
        DamageCase{"bad_ihdr_crc", [] { return FlipInChunk("IHDR", 3); }},
        DamageCase{"bad_idat_crc", [] { return FlipInChunk("IDAT", 20); }},
        DamageCase{"bad_text_crc", [] { return FlipInChunk("tEXt", 2); }},
        DamageCase{"bad_ztxt_crc", [] { return FlipInChunk("zTXt", 2); }},
        DamageCase{"unknown_critical_chunk", [] { return TinyPng([](Bytes& out) { PutChunk(out, "ABCD", {1, 2, 3}); }); }},
        DamageCase{"palette_index_outside_palette",
                   [] {
                       return SmallPng(Ihdr(1, 1, 8, PNG_COLOR_TYPE_PALETTE),
                                       [](Bytes& out) { PutChunk(out, "PLTE", {10, 20, 30, 40, 50, 60}); }, {0, 7});
                   }},
        DamageCase{"image_data_short",  // one row of four
                   [] { return SmallPng(Ihdr(4, 4, 8, PNG_COLOR_TYPE_GRAY), NoChunks, {0, 1, 2, 3, 4}); }},
        DamageCase{"zero_width", [] {
                       Bytes out = TinyPng([](Bytes&) {});
                       Bytes ihdr = Ihdr(0, 1, 8, PNG_COLOR_TYPE_GRAY);
                       Bytes fixed = PngSignature();
                       PutChunk(fixed, "IHDR", ihdr);
                       fixed.insert(fixed.end(), out.begin() + 33, out.end());
                       return fixed;
                   }}),
    [](const testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

// A progressive JPEG cut from a real picture, declaring 16384 x 16384 and
// sending its scans again and again: the first scan already runs out of
// data, which is damage, long before the picture's work is done.
TEST(JpegCodec, HugeDeclaredPictureWithEmptyScansIsRefused) {
    Bytes file = MakeJpeg({"p", JCS_YCbCr, 2, 2, true, 0, false, 16, 16});
    std::size_t sof = 2;
    while (!(file[sof] == 0xff && file[sof + 1] == 0xc2)) ++sof;
    file[sof + 5] = 0x40, file[sof + 6] = 0x00;  // height 16384
    file[sof + 7] = 0x40, file[sof + 8] = 0x00;  // width 16384
    std::size_t lastScan = file.size() - 2;
    while (!(file[lastScan] == 0xff && file[lastScan + 1] == 0xda)) --lastScan;
    const Bytes scan(file.begin() + static_cast<std::ptrdiff_t>(lastScan), file.end() - 2);
    file.resize(file.size() - 2);
    for (int k = 0; k < 3000; ++k) file.insert(file.end(), scan.begin(), scan.end());
    file.insert(file.end(), {0xff, 0xd9});
    const Outcome outcome = Decode(kJpeg, file);
    EXPECT_FALSE(outcome.picture.has_value());
    EXPECT_EQ(outcome.error, Kind::kDamaged) << outcome.detail;
}

// A legal progression of thousands of scans stops at the scan limit; the
// same file cut to the limit decodes, as Qt decodes it.
TEST(JpegCodec, ScanLimit) {
    const Bytes many = ManyScanJpeg(2048, 2048, 3, 2647);
    const Outcome refused = Decode(kJpeg, many);
    EXPECT_FALSE(refused.picture.has_value());
    EXPECT_EQ(refused.error, Kind::kUnsupported);
    EXPECT_NE(refused.detail.find("more than " + std::to_string(codec::kMaxJpegScans) + " scans"), std::string::npos)
        << refused.detail;

    for (const int scans : {codec::kMaxJpegScans, codec::kMaxJpegScans + 1}) {
        const Bytes file = ManyScanJpeg(64, 48, 3, scans);
        const Outcome outcome = Decode(kJpeg, file);
        if (scans <= codec::kMaxJpegScans) {
            ASSERT_TRUE(outcome.picture.has_value()) << scans << " scans: " << outcome.detail;
            const std::optional<Picture> qt = QtDecode(file);
            ASSERT_TRUE(qt.has_value());
            EXPECT_TRUE(outcome.picture->bgr == qt->bgr);
        } else {
            EXPECT_EQ(outcome.error, Kind::kUnsupported) << scans << " scans";
        }
    }
}

struct ChunkCase {
    const char* name;
    const char* type;
    Bytes data;
};

class SkippedChunk : public testing::TestWithParam<ChunkCase> {};

// Ancillary chunks, known or not, are skipped unread: even ones whose
// content is broken (a profile or text that does not decompress, a wrong
// length) leave the picture as it is.
TEST_P(SkippedChunk, LeavesThePicture) {
    const Bytes file = TinyPng([](Bytes& out) { PutChunk(out, GetParam().type, GetParam().data); }, 123);
    const Outcome outcome = Decode(kPng, file);
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_EQ(outcome.picture->bgr, (Bytes{123, 123, 123}));
}

INSTANTIATE_TEST_SUITE_P(
    Png, SkippedChunk,
    testing::Values(ChunkCase{"iccp_garbage", "iCCP", {'p', 0, 0, 1, 2, 3, 4}},
                    ChunkCase{"ztxt_garbage", "zTXt", {'k', 0, 0, 9, 9, 9}},
                    ChunkCase{"itxt_garbage", "iTXt", {'k', 0, 1, 0, 7, 7}},
                    ChunkCase{"srgb_wrong_length", "sRGB", {0, 0, 0}},
                    ChunkCase{"gama_zero", "gAMA", {0, 0, 0, 0}},
                    ChunkCase{"exif", "eXIf", {'M', 'M', 0, 42, 0, 0, 0, 8}},
                    ChunkCase{"unknown_ancillary", "vpAg", {1, 2, 3, 4, 5, 6, 7, 8, 9}},
                    ChunkCase{"empty_text", "tEXt", {}},
                    ChunkCase{"long_text", "tEXt", [] { Bytes d(2u << 20, 'x'); d[3] = 0; return d; }()},
                    ChunkCase{"long_unknown_ancillary", "vpAg", Bytes(9u << 20, 'y')}),
    [](const testing::TestParamInfo<ChunkCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- metadata cost

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
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return usage.ru_maxrss;
}

// Fifty zTXt chunks of 30 MB each once decompressed: skipped unread, so the
// picture decodes with memory close to that of decoding the bare 1 x 1 file.
TEST(PngCodec, CompressedTextBombCostsNothing) {
    const Bytes text(30u << 20, 'x');
    Bytes packed(compressBound(text.size()));
    uLongf packedSize = packed.size();
    ASSERT_EQ(compress2(packed.data(), &packedSize, text.data(), text.size(), 9), Z_OK);
    packed.resize(packedSize);
    Bytes chunk = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
    chunk.insert(chunk.end(), packed.begin(), packed.end());
    const Bytes bomb = TinyPng([&](Bytes& out) {
        for (int k = 0; k < 50; ++k) PutChunk(out, "zTXt", chunk);
    }, 200);
    const Bytes bare = TinyPng([](Bytes&) {}, 200);

    const Outcome outcome = Decode(kPng, bomb);
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_EQ(outcome.picture->bgr, (Bytes{200, 200, 200}));

    auto decodeIn = [](const Bytes& file) {
        return [&file] {
            if (!Decode(kPng, file).picture) _exit(1);
        };
    };
    const long barePeak = ChildPeakKilobytes(decodeIn(bare));
    const long bombPeak = ChildPeakKilobytes(decodeIn(bomb));
    // One chunk inflated would already be 30 MB.
    EXPECT_LT(bombPeak - barePeak, 16 * 1024) << "bare " << barePeak << " KB, bomb " << bombPeak << " KB";
}

// ---------------------------------------------------------------- limits and callbacks

struct LimitCase {
    const char* name;
    Decoder decode;
    std::function<Bytes()> make;
    std::uint64_t width, height;
};

class SizeLimit : public testing::TestWithParam<LimitCase> {};

// One pixel over the limit is refused before any allocation, naming the size;
// exactly at the limit the picture loads.
TEST_P(SizeLimit, RefusesBeforeAllocating) {
    const LimitCase& c = GetParam();
    const Bytes file = c.make();
    const std::uint64_t pixels = c.width * c.height;
    const Outcome over = Decode(c.decode, file, pixels - 1);
    EXPECT_EQ(over.error, Kind::kTooLarge);
    EXPECT_EQ(over.width, c.width);
    EXPECT_EQ(over.height, c.height);
    EXPECT_EQ(over.allocations, 0);
    const Outcome at = Decode(c.decode, file, pixels);
    ASSERT_TRUE(at.picture.has_value()) << at.detail;
    EXPECT_EQ(at.picture->width, static_cast<int>(c.width));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, SizeLimit,
    testing::Values(LimitCase{"png", kPng, [] { return MakePng({"rgb8", RGB, 8}); }, 47, 33},
                    LimitCase{"png_interlaced", kPng, [] { return MakePng({"g", G, 4, false, true, 5, 7}); }, 5, 7},
                    LimitCase{"jpeg", kJpeg, [] { return MakeJpeg({"b", JCS_YCbCr}); }, 47, 33},
                    LimitCase{"jpeg_progressive", kJpeg, [] { return MakeJpeg({"p", JCS_GRAYSCALE, 1, 1, true, 0, false, 9, 70}); }, 9, 70}),
    [](const testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

// Headers declaring huge pictures: the size is read and refused from the
// header alone, or (within the limit) passed to allocate, whose exception
// comes back unchanged. libpng's own default limit (a million per side) does
// not decide: a 3 x 89478485 picture is within 2^28 pixels.
TEST(PngJpegCodec, HugeDeclaredSizes) {
    Bytes wide = PngSignature();
    PutChunk(wide, "IHDR", Ihdr(70000, 70000, 8, PNG_COLOR_TYPE_RGB));
    Outcome outcome = Decode(kPng, wide);
    EXPECT_EQ(outcome.error, Kind::kTooLarge);
    EXPECT_EQ(outcome.width, 70000u);
    EXPECT_EQ(outcome.height, 70000u);
    EXPECT_EQ(outcome.allocations, 0);

    Bytes tall = PngSignature();
    PutChunk(tall, "IHDR", Ihdr(3, 89478485, 8, PNG_COLOR_TYPE_RGB));
    PutChunk(tall, "IDAT", {0x78, 0x9c});
    struct Refused {};
    std::size_t at = 0;
    int asked = 0;
    EXPECT_THROW(codec::DecodePng(PiecesOf(tall, at),
                                  [&](int width, int height) -> ops::RowView {
                                      ++asked;
                                      EXPECT_EQ(width, 3);
                                      EXPECT_EQ(height, 89478485);
                                      throw Refused{};
                                  },
                                  kLimit),
                 Refused);
    EXPECT_EQ(asked, 1);

    const Bytes jpeg = ManyScanJpeg(16384, 16384, 1, 1);
    outcome = Decode(kJpeg, jpeg, 16384u * 16383u);
    EXPECT_EQ(outcome.error, Kind::kTooLarge);
    EXPECT_EQ(outcome.width, 16384u);
    EXPECT_EQ(outcome.height, 16384u);
    EXPECT_EQ(outcome.allocations, 0);
}

struct ThrowCase {
    const char* name;
    Decoder decode;
    std::function<Bytes()> make;
    bool inSource;  // else in allocate
};

class CallbackThrows : public testing::TestWithParam<ThrowCase> {};

// An exception from the source (at several points of the file) or from
// allocate passes through the decoder as it is.
TEST_P(CallbackThrows, PassesThrough) {
    const ThrowCase& c = GetParam();
    const Bytes file = c.make();
    for (const std::size_t failAt : {std::size_t{0}, std::size_t{40}, file.size() / 2, file.size() - 1}) {
        std::size_t at = 0;
        const codec::ByteSource pieces = PiecesOf(file, at);
        const codec::ByteSource source = [&](std::uint8_t* buffer, std::size_t size) {
            if (c.inSource && at + size > failAt) throw std::runtime_error("read failed");
            return pieces(buffer, size);
        };
        Bytes store;
        const codec::AllocateRows allocate = [&](int width, int height) {
            if (!c.inSource) throw std::bad_alloc();
            store.resize(static_cast<std::size_t>(3 * width * height));
            return ops::RowView{store.data(), width, height, 3 * width};
        };
        if (c.inSource)
            EXPECT_THROW(c.decode(source, allocate, kLimit), std::runtime_error) << "at " << failAt;
        else
            EXPECT_THROW(c.decode(source, allocate, kLimit), std::bad_alloc);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, CallbackThrows,
    testing::Values(ThrowCase{"png_source", kPng, [] { return MakePng({"rgb8", RGB, 8}); }, true},
                    ThrowCase{"png_allocate", kPng, [] { return MakePng({"rgb8", RGB, 8}); }, false},
                    ThrowCase{"jpeg_source", kJpeg, [] { return MakeJpeg({"b", JCS_YCbCr}); }, true},
                    ThrowCase{"jpeg_allocate", kJpeg, [] { return MakeJpeg({"b", JCS_YCbCr}); }, false}),
    [](const testing::TestParamInfo<ThrowCase>& info) { return std::string(info.param.name); });

TEST(PngJpegCodec, Signatures) {
    const Bytes png = MakePng({"g", G, 8, false, false, 1, 1});
    const Bytes jpeg = MakeJpeg({"g", JCS_GRAYSCALE, 1, 1, false, 0, false, 1, 1});
    EXPECT_TRUE(codec::LooksLikePng(png));
    EXPECT_FALSE(codec::LooksLikePng(jpeg));
    EXPECT_FALSE(codec::LooksLikePng(std::span(png).first(7)));
    EXPECT_TRUE(codec::LooksLikeJpeg(jpeg));
    EXPECT_FALSE(codec::LooksLikeJpeg(png));
    EXPECT_FALSE(codec::LooksLikeJpeg(std::span(jpeg).first(2)));
}

// 12-bit samples and the lossless process are valid JPEG this program does
// not read.
TEST(JpegCodec, TwelveBitAndLosslessAreUnsupported) {
    const Bytes file = MakeJpeg({"g", JCS_GRAYSCALE, 1, 1});
    std::size_t sof = 2;
    while (!(file[sof] == 0xff && (file[sof + 1] == 0xc0 || file[sof + 1] == 0xc1))) ++sof;
    Bytes twelveBit = file;
    twelveBit[sof + 4] = 12;
    Bytes lossless = file;
    lossless[sof + 1] = 0xc3;
    for (const Bytes& variant : {twelveBit, lossless}) {
        const Outcome outcome = Decode(kJpeg, variant);
        EXPECT_EQ(outcome.error, Kind::kUnsupported) << outcome.detail;
    }
}

// ---------------------------------------------------------------- transparency

struct TransparencyCase {
    const char* name;
    int colorType;
    int depth;
    bool interlace = false;
    int width = 47;
    int height = 33;
    bool clear = false;  // alpha zero everywhere
};

void PrintTo(const TransparencyCase& c, std::ostream* out) { *out << c.name; }

// A PNG of random samples with alpha or tRNS (in tRNS files every fifth
// pixel is the transparent level or colour, in palette files the alphas
// are 0, 255 and between) and the rows expected from it: each pixel's
// samples scaled to 8 bits and laid over white, 16-bit ones before scaling.
struct TransparentPng {
    testfiles::PngPicture png;
    Bytes bgr;
};

TransparentPng MakeTransparent(const TransparencyCase& c) {
    std::mt19937 random(static_cast<std::uint32_t>(c.colorType * 100 + c.depth));
    testfiles::PngPicture p;
    p.colorType = c.colorType;
    p.depth = c.depth;
    p.width = c.width;
    p.height = c.height;
    p.interlace = c.interlace;
    const unsigned most = (1u << c.depth) - 1;
    const bool palette = c.colorType == PNG_COLOR_TYPE_PALETTE;
    if (palette) {
        for (unsigned i = 0; i <= most; ++i)
            p.palette.push_back({static_cast<png_byte>(random()), static_cast<png_byte>(random()), static_cast<png_byte>(random())});
        for (unsigned i = 0; i < (most + 1) * 3 / 4; ++i)  // the last quarter opaque
            p.paletteAlpha.push_back(static_cast<png_byte>(i % 3 == 0 ? 0 : i % 3 == 1 ? 255 : random()));
    }
    const int channels = Channels(c.colorType);
    const bool keyed = !palette && (c.colorType & PNG_COLOR_MASK_ALPHA) == 0;
    std::vector<unsigned> key(channels);
    for (unsigned& v : key) v = random() % (most + 1);
    if (keyed) {
        png_color_16 colour{};
        colour.gray = colour.red = static_cast<png_uint_16>(key[0]);
        if (channels == 3) colour.green = static_cast<png_uint_16>(key[1]), colour.blue = static_cast<png_uint_16>(key[2]);
        p.transparent = colour;
    }
    TransparentPng result;
    for (int i = 0; i < c.width * c.height; ++i) {
        std::vector<unsigned> pixel(channels);
        for (unsigned& v : pixel) v = random() % (most + 1);
        if (keyed && i % 5 == 0) pixel = key;
        if (c.clear) pixel.back() = 0;
        p.samples.insert(p.samples.end(), pixel.begin(), pixel.end());

        unsigned red = pixel[0], green = pixel[0], blue = pixel[0], alpha = most, top = most;
        if (palette) {
            const png_color entry = p.palette[pixel[0]];
            red = entry.red, green = entry.green, blue = entry.blue, top = 255;
            alpha = pixel[0] < p.paletteAlpha.size() ? p.paletteAlpha[pixel[0]] : 255;
        } else {
            if (channels >= 3) green = pixel[1], blue = pixel[2];
            if (c.colorType & PNG_COLOR_MASK_ALPHA) alpha = pixel.back();
            if (keyed && pixel == key) alpha = 0;
        }
        for (const unsigned v : {blue, green, red})
            result.bgr.push_back(c.depth == 16 ? codec::OverWhite16(v, alpha)
                                               : codec::OverWhite(v * 255 / top, alpha * 255 / top));
    }
    result.png = p;
    return result;
}

class PngTransparency : public testing::TestWithParam<TransparencyCase> {};

TEST_P(PngTransparency, LaysEveryPixelOverWhite) {
    const TransparentPng made = MakeTransparent(GetParam());
    const Outcome outcome = Decode(kPng, testfiles::WritePng(made.png));
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_EQ(outcome.picture->width, GetParam().width);
    EXPECT_TRUE(outcome.picture->bgr == made.bgr);
}

INSTANTIATE_TEST_SUITE_P(
    Png, PngTransparency,
    testing::Values(TransparencyCase{"rgba8", RGBA, 8}, TransparencyCase{"rgba16", RGBA, 16},
                    TransparencyCase{"grayalpha8", GA, 8}, TransparencyCase{"grayalpha16", GA, 16},
                    TransparencyCase{"palette1_trns", P, 1}, TransparencyCase{"palette2_trns", P, 2},
                    TransparencyCase{"palette4_trns", P, 4}, TransparencyCase{"palette8_trns", P, 8},
                    TransparencyCase{"gray1_trns", G, 1}, TransparencyCase{"gray2_trns", G, 2},
                    TransparencyCase{"gray4_trns", G, 4}, TransparencyCase{"gray8_trns", G, 8},
                    TransparencyCase{"gray16_trns", G, 16}, TransparencyCase{"rgb8_trns", RGB, 8},
                    TransparencyCase{"rgb16_trns", RGB, 16}, TransparencyCase{"rgba8_interlaced", RGBA, 8, true},
                    TransparencyCase{"rgba16_interlaced_wide", RGBA, 16, true, 301, 9},
                    TransparencyCase{"gray2_trns_interlaced_3x2", G, 2, true, 3, 2},
                    TransparencyCase{"palette8_trns_interlaced", P, 8, true},
                    TransparencyCase{"rgba16_1x1", RGBA, 16, false, 1, 1},
                    TransparencyCase{"grayalpha8_all_clear", GA, 8, false, 47, 33, true},
                    TransparencyCase{"rgba16_all_clear", RGBA, 16, false, 5, 3, true}),
    [](const testing::TestParamInfo<TransparencyCase>& info) { return std::string(info.param.name); });

// One 16-bit gray level is transparent: the level tRNS gives, compared at
// the full 16 bits, before the samples are reduced to 8 bits. Levels that
// share its high or its low byte stay opaque, each reduced to 8 bits as any
// opaque level is (v * 255 / 65535, rounded).
struct GrayKeyCase {
    const char* name;
    bool interlace;
    unsigned key;
    std::vector<unsigned> samples;  // a row of 16-bit levels
};

void PrintTo(const GrayKeyCase& c, std::ostream* out) { *out << c.name; }

codec::RandomAccess InMemory(const Bytes& file) {
    return {file.size(), [&file](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                const std::size_t n = offset >= file.size() ? 0 : std::min<std::size_t>(size, file.size() - offset);
                std::memcpy(buffer, file.data() + offset, n);
                return n;
            }};
}

// The rows codec::OpenPicture gives, read whole or one by one.
Picture OpenedPicture(const Bytes& file, codec::Reading reading) {
    codec::OpenOptions options;
    options.reading = reading;
    options.maxPixels = kLimit;
    const std::unique_ptr<codec::Picture> opened = codec::OpenPicture(InMemory(file), 0, options);
    Picture picture{opened->width(), opened->height(), {}};
    picture.bgr.resize(3 * static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height));
    opened->ReadWhole([&picture](int width, int height) {
        return ops::RowView{picture.bgr.data(), width, height, 3 * static_cast<std::ptrdiff_t>(width)};
    });
    return picture;
}

class PngGray16Key : public testing::TestWithParam<GrayKeyCase> {};

TEST_P(PngGray16Key, IsTheOneTransparentLevelAtFullDepth) {
    const GrayKeyCase& c = GetParam();
    testfiles::PngPicture p;
    p.colorType = PNG_COLOR_TYPE_GRAY;
    p.depth = 16;
    p.width = static_cast<int>(c.samples.size());
    p.height = 3;
    p.interlace = c.interlace;
    for (int y = 0; y < p.height; ++y) p.samples.insert(p.samples.end(), c.samples.begin(), c.samples.end());
    png_color_16 key{};
    key.gray = static_cast<png_uint_16>(c.key);
    p.transparent = key;
    const Bytes file = testfiles::WritePng(p);
    Picture want{p.width, p.height, {}};
    for (int y = 0; y < p.height; ++y)
        for (const unsigned level : c.samples) {
            const auto shown = static_cast<std::uint8_t>(level == c.key ? 255 : (level * 255 + 32767) / 65535);
            want.bgr.insert(want.bgr.end(), {shown, shown, shown});
        }
    const Outcome outcome = Decode(kPng, file);
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_TRUE(*outcome.picture == want);
    for (const codec::Reading reading : {codec::Reading::kWhole, codec::Reading::kRows})
        EXPECT_TRUE(OpenedPicture(file, reading) == want) << (reading == codec::Reading::kWhole ? "whole" : "by rows");
}

INSTANTIATE_TEST_SUITE_P(
    Png, PngGray16Key,
    testing::Values(
        // 0x4C77, 0x4C00 and 0x4C12 share the key's high byte (and reduce
        // to its 8 bits), 0x1313 and 0x4D13 its low byte.
        GrayKeyCase{"key_among_levels_sharing_its_bytes", false, 0x4C13,
                    {0x4C13, 0x4C77, 0x4C00, 0x1313, 0x4D13, 0x0000, 0xFFFF}},
        GrayKeyCase{"key_among_levels_sharing_its_bytes_interlaced", true, 0x4C13,
                    {0x4C13, 0x4C77, 0x4C00, 0x1313, 0x4D13, 0x0000, 0xFFFF, 0x4C13, 0x4C12}},
        GrayKeyCase{"key_black", false, 0x0000, {0x0000, 0x0001, 0x0080, 0x0100}},
        GrayKeyCase{"key_of_a_low_byte_alone", false, 0x00FF, {0x00FF, 0xFF00, 0xFFFF}},
        GrayKeyCase{"key_no_level_has", false, 0x8000, {0x7FFF, 0x8001, 0x80FF}}),
    [](const testing::TestParamInfo<GrayKeyCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- orientation in the files

// The chunk added to the file just before the named one.
Bytes WithChunkBefore(Bytes file, const char* before, const char* type, const Bytes& data) {
    Bytes chunk;
    PutChunk(chunk, type, data);
    const std::size_t at = FindChunk(file, before);
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin(), chunk.end());
    return file;
}

const testfiles::Rgb kBlocks = testfiles::Blocks(2, 2, 8);

Bytes Exif(codec::Orientation orientation, bool bigEndian = false) { return testfiles::ExifBlock(orientation, bigEndian); }

Bytes JpegWithApp1(const std::vector<Bytes>& payloads) { return testfiles::WriteJpeg(kBlocks, {.app1 = payloads}); }

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct OrientationCase {
    const char* name;
    bool png;
    std::function<Bytes()> make;
    codec::Orientation expected;
};

void PrintTo(const OrientationCase& c, std::ostream* out) { *out << c.name; }

class FileOrientation : public testing::TestWithParam<OrientationCase> {};

// The orientation of the first EXIF block, or as stored when that block is
// damaged; the stored pixels are those of the same picture without EXIF.
TEST_P(FileOrientation, ComesFromTheFirstExifBlock) {
    const OrientationCase& c = GetParam();
    const Decoder& decode = c.png ? kPng : kJpeg;
    const Outcome outcome = Decode(decode, c.make());
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_EQ(outcome.orientation, c.expected);
    const Outcome plain = Decode(decode, c.png ? testfiles::WritePng(kBlocks) : testfiles::WriteJpeg(kBlocks));
    ASSERT_TRUE(plain.picture.has_value());
    EXPECT_TRUE(outcome.picture == plain.picture);
}

using codec::Orientation;

Bytes PngWithExif(const std::vector<Bytes>& blocks, const char* before = "IDAT") {
    Bytes file = testfiles::WritePng(kBlocks);
    for (const Bytes& block : blocks) file = WithChunkBefore(file, before, "eXIf", block);
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Exif, FileOrientation,
    testing::Values(
        OrientationCase{"jpeg_intel", false, [] { return JpegWithApp1({testfiles::ExifSegment(Exif(Orientation::kTransversed))}); },
                        Orientation::kTransversed},
        OrientationCase{"jpeg_motorola", false,
                        [] { return JpegWithApp1({testfiles::ExifSegment(Exif(Orientation::kMirrored, true))}); },
                        Orientation::kMirrored},
        OrientationCase{"jpeg_first_exif_decides", false,
                        [] {
                            return JpegWithApp1({testfiles::ExifSegment(Exif(Orientation::kTurned90)),
                                                 testfiles::ExifSegment(Exif(Orientation::kTurned270))});
                        },
                        Orientation::kTurned90},
        OrientationCase{"jpeg_xmp_before_exif", false,
                        [] {
                            const std::string xmp("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>", 41);
                            return JpegWithApp1({Bytes(xmp.begin(), xmp.end()), testfiles::ExifSegment(Exif(Orientation::kTurned180))});
                        },
                        Orientation::kTurned180},
        OrientationCase{"jpeg_largest_segment", false,
                        [] {
                            Bytes block = Exif(Orientation::kFlipped, true);
                            block.resize(65533 - 6, 0x5a);
                            return JpegWithApp1({testfiles::ExifSegment(block)});
                        },
                        Orientation::kFlipped},
        OrientationCase{"jpeg_exif_cut", false,
                        [] {
                            const Bytes block = Exif(Orientation::kTurned90);
                            return JpegWithApp1({testfiles::ExifSegment(Bytes(block.begin(), block.begin() + 15))});
                        },
                        Orientation::kNormal},
        OrientationCase{"jpeg_exif_garbage", false,
                        [] { return JpegWithApp1({testfiles::ExifSegment(Bytes(40, 0x4d))}); }, Orientation::kNormal},
        OrientationCase{"jpeg_exif_signature_only", false, [] { return JpegWithApp1({testfiles::ExifSegment({})}); },
                        Orientation::kNormal},
        OrientationCase{"jpeg_exif_without_signature", false, [] { return JpegWithApp1({Exif(Orientation::kTurned90)}); },
                        Orientation::kNormal},
        OrientationCase{"png_intel", true, [] { return PngWithExif({Exif(Orientation::kTransposed)}); },
                        Orientation::kTransposed},
        OrientationCase{"png_after_image_data", true,
                        [] { return PngWithExif({Exif(Orientation::kTurned270, true)}, "IEND"); }, Orientation::kTurned270},
        OrientationCase{"png_first_exif_decides", true,
                        [] { return PngWithExif({Exif(Orientation::kTurned90), Exif(Orientation::kTurned180)}); },
                        Orientation::kTurned90},
        OrientationCase{"png_longer_than_kept", true,
                        [] {
                            Bytes block = Exif(Orientation::kMirrored);
                            block.resize(100000, 0xff);
                            return PngWithExif({block});
                        },
                        Orientation::kMirrored},
        OrientationCase{"png_exif_garbage", true, [] { return PngWithExif({Bytes(40, 0x49)}); }, Orientation::kNormal},
        OrientationCase{"png_exif_empty", true, [] { return PngWithExif({Bytes{}}); }, Orientation::kNormal}),
    [](const testing::TestParamInfo<OrientationCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- ImageMagick's raw EXIF profile

// A text chunk's data: the keyword, then for zTXt the compression method
// and the compressed text, for iTXt the compression flag and method, an
// empty language tag and translated keyword and the text, compressed or
// not.
Bytes TextChunk(const char* type, const std::string& keyword, const std::string& text, bool compressed = false) {
    Bytes data(keyword.begin(), keyword.end());
    data.push_back(0);
    Bytes body(text.begin(), text.end());
    if (std::strcmp(type, "zTXt") == 0 || compressed) {
        Bytes packed(compressBound(body.size()));
        uLongf packedSize = packed.size();
        compress(packed.data(), &packedSize, body.data(), body.size());
        packed.resize(packedSize);
        body = packed;
    }
    if (std::strcmp(type, "zTXt") == 0) data.push_back(0);
    if (std::strcmp(type, "iTXt") == 0) data.insert(data.end(), {static_cast<std::uint8_t>(compressed ? 1 : 0), 0, 0, 0});
    data.insert(data.end(), body.begin(), body.end());
    return data;
}

const std::string kRawExif = "Raw profile type exif";

// ImageMagick's profile of an EXIF block, "Exif\0\0" first, as it writes it.
std::string RawExif(codec::Orientation orientation, bool bigEndian = false) {
    return testfiles::RawProfileText(testfiles::ExifSegment(Exif(orientation, bigEndian)));
}

// The small picture with the chunks, each before the named one (IDAT or
// IEND), in order.
struct Chunk {
    const char* before;
    const char* type;
    Bytes data;
};
Bytes PngWithChunks(const std::vector<Chunk>& chunks) {
    Bytes file = testfiles::WritePng(kBlocks);
    for (const Chunk& c : chunks) file = WithChunkBefore(file, c.before, c.type, c.data);
    return file;
}

struct RawProfileCase {
    const char* name;
    std::function<Bytes()> make;
    codec::Orientation expected;
};

void PrintTo(const RawProfileCase& c, std::ostream* out) { *out << c.name; }

class PngRawExifProfile : public testing::TestWithParam<RawProfileCase> {};

// The profile turns the picture as an eXIf chunk of the same value does:
// while the file streams past the decoder, where its chunks are walked
// before the rows are read, and through codec::OpenPicture either way.
TEST_P(PngRawExifProfile, TurnsThePictureAsAnExifChunkWould) {
    const RawProfileCase& c = GetParam();
    const Bytes file = c.make();
    const Outcome outcome = Decode(kPng, file);
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_EQ(outcome.orientation, c.expected);
    EXPECT_EQ(codec::PngOrientationOf(InMemory(file)), c.expected);
    const Bytes same = PngWithExif({Exif(c.expected)});
    for (const codec::Reading reading : {codec::Reading::kWhole, codec::Reading::kRows})
        EXPECT_TRUE(OpenedPicture(file, reading) == OpenedPicture(same, reading))
            << (reading == codec::Reading::kWhole ? "whole" : "by rows");
}

using codec::Orientation;

INSTANTIATE_TEST_SUITE_P(
    Exif, PngRawExifProfile,
    testing::Values(
        RawProfileCase{"text", [] { return PngWithChunks({{"IDAT", "tEXt", TextChunk("tEXt", kRawExif, RawExif(Orientation::kTurned90))}}); },
                       Orientation::kTurned90},
        RawProfileCase{"compressed_text",
                       [] { return PngWithChunks({{"IDAT", "zTXt", TextChunk("zTXt", kRawExif, RawExif(Orientation::kTurned270, true))}}); },
                       Orientation::kTurned270},
        RawProfileCase{"international_text",
                       [] { return PngWithChunks({{"IDAT", "iTXt", TextChunk("iTXt", kRawExif, RawExif(Orientation::kMirrored))}}); },
                       Orientation::kMirrored},
        RawProfileCase{"international_text_compressed",
                       [] { return PngWithChunks({{"IDAT", "iTXt", TextChunk("iTXt", kRawExif, RawExif(Orientation::kFlipped), true)}}); },
                       Orientation::kFlipped},
        RawProfileCase{"after_the_image_data",
                       [] { return PngWithChunks({{"IEND", "zTXt", TextChunk("zTXt", kRawExif, RawExif(Orientation::kTransposed))}}); },
                       Orientation::kTransposed},
        RawProfileCase{"block_without_the_exif_signature",
                       [] {
                           return PngWithChunks({{"IDAT", "tEXt",
                                                  TextChunk("tEXt", kRawExif, testfiles::RawProfileText(Exif(Orientation::kTransversed)))}});
                       },
                       Orientation::kTransversed},
        RawProfileCase{"after_other_text",
                       [] {
                           return PngWithChunks({{"IDAT", "tEXt", TextChunk("tEXt", "Comment", "made by hand")},
                                                 {"IDAT", "zTXt", TextChunk("zTXt", "Raw profile type iptc", RawExif(Orientation::kTurned90))},
                                                 {"IDAT", "tEXt", TextChunk("tEXt", kRawExif, RawExif(Orientation::kTurned180))}});
                       },
                       Orientation::kTurned180},
        RawProfileCase{"longer_than_kept",
                       [] {
                           Bytes block = testfiles::ExifSegment(Exif(Orientation::kTurned90));
                           block.resize(300000, 0x5a);
                           return PngWithChunks({{"IDAT", "tEXt", TextChunk("tEXt", kRawExif, testfiles::RawProfileText(block))}});
                       },
                       Orientation::kTurned90},
        RawProfileCase{"exif_chunk_after_decides",
                       [] {
                           return PngWithChunks({{"IDAT", "tEXt", TextChunk("tEXt", kRawExif, RawExif(Orientation::kTurned180))},
                                                 {"IEND", "eXIf", Exif(Orientation::kTurned90)}});
                       },
                       Orientation::kTurned90},
        RawProfileCase{"exif_chunk_before_decides",
                       [] {
                           return PngWithChunks({{"IDAT", "eXIf", Exif(Orientation::kMirrored)},
                                                 {"IEND", "zTXt", TextChunk("zTXt", kRawExif, RawExif(Orientation::kTurned180))}});
                       },
                       Orientation::kMirrored},
        RawProfileCase{"first_profile_decides",
                       [] {
                           return PngWithChunks({{"IDAT", "tEXt", TextChunk("tEXt", kRawExif, RawExif(Orientation::kTurned270))},
                                                 {"IEND", "tEXt", TextChunk("tEXt", kRawExif, RawExif(Orientation::kTurned90))}});
                       },
                       Orientation::kTurned270},
        RawProfileCase{"first_profile_decides_damaged",
                       [] {
                           return PngWithChunks({{"IDAT", "tEXt", TextChunk("tEXt", kRawExif, "\nexif\n      40\n4578")},
                                                 {"IEND", "tEXt", TextChunk("tEXt", kRawExif, RawExif(Orientation::kTurned90))}});
                       },
                       Orientation::kNormal},
        RawProfileCase{"compressed_text_that_does_not_inflate",
                       [] {
                           Bytes data(kRawExif.begin(), kRawExif.end());
                           data.insert(data.end(), {0, 0, 1, 2, 3, 4, 5, 6});  // the keyword's end, zlib, no zlib stream
                           return PngWithChunks({{"IDAT", "zTXt", data}});
                       },
                       Orientation::kNormal},
        RawProfileCase{"another_keyword", [] { return PngWithChunks({{"IDAT", "tEXt", TextChunk("tEXt", "Raw profile type APP1", RawExif(Orientation::kTurned90))}}); },
                       Orientation::kNormal},
        RawProfileCase{"keyword_cut", [] { return PngWithChunks({{"IDAT", "tEXt", Bytes(kRawExif.begin(), kRawExif.begin() + 10)}}); },
                       Orientation::kNormal}),
    [](const testing::TestParamInfo<RawProfileCase>& info) { return std::string(info.param.name); });

// A raw profile that inflates to 30 MB is read only as far as its first
// 256 KiB: the picture decodes with memory close to that of the bare file.
TEST(PngCodec, CompressedRawProfileBombCostsLittle) {
    std::string text = RawExif(Orientation::kTurned90);
    text.resize(30u << 20, '0');
    const Bytes chunk = TextChunk("zTXt", kRawExif, text);
    const Bytes bomb = PngWithChunks({{"IDAT", "zTXt", chunk}});
    const Bytes bare = testfiles::WritePng(kBlocks);
    const Outcome outcome = Decode(kPng, bomb);
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_EQ(outcome.orientation, Orientation::kTurned90);
    auto decodeIn = [](const Bytes& file) {
        return [&file] {
            if (!Decode(kPng, file).picture) _exit(1);
        };
    };
    const long barePeak = ChildPeakKilobytes(decodeIn(bare));
    const long bombPeak = ChildPeakKilobytes(decodeIn(bomb));
    EXPECT_LT(bombPeak - barePeak, 4 * 1024) << "bare " << barePeak << " KB, bomb " << bombPeak << " KB";
}

// ---------------------------------------------------------------- quirks viewers forgive

// The offset of the first marker FF code after SOI (the n-th, counting from 1).
std::size_t FindMarker(const Bytes& file, std::uint8_t code, int nth = 1) {
    for (std::size_t at = 2; at + 1 < file.size(); ++at)
        if (file[at] == 0xff && file[at + 1] == code && --nth == 0) return at;
    ADD_FAILURE() << "no marker " << int{code};
    return 2;
}

Bytes InsertAt(Bytes file, std::size_t at, const Bytes& bytes) {
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
    return file;
}

struct QuirkCase {
    const char* name;
    Decoder decode;
    std::function<Bytes()> clean;
    std::function<Bytes(const Bytes&)> quirk;
};

void PrintTo(const QuirkCase& c, std::ostream* out) { *out << c.name; }

class ForgivenQuirk : public testing::TestWithParam<QuirkCase> {};

// The file with the quirk loads, to exactly the pixels of the clean file.
TEST_P(ForgivenQuirk, LoadsAsTheCleanFile) {
    const QuirkCase& c = GetParam();
    const Bytes clean = c.clean();
    const Bytes quirky = c.quirk(clean);
    ASSERT_NE(quirky, clean);
    const Outcome expected = Decode(c.decode, clean);
    ASSERT_TRUE(expected.picture.has_value()) << expected.detail;
    const Outcome outcome = Decode(c.decode, quirky);
    ASSERT_TRUE(outcome.picture.has_value()) << outcome.detail;
    EXPECT_TRUE(outcome.picture == expected.picture);
    EXPECT_EQ(outcome.orientation, Orientation::kNormal);
}

Bytes BaselineJpeg() { return MakeJpeg({"b", JCS_YCbCr}); }
Bytes ProgressiveJpeg() { return MakeJpeg({"p", JCS_YCbCr, 2, 2, true}); }

// A 4 x 1 gray picture of the four 2-bit levels.
Bytes FourLevels(const std::function<void(Bytes&)>& middle) {
    return SmallPng(Ihdr(4, 1, 2, PNG_COLOR_TYPE_GRAY), middle, {0, 0x1b});
}
Bytes TwoColours(const std::function<void(Bytes&)>& middle) {
    return SmallPng(Ihdr(2, 1, 8, PNG_COLOR_TYPE_RGB), middle, {0, 44, 10, 20, 1, 2, 3});
}
Bytes TwoEntries(const std::function<void(Bytes&)>& trns) {
    return SmallPng(Ihdr(2, 1, 8, PNG_COLOR_TYPE_PALETTE),
                    [&](Bytes& out) {
                        PutChunk(out, "PLTE", {10, 20, 30, 40, 50, 60});
                        trns(out);
                    },
                    {0, 0, 1});
}
// A 3 x 2 gray picture whose compressed data is followed by more.
Bytes GrayWithData(const Bytes& raw, const Bytes& after = {}) {
    Bytes packed(compressBound(raw.size()));
    uLongf packedSize = packed.size();
    compress(packed.data(), &packedSize, raw.data(), raw.size());
    packed.resize(packedSize);
    packed.insert(packed.end(), after.begin(), after.end());
    Bytes out = PngSignature();
    PutChunk(out, "IHDR", Ihdr(3, 2, 8, PNG_COLOR_TYPE_GRAY));
    PutChunk(out, "IDAT", packed);
    PutChunk(out, "IEND", {});
    return out;
}
const Bytes kGrayRows = {0, 1, 2, 3, 0, 4, 5, 6};

INSTANTIATE_TEST_SUITE_P(
    Quirks, ForgivenQuirk,
    testing::Values(
        QuirkCase{"jpeg_stray_bytes_before_a_marker", kJpeg, BaselineJpeg,
                  [](const Bytes& f) { return InsertAt(f, FindMarker(f, 0xc0), {0x00, 0x12, 0x34}); }},
        QuirkCase{"jpeg_stray_bytes_between_scans", kJpeg, ProgressiveJpeg,
                  [](const Bytes& f) { return InsertAt(f, FindMarker(f, 0xda, 2), {0x12, 0x34, 0x56, 0x78}); }},
        QuirkCase{"jpeg_exif_segment_length_too_short", kJpeg, BaselineJpeg,
                  [](const Bytes& f) {
                      // The length covers "Exif\0\0" only: the block after it is stray bytes.
                      return InsertAt(f, 2, Concat({0xff, 0xe1, 0x00, 0x08, 'E', 'x', 'i', 'f', 0, 0}, Exif(Orientation::kTurned90)));
                  }},
        QuirkCase{"jpeg_app_segment_length_below_2", kJpeg, BaselineJpeg,
                  [](const Bytes& f) { return InsertAt(f, 2, {0xff, 0xe1, 0x00, 0x01}); }},
        QuirkCase{"jpeg_unknown_marker", kJpeg, BaselineJpeg,
                  [](const Bytes& f) { return InsertAt(f, FindMarker(f, 0xc0), {0xff, 0xf3, 0x00, 0x06, 0xff, 0xd9, 0xff, 0xc0}); }},
        QuirkCase{"jpeg_unknown_marker_empty", kJpeg, BaselineJpeg,
                  [](const Bytes& f) { return InsertAt(f, 2, {0xff, 0x30, 0x00, 0x02}); }},
        QuirkCase{"jpeg_unknown_marker_between_scans", kJpeg, ProgressiveJpeg,
                  [](const Bytes& f) { return InsertAt(f, FindMarker(f, 0xda, 3), {0xff, 0xff, 0xfd, 0x00, 0x05, 1, 2, 3}); }},
        QuirkCase{"jpeg_unknown_jfif_version", kJpeg, BaselineJpeg,
                  [](const Bytes& f) {
                      Bytes file = f;
                      file[11] = 3;  // major version, after FF E0, length and "JFIF\0"
                      return file;
                  }},
        QuirkCase{"jpeg_unknown_adobe_transform", kJpeg,
                  [] {  // without its JFIF header, which would decide the colours first
                      Bytes file = BaselineJpeg();
                      file.erase(file.begin() + 2, file.begin() + 2 + 2 + 16);
                      return file;
                  },
                  [](const Bytes& f) {
                      return InsertAt(f, 2, {0xff, 0xee, 0x00, 0x0e, 'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 7});
                  }},
        QuirkCase{"png_trns_gray_out_of_range", kPng, [] { return FourLevels(NoChunks); },
                  [](const Bytes&) { return FourLevels([](Bytes& out) { PutChunk(out, "tRNS", {0, 5}); }); }},
        QuirkCase{"png_trns_colour_out_of_range", kPng, [] { return TwoColours(NoChunks); },
                  [](const Bytes&) { return TwoColours([](Bytes& out) { PutChunk(out, "tRNS", {1, 44, 1, 10, 1, 20}); }); }},
        QuirkCase{"png_trns_longer_than_palette", kPng, [] { return TwoEntries(NoChunks); },
                  [](const Bytes&) { return TwoEntries([](Bytes& out) { PutChunk(out, "tRNS", {0, 0, 0}); }); }},
        QuirkCase{"png_trns_wrong_length", kPng, [] { return FourLevels(NoChunks); },
                  [](const Bytes&) { return FourLevels([](Bytes& out) { PutChunk(out, "tRNS", {0, 1, 0}); }); }},
        QuirkCase{"png_trns_with_alpha_channel", kPng,
                  [] { return SmallPng(Ihdr(1, 1, 8, PNG_COLOR_TYPE_RGB_ALPHA), NoChunks, {0, 1, 2, 3, 200}); },
                  [](const Bytes&) {
                      return SmallPng(Ihdr(1, 1, 8, PNG_COLOR_TYPE_RGB_ALPHA),
                                      [](Bytes& out) { PutChunk(out, "tRNS", {0, 1, 0, 2, 0, 3}); }, {0, 1, 2, 3, 200});
                  }},
        QuirkCase{"png_extra_compressed_data", kPng, [] { return GrayWithData(kGrayRows); },
                  [](const Bytes&) { return GrayWithData(kGrayRows, {1, 2, 3, 4}); }},
        QuirkCase{"png_too_much_image_data", kPng, [] { return GrayWithData(kGrayRows); },
                  [](const Bytes&) { return GrayWithData(Concat(kGrayRows, {0, 7, 8, 9})); }}),
    [](const testing::TestParamInfo<QuirkCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- damage that stays refused

class RefusedDamage : public testing::TestWithParam<QuirkCase> {};

TEST_P(RefusedDamage, IsDamaged) {
    const QuirkCase& c = GetParam();
    const Bytes clean = c.clean();
    ASSERT_TRUE(Decode(c.decode, clean).picture.has_value());
    const Outcome outcome = Decode(c.decode, c.quirk(clean));
    EXPECT_FALSE(outcome.picture.has_value());
    EXPECT_EQ(outcome.error, Kind::kDamaged) << outcome.detail;
}

// The scan's data of a baseline JPEG starts after its SOS segment.
std::size_t ScanData(const Bytes& file) {
    const std::size_t sos = FindMarker(file, 0xda);
    return sos + 2 + ((std::size_t{file[sos + 2]} << 8) | file[sos + 3]);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, RefusedDamage,
    testing::Values(
        QuirkCase{"jpeg_cut_in_half", kJpeg, BaselineJpeg,
                  [](const Bytes& f) { return Bytes(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(f.size() / 2)); }},
        QuirkCase{"jpeg_marker_inside_the_scan", kJpeg, BaselineJpeg,
                  [](const Bytes& f) { return InsertAt(f, (ScanData(f) + f.size()) / 2, {0xff, 0xd9}); }},
        QuirkCase{"jpeg_bad_huffman_code", kJpeg, BaselineJpeg,
                  [](const Bytes& f) {
                      Bytes file = f;
                      const std::size_t at = (ScanData(f) + f.size()) / 2;
                      for (std::size_t k = 0; k < 8; k += 2) file[at + k] = 0xff, file[at + k + 1] = 0x00;
                      return file;
                  }},
        QuirkCase{"jpeg_restart_marker_lost", kJpeg, [] { return MakeJpeg({"r", JCS_GRAYSCALE, 1, 1, false, 1}); },
                  [](const Bytes& f) {
                      Bytes file = f;
                      const std::size_t at = FindMarker(f, 0xd1);
                      file.erase(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at) + 2);
                      return file;
                  }},
        QuirkCase{"jpeg_unknown_marker_inside_the_scan", kJpeg, BaselineJpeg,
                  [](const Bytes& f) {
                      return InsertAt(f, (ScanData(f) + f.size()) / 2, {0xff, 0xf3, 0x00, 0x04, 0xab, 0xcd, 0x12, 0x34});
                  }},
        QuirkCase{"jpeg_unknown_marker_without_length", kJpeg, BaselineJpeg,
                  [](const Bytes& f) { return InsertAt(f, FindMarker(f, 0xc0), {0xff, 0xf3, 0x00, 0x01}); }},
        QuirkCase{"png_without_image_data", kPng, [] { return FourLevels(NoChunks); },
                  [](const Bytes& f) {
                      Bytes file = f;
                      const std::size_t at = FindChunk(f, "IDAT");
                      file.erase(file.begin() + static_cast<std::ptrdiff_t>(at),
                                 file.begin() + static_cast<std::ptrdiff_t>(FindChunk(f, "IEND")));
                      return file;
                  }},
        QuirkCase{"png_palette_crc_error", kPng, [] { return TwoEntries(NoChunks); },
                  [](const Bytes& f) {
                      Bytes file = f;
                      file[FindChunk(f, "PLTE") + 8] ^= 1;
                      return file;
                  }},
        QuirkCase{"png_exif_crc_error", kPng, [] { return PngWithExif({Exif(Orientation::kTurned90)}); },
                  [](const Bytes& f) {
                      Bytes file = f;
                      file[FindChunk(f, "eXIf") + 10] ^= 1;
                      return file;
                  }}),
    [](const testing::TestParamInfo<QuirkCase>& info) { return std::string(info.param.name); });

}  // namespace
