// PNG files: reading every standard variant into 24-bit rows, through libpng.
//
// The file is pulled through the ByteSource chunk by chunk. After the header
// the picture's size is checked against the caller's limit and the rows are
// allocated; libpng then expands every variant to 8-bit blue, green, red
// straight into those rows: palettes and 1/2/4-bit gray are expanded, gray is
// copied to all three bytes, 16-bit samples are scaled to 8 bits with
// rounding, alpha (an alpha channel or tRNS) is dropped, interlaced files
// are assembled pass by pass in place. One variant follows what the program
// has always shown for it: in 2/4/8-bit gray with tRNS the transparent gray
// level shows as black.
//
// Work and memory follow the declared pixels, never the file's metadata:
// the size is refused straight after IHDR, before anything else is read;
// every ancillary chunk except tRNS (text, ICC profiles, EXIF, ...) and
// every unknown ancillary chunk is skipped, however long, without being
// decompressed or kept. An unknown critical chunk, a bad checksum, a
// palette index past the palette, image data missing or left over, a file
// that ends before IEND, and anything libpng warns about are damage: no
// pixel is ever made up.
#pragma once

#include <cstdint>
#include <span>

#include "codec/decode.h"

namespace codec {

// True when the bytes start with the 8-byte PNG signature.
bool LooksLikePng(std::span<const std::uint8_t> first);

// Decodes a PNG file read from source. Calls allocate exactly once, after the
// header is checked, with the declared size; throws DecodeError(kTooLarge,
// "", w, h) without allocating when w * h > maxPixels, kDamaged for damaged
// or truncated data, kNoMemory when libpng's own memory runs out. Exceptions
// from source and allocate pass through unchanged. Returns the size.
DeclaredSize DecodePng(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels);

}  // namespace codec
