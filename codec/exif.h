// The orientation out of an EXIF block: the TIFF-structured data that JPEG
// carries after "Exif\0\0" in an APP1 segment and PNG in its eXIf chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/decode.h"

namespace codec {

// The "Exif\0\0" that starts a JPEG APP1 segment holding EXIF data.
inline constexpr std::uint8_t kExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};

// The Orientation tag (0x0112) of the first image directory: a SHORT with
// a count of 1 and a value from 1 to 8, in either byte order ("II" or "MM").
// A block that breaks the TIFF rules anywhere on the way (too short, a
// wrong mark, a directory or entry outside the block, another type or
// count, a value outside 1..8) gives kNormal: a damaged EXIF block never
// makes a picture unreadable. Only the first directory is read, so the work
// is bounded by its entry count and no chain of directories is followed.
Orientation ExifOrientation(std::span<const std::uint8_t> tiff);

}  // namespace codec
