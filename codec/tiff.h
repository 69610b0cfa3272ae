// TIFF files: reading the common variants into 24-bit rows, through libtiff.
//
// A TIFF file is read at random: its directories (one per page) and its
// strips or tiles may lie anywhere, so the decoder reads through a
// RandomAccess rather than a ByteSource.
//
// What is read:
//   compression   none, LZW, Deflate (Adobe and the older code), PackBits,
//                 CCITT modified Huffman, Group 3 (1D and 2D), Group 4, JPEG
//   samples       1, 2, 4, 8 or 16 bits, unsigned; horizontal prediction
//   colour        gray (min-is-black and min-is-white), RGB, palette, CMYK
//                 (InkSet CMYK), YCbCr when JPEG-compressed
//   layout        strips or tiles (edge tiles cut to the picture), samples
//                 interleaved or in separate planes, classic TIFF and BigTIFF
//   extra samples the first associated or unassociated alpha; others ignored
// Anything else (other compressions, floating-point or signed samples, other
// depths, CIE Lab, YCbCr without JPEG, inks other than CMYK, more than
// kMaxTiffSamples samples a pixel) is refused as unsupported.
//
// Every sample is taken to 16 bits exactly (v * 65535 / (2^n - 1), which is
// a whole number for n = 1, 2, 4, 8, 16), the pixel is worked out at 16 bits,
// and each of blue, green, red is rounded once to 8 bits:
// round(x * 255 / 65535). So an n-bit sample v shows as round(v * 255 /
// (2^n - 1)).
//   gray          min-is-black v; min-is-white 65535 - v
//   palette       the colour map's entry for the index. The map holds 16-bit
//                 values; a map whose every value is below 256 was written
//                 with 8-bit values (as many writers do) and is read as
//                 8-bit: entry * 257.
//   CMYK          red = round((65535 - C) * (65535 - K) / 65535), green from
//                 M and K, blue from Y and K (so 8-bit inks give
//                 round((255 - c) * (255 - k) / 255))
//   YCbCr (JPEG)  converted to RGB by libjpeg
//   alpha         laid over white paper. Unassociated alpha a: OverWhite16
//                 (value, a). Associated (premultiplied) alpha: the colour
//                 already carries its coverage, so value + (65535 - a),
//                 at most 65535.
//
// Pages: the directories of the file's main chain, page 0 first. Decoding
// any page first walks the whole chain, so a file whose chain is broken (a
// directory outside the file, a loop) is refused whatever page is asked for.
// The Orientation tag is returned in DeclaredSize::orientation; the rows are
// as stored.
//
// Work and memory follow the declared pixels: the size is refused before
// anything is allocated; libtiff's own allocations (directories, codec
// state) are capped at kTiffLibraryMemory, and a tag larger than that is
// skipped; the decoder holds one strip or tile (all its planes) decoded, and
// reads at most 8 times that plus a little of a strip's compressed data
// whatever its byte count claims (more than any of the codecs needs, so a
// strip that does need more is damaged). A tile much larger than the picture
// is refused. libtiff's messages never reach standard error.
//
// Damage: a broken chain of directories, a directory libtiff cannot read, a
// strip or tile whose bytes (as its byte count gives them) run past the end
// of the file or that has no bytes, data that ends before the strip is
// full, and any error or warning while pixels decode (libtiff fills what it
// cannot decode). What libtiff reports while it reads a directory concerns
// single tags (an unknown tag, a value out of range, a wrong type or count,
// tags out of order, a missing tag it can work out), and it goes on without
// them: those are let pass, as they make up no pixel. Two warnings while
// pixels decode lose none either and are let pass: a JPEG-compressed last
// strip holding more rows than the picture has left, and libjpeg skipping
// stray bytes before a marker.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "codec/decode.h"

namespace codec {

// Pages a file may have: the most libtiff's directory numbers count.
inline constexpr std::uint32_t kMaxTiffPages = 65535;
// Samples a pixel may have (colour and extra samples together).
inline constexpr int kMaxTiffSamples = 16;
// The most libtiff may allocate at once for a file.
inline constexpr std::uint64_t kTiffLibraryMemory = std::uint64_t{64} << 20;

// True when the bytes start with a TIFF or BigTIFF header: "II*\0",
// "MM\0*", "II+\0" or "MM\0+".
bool LooksLikeTiff(std::span<const std::uint8_t> first);

// The number of pages (at least 1), walking the file's chain of directories.
// Throws DecodeError kDamaged when the header or the chain is broken (a
// directory outside the file, a directory met twice) and kUnsupported past
// kMaxTiffPages. Exceptions from file.read pass through unchanged.
std::uint32_t CountTiffPages(const RandomAccess& file);

// Decodes one page (0 the first). Calls allocate exactly once, after the
// page's tags are checked, with its size; throws DecodeError(kTooLarge, "",
// w, h) without allocating when w * h > maxPixels, kDamaged for damaged or
// truncated data, kUnsupported for the variants above, kNoMemory when
// memory runs out. Throws std::out_of_range when the file has no such page
// (see CountTiffPages). Exceptions from file.read and allocate pass through
// unchanged. Returns the page's size and orientation.
DeclaredSize DecodeTiff(const RandomAccess& file, const AllocateRows& allocate, std::uint64_t maxPixels,
                        std::uint32_t page = 0);

// One page of a TIFF file read a band at a time, top to bottom: a strip,
// or a row of tiles. The reading DecodeTiff does (which it runs through
// this), the bands handed out as they are decoded rather than into
// allocated rows. Memory: one band's blocks, decoded and compressed.
class TiffRowDecoder {
public:
    // Walks the chain of directories and reads the page's tags. Throws as
    // DecodeTiff does before it allocates: kTooLarge when width * height >
    // maxPixels, kDamaged, kUnsupported, kNoMemory, NoSuchPage (a
    // std::out_of_range) when the file has no such page; exceptions from file.read pass through
    // unchanged.
    TiffRowDecoder(RandomAccess file, std::uint64_t maxPixels, std::uint32_t page);
    ~TiffRowDecoder();
    TiffRowDecoder(const TiffRowDecoder&) = delete;
    TiffRowDecoder& operator=(const TiffRowDecoder&) = delete;

    std::uint64_t width() const;  // as stored
    std::uint64_t height() const;
    Orientation orientation() const;  // the page's Orientation tag
    // The page's XResolution and YResolution in its ResolutionUnit (inch
    // when the tag is missing, none for unit 1), as stored.
    Resolution resolution() const;
    // The file's pages (as CountTiffPages counts them).
    std::uint32_t pages() const;
    // Rows a band holds (the last one may hold fewer).
    std::uint32_t bandHeight() const;
    // About the most bytes the decoder and a caller's band of 24-bit rows
    // hold while a band is read: a block's decoded samples for each plane,
    // about as many of compressed data, and the band's rows.
    std::uint64_t bandBytes() const;

    // The next band into rows (the picture's width, at least as many rows
    // as the band has); returns how many rows it filled. Throws DecodeError
    // where the data is damaged, and again on every later call.
    std::uint32_t ReadBand(const ops::RowView& rows);

    struct State;  // opaque

private:
    std::unique_ptr<State> state_;
};

}  // namespace codec
