// Netpbm files: PBM, PGM and PPM, plain (P1, P2, P3) and raw (P4, P5, P6),
// read into 24-bit rows as the Netpbm format describes them.
//
// The header is the magic number, the width, the height and (except for
// PBM) the largest sample value, maxval, from 1 to 65535, separated by white
// space. A comment, from "#" to the end of its line, may stand wherever
// white space may in the header; it also ends a number. One white-space
// character (or a comment up to its line end) ends the header of a raw file.
//
// PBM: 1 is black, 0 is white. Plain bits are single characters "0" and
// "1", with or without white space or comments between them; raw rows are
// packed from the most significant bit, each row starting on a new byte.
// PGM and PPM: every sample v becomes round(v * 255 / maxval). Raw samples
// take one byte, or two (big-endian) when maxval is over 255; plain samples
// are decimal numbers, each followed by white space or a comment (a number
// that the end of the file cuts off could be missing digits). A sample above
// maxval, anything else where a sample should be, and data that ends before
// the last pixel are damage. Only the first picture of a file is read.
//
// The file is read through a 16 KiB buffer; the width and height are
// checked against the limit before anything else is allocated.
#pragma once

#include <cstdint>
#include <span>

#include "codec/decode.h"

namespace codec {

// True when the bytes start with "P1" to "P6" and then white space or "#".
bool LooksLikePnm(std::span<const std::uint8_t> first);

// Decodes a PBM, PGM or PPM file read from source. Calls allocate exactly
// once, after the header is checked, with the declared size; throws
// DecodeError(kTooLarge, "", w, h) without allocating when w * h >
// maxPixels, kDamaged for damaged or truncated data and for a picture of
// no pixels. Exceptions from source and allocate pass through unchanged.
// Returns the size.
DeclaredSize DecodePnm(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels);

}  // namespace codec
