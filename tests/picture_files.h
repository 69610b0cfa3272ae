// Test pictures written as files: JPEG and PNG through libjpeg and libpng
// from given pixels, EXIF blocks by hand, and where the EXIF definition of
// each orientation value shows a stored pixel.
#pragma once

#include <png.h>
#include <zlib.h>

#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codec/decode.h"

namespace testfiles {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- orientation

inline std::string OrientationName(codec::Orientation orientation) {
    static const char* const kNames[] = {"normal",     "mirrored", "turned180",   "flipped",
                                         "transposed", "turned90", "transversed", "turned270"};
    return kNames[static_cast<int>(orientation) - 1];
}

struct Place {
    int x, y;
};

// Where the stored pixel (x, y) of a width x height picture is shown, by
// the EXIF table: for each value, the side of the shown picture that the
// stored first row runs along and the side the stored first column runs
// along.
inline Place ShownPlace(codec::Orientation orientation, int width, int height, int x, int y) {
    struct Sides {
        char firstRow, firstColumn;  // 't'op, 'b'ottom, 'l'eft, 'r'ight
    };
    static const Sides kTable[] = {{'t', 'l'}, {'t', 'r'}, {'b', 'r'}, {'b', 'l'},
                                   {'l', 't'}, {'r', 't'}, {'r', 'b'}, {'l', 'b'}};
    const Sides sides = kTable[static_cast<int>(orientation) - 1];
    if (sides.firstRow == 't' || sides.firstRow == 'b')  // rows stay rows
        return {sides.firstColumn == 'l' ? x : width - 1 - x, sides.firstRow == 't' ? y : height - 1 - y};
    // rows become columns: the shown picture is height wide
    return {sides.firstRow == 'l' ? y : height - 1 - y, sides.firstColumn == 't' ? x : width - 1 - x};
}

// ---------------------------------------------------------------- EXIF

// TIFF-structured bytes in either byte order.
struct TiffWriter {
    explicit TiffWriter(bool bigEndian) : big(bigEndian) {}
    bool big;
    Bytes bytes;

    void U16(std::uint16_t v) {
        const std::uint8_t hi = static_cast<std::uint8_t>(v >> 8), lo = static_cast<std::uint8_t>(v);
        bytes.insert(bytes.end(), big ? std::initializer_list<std::uint8_t>{hi, lo} : std::initializer_list<std::uint8_t>{lo, hi});
    }
    void U32(std::uint32_t v) {
        if (big)
            U16(static_cast<std::uint16_t>(v >> 16)), U16(static_cast<std::uint16_t>(v));
        else
            U16(static_cast<std::uint16_t>(v)), U16(static_cast<std::uint16_t>(v >> 16));
    }
    void Header(std::uint32_t firstDirectory) {
        bytes.push_back(big ? 'M' : 'I');
        bytes.push_back(big ? 'M' : 'I');
        U16(42);
        U32(firstDirectory);
    }
    void Pad(std::size_t size) { bytes.resize(std::max(bytes.size(), size), 0); }
};

// An EXIF block (the TIFF structure, without "Exif\0\0") whose first
// directory holds the orientation and nothing else.
inline Bytes ExifBlock(codec::Orientation orientation, bool bigEndian) {
    TiffWriter out(bigEndian);
    out.Header(8);
    out.U16(1);
    out.U16(0x0112);
    out.U16(3);  // SHORT
    out.U32(1);
    out.U16(static_cast<std::uint16_t>(orientation));
    out.U16(0);
    out.U32(0);  // no next directory
    return out.bytes;
}

// The payload of a JPEG APP1 segment holding the block.
inline Bytes ExifSegment(const Bytes& block) {
    Bytes payload(6 + block.size(), 0);
    std::memcpy(payload.data(), "Exif", 4);
    std::copy(block.begin(), block.end(), payload.begin() + 6);
    return payload;
}

// ImageMagick's text form of a profile, as it writes the EXIF block into a
// PNG text chunk: a line break, the name, a line break, the length in eight
// columns, a line break, then the bytes in lower-case hex digits, 72 to a
// line, each line ended by a line break.
inline std::string RawProfileText(const Bytes& block, const std::string& name = "exif") {
    char length[24];
    std::snprintf(length, sizeof length, "%8zu", block.size());
    std::string text = "\n" + name + "\n" + length + "\n";
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < block.size(); ++i) {
        text += kDigits[block[i] >> 4];
        text += kDigits[block[i] & 15];
        if (i % 36 == 35 || i + 1 == block.size()) text += '\n';
    }
    return text;
}

// ---------------------------------------------------------------- pictures

// 24-bit pixels, red, green, blue, row by row.
struct Rgb {
    int width = 0, height = 0;
    Bytes pixels;
    const std::uint8_t* at(int x, int y) const { return pixels.data() + 3 * (static_cast<std::size_t>(y) * width + x); }
};

// Flat blocks of size x size pixels, each a colour of its own, far apart
// from the others, so that their places survive JPEG's loss.
inline Rgb Blocks(int columns, int rows, int size) {
    Rgb picture{columns * size, rows * size, {}};
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const int block = (y / size) * columns + x / size;
            picture.pixels.insert(picture.pixels.end(),
                                  {static_cast<std::uint8_t>(block & 1 ? 230 : 20), static_cast<std::uint8_t>(block & 2 ? 230 : 20),
                                   static_cast<std::uint8_t>(block & 4 ? 230 : 20)});
        }
    return picture;
}

extern "C" inline void ExitOnJpegWriteError(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    ADD_FAILURE() << "libjpeg could not write the test file: " << text;
    std::abort();
}

struct JpegOptions {
    std::vector<Bytes> app1 = {};  // APP1 segments' payloads, after the JFIF header
    bool gray = false;             // one component: the picture's first byte of each pixel
    bool progressive = false;
    int restartRows = 0;
    int quality = 95;
    // The JFIF header's density: unit 0 (aspect ratio only, libjpeg's
    // default 1:1), 1 dots an inch, 2 dots a centimetre.
    int densityUnit = 0;
    int xDensity = 1, yDensity = 1;
};

// A JPEG of the picture through libjpeg, 4:4:4 for colour: baseline unless
// asked otherwise.
inline Bytes WriteJpeg(const Rgb& picture, const JpegOptions& options = {}) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    errors.error_exit = ExitOnJpegWriteError;
    jpeg_create_compress(&cinfo);
    unsigned char* memory = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &memory, &size);
    cinfo.image_width = static_cast<JDIMENSION>(picture.width);
    cinfo.image_height = static_cast<JDIMENSION>(picture.height);
    cinfo.input_components = options.gray ? 1 : 3;
    cinfo.in_color_space = options.gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    cinfo.density_unit = static_cast<UINT8>(options.densityUnit);
    cinfo.X_density = static_cast<UINT16>(options.xDensity);
    cinfo.Y_density = static_cast<UINT16>(options.yDensity);
    for (int k = 0; k < cinfo.num_components; ++k) cinfo.comp_info[k].h_samp_factor = cinfo.comp_info[k].v_samp_factor = 1;
    if (options.progressive) jpeg_simple_progression(&cinfo);
    cinfo.restart_in_rows = options.restartRows;
    jpeg_start_compress(&cinfo, TRUE);
    for (const Bytes& payload : options.app1)
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, payload.data(), static_cast<unsigned>(payload.size()));
    Bytes row(3 * static_cast<std::size_t>(picture.width));
    while (cinfo.next_scanline < cinfo.image_height) {
        const std::uint8_t* from = picture.at(0, static_cast<int>(cinfo.next_scanline));
        for (int x = 0; x < picture.width; ++x)
            if (options.gray) row[x] = from[3 * x];
            else std::memcpy(&row[3 * x], from + 3 * x, 3);
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&cinfo, &pointer, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes out(memory, memory + size);
    jpeg_destroy_compress(&cinfo);
    std::free(memory);
    return out;
}

extern "C" inline void AppendPngBytes(png_structp png, png_bytep data, size_t size) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + size);
}
extern "C" inline void FlushPngBytes(png_structp) {}

// A PNG of the given samples (row by row, channels interleaved; 16-bit
// samples as numbers), with an optional palette (and its tRNS alphas), an
// optional transparent gray level or colour, and an optional eXIf chunk.
struct PngPicture {
    int colorType = PNG_COLOR_TYPE_RGB;
    int depth = 8;
    int width = 0, height = 0;
    bool interlace = false;
    std::vector<unsigned> samples;
    std::vector<png_color> palette;
    std::vector<png_byte> paletteAlpha;
    std::optional<png_color_16> transparent;
    std::optional<Bytes> exif;
    // A pHYs chunk: x, y and the unit (PNG_RESOLUTION_METER or _UNKNOWN).
    std::optional<std::array<png_uint_32, 3>> phys;
};

inline Bytes WritePng(const PngPicture& p) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, AppendPngBytes, FlushPngBytes);
    png_set_IHDR(png, info, static_cast<png_uint_32>(p.width), static_cast<png_uint_32>(p.height), p.depth, p.colorType,
                 p.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!p.palette.empty()) png_set_PLTE(png, info, p.palette.data(), static_cast<int>(p.palette.size()));
    if (!p.paletteAlpha.empty())
        png_set_tRNS(png, info, p.paletteAlpha.data(), static_cast<int>(p.paletteAlpha.size()), nullptr);
    png_color_16 transparent = p.transparent.value_or(png_color_16{});
    if (p.transparent) png_set_tRNS(png, info, nullptr, 0, &transparent);
    if (p.phys) png_set_pHYs(png, info, (*p.phys)[0], (*p.phys)[1], static_cast<int>((*p.phys)[2]));
    if (p.exif) png_set_eXIf_1(png, info, static_cast<png_uint_32>(p.exif->size()), const_cast<png_bytep>(p.exif->data()));
    png_write_info(png, info);
    const std::size_t perRow = p.samples.size() / static_cast<std::size_t>(p.height);
    std::vector<Bytes> rows(static_cast<std::size_t>(p.height), Bytes((perRow * p.depth + 7) / 8));
    for (int y = 0; y < p.height; ++y)
        for (std::size_t i = 0; i < perRow; ++i) {
            const unsigned v = p.samples[y * perRow + i];
            if (p.depth == 16) {
                rows[y][2 * i] = static_cast<std::uint8_t>(v >> 8);
                rows[y][2 * i + 1] = static_cast<std::uint8_t>(v);
            } else {
                const std::size_t bit = i * p.depth;
                rows[y][bit / 8] |= static_cast<std::uint8_t>(v << (8 - p.depth - bit % 8));
            }
        }
    std::vector<png_bytep> pointers;
    for (Bytes& row : rows) pointers.push_back(row.data());
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// An RGB PNG of the picture.
inline Bytes WritePng(const Rgb& picture, std::optional<Bytes> exif = std::nullopt) {
    PngPicture p;
    p.width = picture.width;
    p.height = picture.height;
    p.samples.assign(picture.pixels.begin(), picture.pixels.end());
    p.exif = std::move(exif);
    return WritePng(p);
}

}  // namespace testfiles
