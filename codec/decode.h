// What every picture decoder shares: where its bytes come from, where its
// rows go, and how it says why a file cannot be read.
//
// A decoder pulls the file's bytes through a ByteSource as it needs them, so
// it never holds more of the file than it is working on. Once the headers
// are read and the picture is known to have width * height <= maxPixels, it
// calls the AllocateRows callback exactly once for 24-bit rows (blue, green,
// red; row 0 at the top) and fills every byte of the first 3 * width of each.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

#include "ops/pixels.h"

namespace codec {

// Fills up to size bytes of buffer with the next bytes of the file and
// returns how many it gave; 0 only at the end of the file. A read error
// throws, and the exception passes through the decoder unchanged.
using ByteSource = std::function<std::size_t(std::uint8_t* buffer, std::size_t size)>;

// Random access to a file's bytes, for formats whose parts are found
// through a directory and for readers that come back to a place.
struct RandomAccess {
    // The file's length in bytes.
    std::uint64_t size = 0;
    // Copies up to size bytes from offset into buffer and returns how many;
    // fewer only where the file ends. A read error throws, and the exception
    // passes through the decoder unchanged.
    std::function<std::size_t(std::uint64_t offset, std::uint8_t* buffer, std::size_t size)> read;
};

// Takes no notice of the pieces a read loop hands it.
struct IgnorePieces {
    void operator()(const std::uint8_t*, std::size_t) const {}
};

// Up to size bytes of the file from offset, as many as there are: fewer
// only where the file ends. Each piece read goes to seen(piece, count) as
// it comes, before the next is asked for.
template <class Seen>
std::size_t ReadUpTo(const RandomAccess& file, std::uint64_t offset, std::uint8_t* buffer, std::size_t size, Seen&& seen) {
    std::size_t done = 0;
    while (done < size && offset + done < file.size) {
        const std::size_t got = file.read(offset + done, buffer + done, size - done);
        if (got == 0) break;
        if (got > size - done) throw std::logic_error("the file gave more bytes than asked for");
        seen(buffer + done, got);
        done += got;
    }
    return done;
}

inline std::size_t ReadUpTo(const RandomAccess& file, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    return ReadUpTo(file, offset, buffer, size, IgnorePieces{});
}

// One call of source for up to size bytes, and how many it gave; a source
// that gives more than asked for throws std::logic_error.
inline std::size_t ReadOnce(const ByteSource& source, std::uint8_t* buffer, std::size_t size) {
    const std::size_t got = source(buffer, size);
    if (got > size) throw std::logic_error("the byte source gave more bytes than asked for");
    return got;
}

// Asks source until size bytes have come or the file ends, and returns how
// many came: fewer only at the end. Each piece goes to seen(piece, count)
// as it comes, before the next is asked for.
template <class Seen = IgnorePieces>
std::size_t ReadFull(const ByteSource& source, std::uint8_t* buffer, std::size_t size, Seen&& seen = Seen{}) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = ReadOnce(source, buffer + done, size - done);
        if (got == 0) break;
        seen(buffer + done, got);
        done += got;
    }
    return done;
}

// The file's bytes in order, for the decoders that read a stream.
inline ByteSource SequentialSource(const RandomAccess& file) {
    return [file, position = std::uint64_t{0}](std::uint8_t* buffer, std::size_t size) mutable {
        const std::size_t got = ReadUpTo(file, position, buffer, size);
        position += got;
        return got;
    };
}

// Gives the rows for a picture of width x height pixels (both > 0). It may
// throw (for instance std::bad_alloc); the exception passes through the
// decoder unchanged.
using AllocateRows = std::function<ops::RowView(int width, int height)>;

// Calls allocate and makes sure the rows it gave fit the picture, before a
// decoder writes through them; rows that do not fit throw std::logic_error.
inline ops::RowView AllocateFitting(const AllocateRows& allocate, int width, int height) {
    const ops::RowView rows = allocate(width, height);
    if (rows.data == nullptr || rows.width != width || rows.height != height ||
        rows.stride < 3 * static_cast<std::ptrdiff_t>(width))
        throw std::logic_error("the rows given for the picture do not fit it");
    return rows;
}

// Why a file cannot be read as a picture.
class DecodeError : public std::runtime_error {
public:
    enum class Kind {
        kDamaged,      // the data ends early or breaks the format's rules
        kTooLarge,     // more pixels than the caller's limit: see width/height
        kUnsupported,  // a valid variant of the format this program does not read
        kNoMemory,     // the decoder's own working memory could not be had
    };

    // what() is the detail in plain lower-case words, for example "the file
    // ends inside the image data"; it may be empty.
    DecodeError(Kind kind, const std::string& detail, std::uint64_t width = 0, std::uint64_t height = 0)
        : std::runtime_error(detail), kind_(kind), width_(width), height_(height) {}

    Kind kind() const { return kind_; }
    std::uint64_t width() const { return width_; }
    std::uint64_t height() const { return height_; }

private:
    Kind kind_;
    std::uint64_t width_;
    std::uint64_t height_;
};

// The page asked for is past the file's last: it has only pages() pages (1
// for any file but TIFF). The caller words the message.
class NoSuchPage : public std::out_of_range {
public:
    explicit NoSuchPage(std::uint32_t pages)
        : std::out_of_range("the file has only " + std::to_string(pages) + (pages == 1 ? " page" : " pages")),
          pages_(pages) {}
    std::uint32_t pages() const { return pages_; }

private:
    std::uint32_t pages_;
};

// How the stored rows are to be turned to show the picture as the file
// means it, by the EXIF / TIFF orientation values:
//   1 as stored            2 mirrored left to right
//   3 turned 180 degrees   4 mirrored top to bottom
//   5 mirrored along the main diagonal (transposed)
//   6 turned 90 degrees clockwise
//   7 mirrored along the other diagonal (transversed)
//   8 turned 90 degrees counter-clockwise
// Any other value a file holds counts as 1.
enum class Orientation : std::uint8_t {
    kNormal = 1, kMirrored, kTurned180, kFlipped, kTransposed, kTurned90, kTransversed, kTurned270,
};

// The resolution a file declares for its picture, in whole pixels a metre
// along its rows (x) and its columns (y), as the files the program writes
// hold it (a BMP file's biXPelsPerMeter, a PNG file's pHYs in metres). Both
// 0 when the file declares none: no resolution field, a unit that gives an
// aspect ratio only, or a value that is not one (see PerMetre).
struct Resolution {
    constexpr Resolution() = default;
    constexpr Resolution(std::uint32_t across, std::uint32_t down) : x(across), y(down) {}

    std::uint32_t x = 0;
    std::uint32_t y = 0;

    bool Known() const { return x != 0 && y != 0; }
    bool operator==(const Resolution&) const = default;
};

// The units a file gives its resolution in.
enum class ResolutionUnit : std::uint8_t { kInch, kCentimetre, kMetre };

// A file's resolution from its two values in a unit, each turned into
// pixels a metre and rounded to the nearest whole number, halves up:
//   inch        round(v / 0.0254), computed as round(v * 10000 / 254)
//               (72 dpi gives 2835, 96 gives 3780, 300 gives 11811)
//   centimetre  round(v * 100)
//   metre       round(v)
// The resolution is none (both 0) unless both values give a whole number
// from 1 to 2^31 - 1, the largest either output format holds: a value of 0,
// a negative one, one that is not a number, or one that rounds to 0 or
// past that bound make the whole resolution none.
inline Resolution PerMetre(double x, double y, ResolutionUnit unit) {
    const auto one = [unit](double value) -> std::uint32_t {
        const double perMetre = unit == ResolutionUnit::kInch         ? value * 10000.0 / 254.0
                                : unit == ResolutionUnit::kCentimetre ? value * 100.0
                                                                      : value;
        // Also false for a value that is not a number.
        if (!(perMetre >= 0.5 && perMetre < 2147483647.5)) return 0;
        return static_cast<std::uint32_t>(std::floor(perMetre + 0.5));
    };
    const std::uint32_t across = one(x), down = one(y);
    if (across == 0 || down == 0) return {};
    return {across, down};
}

// The size a file declares for its picture, as stored (before orientation),
// how the picture is to be shown, and its resolution as stored (x along
// the stored rows).
struct DeclaredSize {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    Orientation orientation = Orientation::kNormal;
    Resolution resolution{};
};

// A colour sample of a pixel with the given coverage (alpha), laid over
// white paper: round((value * alpha + 255 * (255 - alpha)) / 255). Alpha 255
// keeps the value, alpha 0 gives white.
constexpr std::uint8_t OverWhite(std::uint32_t value, std::uint32_t alpha) {
    return static_cast<std::uint8_t>((value * alpha + 255 * (255 - alpha) + 127) / 255);
}

// The same for 16-bit samples and alpha, rounded once to 8 bits:
// round(((value * alpha + 65535 * (65535 - alpha)) / 65535) * 255 / 65535).
constexpr std::uint8_t OverWhite16(std::uint32_t value, std::uint32_t alpha) {
    const std::uint64_t laid =
        std::uint64_t{value} * alpha + std::uint64_t{65535} * (65535 - alpha);  // scaled by 65535
    return static_cast<std::uint8_t>((laid * 255 + std::uint64_t{65535} * 65535 / 2) /
                                     (std::uint64_t{65535} * 65535));
}

}  // namespace codec
