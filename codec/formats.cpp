#include "codec/formats.h"

#include <algorithm>
#include <iterator>

#include "codec/bmp.h"
#include "codec/gif.h"
#include "codec/ico.h"
#include "codec/jpeg.h"
#include "codec/open.h"
#include "codec/png.h"
#include "codec/pnm.h"
#include "codec/tiff.h"

namespace codec {
namespace {

// How the size a format declares is found: from the file and its first
// kSniffBytes; nothing when the file cannot tell.
using DeclaredSizeFinder = std::optional<DeclaredPixels> (*)(const RandomAccess& file, std::span<const std::uint8_t> head,
                                                             std::uint64_t maxPixels);

// A BMP file's headers say where its pixels lie: the reader holds the
// headers and the pixel data as the file has them. A packed bitmap is read
// as the BMP file it stands for.
std::optional<DeclaredPixels> BmpDeclared(const RandomAccess& file, std::span<const std::uint8_t> head, std::uint64_t) {
    if (LooksLikeBmp(head)) {
        const std::optional<BmpExtent> extent = BmpExtentOf(head);
        if (!extent) return std::nullopt;
        return DeclaredPixels{extent->width, extent->height, std::min(file.size, extent->pixelOffset + extent->pixelBytes)};
    }
    const RandomAccess bmp = AsBmpFile(file);
    std::uint8_t bmpHead[kSniffBytes];
    const std::span<const std::uint8_t> first(bmpHead, ReadUpTo(bmp, 0, bmpHead, sizeof bmpHead));
    if (!LooksLikeBmp(first)) return std::nullopt;
    return BmpDeclared(bmp, first, 0);
}

// A BMP file, or a packed bitmap of the file's size.
bool LooksLikeBitmap(std::span<const std::uint8_t> head, std::uint64_t fileSize) {
    return LooksLikeBmp(head) || PackedBitmapPixelOffset(head, fileSize).has_value();
}

// The formats told by their first bytes alone.
template <bool (*looksLike)(std::span<const std::uint8_t>)>
bool ByHead(std::span<const std::uint8_t> head, std::uint64_t) {
    return looksLike(head);
}

// Thrown from the AllocateRows of the run that only wants the size.
struct SizeFound {
    std::uint64_t width, height;
};

// The decoder run up to where it asks for rows.
template <StreamDecoder decode>
std::optional<DeclaredPixels> DecoderDeclared(const RandomAccess& file, std::span<const std::uint8_t>, std::uint64_t maxPixels) {
    const AllocateRows stop = [](int width, int height) -> ops::RowView {
        throw SizeFound{static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)};
    };
    try {
        decode(SequentialSource(file), stop, maxPixels);
    } catch (const SizeFound& found) {
        return DeclaredPixels{found.width, found.height, 0};
    } catch (const DecodeError&) {
        return std::nullopt;  // the read itself says what is wrong
    }
    return std::nullopt;  // no pixels: nothing to allocate
}

struct FormatLine {
    Format format;
    const char* name;
    // The first kSniffBytes of the file (or all of it) and its size.
    bool (*looksLike)(std::span<const std::uint8_t> head, std::uint64_t fileSize);
    // Lower case, separated by spaces.
    std::string_view extensions;
    Opener open;
    // nullptr where the size is found only through the file's directory.
    DeclaredSizeFinder declaredSize;
};

// In the order the open dialog lists them. The first bytes of no two
// formats can match the same file (a packed bitmap starts with its header's
// size, 12 to 124, in four bytes), so the order of the tests does not
// matter.
const FormatLine kFormats[] = {
    {Format::kBmp, "BMP", LooksLikeBitmap, "bmp dib", OpenBmp, BmpDeclared},
    {Format::kPng, "PNG", ByHead<LooksLikePng>, "png", OpenPng, DecoderDeclared<DecodePng>},
    {Format::kJpeg, "JPEG", ByHead<LooksLikeJpeg>, "jpg jpeg jpe jfif", OpenJpeg, DecoderDeclared<DecodeJpeg>},
    {Format::kTiff, "TIFF", ByHead<LooksLikeTiff>, "tif tiff", OpenTiff, nullptr},
    {Format::kGif, "GIF", ByHead<LooksLikeGif>, "gif", OpenStreamed<DecodeGif>, DecoderDeclared<DecodeGif>},
    {Format::kPnm, "PNM", ByHead<LooksLikePnm>, "ppm pgm pbm pnm", OpenStreamed<DecodePnm>, DecoderDeclared<DecodePnm>},
    // The chosen bitmap is held too: up to 4 bytes a pixel and a bit of
    // mask, counted as 5.
    {Format::kIco, "ICO", ByHead<LooksLikeIco>, "ico cur", OpenAtRandom<DecodeIco, 3 + 5>, nullptr},
};

const FormatLine* LineOf(Format format) {
    for (const FormatLine& line : kFormats)
        if (line.format == format) return &line;
    return nullptr;
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        words.push_back(text.substr(0, space));
        text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
    }
    return words;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

Format SniffFormat(std::span<const std::uint8_t> head, std::uint64_t fileSize) {
    if (head.size() > kSniffBytes) head = head.first(kSniffBytes);
    for (const FormatLine& line : kFormats)
        if (line.looksLike(head, fileSize)) return line.format;
    return Format::kUnknown;
}

Format SniffFormat(std::span<const std::uint8_t> head) { return SniffFormat(head, head.size()); }

Format SniffFormat(const RandomAccess& file) {
    std::uint8_t head[kSniffBytes];
    return SniffFormat(std::span<const std::uint8_t>(head, ReadUpTo(file, 0, head, sizeof head)), file.size);
}

const char* FormatName(Format format) {
    const FormatLine* line = LineOf(format);
    return line != nullptr ? line->name : "unknown";
}

std::vector<Format> ReadFormats() {
    std::vector<Format> formats;
    for (const FormatLine& line : kFormats) formats.push_back(line.format);
    return formats;
}

std::vector<std::string_view> ExtensionsOf(Format format) {
    const FormatLine* line = LineOf(format);
    return line != nullptr ? Words(line->extensions) : std::vector<std::string_view>{};
}

Format FormatOfExtension(std::string_view extension) {
    const auto same = [extension](std::string_view known) {
        return known.size() == extension.size() &&
               std::equal(known.begin(), known.end(), extension.begin(), [](char a, char b) { return a == Lower(b); });
    };
    for (const FormatLine& line : kFormats)
        for (const std::string_view known : Words(line.extensions))
            if (same(known)) return line.format;
    return Format::kUnknown;
}

bool IsPictureExtension(std::string_view extension) { return FormatOfExtension(extension) != Format::kUnknown; }

std::optional<DeclaredPixels> DeclaredSizeOf(const RandomAccess& file, std::uint64_t maxPixels) {
    std::uint8_t head[kSniffBytes];
    const std::span<const std::uint8_t> first(head, ReadUpTo(file, 0, head, sizeof head));
    const FormatLine* line = LineOf(SniffFormat(first, file.size));
    if (line == nullptr || line->declaredSize == nullptr) return std::nullopt;
    return line->declaredSize(file, first, maxPixels);
}

Opener OpenerOf(Format format) {
    const FormatLine* line = LineOf(format);
    return line != nullptr ? line->open : nullptr;
}

}  // namespace codec
