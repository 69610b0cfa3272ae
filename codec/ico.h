// Icons and cursors (ICO and CUR files): the largest picture of the icon,
// read through the program's own BMP and PNG decoders.
//
// The file starts with a directory of images. Each image's own header is
// read for its size and depth - a bitmap's info header (whose height is
// twice the picture's), or a PNG's IHDR chunk (depth: bits a sample times
// samples a pixel) - since the directory's one-byte sizes stop at 256 and its
// depths are often unset. The image with the most pixels is taken, and of
// those the deepest, and of those the first. A cursor is read as an icon;
// its hot spot is not used. The directory's byte counts are not relied on:
// each image's own header tells how long it is.
//
// A bitmap image's mask makes its pixels white paper, and a 32-bit image
// whose alpha is not zero everywhere is laid over white by its alpha (see
// codec/bmp.h). A PNG image is read as a PNG file. An image whose header
// cannot be read, in any entry, is damage, as is a chosen image that ends
// early; the chosen image's size is checked against the limit before its
// pixels are read. Memory: 16 bytes and a small record for each directory
// entry, the chosen bitmap's bytes, and the rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "codec/decode.h"

namespace codec {

// True when the first bytes (at least 22) start an ICO or CUR directory:
// 00 00, type 1 (icon) or 2 (cursor), at least one image, and a first entry
// with its reserved byte 0, for an icon at most 1 plane and 32 bits a pixel,
// and at least 40 bytes of data; or, where its byte count says less (the
// decoder does not rely on it), an image within the first bytes that starts
// with a bitmap header's size or the PNG signature.
bool LooksLikeIco(std::span<const std::uint8_t> first);

// Decodes an ICO or CUR file read at random. Calls allocate exactly once,
// with the chosen image's size; throws DecodeError(kTooLarge, "", w, h)
// without allocating when that image has more than maxPixels pixels,
// kDamaged for damaged or truncated data, kUnsupported for a valid image
// variant this program does not read. Exceptions from file.read and allocate
// pass through unchanged. Returns the size.
DeclaredSize DecodeIco(const RandomAccess& file, const AllocateRows& allocate, std::uint64_t maxPixels);

}  // namespace codec
