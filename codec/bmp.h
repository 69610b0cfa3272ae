// Windows bitmap (BMP) files: reading every common variant into 24-bit rows,
// and writing uncompressed 24-bit files. The same reader serves the bitmaps
// stored inside icons (ICO and CUR), which lack the file header.
//
// Reading accepts the 12-byte OS/2 core header, the 40-byte info header and
// its V2/V3/V4/V5 extensions (52, 56, 108, 124 bytes) and the 16/64-byte OS/2
// 2.x header; 1, 4 and 8 bits per pixel with a palette, RLE4 and RLE8; 16 and
// 32 bits per pixel with default or explicit bit fields; 24 bits; bottom-up
// and top-down rows. A channel of n bits is scaled to 8 by value, rounded
// (5-bit 31 becomes 255, 5-bit 3 becomes 25).
//
// Alpha: 16- and 32-bit pixels with bit fields and an alpha mask (in a
// V3/V4/V5 header, or after a 40-byte header with BI_ALPHABITFIELDS) are laid
// over white paper, unless the alpha of every pixel is zero: many writers
// leave that channel unset, so such a picture is taken as opaque, as
// browsers take it. Without bit fields the fourth byte of a 32-bit pixel is
// not alpha. The pixel bytes are all in memory before decoding, so the
// decoder looks through them for a pixel with alpha before it writes any
// row: deciding costs no memory.
//
// Run-length data must reach its last row or an end-of-bitmap code; a stream
// that stops short is damage. Pixels that the stream skips (with a delta or
// an early end-of-line or end-of-bitmap code) are black.
//
// Writing produces a 54-byte header (file header + 40-byte info header),
// bottom-up rows of 3 * width bytes padded to a multiple of 4. The header's
// pixels a metre are the picture's resolution when it is known, else 2835
// (72 dpi) both ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/decode.h"
#include "ops/pixels.h"

namespace codec {

// A file that cannot be read as a picture. what() is the reason, in plain
// lower-case words (for example "the file ends inside the pixel data");
// kind() tells damage from a variant that is not supported.
class BmpError : public DecodeError {
public:
    explicit BmpError(const std::string& detail, Kind kind = Kind::kDamaged, std::uint64_t width = 0,
                      std::uint64_t height = 0)
        : DecodeError(kind, detail, width, height) {}
};

struct BmpSize {
    int width = 0;
    int height = 0;
};

// True when the bytes start like a BMP file ("BM").
bool LooksLikeBmp(std::span<const std::uint8_t> file);

// A packed bitmap: a BMP file without its 14-byte file header, the bitmap
// header, its bit masks, the palette and the pixels one after another, as
// the Windows clipboard holds a picture (CF_DIB) and as programs save one
// from there, often as a .dib file. Nothing marks it: it is told by its
// bitmap header, which must be of a Windows size (12, 40, 52, 56, 108 or
// 124 bytes) and read as a BMP file's is (one plane, a pixel size and
// compression this reader knows), with at least one pixel; and by its
// sizes, which must agree with the file's: a palette of colorsUsed entries
// (for indexed pixels at most one an index, and all of them when it is 0;
// at most 256 for others), and every byte of the pixels after it, every row
// of an uncompressed bitmap or the biSizeImage bytes a run-length one must
// declare. Where the pixels start in such a file of fileSize bytes, given
// its first bytes (at least kPackedHeadBytes of it, or the whole file when
// shorter); empty for any other bytes.
inline constexpr std::size_t kPackedHeadBytes = 124 + 16;
std::optional<std::uint64_t> PackedBitmapPixelOffset(std::span<const std::uint8_t> head, std::uint64_t fileSize);

// The file as a BMP file: a packed bitmap with the file header that points
// at its pixels put in front of its bytes; any other file as it is.
RandomAccess AsBmpFile(const RandomAccess& file);

// Decodes a BMP file held in memory. Once the headers are checked and the
// picture is known to have width * height <= maxPixels, calls allocate(w, h)
// exactly once to get the rows to fill (24-bit, row 0 at the top) and fills
// them completely. A picture of 0 x 0 (or w x 0, 0 x h) pixels is valid: it
// returns {0, 0} and does not call allocate. Throws BmpError otherwise;
// exceptions from allocate pass through.
BmpSize DecodeBmp(std::span<const std::uint8_t> file, const AllocateRows& allocate, std::uint64_t maxPixels);

// An icon's bitmap: a bitmap without the file header, whose info header
// declares twice the picture's height, because the colour rows (the "XOR"
// image: info header, bit masks, palette, rows) are followed by as many rows
// of a 1-bit mask (the "AND" image, rows padded to 32 bits). A mask bit of 1
// makes its pixel white paper. A 32-bit icon whose alpha is not zero
// everywhere is laid over white by its alpha instead, and its mask is not
// used; an icon's 32-bit pixels without bit fields carry alpha in the fourth
// byte. Run-length compressed icons are not supported.
struct IconBitmapInfo {
    std::uint64_t width = 0;
    std::uint64_t height = 0;  // half the height the header declares
    unsigned bitsPerPixel = 0;
    std::uint64_t bytes = 0;  // from the info header to the end of the mask
};

// The first bytes of an icon's bitmap that always hold its info header and
// bit masks.
inline constexpr std::size_t kIconBitmapHeadBytes = 124 + 16;

// What an icon's bitmap declares, from its first bytes (the whole bitmap or
// at least kIconBitmapHeadBytes of it). Throws BmpError when the header is
// damaged or not supported.
IconBitmapInfo ReadIconBitmapInfo(std::span<const std::uint8_t> head);

// Decodes an icon's bitmap held in memory (at least info.bytes of it), as
// DecodeBmp does a file: the size is checked against maxPixels before
// allocate is called once; the picture has at least one pixel.
BmpSize DecodeIconBitmap(std::span<const std::uint8_t> bitmap, const AllocateRows& allocate, std::uint64_t maxPixels);

// The picture's size, where the pixel data of a BMP file lies and the most
// bytes of it that the decoder can use: all of an uncompressed array, or for
// RLE four bytes a pixel and row, more than any encoder spends. A reader
// needs no more of the file than the headers and palette before pixelOffset
// and pixelBytes from there. The head is read by the decoder's own header
// reader; the result is empty when the first bytes (the file header, the
// bitmap header and its bit masks) do not hold headers the decoder accepts,
// and the decoder then reports why.
struct BmpExtent {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t pixelOffset = 0;
    std::uint64_t pixelBytes = 0;
};
std::optional<BmpExtent> BmpExtentOf(std::span<const std::uint8_t> head);

// Bytes per stored row of a 24-bit file: 3 * width rounded up to 4.
std::size_t BmpRowSize(int width);

// A BMP file read one row at a time, top to bottom, through random access:
// the bytes DecodeBmp is given (the first 64 KiB for the headers and
// palette, then no more of the pixel data than it can use: see
// BmpExtentOf), and the same rows. An uncompressed picture's rows are found
// by their offsets, read up to 256 KiB of them at a time; a run-length one can only be
// read whole (ReadAll).
class BmpRowDecoder {
public:
    // Reads the headers and palette. Throws BmpError as DecodeBmp does before
    // it allocates (kTooLarge over maxPixels; kDamaged for an uncompressed
    // pixel array the file does not hold whole). A picture of no pixels has
    // width and height 0. Exceptions from file.read pass through unchanged.
    BmpRowDecoder(RandomAccess file, std::uint64_t maxPixels);
    ~BmpRowDecoder();
    BmpRowDecoder(const BmpRowDecoder&) = delete;
    BmpRowDecoder& operator=(const BmpRowDecoder&) = delete;

    int width() const;
    int height() const;
    bool runLength() const;  // then only ReadAll reads the rows
    // biXPelsPerMeter and biYPelsPerMeter; none when either is 0 or less,
    // or the header has no such fields (the 12-byte core header).
    Resolution resolution() const;
    // The bytes ReadAll holds of the file while it decodes.
    std::uint64_t wholeFileBytes() const;

    // The next row of an uncompressed picture: 3 * width bytes blue, green,
    // red. The first call looks through every row of a picture with an
    // alpha mask, for whether any pixel has alpha.
    void ReadRow(std::uint8_t* bgr);
    // The whole picture, through DecodeBmp over the bytes it is given.
    void ReadAll(const AllocateRows& allocate);

    struct State;  // opaque

private:
    std::unique_ptr<State> state_;
};

// The size of the 24-bit BMP file of a width x height picture (as
// EncodeBmp24 and BmpRowWriter write it); empty when the file would be
// larger than a BMP file can describe (its size fields count to 4 GiB) or a
// side does not fit the header's signed 32-bit field.
std::optional<std::uint64_t> Bmp24FileSize(std::uint64_t width, std::uint64_t height);

// A 24-bit BMP file written row by row, each row put at its own offset: the
// header's sizes are known from the start, so the rows may come in any
// order. The bytes are those EncodeBmp24 writes once every row has come.
class BmpRowWriter {
public:
    // Writes size bytes at offset of the file. It may throw; the exception
    // passes through unchanged.
    using WriteAt = std::function<void(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size)>;

    // Writes the header. Throws BmpError, before writing anything, for a
    // negative size or a picture too large for a BMP file (Bmp24FileSize).
    BmpRowWriter(int width, int height, WriteAt writeAt, const Resolution& resolution = {});
    // Row y (0 at the top): 3 * width bytes blue, green, red, written with
    // its padding in one piece. Throws std::out_of_range for a row outside
    // the picture.
    void Row(int y, const std::uint8_t* bgr);

private:
    int width_;
    int height_;
    WriteAt writeAt_;
    std::size_t rowSize_ = 0;
    std::vector<std::uint8_t> row_;
};

// Encodes 24-bit rows as a BMP file, passing the bytes to sink in order
// (header first, then the rows bottom-up). Throws BmpError when the file
// would be larger than a BMP file can describe (4 GiB).
void EncodeBmp24(const ops::RowView& rows,
                 const std::function<void(const std::uint8_t* bytes, std::size_t size)>& sink,
                 const Resolution& resolution = {});

}  // namespace codec
