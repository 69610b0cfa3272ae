// One input of the picture fuzzer: arbitrary bytes taken as a picture file,
// its format told from its first bytes, decoded by the program's own
// decoder for it (BMP, PNG, JPEG, TIFF, GIF, PNM, ICO/CUR), turned as its file
// says (and turned back, which must give the stored rows again), then run
// through the whole chain in memory, fast and plain forms side by side on
// small pictures. The skeleton measures of the decoded, binarized and
// thinned pictures are taken whole and as a stream of rows. On pictures up
// to kFuzzVectorPixels, the centre lines of the thinned picture are written
// in every vector format, into memory, from the whole picture and from the
// chain run as a stream of rows (its paths kept as the program keeps them,
// in an unnamed temporary file in $TMPDIR or /tmp), and must be the same
// bytes, each file of the shape its format requires. Any difference
// between two forms, or any error other than the decoder's refusal, aborts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Pictures larger than this are refused by the decoder here, to keep each
// input quick; the limit is not part of what is tested.
inline constexpr std::uint64_t kFuzzMaxPixels = 1 << 16;
// Pictures up to this size also run the plain form of every operation.
inline constexpr std::uint64_t kFuzzComparePixels = 1 << 12;
// Pictures up to this size also write their centre lines from both forms,
// which runs the chain a second time, as a stream.
inline constexpr std::uint64_t kFuzzVectorPixels = 1 << 12;

// Returns true when the bytes decoded to a picture.
bool RunPictureInput(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz
