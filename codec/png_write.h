// Writing 24-bit rows as a PNG file, through libpng, in the file's smallest
// lossless form.
//
// One scan of the rows counts their distinct colours, up to 256 (it stops
// at the 257th), and the form follows from them:
//   - gray pictures (blue = green = red everywhere) whose levels are all
//     levels of a smaller gray depth: 1-bit gray for 0 and 255 only (so every
//     two-level picture), 2-bit for multiples of 85, 4-bit for multiples of
//     17;
//   - other gray pictures of more than 16 levels: 8-bit gray;
//   - any other picture of at most 256 colours, gray ones of 16 levels or
//     fewer among them: a palette, 1, 2, 4 or 8 bits an index for up to 2,
//     4, 16 or 256 colours, the top-left pixel's colour first;
//   - anything else: 8-bit RGB.
// Decoded, the file gives back the rows byte for byte. The file holds IHDR,
// PLTE for palettes, IDAT and IEND, nothing else; rows are not interlaced.
//
// Memory does not grow with the height: rows are packed one at a time into
// one row of the file's form (RGB rows go to libpng as they are), the scan
// keeps a table of 256 colours, and the bytes go to the sink in pieces of
// up to 64 KiB as they are made, in order, never sought back into.
//
// The zlib level, the row filters and the zlib strategy are chosen per form
// by measurement (PngCompressionFor). The target use is writing the kept
// results of many pictures fast, so speed comes first unless a higher level
// saves much. Measured 2026-12-09 with workbench-png-bench on the chain's
// four stage pictures of the benchmark's stroke picture, and on that picture
// itself for RGB, at 640 x 480 and 2480 x 3508; 2 cores shared with other
// work; milliseconds a picture (scan, packing and compression), size in KB:
//
//   (table filled in from the measurement)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "ops/pixels.h"

namespace codec {

// A picture that cannot be written as PNG, or a failure inside libpng
// (for example its memory running out). what() says why in plain words.
class PngWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Takes the file's bytes in order. It may throw; the exception passes
// through EncodePng unchanged, and the sink is not called again.
using PngSink = std::function<void(const std::uint8_t* bytes, std::size_t size)>;

// The form a picture is written in.
struct PngForm {
    enum class Colour : std::uint8_t { kGray, kPalette, kRgb };
    Colour colour = Colour::kRgb;
    int bitDepth = 8;     // bits a sample (gray, RGB) or an index (palette): 1, 2, 4 or 8
    int paletteSize = 0;  // entries of the palette; 0 unless a palette

    bool operator==(const PngForm&) const = default;
};

// How the rows are filtered before zlib compresses them: one filter for
// every row, or libpng's choice per row among all five (adaptive).
enum class PngFilter : std::uint8_t { kNone, kSub, kUp, kPaeth, kAdaptive };

// zlib's strategy: kDefault (string matching), kFiltered (favours short
// literals, for filtered rows) or kRle (matches only against the byte
// before: fast, good on long runs).
enum class ZlibStrategy : std::uint8_t { kDefault, kFiltered, kRle };

struct PngCompression {
    int level = 6;  // zlib level, 0 (store) to 9
    PngFilter filter = PngFilter::kAdaptive;
    ZlibStrategy strategy = ZlibStrategy::kDefault;
};

// The compression used for a form when none is given.
PngCompression PngCompressionFor(const PngForm& form);

// Writes the rows as a PNG file in the form the scan chooses, with the
// compression chosen for it, and returns that form. Pictures of 0 pixels
// in width or height are refused with PngWriteError before anything reaches
// the sink (a PNG file cannot describe them), as are rows without data.
// libpng's errors become PngWriteError; no exception passes through libpng.
PngForm EncodePng(const ops::RowView& rows, const PngSink& sink);

// The same with the given compression, whatever the form.
PngForm EncodePng(const ops::RowView& rows, const PngSink& sink, const PngCompression& compression);

}  // namespace codec
