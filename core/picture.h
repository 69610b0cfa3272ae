// The picture layer: a bitmap and a pane's picture in plain memory.
//
// Every picture is held as 24-bit rows (three bytes a pixel, blue, green,
// red, each row padded to a multiple of 4 bytes, the padding zero), whatever
// the file held, so the pixel work always gets the row layout it expects;
// the window shows the same bytes without copying them. Copies are
// independent: two bitmaps share their bytes only until one side writes.
//
// Failures throw Exception with a message that names the file and the reason,
// e.g.  Cannot read "A.bmp": no such file
//
// Reading goes through codec::OpenPicture, which knows a file's format from
// its first bytes (the table in codec/formats.h) and reads no more of it
// than that format's decoder needs. One limit decides for every format. A
// TIFF file may hold several pages; any other file holds one.
// A picture loads as a viewer shows it: turned or mirrored as its file's
// orientation says (EXIF in JPEG and PNG, the Orientation tag in TIFF), with
// transparent pixels laid over white paper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/decode.h"
#include "core/files.h"
#include "ops/pixels.h"

// How many pages the picture file holds: a TIFF file's pages, 1 for any
// other file. Reads no more than the format's header and, for TIFF, its
// chain of directories; throws Exception as loading does.
int PageCount(const FileName& fileName);

// Pictures with more pixels than this are refused before any pixel is
// allocated (about 268 megapixels, 16384 x 16384).
inline constexpr std::uint64_t kMaxPicturePixels = std::uint64_t{1} << 28;
// A row holds at most this many pixels: its bits must fit a signed 32-bit
// count, as the window's toolkit needs to show it.
inline constexpr std::uint64_t kMaxPictureWidth = (0x7FFFFFFFull - 31) / 24;

class TBitmap {
public:
    bool Empty() const { return pixels_ == nullptr; }
    int Width() const { return Empty() ? 0 : pixels_->width; }
    int Height() const { return Empty() ? 0 : pixels_->height; }
    // The bytes from one row to the next: 3 * Width() rounded up to 4.
    std::ptrdiff_t BytesPerLine() const { return Empty() ? 0 : pixels_->stride; }

    // Reads a BMP file: the bitmap takes its size and pixels.
    void LoadFromFile(const FileName& fileName);
    // Writes an uncompressed 24-bit BMP file, replacing the named file only
    // once the new one is complete; its pixels a metre are the bitmap's
    // resolution, or 2835 (72 dpi) when it has none.
    void SaveToFile(const FileName& fileName) const;
    // Becomes an independent copy of the other bitmap, its resolution too.
    void Assign(const TBitmap& other) {
        pixels_ = other.pixels_;
        resolution_ = other.resolution_;
    }

    // The resolution the picture's file declares, as shown (none when it
    // declares none, and for a bitmap never loaded from a file). Loading
    // sets it; the pixel work leaves it; copies and writes keep it.
    const codec::Resolution& Resolution() const { return resolution_; }
    void SetResolution(const codec::Resolution& resolution) { resolution_ = resolution; }
    // Converts the pixels to 24-bit rows, keeping every pixel's colour. A
    // bitmap here always holds 24-bit rows, so this leaves it as it is.
    void ConvertTo24Bit() {}

    // A writable view of row y; writes change this bitmap only.
    std::uint8_t* ScanLine(int y);
    // A writable view of all rows (empty for an empty bitmap).
    ops::RowView Rows();
    // The rows for reading only (empty for an empty bitmap).
    ops::RowView ConstRows() const;

    // Becomes a new picture of width x height pixels whose rows the caller
    // fills (padding zero), of no resolution; empty when either is 0.
    // Throws std::bad_alloc.
    ops::RowView Allocate(int width, int height);

    // A number that changes whenever the pixels may have changed (a new
    // picture, or a writable view handed out); equal for two bitmaps that
    // share their bytes unchanged. 0 for an empty bitmap.
    std::uint64_t Key() const { return Empty() ? 0 : pixels_->key; }

private:
    struct Pixels {
        int width = 0;
        int height = 0;
        std::ptrdiff_t stride = 0;
        std::uint64_t key = 0;
        std::unique_ptr<std::uint8_t[]> bytes;
    };
    std::shared_ptr<Pixels> pixels_;  // null when empty
    codec::Resolution resolution_;
};

// PictureRows could read the picture only by holding more than wholeBytes.
class PictureTooLargeToHold : public Exception {
public:
    PictureTooLargeToHold(const std::string& message, std::uint64_t width, std::uint64_t height, std::uint64_t needed)
        : Exception(message), width(width), height(height), needed(needed) {}
    std::uint64_t width, height;  // as stored
    std::uint64_t needed;         // the bytes reading it would hold
};

// A picture read top to bottom a row at a time, for the many-pictures mode's
// stream: the rows that TPicture::LoadFromFile gives for the same file and
// page, byte for byte (24-bit, as shown), and the same messages when it
// fails, whether at the start or at a damaged row halfway. Non-interlaced
// PNG, JPEG, TIFF and uncompressed BMP are read by rows; anything else
// (and a picture its file turns) is decoded whole, which must fit in
// wholeBytes (PictureTooLargeToHold when it does not). maxPixels is the
// largest picture accepted.
class PictureRows {
public:
    PictureRows(const FileName& fileName, int page, std::uint64_t maxPixels, std::uint64_t wholeBytes);
    ~PictureRows();
    PictureRows(const PictureRows&) = delete;
    PictureRows& operator=(const PictureRows&) = delete;

    int Width() const;
    int Height() const;
    // The resolution the file declares, as shown (as TBitmap::Resolution).
    codec::Resolution Resolution() const;
    // The next row, 3 * Width() bytes. Throws Exception.
    void Next(std::uint8_t* row);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A pane's picture: at most one graphic, always held as a bitmap here.
class TPicture {
public:
    // Reads a picture file of any kind the loader knows (BMP, PNG, JPEG, TIFF,
    // GIF, PPM, ...), converted to 24-bit rows: the given page (0 the first)
    // of a file that has several. A page past the last fails with the
    // message "the file has only N pages".
    void LoadFromFile(const FileName& fileName, int page = 0);
    void SaveToFile(const FileName& fileName) const { bitmap_.SaveToFile(fileName); }
    void Assign(const TBitmap& bitmap) { bitmap_.Assign(bitmap); }
    // The picture as a bitmap; a picture never given one yields an empty bitmap.
    const TBitmap& Bitmap() const { return bitmap_; }

private:
    TBitmap bitmap_;
};
