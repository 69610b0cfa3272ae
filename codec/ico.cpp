#include "codec/ico.h"

#include <algorithm>
#include <limits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/bmp.h"
#include "codec/bytes.h"
#include "codec/png.h"

namespace codec {
namespace {

using Kind = DecodeError::Kind;

[[noreturn]] void Damaged(const std::string& detail) { throw DecodeError(Kind::kDamaged, detail); }

constexpr std::size_t kDirectoryHeaderBytes = 6;
constexpr std::size_t kEntryBytes = 16;
// The signature and IHDR chunk of a PNG image.
constexpr std::size_t kPngHeadBytes = 33;
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// One image of the directory, as its own header describes it.
struct Image {
    std::uint64_t offset = 0;
    bool png = false;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    unsigned depth = 0;       // bits a pixel
    std::uint64_t bytes = 0;  // a bitmap's length, from its header
};

// Up to size bytes from offset; fewer where the file ends.
std::vector<std::uint8_t> ReadAt(const RandomAccess& file, std::uint64_t offset, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    bytes.resize(ReadUpTo(file, offset, bytes.data(), bytes.size()));
    return bytes;
}

// Samples a pixel of each PNG colour type (gray, -, RGB, palette, gray and
// alpha, -, RGB and alpha); 0 for a type the format does not have.
unsigned PngSamples(unsigned colourType) {
    switch (colourType) {
    case 0: return 1;
    case 2: return 3;
    case 3: return 1;
    case 4: return 2;
    case 6: return 4;
    default: return 0;
    }
}

Image ReadImageHeader(const RandomAccess& file, std::uint64_t offset) {
    const std::vector<std::uint8_t> head = ReadAt(file, offset, std::max(kIconBitmapHeadBytes, kPngHeadBytes));
    Image image;
    image.offset = offset;
    if (LooksLikePng(head)) {
        image.png = true;
        if (head.size() < kPngHeadBytes) Damaged("the file ends inside an icon's png header");
        if (Be32(head.data() + 8) != 13 || std::memcmp(head.data() + 12, "IHDR", 4) != 0)
            Damaged("an icon's png data does not start with its header");
        image.width = Be32(head.data() + 16);
        image.height = Be32(head.data() + 20);
        const unsigned samples = PngSamples(head[25]);
        if (samples == 0) Damaged("an icon's png header names an unknown colour type");
        image.depth = head[24] * samples;
        return image;
    }
    if (head.empty()) Damaged("an icon's data lies past the end of the file");
    if (head.size() < 8 && std::equal(head.begin(), head.end(), kPngSignature))
        Damaged("the file ends inside an icon's png header");
    const IconBitmapInfo info = ReadIconBitmapInfo(head);
    image.width = info.width;
    image.height = info.height;
    image.depth = info.bitsPerPixel;
    image.bytes = info.bytes;
    return image;
}

// A bitmap's bytes, read in pieces so that a header claiming more than the
// file holds costs no more memory than the file's own bytes.
std::vector<std::uint8_t> ReadBitmap(const RandomAccess& file, const Image& image) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < image.bytes) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, image.bytes - bytes.size()));
        const std::size_t had = bytes.size();
        bytes.resize(had + want);
        const std::size_t got = ReadUpTo(file, image.offset + had, bytes.data() + had, want);
        bytes.resize(had + got);
        if (got < want) break;
    }
    return bytes;
}

}  // namespace

bool LooksLikeIco(std::span<const std::uint8_t> first) {
    if (first.size() < kDirectoryHeaderBytes + kEntryBytes) return false;
    const std::uint8_t* p = first.data();
    const std::uint32_t type = Le16(p + 2);
    if (Le16(p) != 0 || (type != 1 && type != 2) || Le16(p + 4) == 0) return false;
    const std::uint8_t* entry = p + kDirectoryHeaderBytes;
    if (entry[3] != 0) return false;
    if (type == 1 && (Le16(entry + 4) > 1 || Le16(entry + 6) > 32)) return false;
    // The image's length: as the entry gives it, or where the entry's byte
    // count is too small for any image, as the image's own header, when it
    // lies within the first bytes, shows it to be one.
    if (Le32(entry + 8) >= 40) return true;
    const std::uint64_t offset = Le32(entry + 12);
    if (offset + 8 > first.size()) return false;
    const std::uint8_t* image = first.data() + offset;
    const std::uint32_t headerSize = Le32(image);
    return std::equal(kPngSignature, kPngSignature + 8, image) || headerSize == 12 ||
           (headerSize >= 16 && headerSize <= 64) || headerSize == 108 || headerSize == 124;
}

DeclaredSize DecodeIco(const RandomAccess& file, const AllocateRows& allocate, std::uint64_t maxPixels) {
    const std::vector<std::uint8_t> head = ReadAt(file, 0, kDirectoryHeaderBytes);
    if (head.size() < kDirectoryHeaderBytes) Damaged("the file ends inside the icon directory");
    const std::uint32_t type = Le16(head.data() + 2);
    if (Le16(head.data()) != 0 || (type != 1 && type != 2)) Damaged("not an icon or cursor file");
    const std::uint32_t count = Le16(head.data() + 4);
    if (count == 0) Damaged("the icon holds no image");

    const std::vector<std::uint8_t> directory = ReadAt(file, kDirectoryHeaderBytes, kEntryBytes * count);
    if (directory.size() < kEntryBytes * count) Damaged("the file ends inside the icon directory");

    // The most pixels, then the most bits a pixel; the first of equals.
    Image best;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Image image = ReadImageHeader(file, Le32(directory.data() + kEntryBytes * i + 12));
        const std::uint64_t pixels = image.width * image.height;
        const std::uint64_t bestPixels = best.width * best.height;
        if (i == 0 || pixels > bestPixels || (pixels == bestPixels && image.depth > best.depth)) best = image;
    }
    if (best.width * best.height > maxPixels) throw DecodeError(Kind::kTooLarge, "", best.width, best.height);

    if (best.png) {
        const RandomAccess png{file.size - std::min(file.size, best.offset),
                               [&file, offset = best.offset](std::uint64_t at, std::uint8_t* buffer, std::size_t size) {
                                   return file.read(offset + at, buffer, size);
                               }};
        return DecodePng(SequentialSource(png), allocate, maxPixels);
    }
    const std::vector<std::uint8_t> bitmap = ReadBitmap(file, best);
    const BmpSize size = DecodeIconBitmap(bitmap, allocate, maxPixels);
    return {static_cast<std::uint64_t>(size.width), static_cast<std::uint64_t>(size.height)};
}

}  // namespace codec
