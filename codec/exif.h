// The orientation out of an EXIF block: the TIFF-structured data that JPEG
// carries after "Exif\0\0" in an APP1 segment and PNG in its eXIf chunk, or
// that ImageMagick writes as hex text into a PNG text chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

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

// The resolution of the first image directory: XResolution (0x011A) and
// YResolution (0x011B), each a RATIONAL of count 1 (numerator over
// denominator, unsigned 32-bit each) within the block, in the unit
// ResolutionUnit (0x0128, a SHORT of count 1) gives: 2 inch (also when the
// tag is missing), 3 centimetre; 1 (no unit) or any other value declares
// none. So does a block that breaks the TIFF rules, either tag missing or of
// another type or count, or a denominator of 0 (see PerMetre for the rest).
Resolution ExifResolution(std::span<const std::uint8_t> tiff);

// ImageMagick's text form of a profile, as it writes the EXIF block into a
// PNG text chunk keyed "Raw profile type exif": a line break, the profile's
// name, a line break, the block's length in bytes in decimal (spaces may
// stand before it), a line break, then the bytes as pairs of hex digits,
// of either case, white space (the line breaks every 72 digits) among them
// passed over. The
// orientation of the block such text holds when the name is "exif"; the
// block may start with the "Exif\0\0" of a JPEG APP1 segment, as
// ImageMagick's own profile does. Only the first kMaxRawProfileBlockBytes of
// the block are decoded: the first directory comes first. Text of another
// name, or that breaks the form before the end of the bytes decoded (a
// character that is neither a hex digit nor white space, fewer digits than
// the length says), gives kNormal, as a damaged block does.
inline constexpr std::size_t kMaxRawProfileBlockBytes = 64 * 1024;
Orientation RawProfileExifOrientation(std::string_view text);

}  // namespace codec
