#include "codec/bmp.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace codec {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::uint32_t kMaxFileSize = 0xFFFFFFFFu;

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

// Little-endian reads. Every caller has checked that the bytes exist.
std::uint16_t Read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Read32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
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
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool topDown = false;
    unsigned bitsPerPixel = 0;
    Storage storage = Storage::kPlain;
    std::array<std::uint32_t, 3> masks{};  // red, green, blue
    std::array<Bgr, 256> palette{};        // entries past the file's palette stay black
    std::size_t pixelOffset = 0;
};

const char* ChannelName(int i) {
    static const char* const kNames[] = {"red", "green", "blue"};
    return kNames[i];
}

void CheckMasks(const Layout& layout) {
    const std::uint64_t limit = (std::uint64_t{1} << layout.bitsPerPixel) - 1;
    for (int i = 0; i < 3; ++i) {
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

Layout ReadHeaders(std::span<const std::uint8_t> file) {
    const std::size_t size = file.size();
    if (size < kFileHeaderSize + 4) throw BmpError("the file is too short to be a BMP file");
    if (!LooksLikeBmp(file)) throw BmpError("the file does not start with the BMP signature \"BM\"");

    const std::uint8_t* bytes = file.data();
    const std::uint32_t pixelOffset = Read32(bytes + 10);
    const std::uint32_t headerSize = Read32(bytes + 14);

    HeaderKind kind;
    if (headerSize == 12) {
        kind = HeaderKind::kCore;
    } else if (headerSize == 40 || headerSize == 52 || headerSize == 56 || headerSize == 108 ||
               headerSize == 124) {
        kind = HeaderKind::kWindows;
    } else if (headerSize >= 16 && headerSize <= 64) {
        // OS/2 2.x headers may stop after any field; missing fields read as 0.
        kind = HeaderKind::kOs2;
    } else {
        throw BmpError("the bitmap header size " + std::to_string(headerSize) +
                       " is not one this program knows", BmpError::Kind::kUnsupported);
    }
    if (kFileHeaderSize + headerSize > size) throw BmpError("the file ends inside the bitmap header");

    const std::uint8_t* header = bytes + kFileHeaderSize;
    // A 32-bit field of the info header at the given offset, or 0 when a
    // shortened OS/2 header stops before it.
    auto field = [&](std::size_t at) -> std::uint32_t {
        return at + 4 <= headerSize ? Read32(header + at) : 0;
    };

    Layout layout;
    unsigned planes;
    std::uint32_t compression = 0;
    std::uint32_t colorsUsed = 0;
    if (kind == HeaderKind::kCore) {
        layout.width = Read16(header + 4);
        layout.height = Read16(header + 6);
        planes = Read16(header + 8);
        layout.bitsPerPixel = Read16(header + 10);
    } else {
        const auto width = static_cast<std::int32_t>(Read32(header + 4));
        const auto height = static_cast<std::int32_t>(Read32(header + 8));
        planes = Read16(header + 12);
        layout.bitsPerPixel = Read16(header + 14);
        compression = field(16);
        colorsUsed = field(32);
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
    const bool os2Codes = kind == HeaderKind::kOs2 ||
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
            if (kind == HeaderKind::kWindows)
                throw BmpError("the picture is an embedded PNG image, which is not supported", BmpError::Kind::kUnsupported);
            [[fallthrough]];
        default:
            throw BmpError("the compression method " + std::to_string(compression) +
                           " is not one this program knows", BmpError::Kind::kUnsupported);
    }
    if (layout.storage == Storage::kBitFields && kind == HeaderKind::kOs2)
        throw BmpError("the compression method " + std::to_string(compression) +
                       " is not one this program knows", BmpError::Kind::kUnsupported);

    if (layout.storage == Storage::kPlain) {
        if (bpp == 64) throw BmpError("64-bit pixels are not supported", BmpError::Kind::kUnsupported);
        if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
            throw BmpError(depth + " is not a valid BMP pixel size");
    }
    if (layout.topDown && layout.storage != Storage::kPlain && layout.storage != Storage::kBitFields)
        throw BmpError("a compressed picture cannot be stored top-down");

    // Bit masks: in the header from the 52-byte version on, otherwise in the
    // 12 (or, with alpha, 16) bytes right after a 40-byte header.
    std::size_t headersEnd = kFileHeaderSize + headerSize;
    if (layout.storage == Storage::kBitFields) {
        const std::uint8_t* masks = header + kInfoHeaderSize;
        if (headerSize == kInfoHeaderSize) {
            const std::size_t maskBytes = compression == 6 ? 16 : 12;
            if (headersEnd + maskBytes > size) throw BmpError("the file ends inside the bit masks");
            headersEnd += maskBytes;
        }
        layout.masks = {Read32(masks), Read32(masks + 4), Read32(masks + 8)};
    } else if (bpp == 16) {
        layout.masks = {0x7C00, 0x03E0, 0x001F};  // 5-5-5, the top bit unused
    } else if (bpp == 32) {
        layout.masks = {0x00FF0000, 0x0000FF00, 0x000000FF};
    }
    if (bpp == 16 || bpp == 32) CheckMasks(layout);

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
    if (bpp <= 8) {
        const std::size_t entrySize = kind == HeaderKind::kCore ? 3 : 4;
        const std::uint64_t fullSize = std::uint64_t{1} << bpp;
        std::uint64_t count = colorsUsed != 0 ? std::min<std::uint64_t>(colorsUsed, fullSize) : fullSize;
        count = std::min<std::uint64_t>(count, (pixelOffset - headersEnd) / entrySize);
        if (count == 0) throw BmpError("the picture has no colour palette");
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* entry = bytes + headersEnd + i * entrySize;
            layout.palette[i] = {entry[0], entry[1], entry[2]};  // stored blue, green, red
        }
    }
    return layout;
}

// Bytes per stored row of an uncompressed pixel array: whole 32-bit words.
std::uint64_t StoredRowBytes(const Layout& layout) {
    return (static_cast<std::uint64_t>(layout.width) * layout.bitsPerPixel + 31) / 32 * 4;
}

// Checks the view allocate returned before anything is written through it.
void CheckView(const ops::RowView& view, std::int64_t width, std::int64_t height) {
    const std::int64_t rowBytes = 3 * width;
    if (view.data == nullptr || view.width != width || view.height != height ||
        (view.stride < rowBytes && view.stride > -rowBytes))
        throw BmpError("no memory could be set aside for the picture", BmpError::Kind::kNoMemory);
}

void DecodePlain(std::span<const std::uint8_t> file, const Layout& layout, const ops::RowView& view) {
    const int width = view.width;
    const int height = view.height;
    const unsigned bpp = layout.bitsPerPixel;
    const std::uint64_t rowBytes = StoredRowBytes(layout);

    const Channel red(layout.masks[0]);
    const Channel green(layout.masks[1]);
    const Channel blue(layout.masks[2]);
    const unsigned indexMask = (1u << (bpp <= 8 ? bpp : 1)) - 1;

    for (int stored = 0; stored < height; ++stored) {
        const std::uint8_t* src = file.data() + layout.pixelOffset + stored * rowBytes;
        std::uint8_t* out = view.row(layout.topDown ? stored : height - 1 - stored);
        switch (bpp) {
            case 1:
            case 2:
            case 4:
            case 8:
                // Indexes are packed from the most significant bits of each byte.
                for (int x = 0; x < width; ++x, out += 3) {
                    const std::uint64_t bit = static_cast<std::uint64_t>(x) * bpp;
                    const unsigned shift = 8 - bpp - static_cast<unsigned>(bit & 7);
                    const Bgr& colour = layout.palette[(src[bit >> 3] >> shift) & indexMask];
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
                        bpp == 16 ? Read16(src + 2 * static_cast<std::size_t>(x))
                                  : Read32(src + 4 * static_cast<std::size_t>(x));
                    out[0] = blue(pixel);
                    out[1] = green(pixel);
                    out[2] = red(pixel);
                }
                break;
        }
    }
}

// Run-length streams (RLE8, RLE4, and OS/2 RLE24). The stream starts at the
// pixel offset and runs to the end of the file at most. Rows go bottom-up.
// Pixels the stream never sets stay black. A run that passes the end of its
// row is cut there (the rest of the run is dropped, it does not wrap), and
// the stream stops at the end-of-bitmap code or once it moves past the last
// row. A stream that ends early, without an end-of-bitmap code, keeps the
// pixels decoded so far: most of such a picture is still worth showing.
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

    auto put = [&](std::int64_t px, const std::uint8_t* bgr) {
        if (px < width) std::memcpy(view.row(static_cast<int>(height - 1 - y)) + 3 * px, bgr, 3);
    };
    auto paletteColour = [&](unsigned index) { return layout.palette[index].data(); };

    while (y < height) {
        if (end - at < 2) return;
        const unsigned count = data[at];
        const unsigned code = data[at + 1];
        at += 2;

        if (count > 0) {
            // A repeated run of `count` pixels.
            if (layout.storage == Storage::kRle24) {
                // The pixel follows the count as blue, green, red.
                if (end - at < 2) return;
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
                if (end - at < 2) return;
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
                const std::uint64_t present = std::min<std::uint64_t>(bytes, end - at);
                const std::uint8_t* run = data + at;
                for (std::uint64_t i = 0; i < n; ++i) {
                    const std::int64_t px = x + static_cast<std::int64_t>(i);
                    if (px >= width) break;
                    if (layout.storage == Storage::kRle8) {
                        if (i >= present) break;
                        put(px, paletteColour(run[i]));
                    } else if (layout.storage == Storage::kRle4) {
                        if (i / 2 >= present) break;
                        put(px, paletteColour((i & 1) ? run[i / 2] & 0xF : run[i / 2] >> 4));
                    } else {
                        if (3 * i + 3 > present) break;
                        put(px, run + 3 * i);
                    }
                }
                if (present < bytes) return;  // the file ends inside the run
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

BmpSize DecodeBmp(std::span<const std::uint8_t> file,
                  const std::function<ops::RowView(int width, int height)>& allocate,
                  std::uint64_t maxPixels) {
    const Layout layout = ReadHeaders(file);
    if (layout.width == 0 || layout.height == 0) return {0, 0};

    const std::uint64_t pixels =
        static_cast<std::uint64_t>(layout.width) * static_cast<std::uint64_t>(layout.height);
    if (pixels > maxPixels)
        throw BmpError("the picture is " + std::to_string(layout.width) + " x " +
                       std::to_string(layout.height) + " pixels, more than the limit of " +
                       std::to_string(maxPixels) + " pixels",
                       BmpError::Kind::kTooLarge, static_cast<std::uint64_t>(layout.width),
                       static_cast<std::uint64_t>(layout.height));

    // An uncompressed pixel array must be whole before any memory is taken.
    if (layout.storage == Storage::kPlain || layout.storage == Storage::kBitFields) {
        const std::uint64_t rowBytes = StoredRowBytes(layout);
        const std::uint64_t available = file.size() - layout.pixelOffset;
        if (available / rowBytes < static_cast<std::uint64_t>(layout.height))
            throw BmpError("the file ends inside the pixel data");
    }

    const int width = static_cast<int>(layout.width);
    const int height = static_cast<int>(layout.height);
    const ops::RowView view = allocate(width, height);
    CheckView(view, width, height);

    if (layout.storage == Storage::kPlain || layout.storage == Storage::kBitFields)
        DecodePlain(file, layout, view);
    else
        DecodeRle(file, layout, view);
    return {width, height};
}

std::optional<BmpExtent> BmpExtentOf(std::span<const std::uint8_t> head) {
    if (head.size() < kFileHeaderSize + 16 || !LooksLikeBmp(head)) return std::nullopt;
    const std::uint8_t* bytes = head.data();
    const std::uint32_t headerSize = Read32(bytes + 14);
    std::uint64_t width, height, bpp;
    std::uint32_t compression = 0;
    if (headerSize == 12) {
        width = Read16(bytes + 18);
        height = Read16(bytes + 20);
        bpp = Read16(bytes + 24);
    } else {
        if (headerSize < 16 || head.size() < kFileHeaderSize + 20) return std::nullopt;
        const auto signedHeight = static_cast<std::int32_t>(Read32(bytes + 22));
        width = Read32(bytes + 18);
        height = signedHeight < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(static_cast<std::int64_t>(signedHeight))
                                  : static_cast<std::uint64_t>(signedHeight);
        bpp = Read16(bytes + 28);
        if (headerSize >= 20) compression = Read32(bytes + 30);
    }
    if (width > 0x7FFFFFFF || height > 0x80000000u) return std::nullopt;
    BmpExtent extent;
    extent.width = width;
    extent.height = height;
    extent.pixelOffset = Read32(bytes + 10);
    switch (compression) {
        case 0:
        case 3:
        case 6: extent.pixelBytes = (width * bpp + 31) / 32 * 4 * height; break;
        case 1:
        case 2:
        case 4: extent.pixelBytes = 4 * (width + 2) * height + 64; break;
        default: return std::nullopt;
    }
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

}  // namespace

void EncodeBmp24(const ops::RowView& rows,
                 const std::function<void(const std::uint8_t* bytes, std::size_t size)>& sink) {
    const int width = rows.width;
    const int height = rows.height;
    if (width < 0 || height < 0) throw BmpError("the picture has a negative size");

    const std::uint64_t rowSize = BmpRowSize(width);
    const std::uint64_t imageSize = rowSize * static_cast<std::uint64_t>(height);
    constexpr std::uint32_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
    if (imageSize > kMaxFileSize - kHeadersSize)
        throw BmpError("the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                       " pixels, too large for a BMP file");
    if (imageSize != 0 && rows.data == nullptr) throw BmpError("the picture has no pixel data");
    const auto fileSize = static_cast<std::uint32_t>(kHeadersSize + imageSize);

    std::array<std::uint8_t, kHeadersSize> header{};
    std::uint8_t* h = header.data();
    Put16(h + 0, 0x4D42);                                      // bfType "BM"
    Put32(h + 2, fileSize);                                    // bfSize
    Put16(h + 6, 0);                                           // bfReserved1
    Put16(h + 8, 0);                                           // bfReserved2
    Put32(h + 10, kHeadersSize);                               // bfOffBits
    Put32(h + 14, kInfoHeaderSize);                            // biSize
    Put32(h + 18, static_cast<std::uint32_t>(width));          // biWidth
    Put32(h + 22, static_cast<std::uint32_t>(height));         // biHeight, positive: bottom-up rows
    Put16(h + 26, 1);                                          // biPlanes
    Put16(h + 28, 24);                                         // biBitCount
    Put32(h + 30, 0);                                          // biCompression: none
    Put32(h + 34, static_cast<std::uint32_t>(imageSize));      // biSizeImage
    Put32(h + 38, 2835);                                       // biXPelsPerMeter (72 dpi)
    Put32(h + 42, 2835);                                       // biYPelsPerMeter (72 dpi)
    Put32(h + 46, 0);                                          // biClrUsed
    Put32(h + 50, 0);                                          // biClrImportant
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

}  // namespace codec
