// PNG files: reading every standard variant into 24-bit rows, through libpng.
//
// The file is pulled through the ByteSource chunk by chunk. After the header
// the picture's size is checked against the caller's limit and the rows are
// allocated; libpng then expands every variant to 8-bit blue, green, red
// straight into those rows: palettes and 1/2/4-bit gray are expanded, gray is
// copied to all three bytes, 16-bit samples are scaled to 8 bits with
// rounding, interlaced files are assembled pass by pass in place.
//
// Transparent and half-transparent pixels are laid over white paper (see
// OverWhite and OverWhite16 in codec/decode.h), as written: an alpha
// channel (gray or colour, 8 or 16 bits), a palette's tRNS alphas, and the
// one transparent gray level or colour of a gray or colour tRNS. 16-bit
// samples are laid over white before they are reduced to 8 bits. Pictures
// without alpha or tRNS show their samples as stored.
//
// The orientation comes from the first eXIf chunk (see codec/exif.h); its
// first 64 KiB are kept as they pass, and the rest of it is skipped. A file
// without an eXIf chunk may carry its EXIF block the way ImageMagick writes
// it, as hex text in a tEXt, zTXt or iTXt chunk keyed "Raw profile type
// exif" (see RawProfileExifOrientation in codec/exif.h): the first such
// chunk gives the orientation then, from its first 256 KiB, inflated to at
// most 256 KiB of text. Wherever the chunks stand, an eXIf chunk decides
// over the text.
//
// Work and memory follow the declared pixels, never the file's metadata:
// the size is refused straight after IHDR, before anything else is read;
// every other ancillary chunk except tRNS (text, ICC profiles, ...) and
// every unknown ancillary chunk is skipped, however long, without being
// decompressed or kept (a text chunk only as far as its keyword tells it
// from the raw EXIF profile). An unknown critical chunk, a bad checksum, a
// palette index past the palette, image data missing, a file that ends
// before IEND, and whatever else libpng warns about are damage: no pixel is
// ever made up. What libpng warns about but loses no pixel loads: a tRNS
// chunk that is invalid (dropped: the pixels show opaque) or whose colour
// no sample can have, compressed data after the end of the image.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "codec/decode.h"

namespace codec {

// True when the bytes start with the 8-byte PNG signature.
bool LooksLikePng(std::span<const std::uint8_t> first);

// Decodes a PNG file read from source. Calls allocate exactly once, after the
// header is checked, with the declared size; throws DecodeError(kTooLarge,
// "", w, h) without allocating when w * h > maxPixels, kDamaged for damaged
// or truncated data, kNoMemory when libpng's own memory runs out. Exceptions
// from source and allocate pass through unchanged. Returns the stored size
// and the orientation the eXIf chunk gives.
DeclaredSize DecodePng(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels);

// A PNG file read one row at a time: the reading DecodePng does (which it
// runs through this), the rows handed out as they are decoded rather than
// into allocated rows. Memory: libpng's state and two of its rows, and
// while a raw EXIF profile passes, its text.
class PngRowDecoder {
public:
    // Reads the chunks before the image data and sets up the transforms.
    // Throws as DecodePng does before it allocates: kTooLarge straight after
    // IHDR when width * height > maxPixels, kDamaged, kNoMemory; exceptions
    // from source pass through unchanged.
    PngRowDecoder(ByteSource source, std::uint64_t maxPixels);
    ~PngRowDecoder();
    PngRowDecoder(const PngRowDecoder&) = delete;
    PngRowDecoder& operator=(const PngRowDecoder&) = delete;

    std::uint64_t width() const;   // as stored
    std::uint64_t height() const;
    bool interlaced() const;       // then only ReadAll can read the rows

    // The next row, top to bottom, of a picture that is not interlaced:
    // 3 * width bytes blue, green, red. Throws DecodeError where libpng finds
    // the data damaged (a row it decodes while it warns of lost pixels
    // counts as damaged), and again on every later call.
    void ReadRow(std::uint8_t* bgr);
    // Every row, all passes, into rows of the picture's size; none read yet.
    void ReadAll(const ops::RowView& rows);
    // Once every row is read: reads the chunks up to IEND, which must be
    // whole and sound.
    void Finish();
    // The orientation from the first eXIf chunk read so far, or else the
    // first raw EXIF profile: the file's own after Finish.
    Orientation orientation() const;
    // From the pHYs chunk, when its unit is the metre; none otherwise.
    Resolution resolution() const;

    struct State;  // opaque

private:
    std::unique_ptr<State> state_;
};

// The orientation DecodePng would give the file, from the first eXIf chunk
// before IEND, or else the first raw EXIF profile, found by walking the
// chunks by their lengths (only those chunks' data is read, and the keyword
// of other text chunks). kNormal when there is neither, and where the
// chunks cannot be followed (such a file does not decode).
Orientation PngOrientationOf(const RandomAccess& file);

// The file's bytes in order, as a ByteSource that checks each IDAT chunk's
// CRC, reading the chunk ahead, before it hands out any byte of it: damaged
// image data then fails before libpng decodes a row from it (libpng checks
// the CRC only at the chunk's end), with DecodeError kDamaged. A chunk that
// the file cuts off is handed out as far as it goes.
ByteSource PngCheckedSource(RandomAccess file);

}  // namespace codec
