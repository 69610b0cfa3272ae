// Reading a picture file top to bottom, one row at a time, in memory that
// follows the width rather than the height wherever the format allows.
//
// Every reader hands out the rows the whole-picture load gives, byte for
// byte: the format known from the file's first bytes, the picture turned or
// mirrored as its file says, transparent pixels laid over white paper, as
// 24-bit rows (blue, green, red).
//
// How each format is read:
//   PNG   not interlaced: row by row through libpng; each IDAT chunk's CRC
//         is checked before libpng decodes anything from it. Interlaced:
//         whole.
//   JPEG  scanline by scanline through libjpeg; a progressive file is held
//         by libjpeg as its coefficients (2 bytes a sample).
//   TIFF  a strip, or a row of tiles, at a time.
//   BMP   uncompressed: rows read at their offsets, up to 256 KiB of them at a time.
//         Run-length: whole.
//   GIF, PNM, ICO/CUR: whole, through their decoders.
// A picture shown mirrored left to right streams too, each row mirrored. A
// picture shown otherwise turned or mirrored is read whole: its stored rows
// are read top to bottom, 32 at a time, into the shown picture.
//
// Opening a reader reads the headers only (a whole read happens at the
// first row), so that the size is known before any work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/decode.h"

namespace codec {

// A picture read top to bottom, one row at a time.
class RowReader {
public:
    virtual ~RowReader() = default;
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;

    // The size as shown (after orientation). 0 x 0 for a BMP file that
    // declares no pixels (the whole load gives an empty picture); Next is
    // then never to be called.
    int width() const { return width_; }
    int height() const { return height_; }

    // The next row as the picture is shown: 3 * width bytes blue, green,
    // red. Throws DecodeError when the file is damaged at or before this
    // row (the row is then not given; the reader stays failed), or when the
    // picture is read whole, when it is damaged anywhere: no row is ever
    // made up. The last row also checks the file's end (PNG up to IEND, JPEG
    // up to EOI), where the whole load does. Exceptions from the file's
    // reads pass through unchanged. Calling it past the last row throws
    // std::logic_error.
    virtual void Next(std::uint8_t* row) = 0;

protected:
    RowReader(int width, int height) : width_(width), height_(height) {}

private:
    int width_;
    int height_;
};

struct RowReaderLimits {
    // The largest picture accepted at all: DecodeError kTooLarge (with an
    // empty what(), the picture's width and height) over it.
    std::uint64_t maxPixels = 0;
    // The most bytes a reader may hold where it must hold much of the
    // picture: a picture read whole (3 bytes a pixel, and the file's bytes
    // for a run-length BMP, the bitmap for an icon, a second copy for an
    // interlaced PNG that is turned), a turned picture (3 bytes a pixel and
    // 32 stored rows), a progressive JPEG's coefficients, a TIFF strip or
    // row of tiles (decoded samples and 24-bit rows). Over it: TooMuchToHold.
    std::uint64_t wholeBytes = 0;
};

// The picture is within maxPixels, but reading it would hold more than
// wholeBytes: kind() kTooLarge, width() and height() the picture's size as
// stored, what() a sentence that says so, with the bytes needed.
class TooMuchToHold : public DecodeError {
public:
    TooMuchToHold(std::uint64_t width, std::uint64_t height, std::uint64_t needed, std::uint64_t allowed);
    std::uint64_t needed() const { return needed_; }
    std::uint64_t allowed() const { return allowed_; }

private:
    std::uint64_t needed_;
    std::uint64_t allowed_;
};

// Opens page `page` (0 the first) of the file for reading by rows: what
// OpenPicture (codec/open.h) does with Reading::kRows, as a RowReader. The
// file must stay readable, its bytes unchanged, while the reader is used.
// Throws DecodeError: kTooLarge over maxPixels, TooMuchToHold, kDamaged
// (EmptyFile for an empty file), kUnsupported (also for a format not read);
// NoSuchPage (a std::out_of_range) when the file has no such page (any file
// but a TIFF file has one). Exceptions from file.read pass through
// unchanged.
std::unique_ptr<RowReader> OpenRowReader(const RandomAccess& file, std::uint32_t page, const RowReaderLimits& limits);

}  // namespace codec
