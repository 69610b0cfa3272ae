// Windows bitmap (BMP) files: reading every common variant into 24-bit rows,
// and writing uncompressed 24-bit files.
//
// Reading accepts the 12-byte OS/2 core header, the 40-byte info header and
// its V2/V3/V4/V5 extensions (52, 56, 108, 124 bytes) and the 16/64-byte OS/2
// 2.x header; 1, 4 and 8 bits per pixel with a palette, RLE4 and RLE8; 16 and
// 32 bits per pixel with default or explicit bit fields; 24 bits; bottom-up
// and top-down rows. A channel of n bits is scaled to 8 by value, rounded
// (5-bit 31 becomes 255, 5-bit 3 becomes 25). Alpha is dropped.
//
// Writing produces a 54-byte header (file header + 40-byte info header),
// bottom-up rows of 3 * width bytes padded to a multiple of 4.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>

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

// Decodes a BMP file held in memory. Once the headers are checked and the
// picture is known to have width * height <= maxPixels, calls allocate(w, h)
// exactly once to get the rows to fill (24-bit, row 0 at the top) and fills
// them completely. A picture of 0 x 0 (or w x 0, 0 x h) pixels is valid: it
// returns {0, 0} and does not call allocate. Throws BmpError otherwise.
BmpSize DecodeBmp(std::span<const std::uint8_t> file,
                  const std::function<ops::RowView(int width, int height)>& allocate,
                  std::uint64_t maxPixels);

// Where the pixel data of a BMP file lies and the most bytes of it that the
// decoder can use: all of an uncompressed array, or for RLE four bytes a
// pixel and row, more than any encoder spends. A reader needs no more of the
// file than the headers and palette before pixelOffset and pixelBytes from
// there. Empty when the first bytes (at least the file header and the size
// fields of the bitmap header) do not say; the decoder then reports why.
struct BmpExtent {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t pixelOffset = 0;
    std::uint64_t pixelBytes = 0;
};
std::optional<BmpExtent> BmpExtentOf(std::span<const std::uint8_t> head);

// Bytes per stored row of a 24-bit file: 3 * width rounded up to 4.
std::size_t BmpRowSize(int width);

// Encodes 24-bit rows as a BMP file, passing the bytes to sink in order
// (header first, then the rows bottom-up). Throws BmpError when the file
// would be larger than a BMP file can describe (4 GiB).
void EncodeBmp24(const ops::RowView& rows,
                 const std::function<void(const std::uint8_t* bytes, std::size_t size)>& sink);

}  // namespace codec
