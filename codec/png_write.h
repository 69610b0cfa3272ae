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
// PLTE for palettes, pHYs (in pixels a metre) when a resolution is given
// and known, IDAT and IEND, nothing else; rows are not interlaced.
//
// Memory does not grow with the height: rows are packed one at a time into
// one row of the file's form (RGB rows go to libpng as they are), the scan
// keeps a table of 256 colours, and the bytes go to the sink in pieces of
// up to 64 KiB as they are made, in order, never sought back into.
//
// The zlib level, the row filters and the zlib strategy are chosen per form
// by measurement (PngCompressionFor). The target use is writing the kept
// results of many pictures fast, so speed comes first unless a higher level
// saves much. Measured 2026-12-09 with workbench-png-bench: the chain's four
// stage pictures of the benchmark's stroke picture, the stroke picture itself
// (47 and 82 colours: 8-bit palettes) and, for RGB, the same with its green bytes
// jittered; 2 cores shared with other work, load average 8.5 to 10.6 all
// through, so times are the CPU time of the one thread, median of 3. Each
// time covers the scan, the packing and the compression into memory. Every
// setting of levels 1, 3, 6, 9 x filters none, sub, up, paeth, adaptive x
// strategies default, filtered, RLE was run; the last column is the smallest
// file of those 60.
//
//                               chosen           level 1, no    libpng's own   smallest of all
//                                                filter         default (L6)
//   picture         form        setting   ms     KB    ms  KB     ms   KB      ms    KB  setting
//   640 x 480, 922 KB as BMP
//   A filtered      8-bit gray  up/RLE   3.69   89.0  3.57 110.4  29.0  92.9   4.32  86.8 paeth/RLE
//   B binarized     1-bit gray  up/RLE   0.32    4.4  0.33   5.7  1.20   4.4   9.96   4.1 L9 none/filtered
//   C thinned       1-bit gray  up/RLE   0.31    3.3  0.31   4.2  0.85   3.0   10.4   2.6 L9 none
//   D labeled       1-bit pal.  up/RLE   0.30    3.2  0.30   3.9  0.78   2.8   8.52   2.3 L9 none/filtered
//   stroke picture  8-bit pal.  none/RLE 3.24  172.0  6.65 191.4  8.41 181.9   14.8 171.6 L9 none/filtered
//   jittered        8-bit RGB   L1 sub   10.4  403.8  8.61 454.2  68.6 401.7  107.1 346.8 L9 sub
//   2480 x 3508 (A4 at 300 dpi), 26.1 MB as BMP
//   A filtered      8-bit gray  up/RLE  102.7   2507 105.4  3147   904  2621    121  2438 paeth/RLE
//   B binarized     1-bit gray  up/RLE   9.96   97.6  13.8 152.4  35.9 110.7   9.96  97.6 up/RLE
//   C thinned       1-bit gray  up/RLE   8.86   63.4  11.1 101.4  27.0  78.2    211  58.7 L9 none/filtered
//   D labeled       1-bit pal.  up/RLE   9.06   63.4  11.7  98.2  26.8  75.0    211  57.1 L9 none/filtered
//   stroke picture  8-bit pal.  none/RLE 89.4   4855 137.3  5392   238  5130    298  4841 L9 none/filtered
//   jittered        8-bit RGB   L1 sub    292  11374   246 13014  2073 10783   3122  9711 L9 sub
//
// So gray of every depth and palettes under 8 bits take the up filter and
// zlib's RLE strategy: within 10 % of the fastest setting measured; at A4
// smaller than libpng's default, at 640 x 480 up to 0.4 KB larger; 3 to 9
// times faster than that default. The smallest 1-bit files save 0.3 to
// 0.9 KB at 640 x 480 and 5 KB at A4 for 20 to 30 times the time. 8-bit
// palettes take no filter and RLE: 10 % smaller than level 1 in half to two
// thirds of its time. RGB is the one form where runs are rare and RLE files
// are half again larger: level 1 with the sub filter, 11 to 13 % smaller
// than without a filter for a fifth more time; higher levels save up to
// 15 % more at 7 to 11 times the time. With RLE the level plays no part
// (only the byte before is matched), so 1 stands for any.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/decode.h"
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

// A palette's colours in index order, each blue, green, red.
using PngPalette = std::vector<std::array<std::uint8_t, 3>>;

class PngColourTable;

// The scan that chooses a picture's form, fed one row at a time (rows of
// 3 * width bytes blue, green, red, top to bottom). EncodePng runs it over
// the whole picture. It holds a table of 256 colours and stops counting at
// the 257th.
class PngFormScan {
public:
    // Throws PngWriteError for a width of 0 or less.
    explicit PngFormScan(int width);
    ~PngFormScan();
    PngFormScan(const PngFormScan&) = delete;
    PngFormScan& operator=(const PngFormScan&) = delete;

    void Row(const std::uint8_t* bgr);
    // The form EncodePng chooses for the rows seen (at least one).
    PngForm Form() const;
    // For a palette form, its colours in the order EncodePng writes them
    // (the top-left pixel's first); empty for any other form.
    PngPalette Palette() const;

private:
    bool AddLevels(PngColourTable& table) const;
    bool Table(PngColourTable& table) const;

    int width_;
    std::unique_ptr<PngColourTable> table_;
    std::uint64_t rows_ = 0;
    std::uint8_t green_ = 0, red_ = 0;  // of the top-left pixel
    std::array<std::uint8_t, 256> levels_{};
    bool levelRows_ = true;  // every row so far gray, or flat
    bool grayRows_ = true;
    bool flatRows_ = true;
    bool full_ = false;      // a 257th colour was seen
    std::uint32_t last_ = 0xFFFFFFFFu;  // the colour of the pixel before; no pixel has this key
};

// A PNG file written one row at a time, in a given form (the form a
// PngFormScan of the same rows chose, or any form the rows fit), with the
// bytes going to the sink as they are made. EncodePng writes through it.
// Memory: libpng's and zlib's state, one packed row and 64 KiB of bytes for
// the sink.
class PngRowEncoder {
public:
    // Writes the chunks before the image data: IHDR, PLTE from palette
    // (paletteSize colours, all different) for a palette form, and pHYs in
    // metres when the resolution is known. Throws
    // PngWriteError for a size of 0, a zlib level outside 0..9, a form that
    // does not hold together, or a palette that does not fit it. Exceptions
    // from sink pass through unchanged, here and after.
    PngRowEncoder(int width, int height, const PngForm& form, const PngCompression& compression, PngSink sink,
                  const PngPalette& palette = {}, const Resolution& resolution = {});
    ~PngRowEncoder();
    PngRowEncoder(const PngRowEncoder&) = delete;
    PngRowEncoder& operator=(const PngRowEncoder&) = delete;

    // The next row, top to bottom: 3 * width bytes blue, green, red. Throws
    // PngWriteError when a pixel does not fit the form (a gray form: blue =
    // green = red at one of the depth's levels; a palette: one of its
    // colours), or past the last row. After a failure every call throws it
    // again.
    void Row(const std::uint8_t* bgr);
    // After the last row: writes the end of the file and hands the sink
    // what is left.
    void Finish();

    struct State;  // opaque

private:
    friend PngForm EncodePng(const ops::RowView& rows, const PngSink& sink);
    friend PngForm EncodePng(const ops::RowView& rows, const PngSink& sink, const PngCompression& compression);
    friend PngForm EncodePng(const ops::RowView& rows, const PngSink& sink, const Resolution& resolution);
    // Row for rows whose scan chose the form, which fit it: not checked.
    void RowKnownToFit(const std::uint8_t* bgr);
    template <bool kCheck>
    void Put(const std::uint8_t* bgr);

    std::unique_ptr<State> state_;
};

// Writes the rows as a PNG file in the form the scan chooses, with the
// compression chosen for it, and returns that form. Pictures of 0 pixels
// in width or height are refused with PngWriteError before anything reaches
// the sink (a PNG file cannot describe them), as are rows without data.
// libpng's errors become PngWriteError; no exception passes through libpng.
PngForm EncodePng(const ops::RowView& rows, const PngSink& sink);

// The same with the given compression, whatever the form.
PngForm EncodePng(const ops::RowView& rows, const PngSink& sink, const PngCompression& compression);

// The same with the compression chosen for the form, and a pHYs chunk when
// the resolution is known (none: the bytes of EncodePng without it).
PngForm EncodePng(const ops::RowView& rows, const PngSink& sink, const Resolution& resolution);

}  // namespace codec
