#include "codec/bmp.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/bytes.h"

namespace codec {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::uint32_t kMaxFileSize = 0xFFFFFFFFu;
// The file header and the 40-byte info header before a 24-bit file's rows.
constexpr std::size_t kBmp24HeaderBytes = kFileHeaderSize + kInfoHeaderSize;

// How the pixel array is stored, after the header's compression field has
// been read in the light of the header kind (OS/2 2.x reuses 3 and 4).
enum class Storage { kPlain, kBitFields, kRle8, kRle4, kRle24 };

// The three header families. Their fields sit at the same places from the
// width on, except in the core header, whose sizes are 16-bit.
enum class HeaderKind { kCore, kWindows, kOs2 };

using Bgr = std::array<std::uint8_t, 3>;

std::string Hex(std::uint32_t value) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text = "0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned digit = (value >> shift) & 0xFu;
        if (digit != 0 || started || shift == 0) {
            text += kDigits[digit];
            started = true;
        }
    }
    return text;
}

// One colour channel described by a bit mask: where its bits are, and how a
// value of that many bits becomes 8 bits.
class Channel {
public:
    explicit Channel(std::uint32_t mask) : mask_(mask) {
        if (mask == 0) return;  // no bits: the channel reads as 0
        shift_ = std::countr_zero(mask);
        bits_ = std::popcount(mask);
        // A channel of n bits scales to 8 by value: v * 255 / (2^n - 1),
        // rounded to nearest, so 0 stays 0 and the largest value becomes
        // 255 (5-bit 1 becomes 8, 3 becomes 25).
        max_ = bits_ == 32 ? 0xFFFFFFFFu : (1u << bits_) - 1;
        if (bits_ < 8)
            for (std::uint32_t v = 0; v <= max_; ++v) table_[v] = Scale(v);
    }

    std::uint8_t operator()(std::uint32_t pixel) const {
        const std::uint32_t v = (pixel & mask_) >> shift_;
        if (bits_ < 8) return table_[v];
        return bits_ == 8 ? static_cast<std::uint8_t>(v) : Scale(v);
    }

private:
    std::uint8_t Scale(std::uint32_t v) const {
        return static_cast<std::uint8_t>((std::uint64_t{v} * 255 + max_ / 2) / max_);
    }

    std::uint32_t mask_ = 0;
    std::uint32_t max_ = 1;
    int shift_ = 0;
    int bits_ = 0;
    std::array<std::uint8_t, 128> table_{};  // only for channels of 1..7 bits
};

// Everything the headers say about the picture, checked.
struct Layout {
    HeaderKind kind = HeaderKind::kWindows;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool topDown = false;
    unsigned bitsPerPixel = 0;
    Storage storage = Storage::kPlain;
    std::array<std::uint32_t, 4> masks{};  // red, green, blue, alpha (0: no alpha)
    std::uint32_t colorsUsed = 0;
    std::size_t infoEnd = 0;               // bytes of the bitmap header and the bit masks after it
    std::array<Bgr, 256> palette{};        // entries past the stored palette stay black
    std::size_t pixelOffset = 0;           // where the rows start in the bytes decoded
    Resolution resolution;                 // biXPelsPerMeter and biYPelsPerMeter
};

const char* ChannelName(int i) {
    static const char* const kNames[] = {"red", "green", "blue", "alpha"};
    return kNames[i];
}

void CheckMasks(const Layout& layout) {
    const std::uint64_t limit = (std::uint64_t{1} << layout.bitsPerPixel) - 1;
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t mask = layout.masks[i];
        if (mask == 0) continue;
        const std::uint32_t run = mask >> std::countr_zero(mask);
        if ((run & (run + 1)) != 0)  // true only when the set bits are one run
            throw BmpError(std::string("the ") + ChannelName(i) + " bit mask " + Hex(mask) +
                           " is not one run of bits");
        if (mask > limit)
            throw BmpError(std::string("the ") + ChannelName(i) + " bit mask " + Hex(mask) +
                           " does not fit in " + std::to_string(layout.bitsPerPixel) +
                           "-bit pixels");
    }
}

// Reads the bitmap header at the start of `info` (and the bit masks that
// may follow it), as it stands in a file after the file header or at the
// start of an icon's bitmap. Everything the header says is checked except
// the pixel limit and where the pixels are.
Layout ReadBitmapHeader(std::span<const std::uint8_t> info) {
    const std::size_t size = info.size();
    if (size < 4) throw BmpError("the file ends inside the bitmap header");
    const std::uint32_t headerSize = Le32(info.data());

    Layout layout;
    if (headerSize == 12) {
        layout.kind = HeaderKind::kCore;
    } else if (headerSize == 40 || headerSize == 52 || headerSize == 56 || headerSize == 108 ||
               headerSize == 124) {
        layout.kind = HeaderKind::kWindows;
    } else if (headerSize >= 16 && headerSize <= 64) {
        // OS/2 2.x headers may stop after any field; missing fields read as 0.
        layout.kind = HeaderKind::kOs2;
    } else {
        throw BmpError("the bitmap header size " + std::to_string(headerSize) +
                       " is not one this program knows", BmpError::Kind::kUnsupported);
    }
    if (headerSize > size) throw BmpError("the file ends inside the bitmap header");

    const std::uint8_t* header = info.data();
    // A 32-bit field of the info header at the given offset, or 0 when a
    // shortened OS/2 header stops before it.
    auto field = [&](std::size_t at) -> std::uint32_t {
        return at + 4 <= headerSize ? Le32(header + at) : 0;
    };

    unsigned planes;
    std::uint32_t compression = 0;
    if (layout.kind == HeaderKind::kCore) {
        layout.width = Le16(header + 4);
        layout.height = Le16(header + 6);
        planes = Le16(header + 8);
        layout.bitsPerPixel = Le16(header + 10);
    } else {
        const auto width = static_cast<std::int32_t>(Le32(header + 4));
        const auto height = static_cast<std::int32_t>(Le32(header + 8));
        planes = Le16(header + 12);
        layout.bitsPerPixel = Le16(header + 14);
        compression = field(16);
        layout.colorsUsed = field(32);
        // Pixels a metre (signed; 0 or less declares none). An OS/2 2.x
        // header gives its unit at 40, where 0, the only one defined, is
        // the metre.
        const bool metres = layout.kind != HeaderKind::kOs2 || headerSize < 42 || Le16(header + 40) == 0;
        if (metres)
            layout.resolution = PerMetre(static_cast<std::int32_t>(field(24)), static_cast<std::int32_t>(field(28)),
                                         ResolutionUnit::kMetre);
        if (width < 0) throw BmpError("the width is negative (" + std::to_string(width) + ")");
        if (height == std::numeric_limits<std::int32_t>::min())
            throw BmpError("the height " + std::to_string(height) + " is out of range");
        layout.width = width;
        layout.topDown = height < 0;  // a negative height stores the top row first
        layout.height = height < 0 ? -static_cast<std::int64_t>(height) : height;
    }

    if (planes != 1)
        throw BmpError("the bitmap has " + std::to_string(planes) + " colour planes instead of 1");

    const unsigned bpp = layout.bitsPerPixel;
    const std::string depth = std::to_string(bpp) + " bits per pixel";

    // Compression. Windows and OS/2 2.x agree on 0, 1 and 2; 3 and 4 mean
    // bit fields and JPEG to Windows but Huffman 1D and RLE24 to OS/2. A
    // 40-byte header is shared by both, so there the pixel size decides:
    // bit fields never come with 1-bit pixels and JPEG data declares 0 bits.
    const bool os2Codes = layout.kind == HeaderKind::kOs2 ||
                          (headerSize == kInfoHeaderSize &&
                           ((compression == 3 && bpp == 1) || (compression == 4 && bpp == 24)));
    switch (compression) {
        case 0:
            layout.storage = Storage::kPlain;
            break;
        case 1:
            if (bpp != 8) throw BmpError("RLE8 compression needs 8 bits per pixel, not " + depth);
            layout.storage = Storage::kRle8;
            break;
        case 2:
            if (bpp != 4) throw BmpError("RLE4 compression needs 4 bits per pixel, not " + depth);
            layout.storage = Storage::kRle4;
            break;
        case 3:
            if (os2Codes)
                throw BmpError("the picture uses OS/2 Huffman 1D compression, which is not supported", BmpError::Kind::kUnsupported);
            [[fallthrough]];
        case 6:
            if (bpp != 16 && bpp != 32)
                throw BmpError("bit field pixels must have 16 or 32 bits, not " + depth);
            layout.storage = Storage::kBitFields;
            break;
        case 4:
            if (!os2Codes)
                throw BmpError("the picture is an embedded JPEG image, which is not supported", BmpError::Kind::kUnsupported);
            if (bpp != 24) throw BmpError("RLE24 compression needs 24 bits per pixel, not " + depth);
            layout.storage = Storage::kRle24;
            break;
        case 5:
            if (layout.kind == HeaderKind::kWindows)
                throw BmpError("the picture is an embedded PNG image, which is not supported", BmpError::Kind::kUnsupported);
            [[fallthrough]];
        default:
            throw BmpError("the compression method " + std::to_string(compression) +
                           " is not one this program knows", BmpError::Kind::kUnsupported);
    }
    if (layout.storage == Storage::kBitFields && layout.kind == HeaderKind::kOs2)
        throw BmpError("the compression method " + std::to_string(compression) +
                       " is not one this program knows", BmpError::Kind::kUnsupported);

    if (layout.storage == Storage::kPlain) {
        if (bpp == 64) throw BmpError("64-bit pixels are not supported", BmpError::Kind::kUnsupported);
        if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
            throw BmpError(depth + " is not a valid BMP pixel size");
    }
    if (layout.topDown && layout.storage != Storage::kPlain && layout.storage != Storage::kBitFields)
        throw BmpError("a compressed picture cannot be stored top-down");

    // Bit masks: in the header from the 52-byte version on (with alpha from
    // the 56-byte one), otherwise in the 12 bytes (with BI_ALPHABITFIELDS 16,
    // alpha last) right after a 40-byte header.
    layout.infoEnd = headerSize;
    if (layout.storage == Storage::kBitFields) {
        const std::uint8_t* masks = header + kInfoHeaderSize;
        int count = 3;
        if (headerSize == kInfoHeaderSize) {
            count = compression == 6 ? 4 : 3;
            const std::size_t maskBytes = 4 * static_cast<std::size_t>(count);
            if (layout.infoEnd + maskBytes > size) throw BmpError("the file ends inside the bit masks");
            layout.infoEnd += maskBytes;
        } else if (headerSize >= 56) {
            count = 4;
        }
        for (int i = 0; i < count; ++i) layout.masks[static_cast<std::size_t>(i)] = Le32(masks + 4 * i);
    } else if (bpp == 16) {
        layout.masks = {0x7C00, 0x03E0, 0x001F, 0};  // 5-5-5, the top bit unused
    } else if (bpp == 32) {
        layout.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0};
    }
    if (bpp == 16 || bpp == 32) CheckMasks(layout);
    return layout;
}

// Reads `count` palette entries starting at `at` (blue, green, red, then a
// fourth byte unless the header is the core one).
void ReadPalette(std::span<const std::uint8_t> bytes, std::size_t at, std::uint64_t count, Layout& layout) {
    const std::size_t entrySize = layout.kind == HeaderKind::kCore ? 3 : 4;
    count = std::min<std::uint64_t>(count, layout.palette.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = bytes.data() + at + i * entrySize;
        layout.palette[i] = {entry[0], entry[1], entry[2]};
    }
}

std::size_t PaletteEntrySize(const Layout& layout) { return layout.kind == HeaderKind::kCore ? 3 : 4; }

// The file header and bitmap header of a BMP file of `size` bytes, and its
// palette, from `file`: the whole file or its first bytes, as long as they
// hold the headers, the bit masks and every byte before the pixel data
// that the palette may take.
Layout ReadHeaders(std::span<const std::uint8_t> file, std::uint64_t size) {
    if (size < kFileHeaderSize + 4) throw BmpError("the file is too short to be a BMP file");
    if (!LooksLikeBmp(file)) throw BmpError("the file does not start with the BMP signature \"BM\"");

    const std::uint32_t pixelOffset = Le32(file.data() + 10);
    Layout layout = ReadBitmapHeader(file.subspan(kFileHeaderSize));
    const std::size_t headersEnd = kFileHeaderSize + layout.infoEnd;

    if (pixelOffset < headersEnd)
        throw BmpError("the pixel data offset " + std::to_string(pixelOffset) +
                       " points inside the headers");
    if (pixelOffset > size)
        throw BmpError("the pixel data offset " + std::to_string(pixelOffset) +
                       " is past the end of the file");
    layout.pixelOffset = pixelOffset;

    // The palette sits between the headers and the pixels. It holds
    // colorsUsed entries, or 2^bpp when that is 0, but never more than fit
    // before the pixel data; indexes past it read as black.
    const unsigned bpp = layout.bitsPerPixel;
    if (bpp <= 8) {
        const std::uint64_t fullSize = std::uint64_t{1} << bpp;
        std::uint64_t count = layout.colorsUsed != 0 ? std::min<std::uint64_t>(layout.colorsUsed, fullSize) : fullSize;
        count = std::min<std::uint64_t>(count, (pixelOffset - headersEnd) / PaletteEntrySize(layout));
        if (count == 0) throw BmpError("the picture has no colour palette");
        ReadPalette(file, headersEnd, count, layout);
    }
    return layout;
}

Layout ReadHeaders(std::span<const std::uint8_t> file) { return ReadHeaders(file, file.size()); }

// Bytes per stored row of an uncompressed pixel array: whole 32-bit words.
std::uint64_t StoredRowBytes(std::uint64_t width, unsigned bitsPerPixel) {
    return (width * bitsPerPixel + 31) / 32 * 4;
}
std::uint64_t StoredRowBytes(const Layout& layout) {
    return StoredRowBytes(static_cast<std::uint64_t>(layout.width), layout.bitsPerPixel);
}

void CheckPixelLimit(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels) {
    if (width * height > maxPixels)
        throw BmpError("the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                       " pixels, more than the limit of " + std::to_string(maxPixels) + " pixels",
                       BmpError::Kind::kTooLarge, width, height);
}

// The stored row of picture row y.
int StoredRow(const Layout& layout, int y, int height) { return layout.topDown ? y : height - 1 - y; }

// True when the alpha channel of a 16- or 32-bit picture can count: it has
// an alpha mask.
bool HasAlphaMask(const Layout& layout) {
    return layout.masks[3] != 0 && (layout.bitsPerPixel == 16 || layout.bitsPerPixel == 32);
}

// True when some pixel of the stored row has alpha other than zero.
bool RowHasAlpha(const std::uint8_t* src, const Layout& layout, int width) {
    const std::uint32_t mask = layout.masks[3];
    for (int x = 0; x < width; ++x) {
        const std::uint32_t pixel = layout.bitsPerPixel == 16 ? Le16(src + 2 * static_cast<std::size_t>(x))
                                                              : Le32(src + 4 * static_cast<std::size_t>(x));
        if ((pixel & mask) != 0) return true;
    }
    return false;
}

// True when some pixel of a 16- or 32-bit picture with an alpha mask has
// alpha other than zero: only then does the alpha channel count.
bool AnyAlpha(const std::uint8_t* pixels, const Layout& layout, int width, int height) {
    if (!HasAlphaMask(layout)) return false;
    const std::uint64_t rowBytes = StoredRowBytes(layout);
    for (int stored = 0; stored < height; ++stored)
        if (RowHasAlpha(pixels + stored * rowBytes, layout, width)) return true;
    return false;
}

// Uncompressed rows (palette indexes, 24-bit, or 16/32-bit with bit
// fields), each padded to whole 32-bit words. With useAlpha, the alpha
// channel lays every pixel over white paper.
class PlainRows {
public:
    PlainRows(const Layout& layout, bool useAlpha)
        : layout_(layout),
          red_(layout.masks[0]),
          green_(layout.masks[1]),
          blue_(layout.masks[2]),
          alpha_(useAlpha ? layout.masks[3] : 0),
          useAlpha_(useAlpha) {}

    // One stored row, src, as width pixels of blue, green, red into out.
    void Decode(const std::uint8_t* src, int width, std::uint8_t* out) const {
        const unsigned bpp = layout_.bitsPerPixel;
        const unsigned indexMask = (1u << (bpp <= 8 ? bpp : 1)) - 1;
        switch (bpp) {
            case 1:
            case 2:
            case 4:
            case 8:
                // Indexes are packed from the most significant bits of each byte.
                for (int x = 0; x < width; ++x, out += 3) {
                    const std::uint64_t bit = static_cast<std::uint64_t>(x) * bpp;
                    const unsigned shift = 8 - bpp - static_cast<unsigned>(bit & 7);
                    const Bgr& colour = layout_.palette[(src[bit >> 3] >> shift) & indexMask];
                    std::memcpy(out, colour.data(), 3);
                }
                break;
            case 24:
                std::memcpy(out, src, static_cast<std::size_t>(width) * 3);
                break;
            case 16:
            case 32:
                for (int x = 0; x < width; ++x, out += 3) {
                    const std::uint32_t pixel =
                        bpp == 16 ? Le16(src + 2 * static_cast<std::size_t>(x))
                                  : Le32(src + 4 * static_cast<std::size_t>(x));
                    out[0] = blue_(pixel);
                    out[1] = green_(pixel);
                    out[2] = red_(pixel);
                    if (useAlpha_) {
                        const std::uint8_t a = alpha_(pixel);
                        for (int c = 0; c < 3; ++c) out[c] = OverWhite(out[c], a);
                    }
                }
                break;
        }
    }

private:
    const Layout& layout_;
    const Channel red_;
    const Channel green_;
    const Channel blue_;
    const Channel alpha_;
    const bool useAlpha_;
};

void DecodePlain(const std::uint8_t* pixels, const Layout& layout, const ops::RowView& view, bool useAlpha) {
    const PlainRows rows(layout, useAlpha);
    const std::uint64_t rowBytes = StoredRowBytes(layout);
    for (int stored = 0; stored < view.height; ++stored)
        rows.Decode(pixels + stored * rowBytes, view.width, view.row(StoredRow(layout, stored, view.height)));
}

// Run-length streams (RLE8, RLE4, and OS/2 RLE24). The stream starts at the
// pixel offset and runs to the end of the file at most. Rows go bottom-up.
// Pixels the stream never sets stay black. A run that passes the end of its
// row is cut there (the rest of the run is dropped, it does not wrap), and
// the stream stops at the end-of-bitmap code or once it moves past the last
// row. A stream that ends before either, while rows are still to come, is
// damage: the rest of the picture is not in the file.
void DecodeRle(std::span<const std::uint8_t> file, const Layout& layout, const ops::RowView& view) {
    const std::int64_t width = view.width;
    const std::int64_t height = view.height;
    for (int row = 0; row < height; ++row)
        std::memset(view.row(row), 0, static_cast<std::size_t>(width) * 3);

    const std::uint8_t* const data = file.data();
    const std::size_t end = file.size();
    std::size_t at = layout.pixelOffset;
    std::int64_t x = 0;
    std::int64_t y = 0;  // stored row, 0 at the bottom

    // The stream has ended without an end-of-bitmap code. Having filled the
    // whole last row loses nothing; anything less does.
    auto cut = [&] {
        if (y >= height || (y == height - 1 && x >= width)) return;
        throw BmpError("the file ends inside the pixel data");
    };
    auto put = [&](std::int64_t px, const std::uint8_t* bgr) {
        if (px < width) std::memcpy(view.row(static_cast<int>(height - 1 - y)) + 3 * px, bgr, 3);
    };
    auto paletteColour = [&](unsigned index) { return layout.palette[index].data(); };

    while (y < height) {
        if (end - at < 2) return cut();
        const unsigned count = data[at];
        const unsigned code = data[at + 1];
        at += 2;

        if (count > 0) {
            // A repeated run of `count` pixels.
            if (layout.storage == Storage::kRle24) {
                // The pixel follows the count as blue, green, red.
                if (end - at < 2) return cut();
                const Bgr pixel = {static_cast<std::uint8_t>(code), data[at], data[at + 1]};
                at += 2;
                const std::int64_t stop = std::min<std::int64_t>(x + count, width);
                for (std::int64_t px = x; px < stop; ++px) put(px, pixel.data());
                x += count;
                continue;
            }
            // RLE4 alternates the two indexes of the byte, high nibble first.
            const std::uint8_t* colours[2];
            if (layout.storage == Storage::kRle4) {
                colours[0] = paletteColour(code >> 4);
                colours[1] = paletteColour(code & 0xF);
            } else {
                colours[0] = colours[1] = paletteColour(code);
            }
            const std::int64_t stop = std::min<std::int64_t>(x + count, width);
            for (std::int64_t px = x; px < stop; ++px) put(px, colours[(px - x) & 1]);
            x += count;
            continue;
        }

        switch (code) {
            case 0:  // end of line
                x = 0;
                ++y;
                break;
            case 1:  // end of bitmap
                return;
            case 2:  // move right and up
                if (end - at < 2) return cut();
                x += data[at];
                y += data[at + 1];
                at += 2;
                break;
            default: {
                // An absolute run of `code` pixels stored as they are, padded
                // to a whole number of 16-bit words.
                const std::uint64_t n = code;
                const std::uint64_t bytes = layout.storage == Storage::kRle8   ? n
                                            : layout.storage == Storage::kRle4 ? (n + 1) / 2
                                                                               : 3 * n;
                if (bytes > end - at) throw BmpError("the file ends inside the pixel data");
                const std::uint8_t* run = data + at;
                for (std::uint64_t i = 0; i < n; ++i) {
                    const std::int64_t px = x + static_cast<std::int64_t>(i);
                    if (px >= width) break;
                    if (layout.storage == Storage::kRle8) {
                        put(px, paletteColour(run[i]));
                    } else if (layout.storage == Storage::kRle4) {
                        put(px, paletteColour((i & 1) ? run[i / 2] & 0xF : run[i / 2] >> 4));
                    } else {
                        put(px, run + 3 * i);
                    }
                }
                at += static_cast<std::size_t>(bytes + (bytes & 1));
                if (at > end) at = end;
                x += static_cast<std::int64_t>(n);
                break;
            }
        }
    }
}

}  // namespace

bool LooksLikeBmp(std::span<const std::uint8_t> file) {
    return file.size() >= 2 && file[0] == 'B' && file[1] == 'M';
}

std::optional<std::uint64_t> PackedBitmapPixelOffset(std::span<const std::uint8_t> head, std::uint64_t fileSize) {
    if (head.size() < 4) return std::nullopt;
    const std::uint32_t headerSize = Le32(head.data());
    if (headerSize != 12 && headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 108 &&
        headerSize != 124)
        return std::nullopt;
    Layout layout;
    try {
        layout = ReadBitmapHeader(head);
    } catch (const BmpError&) {
        return std::nullopt;
    }
    if (layout.width == 0 || layout.height == 0) return std::nullopt;
    // The palette: colorsUsed entries (for 16, 24 and 32 bits a pixel too,
    // as a table that helps a display), or every index when that is 0.
    std::uint64_t entries = layout.colorsUsed;
    if (layout.bitsPerPixel <= 8) {
        const std::uint64_t indexes = std::uint64_t{1} << layout.bitsPerPixel;
        if (entries == 0 || layout.kind == HeaderKind::kCore) entries = indexes;
        if (entries > indexes) return std::nullopt;
    } else if (entries > 256) {
        return std::nullopt;
    }
    const std::uint64_t offset = layout.infoEnd + entries * PaletteEntrySize(layout);
    // The pixels, whole: every row, or the bytes a run-length stream
    // declares (which a compressed bitmap must).
    std::uint64_t pixelBytes = 0;
    if (layout.storage == Storage::kPlain || layout.storage == Storage::kBitFields) {
        const std::uint64_t rowBytes = StoredRowBytes(layout);
        if (rowBytes > fileSize / static_cast<std::uint64_t>(layout.height)) return std::nullopt;
        pixelBytes = rowBytes * static_cast<std::uint64_t>(layout.height);
    } else {
        pixelBytes = Le32(head.data() + 20);
        if (pixelBytes == 0) return std::nullopt;
    }
    if (offset + pixelBytes > fileSize) return std::nullopt;
    return offset;
}

RandomAccess AsBmpFile(const RandomAccess& file) {
    std::uint8_t head[kPackedHeadBytes];
    const std::size_t got = ReadUpTo(file, 0, head, sizeof head);
    const std::span<const std::uint8_t> first(head, got);
    if (LooksLikeBmp(first)) return file;
    const std::optional<std::uint64_t> offset = PackedBitmapPixelOffset(first, file.size);
    if (!offset) return file;
    std::array<std::uint8_t, kFileHeaderSize> header{};
    header[0] = 'B';
    header[1] = 'M';
    const std::uint64_t size = file.size + kFileHeaderSize;
    for (int i = 0; i < 4; ++i) {
        header[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(std::min<std::uint64_t>(size, kMaxFileSize) >> (8 * i));
        header[10 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((*offset + kFileHeaderSize) >> (8 * i));
    }
    return {size, [file, header](std::uint64_t at, std::uint8_t* buffer, std::size_t wanted) {
                std::size_t done = 0;
                if (at < kFileHeaderSize) {
                    done = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, kFileHeaderSize - at));
                    std::memcpy(buffer, header.data() + at, done);
                }
                if (done == wanted) return done;
                return done + ReadUpTo(file, at + done - kFileHeaderSize, buffer + done, wanted - done);
            }};
}

BmpSize DecodeBmp(std::span<const std::uint8_t> file, const AllocateRows& allocate, std::uint64_t maxPixels) {
    const Layout layout = ReadHeaders(file);
    if (layout.width == 0 || layout.height == 0) return {0, 0};
    CheckPixelLimit(static_cast<std::uint64_t>(layout.width), static_cast<std::uint64_t>(layout.height), maxPixels);

    const int width = static_cast<int>(layout.width);
    const int height = static_cast<int>(layout.height);
    const bool plain = layout.storage == Storage::kPlain || layout.storage == Storage::kBitFields;
    bool useAlpha = false;
    if (plain) {
        // An uncompressed pixel array must be whole before any memory is taken.
        const std::uint64_t available = file.size() - layout.pixelOffset;
        if (available / StoredRowBytes(layout) < static_cast<std::uint64_t>(layout.height))
            throw BmpError("the file ends inside the pixel data");
        useAlpha = AnyAlpha(file.data() + layout.pixelOffset, layout, width, height);
    }

    const ops::RowView view = AllocateFitting(allocate, width, height);
    if (plain)
        DecodePlain(file.data() + layout.pixelOffset, layout, view, useAlpha);
    else
        DecodeRle(file, layout, view);
    return {width, height};
}

namespace {

// An icon's bitmap: its header, with the height halved and the pixels known
// to be stored plainly, and where its parts lie from the header's start.
struct IconLayout {
    Layout layout;
    std::uint64_t paletteEntries = 0;
    std::uint64_t maskOffset = 0;
    std::uint64_t bytes = 0;  // to the end of the mask
};

IconLayout ReadIconLayout(std::span<const std::uint8_t> head) {
    IconLayout icon;
    Layout& layout = icon.layout;
    layout = ReadBitmapHeader(head);
    if (layout.storage != Storage::kPlain && layout.storage != Storage::kBitFields)
        throw BmpError("the icon's bitmap is run-length compressed, which is not supported",
                       BmpError::Kind::kUnsupported);
    if (layout.height % 2 != 0)
        throw BmpError("the icon's bitmap declares an odd height (" + std::to_string(layout.height) +
                       "), not twice the picture's");
    layout.height /= 2;
    if (layout.width == 0 || layout.height == 0) throw BmpError("the icon has no pixels");
    // The palette follows the header: colorsUsed entries, or 2^bpp when that
    // is 0 and the pixels are indexes.
    icon.paletteEntries = layout.colorsUsed != 0 ? layout.colorsUsed
                          : layout.bitsPerPixel <= 8 ? std::uint64_t{1} << layout.bitsPerPixel
                                                     : 0;
    if (icon.paletteEntries > 256)
        throw BmpError("the icon's palette of " + std::to_string(icon.paletteEntries) +
                       " colours is larger than any icon needs");
    // Only bit fields declare alpha; plain 32-bit icon pixels carry it in
    // their fourth byte.
    if (layout.bitsPerPixel == 32 && layout.storage == Storage::kPlain) layout.masks[3] = 0xFF000000u;
    const auto width = static_cast<std::uint64_t>(layout.width);
    const auto height = static_cast<std::uint64_t>(layout.height);
    layout.pixelOffset = layout.infoEnd + icon.paletteEntries * PaletteEntrySize(layout);
    icon.maskOffset = layout.pixelOffset + height * StoredRowBytes(layout);
    icon.bytes = icon.maskOffset + height * StoredRowBytes(width, 1);
    return icon;
}

}  // namespace

IconBitmapInfo ReadIconBitmapInfo(std::span<const std::uint8_t> head) {
    const IconLayout icon = ReadIconLayout(head);
    return {static_cast<std::uint64_t>(icon.layout.width), static_cast<std::uint64_t>(icon.layout.height),
            icon.layout.bitsPerPixel, icon.bytes};
}

BmpSize DecodeIconBitmap(std::span<const std::uint8_t> bitmap, const AllocateRows& allocate, std::uint64_t maxPixels) {
    IconLayout icon = ReadIconLayout(bitmap);
    Layout& layout = icon.layout;
    CheckPixelLimit(static_cast<std::uint64_t>(layout.width), static_cast<std::uint64_t>(layout.height), maxPixels);
    const int width = static_cast<int>(layout.width);
    const int height = static_cast<int>(layout.height);
    if (icon.bytes > bitmap.size()) throw BmpError("the file ends inside the icon's pixels or mask");
    if (layout.bitsPerPixel <= 8) ReadPalette(bitmap, layout.infoEnd, icon.paletteEntries, layout);

    const std::uint8_t* pixels = bitmap.data() + layout.pixelOffset;
    const bool useAlpha = AnyAlpha(pixels, layout, width, height);
    const ops::RowView view = AllocateFitting(allocate, width, height);
    DecodePlain(pixels, layout, view, useAlpha);
    if (useAlpha) return {width, height};

    // The mask: a bit of 1 shows the paper under the icon, here white.
    const std::uint64_t maskRowBytes = StoredRowBytes(static_cast<std::uint64_t>(width), 1);
    for (int stored = 0; stored < height; ++stored) {
        const std::uint8_t* bits = bitmap.data() + icon.maskOffset + stored * maskRowBytes;
        std::uint8_t* out = view.row(StoredRow(layout, stored, height));
        for (int x = 0; x < width; ++x)
            if ((bits[x >> 3] >> (7 - (x & 7))) & 1) std::memset(out + 3 * x, 0xFF, 3);
    }
    return {width, height};
}

std::optional<BmpExtent> BmpExtentOf(std::span<const std::uint8_t> head) {
    if (head.size() < kFileHeaderSize || !LooksLikeBmp(head)) return std::nullopt;
    Layout layout;
    try {
        layout = ReadBitmapHeader(head.subspan(kFileHeaderSize));
    } catch (const BmpError&) {
        return std::nullopt;
    }
    BmpExtent extent;
    extent.width = static_cast<std::uint64_t>(layout.width);
    extent.height = static_cast<std::uint64_t>(layout.height);
    extent.pixelOffset = Le32(head.data() + 10);
    if (layout.storage == Storage::kPlain || layout.storage == Storage::kBitFields)
        extent.pixelBytes = StoredRowBytes(layout) * extent.height;
    else
        extent.pixelBytes = 4 * (extent.width + 2) * extent.height + 64;
    return extent;
}

std::size_t BmpRowSize(int width) {
    if (width <= 0) return 0;
    return (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
}

namespace {

void Put16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The 54 bytes before the rows of a 24-bit file.
// Pixels a metre in a file whose picture declares no resolution: 72 dpi.
constexpr std::uint32_t kUndeclaredPerMetre = 2835;

std::array<std::uint8_t, kBmp24HeaderBytes> Bmp24Header(int width, int height, std::uint32_t imageSize,
                                                       const Resolution& resolution) {
    const bool known = resolution.Known();
    std::array<std::uint8_t, kBmp24HeaderBytes> header{};
    std::uint8_t* h = header.data();
    Put16(h + 0, 0x4D42);                                      // bfType "BM"
    Put32(h + 2, static_cast<std::uint32_t>(kBmp24HeaderBytes + imageSize));  // bfSize
    Put16(h + 6, 0);                                           // bfReserved1
    Put16(h + 8, 0);                                           // bfReserved2
    Put32(h + 10, kBmp24HeaderBytes);                          // bfOffBits
    Put32(h + 14, kInfoHeaderSize);                            // biSize
    Put32(h + 18, static_cast<std::uint32_t>(width));          // biWidth
    Put32(h + 22, static_cast<std::uint32_t>(height));         // biHeight, positive: bottom-up rows
    Put16(h + 26, 1);                                          // biPlanes
    Put16(h + 28, 24);                                         // biBitCount
    Put32(h + 30, 0);                                          // biCompression: none
    Put32(h + 34, imageSize);                                  // biSizeImage
    Put32(h + 38, known ? resolution.x : kUndeclaredPerMetre);  // biXPelsPerMeter
    Put32(h + 42, known ? resolution.y : kUndeclaredPerMetre);  // biYPelsPerMeter
    Put32(h + 46, 0);                                          // biClrUsed
    Put32(h + 50, 0);                                          // biClrImportant
    return header;
}

// The bytes of the rows of a 24-bit file of width x height pixels; throws
// BmpError when the picture has a negative size or the file would be larger
// than a BMP file can describe.
std::uint32_t Bmp24ImageSize(int width, int height) {
    if (width < 0 || height < 0) throw BmpError("the picture has a negative size");
    const std::optional<std::uint64_t> fileSize =
        Bmp24FileSize(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height));
    if (!fileSize)
        throw BmpError("the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                       " pixels, too large for a BMP file");
    return static_cast<std::uint32_t>(*fileSize - kBmp24HeaderBytes);
}

}  // namespace

std::optional<std::uint64_t> Bmp24FileSize(std::uint64_t width, std::uint64_t height) {
    constexpr std::uint64_t kMaxSide = 0x7FFFFFFF;  // the header's sizes are signed 32-bit
    if (width > kMaxSide || height > kMaxSide) return std::nullopt;
    const std::uint64_t imageSize = (width * 3 + 3) / 4 * 4 * height;  // below 2^64: both sides below 2^31
    if (imageSize > kMaxFileSize - kBmp24HeaderBytes) return std::nullopt;
    return kBmp24HeaderBytes + imageSize;
}

void EncodeBmp24(const ops::RowView& rows,
                 const std::function<void(const std::uint8_t* bytes, std::size_t size)>& sink,
                 const Resolution& resolution) {
    const int width = rows.width;
    const int height = rows.height;
    const std::uint32_t imageSize = Bmp24ImageSize(width, height);
    const std::uint64_t rowSize = BmpRowSize(width);
    if (imageSize != 0 && rows.data == nullptr) throw BmpError("the picture has no pixel data");
    const std::array<std::uint8_t, kBmp24HeaderBytes> header = Bmp24Header(width, height, imageSize, resolution);
    sink(header.data(), header.size());
    if (imageSize == 0) return;

    // Rows go out bottom-up, gathered into chunks of about 64 KiB. The
    // padding bytes of the chunk are zeroed once and never written again.
    const std::size_t rowsPerChunk = std::max<std::size_t>(1, 65536 / rowSize);
    std::vector<std::uint8_t> chunk(rowsPerChunk * rowSize, 0);
    const std::size_t pixelBytes = static_cast<std::size_t>(width) * 3;
    std::size_t filled = 0;
    for (int y = height - 1; y >= 0; --y) {
        std::memcpy(chunk.data() + filled * rowSize, rows.row(y), pixelBytes);
        if (++filled == rowsPerChunk || y == 0) {
            sink(chunk.data(), filled * rowSize);
            filled = 0;
        }
    }
}

BmpRowWriter::BmpRowWriter(int width, int height, WriteAt writeAt, const Resolution& resolution)
    : width_(width), height_(height), writeAt_(std::move(writeAt)) {
    const std::uint32_t imageSize = Bmp24ImageSize(width, height);
    rowSize_ = BmpRowSize(width);
    row_.assign(rowSize_, 0);  // the padding stays zero
    const std::array<std::uint8_t, kBmp24HeaderBytes> header = Bmp24Header(width, height, imageSize, resolution);
    writeAt_(0, header.data(), header.size());
}

void BmpRowWriter::Row(int y, const std::uint8_t* bgr) {
    if (y < 0 || y >= height_) throw std::out_of_range("the row is outside the picture");
    if (rowSize_ == 0) return;
    std::memcpy(row_.data(), bgr, 3 * static_cast<std::size_t>(width_));
    writeAt_(kBmp24HeaderBytes + static_cast<std::uint64_t>(height_ - 1 - y) * rowSize_, row_.data(), rowSize_);
}

namespace {

// The first bytes of a file the program reads as a BMP file's headers and
// palette; the pixel data is read after them.
constexpr std::size_t kHeadBytes = 64 * 1024;

// The bytes of a BMP file that the decoder is given: the first bytes
// (headers and palette), then no more of the pixel data than the decoder
// can use (BmpExtentOf), so a huge gap before the pixels or junk after them
// costs nothing. Pixels that start past the first bytes are put right after
// them, and the pixel offset in the header says so.
struct Gathered {
    std::vector<std::uint8_t> head;
    std::uint64_t size = 0;       // of all the bytes given
    std::uint64_t movedFrom = 0;  // where the bytes after head come from in the file, when moved
    bool moved = false;
};

Gathered Gather(const RandomAccess& file, std::uint64_t maxPixels) {
    Gathered gathered;
    std::vector<std::uint8_t>& head = gathered.head;
    head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(file.size, kHeadBytes)));
    head.resize(ReadUpTo(file, 0, head.data(), head.size()));
    gathered.size = head.size();
    const std::optional<BmpExtent> extent = BmpExtentOf(head);
    if (!extent || file.size <= head.size() || extent->width * extent->height > maxPixels ||
        extent->pixelOffset >= file.size)
        return gathered;
    const std::uint64_t pixelBytes = std::min(extent->pixelBytes, file.size - extent->pixelOffset);
    if (extent->pixelOffset <= head.size()) {
        gathered.size = std::max<std::uint64_t>(extent->pixelOffset + pixelBytes, head.size());
    } else {
        gathered.moved = true;
        gathered.movedFrom = extent->pixelOffset;
        gathered.size = head.size() + pixelBytes;
        Put32(head.data() + 10, static_cast<std::uint32_t>(head.size()));
    }
    return gathered;
}

// Copies size bytes of the gathered bytes from offset; false when the file
// gave fewer.
bool ReadGathered(const RandomAccess& file, const Gathered& gathered, std::uint64_t offset, std::uint8_t* out,
                  std::size_t size) {
    if (offset + size > gathered.size) return false;
    const std::uint64_t headSize = gathered.head.size();
    if (offset < headSize) {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(size, headSize - offset));
        std::memcpy(out, gathered.head.data() + offset, take);
        out += take;
        offset += take;
        size -= take;
    }
    if (size == 0) return true;
    const std::uint64_t from = gathered.moved ? gathered.movedFrom + (offset - headSize) : offset;
    return ReadUpTo(file, from, out, size) == size;
}

}  // namespace

struct BmpRowDecoder::State {
    RandomAccess file;
    std::uint64_t maxPixels = 0;
    Gathered gathered;
    Layout layout;
    bool plain = false;
    std::uint64_t rowBytes = 0;  // of a stored row of an uncompressed picture
    std::optional<PlainRows> rows;  // from the first row on
    int nextRow = 0;
    // Stored rows read a block at a time, so that a picture costs a few
    // reads rather than one a row: rows blockFirst .. blockFirst + blockRows - 1.
    std::vector<std::uint8_t> block;
    int blockFirst = 0, blockRows = 0;

    // The bytes of stored row `stored`; a block that runs on in the order
    // the rows are read (ascending or not) is read when it is not held.
    const std::uint8_t* StoredRow(int stored, bool ascending);
};

namespace {

// The most bytes of stored rows read at once.
constexpr std::uint64_t kBlockBytes = 256 * 1024;

}  // namespace

const std::uint8_t* BmpRowDecoder::State::StoredRow(int stored, bool ascending) {
    if (stored < blockFirst || stored >= blockFirst + blockRows) {
        const int height = static_cast<int>(layout.height);
        const int most = static_cast<int>(std::clamp<std::uint64_t>(kBlockBytes / rowBytes, 1, static_cast<std::uint64_t>(height)));
        const int first = ascending ? stored : std::max(0, stored - most + 1);
        const int count = ascending ? std::min(most, height - stored) : stored - first + 1;
        blockRows = 0;  // until the read has succeeded
        block.resize(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(count));
        if (!ReadGathered(file, gathered, layout.pixelOffset + static_cast<std::uint64_t>(first) * rowBytes,
                          block.data(), block.size()))
            throw BmpError("the file ends inside the pixel data");
        blockFirst = first;
        blockRows = count;
    }
    return block.data() + static_cast<std::size_t>(stored - blockFirst) * static_cast<std::size_t>(rowBytes);
}

BmpRowDecoder::BmpRowDecoder(RandomAccess file, std::uint64_t maxPixels) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.file = std::move(file);
    s.maxPixels = maxPixels;
    s.gathered = Gather(s.file, maxPixels);
    s.layout = ReadHeaders(s.gathered.head, s.gathered.size);
    if (s.layout.width == 0 || s.layout.height == 0) {
        s.layout.width = s.layout.height = 0;
        return;
    }
    CheckPixelLimit(static_cast<std::uint64_t>(s.layout.width), static_cast<std::uint64_t>(s.layout.height), maxPixels);
    s.plain = s.layout.storage == Storage::kPlain || s.layout.storage == Storage::kBitFields;
    if (!s.plain) return;
    // An uncompressed pixel array must be whole before any row is read.
    s.rowBytes = StoredRowBytes(s.layout);
    const std::uint64_t available = s.gathered.size - s.layout.pixelOffset;
    if (available / s.rowBytes < static_cast<std::uint64_t>(s.layout.height))
        throw BmpError("the file ends inside the pixel data");
}

BmpRowDecoder::~BmpRowDecoder() = default;

int BmpRowDecoder::width() const { return static_cast<int>(state_->layout.width); }
int BmpRowDecoder::height() const { return static_cast<int>(state_->layout.height); }
Resolution BmpRowDecoder::resolution() const { return state_->layout.resolution; }
bool BmpRowDecoder::runLength() const { return !state_->plain && state_->layout.height > 0; }
std::uint64_t BmpRowDecoder::wholeFileBytes() const { return state_->gathered.size; }

void BmpRowDecoder::ReadRow(std::uint8_t* bgr) {
    State& s = *state_;
    if (!s.plain || s.nextRow >= s.layout.height) throw std::logic_error("no next row to read of the bmp picture");
    const int width = static_cast<int>(s.layout.width), height = static_cast<int>(s.layout.height);
    if (!s.rows) {
        // The alpha channel counts only when some pixel has alpha: every
        // row is looked at before the first one is decoded.
        bool useAlpha = false;
        if (HasAlphaMask(s.layout))
            for (int stored = 0; stored < height && !useAlpha; ++stored)
                useAlpha = RowHasAlpha(s.StoredRow(stored, /*ascending=*/true), s.layout, width);
        s.rows.emplace(s.layout, useAlpha);
    }
    s.rows->Decode(s.StoredRow(StoredRow(s.layout, s.nextRow, height), /*ascending=*/s.layout.topDown), width, bgr);
    ++s.nextRow;
}

void BmpRowDecoder::ReadAll(const AllocateRows& allocate) {
    State& s = *state_;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(s.gathered.size));
    if (!ReadGathered(s.file, s.gathered, 0, bytes.data(), bytes.size()))
        throw BmpError("the file ends inside the pixel data");
    DecodeBmp(bytes, allocate, s.maxPixels);
}

}  // namespace codec
