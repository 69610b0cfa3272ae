// GIF files: the first image, as a viewer shows it before any animation,
// read through giflib into 24-bit rows.
//
// The picture is the logical screen. The first frame is placed at its
// offset, clipped to the screen; the screen outside the frame, and the
// frame's pixels of the transparent colour (from the graphic control block
// before the frame), are white paper. The frame's own colour table is used,
// or else the global one; a file with neither gets the table the format
// leaves to the decoder: black and white first, as the format recommends,
// then the gray of each index (index 2 is gray 2, 255 white). Interlaced
// rows are put back in order. A screen declared 0 wide or high takes the
// frame's extent (its offset plus its size), as viewers do.
//
// The file is read record by record up to the end of the first frame's
// data, never further: later frames of an animation cost neither memory nor
// work. Both the screen and the frame are checked against the pixel limit
// before anything is allocated; working memory beyond the rows is one
// frame row and giflib's tables. A file that ends early, a frame with a
// pixel past its colour table, damaged LZW data, a graphic control block of
// the wrong length and a file without an image are damage.
#pragma once

#include <cstdint>
#include <span>

#include "codec/decode.h"

namespace codec {

// True when the bytes start with "GIF87a" or "GIF89a".
bool LooksLikeGif(std::span<const std::uint8_t> first);

// Decodes a GIF file read from source. Calls allocate exactly once, with the
// picture's size, after checking that size and the first frame's against
// maxPixels; throws DecodeError(kTooLarge, "", w, h) naming whichever is
// larger than the limit, kDamaged for damaged or truncated data, kNoMemory
// when giflib's own memory runs out. Exceptions from source and allocate
// pass through unchanged. Returns the size.
DeclaredSize DecodeGif(const ByteSource& source, const AllocateRows& allocate, std::uint64_t maxPixels);

}  // namespace codec
