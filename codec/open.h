// Opening a picture file: the one way in for every format the program reads.
//
// OpenPicture knows the format from the file's first bytes (see the table in
// codec/formats.h), checks the page asked for, reads the headers, and hands
// back the picture's size as shown (after the orientation its file gives),
// its page count and its rows: one at a time (Next) or whole (ReadWhole,
// into rows the caller gives). Transparent pixels are laid over white
// paper; rows are 24-bit (blue, green, red).
//
// The two ways of reading are told apart when the file is opened
// (OpenOptions::reading), since they read the file differently:
//   kRows   what codec/row_reader.h describes: memory that follows the
//           width where the format allows, each PNG IDAT chunk's CRC
//           checked before libpng decodes a row from it, a JPEG file whose
//           orientation comes only after its pixels refused.
//   kWhole  each format's decoder writes straight into the caller's rows;
//           only a picture its file turns or mirrors is decoded into rows
//           held here first and then turned into the caller's. Nothing is
//           held beyond that and the decoder's own memory.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>

#include "codec/decode.h"
#include "codec/formats.h"
#include "codec/row_reader.h"

namespace codec {

enum class Reading { kRows, kWhole };

struct OpenOptions {
    Reading reading = Reading::kRows;
    // The largest picture accepted: DecodeError kTooLarge (with an empty
    // what(), the picture's width and height as stored) over it.
    std::uint64_t maxPixels = 0;
    // kRows only: the most bytes a reader may hold (RowReaderLimits).
    std::uint64_t wholeBytes = std::numeric_limits<std::uint64_t>::max();
    // kWhole only: the widest rows the caller's AllocateRows can give.
    // Wider: RowsTooWide, for the stored rows when the headers are read
    // (where the decoder would ask for them), for the shown rows of a turned
    // picture once it is decoded.
    std::uint64_t maxWidth = std::numeric_limits<std::uint64_t>::max();
    // Format::kUnknown takes every format the program reads; any other
    // value only that one (OtherFormat for the rest).
    Format only = Format::kUnknown;
};

// The file has no bytes: kind() kDamaged, what() "the file is empty".
class EmptyFile : public DecodeError {
public:
    EmptyFile() : DecodeError(Kind::kDamaged, "the file is empty") {}
};

// The file is not of the one format OpenOptions::only asks for: kind()
// kUnsupported, what() "not a BMP file" (the format's FormatName).
class OtherFormat : public DecodeError {
public:
    OtherFormat(Format wanted, Format found);
    Format wanted() const { return wanted_; }
    Format found() const { return found_; }

private:
    Format wanted_, found_;
};

// Rows wider than OpenOptions::maxWidth: kind() kTooLarge, width() and
// height() the size of the rows refused (as stored, or as shown), what()
// empty.
class RowsTooWide : public DecodeError {
public:
    RowsTooWide(std::uint64_t width, std::uint64_t height, std::uint64_t limit)
        : DecodeError(Kind::kTooLarge, "", width, height), limit_(limit) {}
    std::uint64_t limit() const { return limit_; }

private:
    std::uint64_t limit_;
};

// An opened picture file.
class Picture {
public:
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    Format format() const { return format_; }
    // The file's pages: a TIFF file's, 1 for any other.
    std::uint32_t pages() const { return pages_; }
    // The size as stored and the orientation, as the headers give them
    // (after ReadWhole, as the whole file gives them).
    const DeclaredSize& stored() const { return stored_; }
    // The size as shown. 0 x 0 for a BMP file that declares no pixels: it
    // has no rows, and ReadWhole does not ask for any. After ReadWhole, the
    // size of the rows it gave (a JPEG file whose EXIF data stands after
    // its pixels is known to be turned only once they are read).
    int width() const { return width_; }
    int height() const { return height_; }
    // The resolution the file declares, as shown: the stored one with x and
    // y swapped when the orientation shows the stored rows as columns.
    Resolution resolution() const;

    // The next row as shown: 3 * width bytes. As RowReader::Next; only for
    // a picture opened with Reading::kRows.
    void Next(std::uint8_t* row);

    // Every row as shown, into rows from allocate: called once with the
    // shown size, after the headers are checked (for a turned picture, once
    // it is decoded); twice only for a JPEG file whose EXIF data after its
    // pixels turns the picture, which is decoded into the first rows and
    // turned into the second. Not called for a picture of no pixels.
    // Throws DecodeError as the format's decoder does (and RowsTooWide);
    // exceptions from allocate and the file's reads pass through
    // unchanged. Only once, and not after Next.
    void ReadWhole(const AllocateRows& allocate);

    // What a format's opener gives (see Opener).
    struct Opened {
        DeclaredSize stored;  // from the headers
        std::uint32_t pages = 1;
        // Reading::kRows: the rows as shown.
        std::unique_ptr<RowReader> rows;
        // Reading::kWhole: decodes the stored rows into rows from the
        // allocate it is given (once, with the stored size; never for a
        // picture of no pixels), and returns the orientation as the whole
        // file gives it.
        std::function<Orientation(const AllocateRows& allocate)> whole;
    };

private:
    friend std::unique_ptr<Picture> OpenPicture(const RandomAccess& file, std::uint32_t page,
                                                const OpenOptions& options);
    Picture() = default;

    Format format_ = Format::kUnknown;
    std::uint32_t pages_ = 1;
    DeclaredSize stored_;
    int width_ = 0, height_ = 0;
    std::uint64_t maxWidth_ = 0;
    Opened opened_;
    bool started_ = false;
};

// Opens page `page` (0 the first) of the file. The file must stay readable,
// its bytes unchanged, while the picture is read; the picture keeps its own
// copy of `file`. Checks, in this order: EmptyFile; OtherFormat (when
// options.only names a format); DecodeError kUnsupported "not a picture
// format this program reads"; NoSuchPage (after the TIFF chain of
// directories is walked, whose damage throws DecodeError); then the
// format's headers: DecodeError kTooLarge over maxPixels, TooMuchToHold
// (kRows), RowsTooWide (kWhole), kDamaged, kUnsupported, kNoMemory.
// Exceptions from file.read pass through unchanged.
std::unique_ptr<Picture> OpenPicture(const RandomAccess& file, std::uint32_t page, const OpenOptions& options);

// The file's pages without reading any picture: a TIFF file's (walking its
// chain of directories, whose damage throws DecodeError), 1 for any other
// file, also one of no known format or no bytes.
std::uint32_t PageCount(const RandomAccess& file);

// A format's part of OpenPicture, named in its line of the table in
// codec/formats.cpp: reads the headers of the page (which exists) for the
// reading options asks for.
using Opener = Picture::Opened (*)(const RandomAccess& file, std::uint32_t page, const OpenOptions& options);

// The opener in the format's line of the table; nullptr for kUnknown.
Opener OpenerOf(Format format);

// The openers of the formats that read by rows (codec/open.cpp).
Picture::Opened OpenPng(const RandomAccess& file, std::uint32_t page, const OpenOptions& options);
Picture::Opened OpenJpeg(const RandomAccess& file, std::uint32_t page, const OpenOptions& options);
Picture::Opened OpenTiff(const RandomAccess& file, std::uint32_t page, const OpenOptions& options);
Picture::Opened OpenBmp(const RandomAccess& file, std::uint32_t page, const OpenOptions& options);

// A picture that its decoder reads only whole from a stream of the file's
// bytes (or at random), and that is shown as stored.
using StreamDecoder = DeclaredSize (*)(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels);
using AccessDecoder = DeclaredSize (*)(const RandomAccess& file, const AllocateRows& allocate, std::uint64_t maxPixels);
// The size of such a picture from a first run of its decoder that stops where
// it asks for rows; the rows from a second run. bytesPerPixel counts, for
// kRows, the rows held and what the decoder holds beside them.
Picture::Opened OpenWhole(const std::function<DeclaredSize(const AllocateRows&)>& decode, std::uint64_t bytesPerPixel,
                          const OpenOptions& options);
template <StreamDecoder decode, std::uint64_t bytesPerPixel = 3>
Picture::Opened OpenStreamed(const RandomAccess& file, std::uint32_t, const OpenOptions& options) {
    const std::uint64_t maxPixels = options.maxPixels;
    return OpenWhole([file, maxPixels](const AllocateRows& allocate) { return decode(SequentialSource(file), allocate, maxPixels); },
                     bytesPerPixel, options);
}
template <AccessDecoder decode, std::uint64_t bytesPerPixel = 3>
Picture::Opened OpenAtRandom(const RandomAccess& file, std::uint32_t, const OpenOptions& options) {
    const std::uint64_t maxPixels = options.maxPixels;
    return OpenWhole([file, maxPixels](const AllocateRows& allocate) { return decode(file, allocate, maxPixels); },
                     bytesPerPixel, options);
}

}  // namespace codec
